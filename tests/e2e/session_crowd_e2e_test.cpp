// Many clients at once against the host program and the real library: the
// pending list holds 31 handshakes and refuses the 32nd; clients that send
// garbage or vanish half-way never disturb a well-behaved one.
#include <gtest/gtest.h>

#include <array>

#include "e2e/session_support.h"

namespace kestrin::e2e {
namespace {

TEST(SessionCrowdTest, ThirtySecondPendingConnectionIsClosedWhileTheOthersGoOn) {
  auto game = startGame(27015, {player("Alice", 12, 345, 40)});
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  std::array<RawClient, 31> pending;
  for (RawClient& raw : pending) ASSERT_TRUE(raw.open()) << host.output();
  ASSERT_TRUE(host.waitForOutput("Client connected [total: 31]\n")) << host.output();

  RawClient refused;
  ASSERT_TRUE(refused.connection.connect(wire::kClientPort));
  EXPECT_TRUE(refused.connection.waitForClose(5000));
  ASSERT_TRUE(host.waitForOutput("Failed to add client\n")) << host.output();
  EXPECT_EQ(host.countInOutput("Client connected [total: 32]"), 0);

  // The 31 go on: the last one still gets its key frame.
  ClientKeys keys(512);
  EXPECT_EQ(pending.back().exchangeKeys(keys.publicKey), 64);
  // And each ends at its handshake limit.
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Client timeout...\n") == 31; }, 30000)) << host.output();
  EXPECT_TRUE(host.waitForOutput("Client disconnected [total: 0]\n")) << host.output();
}

TEST(SessionCrowdTest, GarbageAndHalfClosedClientsNeverDisturbAGoodOne) {
  auto game = startGame(27015, {player("Alice", 12, 345, 40)});
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  sim::ClientSim good(clientOptions(12, 345));
  ASSERT_TRUE(good.start());

  // Bytes that are no frame: the check byte does not match.
  RawClient garbage;
  ASSERT_TRUE(garbage.open());
  sim::Bytes noise(300);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 37 + 11);
  noise[0] = static_cast<std::uint8_t>(noise[1] - noise[2]);  // check byte off by one
  ASSERT_TRUE(garbage.connection.sendRaw(noise));

  // A frame that claims to be shorter than its header.
  RawClient tiny;
  ASSERT_TRUE(tiny.open());
  ASSERT_TRUE(tiny.connection.sendFrame(testing::emptyFrame(1, 2)));

  // Half a hello, then the connection ends.
  RawClient halfway;
  ASSERT_TRUE(halfway.open());
  ClientKeys keys(512);
  sim::Bytes hello = testing::helloFrame(1, keys.publicKey);
  hello[0] = static_cast<std::uint8_t>(hello[1] - hello[2] - 1);
  ASSERT_TRUE(halfway.connection.sendRaw(sim::Bytes(hello.begin(), hello.begin() + 144)));
  halfway.connection.close();

  EXPECT_TRUE(garbage.connection.waitForClose(5000));
  EXPECT_TRUE(tiny.connection.waitForClose(5000));
  ASSERT_TRUE(host.waitForOutput("Adding user userId: 12 wonId: 345\n")) << host.output() << eventsOf(good);
  ASSERT_TRUE(host.waitForOutput("Player joined successfully with wonId: 159 and userId: 12\n")) << host.output();
  EXPECT_TRUE(host.waitForOutput("Client: Frame length error, hack attempt?\n")) << host.output();
  // The three went without waiting for the handshake limit.
  EXPECT_TRUE(waitUntil([&] { return host.countInOutput("Client disconnected [total: ") == 3; }, 5000))
      << host.output();
  EXPECT_EQ(host.countInOutput("Client timeout...\n"), 0);
  EXPECT_FALSE(good.connectionClosed());
}

}  // namespace
}  // namespace kestrin::e2e
