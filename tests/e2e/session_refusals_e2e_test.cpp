// Handshakes built frame by frame against the host program and the real
// library: wrong sizes, messages out of order, odd cipher lengths and client
// keys of every size the protocol allows, and one it does not.
#include <gtest/gtest.h>

#include "e2e/session_support.h"

namespace kestrin::e2e {
namespace {

class SessionRefusalsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    game = startGame(27015, {player("Alice", 12, 345, 40)});
    dir.write("kestrinsv.cfg", gameSection(27015));
    host = std::make_unique<HostProcess>(dir.path());
    ASSERT_TRUE(waitForGames(*host, 1)) << host->output();
  }

  // Waits for `text` to appear `count` times in all.
  bool waitForCount(const std::string& text, int count) {
    return waitUntil([&] { return host->countInOutput(text) >= count; }, 20000);
  }

  sim::Bytes keyMessage(const RawClient& raw, std::uint32_t userId, std::uint32_t wonId,
                        long long cipherLength = -1) {
    sim::Bytes key(16, 0x5A);
    return testing::keyMessage(raw.serverKey, userId, wonId, key, 16, systemRandomSource(), cipherLength);
  }

  std::unique_ptr<sim::GameServerSim> game;
  ScratchDir dir;
  std::unique_ptr<HostProcess> host;
  ClientKeys keys{512};
};

TEST_F(SessionRefusalsTest, WrongSizesAndOrderAreRefusedWithTheirMessages) {
  RawClient shortHello;
  ASSERT_TRUE(shortHello.open());
  sim::Bytes hello = testing::helloFrame(1, keys.publicKey);
  hello.resize(287);
  storeLe16(hello.data() + wire::kFrameLengthOffset, 287);
  shortHello.connection.sendFrame(hello);
  ASSERT_TRUE(host->waitForOutput("Packet size error\n")) << host->output();

  RawClient early;
  ASSERT_TRUE(early.open());
  early.connection.sendFrame(keyMessage(early, 12, 345));
  ASSERT_TRUE(host->waitForOutput("Didn't expect message 2\n")) << host->output();

  RawClient twice;
  ASSERT_TRUE(twice.open());
  ASSERT_EQ(twice.exchangeKeys(keys.publicKey), 64);
  twice.connection.sendFrame(testing::helloFrame(1, keys.publicKey));
  ASSERT_TRUE(host->waitForOutput("Didn't expect message 1\n")) << host->output();

  // None of them gets further; each ends at the handshake limit.
  ASSERT_TRUE(waitForCount("Client timeout...\n", 3)) << host->output();
  EXPECT_TRUE(shortHello.connection.waitForClose(5000));
  EXPECT_TRUE(early.connection.waitForClose(5000));
  EXPECT_TRUE(twice.connection.waitForClose(5000));
  EXPECT_EQ(host->countInOutput("Adding user"), 0);
}

TEST_F(SessionRefusalsTest, CipherLengthsBeyondTheFieldOrTheKeyAreRefused) {
  RawClient tooLong;
  ASSERT_TRUE(tooLong.open());
  ASSERT_EQ(tooLong.exchangeKeys(keys.publicKey), 64);
  tooLong.connection.sendFrame(keyMessage(tooLong, 12, 345, 257));
  ASSERT_TRUE(host->waitForOutput("Packet error\n")) << host->output();

  RawClient beyondKey;
  ASSERT_TRUE(beyondKey.open());
  ASSERT_EQ(beyondKey.exchangeKeys(keys.publicKey), 64);
  beyondKey.connection.sendFrame(keyMessage(beyondKey, 12, 345, 65));
  ASSERT_TRUE(host->waitForOutput("Protocolkey packet error\n")) << host->output();
  EXPECT_EQ(host->countInOutput("Adding user"), 0);
}

TEST_F(SessionRefusalsTest, ClientKeysOf510And1024BitsAreAnswered) {
  for (std::uint32_t bits : {510u, 1024u}) {
    SCOPED_TRACE(bits);
    sim::ClientSim::Options options = clientOptions(12, 345);
    options.keyBits = bits;
    sim::ClientSim client(options);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(waitUntil([&] { return client.keyed(); }, 20000)) << eventsOf(client);
    EXPECT_EQ(client.serverCipherLength(), bits == 510 ? 64u : 128u);
  }
  EXPECT_TRUE(waitForCount("Adding user userId: 12 wonId: 345\n", 2)) << host->output();
}

TEST_F(SessionRefusalsTest, ClientKeyTooLargeForItsRecordEndsTheSession) {
  RawClient raw;
  ASSERT_TRUE(raw.open());
  RsaPublicKey forged = keys.publicKey;
  forged.bits = 2048;
  raw.connection.sendFrame(testing::helloFrame(1, forged));
  ASSERT_TRUE(host->waitForOutput("Client: Unusable client key [bits: 2048]\n")) << host->output();
  EXPECT_TRUE(raw.connection.waitForClose(5000));
  EXPECT_TRUE(host->waitForOutput("Client disconnected [total: 0]\n")) << host->output();
}

}  // namespace
}  // namespace kestrin::e2e
