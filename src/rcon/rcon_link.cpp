#include "rcon/rcon_link.h"

#include <cstdio>
#include <cstring>

#include "core/line_scanner.h"
#include "core/print.h"

namespace kestrin {
namespace {

// Datagrams drained in one go before a request; a flood cannot hold the
// thread longer than this.
constexpr int kMaxStaleDatagrams = 256;

bool hasPrefix(const std::uint8_t* p, std::size_t length) {
  if (length < wire::kConnectionlessPrefixSize) return false;
  for (std::size_t i = 0; i < wire::kConnectionlessPrefixSize; ++i)
    if (p[i] != wire::kConnectionlessByte) return false;
  return true;
}

bool fromGameServer(const RconLink& link, platform::Endpoint from) {
  return from.address == link.gameAddress.address && from.port == link.gameAddress.port;
}

// Appends the bytes of [p, p + length) up to the first zero to out[*used].
void appendText(const std::uint8_t* p, std::size_t length, char* out, std::size_t capacity,
                std::size_t* used) {
  for (std::size_t i = 0; i < length && p[i] != 0 && *used + 1 < capacity; ++i)
    out[(*used)++] = static_cast<char>(p[i]);
}

}  // namespace

long findReplyStart(const std::uint8_t* buffer, std::size_t length) {
  if (length < wire::kConnectionlessPrefixSize || buffer[length - 1] != 0) return -1;
  for (std::size_t at = length - wire::kConnectionlessPrefixSize + 1; at-- > 0;)
    if (hasPrefix(buffer + at, length - at)) return static_cast<long>(at + wire::kConnectionlessPrefixSize);
  return -1;
}

bool assembleReply(const std::uint8_t* buffer, std::size_t length, const std::uint32_t* ends,
                   std::size_t count, char* out, std::size_t capacity) {
  if (capacity < 2) return false;
  long start = findReplyStart(buffer, length);
  if (start < 0) return false;

  std::size_t used = 0;
  bool joined = false;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t end = ends[i];
    if (end < begin || end > length) return false;
    const std::uint8_t* datagram = buffer + begin;
    std::size_t size = end - begin;
    begin = end;
    if (!hasPrefix(datagram, size) || size <= wire::kConnectionlessPrefixSize ||
        datagram[wire::kConnectionlessPrefixSize] != static_cast<std::uint8_t>(wire::kReplyLetter))
      continue;
    if (!joined) out[used++] = wire::kReplyLetter;
    joined = true;
    std::size_t skip = wire::kConnectionlessPrefixSize + 1;
    appendText(datagram + skip, size - skip, out, capacity, &used);
  }
  if (!joined) {
    auto from = static_cast<std::size_t>(start);
    appendText(buffer + from, length - from, out, capacity, &used);
  }
  out[used] = '\0';
  return true;
}

bool parseChallenge(const char* text, std::uint32_t* challenge) {
  LineScanner scan(text);
  return scan.word(nullptr, 0) && scan.word(nullptr, 0) && scan.unsignedNumber(challenge);
}

bool openLink(RconLink& link, std::uint16_t port) {
  platform::startSockets();
  switch (platform::udpOpen(port, &link.socket)) {
    case platform::UdpOpenResult::kOk:
      break;
    case platform::UdpOpenResult::kCreateFailed:
      printMessage("Game: Unable to create socket\n");
      return false;
    case platform::UdpOpenResult::kBindFailed:
      printMessage("Game: Unable to bind port %d\n", port);
      return false;
  }
  // Connected, the socket takes datagrams from the game server alone: the
  // system drops everybody else's before they cost the link anything.
  if (!platform::udpConnect(link.socket, link.gameAddress)) printMessage("Game: Unable to connect socket\n");
  printMessage("Game: HLDS Remote console initalized [listen port: %d]\n", port);
  return true;
}

void closeLink(RconLink& link) {
  platform::closeSocket(link.socket);
  link.socket = platform::kInvalidSocket;
}

void sendPacket(RconLink& link, const void* data, std::size_t length) {
  if (platform::udpSendTo(link.socket, link.gameAddress, data, length) < 0)
    printMessage("Game: Send socket error\n");
}

void sendConnectionless(RconLink& link, const char* text) {
  std::uint8_t datagram[wire::kRconRequestSize];
  std::size_t length = std::strlen(text);
  if (wire::kConnectionlessPrefixSize + length + 1 > sizeof datagram) return;
  std::memset(datagram, wire::kConnectionlessByte, wire::kConnectionlessPrefixSize);
  std::memcpy(datagram + wire::kConnectionlessPrefixSize, text, length + 1);
  sendPacket(link, datagram, wire::kConnectionlessPrefixSize + length + 1);
}

