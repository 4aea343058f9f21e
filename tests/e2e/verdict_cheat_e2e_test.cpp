// Wrong and missing answers through the host program and the real library:
// a cheat value and a modified file are said, logged with the player's
// address, banned for five minutes and kicked; a silent client is kicked.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "e2e/session_support.h"

namespace kestrin::e2e {
namespace {

// Seconds since the epoch of a "[dd.mm.yyyy hh:mm:ss]" local time.
time_t parseLocal(const std::smatch& m) {
  struct tm parts = {};
  parts.tm_mday = std::stoi(m[1]);
  parts.tm_mon = std::stoi(m[2]) - 1;
  parts.tm_year = std::stoi(m[3]) - 1900;
  parts.tm_hour = std::stoi(m[4]);
  parts.tm_min = std::stoi(m[5]);
  parts.tm_sec = std::stoi(m[6]);
  parts.tm_isdst = -1;
  return mktime(&parts);
}

TEST(VerdictCheatTest, WrongAnswersAreBannedAndLoggedSilenceIsKicked) {
  auto game = startGame(27015, {playerAt("Alice", 12, 345, "198.51.100.21:27005", 10),
                                playerAt("Bob", 13, 4000000000u, "198.51.100.22:27006", 10),
                                playerAt("Carol", 14, 567, "198.51.100.23:27007", 10)});
  ScratchDir dir;
  CheckedFiles files(dir);
  dir.write("kestrinsv.cfg", gameSection(27015, "secret", "203.0.113.5", files.lines));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  auto start = [&](std::uint32_t userId, std::uint32_t wonId, sim::AnswerPolicy policy, int index) {
    sim::ClientSim::Options options = clientOptions(userId, wonId);
    options.digestsBySeed = files.digestsBySeed;
    options.policy = policy;
    options.policyIndex = index;
    auto client = std::make_unique<sim::ClientSim>(options);
    EXPECT_TRUE(client->start());
    return client;
  };
  auto cheater = start(12, 345, sim::AnswerPolicy::kWrongValue, 2);
  auto modified = start(13, 4000000000u, sim::AnswerPolicy::kWrongDigest, 1);
  auto silent = start(14, 567, sim::AnswerPolicy::kSilent, 0);
  ASSERT_TRUE(waitUntil([&] { return cheater->keyed() && modified->keyed() && silent->keyed(); }, 20000));
  const time_t before = time(nullptr);

  ASSERT_TRUE(waitUntil(
      [&] { return cheater->connectionClosed() && modified->connectionClosed() && silent->connectionClosed(); },
      120000))
      << host.output();
  const time_t after = time(nullptr);
  EXPECT_EQ(cheater->dropNotices(), (std::vector<std::uint8_t>{wire::kDropBanned}));
  EXPECT_EQ(modified->dropNotices(), (std::vector<std::uint8_t>{wire::kDropBanned}));
  EXPECT_EQ(silent->dropNotices(), (std::vector<std::uint8_t>{wire::kDropKicked}));
  EXPECT_EQ(cheater->checkRequests().size(), 1u);

  const std::string cheat = "(BETA) Alice is a possible cheater (ID #2) - kicking";
  const std::string file = "Bob is using a modified model or dll (player.mdl) - kicking";
  EXPECT_TRUE(host.waitForOutput(cheat + "\n")) << host.output();
  EXPECT_TRUE(host.waitForOutput(file + "\n")) << host.output();
  EXPECT_TRUE(host.waitForOutput("Client packet timeout......\n")) << host.output();

  // Said, then banned for five minutes, then kicked.
  ASSERT_TRUE(waitUntil([&] { return game->countAccepted("kick #") >= 3; }, 20000)) << host.output();
  auto precedes = [&](const std::string& a, const std::string& b) {
    int ia = acceptedIndex(*game, a), ib = acceptedIndex(*game, b);
    return ia >= 0 && ib >= 0 && ia < ib;
  };
  EXPECT_TRUE(precedes("say " + cheat, "banid 5 345 kick"));
  EXPECT_TRUE(precedes("banid 5 345 kick", "kick #12"));
  EXPECT_TRUE(precedes("say " + file, "banid 5 4000000000 kick"));
  EXPECT_TRUE(precedes("banid 5 4000000000 kick", "kick #13"));
  EXPECT_TRUE(precedes("say Client packet timeout", "kick #14"));
  EXPECT_EQ(game->countAccepted("banid 5 567"), 0);

  // One line per verdict, at the time of the verdict, with the address
  // the status line gave.
  std::istringstream log(dir.read("kestrin.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u) << dir.read("kestrin.log");
  const std::regex form(R"(\[(\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d)\] (.*))");
  std::vector<std::string> rests;
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    time_t at = parseLocal(m);
    EXPECT_GE(at, before - 1) << line;
    EXPECT_LE(at, after + 1) << line;
    rests.push_back(m[7]);
  }
  std::sort(rests.begin(), rests.end());
  EXPECT_EQ(rests, (std::vector<std::string>{"\"Alice\" (345) 198.51.100.21:27005 - " + cheat,
                                             "\"Bob\" (-294967296) 198.51.100.22:27006 - " + file}));
}

}  // namespace
}  // namespace kestrin::e2e
