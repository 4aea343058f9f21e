// The road of a player without a client, through the host program, the real
// library and a simulated game server: nothing below 1:00, one download
// notice from 1:20, the ban from 2:00; the HLTV proxy is never judged;
// players who are only in the user table are kept, players who left are
// dropped.
#include <gtest/gtest.h>

#include "e2e/monitoring_support.h"

namespace kestrin::e2e {
namespace {

constexpr int kPassMs = 30000;  // a 10 s pass plus the polls, with room

TEST(MonitoringRoadTest, PlayerWithoutClientIsNoticedThenBannedAndKicked) {
  sim::GameServerSim sim({.port = 27015});
  ASSERT_TRUE(sim.running());
  sim.addPlayer(player("Alice", 12, 345678));
  sim.addPlayer(player("HLTV Proxy", 20, 4294967295u, 600));
  sim.addPlayer(player("Carol", 30, 3000));

  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015, "secret", "203.0.113.5",
                                         checksumLines(dir) + "hltvname HLTV Proxy\n"));
  HostProcess host(dir.path());
  ASSERT_TRUE(host.waitForOutput("Game: Got challengeid [id: ")) << host.output();

  // First judgement: every player is well below 1:00.
  ASSERT_TRUE(host.waitForOutput("Player Alice has never had a client\n", 20000 + kPassMs)) << host.output();
  EXPECT_EQ(host.countInOutput("Please download"), 0);
  EXPECT_EQ(sim.countAccepted("say"), 0);

  // Carol drops out of the status reply but stays a user; Alice reaches 1:25.
  sim.setListed(30, false, true);
  sim.setConnectionSeconds(12, 85);
  ASSERT_TRUE(host.waitForOutput("Alice: Please download client @ " KESTRIN_DOWNLOAD_SITE, kPassMs)) << host.output();
  ASSERT_TRUE(host.waitForOutput(
      "Status record doesn't exist but users record does [name: Carol] [userId: 30] [wonId: 3000]\n", kPassMs));
  ASSERT_TRUE(waitUntil([&] { return sim.countAccepted("say Alice: Please download client @ ") == 1; }, kPassMs));

  // Carol leaves altogether.
  sim.setListed(30, false, false);
  ASSERT_TRUE(host.waitForOutput("Carol has left the game\n", kPassMs)) << host.output();

  // 1:45: judged again, no second notice, no ban yet.
  sim.setConnectionSeconds(12, 105);
  int judged = host.countInOutput("Player Alice has never had a client\n");
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Player Alice has never had a client\n") >= judged + 2; },
                        2 * kPassMs));
  EXPECT_EQ(host.countInOutput("Please download"), 1);
  EXPECT_EQ(sim.countAccepted("banid"), 0);

  // 2:05: the ban message, then a one-minute ban, then the kick.
  sim.setConnectionSeconds(12, 125);
  ASSERT_TRUE(waitUntil([&] { return sim.countAccepted("kick #12") >= 1; }, kPassMs)) << host.output();
  int say = acceptedIndex(sim, "say Alice has no Kestrin client and will be banned for 1 minute");
  int ban = acceptedIndex(sim, "banid 1 345678 kick");
  int kick = acceptedIndex(sim, "kick #12");
  EXPECT_GE(say, 0);
  EXPECT_LT(say, ban);
  EXPECT_LT(ban, kick);
  EXPECT_TRUE(host.waitForOutput("Alice has no Kestrin client and will be banned for 1 minute"));
  EXPECT_TRUE(host.waitForOutput("Banning player\n"));

  // The simulated server kicked her: she has left.
  ASSERT_TRUE(host.waitForOutput("Alice has left the game\n", kPassMs)) << host.output();

  // The HLTV proxy, at ten minutes and more, was never judged.
  std::string output = host.output();
  EXPECT_EQ(output.find("Player HLTV Proxy"), std::string::npos);
  EXPECT_EQ(sim.countAccepted("kick #20"), 0);
  EXPECT_EQ(sim.countAccepted("banid 1 4294967295"), 0);
  EXPECT_FALSE(sim.bannedSomeone());
}

}  // namespace
}  // namespace kestrin::e2e
