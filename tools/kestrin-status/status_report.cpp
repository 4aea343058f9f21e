#include "kestrin-status/status_report.h"

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

namespace kestrin::status {
namespace {

using nlohmann::json;

// Rows of cells printed as columns two blanks apart, each row indented.
class Table {
 public:
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  std::string text(const std::string& indent) const {
    std::vector<std::size_t> widths;
    for (const auto& row : rows_)
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (widths.size() <= i) widths.push_back(0);
        if (row[i].size() > widths[i]) widths[i] = row[i].size();
      }
    std::string out;
    for (const auto& row : rows_) {
      std::string line = indent;
      for (std::size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
      }
      out += line + "\n";
    }
    return out;
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

// A field that is present but not a count; the parser's own errors tell the
// other faults.
struct NotACount : std::runtime_error {
  explicit NotACount(const char* key) : std::runtime_error(std::string("\"") + key + "\" is no whole number") {}
};

std::string text(const json& object, const char* key) { return object.at(key).get<std::string>(); }
std::uint64_t count(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_number_unsigned()) throw NotACount(key);
  return value.get<std::uint64_t>();
}
std::string number(const json& object, const char* key) { return std::to_string(count(object, key)); }
// A date and time, or `absent` for null.
std::string when(const json& object, const char* key, const char* absent) {
  const json& value = object.at(key);
  return value.is_null() ? absent : value.get<std::string>();
}

// Seconds as the game server shows a connection time: m:ss, or h:mm:ss.
std::string duration(std::uint64_t seconds) {
  char out[32];
  if (seconds >= 3600)
    std::snprintf(out, sizeof out, "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  else
    std::snprintf(out, sizeof out, "%u:%02u", static_cast<unsigned>(seconds / 60), static_cast<unsigned>(seconds % 60));
  return out;
}

std::string gameText(const json& game) {
  std::string out = "Game " + text(game, "address") + ":" + number(game, "port") + ", external address " +
                    text(game, "externalIp") + ": console " + text(game, "console") + ", last poll " +
                    when(game, "lastPoll", "never") + "\n";
  const json& players = game.at("players");
  if (players.empty()) return out + "  (no players)\n";
  Table table;
  table.add({"player", "user id", "WON id", "connected", "client", "last check"});
  for (const json& player : players)
    table.add({text(player, "name"), number(player, "userId"), number(player, "wonId"),
               duration(count(player, "connected")), text(player, "client"),
               when(player, "lastCheck", "-")});
  return out + table.text("  ");
}

}  // namespace

bool renderStatus(const std::string& json, std::string* out, std::string* error) {
  try {
    const nlohmann::json status = nlohmann::json::parse(json);
    std::string report = "Kestrin server " + number(status, "version") + ", started " + text(status, "started") +
                         "; status of " + text(status, "written") + "\n";
    report += "Master time " + number(status, "masterTime") + "; client image version " +
              number(status, "clientImage") + "\n";
    const nlohmann::json& counters = status.at("counters");
    report += "Since the start: " + number(counters, "clientsKeyed") + " clients keyed, " +
              number(counters, "checksPassed") + " checks passed, " + number(counters, "verdicts") +
              " verdicts, " + number(counters, "bans") + " bans, " + number(counters, "kicks") + " kicks\n";
    for (const nlohmann::json& game : status.at("games")) report += "\n" + gameText(game);
    const nlohmann::json& pending = status.at("pending");
    report += "\nClients in the handshake: " + std::to_string(pending.size()) + "\n";
    if (!pending.empty()) {
      Table table;
      table.add({"state", "for"});
      for (const nlohmann::json& session : pending)
        table.add({text(session, "state"), number(session, "seconds") + " s"});
      report += table.text("  ");
    }
    *out = report;
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace kestrin::status
