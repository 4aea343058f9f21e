// Client sessions through the host and the real library: clients that send
// garbage, vanish half-way or pose as the player from another address beside
// a good one.
#include "core/wire.h"
#include "e2e/e2e_support.h"

namespace kestrin::e2e {
namespace {

// Connects to the client port and reads the server hello; false when either
// fails.
bool openRaw(sim::ClientConnection& connection) {
  sim::Bytes hello;
  return connection.connect(wire::kClientPort) &&
         connection.readFrame(&hello, 10000) == sim::ClientConnection::Read::kFrame &&
         hello.size() == wire::kHandshakeFrameSize && hello[wire::kFrameIdOffset] == wire::kPacketHello;
}

using SessionTest = E2eTest;

TEST_F(SessionTest, GarbageHalfClosedAndImpostorClientsNeverDisturbAGoodOne) {
  sim::GameServerSim& game = addGame(27015, {player("Alice", 12, 345, 40)});
  ASSERT_TRUE(startHost());
  // Alice's ids from another address, with a wrong answer ready: it must
  // never join, so no verdict can reach her.
  sim::ClientSim::Options impostorOptions = clientOptions(12, 345);
  impostorOptions.localAddress = 0x7F090909;
  impostorOptions.policy = sim::AnswerPolicy::kWrongValue;
  sim::ClientSim impostor(impostorOptions);
  ASSERT_TRUE(impostor.start());
  ASSERT_TRUE(host->waitForOutput("Client: Address mismatch, client dropped [client: 127.9.9.9 player: 127.1.0.12 "
                                  "userId: 12 wonId: 345]\n",
                                  40000))
      << host->output() << eventsOf(impostor);
  EXPECT_TRUE(waitUntil([&] { return impostor.connectionClosed(); }, 5000)) << eventsOf(impostor);
  sim::ClientSim good(clientOptions(12, 345));
  ASSERT_TRUE(good.start());

  // Bytes that are no frame: the check byte is off by one.
  sim::ClientConnection garbage, halfway;
  ASSERT_TRUE(openRaw(garbage));
  sim::Bytes noise(300);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 37 + 11);
  noise[0] = static_cast<std::uint8_t>(noise[1] - noise[2]);
  ASSERT_TRUE(garbage.sendRaw(noise));

  // Half a hello, then the connection ends.
  ASSERT_TRUE(openRaw(halfway));
  sim::Bytes hello = testing::helloFrame(1, testing::seededKeyPair(512, 7).publicKey);
  hello[0] = static_cast<std::uint8_t>(hello[1] - hello[2] - 1);
  ASSERT_TRUE(halfway.sendRaw(sim::Bytes(hello.begin(), hello.begin() + 144)));
  halfway.close();

  EXPECT_TRUE(garbage.waitForClose(5000));
  ASSERT_TRUE(host->waitForOutput("Player joined successfully with wonId: 159 and userId: 12\n"))
      << host->output() << eventsOf(good);
  // Both went without waiting for the handshake limit.
  EXPECT_TRUE(host->waitForCount("Client disconnected [total: ", 2, 5000)) << host->output();
  EXPECT_EQ(host->countInOutput("Client timeout...\n"), 0);

  ASSERT_TRUE(waitUntil([&] { return game.countAccepted("say Alice has joined with the Kestrin client") == 1; },
                        30000))
      << host->output();
  EXPECT_TRUE(impostor.checkRequests().empty());
  EXPECT_EQ(game.countAccepted("banid"), 0);
  EXPECT_FALSE(good.connectionClosed());
}

}  // namespace
}  // namespace kestrin::e2e
