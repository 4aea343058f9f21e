// Verdicts through the host and the real library: every kind of client on one
// game server at once, from the join to the checks, the client image, the
// bans, the kicks, the drop notices and the report log, with the live status
// file that operators read along the way.
#include <time.h>

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>

#include "core/wire.h"
#include "e2e/e2e_support.h"

namespace kestrin::e2e {
namespace {

// The report log's stamps "[dd.mm.yyyy hh:mm:ss] " of the local times from
// `first` to `last`.
std::set<std::string> stamps(time_t first, time_t last) {
  std::set<std::string> result;
  for (time_t t = first; t <= last; ++t) {
    struct tm parts = {};
    char text[32];
    std::strftime(text, sizeof text, "[%d.%m.%Y %H:%M:%S] ", localtime_r(&t, &parts));
    result.insert(text);
  }
  return result;
}

using nlohmann::json;

// The status file of `dir` parsed, null while there is none.
json status(const ScratchDir& dir) {
  const std::string text = dir.read("kestrin-status.json");
  return text.empty() ? json() : json::parse(text);
}

// The player `userId` of the first game in `s`, null when not listed.
json playerOf(const json& s, std::uint32_t userId) {
  if (!s.is_null())
    for (const json& p : s["games"][0]["players"])
      if (p["userId"] == userId) return p;
  return json();
}

using Drops = std::vector<std::uint8_t>;
using VerdictTest = E2eTest;

TEST_F(VerdictTest, EveryKindOfClientGetsItsVerdict) {
  struct Role {
    const char* name;
    std::uint32_t userId;
    std::uint32_t wonId;
    sim::AnswerPolicy policy;
    int policyIndex;
    std::uint16_t version;
  };
  const Role roles[] = {
      {"Alice", 12, 345, sim::AnswerPolicy::kHonest, 0, 7},              // current and honest
      {"Bob", 13, 346, sim::AnswerPolicy::kWrongValue, 2, 7},            // a cheat value
      {"Carol", 14, 4000000000u, sim::AnswerPolicy::kWrongDigest, 1, 7},  // a modified model
      {"Dave", 15, 347, sim::AnswerPolicy::kSilent, 0, 7},               // never answers
      {"Erin", 16, 348, sim::AnswerPolicy::kHonest, 0, 5},               // outdated, then honest
      {"Frank", 17, 349, sim::AnswerPolicy::kHonest, 0, 7},              // leaves the game
  };
  // Hank has no client; Ivy's client waits attached, her player missing
  // from status.
  std::vector<sim::SimPlayer> players = {player("Hank", 19, 351, 10), player("Ivy", 20, 352, 10)};
  for (const Role& r : roles)
    players.push_back(player(r.name, r.userId, r.wonId, 10));
  sim::GameServerSim& game = addGame(27015, players, gameSection(27015, "secret", "203.0.113.5", files.lines));
  game.setListed(20, false, true);
  addGame(27016, {}, gameSection(27016, "not-the-password"));
  std::string payload(10 * 1024 + 300, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 31) ^ (i >> 8));
  dir.write("cldll.dat", sim::makeImage(7, 0, payload));
  ASSERT_TRUE(startHost(1));  // cldll.dat is loaded before the start-up finishes

  // A connection that never says hello waits in the handshake for 10 s: one
  // after the other, until a status file shows one.
  sim::ClientConnection silent;
  int timeouts = host->countInOutput("Client timeout...");
  json s;
  ASSERT_TRUE(waitUntil(
      [&] {
        if (!silent.isOpen() || host->countInOutput("Client timeout...") > timeouts) {
          timeouts = host->countInOutput("Client timeout...");
          silent.close();
          silent.connect(wire::kClientPort);
        }
        const json pending = (s = status(dir))["pending"];
        return pending.size() == 1 && pending[0]["state"] == "awaiting hello" && pending[0]["seconds"] <= 10;
      },
      25000))
      << s;
  silent.close();

