// Helpers for the end-to-end tests: a scratch folder, the host program
// kestrinsv run as a child process with its output collected, and waits
// with deadlines.  Linux only; test code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/update_server_sim.h"

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

// Master time of the update server that HostProcess runs by default.
inline constexpr std::uint32_t kDefaultMasterTime = 1000000;

// kestrinsv running in a folder, its standard output and error collected.
class HostProcess {
 public:
  // Starts the built kestrinsv with the built library in `directory` with
  // the extra arguments.  For the object's lifetime an update server on port
  // 80 answers every update query with "time=<kDefaultMasterTime>" alone, so
  // that start-up gets its master time.
  explicit HostProcess(const std::string& directory, const std::string& extraArguments = "--once");
  // The same with the test's own update server (started by the test, and
  // outliving this object), or with none when `updateServer` is null.
  HostProcess(const std::string& directory, const std::string& extraArguments,
              sim::UpdateServerSim* updateServer);
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
  void launch(const std::string& directory, const std::string& extraArguments);
  void readLoop(int fd);

  std::unique_ptr<sim::UpdateServerSim> ownUpdateServer_;

  pid_t pid_ = -1;
  int status_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string output_;
};

}  // namespace kestrin::e2e
