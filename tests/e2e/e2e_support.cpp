#include "e2e/e2e_support.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "support/pe_test_image.h"

namespace kestrin::e2e {
namespace {

// The time stamp kestrinsv puts in front of every line; 9 stands for a digit.
constexpr std::string_view kStampPattern = "[9999-99-99 99:99:99] ";

bool stampAt(const std::string& text, std::size_t at) {
  if (text.size() - at < kStampPattern.size()) return false;
  for (std::size_t k = 0; k < kStampPattern.size(); ++k) {
    char c = text[at + k];
    if (kStampPattern[k] == '9' ? c < '0' || c > '9' : c != kStampPattern[k]) return false;
  }
  return true;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) throw std::runtime_error(std::string("missing environment variable ") + name);
  return value;
}

}  // namespace

std::string libraryPath() { return environment("KESTRIN_LIBRARY"); }
std::string hostPath() { return environment("KESTRIN_HOST"); }
std::string libraryFileName() { return std::filesystem::path(libraryPath()).filename().string(); }

bool windowsHost() {
  const char* wine = std::getenv("KESTRIN_WINE");
  return wine != nullptr && *wine != '\0';
}

std::string hostLineEnd() { return windowsHost() ? "\r\n" : "\n"; }

CommandResult run(const std::string& command) {
  CommandResult result{-1, ""};
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

CommandResult runTool(const std::string& directory, const std::string& tool, const std::string& arguments) {
  return run("cd '" + directory + "' && '" + environment("KESTRIN_BINARY_DIR") + "/bin/" + tool + "' " + arguments);
}

std::vector<std::string> hostTextLines(const std::string& text) {
  const std::string end = hostLineEnd();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(end, start)) != std::string::npos; start = at + end.size()) {
    lines.push_back(text.substr(start, at - start));
    EXPECT_EQ(lines.back().find_first_of("\r\n"), std::string::npos) << "a foreign line end in: " << lines.back();
  }
  EXPECT_EQ(start, text.size()) << "a last line without its line end: " << text.substr(start);
  return lines;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

HostProcess::HostProcess(const std::string& directory, const std::string& extraArguments,
                         sim::UpdateServerSim* updateServer) {
  if (updateServer == nullptr) {
    ownUpdateServer_ = std::make_unique<sim::UpdateServerSim>();
    ownUpdateServer_->setList(sim::updateList(1000000));
    if (!ownUpdateServer_->start(80)) throw std::runtime_error("port 80 is taken: pass the test's update server");
  }
  launch(directory, extraArguments);
}

void HostProcess::launch(const std::string& directory, const std::string& extraArguments) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  // A Windows host runs under the Wine loader, in the Wine prefix that the
  // environment names (one per test, see wine_story.sh).
  std::string loader = windowsHost() ? "'" + environment("KESTRIN_WINE") + "' " : "";
  std::string command =
      "exec " + loader + "'" + hostPath() + "' --library '" + libraryPath() + "' " + extraArguments;
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(pipeFds[1], 1);
    ::dup2(pipeFds[1], 2);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    if (::chdir(directory.c_str()) != 0) ::_exit(127);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  reader_ = std::thread([this, fd = pipeFds[0]] { readLoop(fd); });
}

HostProcess::~HostProcess() { stop(); }

void HostProcess::readLoop(int fd) {
  const bool crLf = windowsHost();
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    for (char c : std::string_view(buffer, static_cast<std::size_t>(n))) {
      if (crLf && c == '\n' && !output_.empty() && output_.back() == '\r')
        output_.back() = '\n';
      else
        output_.push_back(c);
    }
  }
  ::close(fd);
}

std::string HostProcess::rawOutput() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

std::string HostProcess::output() const {
  const std::string raw = rawOutput();
  std::string plain;
  for (std::size_t at = 0; at < raw.size();) {
    if (stampAt(raw, at)) at += kStampPattern.size();
    std::size_t end = std::min(raw.find('\n', at), raw.size() - 1) + 1;
    plain.append(raw, at, end - at);
    at = end;
  }
  return plain;
}

bool HostProcess::waitForCount(const std::string& text, int count, int timeoutMs) const {
  return waitUntil([&] { return countInOutput(text) >= count; }, timeoutMs);
}

int HostProcess::countInOutput(const std::string& text) const {
  std::string all = output();
  int count = 0;
  for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size()))
    ++count;
  return count;
}

