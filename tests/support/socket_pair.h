// Connected loopback TCP sockets for unit tests that need a real peer, and
// reads with a deadline.  Test code; runs on every platform.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrin::testing {

// A connected pair of loopback TCP sockets: {server side, client side}.
inline std::pair<platform::SocketHandle, platform::SocketHandle> tcpPair() {
  platform::startSockets();
  platform::SocketHandle listener = platform::kInvalidSocket;
  EXPECT_EQ(platform::tcpListen(0, 1, &listener), platform::ListenResult::kOk);
  platform::SocketHandle client =
      platform::tcpConnectStart(platform::Endpoint{platform::kLoopbackAddress, platform::localPort(listener)});
  bool ready = false;
  EXPECT_EQ(platform::pollReadable(&listener, 1, &ready, 5000), 1);
  platform::SocketHandle server = platform::tcpAccept(listener);
  platform::closeSocket(listener);
  return {server, client};
}

// Waits up to `timeoutMs` for `socket` to become readable.
inline bool waitReadable(platform::SocketHandle socket, int timeoutMs = 5000) {
  bool ready = false;
  return platform::pollReadable(&socket, 1, &ready, timeoutMs) == 1 && ready;
}

// Reads exactly `count` bytes, waiting up to `timeoutMs` in all; fewer when
// the deadline passes or the peer closes.
inline std::vector<std::uint8_t> readBytes(platform::SocketHandle socket, std::size_t count,
                                           int timeoutMs = 5000) {
  std::vector<std::uint8_t> out;
  std::uint32_t start = platform::milliseconds();
  while (out.size() < count) {
    int left = timeoutMs - static_cast<int>(platform::milliseconds() - start);
    if (left <= 0 || !waitReadable(socket, left)) break;
    std::uint8_t buffer[4096];
    std::size_t want = count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
    long n = platform::socketReceive(socket, buffer, want);
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

// True when nothing arrives within `timeoutMs` (or the peer closed without
// sending).
inline bool nothingArrives(platform::SocketHandle socket, int timeoutMs = 200) {
  if (!waitReadable(socket, timeoutMs)) return true;
  std::uint8_t byte = 0;
  return platform::socketReceive(socket, &byte, 1) == 0;
}

}  // namespace kestrin::testing
