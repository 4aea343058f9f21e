#include "game/game_server.h"

#include <gtest/gtest.h>

#include "client/client_session.h"
#include "support/game_test_support.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"

namespace kestrin {
namespace {

ClientSession* session(std::uint32_t userId, std::uint32_t wonId) {
  auto* s = new ClientSession();
  s->userId = userId;
  s->wonId = wonId;
  return s;
}

// A game step as the main step runs it, after a poll of `watch`.
bool step(testing::TestGame& t, platform::SocketWatch& watch) {
  for (int i = 0, ready = watch.wait(0); i < ready; ++i)
    static_cast<ClientSession*>(watch.readyTag(static_cast<std::size_t>(i)))->readable = true;
  readClients(*t.game);
  return stepGame(*t.game, t.now);
}

// The limit of 63 clients is met by the handshake tests.
TEST(GameServerTest, FindsClientsByBothIdsExactly) {
  testing::TestGame t;
  for (std::uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(attachClient(*t.game, session(i + 1, 1000 + i)));
  EXPECT_EQ(findClient(*t.game, 13, 1012), 12);
  EXPECT_EQ(findClient(*t.game, 13, 999), -1);
  EXPECT_EQ(findClient(*t.game, 0, 1012), -1);
}

TEST(GameServerTest, AnAdmittedSessionNotJoinedWithinThirtySecondsIsDropped) {
  testing::OutputCapture output;
  testing::TestGame t;
  ASSERT_TRUE(admitClient(*t.game, session(12, 345), t.now));
  ASSERT_TRUE(admitClient(*t.game, session(13, 346), t.now));
  t.game->clients[1]->joined = true;
  // A console outage holds the wait: it runs anew from the console's return.
  t.game->rconReady.store(false);
  t.now += kJoinWaitMs + 5000;
  stepGame(*t.game, t.now);
  t.game->rconReady.store(true);
  t.now += kJoinWaitMs;
  runClients(*t.game, t.now);
  EXPECT_EQ(t.game->clientCount, 2u);
  t.now += 1;
  runClients(*t.game, t.now);
  ASSERT_EQ(t.game->clientCount, 1u);
  EXPECT_EQ(t.game->clients[0]->userId, 13u);
  EXPECT_EQ(output.text(), "Client: Not joined within 30 seconds, client dropped [userId: 12 wonId: 345]\n"
                           "Client 0 disconnected [total: 1]\n");
}

TEST(GameServerTest, ClosedSessionsAreRemovedAtTheirTurnAndTheirPlayerRowsStay) {
  testing::OutputCapture output;
  testing::TestGame t;
  // The row remembers that the player played with a client, so that the
  // next pass can kick a player whose client went away.
  StatusRecord& row = t.game->players.statusRecords[addStatus(t.game->players)];
  row.userId = 1;
  row.playedWithClient = 1;
  ClientSession* sessions[3];
  for (std::uint32_t i = 0; i < 3; ++i) attachClient(*t.game, sessions[i] = session(i + 1, 0));
  sessions[0]->closed = sessions[1]->closed = true;
  output.clear();
  runClients(*t.game, t.now);
  ASSERT_EQ(t.game->clientCount, 1u);
  EXPECT_EQ(t.game->clients[0], sessions[2]);
  EXPECT_EQ(output.text(), "Client 0 disconnected [total: 2]\nClient 0 disconnected [total: 1]\n");
  EXPECT_EQ(findStatus(t.game->players, 1, 0), 0);
  EXPECT_EQ(row.playedWithClient, 1);
}

TEST(GameServerTest, WithoutAcceptedPasswordOnlyTheSocketsAreRead) {
  testing::OutputCapture output;
  platform::SocketWatch watch;  // outlives the game's sessions
  testing::TestGame t;
  t.game->rconReady.store(false);
  t.game->nextReconcileTime = 1;
  auto [serverSide, clientSide] = testing::tcpPair();
  ClientSession* s = session(12, 345);
  s->socket = serverSide;
  ASSERT_TRUE(s->watchWith(watch));
  attachClient(*t.game, s);
  ClientSession* closedOne = session(13, 346);
  closedOne->closed = true;
  attachClient(*t.game, closedOne);

  platform::closeSocket(clientSide);
  // The end of the stream is noticed by the client poll even now.
  for (int i = 0; i < 250 && !s->closed; ++i) {
    EXPECT_FALSE(step(t, watch));
    testing::waitReadable(serverSide, 20);
  }
  ASSERT_TRUE(s->closed);
  // No turns, no reconciliation: nothing removed, nothing queued.
  EXPECT_EQ(t.game->clientCount, 2u);
  EXPECT_EQ(t.game->nextReconcileTime, 1u);

  t.game->rconReady.store(true);
  EXPECT_TRUE(step(t, watch));
  EXPECT_EQ(t.game->clientCount, 0u);
  EXPECT_EQ(t.game->nextReconcileTime, t.now + 10000);
}

}  // namespace
}  // namespace kestrin
