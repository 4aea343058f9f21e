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

TEST(CommandQueueTest, RefusesWhileNotReadyTooLongTextsAndAFullRing) {
  testing::OutputCapture output;
  testing::TestGame t;
  t.game->rconReady.store(false);
  queueKick(*t.game, 17);
  EXPECT_EQ(t.game->commands.size(), 0u);
  t.game->rconReady.store(true);

  queueCommand(*t.game, RconCommandId::Say, std::string(255, 'x').c_str());
  EXPECT_EQ(output.text(), "Game: Command text longer than 254 characters, command 5 not queued\n");
  queueCommand(*t.game, RconCommandId::Say, std::string(254, 'x').c_str());
  for (std::size_t i = 1; i < kCommandQueueCapacity; ++i) queueCommand(*t.game, kUnknown, "");
  output.clear();
  queueCommand(*t.game, RconCommandId::Status, "");
  EXPECT_EQ(output.text(), "Game: Command queue full, command 1 not queued\n");
  EXPECT_EQ(t.game->commands.size(), kCommandQueueCapacity);

  // Room made at the head is used at the ring's start.
  t.game->commands.pop();
  queueCommand(*t.game, RconCommandId::Say, "wrapped");
  EXPECT_EQ(t.game->commands.size(), kCommandQueueCapacity);
  const Strings queued = t.take();
  EXPECT_EQ(queued.front(), "0 ");
  EXPECT_EQ(queued.back(), "5 wrapped");
  // A hostile player name arrives as one harmless say argument.
  queueCommand(*t.game, RconCommandId::Say, "x\";quit;\r\nrcon_password \"y\x7F\x01\t\xC3\xA9 has joined");
  EXPECT_EQ(t.take(), (Strings{"5 x  quit   rcon_password  y   \xC3\xA9 has joined"}));
  // An idle wait ends at once on a queued command, and for good on a stop.
  queueCommand(*t.game, RconCommandId::Say, "x");
  EXPECT_TRUE(t.game->commands.waitForCommand());
  t.game->commands.interrupt();
  EXPECT_FALSE(t.game->commands.waitForCommand());
}

}  // namespace
}  // namespace kestrin
