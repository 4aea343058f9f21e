#include "game/game_thread.h"

#include <cstdio>
#include <cstring>

#include "core/line_scanner.h"
#include "core/print.h"
#include "core/random.h"
#include "core/wire.h"
#include "game/command_queue.h"
#include "game/game_server.h"
#include "game/player_polling.h"
#include "rcon/contact_marker.h"
#include "rcon/rcon_link.h"

namespace kestrin {
namespace {

void copyText(char* out, std::size_t capacity, const char* text) {
  std::snprintf(out, capacity, "%s", text);
}

}  // namespace

bool startWatch(GameServer& game, const char* address, std::uint16_t port, const char* password,
                std::uint32_t now) {
  RconLink& link = game.link;
  copyText(game.address, sizeof game.address, address);
  game.port = port;
  copyText(link.password, sizeof link.password, password);
  std::uint32_t host = 0;
  parseDottedQuad(game.address, &host);
  link.gameAddress = platform::Endpoint{host, port};
  link.connected = false;
  game.nextReconcileTime = now + kFirstReconcileDelayMs;

  bool opened = false;
  for (int attempt = 0; attempt < kLocalPortAttempts && !opened; ++attempt) {
    auto localPort = static_cast<std::uint16_t>(nextRandom() % wire::kRconLocalPortSpan +
                                                wire::kRconLocalPortFirst);
    opened = openLink(link, localPort);
  }
  if (!opened) return false;
  if (!game.thread.start(&gameThreadMain, &game)) printMessage("Error: Could not create thread\n");
  return true;
}

void stopWatch(GameServer& game) {
  game.stopSignal.request();
  game.commands.interrupt();
  game.thread.join();
  closeLink(game.link);
}

void gameThreadMain(void* argument) {
  auto& game = *static_cast<GameServer*>(argument);
  while (!game.stopSignal.requested()) gameThreadStep(game);
}

void gameThreadStep(GameServer& game) {
  if (!game.link.connected) {
    game.rconReady.store(false);
    if (connectStep(game)) {
      game.link.connected = true;
      return;
    }
    game.stopSignal.sleep(kFailedStepPauseMs);
    return;
  }
  if (game.rconReady.load()) {
    // Idle until the host thread queues a command or the watch stops.
    if (!game.commands.waitForCommand()) return;
    runNextCommand(game);
    // A refused command pauses like a failed connect step, so that a
    // password changed on the game server is tried at most once per pause;
    // a challenge gone stale with a restart of the game server is renewed at
    // once (a refusal in that connect step pauses).
    game.stopSignal.sleep(game.rconReady.load() || game.link.challengeStale ? kCommandStepPauseMs
                                                                             : kFailedStepPauseMs);
    return;
  }
  // A challenge is held but the password is not (or no longer) accepted.
  if (runRcon(game, "status", "") != nullptr) return;
  game.stopSignal.sleep(kFailedStepPauseMs);
}

const char* runRcon(GameServer& game, const char* command, const char* arguments) {
  const RconReply reply = rconCommand(game.link, command, arguments);
  if (reply.text != nullptr) {
    game.rconRefused.store(false);
    if (!game.rconReady.exchange(true)) printMessage("Game: Rcon password accepted\n");
  } else if (reply.refused) {
    game.rconRefused.store(true);
    game.rconReady.store(false);
  }
  return reply.text;
}

bool connectStep(GameServer& game) {
  if (!requestChallenge(game.link)) return false;
  if (runRcon(game, "sv_contact", "") == nullptr) return false;
  if (!setContactMarker(game)) printMessage("Game: Error, adding sv_contact error\n");
  printMessage("Game: Got challengeid [id: %u]\n", game.link.challengeId);
  return true;
}

bool queryCvar(GameServer& game, const char* name, char* value) {
  const char* reply = runRcon(game, name, "");
  if (reply == nullptr) return false;
  char readName[kCvarValueSize] = {};
  parseCvarReply(reply, readName, value);
  return std::strcmp(readName, name) == 0;
}

bool setContactMarker(GameServer& game) {
  char value[kCvarValueSize] = {};
  if (!queryCvar(game, "sv_contact", value)) return false;
  if (!cleanContactValue(value)) return false;
  char newValue[kContactValueSize];
  formatContactValue(value, game.externalIp, newValue);
  return runRcon(game, "sv_contact", newValue) != nullptr;
}

void runNextCommand(GameServer& game) {
  RconCommand command;
  // Taken off first: the network part runs without the queue's lock, and
  // the host thread may queue meanwhile (a new poll then waits anew).
  if (!game.commands.take(&command)) return;
  switch (static_cast<RconCommandId>(command.id)) {
    case RconCommandId::Status:
      pollStatus(game);
      break;
    case RconCommandId::Users:
      pollUsers(game);
      break;
    case RconCommandId::Kick:
      if (runRcon(game, "kick", command.text) != nullptr) ++game.kicksSent;
      break;
    case RconCommandId::AddIp:
      runRcon(game, "addip", command.text);
      break;
    case RconCommandId::Say:
      runRcon(game, "say", command.text);
      break;
    case RconCommandId::BanId:
      printMessage("Banning player\n");
      if (runRcon(game, "banid", command.text) != nullptr) ++game.bansSent;
      break;
    default:
      printMessage("Game: Unknown CMD Id %d\n", static_cast<int>(command.id));
      break;
  }
}

}  // namespace kestrin
