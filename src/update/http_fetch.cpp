#include "update/http_fetch.h"

#include <cstring>

#include "core/line_scanner.h"
#include "core/print.h"

namespace kestrin {
namespace {

constexpr int kHttpStatusOk = 200;

// Appends `text` to `out` at `*length`, keeping room for the terminator.
bool append(char* out, std::size_t* length, const char* text) {
  std::size_t n = std::strlen(text);
  if (n >= wire::kHttpRequestSize - *length) return false;
  std::memcpy(out + *length, text, n + 1);
  *length += n;
  return true;
}

bool hasControlCharacter(const char* text) {
  for (; *text != '\0'; ++text) {
    if (static_cast<unsigned char>(*text) < 32 || *text == 127) return true;
  }
  return false;
}

}  // namespace

std::size_t findHeaderEnd(const char* bytes, std::size_t count) {
  for (std::size_t i = 0; i + 4 <= count; ++i) {
    if (bytes[i] == '\r' && bytes[i + 1] == '\n' && bytes[i + 2] == '\r' && bytes[i + 3] == '\n')
      return i + 4;
  }
  return 0;
}

std::size_t buildRequest(const char* host, const char* path, char* out) {
  if (hasControlCharacter(host) || hasControlCharacter(path)) return 0;
  std::size_t length = 0;
  out[0] = '\0';
  if (append(out, &length, "GET ") && append(out, &length, path) &&
      append(out, &length, " HTTP/1.0\r\nHost: ") && append(out, &length, host) &&
      append(out, &length, "\r\n\r\n"))
    return length;
  return 0;
}

// ------------------------------------------------------------ connection

int HttpConnection::connectTo(const char* host, std::uint16_t port) {
  std::uint32_t address = 0;
  bool found = isDottedQuad(host) ? parseDottedQuad(host, &address)
                                  : platform::resolveHost(host, &address);
  if (!found) {
    printMessage("Error, hostname not found\n");
    return kConnectHostNotFound;
  }
  peer_ = platform::Endpoint{address, port};
  socket_ = platform::tcpConnectStart(peer_);
  if (socket_ == platform::kInvalidSocket) return kConnectNoSocket;
  // The connect does not block, so that a stop request is noticed while the
  // peer has not answered yet.
  std::uint32_t started = platform::milliseconds();
  for (;;) {
    platform::ConnectState state = platform::tcpConnectPoll(socket_);
    if (state == platform::ConnectState::kConnected) return kConnectOk;
    if (state == platform::ConnectState::kFailed ||
        platform::milliseconds() - started >= kHttpConnectTimeoutMs || !pause(kHttpConnectPollMs)) {
      close();
      return kConnectFailed;
    }
  }
}

long HttpConnection::receiveSome(char* buffer, std::size_t length) {
  bool ready = false;
  if (platform::pollReadable(&socket_, 1, &ready, 0) <= 0 || !ready) return 0;
  long n = platform::socketReceive(socket_, buffer, length);
  return n <= 0 ? -1 : n;
}

bool HttpConnection::pause(std::uint32_t ms) {
  if (stop_ != nullptr) return stop_->sleep(ms);
  platform::sleepMilliseconds(ms);
  return true;
}

bool HttpConnection::sendAll(const char* data, std::size_t length) {
  std::size_t sent = 0;
  int idle = 0;
  while (sent < length) {
    long n = platform::socketSend(socket_, data + sent, length - sent);
    if (n < 0) return false;
    if (n == 0) {
      if (++idle > kHttpMaxIdlePolls || !pause(kHttpConnectPollMs)) return false;
      continue;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void HttpConnection::close() {
  platform::closeSocket(socket_);
  socket_ = platform::kInvalidSocket;
}

// ------------------------------------------------------------ fetch

int readReply(ReplySource& source, char* buffer, std::size_t* capacity) {
  const std::size_t limit = *capacity;
  std::size_t received = 0;
  std::size_t headerEnd = 0;
  int idle = 0;
  while (headerEnd == 0) {
    long n = source.receiveSome(buffer + received, limit - received);
    if (n < 0) return kHttpBadReply;
    if (n > 0) {
      // Only the new bytes and the three before them can complete the blank
      // line: a reply trickling in byte by byte is not scanned over again.
      const std::size_t from = received > 3 ? received - 3 : 0;
      received += static_cast<std::size_t>(n);
      headerEnd = findHeaderEnd(buffer + from, received - from);
      if (headerEnd != 0) {
        headerEnd += from;
        break;
      }
      idle = 1;
    } else if (idle >= kHttpMaxIdlePolls) {
      printMessage("Error receiving updates. Timeout\n");
      return kHttpTimeout;
    } else {
      ++idle;
    }
    if (!source.pause(kHttpPollPauseMs)) return kHttpStopped;
  }

  // The header text ends with the blank line's carriage return.
  buffer[headerEnd - 1] = '\0';
  LineText value;
  std::uint64_t status = 0;
  if (findKeyValue("HTTP", ' ', value, buffer)) readDecimal(value, &status);
  std::uint64_t contentLength = 0;
  if (findKeyValue("Content-Length:", ' ', value, buffer)) readDecimal(value, &contentLength);
  received -= headerEnd;
  std::memmove(buffer, buffer + headerEnd, received);

  if (status != kHttpStatusOk) return kHttpBadReply;
  if (contentLength != 0 && contentLength > limit) return kHttpTooLarge;

  // The body ends when the peer closes the connection.  Once the buffer is
  // full, a zero-length receive on a readable socket ends it as well.
  idle = 0;
  for (;;) {
    long n = source.receiveSome(buffer + received, limit - received);
    if (n < 0) break;
    if (n > 0) {
      received += static_cast<std::size_t>(n);
      idle = 0;
    } else if (idle >= kHttpMaxIdlePolls) {
      printMessage("Error receiving updates. Timeout\n");
      return kHttpTimeout;
    } else {
      ++idle;
    }
    if (!source.pause(kHttpPollPauseMs)) return kHttpStopped;
  }
  if (contentLength != 0 && received != contentLength) return kHttpLengthMismatch;
  buffer[received] = '\0';
  *capacity = received;
  return kHttpOk;
}

int httpGet(HttpConnection& connection, const char* host, const char* path, char* buffer,
            std::size_t* capacity) {
  char request[wire::kHttpRequestSize];
  std::size_t requestLength = buildRequest(host, path, request);
  if (requestLength == 0) return kHttpNoConnection;
  if (connection.connectTo(host, wire::kUpdatePort) != kConnectOk)
    return connection.stopRequested() ? kHttpStopped : kHttpNoConnection;
  if (!connection.sendAll(request, requestLength)) printMessage("Socket error\n");
  int result = connection.pause(kHttpPollPauseMs) ? readReply(connection, buffer, capacity)
                                                  : kHttpStopped;
  connection.close();
  return result;
}

}  // namespace kestrin
