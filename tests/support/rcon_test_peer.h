// A scripted remote-console peer for the game and remote-console tests: a
// UDP socket on the loopback whose thread answers each request with the
// datagrams a script returns.  Test code.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "rcon/rcon_link.h"

namespace kestrin::testing {

// A datagram as the real peer sends it: prefix, text, zero (and a second
// zero for l-replies).
inline std::string datagram(const std::string& text) {
  std::string out("\xFF\xFF\xFF\xFF", 4);
  out += text;
  out += '\0';
  if (!text.empty() && text[0] == 'l') out += '\0';
  return out;
}

class RconPeer {
 public:
  // The reply datagrams for one request text (the request without its
  // prefix and zero); a datagram starting "OTHER:" goes out, without those
  // six characters, from another port.
  using Script = std::function<std::vector<std::string>(const std::string& request)>;

  explicit RconPeer(Script script) : script_(std::move(script)) {
    platform::udpOpen(0, &socket_);
    platform::udpOpen(0, &otherSocket_);
    thread_ = std::thread([this] { run(); });
  }
  ~RconPeer() {
    stop_.store(true);
    thread_.join();
    platform::closeSocket(socket_);
    platform::closeSocket(otherSocket_);
  }

  std::uint16_t port() const { return platform::localPort(socket_); }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // Sends a datagram to `to` from the peer's own port or from another one.
  void send(platform::Endpoint to, const std::string& bytes, bool fromOtherPort = false) {
    platform::udpSendTo(fromOtherPort ? otherSocket_ : socket_, to, bytes.data(), bytes.size());
  }
  // Points a link at this peer, its socket (re)opened on a free local port
  // and connected to the peer, as openLink does.
  void aim(RconLink& link) {
    link.gameAddress = platform::Endpoint{platform::kLoopbackAddress, port()};
    platform::closeSocket(link.socket);
    platform::udpOpen(0, &link.socket);
    platform::udpConnect(link.socket, link.gameAddress);
  }

 private:
  void run() {
    char buffer[8192];
    while (!stop_.load()) {
      bool ready = false;
      if (platform::pollReadable(&socket_, 1, &ready, 20) < 1) continue;
      platform::Endpoint from;
      long n = platform::udpReceiveFrom(socket_, buffer, sizeof buffer, &from);
      if (n < 5) continue;
      std::string request(buffer + 4, static_cast<std::size_t>(n) - 5);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      for (const std::string& reply : script_(request)) {
        bool other = reply.compare(0, 6, "OTHER:") == 0;
        send(from, other ? reply.substr(6) : reply, other);
      }
    }
  }

  Script script_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  platform::SocketHandle otherSocket_ = platform::kInvalidSocket;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

}  // namespace kestrin::testing
