// The server's pending list: accepting clients, reading them while their
// handshake runs, and the handshake time limit.
#include <new>

#include "client/client_session.h"
#include "core/print.h"
#include "server/server.h"

namespace kestrin {

ClientSession* Server::addPendingSession() {
  if (pendingCount + 1 >= wire::kPendingListSlots) return nullptr;
  auto* session = new (std::nothrow) ClientSession();
  if (session == nullptr) {
    printMessage("Error, unable to allocate space for client\n");
    return nullptr;
  }
  pendingSessions[pendingCount++] = session;
  return session;
}

void Server::removePendingSession(std::uint32_t index, bool free) {
  if (index >= pendingCount) return;
  ClientSession* session = pendingSessions[index];
  for (std::uint32_t i = index; i + 1 < pendingCount; ++i) pendingSessions[i] = pendingSessions[i + 1];
  pendingSessions[--pendingCount] = nullptr;
  if (free) delete session;
}

void Server::releasePendingSessions() {
  while (pendingCount > 0) removePendingSession(pendingCount - 1, true);
}

void Server::acceptClient() {
  if (!listenerReady) return;
  listenerReady = false;
  platform::Endpoint peer;
  platform::SocketHandle socket = platform::tcpAccept(listenSocket, &peer);
  if (socket == platform::kInvalidSocket) {
    printMessage("Error in client connection");
    return;
  }
  ClientSession* session = addPendingSession();
  if (session == nullptr) {
    platform::closeSocket(socket);
    printMessage("Failed to add client\n");
    return;
  }
  session->checkIdList = &checkIdList;
  session->socket = socket;
  session->peerAddress = peer.address;
  // A session the watch refuses is never read and ends at the handshake
  // limit.
  session->watchWith(watch);
  session->update = &update;
  session->start(clockNow);
  session->sendHello(publicKey);
  printMessage("Client connected [total: %d]\n", static_cast<int>(pendingCount));
}

void Server::readPendingSessions() {
  for (std::uint32_t i = 0; i < pendingCount;) {
    ClientSession* session = pendingSessions[i];
    const std::uint32_t countBefore = pendingCount;
    const bool ready = session->readable;
    session->readable = false;
    if (!session->closed && ready) {
      const std::uint8_t* frame = session->receive();
      if (frame != nullptr) dispatchHandshake(i, frame);
    }
    // A session that left the list made room for the next one at i.
    if (pendingCount == countBefore) ++i;
  }
}

void Server::expirePendingSessions() {
  for (std::uint32_t i = 0; i < pendingCount;) {
    ClientSession* session = pendingSessions[i];
    if (session->closed) {
      removePendingSession(i, true);
      printMessage("Client disconnected [total: %d]\n", static_cast<int>(pendingCount));
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
