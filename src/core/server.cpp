#include "core/server.h"

#include "config/game_entries.h"
#include "core/clock.h"
#include "core/print.h"
#include "core/random.h"
#include "rcon/game_thread.h"

namespace kestrin {

void Server::updateClock() {
  clockNow = serverClock(platform::milliseconds(), clockStart, clockOffset.load());
}

int Server::init() {
  printMessage("Welcome to Kestrin Server [version: %d]\n", kServerVersion);
  clockStart = platform::milliseconds();
  clockOffset.store(kInitialClockOffset);
  clockNow = kInitialClockOffset;
  seedRandom(clockStart);

  checkIdCount = 6;
  for (std::uint32_t i = 0; i < checkIdCount; ++i) checkIds[i] = i + 1;

  if (!config.load(kConfigFileName)) {
    printMessage("can't open config file\n");
    return kRunError;
  }

  if (!buildGameEntries(*this)) {
    printMessage("Error: Parsing game entries failed\n");
    return kRunError;
  }

  updateClock();

  int result = openListenSocket();
  if (result != kRunOn) return result;

  printMessage("Init finished\n");
  return kRunOn;
}

int Server::openListenSocket() {
  platform::startSockets();
  switch (platform::tcpListen(wire::kClientPort, wire::kListenBacklog, &listenSocket)) {
    case platform::ListenResult::kOk:
      break;
    case platform::ListenResult::kCreateFailed:
      printMessage("Network: Unable to create socket\n");
      return kRunError;
    case platform::ListenResult::kBindFailed:
      printMessage("Network: Unable to bind port\n");
      return kRunError;
    case platform::ListenResult::kListenFailed:
      printMessage("Network: Unable to listen\n");
      return kRunError;
  }
  printMessage("Waiting for clients... [port: %d]\n", wire::kClientPort);
  return kRunOn;
}

int Server::step() {
  updateClock();

  for (std::uint32_t i = 0; i < gameCount; ++i) stepGame(games[i]);

  platform::sleepMilliseconds(kMainStepPauseMs);
  return kRunOn;
}

void Server::shutdown() {
  platform::closeSocket(listenSocket);
  listenSocket = platform::kInvalidSocket;

  for (std::uint32_t i = 0; i < gameCount; ++i) stopWatch(games[i]);
  games.reset();
  gameCount = 0;
}

}  // namespace kestrin