void pollReceive(RconLink& link) {
  std::uint8_t datagram[wire::kRconBufferSize];
  for (int taken = 0; taken < kPollDatagramLimit; ++taken) {
    bool ready = false;
    if (platform::pollReadable(&link.socket, 1, &ready, 0) < 1) return;
    platform::Endpoint from;
    long received = platform::udpReceiveFrom(link.socket, datagram, sizeof datagram, &from);
    if (received < 0) {
      printMessage("Game: Read socket error");
      return;
    }
    auto size = static_cast<std::uint32_t>(received);
    // Anything else costs no pause, so that nobody can slow the link down.
    if (!fromGameServer(link, from) || size == 0) continue;
    if (size > sizeof link.datagrams - link.received || link.datagramCount == kMaxReplyDatagrams) {
      printMessage("Game: Rcon reply too long, datagram dropped\n");
    } else {
      std::memcpy(link.datagrams + link.received, datagram, size);
      link.received += size;
      link.datagramEnds[link.datagramCount++] = link.received;
    }
    if (!link.stop.sleep(kDatagramPauseMs)) return;
  }
}

void dropStaleDatagrams(RconLink& link) {
  link.received = 0;
  link.datagramCount = 0;
  std::uint8_t datagram[wire::kRconBufferSize];
  for (int i = 0; i < kMaxStaleDatagrams; ++i) {
    bool ready = false;
    if (platform::pollReadable(&link.socket, 1, &ready, 0) < 1) return;
    if (platform::udpReceiveFrom(link.socket, datagram, sizeof datagram, nullptr) < 0) return;
  }
}

const char* waitReply(RconLink& link) {
  for (int pass = 0; pass < kReplyWaitPasses; ++pass) {
    if (!link.stop.sleep(kReplyPassPauseMs)) return nullptr;
    pollReceive(link);
    if (assembleReply(link.datagrams, link.received, link.datagramEnds, link.datagramCount, link.reply,
                      sizeof link.reply)) {
      link.received = 0;
      link.datagramCount = 0;
      return link.reply;
    }
  }
  if (link.stop.requested()) return nullptr;
  link.connected = false;
  printMessage("Game: Rcon timed out\n");
  return nullptr;
}

RconReply rconCommand(RconLink& link, const char* command, const char* arguments) {
  std::uint8_t request[wire::kRconRequestSize];
  std::memset(request, wire::kConnectionlessByte, wire::kConnectionlessPrefixSize);
  char* text = reinterpret_cast<char*>(request + wire::kConnectionlessPrefixSize);
  std::size_t room = sizeof request - wire::kConnectionlessPrefixSize;
  int length = std::snprintf(text, room, "rcon %u \"%s\" %s %s", link.challengeId, link.password, command,
                             arguments);
  if (length < 0 || static_cast<std::size_t>(length) >= room) {
    printMessage("Game: Rcon request too long, [command: %s] not sent\n", command);
    return {};
  }
  std::size_t size = wire::kConnectionlessPrefixSize + static_cast<std::size_t>(length) + 1;

  const char* reply = nullptr;
  for (int attempt = 0; attempt < kRconAttempts && reply == nullptr; ++attempt) {
    if (attempt > 0 && !link.stop.sleep(kRconRetryPauseMs)) return {};
    dropStaleDatagrams(link);
    sendPacket(link, request, size);
    reply = waitReply(link);
    if (reply == nullptr && link.stop.requested()) return {};
  }
  if (reply == nullptr) return {};

  if (reply[0] != wire::kReplyLetter) {
    printMessage("Game: Error, %s\n", reply[0] == '\0' ? reply : reply + 1);
  } else if (std::strncmp(reply, "lBad", 4) == 0) {
    printMessage("Game: Error, bad rcon password [password: %s]\n", link.password);
  } else {
    return {reply, false};
  }
  // Refused: after a game-server restart the challenge is stale too, so the
  // next connect step starts over with a fresh one.
  link.connected = false;
  link.challengeStale = std::strncmp(reply, "9No challenge", 13) == 0 || std::strstr(reply, "Bad challenge.") != nullptr;
  return {nullptr, true};
}

bool requestChallenge(RconLink& link) {
  dropStaleDatagrams(link);
  sendConnectionless(link, "challenge rcon");
  const char* answer = waitReply(link);
  if (answer == nullptr) return false;
  if (!parseChallenge(answer, &link.challengeId)) {
    printMessage("Couldn't not parse challenge message\n");
    return false;
  }
  return true;
}

}  // namespace kestrin
