// The command queue of one GameServer: the host thread appends console
// commands, the game thread runs them one per step, in the order queued.
//
// Thread safety: queueCommand, queueKick and queueBan may be called from any
// thread and take the game's mutex briefly; runNextCommand belongs to the
// game thread and never holds the mutex while it waits on the network.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

struct GameServer;

enum class RconCommandId : std::uint8_t {
  Status = 1,
  Users = 2,
  Kick = 3,
  AddIp = 4,
  Say = 5,
  BanId = 6,
};

inline constexpr std::size_t kRconCommandTextSize = 256;
// Queued commands wait in a fixed ring: a game server that does not keep up
// cannot make the queue grow without bound.
inline constexpr std::size_t kCommandQueueCapacity = 512;

struct RconCommand {
  std::uint8_t id = 0;  // an RconCommandId
  char text[kRconCommandTextSize] = {};
};

// Appends a command with its argument text (at most 254 characters).  Dropped
// silently while the game's rconReady is clear; refused with a message when
// the text is too long or the queue is full.
void queueCommand(GameServer& game, RconCommandId id, const char* text);
// Kick with "#<userId>".
void queueKick(GameServer& game, std::uint32_t userId);
// BanId with "<minutes> <wonId> kick".
void queueBan(GameServer& game, std::uint32_t wonId, int minutes);

// Game thread: runs and removes the head entry, if any.
void runNextCommand(GameServer& game);

}  // namespace kestrin