  std::vector<std::unique_ptr<sim::ClientSim>> clients;
  for (const Role& r : roles) {
    sim::ClientSim::Options options = clientOptions(r.userId, r.wonId);
    options.policy = r.policy;
    options.policyIndex = r.policyIndex;
    options.version = r.version;
    clients.push_back(std::make_unique<sim::ClientSim>(options));
    ASSERT_TRUE(clients.back()->start());
  }
  sim::ClientSim ivy(clientOptions(20, 352));
  ASSERT_TRUE(ivy.start());
  sim::ClientSim &alice = *clients[0], &bob = *clients[1], &carol = *clients[2], &dave = *clients[3],
                 &erin = *clients[4], &frank = *clients[5];
  ASSERT_TRUE(waitUntil([&] { return std::all_of(clients.begin(), clients.end(), [](auto& c) { return c->keyed(); }); },
                        20000));
  ASSERT_TRUE(waitUntil([&] { return playerOf(s = status(dir), 20)["client"] == "attached"; }, 15000)) << s;
  EXPECT_EQ(playerOf(s, 20)["name"], "Ivy");
  const time_t before = time(nullptr);
  for (const Role& r : roles)
    ASSERT_TRUE(waitUntil(
        [&] { return game.countAccepted("say " + std::string(r.name) + " has joined with the Kestrin client") == 1; },
        30000))
        << r.name << "\n" << host->output();
  // Hank, without a client, has his notice at 1:25 and leaves before he
  // would be banned.
  ASSERT_TRUE(waitUntil([&] { return playerOf(s = status(dir), 19)["client"] == "none"; }, 15000)) << s;
  game.setConnectionSeconds(19, 85);
  ASSERT_TRUE(waitUntil([&] { return playerOf(s = status(dir), 19)["client"] == "notice given"; }, 30000)) << s;
  game.removePlayer(19);
  EXPECT_EQ(playerOf(s, 12)["client"], "joined");
  EXPECT_EQ(playerOf(s, 12)["lastCheck"], nullptr);
  EXPECT_GE(playerOf(s, 12)["connected"], 10);
  EXPECT_EQ(s["masterTime"], 1000000);
  EXPECT_EQ(s["games"][0]["console"], "ready");
  EXPECT_TRUE(s["games"][0]["lastPoll"].is_string());
  EXPECT_EQ(s["games"][1]["console"], "refused");
  EXPECT_EQ(s["games"][1]["lastPoll"], nullptr);

  // Frank leaves the game: drop notice 0, his client is let go.
  game.removePlayer(17);
  ASSERT_TRUE(host->waitForOutput("Frank has left the game\n", 30000)) << host->output();
  ASSERT_TRUE(waitUntil([&] { return frank.connectionClosed(); }, 5000)) << eventsOf(frank);
  EXPECT_EQ(frank.dropNotices(), Drops{wire::kDropLeft});

  // A wrong answer is said, banned for five minutes and kicked; silence is
  // kicked.
  ASSERT_TRUE(waitUntil([&] { return bob.connectionClosed() && carol.connectionClosed() && dave.connectionClosed(); },
                        60000))
      << host->output();
  const time_t after = time(nullptr);
  EXPECT_EQ(bob.dropNotices(), Drops{wire::kDropBanned});
  EXPECT_EQ(carol.dropNotices(), Drops{wire::kDropBanned});
  EXPECT_EQ(dave.dropNotices(), Drops{wire::kDropKicked});
  const std::string cheat = "(BETA) Bob is a possible cheater (ID #2) - kicking";
  const std::string file = "Carol is using a modified model or dll (player.mdl) - kicking";
  ASSERT_TRUE(waitUntil([&] { return game.countAccepted("kick #13") + game.countAccepted("kick #14") +
                                        game.countAccepted("kick #15") == 3; }, 20000))
      << host->output();
  EXPECT_TRUE(acceptedInOrder(game, "say " + cheat, "banid 5 346 kick"));
  EXPECT_TRUE(acceptedInOrder(game, "banid 5 346 kick", "kick #13"));
  EXPECT_EQ(game.countAccepted("banid 5 4000000000 kick"), 1);
  EXPECT_EQ(game.countAccepted("banid"), 2);

