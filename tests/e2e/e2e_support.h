// The end-to-end fixture: a scratch working folder with the checked files,
// simulated game servers with their players, the configuration that lists
// them, and the host program kestrinsv run as a child process with the built
// library, its output collected.  The program runs inside a private network
// namespace (in_netns.sh), where the fixed ports 27060 and 80 are free.
// The host is either the Linux build or the Windows build run under Wine
// (KESTRIN_WINE); the same stories drive both.  The fixture itself is Linux
// only; test code.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "digest/checksum_list.h"
#include "sim/client_sim.h"
#include "sim/game_server_sim.h"
#include "sim/update_server_sim.h"
#include "support/scratch_folder.h"

namespace kestrin::e2e {

// Path of the built server library and host program (set by ctest).
std::string libraryPath();
std::string hostPath();
// The library's file name, "kestrinserver.so" or "kestrinserver.dll".
std::string libraryFileName();
// True when the host is the Windows build, run by the Wine loader that
// KESTRIN_WINE names.
bool windowsHost();
// The line end of the host's text files and output: CR LF on Windows.
std::string hostLineEnd();

// A scratch folder that a test does not enter: the host runs in it.
struct ScratchDir : testing::ScratchFolder {
  explicit ScratchDir(const std::string& parent = "") : ScratchFolder(false, parent) {}
};
using testing::readFile;

// Runs a shell command; its exit status and its standard output and error.
struct CommandResult {
  int status;
  std::string output;
};
CommandResult run(const std::string& command);
// Runs program `tool` of the build, with `arguments`, in `directory`.
CommandResult runTool(const std::string& directory, const std::string& tool, const std::string& arguments = "");

// The lines of a text file the host wrote, without their line ends; a line
// end other than the host's own, or a last line without one, is a failure.
std::vector<std::string> hostTextLines(const std::string& text);

// Polls `condition` every 20 ms until it holds or `timeoutMs` passed.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

// kestrinsv running in a folder, its standard output and error collected.
class HostProcess {
 public:
  // Starts the built kestrinsv with the built library in `directory` with
  // the extra arguments, against `updateServer` (which outlives this
  // object).  Without one, an update server on port 80 answers every update
  // query with "time=1000000" alone for the object's lifetime, so that
  // start-up gets its master time.
  explicit HostProcess(const std::string& directory, const std::string& extraArguments = "--once",
                       sim::UpdateServerSim* updateServer = nullptr);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // The output, a Windows host's CR LF line ends made "\n" and the time
  // stamp at the start of each line taken off, as with --plain; rawOutput()
  // with the stamps.
  std::string output() const;
  std::string rawOutput() const;
  // Waits until the output holds `text`; false after the deadline.
  bool waitForOutput(const std::string& text, int timeoutMs = 20000) const { return waitForCount(text, 1, timeoutMs); }
  // Waits until `text` occurs `count` times or more; false after the deadline.
  bool waitForCount(const std::string& text, int count, int timeoutMs = 20000) const;
  int countInOutput(const std::string& text) const;
  // Position of `text` in the output, npos when missing.
  std::size_t at(const std::string& text) const { return output().find(text); }
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

// The loopback address from which the simulated client of player `userId`
// connects, 127.1.x.y, and the "a.b.c.d:27005" at which his game lists him.
std::uint32_t playerAddress(std::uint32_t userId);
std::string playerEndpoint(std::uint32_t userId);

// A player of a simulated game server, connected for `seconds`, listed at
// `address` (his client's, playerEndpoint, when empty).
sim::SimPlayer player(const std::string& name, std::uint32_t userId, std::uint32_t wonId, int seconds = 0,
                      const std::string& address = "");

// A "[game]" section watching 127.0.0.1:`port`.
std::string gameSection(std::uint16_t port, const std::string& password = "secret",
                        const std::string& externalIp = "203.0.113.5", const std::string& extraLines = "");

// True when both lines were accepted, `first` before `second`.
bool acceptedInOrder(const sim::GameServerSim& game, const std::string& first, const std::string& second);
// What a simulated client saw, for failure messages.
std::string eventsOf(const sim::ClientSim& client);

// A checksum folder holding client.dll and player.mdl, the configuration
// lines that list them (library first), and the answers an honest client
// gives, computed with the server's own digest code.
struct CheckedFiles {
  explicit CheckedFiles(const ScratchDir& dir);
  std::string lines;
  std::map<std::uint32_t, std::uint32_t> digestsBySeed;
  ChecksumList list;
};

// The scene of most end-to-end tests: the working folder with the checked
// files, game servers added by the test, then the host watching them.
class E2eTest : public ::testing::Test {
 protected:
  // A simulated game server on `port` with `players`, listed in the
  // configuration with `section` (a plain section when empty).
  sim::GameServerSim& addGame(std::uint16_t port, const std::vector<sim::SimPlayer>& players = {},
                              const std::string& section = "");
  // Writes the configuration, starts the host and waits until it listens
  // for clients and `readyGames` games (every game added when negative)
  // have accepted the password.
  ::testing::AssertionResult startHost(int readyGames = -1, const std::string& arguments = "--once");
  // Options of a simulated client of player `userId`/`wonId` that knows the
  // checked files and connects from the player's address.
  sim::ClientSim::Options clientOptions(std::uint32_t userId, std::uint32_t wonId) const;

  ScratchDir dir;
  CheckedFiles files{dir};
  std::string config;
  std::vector<std::unique_ptr<sim::GameServerSim>> games;
  std::unique_ptr<HostProcess> host;
};

}  // namespace kestrin::e2e
