// Helpers for the game and remote-console tests: a game with a test clock
// and a look at its command queue.  Test code.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "game/game_server.h"

namespace kestrin::testing {

struct TestGame {
  std::uint32_t now = 100000;
  std::unique_ptr<GameServer> game = std::make_unique<GameServer>();

  TestGame() {
    game->rconReady.store(true);
  }

  // The queued commands, head first, as "<id> <text>".
  std::vector<std::string> queued() const {
    std::lock_guard<std::recursive_mutex> lock(game->mutex);
    std::vector<std::string> out;
    for (std::int32_t i = 0; i < game->commandCount; ++i) {
      const RconCommand& c =
          game->commands[(game->commandHead + static_cast<std::uint32_t>(i)) % kCommandQueueCapacity];
      out.push_back(std::to_string(c.id) + " " + c.text);
    }
    return out;
  }
  // The queue as queued() gives it, emptied as the game thread would.
  std::vector<std::string> take() {
    std::vector<std::string> out = queued();
    std::lock_guard<std::recursive_mutex> lock(game->mutex);
    game->commandCount = 0;
    return out;
  }
};

}  // namespace kestrin::testing
