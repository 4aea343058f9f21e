// A busy game server: a status reply of 30 players comes in several
// datagrams and every player is judged; status rows spoofed from another
// port are never taken.
#include <gtest/gtest.h>

#include "e2e/monitoring_support.h"

namespace kestrin::e2e {
namespace {

TEST(MonitoringSplitTest, EveryPlayerOfASplitStatusIsJudgedAndSpoofsAreIgnored) {
  sim::GameServerSim sim({.port = 27015});
  ASSERT_TRUE(sim.running());
  for (std::uint32_t i = 1; i <= 30; ++i)
    sim.addPlayer(player("Player Number " + std::to_string(i), 100 + i, 500000 + i, 10));
  // From another port of the same host: a player at 5:00 who would be
  // banned at once if the row were believed.
  sim.spoofStatusWith({player("Mallory", 66, 666, 300)});

  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015));
  HostProcess host(dir.path());
  ASSERT_TRUE(host.waitForOutput("Game: Got challengeid [id: ")) << host.output();
  for (int i = 1; i <= 30; ++i)
    ASSERT_TRUE(host.waitForOutput("Player Player Number " + std::to_string(i) + " has never had a client\n", 50000))
        << "player " << i << "\n" << host.output();
  EXPECT_GE(sim.maxReplyDatagrams(), 2);

  // One more pass, still nothing of Mallory.
  int judged = host.countInOutput("Player Player Number 30 has never had a client\n");
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Player Player Number 30 has never had a client\n") > judged; },
                        30000));
  EXPECT_EQ(host.output().find("Mallory"), std::string::npos);
  EXPECT_EQ(sim.countAccepted("kick #66"), 0);
  EXPECT_EQ(sim.countAccepted("banid 1 666 kick"), 0);
  EXPECT_EQ(host.countInOutput("Adding status record\n"), 30);
}

}  // namespace
}  // namespace kestrin::e2e
