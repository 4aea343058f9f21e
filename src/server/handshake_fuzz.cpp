// Feeds arbitrary bytes to a pending session of a server with one game, in
// pieces, and runs the handshake on every frame they make.  The first byte
// picks the piece size and what goes first: nothing; a well-formed hello; a
// hello, then the next 44 bytes as the deciphered key record; or a hello and
// a well-formed key message, behind which the bytes are enciphered with the
// client's key, so that the fuzzer shapes the frames the keyed session
// dispatches.  The keys are chosen cheap (a server key with a small private
// exponent, a client key with e = 3), so that no input costs a long
// exponentiation.
#include <cstdint>
#include <memory>
#include <vector>

#include "client/client_session.h"
#include "client/key_record.h"
#include "server/server.h"
#include "support/client_frames.h"

namespace {

using namespace kestrin;

struct Setup {
  testing::ScriptedRandom random{5};
  std::unique_ptr<Server> server = std::make_unique<Server>();
  testing::Bytes hello;
  testing::Bytes keyMessage;
  BlowfishKey clientCipher{};

  Setup() {
    const testing::KeyPair serverKeys = testing::swappedKeyPair(510, 1);
    const testing::KeyPair clientKeys = testing::seededKeyPair(512, 2, 0);
    server->publicKey = serverKeys.publicKey;
    server->privateKey = serverKeys.privateKey;
    server->clockNow = 100000;
    server->keyRandom = &random;
    server->checkIdList.checkIdCount = 6;
    server->games.reset(new GameServer[1]);
    server->gameCount = 1;
    GameServer& game = server->games[0];
    game.checksumList.checkFileCount = 2;
    game.players.userRecords[0].userId = 12;
    game.players.userRecords[0].wonId = 345;
    game.players.userRecordCount = 1;

    const testing::Bytes key(16, 0x42);
    hello = testing::helloFrame(1, clientKeys.publicKey);
    keyMessage = testing::keyMessage(server->publicKey, 12, 345, key, 16, random);
    if (clientKeys.publicKey.bits == 0 || keyMessage.empty()) __builtin_trap();
    blowfishSetKey(clientCipher, key.data(), static_cast<int>(key.size()));
  }
};

// Hands `length` bytes to the session in pieces of `chunk`, as its reads
// would; false once the session has left the server.
bool feed(Server& server, ClientSession* session, const std::uint8_t* bytes, std::size_t length, std::size_t chunk) {
  for (std::size_t at = 0; at < length; at += chunk) {
    const std::size_t piece = length - at < chunk ? length - at : chunk;
    if (server.pendingCount == 1) {
      const std::uint8_t* frame = session->receiveBytes(bytes + at, piece);
      if (frame != nullptr) server.dispatchHandshake(0, frame);
    } else if (server.games[0].clientCount == 1) {
      // A keyed session dispatches its frames itself and holds less than a
      // block undeciphered.
      if (session->receiveBytes(bytes + at, piece) != nullptr) __builtin_trap();
      if (session->receiveCount >= kBlowfishBlockSize) __builtin_trap();
    } else {
      return false;
    }
    if (session->frameCount >= wire::kSessionBufferSize || session->receiveCount >= wire::kSessionBufferSize)
      __builtin_trap();
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  Server& server = *setup.server;
  GameServer& game = server.games[0];
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  const int mode = control >> 6;
  std::vector<std::uint8_t> tail(data + 1, data + size);
  std::vector<std::uint8_t> stream;
  if (mode != 0) stream = setup.hello;
  if (mode == 3) {
    stream.insert(stream.end(), setup.keyMessage.begin(), setup.keyMessage.end());
    blowfishEncipher(setup.clientCipher, tail.data(), tail.data(), static_cast<std::uint32_t>(tail.size()));
  }
  const std::size_t recordAt =
      mode == 2 && tail.size() >= wire::kKeyRecordSize ? stream.size() : stream.size() + tail.size();
  stream.insert(stream.end(), tail.begin(), tail.end());
  const std::size_t chunk = 1 + (control & 0x3F) * 7;

  ClientSession* session = server.addPendingSession();
  if (session == nullptr) __builtin_trap();
  session->checkIdList = &server.checkIdList;
  session->update = &server.update;
  session->start(server.clockNow);

  if (feed(server, session, stream.data(), recordAt, chunk) && recordAt < stream.size()) {
    if (server.pendingCount != 1 || session->state != SessionState::kAwaitingKey) __builtin_trap();
    KeyRecord record = readKeyRecord(stream.data() + recordAt);
    server.acceptKeyRecord(0, record);
    const std::size_t rest = recordAt + wire::kKeyRecordSize;
    feed(server, session, stream.data() + rest, stream.size() - rest, chunk);
  }

  if (server.pendingCount == 1) server.removePendingSession(0, true);
  if (game.clientCount == 1) removeClient(game, 0);
  if (server.pendingCount != 0 || game.clientCount != 0) __builtin_trap();
  return 0;
}
