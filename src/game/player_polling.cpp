#include "game/player_polling.h"

#include <mutex>

#include "core/print.h"
#include "game/game_server.h"
#include "game/game_thread.h"
#include "game/player_tables.h"
#include "rcon/reply_lines.h"

namespace kestrin {

void parseStatusReply(PlayerTables& tables, const char* reply) {
  std::lock_guard<std::mutex> lock(tables.mutex);
  const char* cursor = reply + 1;
  char line[kReplyLineSize];
  StatusLine parsed;
  while (nextLine(&cursor, line)) {
    if (!parseStatusLine(line, &parsed)) continue;
    int index = findStatus(tables, parsed.userId, parsed.wonId);
    if (index < 0) index = addStatus(tables);
    if (index < 0) {
      printMessage("Status buffer overflow, contact Kestrin Team\n");
      continue;
    }
    StatusRecord& row = tables.statusRecords[index];
    // The line's fields only: the row keeps its judgement flags.
    static_cast<StatusLine&>(row) = parsed;
    row.present = 1;
    row.listed = 1;
  }
  tables.statusUpdated = 1;
  tables.polled = platform::localTimeNow(&tables.lastPoll) || tables.polled;
}

void parseUsersReply(PlayerTables& tables, const char* reply) {
  std::lock_guard<std::mutex> lock(tables.mutex);
  tables.userRecordCount = 0;
  const char* cursor = reply + 1;
  char line[kReplyLineSize];
  UserRecord parsed;
  bool overflow = false;
  while (nextLine(&cursor, line)) {
    if (!parseUsersLine(line, &parsed)) continue;
    if (tables.userRecordCount == kMaxUserRecords) {
      overflow = true;
      continue;
    }
    tables.userRecords[tables.userRecordCount++] = parsed;
  }
  if (overflow)
    printMessage("Game: Users reply lists more than %u users, the rest is not kept\n",
                 static_cast<unsigned>(kMaxUserRecords));
}

bool pollStatus(GameServer& game) {
  const char* reply = runRcon(game, "status", "");
  if (reply == nullptr) return false;
  parseStatusReply(game.players, reply);
  return true;
}

bool pollUsers(GameServer& game) {
  const char* reply = runRcon(game, "users", "");
  if (reply == nullptr) return false;
  parseUsersReply(game.players, reply);
  game.stopSignal.sleep(kUsersPollPauseMs);
  return true;
}

}  // namespace kestrin
