#include "server/server.h"

#include "client/client_session.h"
#include "core/clock.h"
#include "core/print.h"
#include "core/random.h"
#include "crypto/random_source.h"
#include "crypto/secure_wipe.h"
#include "game/game_thread.h"
#include "server/game_entries.h"

namespace kestrin {

void Server::updateClock() {
  const std::uint32_t timer = platform::milliseconds();
  clockNow = serverClock(timer, clockStart, kInitialClockOffset);
  masterNow = serverClock(timer, clockStart, clockOffset.load());
}

int Server::init() {
  printMessage("Welcome to Kestrin Server [version: %d]\n", wire::kServerVersion);
  platform::localTimeNow(&startedAt);
  clockStart = platform::milliseconds();
  clockOffset.store(kInitialClockOffset);
  clockNow = masterNow = kInitialClockOffset;
  seedRandom(clockStart);

  checkIdList.checkIdCount = 6;
  for (std::uint32_t i = 0; i < checkIdList.checkIdCount; ++i) checkIdList.checkIds[i] = i + 1;

  if (!config.load(kConfigFileName)) {
    printMessage("can't open config file\n");
    return kRunError;
  }

  if (!buildGameEntries(*this)) {
    printMessage("Error: Parsing game entries failed\n");
    return kRunError;
  }

  // Update key, client image, master time and update thread, then the first
  // install.
  loadUpdateKey(update);
  loadClientImage(update);
  if (!startUpdater(update, &clockOffset, clockStart)) return kRunError;
  updateClock();
  if (int installed = installStep(update, masterNow); installed != kRunOn) return installed;

  int result = openListenSocket();
  if (result != kRunOn) return result;

  // Only a failing system generator can make this request fail; a server
  // without a key pair could key no client, so it does not start.
  if (rsaGenerateKeyPair(publicKey, privateKey, kServerKeyRequest, systemRandomSource()) != 0) {
    printMessage("Error: Could not generate the key pair\n");
    return kRunError;
  }

  printMessage("Init finished\n");
  writeStatus();
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
  watch.add(listenSocket, nullptr);
  printMessage("Waiting for clients... [port: %d]\n", wire::kClientPort);
  return kRunOn;
}

int Server::pollSockets() {
  listenerReady = false;
  int readable = 0;
  const int ready = watch.wait(0);
  for (int i = 0; i < ready; ++i) {
    void* tag = watch.readyTag(static_cast<std::size_t>(i));
    if (tag == nullptr) {
      listenerReady = true;
    } else {
      static_cast<ClientSession*>(tag)->readable = true;
      ++readable;
    }
  }
  return readable;
}

int Server::step() {
  updateClock();
  const bool sessionsReadable = pollSockets() > 0;
  acceptClient();
  readPendingSessions();
  expirePendingSessions();

  for (std::uint32_t i = 0; i < gameCount; ++i) {
    // Walking hundreds of idle sessions only to find nothing to read is
    // the costly part of an idle step.
    if (sessionsReadable) readClients(games[i]);
    stepGame(games[i], clockNow);
  }

  if (int installed = installStep(update, masterNow); installed != kRunOn) return installed;
  writeStatus();
  platform::sleepMilliseconds(kMainStepPauseMs);
  return kRunOn;
}

Server::~Server() { releasePendingSessions(); }

void Server::shutdown() {
  watch.remove(listenSocket);
  platform::closeSocket(listenSocket);
  listenSocket = platform::kInvalidSocket;
  // Sessions already attached to a game are freed with their game.
  releasePendingSessions();
  stopUpdater(update);
  for (std::uint32_t i = 0; i < gameCount; ++i) stopWatch(games[i]);
  games.reset();
  gameCount = 0;
  secureWipe(privateKey);
}

}  // namespace kestrin
