#include "rcon/command_queue.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/print.h"
#include "game/game_server.h"
#include "rcon/player_polling.h"
#include "rcon/rcon_transport.h"

namespace kestrin {

void queueCommand(GameServer& game, RconCommandId id, const char* text) {
  if (!game.rconReady.load()) return;
  std::size_t length = std::strlen(text);
  if (length >= kRconCommandTextSize - 1) {
    printMessage("Game: Command text longer than %u characters, command %d not queued\n",
                 static_cast<unsigned>(kRconCommandTextSize - 2), static_cast<int>(id));
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  if (static_cast<std::size_t>(game.commandCount) == kCommandQueueCapacity) {
    printMessage("Game: Command queue full, command %d not queued\n", static_cast<int>(id));
    return;
  }
  RconCommand& entry =
      game.commands[(game.commandHead + static_cast<std::uint32_t>(game.commandCount)) %
                    kCommandQueueCapacity];
  entry = RconCommand{};
  entry.id = static_cast<std::uint8_t>(id);
  std::memcpy(entry.text, text, length + 1);
  ++game.commandCount;
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

void runNextCommand(GameServer& game) {
  RconCommand command;
  {
    std::lock_guard<std::recursive_mutex> lock(game.mutex);
    if (game.commandCount < 1) return;
    command = game.commands[game.commandHead];
  }
  // The network part runs without the lock: the host thread may queue
  // meanwhile; it only ever appends behind the head.
  switch (static_cast<RconCommandId>(command.id)) {
    case RconCommandId::Status:
      pollStatus(game);
      break;
    case RconCommandId::Users:
      pollUsers(game);
      break;
    case RconCommandId::Kick:
      rconCommand(game, "kick", command.text);
      break;
    case RconCommandId::AddIp:
      rconCommand(game, "addip", command.text);
      break;
    case RconCommandId::Say:
      rconCommand(game, "say", command.text);
      break;
    case RconCommandId::BanId:
      printMessage("Banning player\n");
      rconCommand(game, "banid", command.text);
      break;
    default:
      printMessage("Game: Unknown CMD Id %d\n", static_cast<int>(command.id));
      break;
  }
  std::lock_guard<std::recursive_mutex> lock(game.mutex);
  game.commandHead = (game.commandHead + 1) % kCommandQueueCapacity;
  --game.commandCount;
}

}  // namespace kestrin
