#include "update/http_fetch.h"

#include <cstring>

#include "core/print.h"

namespace kestrin {
namespace {

constexpr std::uint64_t kDecimalCap = std::uint64_t{1} << 32;
constexpr int kHttpStatusOk = 200;
constexpr std::size_t kMaxDottedQuadLength = 16;

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

bool isDottedQuad(const char* text) {
  std::size_t length = std::strlen(text);
  if (length == 0 || length > kMaxDottedQuadLength) return false;
  bool waitingForDigit = true;
  int switches = 0;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (waitingForDigit && c >= '0' && c <= '9') {
      waitingForDigit = false;
      ++switches;
    } else if (!waitingForDigit && c == '.') {
      waitingForDigit = true;
      ++switches;
    }
  }
  return switches == 7;
}

bool parseDottedQuad(const char* text, std::uint32_t* address) {
  std::uint32_t result = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0 && *text++ != '.') return false;
    if (*text < '0' || *text > '9') return false;
    std::uint32_t value = 0;
    for (int digits = 0; *text >= '0' && *text <= '9'; ++digits, ++text) {
      if (digits == 3) return false;
      value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    }
    if (value > 255) return false;
    result = (result << 8) | value;
  }
  if (*text != '\0') return false;
  *address = result;
  return true;
}

std::size_t findHeaderEnd(const char* bytes, std::size_t count) {
  for (std::size_t i = 0; i + 4 <= count; ++i) {
    if (bytes[i] == '\r' && bytes[i + 1] == '\n' && bytes[i + 2] == '\r' && bytes[i + 3] == '\n')
      return i + 4;
  }
  return 0;
}

bool splitAt(const char* text, char character, LineText& first, LineText& rest) {
  first[0] = '\0';
  rest[0] = '\0';
  std::size_t length = std::strlen(text);
  if (length == 0 || length >= wire::kHttpLineSize) return false;
  const char* at = static_cast<const char*>(std::memchr(text, character, length));
  if (at == nullptr) return false;
  std::size_t before = static_cast<std::size_t>(at - text);
  std::memcpy(first, text, before);
  first[before] = '\0';
  std::memcpy(rest, at + 1, length - before);  // with the terminator
  return true;
}

bool findKeyValue(const char* key, char separator, LineText& out, const char* text) {
  out[0] = '\0';
  std::size_t keyLength = std::strlen(key);
  LineText line;
  LineText lineKey;
  for (const char* newline = std::strchr(text, '\n'); newline != nullptr;
       text = newline + 1, newline = std::strchr(text, '\n')) {
    std::size_t length = static_cast<std::size_t>(newline - text);
    if (length >= sizeof line) continue;
    std::memcpy(line, text, length);
    while (length > 0 && static_cast<unsigned char>(line[length - 1]) < 32) --length;
    line[length] = '\0';
    if (!splitAt(line, separator, lineKey, out)) continue;
    if (std::strncmp(lineKey, key, keyLength) == 0) return true;
  }
  out[0] = '\0';
  return false;
}

bool readDecimal(const char* text, std::uint64_t* value) {
  if (*text < '0' || *text > '9') return false;
  std::uint64_t result = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    result = result * 10 + static_cast<std::uint64_t>(*text - '0');
    if (result > kDecimalCap) result = kDecimalCap;
  }
  *value = result;
  return true;
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
      received += static_cast<std::size_t>(n);
      headerEnd = findHeaderEnd(buffer, received);
      if (headerEnd != 0) break;
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
