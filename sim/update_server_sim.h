// A simulated update server: HTTP/1.0 on one TCP port, answering the update
// query with an update list and other paths with image files, one connection
// at a time on a thread of its own.  Every request path is recorded.  Faults
// can be switched on per path to exercise the fetch's failure handling.
// Images can be served with their signatures, and a signature can be made
// missing (a fault on its path) or wrong (another file at its path).
// All members are thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/stop_signal.h"

namespace kestrin::sim {

// The path of every update query, up to its "?".
inline constexpr const char* kUpdateListPath = "/update.php";

enum class HttpFault {
  kNone,
  kNotFound,          // status 404, no body
  kNoContentLength,   // the body without a Content-Length header
  kWrongLength,       // Content-Length one more than the body
  kStall,             // half of the body, then silence with the connection open
  kKeepOpen,          // the whole body, then the connection stays open
};

// An update list: "time=<time>", then "sv=<host> <serverPath>" and
// "cv=<host> <clientPath>" for the paths that are not empty.
std::string updateList(std::uint32_t time, const std::string& serverPath = "",
                       const std::string& clientPath = "",
                       const std::string& host = "127.0.0.1");
// An image: the 13-byte header followed by `payload`.  `payloadSize` as
// given, or the payload's length when negative.
std::string makeImage(std::uint16_t version, std::uint32_t activationTime,
                      const std::string& payload, long long payloadSize = -1);
// The signature of `bytes` under the P-256 private key `privateKeyPem`, in
// DER form as an image's signature file holds it; empty when the key is
// unusable.
std::string signature(const std::string& bytes, const std::string& privateKeyPem);

class UpdateServerSim {
 public:
  UpdateServerSim() = default;
  ~UpdateServerSim();
  UpdateServerSim(const UpdateServerSim&) = delete;
  UpdateServerSim& operator=(const UpdateServerSim&) = delete;

  // Listens on `port` (every local address) and starts serving.  False when
  // the port cannot be had.
  bool start(std::uint16_t port = 80);
  // Ends the serving thread within about 50 ms, closing any open connection.
  void stop();

  // The list served for every update query once the queued lists are used up.
  void setList(const std::string& body);
  // A list served for one query, before the standing list, answered with
  // `fault`; queued lists are served in order.
  void queueList(const std::string& body, HttpFault fault = HttpFault::kNone);
  // Serves `body` for `path` (which begins with "/").
  void setFile(const std::string& path, const std::string& body);
  // Serves `image` at `path` and its signature under `privateKeyPem` at
  // `path` + ".sig".
  void setSignedFile(const std::string& path, const std::string& image, const std::string& privateKeyPem);
  // Answers `path` (kUpdateListPath for the list) with `fault`.
  void setFault(const std::string& path, HttpFault fault);

  // Every request path received, in order, with its query text.
  std::vector<std::string> requests() const;
  // The update queries among them.
  std::vector<std::string> queries() const;
  // Waits until `count` update queries have arrived; false after `timeoutMs`.
  bool waitForQueries(std::size_t count, int timeoutMs) const;
  // Waits until `count` requests have arrived; false after `timeoutMs`.
  bool waitForRequests(std::size_t count, int timeoutMs) const;

 private:
  static void threadMain(void* self);
  void serve(platform::SocketHandle connection);
  bool readRequest(platform::SocketHandle connection, std::string* path);
  bool sendAll(platform::SocketHandle connection, const std::string& bytes);
  // Holds the connection open until the peer closes it or the server stops.
  void holdOpen(platform::SocketHandle connection);

  platform::SocketHandle listener_ = platform::kInvalidSocket;
  platform::Thread thread_;
  platform::StopSignal stop_;

  mutable std::mutex mutex_;
  std::string list_;
  struct QueuedList {
    std::string body;
    HttpFault fault;
  };
  std::vector<QueuedList> queuedLists_;
  std::map<std::string, std::string> files_;
  std::map<std::string, HttpFault> faults_;
  std::vector<std::string> requests_;
};

}  // namespace kestrin::sim
