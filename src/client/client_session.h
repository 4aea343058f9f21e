// One anti-cheat client connection and the frames it carries.
//
// A session belongs first to the server's pending list (while its handshake
// runs), then to exactly one game's client list; whoever finds it unusable
// marks it closed, and the list that owns it frees it on its next pass.  The
// session itself knows nothing of games: what a game asks of it (checks,
// image transfer) is kept here as plain state and driven from outside.
// Until it is keyed its frames travel plain; once keyed every frame, header
// included, is padded to whole 8-byte blocks and enciphered with Blowfish,
// one key per direction.
//
// The three buffers are fixed; receiving, deciphering and framing move bytes
// within them and allocate nothing.  Bytes may come from the socket
// (receive) or be handed in directly (receiveBytes), so the framing can be
// driven without a connection.  Host thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/check_id_list.h"
#include "core/wire.h"
#include "crypto/blowfish.h"
#include "crypto/random_source.h"
#include "crypto/rsa.h"
#include "platform/platform.h"

namespace kestrin {

struct UpdateState;

enum class SessionState : std::uint8_t {
  kNew = 0,
  kKeyed = 3,          // frames enciphered both ways; owned by a game
  kAwaitingHello = 4,  // waiting for the client's hello (message 1)
  kAwaitingKey = 5,    // waiting for the client's key message (message 2)
};

// The padded length of an enciphered frame: the three low bits cleared, plus
// 8 (a length that is already a multiple of 8 still gains 8 bytes).
inline constexpr std::size_t paddedFrameLength(std::size_t length) {
  return (length & ~static_cast<std::size_t>(7)) + 8;
}

// The check byte of a frame header: (id - lengthLow - 1) mod 256.
std::uint8_t frameCheckByte(std::uint8_t id, std::uint8_t lengthLow);

struct ClientSession {
  ClientSession() = default;
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;
  // Takes the socket off its watch and closes it if still open, and wipes
  // the key schedules.
  ~ClientSession();

  // Finished: the owning list removes and frees the session on its next pass.
  bool closed = false;
  SessionState state = SessionState::kNew;
  // Matched with its player's status row by the reconciliation.
  bool joined = false;
  // Set when a game admits the session: unless joined by then, the session
  // is dropped once this time has passed.  0: no limit.
  std::uint32_t joinDeadline = 0;
  // A first fully matching check answer was seen; the local time of the
  // latest one.
  bool authenticated = false;
  platform::LocalTime lastCheckPassed;
  std::uint32_t connectTime = 0;
  // The handshake refused a frame of this session and said so; a refused
  // frame stays and is offered again with every read, but printed once.
  bool refusalPrinted = false;

  // Client-image transfer: under way, bytes sent, when the next chunk may go
  // and the version of the image being sent.
  bool updating = false;
  std::uint32_t updateOffset = 0;
  std::uint32_t nextUpdateChunkTime = 0;
  std::uint16_t updateVersion = 0;
  // Server.update, source of the client image (read on this thread only).
  UpdateState* update = nullptr;

  // Checks: when the next request goes (0 until the join), when the
  // outstanding answer is judged (0 when none is outstanding), and the
  // latest answer.
  std::uint32_t nextCheckTime = 0;
  std::uint32_t checkDeadline = 0;
  std::uint16_t checkAnswered = 0;
  std::uint32_t checkAnswers[wire::kMaxCheckIds] = {};
  // Server.checkIdList.
  const CheckIdList* checkIdList = nullptr;
  // How many file digests an answer carries: the files listed by the game,
  // set when the session is handed to it.
  std::uint16_t listedFileCount = 0;
  // As the latest answer says.
  std::uint16_t answerFileCount = 0;
  std::uint32_t fileDigests[wire::kMaxCheckFiles] = {};

  std::uint32_t wonId = 0;
  std::uint32_t userId = 0;
  // The address the connection comes from, as accepted: the session joins
  // only the player whom the game lists at this address.
  std::uint32_t peerAddress = 0;
  platform::SocketHandle socket = platform::kInvalidSocket;
  // The readiness watch the socket is registered with (see watchWith), if
  // any, and whether its last poll found data or the end of the stream
  // waiting; the reader clears the flag.
  platform::SocketWatch* watch = nullptr;
  bool readable = false;

  // Bytes as received, not yet deciphered (fewer than 8 once keyed).
  std::uint8_t receiveBuffer[wire::kSessionBufferSize] = {};
  // Deciphered (or, before keying, plain) bytes; frames start at index 0.
  std::uint8_t frameBuffer[wire::kSessionBufferSize] = {};
  // The outgoing frame, padded and enciphered in place.
  std::uint8_t sendBuffer[wire::kSessionBufferSize] = {};
  std::uint32_t receiveCount = 0;
  std::uint32_t frameCount = 0;

  BlowfishKey sendCipher = {};
  RsaPublicKey clientKey = {};
  BlowfishKey receiveCipher = {};
  std::uint16_t clientVersion = 0;

  // Awaits the client's hello; the handshake limit counts from `now`.
  void start(std::uint32_t now);
  // Registers the socket with `watch`, tagged with the session, for as long
  // as it stays open.  The watch outlives the session.  False when the
  // watch refused it.
  bool watchWith(platform::SocketWatch& watch);

  // Reads what the socket holds and frames it.  A keyed session dispatches
  // every complete frame itself and returns null; an unkeyed one returns the
  // complete frame at the start of frameBuffer for the handshake, or null.
  // A failed read or the end of the stream disconnects the session.
  const std::uint8_t* receive();
  // The same for bytes that did not come from the socket; takes at most as
  // many as the receive buffer has room for.
  const std::uint8_t* receiveBytes(const std::uint8_t* data, std::size_t length);

  // Sends one frame built by the caller (id and unpadded length set, check
  // byte left 0) in one send call; keyed sessions pad and encipher it.  A
  // send that fails or cannot take the whole frame disconnects the session.
  // Nothing is sent once the socket is closed.
  void sendFrame(const std::uint8_t* frame);
  // Consumes the complete frame at the start of frameBuffer.
  void removeFrame();
  // Marks the session closed, takes the socket off its watch and closes it
  // (once, however often this runs).
  void disconnect();

  // The server hello (id 1): version 1000 and the server's public key.
  void sendHello(const RsaPublicKey& serverKey);
  // Draws the server-to-client key, keys sendCipher and sends the key frame
  // enciphered with clientKey.  False, with nothing sent, when the random
  // source fails or clientKey cannot carry the key record.
  bool sendKey(RandomSource& random);
  // The drop notice (id 6) with its reason.
  void sendDropNotice(wire::DropReason reason);
  // Called once the session is keyed: bytes held behind the key message were
  // sent under the client's key and are deciphered now.
  void decipherHeldBytes();

 private:
  const std::uint8_t* frameReceived(std::size_t received);
  void decipherReceived();
  // The frame at the start of frameBuffer (keyed): joined notice, check
  // answer, or anything else, which ends the session.
  void dispatchKeyed();
  void storeCheckAnswer();
};

}  // namespace kestrin
