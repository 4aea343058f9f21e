#include "e2e/e2e_support.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kestrin::e2e {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) throw std::runtime_error(std::string("missing environment variable ") + name);
  return value;
}

}  // namespace

std::string libraryPath() { return environment("KESTRIN_LIBRARY"); }
std::string hostPath() { return environment("KESTRIN_HOST"); }
std::string sourceDir() { return environment("KESTRIN_SOURCE_DIR"); }

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrin-e2e-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& content) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ScratchDir::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ScratchDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

HostProcess::HostProcess(const std::string& directory, const std::string& extraArguments)
    : ownUpdateServer_(std::make_unique<sim::UpdateServerSim>()) {
  ownUpdateServer_->setList(sim::updateList(kDefaultMasterTime));
  if (!ownUpdateServer_->start(80))
    throw std::runtime_error("port 80 is taken: pass the test's own update server to HostProcess");
  launch(directory, extraArguments);
}

HostProcess::HostProcess(const std::string& directory, const std::string& extraArguments,
                         sim::UpdateServerSim*) {
  launch(directory, extraArguments);
}

void HostProcess::launch(const std::string& directory, const std::string& extraArguments) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  std::string command = "exec '" + hostPath() + "' --library '" + libraryPath() + "' " + extraArguments;
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
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
}

std::string HostProcess::output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool HostProcess::waitForOutput(const std::string& text, int timeoutMs) const {
  return waitUntil([&] { return output().find(text) != std::string::npos; }, timeoutMs);
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

}  // namespace kestrin::e2e
