#include "game/reconciliation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "game/game_test_support.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;

class ReconciliationTest : public ::testing::Test {
 protected:
  ReconciliationTest() { t.game->nextReconcileTime = t.now - 1; }

  // A row as the status poll leaves it.
  int listPlayer(const char* name, std::uint32_t userId, std::uint32_t wonId, int minutes,
                 int seconds) {
    int index = findStatus(*t.game, userId, wonId);
    if (index < 0) index = addStatus(*t.game);
    StatusRecord& row = t.game->statusRecords[index];
    std::strcpy(row.name, name);
    row.userId = userId;
    row.wonId = wonId;
    row.minutes = minutes;
    row.seconds = seconds;
    row.present = 1;
    row.listed = 1;
    t.game->statusUpdated = 1;
    return index;
  }

  // One pass, 10 s after the previous one; returns what it printed and
  // queued, and empties the queue as the game thread would.
  std::string pass(Strings* queued = nullptr) {
    output.clear();
    t.now += 10001;
    t.game->statusUpdated = 1;
    reconcile(*t.game);
    if (queued != nullptr) *queued = t.queued();
    t.game->commandCount = 0;
    return output.text();
  }

  testing::OutputCapture output;
  testing::TestGame t;
};


TEST_F(ReconciliationTest, RunsEveryTenSecondsAndAlwaysQueuesThePolls) {
  t.game->nextReconcileTime = t.now;
  reconcile(*t.game);
  EXPECT_EQ(t.game->commandCount, 0);
  t.now += 1;
  reconcile(*t.game);
  EXPECT_EQ(t.game->nextReconcileTime, t.now + 10000);
  EXPECT_EQ(t.queued(), (Strings{"2 ", "1 "}));
  EXPECT_EQ(output.text(), "");
}

TEST_F(ReconciliationTest, PlayerWithoutClientGetsTheNoticeOnceThenTheBan) {
  listPlayer("Alice", 12, 345678, 0, 50);
  Strings queued;
  EXPECT_EQ(pass(&queued), "Player Alice has never had a client\n");
  EXPECT_EQ(queued, (Strings{"2 ", "1 "}));

  listPlayer("Alice", 12, 345678, 1, 25);
  EXPECT_EQ(pass(&queued), "Player Alice has never had a client\nAlice: Please download client @ " KESTRIN_DOWNLOAD_SITE);
  EXPECT_EQ(queued, (Strings{"5 Alice: Please download client @ " KESTRIN_DOWNLOAD_SITE, "2 ", "1 "}));

  listPlayer("Alice", 12, 345678, 1, 35);
  EXPECT_EQ(pass(&queued), "Player Alice has never had a client\n");
  EXPECT_EQ(queued, (Strings{"2 ", "1 "}));

  listPlayer("Alice", 12, 345678, 2, 5);
  EXPECT_EQ(pass(&queued),
            "Player Alice has never had a client\nAlice has no Kestrin client and will be banned for 1 minute\n");
  EXPECT_EQ(queued, (Strings{"5 Alice has no Kestrin client and will be banned for 1 minute",
                             "6 1 345678 kick", "3 #12", "2 ", "1 "}));
}

TEST_F(ReconciliationTest, LateComersAreBannedAtOnceOrAfterTheirNotice) {
  listPlayer("Late", 20, 2000, 3, 10);
  listPlayer("Later", 21, 2100, 3, 30);
  Strings queued;
  pass(&queued);
  EXPECT_EQ(queued, (Strings{"5 Late has no Kestrin client and will be banned for 1 minute",
                             "6 1 2000 kick", "3 #20",
                             "5 Later: Please download client @ " KESTRIN_DOWNLOAD_SITE, "2 ", "1 "}));
  listPlayer("Later", 21, 2100, 3, 40);
  pass(&queued);
  EXPECT_EQ(queued[1], "6 1 2100 kick");
}

TEST_F(ReconciliationTest, HourLongConnectionsCountOnlyTheMinutesWithinTheHour) {
  int row = listPlayer("Old", 30, 3000, 0, 40);
  t.game->statusRecords[row].hours = 2;
  Strings queued;
  EXPECT_EQ(pass(&queued), "Player Old has never had a client\n");
  EXPECT_EQ(queued, (Strings{"2 ", "1 "}));
}

