#include "game/game_server.h"

#include <gtest/gtest.h>

#include <cstring>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "core/server.h"
#include "game/client_messages.h"
#include "game/game_test_support.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"

namespace kestrin {
namespace {

const std::uint32_t kNow = 100000;

ClientSession* session(std::uint32_t userId, std::uint32_t wonId, GameServer* game = nullptr) {
  auto* s = new ClientSession();
  s->clock = &kNow;
  s->userId = userId;
  s->wonId = wonId;
  s->game = game;
  return s;
}

using testing::tcpPair;

TEST(GameServerTest, AttachesAtMost63Clients) {
  testing::TestGame t;
  for (int i = 0; i < 63; ++i) ASSERT_TRUE(attachClient(*t.game, session(i + 1, 0)));
  ClientSession* extra = session(99, 0);
  EXPECT_FALSE(attachClient(*t.game, extra));
  EXPECT_EQ(t.game->clientCount, 63u);
  delete extra;
}

TEST(GameServerTest, FindClientNeedsBothIdsExactly) {
  testing::TestGame t;
  attachClient(*t.game, session(12, 345));
  attachClient(*t.game, session(13, 346));
  EXPECT_EQ(findClient(*t.game, 13, 346), 1);
  EXPECT_EQ(findClient(*t.game, 12, 999), -1);
  EXPECT_EQ(findClient(*t.game, 0, 345), -1);
}

TEST(GameServerTest, RemovingAClientClosesTheGapAndThatStepGoesOn) {
  testing::OutputCapture output;
  testing::TestGame t;
  ClientSession* first = session(1, 0);
  ClientSession* second = session(2, 0);
  ClientSession* third = session(3, 0);
  attachClient(*t.game, first);
  attachClient(*t.game, second);
  attachClient(*t.game, third);
  first->closed = true;
  second->closed = true;
  runClients(*t.game);
  ASSERT_EQ(t.game->clientCount, 1u);
  EXPECT_EQ(t.game->clients[0], third);
  EXPECT_EQ(output.text(),
            "Client 0 disconnected [total: 2]\nClient 0 disconnected [total: 1]\n");
}

// The row remembers that the player played with a client, so that the next
// pass can kick a player whose client went away; it is freed once the
// player has left.
TEST(GameServerTest, RemovingAJoinedClientKeepsItsPlayerRow) {
  testing::TestGame t;
  int row = addStatus(*t.game);
  t.game->statusRecords[row].userId = 12;
  t.game->statusRecords[row].wonId = 345;
  t.game->statusRecords[row].playedWithClient = 1;
  ClientSession* s = session(12, 345, t.game.get());
  attachClient(*t.game, s);
  s->joined = true;
  removeClient(*t.game, 0);
  EXPECT_EQ(findStatus(*t.game, 12, 345), row);
  EXPECT_EQ(t.game->statusRecords[row].playedWithClient, 1);
}

TEST(GameServerTest, WithoutAcceptedPasswordOnlyTheSocketsAreRead) {
  testing::OutputCapture output;
  testing::TestGame t;
  t.game->rconReady.store(false);
  t.game->nextReconcileTime = 1;
  auto [serverSide, clientSide] = tcpPair();
  ClientSession* s = session(12, 345);
  s->socket = serverSide;
  attachClient(*t.game, s);
  ClientSession* closedOne = session(13, 346);
  closedOne->closed = true;
  attachClient(*t.game, closedOne);

  platform::closeSocket(clientSide);
  // The end of the stream is noticed by the client poll even now.
  ASSERT_TRUE([&] {
    for (int i = 0; i < 250 && !s->closed; ++i) {
      EXPECT_FALSE(stepGame(*t.game));
      platform::sleepMilliseconds(20);
    }
    return s->closed;
  }());
  // No turns, no reconciliation: nothing removed, nothing queued.
  EXPECT_EQ(t.game->clientCount, 2u);
  EXPECT_EQ(t.game->nextReconcileTime, 1u);

  t.game->rconReady.store(true);
  EXPECT_TRUE(stepGame(*t.game));
  EXPECT_EQ(t.game->clientCount, 0u);
  EXPECT_EQ(t.game->nextReconcileTime, t.now + 10000);
}

TEST(GameServerTest, DropNoticeIsOneSixByteFrame) {
  auto [serverSide, clientSide] = tcpPair();
  ClientSession s;
  s.socket = serverSide;
  sendDropNotice(s, wire::kDropBanned);
  bool ready = false;
  ASSERT_EQ(platform::pollReadable(&clientSide, 1, &ready, 5000), 1);
  std::uint8_t frame[16];
  ASSERT_EQ(platform::socketReceive(clientSide, frame, sizeof frame), 6);
  EXPECT_EQ(frame[wire::kFrameIdOffset], wire::kPacketDrop);
  EXPECT_EQ(loadLe16(frame + wire::kFrameLengthOffset), 6);
  EXPECT_EQ(frame[wire::kFrameCheckOffset], 0xFF);  // 6 - 6 - 1
  EXPECT_EQ(frame[wire::kDropReasonOffset], wire::kDropBanned);
  platform::closeSocket(clientSide);
}

TEST(GameServerTest, ServerLooksUsersUpInConfigurationOrder) {
  auto server = std::make_unique<Server>();
  server->games.reset(new GameServer[3]);
  server->gameCount = 3;
  for (std::uint32_t i = 0; i < 3; ++i) server->games[i].rconReady.store(i != 1);
  auto addUser = [&](GameServer& game, std::uint32_t userId, std::uint32_t wonId) {
    UserRecord& row = game.userRecords[game.userRecordCount++];
    row.userId = userId;
    row.wonId = wonId;
  };
  addUser(server->games[1], 12, 345);
  addUser(server->games[2], 12, 345);
  addUser(server->games[2], 13, 346);
  EXPECT_EQ(findGameOfUser(*server, 12, 345), &server->games[1]);
  EXPECT_EQ(findGameOfUser(*server, 13, 0), &server->games[2]);
  EXPECT_EQ(findGameOfUser(*server, 14, 0), nullptr);

  requestUsersEverywhere(*server);
  // Game 1's password is not accepted: nothing can be queued there.
  EXPECT_EQ(server->games[0].commandCount, 1);
  EXPECT_EQ(server->games[1].commandCount, 0);
  EXPECT_EQ(server->games[2].commands[0].id, static_cast<std::uint8_t>(RconCommandId::Users));
}

}  // namespace
}  // namespace kestrin
