#include "rcon/rcon_transport.h"

#include <cstdio>
#include <cstring>

#include "core/line_scanner.h"
#include "core/print.h"
#include "core/wire.h"
#include "game/game_server.h"
#include "rcon/game_thread.h"

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

bool fromGameServer(const GameServer& game, platform::Endpoint from) {
  return from.address == game.gameAddress.address && from.port == game.gameAddress.port;
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

void sendPacket(GameServer& game, const void* data, std::size_t length) {
  if (platform::udpSendTo(game.socket, game.gameAddress, data, length) < 0)
    printMessage("Game: Send socket error\n");
}

void sendConnectionless(GameServer& game, const char* text) {
  std::uint8_t datagram[wire::kRconRequestSize];
  std::size_t length = std::strlen(text);
  if (wire::kConnectionlessPrefixSize + length + 1 > sizeof datagram) return;
  std::memset(datagram, wire::kConnectionlessByte, wire::kConnectionlessPrefixSize);
  std::memcpy(datagram + wire::kConnectionlessPrefixSize, text, length + 1);
  sendPacket(game, datagram, wire::kConnectionlessPrefixSize + length + 1);
}

void pollReceive(GameServer& game) {
  std::uint8_t datagram[wire::kRconBufferSize];
  for (;;) {
    bool ready = false;
    if (platform::pollReadable(&game.socket, 1, &ready, 0) < 1) return;
    platform::Endpoint from;
    long received = platform::udpReceiveFrom(game.socket, datagram, sizeof datagram, &from);
    if (received < 0) {
      printMessage("Game: Read socket error");
      return;
    }
    auto size = static_cast<std::uint32_t>(received);
    if (fromGameServer(game, from) && size > 0) {
      if (size > sizeof game.rconBuffer - game.rconReceived ||
          game.rconDatagramCount == kMaxReplyDatagrams) {
        printMessage("Game: Rcon reply too long, datagram dropped\n");
      } else {
        std::memcpy(game.rconBuffer + game.rconReceived, datagram, size);
        game.rconReceived += size;
        game.rconDatagramEnds[game.rconDatagramCount++] = game.rconReceived;
      }
    }
    if (!game.stopSignal.sleep(kDatagramPauseMs)) return;
  }
}

void dropStaleDatagrams(GameServer& game) {
  game.rconReceived = 0;
  game.rconDatagramCount = 0;
  std::uint8_t datagram[wire::kRconBufferSize];
  for (int i = 0; i < kMaxStaleDatagrams; ++i) {
    bool ready = false;
    if (platform::pollReadable(&game.socket, 1, &ready, 0) < 1) return;
    if (platform::udpReceiveFrom(game.socket, datagram, sizeof datagram, nullptr) < 0) return;
  }
}

const char* waitReply(GameServer& game) {
  for (int pass = 0; pass < kReplyWaitPasses; ++pass) {
    if (!game.stopSignal.sleep(kReplyPassPauseMs)) return nullptr;
    pollReceive(game);
    if (assembleReply(game.rconBuffer, game.rconReceived, game.rconDatagramEnds,
                      game.rconDatagramCount, game.rconReply, sizeof game.rconReply)) {
      game.rconReceived = 0;
      game.rconDatagramCount = 0;
      return game.rconReply;
    }
  }
  if (game.stopSignal.requested()) return nullptr;
  game.rconConnected.store(false);
  printMessage("Game: Rcon timed out\n");
  return nullptr;
}

const char* rconCommand(GameServer& game, const char* command, const char* arguments) {
  std::uint8_t request[wire::kRconRequestSize];
  std::memset(request, wire::kConnectionlessByte, wire::kConnectionlessPrefixSize);
  char* text = reinterpret_cast<char*>(request + wire::kConnectionlessPrefixSize);
  std::size_t room = sizeof request - wire::kConnectionlessPrefixSize;
  int length = std::snprintf(text, room, "rcon %u \"%s\" %s %s", game.challengeId,
                             game.rconPassword, command, arguments);
  if (length < 0 || static_cast<std::size_t>(length) >= room) {
    printMessage("Game: Rcon request too long, [command: %s] not sent\n", command);
    return nullptr;
  }
  std::size_t size = wire::kConnectionlessPrefixSize + static_cast<std::size_t>(length) + 1;

  const char* reply = nullptr;
  for (int attempt = 0; attempt < kRconAttempts && reply == nullptr; ++attempt) {
    if (attempt > 0 && !game.stopSignal.sleep(kRconRetryPauseMs)) return nullptr;
    dropStaleDatagrams(game);
    sendPacket(game, request, size);
    reply = waitReply(game);
    if (reply == nullptr && game.stopSignal.requested()) return nullptr;
  }
  if (reply == nullptr) return nullptr;

  if (reply[0] != wire::kReplyLetter) {
    printMessage("Game: Error, %s\n", reply[0] == '\0' ? reply : reply + 1);
  } else if (std::strncmp(reply, "lBad", 4) == 0) {
    printMessage("Game: Error, bad rcon password [password: %s]\n", game.rconPassword);
  } else {
    if (!game.rconReady.exchange(true)) printMessage("Game: Rcon password accepted\n");
    return reply;
  }
  // Refused: after a game-server restart the challenge is stale too, so the
  // next step starts over with a fresh one.
  game.rconReady.store(false);
  game.rconConnected.store(false);
  return nullptr;
}

bool requestChallenge(GameServer& game) {
  std::uint32_t address = 0;
  parseDottedQuad(game.address, &address);
  game.gameAddress = platform::Endpoint{address, game.port};

  dropStaleDatagrams(game);
  sendConnectionless(game, "challenge rcon");
  const char* answer = waitReply(game);
  if (answer == nullptr) return false;
  if (!parseChallenge(answer, &game.challengeId)) {
    printMessage("Couldn't not parse challenge message\n");
    return false;
  }
  if (rconCommand(game, "sv_contact", "") == nullptr) return false;
  if (!setContactMarker(game)) printMessage("Game: Error, adding sv_contact error\n");
  printMessage("Game: Got challengeid [id: %u]\n", game.challengeId);
  return true;
}

}  // namespace kestrin
