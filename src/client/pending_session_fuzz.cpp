// Feeds arbitrary bytes to a pending session of a server with one game, in
// chunks, and runs the handshake on every frame they make.  The first byte
// picks the chunk size and whether a well-formed hello and key message go
// first, so that the bytes behind them also reach a keyed session.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "client/client_session.h"
#include "client/handshake.h"
#include "core/byte_order.h"
#include "core/server.h"
#include "crypto/random_source.h"
#include "crypto/rsa.h"

namespace {

using namespace kestrin;

// A fixed byte stream, so that every run uses the same keys.
class CountingSource final : public RandomSource {
 public:
  explicit CountingSource(std::uint64_t seed) : state_(seed) {}
  bool fill(std::uint8_t* out, std::size_t length) override {
    for (std::size_t i = 0; i < length; ++i) {
      state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
      out[i] = static_cast<std::uint8_t>(state_ >> 56);
    }
    return true;
  }

 private:
  std::uint64_t state_;
};

std::uint8_t check(std::uint8_t id, std::uint8_t low) { return frameCheckByte(id, low); }

struct Setup {
  CountingSource random{5};
  std::unique_ptr<Server> server = std::make_unique<Server>();
  RsaPublicKey clientPublic{};
  RsaPrivateKey clientPrivate{};
  std::vector<std::uint8_t> hello;
  std::vector<std::uint8_t> keyMessage;

  Setup() {
    CountingSource keys(510);
    if (rsaGenerateKeyPair(server->publicKey, server->privateKey, {510, 1}, keys) != kRsaOk ||
        rsaGenerateKeyPair(clientPublic, clientPrivate, {512, 1}, keys) != kRsaOk)
      __builtin_trap();
    server->clockNow = 100000;
    server->keyRandom = &random;
    server->checkList.checkIdCount = 6;
    server->games.reset(new GameServer[1]);
    server->gameCount = 1;
    GameServer& game = server->games[0];
    game.clock = &server->clockNow;
    game.checksumList.checkFileCount = 2;
    game.userRecords[0].userId = 12;
    game.userRecords[0].wonId = 345;
    game.userRecordCount = 1;

    hello.assign(wire::kHandshakeFrameSize, 0);
    hello[1] = wire::kPacketHello;
    storeLe16(hello.data() + 2, wire::kHandshakeFrameSize);
    hello[0] = check(hello[1], hello[2]);
    writeRsaPublicKey(clientPublic, hello.data() + wire::kHelloKeyOffset, wire::kRsaPublicKeySize);

    KeyRecord record;
    record.userId = 12;
    record.wonId = 345;
    std::memset(record.key, 0x42, 16);
    record.keyLength = 16;
    std::uint8_t plain[wire::kKeyRecordSize];
    writeKeyRecord(record, plain);
    keyMessage.assign(wire::kHandshakeFrameSize, 0);
    keyMessage[1] = wire::kPacketKey;
    storeLe16(keyMessage.data() + 2, wire::kHandshakeFrameSize);
    keyMessage[0] = check(keyMessage[1], keyMessage[2]);
    std::uint32_t length = 0;
    if (rsaPublicEncrypt(keyMessage.data() + 8, &length, plain, sizeof plain, server->publicKey, keys) != kRsaOk)
      __builtin_trap();
    storeLe32(keyMessage.data() + 4, length);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  Server& server = *setup.server;
  GameServer& game = server.games[0];
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  ++data;
  --size;

  std::vector<std::uint8_t> stream;
  if (control & 0x80) stream = setup.hello;
  if (control & 0x40) stream.insert(stream.end(), setup.keyMessage.begin(), setup.keyMessage.end());
  stream.insert(stream.end(), data, data + size);
  const std::size_t chunk = 1 + (control & 0x3F) * 7;

  ClientSession* session = server.addPendingClient();
  if (session == nullptr) __builtin_trap();
  session->clock = &server.clockNow;
  session->checkList = &server.checkList;
  session->update = &server.update;
  session->start();

  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    const std::size_t length = stream.size() - at < chunk ? stream.size() - at : chunk;
    if (server.clientCount == 1) {
      const std::uint8_t* frame = session->receiveBytes(stream.data() + at, length);
      if (frame != nullptr) server.dispatchHandshake(0, frame);
    } else if (game.clientCount == 1) {
      session->receiveBytes(stream.data() + at, length);
    } else {
      break;
    }
    if (session->frameCount >= wire::kSessionBufferSize || session->receiveCount >= wire::kSessionBufferSize)
      __builtin_trap();
  }

  if (server.clientCount == 1) server.removePendingClient(0, true);
  if (game.clientCount == 1) removeClient(game, 0);
  if (server.clientCount != 0 || game.clientCount != 0) __builtin_trap();
  return 0;
}
