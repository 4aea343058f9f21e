// A fresh folder for a test, and whole-file reads and writes.  Test code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kestrin::testing {

// The bytes of a file, or with `text` its lines as text mode reads them (CR LF
// made LF on Windows); empty when it cannot be read.
inline std::string readFile(const std::string& path, bool text = false) {
  std::ifstream in(path, text ? std::ios::in : std::ios::in | std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
inline void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// A fresh folder under `parent` (the system's temporary folder when empty),
// removed with all in it when the object dies.  With `enter`, it is the
// current folder until then, for code that works in the current folder.
class ScratchFolder {
 public:
  explicit ScratchFolder(bool enter = true, const std::string& parent = "") {
    const std::filesystem::path base =
        parent.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(parent);
    // A random name, taken only when no other test (of any program) has it.
    do {
      path_ = (base / ("kestrin-test-" + std::to_string(std::random_device{}()))).string();
    } while (!std::filesystem::create_directory(path_));
    if (enter) {
      previous_ = std::filesystem::current_path().string();
      std::filesystem::current_path(path_);
    }
  }
  ~ScratchFolder() {
    if (!previous_.empty()) std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const { writeFile(file(name), bytes); }
  std::string read(const std::string& name) const { return readFile(file(name)); }
  bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

 private:
  std::string previous_;
  std::string path_;
};

}  // namespace kestrin::testing
