// The server's pending list: accepting clients, reading them while their
// handshake runs, and the handshake time limit.
#include <cstdio>
#include <new>

#include "client/client_session.h"
#include "core/clock.h"
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
  // Every waiting connection, so that nobody can hold the door by filling
  // the listen queue faster than one a step.
  for (int accepted = 0; accepted < kAcceptsPerStep; ++accepted) {
    platform::Endpoint peer;
    platform::SocketHandle socket = platform::tcpAccept(listenSocket, &peer);
    if (socket == platform::kInvalidSocket) {
      if (accepted == 0) printMessage("Error in client connection");
      return;
    }
    admitConnection(socket, peer.address);
  }
}

void Server::admitConnection(platform::SocketHandle socket, std::uint32_t address) {
  std::uint32_t fromAddress = 0;
  for (std::uint32_t i = 0; i < pendingCount; ++i)
    if (pendingSessions[i]->peerAddress == address) ++fromAddress;
  if (fromAddress >= kMaxPendingPerAddress) {
    platform::closeSocket(socket);
    reportRefusal(address);
    return;
  }
  if (pendingCount + 1 >= wire::kPendingListSlots) {
    // A full list: the oldest session that has not even sent its hello
    // within 2 s gives way.  Sessions whose handshake moves are kept.
    for (std::uint32_t i = 0; i < pendingCount; ++i) {
      const ClientSession& idle = *pendingSessions[i];
      if (idle.state != SessionState::kAwaitingHello || idle.frameCount != 0 ||
          clockNow - idle.connectTime < kPendingIdleMs)
        continue;
      const std::uint32_t from = idle.peerAddress;
      printMessage("Client: Idle connection from %u.%u.%u.%u closed to make room\n", from >> 24, from >> 16 & 0xFF,
                   from >> 8 & 0xFF, from & 0xFF);
      removePendingSession(i, true);
      break;
    }
  }
  ClientSession* session = addPendingSession();
  if (session == nullptr) {
    platform::closeSocket(socket);
    printMessage("Failed to add client\n");
    return;
  }
  session->checkIdList = &checkIdList;
  session->socket = socket;
  session->peerAddress = address;
  // A session the watch refuses is never read and ends at the handshake
  // limit.
  session->watchWith(watch);
  session->update = &update;
  session->start(clockNow);
  session->sendHello(publicKey);
  printMessage("Client connected [total: %d]\n", static_cast<int>(pendingCount));
}

void Server::reportRefusal(std::uint32_t address) {
  RefusalNote* note = nullptr;
  for (RefusalNote& candidate : refusalNotes) {
    if (candidate.used && candidate.address == address) {
      note = &candidate;
      break;
    }
    if (note == nullptr || !candidate.used ||
        (note->used && timeAfter(note->printedAt, candidate.printedAt)))
      note = &candidate;
  }
  if (note->used && note->address == address && timeAfter(note->printedAt + kRefusalLineEveryMs, clockNow)) {
    ++note->unprinted;
    return;
  }
  const std::uint32_t unprinted = note->used && note->address == address ? note->unprinted : 0;
  *note = RefusalNote{true, address, clockNow, 0};
  char since[48] = "";
  if (unprinted > 0)
    std::snprintf(since, sizeof since, " [%u more since the last line]", static_cast<unsigned>(unprinted));
  printMessage("Client: Too many connections from %u.%u.%u.%u, connection closed%s\n", address >> 24,
               address >> 16 & 0xFF, address >> 8 & 0xFF, address & 0xFF, since);
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
    if (timeAfter(clockNow, session->connectTime + wire::kHandshakeTimeoutMs)) {
      printMessage("Client timeout...\n");
      session->disconnect();
    }
    ++i;
  }
}

}  // namespace kestrin
