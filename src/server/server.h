// The one server record: start-up, the 100 ms main step and shutdown.
// Lives for one call of initialize() and never moves, so other records may
// hold pointers into it.  Host thread only, except where a field says so.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "client/check_id_list.h"
#include "config/config.h"
#include "core/run_result.h"
#include "core/wire.h"
#include "crypto/random_source.h"
#include "crypto/rsa.h"
#include "game/game_server.h"
#include "platform/platform.h"
#include "server/status_file.h"
#include "update/updater.h"

namespace kestrin {

inline constexpr std::uint32_t kMainStepPauseMs = 100;
// Connections accepted in one main step at most; more wait for the next.
inline constexpr int kAcceptsPerStep = 64;
// Pending sessions one source address may hold at once.
inline constexpr std::uint32_t kMaxPendingPerAddress = 4;
// A pending session that has sent nothing for this long may give its slot
// to a new connection when the list is full.
inline constexpr std::uint32_t kPendingIdleMs = 2000;
// An address refused for too many connections gets one line per this long;
// the refusals in between are counted into its next line.
inline constexpr std::uint32_t kRefusalLineEveryMs = 60000;
// Addresses whose refusal lines are remembered at once; a new one takes the
// place of the one printed longest ago.
inline constexpr std::size_t kRefusalNoteSlots = 8;
inline constexpr const char* kConfigFileName = "kestrinsv.cfg";
// The server's key pair, generated at every start-up.
inline constexpr RsaKeyRequest kServerKeyRequest{510, 1};

struct ClientSession;
struct KeyRecord;

struct Server {
  Server() = default;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  // Frees the pending sessions that shutdown() has not freed.
  ~Server();

  platform::SocketHandle listenSocket = platform::kInvalidSocket;
  // The main step's one readiness poll: the listening socket (tagged null)
  // and the socket of every session, pending or attached, while it is open.
  // Declared before the sessions' owners, which it outlives.
  platform::SocketWatch watch;
  // The step's poll found a connection waiting.
  bool listenerReady = false;

  // The step clock (core/clock.h), on which every deadline runs, and the
  // master clock, read only for the activation of images; both recomputed
  // at the top of every main step.
  std::uint32_t clockNow = 0;
  std::uint32_t masterNow = 0;
  // The master clock's offset (update/updater.h says what each check
  // stores); written by the update thread, read by the host thread.
  std::atomic<std::uint32_t> clockOffset{0};
  std::uint32_t clockStart = 0;

  // Accepted sessions whose handshake runs, in order of arrival, packed from
  // the front; owned by this list.  At most kMaxPendingSessions in use.
  ClientSession* pendingSessions[wire::kPendingListSlots] = {};
  std::uint32_t pendingCount = 0;

  // The last refusal line of an address and the refusals left unprinted
  // since; host thread only.
  struct RefusalNote {
    bool used = false;
    std::uint32_t address = 0;
    std::uint32_t printedAt = 0;
    std::uint32_t unprinted = 0;
  };
  RefusalNote refusalNotes[kRefusalNoteSlots] = {};

  Config config;

  // One element per game section, allocated at start-up and never moved;
  // the first gameCount are built and watched.
  std::unique_ptr<GameServer[]> games;
  std::uint32_t gameCount = 0;
  // Auto-update: master time, image slots, update thread, loaded client image.
  UpdateState update;

  // The checks asked of every client, read by every session.
  CheckIdList checkIdList;

  // Generated after the listening socket opens; the private key is wiped at
  // shutdown.
  RsaPublicKey publicKey = {};
  RsaPrivateKey privateKey = {};
  // Source of the handshake's session keys and padding.
  RandomSource* keyRandom = &systemRandomSource();

  // The live status: when the server started (local time), the clients that
  // finished the handshake since, and when the status file is due next
  // (platform timer, unmoved by the master time).
  platform::LocalTime startedAt;
  std::uint32_t clientsKeyed = 0;
  bool statusWritten = false;
  bool statusFailing = false;
  std::uint32_t nextStatusTimer = 0;

  // 0 to run on, otherwise a RunResult to stop with.
  int init();
  int step();
  // Safe after any start-up failure; releases everything init() acquired.
  void shutdown();

  // clockNow <- (timer - clockStart) + 10000;
  // masterNow <- (timer - clockStart) + clockOffset.
  void updateClock();
  // Polls every socket of the main step in one call, without waiting, and
  // marks what is ready: listenerReady and each session's `readable`.
  // Returns how many sessions are readable.
  int pollSockets();

  // ---- live status (server/server_status.cpp)
  // What the status file shows now.  Takes each game's table lock briefly.
  StatusSnapshot statusSnapshot() const;
  // Writes the status file when it is due: at the first call, then every
  // kStatusIntervalMs.  A failure is printed once until a write succeeds.
  void writeStatus();

  // ---- pending sessions (server/pending_sessions.cpp)
  // When the step's poll found the listening socket ready, accepts every
  // waiting connection (at most kAcceptsPerStep) and sends each the server
  // hello; connections over the limits are closed at once.
  void acceptClient();
  // Takes one accepted connection from `address` onto the pending list, or
  // closes it: at most kMaxPendingPerAddress from one address; a full list
  // first gives the slot of its oldest session idle for kPendingIdleMs
  // without a byte of its hello.
  void admitConnection(platform::SocketHandle socket, std::uint32_t address);
  // Frees every pending session.
  void releasePendingSessions();
  // A new zero-filled session appended to the pending list; null when the
  // list is full or memory is short.
  ClientSession* addPendingSession();
  // Takes entry `index` off the pending list, shifting the later ones down,
  // and frees the session when `free` is set.
  void removePendingSession(std::uint32_t index, bool free);
  // Reads the pending sessions the step's poll found readable and runs
  // their handshake.
  void readPendingSessions();
  // Frees closed pending sessions and ends those past the handshake limit.
  void expirePendingSessions();

  // ---- handshake (server/handshake.cpp)
  // Handles the complete plain frame at the start of the frame buffer of
  // pending session `index`.  True when the frame was consumed (the session
  // may then have left the pending list); false when it was refused.
  bool dispatchHandshake(std::uint32_t index, const std::uint8_t* frame);
  // The rest of message 2 for pending session `index` (below pendingCount)
  // once its key record is deciphered: the key length, the player's game
  // and the admission.  Wipes the record; returns as dispatchHandshake.
  bool acceptKeyRecord(std::uint32_t index, KeyRecord& record);

 private:
  int openListenSocket();
  // Prints that a connection from `address` was refused for too many, at
  // most once per kRefusalLineEveryMs per address.
  void reportRefusal(std::uint32_t address);
};

}  // namespace kestrin
