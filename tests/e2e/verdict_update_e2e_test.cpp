// The client image through the host program and the real library: a client
// older than "cldll.dat" is sent the announce and then one 1024-byte chunk
// every 500 ms, reassembles the exact image and is checked only afterwards;
// a current client is checked at once.
#include <gtest/gtest.h>

#include "e2e/session_support.h"

namespace kestrin::e2e {
namespace {

TEST(VerdictUpdateTest, OutdatedClientIsUpdatedBeforeItIsChecked) {
  auto game = startGame(27015, {player("Alice", 12, 345, 10), player("Dave", 20, 2000, 10)});
  ScratchDir dir;
  CheckedFiles files(dir);
  dir.write("kestrinsv.cfg", gameSection(27015, "secret", "203.0.113.5", files.lines));
  // Long enough that the transfer outlasts the 30 s to the first check.
  std::string payload(70 * 1024 + 300, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 31) ^ (i >> 8));
  dir.write("cldll.dat", sim::makeImage(7, 0, payload));
  HostProcess host(dir.path());
  ASSERT_TRUE(host.waitForOutput("Loaded cldll.dat [version: 7]\n")) << host.output();
  ASSERT_TRUE(waitForGames(host, 1)) << host.output();

  sim::ClientSim::Options options = clientOptions(12, 345);
  options.version = 5;
  options.digestsBySeed = files.digestsBySeed;
  sim::ClientSim outdated(options);
  options = clientOptions(20, 2000);
  options.version = 7;
  options.digestsBySeed = files.digestsBySeed;
  sim::ClientSim current(options);
  ASSERT_TRUE(outdated.start());
  ASSERT_TRUE(current.start());

  ASSERT_TRUE(waitUntil([&] { return outdated.announced(); }, 60000)) << host.output() << eventsOf(outdated);
  EXPECT_EQ(outdated.announcedVersion(), 7);
  EXPECT_EQ(outdated.announcedSize(), payload.size());
  EXPECT_TRUE(host.waitForOutput("Init autoupdate\n"));
  ASSERT_TRUE(waitUntil([&] { return outdated.image().size() >= payload.size(); }, 60000)) << eventsOf(outdated);
  sim::Bytes image = outdated.image();
  EXPECT_TRUE(image == sim::Bytes(payload.begin(), payload.end()));

  std::vector<std::uint16_t> sizes = outdated.chunkSizes();
  ASSERT_EQ(sizes.size(), 71u);
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 1024) << i;
  EXPECT_EQ(sizes.back(), 300);
  std::vector<std::uint32_t> times = outdated.chunkTimes();
  for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 400u) << i;
  EXPECT_GE(times.back() - times.front(), 70u * 500u - 100u);

  // Checked only once the image is through, then judged like anyone else.
  ASSERT_TRUE(waitUntil([&] { return !outdated.checkRequests().empty(); }, 10000)) << eventsOf(outdated);
  EXPECT_GT(outdated.checkRequests().front().atMs, times.back());
  ASSERT_TRUE(waitUntil([&] { return game->countAccepted("say Alice has been Kestrin authenticated") == 1; }, 30000))
      << host.output();

  // The current client: no image, its first check 30 s after the join.
  EXPECT_FALSE(current.announced());
  EXPECT_TRUE(current.chunkTimes().empty());
  ASSERT_FALSE(current.checkRequests().empty());
  EXPECT_TRUE(waitUntil([&] { return game->countAccepted("say Dave has been Kestrin authenticated") == 1; }, 5000));
  EXPECT_EQ(host.countInOutput("Init autoupdate\n"), 1);
}

}  // namespace
}  // namespace kestrin::e2e
