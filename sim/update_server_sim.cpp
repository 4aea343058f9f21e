#include "sim/update_server_sim.h"

#include <chrono>

#include "core/wire.h"
#include "platform/platform.h"
#include "update/updater.h"

namespace kestrin::sim {
namespace {

constexpr std::uint32_t kAcceptPollMs = 50;
// How long a client may take to send its request or to take the reply.
constexpr std::uint32_t kTransferDeadlineMs = 15000;
constexpr std::size_t kMaxRequestSize = 8192;
constexpr std::uint32_t kRetryPauseMs = 5;

std::string header(int status, const char* reason, const std::string* contentLength) {
  std::string text = "HTTP/1.0 " + std::to_string(status) + " " + reason + "\r\n";
  text += "Server: kestrin-update-sim\r\n";
  if (contentLength != nullptr) text += "Content-Length: " + *contentLength + "\r\n";
  return text + "\r\n";
}

bool isListPath(const std::string& path) { return path.rfind(kUpdateListPath, 0) == 0; }

}  // namespace

std::string updateList(std::uint32_t time, const std::string& serverPath,
                       const std::string& clientPath, const std::string& host) {
  std::string text = "time=" + std::to_string(time) + "\n";
  if (!serverPath.empty()) text += "sv=" + host + " " + serverPath + "\n";
  if (!clientPath.empty()) text += "cv=" + host + " " + clientPath + "\n";
  return text;
}

std::string makeImage(std::uint16_t version, std::uint32_t activationTime,
                      const std::string& payload, long long payloadSize) {
  std::uint8_t head[wire::kImageHeaderSize];
  writeImageHeader(version, activationTime,
                   static_cast<std::uint32_t>(payloadSize < 0 ? static_cast<long long>(payload.size())
                                                              : payloadSize),
                   head);
  return std::string(reinterpret_cast<const char*>(head), sizeof head) + payload;
}

std::string signature(const std::string& bytes, const std::string& privateKeyPem) {
  std::string der;
  return platform::signData(privateKeyPem, bytes.data(), bytes.size(), &der) ? der : "";
}

UpdateServerSim::~UpdateServerSim() { stop(); }

bool UpdateServerSim::start(std::uint16_t port) {
  platform::startSockets();
  if (platform::tcpListen(port, 8, &listener_) != platform::ListenResult::kOk) return false;
  if (!thread_.start(&UpdateServerSim::threadMain, this)) {
    platform::closeSocket(listener_);
    listener_ = platform::kInvalidSocket;
    return false;
  }
  return true;
}

void UpdateServerSim::stop() {
  stop_.request();
  thread_.join();
  platform::closeSocket(listener_);
  listener_ = platform::kInvalidSocket;
}

void UpdateServerSim::setList(const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  list_ = body;
}

void UpdateServerSim::queueList(const std::string& body, HttpFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  queuedLists_.push_back({body, fault});
}

void UpdateServerSim::setFile(const std::string& path, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path] = body;
}

void UpdateServerSim::setSignedFile(const std::string& path, const std::string& image,
                                    const std::string& privateKeyPem) {
  setFile(path, image);
  setFile(path + wire::kImageSignatureSuffix, signature(image, privateKeyPem));
}

void UpdateServerSim::setFault(const std::string& path, HttpFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[path] = fault;
}

std::vector<std::string> UpdateServerSim::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> UpdateServerSim::queries() const {
  std::vector<std::string> result;
  for (const std::string& path : requests())
    if (isListPath(path)) result.push_back(path);
  return result;
}

bool UpdateServerSim::waitForQueries(std::size_t count, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (queries().size() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::sleepMilliseconds(10);
  }
  return true;
}

bool UpdateServerSim::waitForRequests(std::size_t count, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (requests().size() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::sleepMilliseconds(10);
  }
  return true;
}

