#include "rcon/player_polling.h"

#include <cstring>
#include <mutex>

#include "core/line_scanner.h"
#include "core/print.h"
#include "game/game_server.h"
#include "rcon/rcon_transport.h"

namespace kestrin {
namespace {

// "# %d %*[\"]%[^\"]%*[\"] %d %u %d " up to the time column.
bool scanStatusHead(LineScanner& scan, StatusRecord* row) {
  std::int32_t userId = 0;
  if (!scan.literal('#') || !scan.signedNumber(&row->slot)) return false;
  scan.blanks();
  if (!scan.run('"') || !scan.until('"', row->name, sizeof row->name) || !scan.run('"'))
    return false;
  if (!scan.signedNumber(&userId) || !scan.unsignedNumber(&row->wonId) ||
      !scan.signedNumber(&row->frags))
    return false;
  row->userId = static_cast<std::uint32_t>(userId);
  return true;
}

// " %d %d %d.%d.%d.%d:%d" behind the time column.
bool scanStatusTail(LineScanner& scan, StatusRecord* row) {
  std::int32_t ip[4] = {};
  if (!scan.signedNumber(&row->ping) || !scan.signedNumber(&row->loss)) return false;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && !scan.literal('.')) return false;
    if (!scan.signedNumber(&ip[i])) return false;
  }
  if (!scan.literal(':') || !scan.signedNumber(&row->port)) return false;
  for (int i = 0; i < 4; ++i) row->ip[i] = static_cast<std::uint8_t>(ip[i]);
  return true;
}

}  // namespace

bool nextLine(const char** cursor, char* line) {
  const char* end = std::strchr(*cursor, '\n');
  if (end == nullptr) return false;
  auto length = static_cast<std::size_t>(end - *cursor);
  if (length >= kReplyLineSize) length = 0;
  std::memcpy(line, *cursor, length);
  line[length] = '\0';
  *cursor = end + 1;
  return true;
}

bool parseStatusLine(const char* line, StatusRecord* row) {
  StatusRecord parsed;
  LineScanner scan(line);
  if (!scanStatusHead(scan, &parsed) || !scan.signedNumber(&parsed.minutes) ||
      !scan.literal(':') || !scan.signedNumber(&parsed.seconds) ||
      !scanStatusTail(scan, &parsed)) {
    // The second form, from one hour on: h:mm:ss.
    LineScanner again(line);
    parsed = StatusRecord{};
    if (!scanStatusHead(again, &parsed) || !again.signedNumber(&parsed.hours) ||
        !again.literal(':') || !again.signedNumber(&parsed.minutes) || !again.literal(':') ||
        !again.signedNumber(&parsed.seconds) || !scanStatusTail(again, &parsed))
      return false;
  }
  row->slot = parsed.slot;
  std::memcpy(row->name, parsed.name, sizeof row->name);
  row->userId = parsed.userId;
  row->wonId = parsed.wonId;
  row->frags = parsed.frags;
  row->hours = parsed.hours;
  row->minutes = parsed.minutes;
  row->seconds = parsed.seconds;
  row->ping = parsed.ping;
  row->loss = parsed.loss;
  std::memcpy(row->ip, parsed.ip, sizeof row->ip);
  row->port = parsed.port;
  return true;
}

bool parseUsersLine(const char* line, UserRecord* row) {
  LineScanner scan(line);
  UserRecord parsed;
  std::int32_t userId = 0;
  if (!scan.signedNumber(&userId)) return false;
  scan.blanks();
  if (!scan.literal(':') || !scan.unsignedNumber(&parsed.wonId)) return false;
  scan.blanks();
  if (!scan.literal(':')) return false;
  scan.blanks();
  if (!scan.until('\n', parsed.name, sizeof parsed.name)) return false;
  parsed.userId = static_cast<std::uint32_t>(userId);
  *row = parsed;
  return true;
}

void parseStatusReply(GameServer& game, const char* reply) {
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  const char* cursor = reply + 1;
  char line[kReplyLineSize];
  StatusRecord parsed;
  while (nextLine(&cursor, line)) {
    if (!parseStatusLine(line, &parsed)) continue;
    int index = findStatus(game, parsed.userId, parsed.wonId);
    if (index < 0) index = addStatus(game);
    if (index < 0) {
      printMessage("Status buffer overflow, contact Kestrin Team\n");
      continue;
    }
    StatusRecord& row = game.statusRecords[index];
    parseStatusLine(line, &row);  // the same line: stores its fields, keeps the flags
    row.present = 1;
    row.listed = 1;
  }
  game.statusUpdated = 1;
}

void parseUsersReply(GameServer& game, const char* reply) {
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  game.userRecordCount = 0;
  const char* cursor = reply + 1;
  char line[kReplyLineSize];
  UserRecord parsed;
  bool overflow = false;
  while (nextLine(&cursor, line)) {
    if (!parseUsersLine(line, &parsed)) continue;
    if (game.userRecordCount == kMaxUserRecords) {
      overflow = true;
      continue;
    }
    game.userRecords[game.userRecordCount++] = parsed;
  }
  if (overflow)
    printMessage("Game: Users reply lists more than %u users, the rest is not kept\n",
                 static_cast<unsigned>(kMaxUserRecords));
}

bool pollStatus(GameServer& game) {
  const char* reply = rconCommand(game, "status", "");
  if (reply == nullptr) return false;
  parseStatusReply(game, reply);
  return true;
}

bool pollUsers(GameServer& game) {
  const char* reply = rconCommand(game, "users", "");
  if (reply == nullptr) return false;
  parseUsersReply(game, reply);
  game.stopSignal.sleep(kUsersPollPauseMs);
  return true;
}

}  // namespace kestrin
