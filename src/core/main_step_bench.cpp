// The main step of a loaded server: 8 watched games whose passwords are
// accepted, each with a full player table, and the given number of anti-cheat
// clients attached over loopback TCP: keyed, joined and idle (nothing to read,
// no check due, no image to send).  No game thread runs; the step is
// Server::step as the host thread runs it, with its messages discarded.
//
// Each step ends with its 100 ms pause, so the wall time per iteration is
// about 100 ms; the CPU column is the step's own work.  Run with, e.g.,
// --benchmark_min_time=5 for a steady figure.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "client/blowfish.h"
#include "client/client_session.h"
#include "core/print.h"
#include "core/server.h"
#include "game/game_server.h"
#include "game/player_tables.h"
#include "platform/platform.h"

namespace kestrin {
namespace {

constexpr std::uint32_t kGames = 8;
constexpr std::uint32_t kFirstUserId = 100;
constexpr std::uint32_t kFirstWonId = 500000;
// Far beyond any run: an idle client's next check request.
constexpr std::uint32_t kNoCheckForMs = 24u * 3600u * 1000u;

void discard(const char*) {}

// Connects one loopback TCP pair through `listener`; false when the system
// refuses (for example for want of descriptors).
bool connectPair(platform::SocketHandle listener, std::uint16_t port, platform::SocketHandle* serverSide,
                 platform::SocketHandle* clientSide) {
  *clientSide = platform::tcpConnectStart({platform::kLoopbackAddress, port});
  if (*clientSide == platform::kInvalidSocket) return false;
  for (int attempt = 0; attempt < 200; ++attempt) {
    *serverSide = platform::tcpAccept(listener);
    if (*serverSide != platform::kInvalidSocket) return true;
    bool ready = false;
    platform::pollReadable(&listener, 1, &ready, 10);
  }
  platform::closeSocket(*clientSide);
  *clientSide = platform::kInvalidSocket;
  return false;
}

// Lists the player on the game as both its status and its users replies would.
void listPlayer(GameServer& game, std::uint32_t userId, std::uint32_t wonId) {
  int row = addStatus(game);
  if (row < 0) return;
  StatusRecord& status = game.statusRecords[row];
  std::snprintf(status.name, sizeof status.name, "Player%u", userId);
  status.userId = userId;
  status.wonId = wonId;
  status.minutes = 5;
  status.present = 1;
  status.listed = 1;
  game.statusUpdated = 1;
  if (game.userRecordCount < kMaxUserRecords) {
    UserRecord& user = game.userRecords[game.userRecordCount++];
    user.userId = userId;
    user.wonId = wonId;
    std::memcpy(user.name, status.name, sizeof user.name);
  }
}

class LoadedServer {
 public:
  // Builds the games and attaches `clients` sessions, spread over the games.
  // Null with `error` set when the sockets cannot be had.
  static std::unique_ptr<LoadedServer> build(int clients, const char** error) {
    std::unique_ptr<LoadedServer> loaded(new LoadedServer);
    Server& server = loaded->server_;
    server.clockStart = platform::milliseconds();
    server.clockOffset.store(1000000);
    server.updateClock();
    server.update.clockNow = &server.clockNow;
    server.update.clockOffset = &server.clockOffset;
    server.games.reset(new GameServer[kGames]);
    server.gameCount = kGames;
    for (std::uint32_t g = 0; g < kGames; ++g) {
      server.games[g].clock = &server.clockNow;
      server.games[g].rconReady.store(true);
    }

    platform::startSockets();
    if (platform::tcpListen(0, 64, &loaded->listener_) != platform::ListenResult::kOk) {
      *error = "no listening socket";
      return nullptr;
    }
    const std::uint16_t port = platform::localPort(loaded->listener_);
    for (int c = 0; c < clients; ++c) {
      GameServer& game = server.games[static_cast<std::uint32_t>(c) % kGames];
      const auto userId = kFirstUserId + static_cast<std::uint32_t>(c);
      const auto wonId = kFirstWonId + static_cast<std::uint32_t>(c);
      platform::SocketHandle serverSide = platform::kInvalidSocket;
      platform::SocketHandle clientSide = platform::kInvalidSocket;
      if (!connectPair(loaded->listener_, port, &serverSide, &clientSide)) {
        *error = "cannot open the client connections (too few file descriptors?)";
        return nullptr;
      }
      loaded->peers_.push_back(clientSide);
      auto* session = new ClientSession;
      session->socket = serverSide;
      session->userId = userId;
      session->wonId = wonId;
      session->game = &game;
      session->clock = &server.clockNow;
      session->update = &server.update;
      session->checkList = &server.checkList;
      session->connectTime = server.clockNow;
      session->state = SessionState::kKeyed;
      session->joined = true;
      session->nextCheckTime = server.clockNow + kNoCheckForMs;
      std::uint8_t key[wire::kServerSessionKeySize];
      for (std::size_t k = 0; k < sizeof key; ++k) key[k] = static_cast<std::uint8_t>(c + k);
      blowfishSetKey(session->sendCipher, key, sizeof key);
      blowfishSetKey(session->receiveCipher, key, sizeof key);
      if (!attachClient(game, session)) {
        delete session;
        *error = "more clients than the games can hold";
        return nullptr;
      }
      listPlayer(game, userId, wonId);
    }
    return loaded;
  }

  ~LoadedServer() {
    server_.games.reset();
    for (platform::SocketHandle peer : peers_) platform::closeSocket(peer);
    platform::closeSocket(listener_);
  }

  Server& server() { return server_; }

 private:
  LoadedServer() = default;

  Server server_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::vector<platform::SocketHandle> peers_;
};

void BM_MainStep(benchmark::State& state) {
  setPrintCallback(&discard);
  const char* error = "";
  std::unique_ptr<LoadedServer> loaded = LoadedServer::build(static_cast<int>(state.range(0)), &error);
  if (!loaded) {
    state.SkipWithError(error);
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(loaded->server().step());
  std::uint32_t attached = 0;
  for (std::uint32_t g = 0; g < kGames; ++g) attached += loaded->server().games[g].clientCount;
  state.counters["attached"] = attached;
  setPrintCallback(nullptr);
}
BENCHMARK(BM_MainStep)->Arg(0)->Arg(500)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrin

BENCHMARK_MAIN();
