#include "rcon/command_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/game_test_support.h"
#include "support/output_capture.h"
#include "support/rcon_test_peer.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;
constexpr auto kUnknown = static_cast<RconCommandId>(0);

TEST(CommandQueueTest, RefusesWhileNotReadyTooLongTextsAndAFullRing) {
  testing::OutputCapture output;
  testing::TestGame t;
  t.game->rconReady.store(false);
  queueKick(*t.game, 17);
  EXPECT_EQ(t.game->commandCount, 0);
  t.game->rconReady.store(true);

  queueCommand(*t.game, RconCommandId::Say, std::string(255, 'x').c_str());
  EXPECT_EQ(output.text(), "Game: Command text longer than 254 characters, command 5 not queued\n");
  queueCommand(*t.game, RconCommandId::Say, std::string(254, 'x').c_str());
  for (std::size_t i = 1; i < kCommandQueueCapacity; ++i) queueCommand(*t.game, kUnknown, "");
  output.clear();
  queueCommand(*t.game, RconCommandId::Status, "");
  EXPECT_EQ(output.text(), "Game: Command queue full, command 1 not queued\n");
  EXPECT_EQ(t.game->commandCount, static_cast<std::int32_t>(kCommandQueueCapacity));

  // Room made at the head is used at the ring's start.
  runNextCommand(*t.game);
  queueCommand(*t.game, RconCommandId::Say, "wrapped");
  EXPECT_EQ(t.game->commandCount, static_cast<std::int32_t>(kCommandQueueCapacity));
  EXPECT_EQ(t.queued().front(), "0 ");
  EXPECT_EQ(t.queued().back(), "5 wrapped");
}

TEST(CommandQueueTest, EntriesRunOncePerStepInQueueOrder) {
  testing::OutputCapture output;
  testing::RconPeer peer([](const std::string& request) {
    if (request.find("users") != std::string::npos)
      return Strings{testing::datagram("l    12 : 345678 : Alice\n1 users\n")};
    if (request.find("status") != std::string::npos)
      return Strings{testing::datagram("l# 1 \"Alice\" 12 345678 0 01:25 48 0 1.2.3.4:27005\n1 users\n")};
    return Strings{testing::datagram("l")};
  });
  testing::TestGame t;
  peer.aim(*t.game);
  t.game->challengeId = 9;
  std::strcpy(t.game->rconPassword, "pw");
  queueCommand(*t.game, RconCommandId::Users, "");
  queueCommand(*t.game, RconCommandId::Status, "");
  queueBan(*t.game, 4294967295u, 1);
  queueKick(*t.game, 17);
  queueCommand(*t.game, RconCommandId::Say, "hello all");
  queueCommand(*t.game, RconCommandId::AddIp, "1 1.2.3.4");
  queueCommand(*t.game, kUnknown, "");

  runNextCommand(*t.game);
  EXPECT_EQ(t.game->commandCount, 6);
  EXPECT_TRUE(findUser(*t.game, 12, 345678));
  EXPECT_EQ(t.game->statusRecordCount, 0u);
  runNextCommand(*t.game);
  EXPECT_EQ(findStatus(*t.game, 12, 345678), 0);
  output.clear();
  for (int i = 0; i < 6; ++i) runNextCommand(*t.game);
  EXPECT_EQ(t.game->commandCount, 0);
  EXPECT_EQ(peer.requests(), (Strings{"rcon 9 \"pw\" users ", "rcon 9 \"pw\" status ",
                                      "rcon 9 \"pw\" banid 1 4294967295 kick", "rcon 9 \"pw\" kick #17",
                                      "rcon 9 \"pw\" say hello all", "rcon 9 \"pw\" addip 1 1.2.3.4"}));
  EXPECT_EQ(output.text(), "Banning player\nGame: Unknown CMD Id 0\n");
}

}  // namespace
}  // namespace kestrin
