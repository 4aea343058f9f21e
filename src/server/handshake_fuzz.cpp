// Feeds arbitrary bytes to a pending session of a server with one game, in
// pieces, and runs the handshake on every frame they make.  The first byte
// picks the piece size and whether a well-formed hello and key message go
// first.  Behind both, the bytes are enciphered with the client's key, so
// that the fuzzer shapes the frames the keyed session dispatches.
#include <cstdint>
#include <memory>
#include <vector>

#include "client/client_session.h"
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
    const testing::KeyPair serverKeys = testing::seededKeyPair(510, 1);
    const testing::KeyPair clientKeys = testing::seededKeyPair(512, 2);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  Server& server = *setup.server;
  GameServer& game = server.games[0];
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  std::vector<std::uint8_t> tail(data + 1, data + size);
  std::vector<std::uint8_t> stream;
  if (control & 0x80) stream = setup.hello;
  if (control & 0x40) stream.insert(stream.end(), setup.keyMessage.begin(), setup.keyMessage.end());
  if ((control & 0xC0) == 0xC0)
    blowfishEncipher(setup.clientCipher, tail.data(), tail.data(), static_cast<std::uint32_t>(tail.size()));
  stream.insert(stream.end(), tail.begin(), tail.end());
  const std::size_t chunk = 1 + (control & 0x3F) * 7;

  ClientSession* session = server.addPendingSession();
  if (session == nullptr) __builtin_trap();
  session->checkIdList = &server.checkIdList;
  session->update = &server.update;
  session->start(server.clockNow);

  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    const std::size_t length = stream.size() - at < chunk ? stream.size() - at : chunk;
    if (server.pendingCount == 1) {
      const std::uint8_t* frame = session->receiveBytes(stream.data() + at, length);
      if (frame != nullptr) server.dispatchHandshake(0, frame);
    } else if (game.clientCount == 1) {
      // A keyed session dispatches its frames itself and holds less than a
      // block undeciphered.
      if (session->receiveBytes(stream.data() + at, length) != nullptr) __builtin_trap();
      if (session->receiveCount >= kBlowfishBlockSize) __builtin_trap();
    } else {
      break;
    }
    if (session->frameCount >= wire::kSessionBufferSize || session->receiveCount >= wire::kSessionBufferSize)
      __builtin_trap();
  }

  if (server.pendingCount == 1) server.removePendingSession(0, true);
  if (game.clientCount == 1) removeClient(game, 0);
  if (server.pendingCount != 0 || game.clientCount != 0) __builtin_trap();
  return 0;
}