TEST_F(ReconciliationTest, TheHltvProxyIsNeverJudged) {
  std::strcpy(t.game->hltvName, "HLTV Proxy");
  t.game->hltvNameSet = true;
  int row = listPlayer("HLTV Proxy", 40, 0, 45, 0);
  Strings queued;
  EXPECT_EQ(pass(&queued), "");
  EXPECT_EQ(queued, (Strings{"2 ", "1 "}));
  EXPECT_EQ(t.game->statusRecords[row].present, 1);
  // Letter case counts.
  listPlayer("hltv proxy", 41, 0, 45, 0);
  EXPECT_NE(pass(), "");
}

TEST_F(ReconciliationTest, MissingFromStatusButStillAUserKeepsTheRow) {
  int row = listPlayer("Carol", 50, 5000, 0, 10);
  pass();
  UserRecord& user = t.game->userRecords[t.game->userRecordCount++];
  user.userId = 50;
  user.wonId = 5000;
  EXPECT_EQ(pass(), "Status record doesn't exist but users record does [name: Carol] [userId: 50] [wonId: 5000]\n");
  EXPECT_EQ(t.game->statusRecords[row].inUse, 1);

  t.game->userRecordCount = 0;
  EXPECT_EQ(pass(), "Carol has left the game\n");
  EXPECT_EQ(t.game->statusRecords[row].inUse, 0);
  EXPECT_EQ(t.game->statusRecordCount, 0u);
}

TEST_F(ReconciliationTest, ClientsAreJoinedOnceAndDroppedWhenTheirPlayerLeaves) {
  auto* session = new ClientSession();
  session->userId = 60;
  session->wonId = 6000;
  session->game = t.game.get();
  session->clock = &t.now;
  attachClient(*t.game, session);
  int row = listPlayer("Dave", 60, 6000, 5, 0);
  Strings queued;
  EXPECT_EQ(pass(&queued), "");
  // No user row names the player at the join.
  EXPECT_EQ(queued, (Strings{"5 unknown has joined with the Kestrin client", "2 ", "1 "}));
  EXPECT_TRUE(session->joined);
  EXPECT_EQ(t.game->statusRecords[row].playedWithClient, 1);

  EXPECT_EQ(pass(), "Client 0 disconnected [total: 0]\nDave has left the game\n");
  EXPECT_EQ(t.game->clientCount, 0u);
  EXPECT_EQ(findStatus(*t.game, 60, 6000), -1);
}

TEST_F(ReconciliationTest, PlayerWhoseClientVanishedIsKickedFromOneMinute) {
  auto* session = new ClientSession();
  session->userId = 70;
  session->wonId = 7000;
  session->game = t.game.get();
  session->clock = &t.now;
  attachClient(*t.game, session);
  listPlayer("Eve", 70, 7000, 0, 20);
  pass();
  ASSERT_TRUE(session->joined);

  // The connection ends; the game's next client turn removes the session.
  session->disconnect();
  runClients(*t.game);
  ASSERT_EQ(t.game->clientCount, 0u);
  listPlayer("Eve", 70, 7000, 0, 40);
  Strings queued;
  EXPECT_EQ(pass(&queued), "Player has been playing with client\n");
  EXPECT_EQ(queued, (Strings{"2 ", "1 "}));
  listPlayer("Eve", 70, 7000, 1, 0);
  EXPECT_EQ(pass(&queued), "Player has been playing with client\n");
  EXPECT_EQ(queued, (Strings{"3 #70", "2 ", "1 "}));
}

TEST_F(ReconciliationTest, PlayerWhoLostTheClientIsKickedNotBanned) {
  int row = listPlayer("Eve", 70, 7000, 0, 30);
  t.game->statusRecords[row].playedWithClient = 1;
  Strings queued;
  EXPECT_EQ(pass(&queued), "Player has been playing with client\n");
  EXPECT_EQ(queued, (Strings{"2 ", "1 "}));
  listPlayer("Eve", 70, 7000, 1, 0);
  pass(&queued);
  EXPECT_EQ(queued, (Strings{"3 #70", "2 ", "1 "}));
}

TEST_F(ReconciliationTest, NothingIsQueuedWhileThePasswordIsRefused) {
  listPlayer("Frank", 80, 8000, 5, 0);
  t.game->rconReady.store(false);
  Strings queued;
  pass(&queued);
  EXPECT_TRUE(queued.empty());
}

}  // namespace
}  // namespace kestrin