int HostProcess::waitExit(int timeoutMs) {
  if (pid_ > 0) {
    bool exited = waitUntil(
        [&] {
          int status = 0;
          pid_t r = ::waitpid(pid_, &status, WNOHANG);
          if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return true;
          }
          return false;
        },
        timeoutMs);
    if (!exited) return -1;
  }
  if (reader_.joinable()) reader_.join();
  return status_;
}

void HostProcess::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (waitExit(3000) == -1 && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitExit(3000);
    }
  }
  if (reader_.joinable()) reader_.join();
}

std::uint32_t playerAddress(std::uint32_t userId) { return 0x7F010000u | (userId & 0xFFFFu); }

std::string playerEndpoint(std::uint32_t userId) {
  const std::uint32_t a = playerAddress(userId);
  return "127.1." + std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a & 0xFF) + ":27005";
}

sim::SimPlayer player(const std::string& name, std::uint32_t userId, std::uint32_t wonId, int seconds,
                      const std::string& address) {
  return {.name = name, .userId = userId, .wonId = wonId, .connectedSeconds = seconds,
          .address = address.empty() ? playerEndpoint(userId) : address};
}

std::string gameSection(std::uint16_t port, const std::string& password, const std::string& externalIp,
                        const std::string& extraLines) {
  return "[game]\nrcon 127.0.0.1:" + std::to_string(port) + " " + password + "\nexternalip " + externalIp + "\n" +
         extraLines;
}

bool acceptedInOrder(const sim::GameServerSim& game, const std::string& first, const std::string& second) {
  std::vector<std::string> lines = game.acceptedLines();
  auto a = std::find(lines.begin(), lines.end(), first), b = std::find(lines.begin(), lines.end(), second);
  return a < b && b != lines.end();
}

std::string eventsOf(const sim::ClientSim& client) {
  std::string text;
  for (const std::string& line : client.events()) text += line + "\n";
  return text;
}

CheckedFiles::CheckedFiles(const ScratchDir& dir) {
  std::vector<std::uint8_t> library = testing::sampleLibraryFile();
  dir.write("client.dll", std::string(library.begin(), library.end()));
  std::string model(4096, '\0');
  for (std::size_t i = 0; i < model.size(); ++i) model[i] = static_cast<char>(i * 13 + 5);
  dir.write("player.mdl", model);
  lines = "chkpath " + dir.path() + "\nchkdll client.dll\nchkmdl player.mdl\n";
  list.addCheckFile(dir.path().c_str(), "client.dll", false);
  list.addCheckFile(dir.path().c_str(), "player.mdl", true);
  for (std::size_t i = 0; i < list.checkFileCount; ++i)
    digestsBySeed[list.checkFileSeeds[i]] = list.checkFileDigests[i];
}

sim::GameServerSim& E2eTest::addGame(std::uint16_t port, const std::vector<sim::SimPlayer>& players,
                                     const std::string& section) {
  games.push_back(std::make_unique<sim::GameServerSim>(sim::GameServerSim::Options{.port = port}));
  for (const sim::SimPlayer& p : players) games.back()->addPlayer(p);
  config += section.empty() ? gameSection(port) : section;
  return *games.back();
}

::testing::AssertionResult E2eTest::startHost(int readyGames, const std::string& arguments) {
  for (const auto& game : games)
    if (!game->running()) return ::testing::AssertionFailure() << "a game server port is taken";
  dir.write("kestrinsv.cfg", config);
  host = std::make_unique<HostProcess>(dir.path(), arguments);
  int count = readyGames < 0 ? static_cast<int>(games.size()) : readyGames;
  if (!host->waitForOutput("Init finished\n") || !host->waitForCount("Game: Rcon password accepted\n", count, 30000))
    return ::testing::AssertionFailure() << host->output();
  return ::testing::AssertionSuccess();
}

sim::ClientSim::Options E2eTest::clientOptions(std::uint32_t userId, std::uint32_t wonId) const {
  sim::ClientSim::Options options;
  options.userId = userId;
  options.wonId = wonId;
  options.localAddress = playerAddress(userId);
  options.digestsBySeed = files.digestsBySeed;
  return options;
}

}  // namespace kestrin::e2e

// The entry point of the end-to-end program.  ctest runs each test on its
// own with a filter, so a filter that selects nothing fails rather than
// passes.
int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  return ::testing::UnitTest::GetInstance()->test_to_run_count() == 0 ? 1 : result;
}
