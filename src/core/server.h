// The one server record: start-up, the 100 ms main step and shutdown.
// Lives for one call of initialize() and never moves, so other records may
// hold pointers into it.  Host thread only, except where a field says so.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "config/config.h"
#include "core/wire.h"
#include "crypto/rsa.h"
#include "game/game_server.h"
#include "platform/platform.h"
#include "update/updater.h"

namespace kestrin {

inline constexpr int kServerVersion = 1003;
inline constexpr std::uint32_t kMainStepPauseMs = 100;
inline constexpr const char* kConfigFileName = "kestrinsv.cfg";
// The server's key pair, generated at every start-up.
inline constexpr RsaKeyRequest kServerKeyRequest{510, 1};

// Results of init(), step() and initialize().
enum RunResult : int {
  kRunOn = 0,
  kRunServerInstalled = 1,
  kRunError = 2,
};

struct Server {
  platform::SocketHandle listenSocket = platform::kInvalidSocket;

  // ServerClock now; recomputed at the top of every main step.
  std::uint32_t clockNow = 0;
  // Written by the update thread (master time), read by the host thread.
  std::atomic<std::uint32_t> clockOffset{0};
  std::uint32_t clockStart = 0;

  Config config;

  // One element per game section, allocated at start-up and never moved;
  // the first gameCount are built and watched.
  std::unique_ptr<GameServer[]> games;
  std::uint32_t gameCount = 0;
  // Auto-update: master time, image slots, update thread, loaded client image.
  UpdateState update;

  std::uint16_t checkIdCount = 0;
  std::uint32_t checkIds[wire::kMaxCheckIds] = {};
  std::uint32_t checkExpected[wire::kMaxCheckIds] = {};

  // Generated after the listening socket opens; the private key is wiped at
  // shutdown.
  RsaPublicKey publicKey = {};
  RsaPrivateKey privateKey = {};

  // 0 to run on, otherwise a RunResult to stop with.
  int init();
  int step();
  // Safe after any start-up failure; releases everything init() acquired.
  void shutdown();

  // clockNow <- (timer - clockStart) + clockOffset.
  void updateClock();

 private:
  int openListenSocket();
};

}  // namespace kestrin
