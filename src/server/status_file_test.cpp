// The status file's JSON, read back with the parser, and its rewrite, which
// a reader never finds half done.
#include "server/status_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "support/scratch_folder.h"

namespace kestrin {
namespace {

using nlohmann::json;

constexpr platform::LocalTime kEvening{.year = 2026, .month = 12, .day = 6, .hour = 22, .minute = 47, .second = 2};

TEST(StatusFileTest, HoldsEveryFieldUnderItsName) {
  StatusSnapshot snapshot;
  snapshot.version = 1003;
  snapshot.started = snapshot.written = kEvening;
  snapshot.written.minute = 59;
  snapshot.masterTime = 1000000;
  snapshot.clientImage = 2;
  GameStatus game;
  game.address = "192.0.2.10";
  game.port = 27015;
  game.externalIp = "203.0.113.5";
  game.console = ConsoleState::kRefused;
  game.lastPoll = kEvening;
  const std::pair<ClientState, const char*> states[] = {
      {ClientState::kNone, "none"},         {ClientState::kNoticeGiven, "notice given"},
      {ClientState::kAttached, "attached"}, {ClientState::kJoined, "joined"},
      {ClientState::kAuthenticated, "authenticated"}};
  for (std::uint32_t i = 0; i < std::size(states); ++i)
    game.players.push_back({"P\xff" + std::to_string(i), i, 4294967295u - i, 60 * i, states[i].first,
                            i == 4 ? std::optional(kEvening) : std::nullopt});
  snapshot.games = {game, GameStatus{}};
  snapshot.games[1].console = ConsoleState::kReady;
  snapshot.pending = {{false, 4}, {true, 9}};
  snapshot.counters = {7, 130, 2, 3, 4};

  const json status = json::parse(statusJson(snapshot));
  EXPECT_EQ(status["version"], 1003);
  EXPECT_EQ(status["started"], "2026-12-06 22:47:02");
  EXPECT_EQ(status["written"], "2026-12-06 22:59:02");
  EXPECT_EQ(status["masterTime"], 1000000);
  EXPECT_EQ(status["clientImage"], 2);
  EXPECT_EQ(status["counters"], json::parse(R"({"clientsKeyed": 7, "checksPassed": 130, "verdicts": 2,
                                                "bans": 3, "kicks": 4})"));
  EXPECT_EQ(status["pending"], json::parse(R"([{"state": "awaiting hello", "seconds": 4},
                                               {"state": "awaiting key", "seconds": 9}])"));
  const json& first = status["games"][0];
  EXPECT_EQ(first["address"], "192.0.2.10");
  EXPECT_EQ(first["port"], 27015);
  EXPECT_EQ(first["externalIp"], "203.0.113.5");
  EXPECT_EQ(first["console"], "refused");
  EXPECT_EQ(first["lastPoll"], "2026-12-06 22:47:02");
  ASSERT_EQ(first["players"].size(), std::size(states));
  for (std::uint32_t i = 0; i < std::size(states); ++i) {
    const json& player = first["players"][i];
    EXPECT_EQ(player["name"], "P\xef\xbf\xbd" + std::to_string(i));
    EXPECT_EQ(player["userId"], i);
    EXPECT_EQ(player["wonId"], 4294967295u - i);
    EXPECT_EQ(player["connected"], 60 * i);
    EXPECT_EQ(player["client"], states[i].second);
    EXPECT_EQ(player["lastCheck"], i == 4 ? json("2026-12-06 22:47:02") : json(nullptr));
  }
  EXPECT_EQ(status["games"][1]["console"], "ready");
  EXPECT_EQ(status["games"][1]["lastPoll"], nullptr);
  EXPECT_EQ(status["games"][1]["players"], json::array());
}

TEST(StatusFileTest, AReaderFindsTheOldFileOrTheNewOneNeverAHalf) {
  testing::ScratchFolder folder;
  StatusSnapshot small;
  StatusSnapshot large;
  large.games.resize(8);
  for (GameStatus& game : large.games) game.players.resize(64, {std::string(31, 'x'), 1, 2, 3, {}, {}});
  const std::string texts[] = {statusJson(small), statusJson(large)};
  ASSERT_TRUE(writeStatusFile(texts[0]));

  std::atomic<bool> done{false};
  int reads = 0, torn = 0;
  std::thread reader([&] {
    while (!done.load()) {
      std::ifstream in(kStatusFileName, std::ios::binary);
      if (!in) continue;  // Windows may refuse to open a file while it is replaced
      std::stringstream text;
      text << in.rdbuf();
      ++reads;
      if (text.str() != texts[0] && text.str() != texts[1]) ++torn;
    }
  });
  // Where an open reader blocks the replacement (Windows), a write may be
  // refused: the old file then stays whole.
  int written = 0;
  for (int i = 1; i <= 200; ++i) written += writeStatusFile(texts[i % 2]) ? 1 : 0;
  done.store(true);
  reader.join();
  EXPECT_GT(written, 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_TRUE(writeStatusFile(texts[0]));
  EXPECT_FALSE(platform::fileExists(kStatusTempFileName));

  // A status file that cannot be replaced leaves no temporary file behind.
  std::filesystem::remove(kStatusFileName);
  std::filesystem::create_directories(std::string(kStatusFileName) + "/taken");
  EXPECT_FALSE(writeStatusFile(texts[0]));
  EXPECT_FALSE(platform::fileExists(kStatusTempFileName));
}

}  // namespace
}  // namespace kestrin
