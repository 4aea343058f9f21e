// Helpers for the end-to-end tests: a scratch folder, the host program
// kestrinsv run as a child process with its output collected, and waits
// with deadlines.  Linux only; test code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kestrin::e2e {

// Path of the built server library and host program (set by ctest).
std::string libraryPath();
std::string hostPath();
std::string sourceDir();

// A fresh folder under the system's temporary folder, removed with its
// content when the object dies.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

// Polls `condition` every 20 ms until it holds or `timeoutMs` passed.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

// kestrinsv running in a folder, its standard output and error collected.
class HostProcess {
 public:
  // Starts `host` (default: the built kestrinsv with the built library) in
  // `directory` with the extra arguments.
  explicit HostProcess(const std::string& directory, const std::string& extraArguments = "--once");
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  std::string output() const;
  // Waits until the output holds `text`; false after the deadline.
  bool waitForOutput(const std::string& text, int timeoutMs = 20000) const;
  // Number of times `text` occurs in the output so far.
  int countInOutput(const std::string& text) const;
  // Waits for the process to exit; its exit status, or -1 after the deadline.
  int waitExit(int timeoutMs = 20000);
  // Asks the process to stop (SIGTERM, then SIGKILL) and collects it.
  void stop();
  pid_t pid() const { return pid_; }

 private:
  void readLoop(int fd);

  pid_t pid_ = -1;
  int status_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string output_;
};

}  // namespace kestrin::e2e
