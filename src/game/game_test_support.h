// Helpers for the game tests: a game with a test clock and a look at its
// command queue.  Test code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "game/game_server.h"
#include "platform/platform.h"

namespace kestrin::testing {

struct TestGame {
  std::uint32_t now = 100000;
  std::unique_ptr<GameServer> game = std::make_unique<GameServer>();

  TestGame() {
    game->clock = &now;
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
};

// Runs the test in a fresh folder of its own, for code that writes files in
// the working directory; the folder goes when the object dies.
class ScopedWorkingDirectory {
 public:
  ScopedWorkingDirectory() : previous_(std::filesystem::current_path()) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("kestrin-game-test-" + std::to_string(platform::milliseconds()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
    std::filesystem::current_path(path_);
  }
  ~ScopedWorkingDirectory() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

}  // namespace kestrin::testing
