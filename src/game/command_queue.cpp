#include "game/command_queue.h"

#include <cstdio>
#include <cstring>

#include "core/print.h"
#include "game/game_server.h"

namespace kestrin {

bool CommandQueue::push(const RconCommand& command) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (command.id == static_cast<std::uint8_t>(RconCommandId::Users)) {
      usersWaiting_ = true;
    } else if (command.id == static_cast<std::uint8_t>(RconCommandId::Status)) {
      statusWaiting_ = true;
    } else {
      if (count_ == kCommandQueueCapacity) return false;
      entries_[(head_ + count_) % kCommandQueueCapacity] = command;
      ++count_;
    }
  }
  pushed_.notify_one();
  return true;
}

bool CommandQueue::take(RconCommand* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ > 0) {
    *out = entries_[head_];
    head_ = (head_ + 1) % kCommandQueueCapacity;
    --count_;
    return true;
  }
  if (!usersWaiting_ && !statusWaiting_) return false;
  const bool users = usersWaiting_ && !(statusWaiting_ && lastPollWasUsers_);
  *out = RconCommand{};
  out->id = static_cast<std::uint8_t>(users ? RconCommandId::Users : RconCommandId::Status);
  (users ? usersWaiting_ : statusWaiting_) = false;
  lastPollWasUsers_ = users;
  return true;
}

std::size_t CommandQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_ + (usersWaiting_ ? 1 : 0) + (statusWaiting_ ? 1 : 0);
}

bool CommandQueue::waitForCommand() {
  std::unique_lock<std::mutex> lock(mutex_);
  pushed_.wait(lock, [this] { return count_ > 0 || usersWaiting_ || statusWaiting_ || interrupted_; });
  return (count_ > 0 || usersWaiting_ || statusWaiting_) && !interrupted_;
}

void CommandQueue::interrupt() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
  }
  pushed_.notify_all();
}

void cleanConsoleText(char* text) {
  for (char* c = text; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7F || byte == ';' || byte == '"') *c = ' ';
  }
}

void queueCommand(GameServer& game, RconCommandId id, const char* text) {
  if (!game.rconReady.load()) return;
  std::size_t length = std::strlen(text);
  if (length >= kRconCommandTextSize - 1) {
    printMessage("Game: Command text longer than %u characters, command %d not queued\n",
                 static_cast<unsigned>(kRconCommandTextSize - 2), static_cast<int>(id));
    return;
  }
  RconCommand entry;
  entry.id = static_cast<std::uint8_t>(id);
  std::memcpy(entry.text, text, length + 1);
  cleanConsoleText(entry.text);
  if (!game.commands.push(entry))
    printMessage("Game: Command queue full, command %d not queued\n", static_cast<int>(id));
}

void queueKick(GameServer& game, std::uint32_t userId) {
  char text[32];
  std::snprintf(text, sizeof text, "#%u", userId);
  queueCommand(game, RconCommandId::Kick, text);
}

void queueBan(GameServer& game, std::uint32_t wonId, int minutes) {
  char text[48];
  std::snprintf(text, sizeof text, "%d %u kick", minutes, wonId);
  queueCommand(game, RconCommandId::BanId, text);
}

}  // namespace kestrin
