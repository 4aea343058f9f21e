// The command queue of one GameServer: the host thread appends console
// commands, the game thread runs them one at a time, in the order queued.
//
// Thread safety: CommandQueue guards its ring with a mutex of its own, held
// only for copies in and out, never while a command goes over the network.
// queueCommand, queueKick and queueBan may be called from any thread; the
// game thread alone waits for commands.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <mutex>

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

class CommandQueue {
 public:
  // Appends a copy of `command`; false, with nothing changed, when the ring
  // is full.
  bool push(const RconCommand& command);
  // Copies the head entry into `out`; false when the queue is empty.
  bool front(RconCommand* out) const;
  // Removes the head entry, if any.
  void pop();
  std::size_t size() const;
  // Blocks until a command waits or the queue is interrupted; true when a
  // command waits.  An idle game thread spends its time here.
  bool waitForCommand();
  // Ends the current wait and every later one (the watch is stopping).
  void interrupt();

 private:
  mutable std::mutex mutex_;
  std::condition_variable pushed_;
  bool interrupted_ = false;
  RconCommand entries_[kCommandQueueCapacity];
  std::uint32_t head_ = 0;
  std::uint32_t count_ = 0;
};

// Makes a text safe as the argument of a console command: every `;`, `"`,
// line end and other control character becomes a space, so that no text
// (a player's name above all) can end the command or start another.
void cleanConsoleText(char* text);
// Appends a command with its argument text (at most 254 characters), cleaned
// by cleanConsoleText.  Dropped silently while the game's rconReady is clear;
// refused with a message when the text is too long or the queue is full.
void queueCommand(GameServer& game, RconCommandId id, const char* text);
// Kick with "#<userId>".
void queueKick(GameServer& game, std::uint32_t userId);
// BanId with "<minutes> <wonId> kick".
void queueBan(GameServer& game, std::uint32_t wonId, int minutes);

}  // namespace kestrin
