// The "status" and "users" polls: sent through the remote console by the
// game thread and parsed line by line into the game's player and user
// tables.  The parsers are pure and may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "game/player_tables.h"

namespace kestrin {

struct GameServer;

inline constexpr std::size_t kReplyLineSize = 256;
inline constexpr std::uint32_t kUsersPollPauseMs = 1000;

// Takes the next line-feed-terminated line from *cursor into `line`
// (kReplyLineSize bytes) and moves the cursor behind it.  A line longer
// than 255 characters comes out empty, so that no parser sees half of it.
// False, with the cursor left, when no complete line is left.
bool nextLine(const char** cursor, char* line);

// One player line of a "status" reply, in either time form
// ("# 1 "Name" 12 345678 3 01:25 48 0 1.2.3.4:27005" or with h:mm:ss).
// Fills the row's line fields (slot to port); false for any other line.
bool parseStatusLine(const char* line, StatusRecord* row);

// One row of a "users" reply ("12 : 345678 : Name"); false for any other line.
bool parseUsersLine(const char* line, UserRecord* row);

// Parses a whole accepted "status" reply (beginning with its l) into the
// player table and sets statusUpdated.  Takes the game's mutex.
void parseStatusReply(GameServer& game, const char* reply);
// Rebuilds the user table from a whole accepted "users" reply.  Takes the
// game's mutex.
void parseUsersReply(GameServer& game, const char* reply);

// Game thread: sends the poll and parses its reply; false when no accepted
// reply came (the tables are then unchanged).
bool pollStatus(GameServer& game);
bool pollUsers(GameServer& game);

}  // namespace kestrin
