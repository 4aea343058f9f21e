#include "game/player_tables.h"

#include <cstring>

#include "core/print.h"

namespace kestrin {
namespace {

bool matches(std::uint32_t wantUser, std::uint32_t wantWon, std::uint32_t userId,
             std::uint32_t wonId) {
  return (wantUser == 0 || wantUser == userId) && (wantWon == 0 || wantWon == wonId);
}

int findUserRow(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId) {
  for (std::uint32_t i = 0; i < tables.userRecordCount && i < kMaxUserRecords; ++i) {
    const UserRecord& row = tables.userRecords[i];
    if (matches(userId, wonId, row.userId, row.wonId)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

std::uint32_t statusAddress(const StatusLine& row) {
  return static_cast<std::uint32_t>(row.ip[0]) << 24 | static_cast<std::uint32_t>(row.ip[1]) << 16 |
         static_cast<std::uint32_t>(row.ip[2]) << 8 | row.ip[3];
}

int findStatus(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId) {
  for (std::uint32_t i = 0; i < tables.statusRecordCount && i < kMaxStatusRecords; ++i) {
    const StatusRecord& row = tables.statusRecords[i];
    if (row.inUse && matches(userId, wonId, row.userId, row.wonId)) return static_cast<int>(i);
  }
  return -1;
}

int addStatus(PlayerTables& tables) {
  printMessage("Adding status record\n");
  for (std::uint32_t i = 0; i < kMaxStatusRecords; ++i) {
    StatusRecord& row = tables.statusRecords[i];
    if (row.inUse) continue;
    row = StatusRecord{};
    row.inUse = 1;
    if (i + 1 > tables.statusRecordCount) tables.statusRecordCount = i + 1;
    return static_cast<int>(i);
  }
  return -1;
}

void freeStatus(PlayerTables& tables, std::uint32_t index) {
  if (index >= kMaxStatusRecords) return;
  tables.statusRecords[index].inUse = 0;
  while (tables.statusRecordCount > 0 && !tables.statusRecords[tables.statusRecordCount - 1].inUse)
    --tables.statusRecordCount;
}

bool listsUser(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId) {
  for (std::uint32_t i = 0; i < tables.userRecordCount && i < kMaxUserRecords; ++i) {
    const UserRecord& row = tables.userRecords[i];
    if (row.userId == userId && row.wonId == wonId) return true;
  }
  return false;
}

bool findUser(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId) {
  return findUserRow(tables, userId, wonId) >= 0;
}

bool userName(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId, char* out) {
  int index = findUserRow(tables, userId, wonId);
  if (index < 0) return false;
  std::memcpy(out, tables.userRecords[index].name, kPlayerNameSize);
  return true;
}

}  // namespace kestrin
