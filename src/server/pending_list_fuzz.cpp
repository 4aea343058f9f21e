// The pending list under a fuzzed sequence of events, one byte each: the top
// two bits pick a connection from one of 8 addresses, (part of) a hello on a
// session, an idle time, or a server step (which may first hang a session
// up); the rest is the argument.  After every event: no address holds more
// than 4 pending sessions, the list stays within its slots, a session whose
// hello has started is never evicted, and a connection is refused only when
// its address is at its limit or the list is full of sessions that may not
// give way.  The sessions have no socket: what they are sent goes nowhere.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "client/client_session.h"
#include "server/server.h"
#include "support/client_frames.h"

namespace {

using namespace kestrin;

std::uint32_t fromAddress(const Server& server, std::uint32_t address) {
  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < server.pendingCount; ++i) count += server.pendingSessions[i]->peerAddress == address;
  return count;
}

void connect(Server& server, std::uint32_t address) {
  std::vector<const ClientSession*> moving;
  bool idle = false;
  for (std::uint32_t i = 0; i < server.pendingCount; ++i) {
    const ClientSession* session = server.pendingSessions[i];
    if (session->state != SessionState::kAwaitingHello || session->frameCount != 0) {
      moving.push_back(session);
    } else {
      idle = idle || server.clockNow - session->connectTime >= kPendingIdleMs;
    }
  }
  const bool room = fromAddress(server, address) < kMaxPendingPerAddress &&
                    (server.pendingCount + 1 < wire::kPendingListSlots || idle);
  const ClientSession* last = server.pendingCount > 0 ? server.pendingSessions[server.pendingCount - 1] : nullptr;
  server.admitConnection(platform::kInvalidSocket, address);
  const bool added = server.pendingCount > 0 && server.pendingSessions[server.pendingCount - 1] != last;
  if (added != room) __builtin_trap();
  const auto end = server.pendingSessions + server.pendingCount;
  for (const ClientSession* session : moving)
    if (std::find(server.pendingSessions, end, session) == end) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static testing::ScriptedRandom random{7};
  static const testing::Bytes hello = testing::helloFrame(1, testing::seededKeyPair(512, 2, 0).publicKey);
  static Server& server = *new Server();
  server.keyRandom = &random;
  server.clockNow = 0xFFFFF000u;  // wraps within a few events
  // At most 64 events, which fill the list twice over: longer inputs
  // would only make each run slower.
  for (std::size_t i = 0; i < size && i < 64; ++i) {
    const std::uint32_t argument = data[i] & 0x3F;
    const std::uint32_t index = server.pendingCount == 0 ? 0 : argument % server.pendingCount;
    switch (data[i] >> 6) {
      case 0:
        connect(server, 0x0A000000u | (argument & 7));
        break;
      case 1:
        if (server.pendingCount > 0) {
          // The whole hello, or its first bytes only.
          const std::size_t length = argument & 0x20 ? hello.size() : 1 + (argument & 0x1F) * 9;
          const std::uint8_t* frame = server.pendingSessions[index]->receiveBytes(hello.data(), length);
          if (frame != nullptr) server.dispatchHandshake(index, frame);
        }
        break;
      case 2:
        server.clockNow += (argument + 1) * 100;
        break;
      default:
        if (argument & 1 && server.pendingCount > 0) server.pendingSessions[index]->disconnect();
        server.expirePendingSessions();
    }
    if (server.pendingCount >= wire::kPendingListSlots) __builtin_trap();
    for (std::uint32_t a = 0; a < 8; ++a)
      if (fromAddress(server, 0x0A000000u | a) > kMaxPendingPerAddress) __builtin_trap();
  }
  server.releasePendingSessions();
  return 0;
}
