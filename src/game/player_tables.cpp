#include "game/player_tables.h"

#include <cstring>
#include <mutex>

#include "core/print.h"
#include "game/game_server.h"

namespace kestrin {
namespace {

bool matches(std::uint32_t wantUser, std::uint32_t wantWon, std::uint32_t userId,
             std::uint32_t wonId) {
  return (wantUser == 0 || wantUser == userId) && (wantWon == 0 || wantWon == wonId);
}

int findUserRow(const GameServer& game, std::uint32_t userId, std::uint32_t wonId) {
  for (std::uint32_t i = 0; i < game.userRecordCount && i < kMaxUserRecords; ++i) {
    const UserRecord& row = game.userRecords[i];
    if (matches(userId, wonId, row.userId, row.wonId)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

int findStatus(const GameServer& game, std::uint32_t userId, std::uint32_t wonId) {
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  for (std::uint32_t i = 0; i < game.statusRecordCount && i < kMaxStatusRecords; ++i) {
    const StatusRecord& row = game.statusRecords[i];
    if (row.inUse && matches(userId, wonId, row.userId, row.wonId)) return static_cast<int>(i);
  }
  return -1;
}

int addStatus(GameServer& game) {
  printMessage("Adding status record\n");
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  for (std::uint32_t i = 0; i < kMaxStatusRecords; ++i) {
    StatusRecord& row = game.statusRecords[i];
    if (row.inUse) continue;
    row = StatusRecord{};
    row.inUse = 1;
    if (i + 1 > game.statusRecordCount) game.statusRecordCount = i + 1;
    return static_cast<int>(i);
  }
  return -1;
}

void freeStatus(GameServer& game, std::uint32_t index) {
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  if (index >= kMaxStatusRecords) return;
  game.statusRecords[index].inUse = 0;
  while (game.statusRecordCount > 0 && !game.statusRecords[game.statusRecordCount - 1].inUse)
    --game.statusRecordCount;
}

bool findUser(const GameServer& game, std::uint32_t userId, std::uint32_t wonId) {
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  return findUserRow(game, userId, wonId) >= 0;
}

bool userName(const GameServer& game, std::uint32_t userId, std::uint32_t wonId, char* out) {
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  int index = findUserRow(game, userId, wonId);
  if (index < 0) return false;
  std::memcpy(out, game.userRecords[index].name, kPlayerNameSize);
  return true;
}

}  // namespace kestrin
