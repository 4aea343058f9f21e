#include "client/client_session.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/print.h"
#include "core/wire.h"
#include "game/game_server.h"
#include "game/player_tables.h"

namespace kestrin {

ClientSession::~ClientSession() { platform::closeSocket(socket); }

std::uint8_t frameCheckByte(std::uint8_t id, std::uint8_t lengthLow) {
  return static_cast<std::uint8_t>(id - lengthLow - 1);
}

void ClientSession::receive() {
  // Frames are taken apart by the session layer; what is read here only
  // tells whether the connection still stands.
  std::uint8_t buffer[wire::kSessionBufferSize];
  if (platform::socketReceive(socket, buffer, sizeof buffer) <= 0) disconnect();
}

void ClientSession::sendFrame(const std::uint8_t* frame) {
  if (socket == platform::kInvalidSocket) return;
  std::uint8_t out[wire::kSessionBufferSize];
  std::size_t length = loadLe16(frame + wire::kFrameLengthOffset);
  if (length < wire::kFrameHeaderSize || length > sizeof out) return;
  std::memcpy(out, frame, length);
  out[wire::kFrameCheckOffset] =
      frameCheckByte(out[wire::kFrameIdOffset], out[wire::kFrameLengthOffset]);
  if (platform::socketSend(socket, out, length) < 0) {
    printMessage("Client: Send socket error\n");
    disconnect();
  }
}

void ClientSession::disconnect() {
  if (joined && game != nullptr) removeStatus(*game, userId, wonId);
  closed = true;
  platform::closeSocket(socket);
  socket = platform::kInvalidSocket;
}

}  // namespace kestrin
