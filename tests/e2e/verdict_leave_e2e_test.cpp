// Players and their clients parting through the host program and the real
// library: a player who leaves the game gets drop notice 0 and his client is
// let go; a player whose client vanishes is kicked once his connection time
// shows a minute.
#include <gtest/gtest.h>

#include "e2e/session_support.h"

namespace kestrin::e2e {
namespace {

TEST(VerdictLeaveTest, LeavingPlayerIsLetGoAndOneWithoutHisClientIsKicked) {
  auto game = startGame(27015, {player("Erin", 30, 3000, 0), player("Frank", 31, 3100, 0)});
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  sim::ClientSim erin(clientOptions(30, 3000));
  sim::ClientSim frank(clientOptions(31, 3100));
  ASSERT_TRUE(erin.start());
  ASSERT_TRUE(frank.start());
  ASSERT_TRUE(waitUntil(
      [&] {
        return game->countAccepted("say Erin has joined with the Kestrin client") == 1 &&
               game->countAccepted("say Frank has joined with the Kestrin client") == 1;
      },
      60000))
      << host.output();

  // Erin leaves the game; Frank's client goes away while he plays on.
  game->removePlayer(30);
  frank.stop();
  game->setConnectionSeconds(31, 5);
  ASSERT_TRUE(host.waitForOutput("Erin has left the game\n", 30000)) << host.output();
  ASSERT_TRUE(waitUntil([&] { return erin.connectionClosed(); }, 5000)) << eventsOf(erin);
  EXPECT_EQ(erin.dropNotices(), (std::vector<std::uint8_t>{wire::kDropLeft}));

  // Below a minute Frank is only noticed; from a minute on he is kicked.
  ASSERT_TRUE(host.waitForOutput("Player has been playing with client\n", 30000)) << host.output();
  EXPECT_EQ(game->countAccepted("kick #31"), 0);
  game->setConnectionSeconds(31, 62);
  ASSERT_TRUE(waitUntil([&] { return game->countAccepted("kick #31") >= 1; }, 30000)) << host.output();
  EXPECT_EQ(game->countAccepted("banid"), 0);
  EXPECT_EQ(host.countInOutput("Player Frank has never had a client"), 0);
  EXPECT_TRUE(host.waitForOutput("Frank has left the game\n", 30000)) << host.output();
}

}  // namespace
}  // namespace kestrin::e2e
