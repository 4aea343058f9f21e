// Game-server monitoring through the host, the real library and simulated
// game servers: the road of a player without a client on a real console, and
// game servers that restart, refuse the password or fall silent.
#include "e2e/e2e_support.h"

namespace kestrin::e2e {
namespace {

constexpr int kPassMs = 30000;  // a 10 s pass plus the polls, with room

using MonitoringTest = E2eTest;

TEST_F(MonitoringTest, PlayerWithoutClientIsNoticedThenBannedAndKicked) {
  sim::GameServerSim& game = addGame(27015, {player("Alice", 12, 345678)});
  ASSERT_TRUE(startHost());

  // First judgement: well below 1:00.
  ASSERT_TRUE(host->waitForOutput("Player Alice has never had a client\n", 20000 + kPassMs)) << host->output();

  // At 1:25 the notice; at 2:05 the ban message, a one-minute ban, then the
  // kick.
  game.setConnectionSeconds(12, 85);
  ASSERT_TRUE(host->waitForOutput("Alice: Please download client @ " KESTRIN_DOWNLOAD_SITE, kPassMs)) << host->output();
  game.setConnectionSeconds(12, 125);
  ASSERT_TRUE(waitUntil([&] { return game.countAccepted("kick #12") >= 1; }, 2 * kPassMs)) << host->output();
  EXPECT_TRUE(acceptedInOrder(game, "say Alice has no Kestrin client and will be banned for 1 minute",
                              "banid 1 345678 kick"));
  EXPECT_TRUE(acceptedInOrder(game, "banid 1 345678 kick", "kick #12"));
  // The simulated server kicked her: she has left.
  EXPECT_TRUE(host->waitForOutput("Alice has left the game\n", kPassMs)) << host->output();

  // Without --plain the host stamps its lines (the stamper's rules are its
  // unit test's).
  EXPECT_NE(host->rawOutput().find("] Banning player\n"), std::string::npos) << host->rawOutput();
}

// Times of the requests of `game` that were refused.
std::vector<std::uint32_t> refusedAt(const sim::GameServerSim& game) {
  std::vector<std::uint32_t> times;
  for (const sim::ReceivedRequest& r : game.requests())
    if (!r.challenge && !r.accepted) times.push_back(r.atMs);
  return times;
}

int challenges(const sim::GameServerSim& game) {
  int count = 0;
  for (const sim::ReceivedRequest& r : game.requests()) count += r.challenge ? 1 : 0;
  return count;
}

// Three game servers watched side by side: one restarted later, one whose
// password is wrong, one that falls silent and comes back.
TEST_F(MonitoringTest, GameServersThatMisbehaveAreWatchedOn) {
  sim::GameServerSim& restarting = addGame(27015);
  sim::GameServerSim& refusing = addGame(27016, {}, gameSection(27016, "wrong", "203.0.113.7"));
  sim::GameServerSim& silent =
      addGame(27017, {player("Alice", 12, 345678)}, gameSection(27017, "secret", "203.0.113.8"));
  // A marker of an earlier run sits behind the administrator's text.
  restarting.setCvar("sv_contact", "admin@example.org{KESTRIN REQ}{198.51.100.1}");
  ASSERT_TRUE(startHost(2));
  const std::string marker = "admin@example.org{KESTRIN REQ}{203.0.113.5}";
  ASSERT_TRUE(waitUntil([&] { return restarting.cvar("sv_contact") == marker; }, 15000))
      << restarting.cvar("sv_contact");
  ASSERT_TRUE(waitUntil([&] { return silent.cvar("sv_contact") == "{KESTRIN REQ}{203.0.113.8}"; }, 15000))
      << silent.cvar("sv_contact");
  restarting.restart();
  silent.setSilent(true);

  // The silent one times out at its first poll, answers again, and is taken
  // up with a fresh challenge.
  ASSERT_TRUE(host->waitForOutput("Game: Rcon timed out\n", 20000 + kPassMs)) << host->output();
  silent.setSilent(false);
  ASSERT_TRUE(host->waitForOutput("Player Alice has never had a client\n", 2 * kPassMs)) << host->output();
  EXPECT_EQ(challenges(silent), 2);

  // The wrong password is tried once per 30 s, too seldom for the game
  // server's ban, and each refusal is reported once.
  ASSERT_TRUE(waitUntil([&] { return refusedAt(refusing).size() >= 2; }, 2 * kPassMs)) << host->output();
  std::vector<std::uint32_t> times = refusedAt(refusing);
  EXPECT_GE(times[1] - times[0], 29500u);
  EXPECT_TRUE(waitUntil(
      [&] {
        return host->countInOutput("Game: Error, bad rcon password [password: wrong]\n") ==
               static_cast<int>(refusedAt(refusing).size());
      },
      5000));

  // The restarted one refuses the old challenge; the watch takes a fresh one
  // at once, without the pause of a refused password, writes the marker
  // again in place of its own and polls on.
  ASSERT_TRUE(host->waitForOutput("Game: Error, bad rcon password [password: secret]\n", kPassMs)) << host->output();
  int statusPolls = restarting.countAccepted("status");
  ASSERT_TRUE(waitUntil([&] { return restarting.countAccepted("status") > statusPolls; }, 45000)) << host->output();
  EXPECT_EQ(challenges(restarting), 2);
  std::uint32_t refused = refusedAt(restarting).front(), askedAgain = 0;
  for (const sim::ReceivedRequest& r : restarting.requests())
    if (r.challenge && r.atMs > refused && askedAgain == 0) askedAgain = r.atMs;
  EXPECT_LT(askedAgain - refused, 29500u);
  EXPECT_EQ(restarting.cvar("sv_contact"), marker);
  EXPECT_FALSE(restarting.bannedSomeone() || refusing.bannedSomeone() || silent.bannedSomeone());
}

}  // namespace
}  // namespace kestrin::e2e
