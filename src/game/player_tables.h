// The player table (rows of the game server's "status" reply) and the user
// table (rows of its "users" reply) of one GameServer, and the look-ups by
// which the rest of the server finds a player.
//
// A player is identified by a userId and a wonId; in every look-up here a 0
// in either stands for any value.  The tables are shared by the game thread,
// which fills them from its polls, and the host thread, which judges and
// frees rows.  `mutex` guards every field; the functions below neither take
// nor release it: their caller holds it (the game thread while it reads a
// reply, the reconciliation for a whole pass, the verdicts while they look
// up a name or a row).  Row indexes stay meaningful only while it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"
#include "rcon/reply_lines.h"

namespace kestrin {

inline constexpr std::size_t kMaxStatusRecords = 64;
inline constexpr std::size_t kMaxUserRecords = 64;

// A status line kept in the player table, with the judgement of its player.
struct StatusRecord : StatusLine {
  std::uint8_t inUse = 0;
  // Set by every status poll that lists the player; cleared by the
  // reconciliation once it has judged the row.
  std::uint8_t present = 0;
  // Set with `present`, never cleared: the row was filled from a status line.
  std::uint8_t listed = 0;
  std::uint8_t playedWithClient = 0;
  std::uint8_t downloadNoticeGiven = 0;
};

struct PlayerTables {
  mutable std::mutex mutex;
  StatusRecord statusRecords[kMaxStatusRecords];
  std::uint32_t statusRecordCount = 0;
  // Set by every accepted status reply; cleared by the reconciliation.
  std::uint8_t statusUpdated = 0;
  // The local time of the latest accepted status reply, when `polled`.
  bool polled = false;
  platform::LocalTime lastPoll;
  UserRecord userRecords[kMaxUserRecords];
  std::uint32_t userRecordCount = 0;
};

// The row's address as a number, a.b.c.d as (a << 24) | ... | d.
std::uint32_t statusAddress(const StatusLine& row);

// Index of the first row in use that matches, or -1.  Free rows keep their
// ids but are passed over, so a player whose row was freed gets a fresh one.
int findStatus(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId);

// Prints "Adding status record\n", then takes the first free row, clears it,
// marks it in use and returns its index; -1 when all rows are in use.
int addStatus(PlayerTables& tables);

// Frees one row; statusRecordCount drops over free rows at the end.
void freeStatus(PlayerTables& tables, std::uint32_t index);

// True when the user table has a row with exactly these ids (no wildcard):
// the look-up for ids that a client sends.
bool listsUser(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId);

// True when the user table has a matching row.
bool findUser(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId);

// Copies the first matching user row's name into `out` (kPlayerNameSize
// bytes); false, with `out` untouched, when no row matches.
bool userName(const PlayerTables& tables, std::uint32_t userId, std::uint32_t wonId, char* out);

}  // namespace kestrin
