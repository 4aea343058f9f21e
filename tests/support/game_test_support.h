// Helpers for the game tests: a game with a test clock and a look at its
// command queue.  Test code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "game/game_server.h"

namespace kestrin::testing {

struct TestGame {
  std::uint32_t now = 100000;
  std::unique_ptr<GameServer> game = std::make_unique<GameServer>();

  TestGame() { game->rconReady.store(true); }

  // The queued commands in the order the game thread runs them, as
  // "<id> <text>", taken off the queue as it would.
  std::vector<std::string> take() {
    std::vector<std::string> out;
    for (RconCommand c; game->commands.take(&c);)
      out.push_back(std::to_string(c.id) + " " + c.text);
    return out;
  }
};

}  // namespace kestrin::testing
