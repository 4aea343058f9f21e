#include "game/game_server.h"

#include "client/client_session.h"
#include "core/print.h"
#include "game/client_messages.h"
#include "game/game_thread.h"
#include "game/reconciliation.h"

namespace kestrin {

GameServer::~GameServer() {
  stopWatch(*this);
  for (std::uint32_t i = 0; i < clientCount; ++i) {
    ClientSession* session = clients[i];
    clients[i] = nullptr;
    delete session;
  }
  clientCount = 0;
}

bool stepGame(GameServer& game, std::uint32_t now) {
  if (!game.rconReady.load()) return false;
  runClients(game, now);
  reconcile(game, now);
  return true;
}

void readClients(GameServer& game) {
  for (std::uint32_t i = 0; i < game.clientCount;) {
    ClientSession* session = game.clients[i];
    const bool ready = session->readable;
    session->readable = false;
    if (!ready) {
      ++i;
      continue;
    }
    if (session->closed) {
      removeClient(game, i);
      continue;
    }
    session->receive();
    ++i;
  }
}

void runClients(GameServer& game, std::uint32_t now) {
  for (std::uint32_t i = 0; i < game.clientCount;) {
    ClientSession* session = game.clients[i];
    if (session->closed) {
      removeClient(game, i);
      continue;
    }
    clientStep(game, *session, now);
    ++i;
  }
}

bool attachClient(GameServer& game, ClientSession* session) {
  if (game.clientCount + 1 >= kClientSlots) return false;
  game.clients[game.clientCount++] = session;
  return true;
}

void removeClient(GameServer& game, std::uint32_t index) {
  if (index >= game.clientCount) return;
  ClientSession* session = game.clients[index];
  session->disconnect();
  delete session;
  for (std::uint32_t i = index; i + 1 < game.clientCount; ++i) game.clients[i] = game.clients[i + 1];
  --game.clientCount;
  game.clients[game.clientCount] = nullptr;
  printMessage("Client %d disconnected [total: %d]\n", static_cast<int>(index),
               static_cast<int>(game.clientCount));
}

int findClient(const GameServer& game, std::uint32_t userId, std::uint32_t wonId) {
  for (std::uint32_t i = 0; i < game.clientCount; ++i) {
    const ClientSession* session = game.clients[i];
    if (session->userId == userId && session->wonId == wonId) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace kestrin
