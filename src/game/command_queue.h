// The command queue of one GameServer: the host thread appends console
// commands, the game thread runs them one at a time.  Say, kick, ban and
// addip run in the order queued and always before the polls ("status",
// "users"), which wait apart, at most one of each kind: however often polls
// are asked for, they can neither fill the queue nor hold up a verdict.  When
// both polls wait they take turns, so that a stream of users polls (every
// client's hello asks for one) cannot hold the status poll off.
//
// Thread safety: CommandQueue guards its state with a mutex of its own, held
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
  // Appends a copy of `command` to the ring; false, with nothing changed,
  // when the ring is full.  A poll is marked waiting instead (a poll of the
  // same kind already waiting stands for both) and is never refused.
  bool push(const RconCommand& command);
  // Takes the next command off the queue into `out`: the ring's head, else a
  // waiting poll, the status poll when the last poll taken was a users poll
  // and both wait.  False when none waits.
  bool take(RconCommand* out);
  // Commands in the ring plus waiting polls.
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
  bool usersWaiting_ = false;
  bool statusWaiting_ = false;
  bool lastPollWasUsers_ = false;
  RconCommand entries_[kCommandQueueCapacity];
  std::uint32_t head_ = 0;
  std::uint32_t count_ = 0;
};

// Makes a text safe as the argument of a console command: every `;`, `"`,
// line end and other control character becomes a space, so that no text
// (a player's name above all) can end the command or start another.
void cleanConsoleText(char* text);
// Queues a command with its argument text (at most 254 characters), cleaned
// by cleanConsoleText.  Dropped silently while the game's rconReady is clear;
// refused with a message when the text is too long or the queue is full.
void queueCommand(GameServer& game, RconCommandId id, const char* text);
// Kick with "#<userId>".
void queueKick(GameServer& game, std::uint32_t userId);
// BanId with "<minutes> <wonId> kick".
void queueBan(GameServer& game, std::uint32_t wonId, int minutes);

}  // namespace kestrin
