// An honest client through the host program and the real library: joined at
// the game's first reconciliation, asked every 30 s for the six checks and
// the digests of the listed files, authenticated once.
#include <gtest/gtest.h>

#include "e2e/session_support.h"

namespace kestrin::e2e {
namespace {

TEST(VerdictHonestTest, HonestClientIsAuthenticatedOnceAndCheckedEveryThirtySeconds) {
  auto game = startGame(27015, {player("Alice", 12, 345, 10)});
  ScratchDir dir;
  CheckedFiles files(dir);
  dir.write("kestrinsv.cfg", gameSection(27015, "secret", "203.0.113.5", files.lines));
  HostProcess host(dir.path());
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  sim::ClientSim::Options options = clientOptions(12, 345);
  options.digestsBySeed = files.digestsBySeed;
  sim::ClientSim client(options);
  ASSERT_TRUE(client.start());
  ASSERT_TRUE(waitUntil([&] { return game->countAccepted("say Alice has joined with the Kestrin client") == 1; },
                        60000))
      << host.output() << eventsOf(client);

  ASSERT_TRUE(waitUntil([&] { return client.checkRequests().size() >= 3; }, 120000)) << eventsOf(client);
  std::vector<sim::CheckRequest> requests = client.checkRequests();
  for (const sim::CheckRequest& request : requests) {
    EXPECT_EQ(request.checkIds, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(request.seeds, (std::vector<std::uint32_t>{files.list.checkFileSeeds[0], files.list.checkFileSeeds[1]}));
    EXPECT_EQ(request.kinds, (std::vector<std::uint8_t>{0, 1}));
  }
  for (std::size_t i = 1; i < requests.size(); ++i) {
    std::uint32_t gap = requests[i].atMs - requests[i - 1].atMs;
    EXPECT_GE(gap, 29500u);
    EXPECT_LE(gap, 32000u);
  }
  // Two answers were judged by now; the notice went once.
  ASSERT_TRUE(waitUntil([&] { return game->countAccepted("say Alice has been Kestrin authenticated") == 1; }, 5000))
      << host.output();
  EXPECT_EQ(game->countAccepted("say Alice has been Kestrin authenticated"), 1);
  EXPECT_EQ(game->countAccepted("kick"), 0);
  EXPECT_EQ(game->countAccepted("banid"), 0);
  EXPECT_TRUE(client.dropNotices().empty());
  EXPECT_FALSE(client.connectionClosed());
  EXPECT_GE(client.answersSent(), 3);
  EXPECT_EQ(host.countInOutput("Client packet timeout"), 0);
}

}  // namespace
}  // namespace kestrin::e2e
