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
#include <memory>
#include <vector>

#include "client/client_session.h"
#include "core/print.h"
#include "game/player_tables.h"
#include "server/server.h"

namespace kestrin {
namespace {

constexpr std::uint32_t kGames = 8;
// Far beyond any run: an idle client's next check request.
constexpr std::uint32_t kNoCheckForMs = 24u * 3600u * 1000u;

// The server with its games, and the client ends of the sessions' sockets.
struct LoadedServer {
  Server server;
  platform::SocketHandle listener = platform::kInvalidSocket;
  std::vector<platform::SocketHandle> peers;
  ~LoadedServer() {
    server.games.reset();
    for (platform::SocketHandle peer : peers) platform::closeSocket(peer);
    platform::closeSocket(listener);
  }
};

// The games with `clients` sessions spread over them, each of a player whom
// both the status and the users replies list; null when the connections
// cannot be had.
std::unique_ptr<LoadedServer> build(int clients) {
  auto loaded = std::make_unique<LoadedServer>();
  Server& server = loaded->server;
  server.clockStart = platform::milliseconds();
  server.clockOffset.store(1000000);
  server.updateClock();
  server.games.reset(new GameServer[kGames]);
  server.gameCount = kGames;
  for (std::uint32_t g = 0; g < kGames; ++g) server.games[g].rconReady.store(true);
  platform::startSockets();
  if (platform::tcpListen(0, 64, &loaded->listener) != platform::ListenResult::kOk) return nullptr;
  const platform::Endpoint endpoint{platform::kLoopbackAddress, platform::localPort(loaded->listener)};
  const std::uint8_t key[wire::kServerSessionKeySize] = {1, 2, 3};
  for (std::uint32_t c = 0; c < static_cast<std::uint32_t>(clients); ++c) {
    loaded->peers.push_back(platform::tcpConnectStart(endpoint));
    bool ready = false;
    platform::pollReadable(&loaded->listener, 1, &ready, 2000);
    auto session = std::make_unique<ClientSession>();
    session->socket = platform::tcpAccept(loaded->listener);
    GameServer& game = server.games[c % kGames];
    const int row = addStatus(game.players);
    if (session->socket == platform::kInvalidSocket || row < 0) return nullptr;
    session->watchWith(server.watch);
    session->userId = 100 + c;
    session->wonId = 500000 + c;
    session->update = &server.update;
    session->checkIdList = &server.checkIdList;
    session->connectTime = server.clockNow;
    session->state = SessionState::kKeyed;
    session->joined = true;
    session->nextCheckTime = server.clockNow + kNoCheckForMs;
    blowfishSetKey(session->sendCipher, key, sizeof key);
    blowfishSetKey(session->receiveCipher, key, sizeof key);
    StatusRecord& status = game.players.statusRecords[row];
    std::snprintf(status.name, sizeof status.name, "Player%u", session->userId);
    status.userId = session->userId;
    status.wonId = session->wonId;
    status.minutes = 5;
    status.present = status.listed = 1;
    game.players.statusUpdated = 1;
    game.players.userRecords[game.players.userRecordCount++] = {.userId = status.userId, .wonId = status.wonId};
    if (!attachClient(game, session.get())) return nullptr;
    session.release();
  }
  return loaded;
}

void discard(const char*) {}

void BM_MainStep(benchmark::State& state) {
  setPrintCallback(&discard);
  std::unique_ptr<LoadedServer> loaded = build(static_cast<int>(state.range(0)));
  if (!loaded) {
    state.SkipWithError("cannot open the client connections (too few file descriptors?)");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(loaded->server.step());
  std::uint32_t attached = 0;
  for (std::uint32_t g = 0; g < kGames; ++g) attached += loaded->server.games[g].clientCount;
  state.counters["attached"] = attached;
  setPrintCallback(nullptr);
}
BENCHMARK(BM_MainStep)->Arg(0)->Arg(500)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrin

BENCHMARK_MAIN();
