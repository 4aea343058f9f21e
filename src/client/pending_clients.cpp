// The server's pending list: accepting clients, reading them while their
// handshake runs, and the handshake time limit.
#include <new>

#include "client/client_session.h"
#include "core/print.h"
#include "core/server.h"

namespace kestrin {

ClientSession* Server::addPendingClient() {
  if (clientCount + 1 >= wire::kPendingListSlots) return nullptr;
  auto* session = new (std::nothrow) ClientSession();
  if (session == nullptr) {
    printMessage("Error, unable to allocate space for client\n");
    return nullptr;
  }
  clients[clientCount++] = session;
  return session;
}

void Server::removePendingClient(std::uint32_t index, bool free) {
  if (index >= clientCount) return;
  ClientSession* session = clients[index];
  for (std::uint32_t i = index; i + 1 < clientCount; ++i) clients[i] = clients[i + 1];
  clients[--clientCount] = nullptr;
  if (free) delete session;
}

void Server::releasePendingClients() {
  while (clientCount > 0) removePendingClient(clientCount - 1, true);
}

void Server::acceptClient() {
  bool ready = false;
  if (platform::pollReadable(&listenSocket, 1, &ready, 0) < 1 || !ready) return;
  platform::SocketHandle socket = platform::tcpAccept(listenSocket);
  if (socket == platform::kInvalidSocket) {
    printMessage("Error in client connection");
    return;
  }
  ClientSession* session = addPendingClient();
  if (session == nullptr) {
    platform::closeSocket(socket);
    printMessage("Failed to add client\n");
    return;
  }
  session->checkList = &checkList;
  session->socket = socket;
  session->clock = &clockNow;
  session->update = &update;
  session->start();
  sendHello(*session);
  printMessage("Client connected [total: %d]\n", static_cast<int>(clientCount));
}

void Server::pollPendingClients() {
  if (clientCount == 0) return;
  platform::SocketHandle sockets[wire::kPendingListSlots];
  bool ready[wire::kPendingListSlots] = {};
  const std::uint32_t socketCount = clientCount;
  for (std::uint32_t i = 0; i < socketCount; ++i) sockets[i] = clients[i]->socket;
  if (platform::pollReadable(sockets, socketCount, ready, 0) < 1) return;

  // Sessions leave the list while it is walked (handed to a game or freed),
  // so readiness is looked up by socket.
  auto isReady = [&](platform::SocketHandle socket) {
    for (std::uint32_t j = 0; j < socketCount; ++j)
      if (sockets[j] == socket) return ready[j];
    return false;
  };
  for (std::uint32_t i = 0; i < clientCount;) {
    ClientSession* session = clients[i];
    const std::uint32_t countBefore = clientCount;
    if (!session->closed && isReady(session->socket)) {
      const std::uint8_t* frame = session->receive();
      if (frame != nullptr) dispatchHandshake(i, frame);
    }
    // A session that left the list made room for the next one at i.
    if (clientCount == countBefore) ++i;
  }
}

void Server::expirePendingClients() {
  for (std::uint32_t i = 0; i < clientCount;) {
    ClientSession* session = clients[i];
    if (session->closed) {
      removePendingClient(i, true);
      printMessage("Client disconnected [total: %d]\n", static_cast<int>(clientCount));
      continue;
    }
    if (session->connectTime + wire::kHandshakeTimeoutMs < clockNow) {
      printMessage("Client timeout...\n");
      session->disconnect();
    }
    ++i;
  }
}

}  // namespace kestrin
