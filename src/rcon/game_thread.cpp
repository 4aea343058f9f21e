#include "rcon/game_thread.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/line_scanner.h"
#include "core/print.h"
#include "core/random.h"
#include "core/wire.h"
#include "game/game_server.h"
#include "rcon/command_queue.h"
#include "rcon/rcon_transport.h"

namespace kestrin {
namespace {

void copyText(char* out, std::size_t capacity, const char* text) {
  std::snprintf(out, capacity, "%s", text);
}

}  // namespace

bool startWatch(GameServer& game, const char* address, std::uint16_t port, const char* password,
                std::uint32_t now) {
  copyText(game.address, sizeof game.address, address);
  copyText(game.rconPassword, sizeof game.rconPassword, password);
  game.port = port;
  game.rconConnected.store(false);
  game.nextReconcileTime = now + kFirstReconcileDelayMs;

  bool opened = false;
  for (int attempt = 0; attempt < kLocalPortAttempts && !opened; ++attempt) {
    auto localPort = static_cast<std::uint16_t>(nextRandom() % wire::kRconLocalPortSpan +
                                                wire::kRconLocalPortFirst);
    opened = openRconSocket(game, localPort);
  }
  if (!opened) return false;
  if (!game.thread.start(&gameThreadMain, &game)) printMessage("Error: Could not create thread\n");
  return true;
}

void stopWatch(GameServer& game) {
  game.stopSignal.request();
  game.thread.join();
  platform::closeSocket(game.socket);
  game.socket = platform::kInvalidSocket;
}

bool openRconSocket(GameServer& game, std::uint16_t port) {
  platform::startSockets();
  switch (platform::udpOpen(port, &game.socket)) {
    case platform::UdpOpenResult::kOk:
      break;
    case platform::UdpOpenResult::kCreateFailed:
      printMessage("Game: Unable to create socket\n");
      return false;
    case platform::UdpOpenResult::kBindFailed:
      printMessage("Game: Unable to bind port %d\n", port);
      return false;
  }
  printMessage("Game: HLDS Remote console initalized [listen port: %d]\n", port);
  return true;
}

void gameThreadMain(void* argument) {
  auto& game = *static_cast<GameServer*>(argument);
  while (!game.stopSignal.requested()) gameThreadStep(game);
}

void gameThreadStep(GameServer& game) {
  if (!game.rconConnected.load()) {
    game.rconReady.store(false);
    if (requestChallenge(game)) {
      game.rconConnected.store(true);
      return;
    }
    game.stopSignal.sleep(kFailedStepPauseMs);
    return;
  }
  if (game.rconReady.load()) {
    runNextCommand(game);
    // A refused command pauses like a failed connect step, so that a
    // password changed on the game server is tried at most once per pause.
    game.stopSignal.sleep(game.rconReady.load() ? kCommandStepPauseMs : kFailedStepPauseMs);
    return;
  }
  // A challenge is held but the password is not (or no longer) accepted.
  if (rconCommand(game, "status", "") != nullptr) return;
  game.stopSignal.sleep(kFailedStepPauseMs);
}

void parseCvarReply(const char* reply, char* name, char* value) {
  LineScanner scan(reply);
  if (!scan.literal(wire::kReplyLetter) || !scan.run('"') || !scan.until('"', name, kCvarValueSize) ||
      !scan.run('"'))
    return;
  scan.blanks();
  if (!scan.literal('i') || !scan.literal('s')) return;
  scan.blanks();
  if (!scan.run('"')) return;
  scan.until('"', value, kCvarValueSize);
}

bool queryCvar(GameServer& game, const char* name, char* value) {
  const char* reply = rconCommand(game, name, "");
  if (reply == nullptr) return false;
  char readName[kCvarValueSize] = {};
  parseCvarReply(reply, readName, value);
  return std::strcmp(readName, name) == 0;
}

bool cleanContactValue(char* value) {
  std::size_t length = std::strlen(value);
  if (length < 4) {
    value[0] = '\0';
    return true;
  }
  const std::size_t searchLength = std::strlen(kContactMarkerSearch);
  // After a cut the text behind it moves up to p, so p is looked at again:
  // markers next to each other all go.
  for (std::size_t p = 0; p + searchLength <= length;) {
    if (std::strncmp(value + p, kContactMarkerSearch, searchLength) != 0) {
      ++p;
      continue;
    }
    char* first = std::strchr(value + p, '}');
    if (first == nullptr) return false;
    char* second = std::strchr(first + 1, '}');
    if (second == nullptr) return false;
    std::memmove(value + p, second + 1, std::strlen(second + 1) + 1);
    length = std::strlen(value);
  }
  return true;
}

void formatContactValue(const char* oldValue, const char* externalIp, char* out) {
  static constexpr const char* kMarkerOpen = "{KESTRIN REQ}{";
  // Quotes, marker, address, closing brace and the terminating zero.
  std::size_t fixed = 2 + std::strlen(kMarkerOpen) + std::strlen(externalIp) + 1 + 1;
  std::size_t room = fixed < kContactValueSize ? kContactValueSize - fixed : 0;
  int keep = static_cast<int>(std::min(std::strlen(oldValue), room));
  std::snprintf(out, kContactValueSize, "\"%.*s%s%s}\"", keep, oldValue, kMarkerOpen, externalIp);
}

bool setContactMarker(GameServer& game) {
  char value[kCvarValueSize] = {};
  if (!queryCvar(game, "sv_contact", value)) return false;
  if (!cleanContactValue(value)) return false;
  char newValue[kContactValueSize];
  formatContactValue(value, game.externalIp, newValue);
  return rconCommand(game, "sv_contact", newValue) != nullptr;
}

}  // namespace kestrin
