#include "server/server.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "client/client_session.h"
#include "core/print.h"
#include "core/wire.h"
#include "game/game_server.h"
#include "game/player_tables.h"
#include "server/status_file.h"

namespace kestrin {
namespace {

// The state of the client attached for a player; its last passed check too.
ClientState attachedState(const ClientSession& session, std::optional<platform::LocalTime>* lastCheck) {
  if (session.authenticated) {
    *lastCheck = session.lastCheckPassed;
    return ClientState::kAuthenticated;
  }
  return session.joined ? ClientState::kJoined : ClientState::kAttached;
}

std::uint32_t connectedSeconds(const StatusLine& row) {
  const std::int64_t seconds = std::int64_t{row.hours} * 3600 + std::int64_t{row.minutes} * 60 + row.seconds;
  return static_cast<std::uint32_t>(std::max<std::int64_t>(seconds, 0));
}

// Copies what the game shows under its tables' lock, which the game thread
// holds only while it files a reply (never over the network); the sessions
// are the host thread's own.
GameStatus gameStatus(const GameServer& game) {
  GameStatus out;
  out.address = game.address;
  out.port = game.port;
  out.externalIp = game.externalIp;
  out.console = game.rconReady.load()     ? ConsoleState::kReady
                : game.rconRefused.load() ? ConsoleState::kRefused
                                          : ConsoleState::kUnconnected;
  std::vector<bool> listed(game.clientCount, false);
  std::lock_guard<std::mutex> lock(game.players.mutex);
  if (game.players.polled) out.lastPoll = game.players.lastPoll;
  for (std::uint32_t i = 0; i < game.players.statusRecordCount; ++i) {
    const StatusRecord& row = game.players.statusRecords[i];
    if (!row.inUse) continue;
    PlayerStatus player;
    player.name = row.name;
    player.userId = row.userId;
    player.wonId = row.wonId;
    player.connectedSeconds = connectedSeconds(row);
    const int client = findClient(game, row.userId, row.wonId);
    if (client >= 0) {
      listed[client] = true;
      player.client = attachedState(*game.clients[client], &player.lastCheck);
    } else {
      player.client = row.downloadNoticeGiven ? ClientState::kNoticeGiven : ClientState::kNone;
    }
    out.players.push_back(std::move(player));
  }
  // Clients whose player the status poll has not listed yet.
  for (std::uint32_t i = 0; i < game.clientCount; ++i) {
    const ClientSession& session = *game.clients[i];
    if (listed[i] || session.closed) continue;
    PlayerStatus player;
    char name[kPlayerNameSize] = {};
    userName(game.players, session.userId, session.wonId, name);
    player.name = name;
    player.userId = session.userId;
    player.wonId = session.wonId;
    player.client = attachedState(session, &player.lastCheck);
    out.players.push_back(std::move(player));
  }
  return out;
}

}  // namespace

StatusSnapshot Server::statusSnapshot() const {
  StatusSnapshot snapshot;
  snapshot.version = wire::kServerVersion;
  snapshot.started = startedAt;
  platform::localTimeNow(&snapshot.written);
  snapshot.masterTime = update.masterTime.load();
  snapshot.clientImage = update.clientImageVersion.load();
  snapshot.counters.clientsKeyed = clientsKeyed;
  for (std::uint32_t i = 0; i < gameCount; ++i) {
    const GameServer& game = games[i];
    snapshot.games.push_back(gameStatus(game));
    snapshot.counters.checksPassed += game.checksPassed;
    snapshot.counters.verdicts += game.verdicts;
    snapshot.counters.bans += game.bansSent.load();
    snapshot.counters.kicks += game.kicksSent.load();
  }
  for (std::uint32_t i = 0; i < pendingCount; ++i) {
    const ClientSession& session = *pendingSessions[i];
    if (session.closed) continue;
    snapshot.pending.push_back(
        {session.state == SessionState::kAwaitingKey, (clockNow - session.connectTime) / 1000});
  }
  return snapshot;
}

void Server::writeStatus() {
  const std::uint32_t timer = platform::milliseconds();
  if (statusWritten && static_cast<std::int32_t>(timer - nextStatusTimer) < 0) return;
  statusWritten = true;
  nextStatusTimer = timer + kStatusIntervalMs;
  const bool written = writeStatusFile(statusJson(statusSnapshot()));
  if (!written && !statusFailing) printMessage("Status: Can't write %s\n", kStatusFileName);
  statusFailing = !written;
}

}  // namespace kestrin