  // One log line per verdict, at the time of the verdict, with the address
  // of the status line; lines end as the host's text files do.
  std::vector<std::string> rests;
  const std::set<std::string> verdictTimes = stamps(before - 1, after + 1);
  const std::size_t stampSize = verdictTimes.begin()->size();
  for (const std::string& line : hostTextLines(dir.read("kestrin.log"))) {
    EXPECT_EQ(verdictTimes.count(line.substr(0, stampSize)), 1u) << line;
    rests.push_back(line.substr(std::min(stampSize, line.size())));
  }
  std::sort(rests.begin(), rests.end());
  EXPECT_EQ(rests, (std::vector<std::string>{"\"Bob\" (346) 127.1.0.13:27005 - " + cheat,
                                             "\"Carol\" (-294967296) 127.1.0.14:27005 - " + file}));

  // The honest client is asked for the six checks and the digests of the
  // listed files, and authenticated.
  ASSERT_TRUE(waitUntil([&] { return game.countAccepted("say Alice has been Kestrin authenticated") == 1; }, 60000))
      << eventsOf(alice);
  const sim::CheckRequest request = alice.checkRequests().at(0);
  EXPECT_EQ(request.checkIds, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(request.seeds, (std::vector<std::uint32_t>{files.list.checkFileSeeds[0], files.list.checkFileSeeds[1]}));
  EXPECT_EQ(request.kinds, (std::vector<std::uint8_t>{0, 1}));
  EXPECT_TRUE(alice.dropNotices().empty());
  EXPECT_FALSE(alice.connectionClosed());
  EXPECT_EQ(game.countAccepted("kick #12"), 0);

  // The outdated client gets the announce, then the chunks, reassembles the
  // exact image and is checked only afterwards.
  EXPECT_TRUE(erin.announced());
  ASSERT_TRUE(waitUntil([&] { return !erin.checkRequests().empty(); }, 10000)) << eventsOf(erin);
  EXPECT_TRUE(erin.image() == sim::Bytes(payload.begin(), payload.end()));
  EXPECT_GT(erin.checkRequests().front().atMs, erin.chunkTimes().back());
  EXPECT_TRUE(waitUntil([&] { return game.countAccepted("say Erin has been Kestrin authenticated") == 1; }, 30000));

  // The status file and the status tool show the honest clients
  // authenticated, and the counters the story's verdicts.
  ASSERT_TRUE(waitUntil(
      [&] { return playerOf(s = status(dir), 16)["client"] == "authenticated" && s["counters"]["kicks"] >= 3; }, 25000))
      << s;
  EXPECT_EQ(playerOf(s, 12)["client"], "authenticated");
  EXPECT_TRUE(playerOf(s, 12)["lastCheck"].is_string());
  EXPECT_EQ(s["counters"]["clientsKeyed"], 7);
  EXPECT_GE(s["counters"]["checksPassed"], 2);
  EXPECT_EQ(s["counters"]["verdicts"], 2);
  EXPECT_EQ(s["counters"]["bans"], 2);
  const CommandResult shown = runTool(dir.path(), "kestrin-status");
  EXPECT_EQ(shown.status, 0);
  const std::size_t line = shown.output.find("\n  Alice ");
  ASSERT_NE(line, std::string::npos) << shown.output;
  EXPECT_NE(shown.output.substr(line, shown.output.find('\n', line + 1) - line).find(" authenticated "),
            std::string::npos)
      << shown.output;
}

}  // namespace
}  // namespace kestrin::e2e
