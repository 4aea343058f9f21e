// The HTTP/1.0 client of the updater: one GET per document and a polling
// receive loop paced by 100 ms pauses.  One fetch at a time, on the
// thread that runs the update check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"
#include "platform/platform.h"
#include "platform/stop_signal.h"

namespace kestrin {

inline constexpr std::uint32_t kHttpPollPauseMs = 100;
// Empty polls in a row that end a fetch with a time-out (about 12.8 s).
inline constexpr int kHttpMaxIdlePolls = 128;
// Longest wait for a connection to be made, and the pause between its polls.
inline constexpr std::uint32_t kHttpConnectTimeoutMs = 12800;
inline constexpr std::uint32_t kHttpConnectPollMs = 10;

// Results of httpGet.
enum HttpResult : int {
  kHttpOk = 0,
  kHttpNoConnection = 1,    // no address, no socket, refused or unanswered connect
  kHttpTimeout = 3,         // 128 polls in a row without data
  kHttpLengthMismatch = 4,  // the body ended at another length than Content-Length
  kHttpBadReply = 5,        // closed or failed before the header ended, or status not 200
  kHttpTooLarge = 6,        // Content-Length larger than the caller's capacity
  kHttpStopped = 7,         // the fetch's thread is being stopped; nothing is printed
};

// Results of connectTo.
enum ConnectResult : int {
  kConnectOk = 0,
  kConnectHostNotFound = 69,
  kConnectNoSocket = 70,
  kConnectFailed = 71,
};

// Where the bytes of a reply come from, so that the reply reader runs alike
// over a socket and over scripted input.
class ReplySource {
 public:
  // Bytes received into `buffer` (at most `length`), 0 when nothing is
  // ready, -1 when the peer has closed the connection or on an error.
  virtual long receiveSome(char* buffer, std::size_t length) = 0;
  // The pause between two polls; false when the fetch must be abandoned.
  virtual bool pause(std::uint32_t ms) = 0;

 protected:
  ~ReplySource() = default;
};

// The socket of the current fetch.  Belongs to the updater; one fetch at a
// time.
class HttpConnection final : public ReplySource {
 public:
  // Pauses end early, and the fetch with kHttpStopped, once `stop` is
  // requested.  Null: pauses are plain sleeps.
  void setStopSignal(platform::StopSignal* stop) { stop_ = stop; }

  // 0 connected; 69 host name not found (printed), 70 no socket, 71 the
  // connection was refused, not made within kHttpConnectTimeoutMs, or a stop
  // was requested.  No socket is left open on failure.
  int connectTo(const char* host, std::uint16_t port);
  long receiveSome(char* buffer, std::size_t length) override;
  bool pause(std::uint32_t ms) override;
  // Sends all of `data`; false on a send error.
  bool sendAll(const char* data, std::size_t length);
  void close();
  bool stopRequested() const { return stop_ != nullptr && stop_->requested(); }

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  platform::Endpoint peer_;
  platform::StopSignal* stop_ = nullptr;
};

// Fetches `path` from port 80 of `host` (a dotted IPv4 address or a host
// name).  `buffer` holds `*capacity` + 1 bytes; on kHttpOk it holds the body
// alone, zero-terminated, and `*capacity` is its length.  Any other result
// leaves nothing usable in the buffer.  The connection is always closed.
int httpGet(HttpConnection& connection, const char* host, const char* path, char* buffer,
            std::size_t* capacity);

// Reads one reply from `source` into `buffer` as httpGet does once the
// request has gone out: the header, its status and Content-Length, then the
// body until the peer closes.  Same buffer contract and results (never 1).
int readReply(ReplySource& source, char* buffer, std::size_t* capacity);

// Writes "GET <path> HTTP/1.0\r\nHost: <host>\r\n\r\n" into `out`, which
// holds kHttpRequestSize bytes.  Its length, or 0 when the request does not
// fit or host or path hold control characters, which would break its lines.
std::size_t buildRequest(const char* host, const char* path, char* out);

// Offset just past the first CR LF CR LF of `bytes`, 0 when there is none.
std::size_t findHeaderEnd(const char* bytes, std::size_t count);

}  // namespace kestrin
