#include "game/command_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/game_test_support.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;
constexpr auto kUnknown = static_cast<RconCommandId>(0);

TEST(CommandQueueTest, RefusesWhileNotReadyTooLongTextsAndAFullRingButNeverForPolls) {
  testing::OutputCapture output;
  testing::TestGame t;
  t.game->rconReady.store(false);
  queueKick(*t.game, 17);
  EXPECT_EQ(t.game->commands.size(), 0u);
  t.game->rconReady.store(true);

  queueCommand(*t.game, RconCommandId::Say, std::string(255, 'x').c_str());
  EXPECT_EQ(output.text(), "Game: Command text longer than 254 characters, command 5 not queued\n");
  queueCommand(*t.game, RconCommandId::Say, std::string(254, 'x').c_str());
  // A flood of polls waits as one of each kind, behind every command.
  output.clear();
  for (int i = 0; i < 2 * static_cast<int>(kCommandQueueCapacity); ++i) {
    queueCommand(*t.game, RconCommandId::Users, "");
    queueCommand(*t.game, RconCommandId::Status, "");
  }
  for (std::size_t i = 1; i < kCommandQueueCapacity; ++i) queueCommand(*t.game, kUnknown, "");
  EXPECT_EQ(output.text(), "");
  queueBan(*t.game, 345, 5);
  EXPECT_EQ(output.text(), "Game: Command queue full, command 6 not queued\n");
  EXPECT_EQ(t.game->commands.size(), kCommandQueueCapacity + 2);

  // Room made at the head is used at the ring's start.
  RconCommand head;
  ASSERT_TRUE(t.game->commands.take(&head));
  queueCommand(*t.game, RconCommandId::Say, "wrapped");
  const Strings queued = t.take();
  ASSERT_EQ(queued.size(), kCommandQueueCapacity + 2);
  EXPECT_EQ(queued[0], "0 ");
  EXPECT_EQ(queued[kCommandQueueCapacity - 1], "5 wrapped");
  EXPECT_EQ(queued[kCommandQueueCapacity], "2 ");
  EXPECT_EQ(queued.back(), "1 ");
  // A hostile player name arrives as one harmless say argument.
  queueCommand(*t.game, RconCommandId::Say, "x\";quit;\r\nrcon_password \"y\x7F\x01\t\xC3\xA9 has joined");
  EXPECT_EQ(t.take(), (Strings{"5 x  quit   rcon_password  y   \xC3\xA9 has joined"}));
  // An idle wait ends at once on a queued command, and for good on a stop.
  queueCommand(*t.game, RconCommandId::Say, "x");
  EXPECT_TRUE(t.game->commands.waitForCommand());
  t.game->commands.interrupt();
  EXPECT_FALSE(t.game->commands.waitForCommand());
}

TEST(CommandQueueTest, UsersPollsAskedForAfterEveryPollCannotHoldOffTheStatusPoll) {
  testing::TestGame t;
  queueCommand(*t.game, RconCommandId::Status, "");
  Strings taken;
  for (int i = 0; i < 4; ++i) {
    queueCommand(*t.game, RconCommandId::Users, "");
    RconCommand next;
    ASSERT_TRUE(t.game->commands.take(&next));
    taken.push_back(std::to_string(next.id));
    if (next.id == static_cast<std::uint8_t>(RconCommandId::Status))
      queueCommand(*t.game, RconCommandId::Status, "");
  }
  EXPECT_EQ(taken, (Strings{"2", "1", "2", "1"}));
}

}  // namespace
}  // namespace kestrin
