// The handshake through the host program and the real library, with
// simulated game servers and clients: a client is handed to the game whose
// user table lists its player; zero ids match the first listed user; a
// player listed nowhere is refused and times out.
#include <gtest/gtest.h>

#include "e2e/session_support.h"

namespace kestrin::e2e {
namespace {

TEST(SessionHandshakeTest, ClientIsHandedToTheSecondGameWhereItsPlayerIsListed) {
  auto first = startGame(27015, {player("Bob", 30, 3000, 0)});
  auto second = startGame(27016, {player("Alice", 12, 345, 40)});
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015) + gameSection(27016));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 2)) << host.output();

  sim::ClientSim client(clientOptions(12, 345));
  ASSERT_TRUE(client.start());
  ASSERT_TRUE(host.waitForOutput("Adding user userId: 12 wonId: 345\n")) << host.output() << eventsOf(client);
  ASSERT_TRUE(host.waitForOutput("Player joined successfully with wonId: 159 and userId: 12\n"))
      << host.output() << eventsOf(client);
  EXPECT_EQ(client.serverCipherLength(), 64u);
  EXPECT_TRUE(host.waitForOutput("Client connected [total: 1]\n"));
  // The second game's reconciliation joins the client to its player.
  ASSERT_TRUE(waitUntil([&] { return second->countAccepted("say Alice has joined with the Kestrin client") == 1; },
                        60000))
      << host.output();
  EXPECT_EQ(first->countAccepted("say"), 0);

  // The session left the pending list for good: no handshake limit applies.
  const int timeouts = host.countInOutput("Client timeout...\n");
  client.stop();
  // Removed from its game's list, not from the pending list.
  ASSERT_TRUE(host.waitForOutput("Client 0 disconnected [total: 0]\n")) << host.output();
  EXPECT_EQ(host.countInOutput("Client timeout...\n"), timeouts);
  EXPECT_EQ(host.countInOutput("Client disconnected [total: "), 0);
  // The hello made both games poll their users at once.
  EXPECT_GE(first->countAccepted("users"), 1);
  EXPECT_GE(second->countAccepted("users"), 1);
}

TEST(SessionHandshakeTest, ZeroIdsMatchTheFirstListedUser) {
  auto game = startGame(27015, {player("Alice", 12, 345, 40)});
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  sim::ClientSim client(clientOptions(0, 0));
  ASSERT_TRUE(client.start());
  ASSERT_TRUE(host.waitForOutput("Adding user userId: 0 wonId: 0\n")) << host.output() << eventsOf(client);
  EXPECT_TRUE(host.waitForOutput("Player joined successfully with wonId: 0 and userId: 0\n"));
}

TEST(SessionHandshakeTest, PlayerListedNowhereIsRefusedAndTimesOut) {
  auto game = startGame(27015, {player("Alice", 12, 345, 40)});
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  sim::ClientSim::Options options = clientOptions(77, 7700);
  options.sendJoinedNotice = false;
  sim::ClientSim client(options);
  ASSERT_TRUE(client.start());
  ASSERT_TRUE(host.waitForOutput("Client that's not in a game connected [wonId: 7700 userId: 77]\n"))
      << host.output() << eventsOf(client);
  ASSERT_TRUE(waitUntil([&] { return client.connectionClosed(); }, 20000)) << eventsOf(client);
  // Game messages of the same step may stand between the two lines.
  EXPECT_TRUE(host.waitForOutput("Client timeout...\n")) << host.output();
  EXPECT_TRUE(host.waitForOutput("Client disconnected [total: 0]\n")) << host.output();
  EXPECT_LT(host.output().find("Client timeout...\n"), host.output().find("Client disconnected [total: 0]\n"));
  EXPECT_EQ(host.countInOutput("Adding user"), 0);
  // Closed at the handshake limit, counted from the accept (the events are
  // stamped to a tenth of a second).
  std::vector<std::string> events = client.events();
  ASSERT_GE(events.size(), 2u);
  double connectedAt = std::stod(events.front());
  double closedAt = std::stod(events.back());
  EXPECT_GE(closedAt - connectedAt, 9.9) << eventsOf(client);
}

}  // namespace
}  // namespace kestrin::e2e
