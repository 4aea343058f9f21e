// The "status" and "users" polls: sent through the remote console by the
// game thread, their replies read line by line into the game's player and
// user tables.
#pragma once

#include <cstdint>

namespace kestrin {

struct GameServer;
struct PlayerTables;

inline constexpr std::uint32_t kUsersPollPauseMs = 1000;

// Reads a whole accepted "status" reply (beginning with its l) into the
// player table and sets statusUpdated.  Takes the tables' mutex.
void parseStatusReply(PlayerTables& tables, const char* reply);
// Rebuilds the user table from a whole accepted "users" reply.  Takes the
// tables' mutex.
void parseUsersReply(PlayerTables& tables, const char* reply);

// Game thread: sends the poll and reads its reply; false when no accepted
// reply came (the tables are then unchanged).
bool pollStatus(GameServer& game);
bool pollUsers(GameServer& game);

}  // namespace kestrin
