// One anti-cheat client connection.  A session belongs first to the server's
// pending list, then to exactly one game's client list; whoever finds it
// unusable marks it closed, and the list that owns it frees it on its next
// pass.  Host thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kestrin {

struct GameServer;

struct ClientSession {
  // Finished: the owning list removes and frees the session on its next pass.
  bool closed = false;
  // Matched with a player row of its game by the reconciliation; on
  // disconnect that row is released.
  bool joined = false;
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  platform::SocketHandle socket = platform::kInvalidSocket;
  GameServer* game = nullptr;

  ClientSession() = default;
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;
  ~ClientSession();

  // Reads what the socket holds; a failed read or the end of the stream
  // disconnects the session.
  void receive();
  // Sends one frame built by the caller (id and length set, check byte left
  // 0) in one send call; a send error disconnects the session.  Nothing is
  // sent once the socket is closed.
  void sendFrame(const std::uint8_t* frame);
  // Releases the player's row if joined, marks the session closed and closes
  // the socket (once, however often this runs).
  void disconnect();
};

// The check byte of a frame header: (id - lengthLow - 1) mod 256.
std::uint8_t frameCheckByte(std::uint8_t id, std::uint8_t lengthLow);

}  // namespace kestrin
