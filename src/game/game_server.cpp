#include "game/game_server.h"

#include <mutex>

#include "client/client_session.h"
#include "core/clock.h"
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
  if (!game.rconReady.load()) {
    // No client can join while the console is down: the wait for the join
    // starts again once the console answers.
    for (std::uint32_t i = 0; i < game.clientCount; ++i)
      if (!game.clients[i]->joined) game.clients[i]->joinDeadline = now + kJoinWaitMs;
    return false;
  }
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
    if (!session->closed && !session->joined && timerExpired(session->joinDeadline, now)) {
      printMessage("Client: Not joined within 30 seconds, client dropped [userId: %u wonId: %u]\n",
                   session->userId, session->wonId);
      session->sendDropNotice(wire::kDropKicked);
      session->disconnect();
    }
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

bool admitClient(GameServer& game, ClientSession* session, std::uint32_t now) {
  bool addressKnown = false;
  {
    std::lock_guard<std::mutex> lock(game.players.mutex);
    const int row = findStatus(game.players, session->userId, session->wonId);
    if (row >= 0 && game.players.statusRecords[row].listed) {
      const StatusRecord& listed = game.players.statusRecords[row];
      if (statusAddress(listed) != session->peerAddress) {
        reportStranger(*session, listed);
        return false;
      }
      addressKnown = true;
    }
  }
  const int earlier = findClient(game, session->userId, session->wonId);
  // Until status shows the player's address, only the earlier session's own
  // address may replace it.
  if (earlier >= 0 && !addressKnown && game.clients[earlier]->peerAddress != session->peerAddress) {
    printMessage("Client: Player already has a client, client dropped [userId: %u wonId: %u]\n", session->userId,
                 session->wonId);
    return false;
  }
  if (earlier >= 0) {
    printMessage("Client: Replaced by a new client of the player [userId: %u wonId: %u]\n", session->userId,
                 session->wonId);
    removeClient(game, static_cast<std::uint32_t>(earlier));
  } else if (game.clientCount + 1 >= kClientSlots) {
    std::uint32_t unjoined = 0;
    while (unjoined < game.clientCount && game.clients[unjoined]->joined) ++unjoined;
    if (unjoined == game.clientCount) {
      printMessage("Client: Game full, client dropped [userId: %d wonId: %d]\n", static_cast<int>(session->userId),
                   static_cast<int>(session->wonId));
      return false;
    }
    printMessage("Client: Unjoined client dropped to make room [userId: %u wonId: %u]\n",
                 game.clients[unjoined]->userId, game.clients[unjoined]->wonId);
    game.clients[unjoined]->sendDropNotice(wire::kDropKicked);
    removeClient(game, unjoined);
  }
  session->joinDeadline = now + kJoinWaitMs;
  return attachClient(game, session);
}

void reportStranger(const ClientSession& session, const StatusLine& row) {
  const std::uint32_t from = session.peerAddress;
  printMessage(
      "Client: Address mismatch, client dropped [client: %u.%u.%u.%u player: %u.%u.%u.%u userId: %u wonId: %u]\n",
      from >> 24, from >> 16 & 0xFF, from >> 8 & 0xFF, from & 0xFF, row.ip[0], row.ip[1], row.ip[2], row.ip[3],
      row.userId, row.wonId);
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
