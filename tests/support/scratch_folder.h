// Runs a test in a fresh working folder of its own, for code that reads and
// writes files in the current folder; the folder and all in it go when the
// object dies.  Test code.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace kestrin::testing {

class ScratchFolder {
 public:
  ScratchFolder() : previous_(std::filesystem::current_path()) {
    // A random name, taken only when no other test (of any program) has it.
    do {
      path_ = std::filesystem::temp_directory_path() / ("kestrin-test-" + std::to_string(std::random_device{}()));
    } while (!std::filesystem::create_directory(path_));
    std::filesystem::current_path(path_);
  }
  ~ScratchFolder() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

}  // namespace kestrin::testing
