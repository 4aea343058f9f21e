// Game-server monitoring through the host, the real library and simulated
// game servers: the road of a player without a client on a real console, a
// status reply split over several datagrams, and game servers that restart,
// refuse the password or fall silent.
#include "e2e/e2e_support.h"

namespace kestrin::e2e {
namespace {

constexpr int kPassMs = 30000;  // a 10 s pass plus the polls, with room
constexpr std::size_t npos = std::string::npos;

using MonitoringTest = E2eTest;

TEST_F(MonitoringTest, PlayerWithoutClientIsNoticedThenBannedAndKicked) {
  sim::GameServerSim& game =
      addGame(27015,
              {player("Alice", 12, 345678), player("HLTV Proxy", 20, 4294967295u, 600), player("Carol", 30, 3000)},
              gameSection(27015, "secret", "203.0.113.5", files.lines + "hltvname HLTV Proxy\n"));
  ASSERT_TRUE(startHost());

  // First judgement: every player is well below 1:00.
  ASSERT_TRUE(host->waitForOutput("Player Alice has never had a client\n", 20000 + kPassMs)) << host->output();
  EXPECT_EQ(host->countInOutput("Please download"), 0);
  EXPECT_EQ(game.countAccepted("say"), 0);

  // Carol drops out of the status reply but stays a user; Alice reaches 1:25.
  game.setListed(30, false, true);
  game.setConnectionSeconds(12, 85);
  ASSERT_TRUE(host->waitForOutput("Alice: Please download client @ " KESTRIN_DOWNLOAD_SITE, kPassMs)) << host->output();
  ASSERT_TRUE(host->waitForOutput(
      "Status record doesn't exist but users record does [name: Carol] [userId: 30] [wonId: 3000]\n", kPassMs));

  // Carol leaves altogether; Alice reaches 2:05: the ban message, a
  // one-minute ban, then the kick.
  game.setListed(30, false, false);
  game.setConnectionSeconds(12, 125);
  ASSERT_TRUE(waitUntil([&] { return game.countAccepted("kick #12") >= 1; }, 2 * kPassMs)) << host->output();
  EXPECT_TRUE(acceptedInOrder(game, "say Alice has no Kestrin client and will be banned for 1 minute",
                              "banid 1 345678 kick"));
  EXPECT_TRUE(acceptedInOrder(game, "banid 1 345678 kick", "kick #12"));
  EXPECT_TRUE(host->waitForOutput("Alice has no Kestrin client and will be banned for 1 minute"));
  EXPECT_TRUE(host->waitForOutput("Banning player\n"));
  EXPECT_TRUE(host->waitForOutput("Carol has left the game\n", kPassMs)) << host->output();
  // The simulated server kicked her: she has left.
  EXPECT_TRUE(host->waitForOutput("Alice has left the game\n", kPassMs)) << host->output();
  EXPECT_EQ(game.countAccepted("say Alice: Please download client @ "), 1);

  // The HLTV proxy, at ten minutes and more, was never judged.
  EXPECT_EQ(host->at("Player HLTV Proxy"), npos);
  EXPECT_EQ(game.countAccepted("kick #20"), 0);
  EXPECT_EQ(game.countAccepted("banid 1 4294967295"), 0);
  EXPECT_FALSE(game.bannedSomeone());
  // The notice has no line end: the text that completes its line is not
  // stamped again.
  EXPECT_TRUE(everyLineStampedOnce(host->rawOutput())) << host->rawOutput();
}

TEST_F(MonitoringTest, EveryPlayerOfASplitStatusIsJudgedAndSpoofsAreIgnored) {
  std::vector<sim::SimPlayer> players;
  for (std::uint32_t i = 1; i <= 30; ++i)
    players.push_back(player("Player Number " + std::to_string(i), 100 + i, 500000 + i, 10));
  sim::GameServerSim& game = addGame(27015, players);
  // From another port of the same host: a player at 5:00 who would be
  // banned at once if the row were believed.
  game.spoofStatusWith({player("Mallory", 66, 666, 300)});
  ASSERT_TRUE(startHost());
  for (int i = 1; i <= 30; ++i)
    ASSERT_TRUE(host->waitForOutput("Player Player Number " + std::to_string(i) + " has never had a client\n",
                                    20000 + kPassMs))
        << "player " << i << "\n" << host->output();
  EXPECT_GE(game.maxReplyDatagrams(), 2);
  EXPECT_EQ(host->countInOutput("Adding status record\n"), 30);
  EXPECT_EQ(host->at("Mallory"), npos);
  EXPECT_EQ(game.countAccepted("kick #66"), 0);
  EXPECT_EQ(game.countAccepted("banid 1 666 kick"), 0);
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

// Three game servers watched side by side: one listed twice and restarted
// later, one whose password is wrong, one that falls silent and comes back.
TEST_F(MonitoringTest, GameServersThatMisbehaveAreWatchedOn) {
  sim::GameServerSim& restarting =
      addGame(27015, {}, gameSection(27015, "secret", "203.0.113.5") + gameSection(27015, "ignored", "203.0.113.6"));
  sim::GameServerSim& refusing = addGame(27016, {}, gameSection(27016, "wrong", "203.0.113.7"));
  sim::GameServerSim& silent =
      addGame(27017, {player("Alice", 12, 345678)}, gameSection(27017, "secret", "203.0.113.8"));
  // A marker of an earlier run sits behind the administrator's text.
  restarting.setCvar("sv_contact", "admin@example.org{KESTRIN REQ}{198.51.100.1}");
  ASSERT_TRUE(startHost(2));
  EXPECT_NE(host->at("Game: Monitoring [ip: 127.0.0.1] [port: 27015]\n"
                     "Game: Alert, [ip: 127.0.0.1] [port: 27015] already watched\n"),
            npos)
      << host->output();
  const std::string marker = "admin@example.org{KESTRIN REQ}{203.0.113.5}";
  ASSERT_TRUE(waitUntil([&] { return restarting.cvar("sv_contact") == marker; }, 15000))
      << restarting.cvar("sv_contact");
  ASSERT_TRUE(waitUntil([&] { return silent.cvar("sv_contact") == "{KESTRIN REQ}{203.0.113.8}"; }, 15000))
      << silent.cvar("sv_contact");
  EXPECT_EQ(restarting.countAccepted("sv_contact \"admin@example.org{KESTRIN REQ}{203.0.113.6}\""), 0);
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
