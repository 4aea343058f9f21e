// Game servers that misbehave: a wrong password is tried at most once per
// 30 s and never trips the game server's ban; a game server that goes
// silent and comes back is taken up again with a fresh challenge.
#include <gtest/gtest.h>

#include "e2e/monitoring_support.h"

namespace kestrin::e2e {
namespace {

TEST(MonitoringFaultsTest, WrongPasswordIsProbedEvery30Seconds) {
  sim::GameServerSim sim({.port = 27015, .password = "right"});
  ASSERT_TRUE(sim.running());
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015, "wrong"));
  HostProcess host(dir.path());
  ASSERT_TRUE(host.waitForOutput("Game: Error, bad rcon password [password: wrong]\n")) << host.output();

  auto refused = [&] {
    std::vector<std::uint32_t> times;
    for (const sim::ReceivedRequest& r : sim.requests())
      if (!r.challenge && !r.accepted) times.push_back(r.atMs);
    return times;
  };
  ASSERT_TRUE(waitUntil([&] { return refused().size() >= 3; }, 80000)) << host.output();
  std::vector<std::uint32_t> times = refused();
  for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 29500u) << i;
  // Each refusal is reported once (the report follows the reply).
  EXPECT_TRUE(waitUntil(
      [&] {
        return host.countInOutput("Game: Error, bad rcon password [password: wrong]\n") ==
               static_cast<int>(times.size());
      },
      5000));
  EXPECT_EQ(host.output().find("Game: Got challengeid"), std::string::npos);
  EXPECT_FALSE(sim.bannedSomeone());
}

TEST(MonitoringFaultsTest, SilentGameServerIsTakenUpAgainWhenItAnswers) {
  sim::GameServerSim sim({.port = 27015});
  ASSERT_TRUE(sim.running());
  sim.addPlayer(player("Alice", 12, 345678));
  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015));
  HostProcess host(dir.path());
  ASSERT_TRUE(host.waitForOutput("Game: Got challengeid [id: ")) << host.output();

  sim.setSilent(true);
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Game: Rcon timed out\n") >= 2; }, 40000)) << host.output();
  sim.setSilent(false);
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Game: Got challengeid") >= 2; }, 30000)) << host.output();
  ASSERT_TRUE(host.waitForOutput("Player Alice has never had a client\n", 40000)) << host.output();
  EXPECT_FALSE(sim.bannedSomeone());
}

}  // namespace
}  // namespace kestrin::e2e
