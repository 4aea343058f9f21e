#include "server/status_file.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace kestrin {
namespace {

using json = nlohmann::ordered_json;

json timeText(const platform::LocalTime& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day, time.hour,
                time.minute, time.second);
  return text;
}

json optionalTime(const std::optional<platform::LocalTime>& time) { return time ? timeText(*time) : json(nullptr); }

const char* consoleText(ConsoleState state) {
  switch (state) {
    case ConsoleState::kRefused:
      return "refused";
    case ConsoleState::kReady:
      return "ready";
    case ConsoleState::kUnconnected:
      break;
  }
  return "unconnected";
}

const char* clientText(ClientState state) {
  switch (state) {
    case ClientState::kNoticeGiven:
      return "notice given";
    case ClientState::kAttached:
      return "attached";
    case ClientState::kJoined:
      return "joined";
    case ClientState::kAuthenticated:
      return "authenticated";
    case ClientState::kNone:
      break;
  }
  return "none";
}

json gameJson(const GameStatus& game) {
  json players = json::array();
  for (const PlayerStatus& player : game.players)
    players.push_back({{"name", player.name},
                       {"userId", player.userId},
                       {"wonId", player.wonId},
                       {"connected", player.connectedSeconds},
                       {"client", clientText(player.client)},
                       {"lastCheck", optionalTime(player.lastCheck)}});
  return {{"address", game.address},       {"port", game.port},
          {"externalIp", game.externalIp}, {"console", consoleText(game.console)},
          {"lastPoll", optionalTime(game.lastPoll)}, {"players", std::move(players)}};
}

}  // namespace

std::string statusJson(const StatusSnapshot& snapshot) {
  json games = json::array();
  for (const GameStatus& game : snapshot.games) games.push_back(gameJson(game));
  json pending = json::array();
  for (const PendingStatus& session : snapshot.pending)
    pending.push_back(
        {{"state", session.awaitingKey ? "awaiting key" : "awaiting hello"}, {"seconds", session.seconds}});
  const StatusCounters& counters = snapshot.counters;
  const json status = {{"version", snapshot.version},
                       {"started", timeText(snapshot.started)},
                       {"written", timeText(snapshot.written)},
                       {"masterTime", snapshot.masterTime},
                       {"clientImage", snapshot.clientImage},
                       {"games", std::move(games)},
                       {"pending", std::move(pending)},
                       {"counters",
                        {{"clientsKeyed", counters.clientsKeyed},
                         {"checksPassed", counters.checksPassed},
                         {"verdicts", counters.verdicts},
                         {"bans", counters.bans},
                         {"kicks", counters.kicks}}}};
  // Names and addresses come from game servers: bytes that are no UTF-8 are
  // replaced rather than refused.
  return status.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool writeStatusFile(const std::string& json) {
  std::FILE* file = std::fopen(kStatusTempFileName, "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
  if (std::fclose(file) != 0) written = false;
  // Windows refuses to replace a file that a reader holds open; readers hold
  // it for moments.
  bool replaced = false;
  for (int attempt = 0; written && !replaced && attempt < kStatusReplaceAttempts; ++attempt) {
    if (attempt > 0) platform::sleepMilliseconds(kStatusReplacePauseMs);
    replaced = platform::replaceFile(kStatusTempFileName, kStatusFileName);
  }
  if (!replaced) {
    platform::removeFile(kStatusTempFileName);
    return false;
  }
  return true;
}

}  // namespace kestrin
