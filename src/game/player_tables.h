// The player table (rows of the game server's "status" reply) and the user
// table (rows of its "users" reply) of one GameServer, and the look-ups by
// which the rest of the server finds a player.
//
// A player is identified by a userId and a wonId; in every look-up here a 0
// in either stands for any value.  The tables live inside the GameServer and
// are shared by its game thread (which fills them) and the host thread (which
// reads and frees rows): every function below takes the game's mutex itself.
// Row indexes handed out stay meaningful only while the caller holds that
// mutex (it is recursive, so callers may hold it around these calls).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

struct GameServer;

inline constexpr std::size_t kMaxStatusRecords = 64;
inline constexpr std::size_t kMaxUserRecords = 64;
inline constexpr std::size_t kPlayerNameSize = 256;

struct StatusRecord {
  std::uint8_t inUse = 0;
  // Set by every status poll that lists the player; cleared by the
  // reconciliation once it has judged the row.
  std::uint8_t present = 0;
  // Set with `present`, never cleared: the row was filled from a status line.
  std::uint8_t listed = 0;
  std::uint8_t playedWithClient = 0;
  std::uint8_t downloadNoticeGiven = 0;
  std::int32_t slot = 0;
  char name[kPlayerNameSize] = {};
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  std::int32_t frags = 0;
  std::int32_t hours = 0;  // 0 when the time column is minutes:seconds
  std::int32_t minutes = 0;
  std::int32_t seconds = 0;
  std::int32_t ping = 0;
  std::int32_t loss = 0;
  std::uint8_t ip[4] = {};  // a.b.c.d in text order
  std::int32_t port = 0;
};

struct UserRecord {
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  char name[kPlayerNameSize] = {};
};

// Index of the first row in use that matches, or -1.  Free rows keep their
// ids but are passed over, so a player whose row was freed gets a fresh one.
int findStatus(const GameServer& game, std::uint32_t userId, std::uint32_t wonId);

// Prints "Adding status record\n", then takes the first free row, clears it,
// marks it in use and returns its index; -1 when all rows are in use.
int addStatus(GameServer& game);

// Frees one row; statusRecordCount drops over free rows at the end.
void freeStatus(GameServer& game, std::uint32_t index);

// True when the user table has a matching row.
bool findUser(const GameServer& game, std::uint32_t userId, std::uint32_t wonId);

// Copies the first matching user row's name into `out` (kPlayerNameSize
// bytes); false, with `out` untouched, when no row matches.
bool userName(const GameServer& game, std::uint32_t userId, std::uint32_t wonId, char* out);

}  // namespace kestrin