void UpdateServerSim::threadMain(void* raw) {
  auto* self = static_cast<UpdateServerSim*>(raw);
  while (!self->stop_.requested()) {
    bool ready = false;
    if (platform::pollReadable(&self->listener_, 1, &ready, kAcceptPollMs) <= 0) continue;
    platform::SocketHandle connection = platform::tcpAccept(self->listener_);
    if (connection == platform::kInvalidSocket) continue;
    self->serve(connection);
    platform::closeSocket(connection);
  }
}

bool UpdateServerSim::readRequest(platform::SocketHandle connection, std::string* path) {
  std::string request;
  std::uint32_t started = platform::milliseconds();
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (request.size() > kMaxRequestSize || stop_.requested() ||
        platform::milliseconds() - started > kTransferDeadlineMs)
      return false;
    bool ready = false;
    if (platform::pollReadable(&connection, 1, &ready, kAcceptPollMs) <= 0) continue;
    char buffer[1024];
    long n = platform::socketReceive(connection, buffer, sizeof buffer);
    if (n <= 0) return false;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  // "GET <path> HTTP/1.0"
  if (request.rfind("GET ", 0) != 0) return false;
  std::size_t end = request.find(' ', 4);
  if (end == std::string::npos) return false;
  *path = request.substr(4, end - 4);
  return true;
}

bool UpdateServerSim::sendAll(platform::SocketHandle connection, const std::string& bytes) {
  std::size_t sent = 0;
  std::uint32_t started = platform::milliseconds();
  while (sent < bytes.size()) {
    long n = platform::socketSend(connection, bytes.data() + sent, bytes.size() - sent);
    if (n < 0) return false;
    if (n == 0) {
      if (platform::milliseconds() - started > kTransferDeadlineMs || !stop_.sleep(kRetryPauseMs))
        return false;
      continue;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void UpdateServerSim::holdOpen(platform::SocketHandle connection) {
  while (!stop_.requested()) {
    bool ready = false;
    if (platform::pollReadable(&connection, 1, &ready, kAcceptPollMs) <= 0) continue;
    char buffer[256];
    if (platform::socketReceive(connection, buffer, sizeof buffer) <= 0) return;
  }
}

void UpdateServerSim::serve(platform::SocketHandle connection) {
  std::string path;
  if (!readRequest(connection, &path)) return;

  bool found = false;
  std::string body;
  HttpFault fault = HttpFault::kNone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(path);
    std::string key = path.substr(0, path.find('?'));
    if (auto entry = faults_.find(key); entry != faults_.end()) fault = entry->second;
    if (isListPath(path)) {
      found = true;
      if (!queuedLists_.empty()) {
        body = queuedLists_.front().body;
        if (queuedLists_.front().fault != HttpFault::kNone) fault = queuedLists_.front().fault;
        queuedLists_.erase(queuedLists_.begin());
      } else {
        body = list_;
      }
    } else if (auto file = files_.find(key); file != files_.end()) {
      found = true;
      body = file->second;
    }
  }

  if (!found || fault == HttpFault::kNotFound) {
    sendAll(connection, header(404, "Not Found", nullptr) + "not found\n");
    return;
  }
  std::string length = std::to_string(body.size());
  switch (fault) {
    case HttpFault::kNone:
    case HttpFault::kNotFound:
      sendAll(connection, header(200, "OK", &length) + body);
      return;
    case HttpFault::kNoContentLength:
      sendAll(connection, header(200, "OK", nullptr) + body);
      return;
    case HttpFault::kWrongLength: {
      std::string wrong = std::to_string(body.size() + 1);
      sendAll(connection, header(200, "OK", &wrong) + body);
      return;
    }
    case HttpFault::kStall:
      if (sendAll(connection, header(200, "OK", &length) + body.substr(0, body.size() / 2)))
        holdOpen(connection);
      return;
    case HttpFault::kKeepOpen:
      if (sendAll(connection, header(200, "OK", &length) + body)) holdOpen(connection);
      return;
  }
}

}  // namespace kestrin::sim
