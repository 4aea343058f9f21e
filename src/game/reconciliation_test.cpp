#include "game/reconciliation.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "support/game_test_support.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;

class ReconciliationTest : public ::testing::Test {
 protected:
  ReconciliationTest() { t.game->nextReconcileTime = t.now - 1; }

  // A row as the status poll leaves it; the wonId is the userId times 100.
  StatusRecord& listPlayer(const char* name, std::uint32_t userId, int minutes, int seconds) {
    PlayerTables& tables = t.game->players;
    int index = findStatus(tables, userId, 0);
    if (index < 0) index = addStatus(tables);
    StatusRecord& row = tables.statusRecords[index];
    std::snprintf(row.name, sizeof row.name, "%s", name);
    row.userId = userId;
    row.wonId = userId * 100;
    row.minutes = minutes;
    row.seconds = seconds;
    row.present = row.listed = 1;
    tables.statusUpdated = 1;
    return row;
  }

  // One pass, 10 s after the last; returns what it printed, and what it
  // queued through `queued`, emptying the queue.
  std::string pass(Strings* queued = nullptr) {
    output.clear();
    t.now += 10001;
    reconcile(*t.game, t.now);
    Strings taken = t.take();
    if (queued != nullptr) *queued = taken;
    return output.text();
  }

  ClientSession* attach(std::uint32_t userId) {
    auto* session = new ClientSession();
    session->userId = userId;
    session->wonId = userId * 100;
    attachClient(*t.game, session);
    return session;
  }

  testing::OutputCapture output;
  testing::TestGame t;
};

TEST_F(ReconciliationTest, RunsOnlyWhenDueAndAlwaysQueuesThePolls) {
  listPlayer("Bob", 12, 5, 0);
  t.game->players.statusUpdated = 0;
  output.clear();
  t.game->nextReconcileTime = t.now;
  reconcile(*t.game, t.now);
  EXPECT_TRUE(t.take().empty());
  t.now += 1;
  reconcile(*t.game, t.now);
  EXPECT_EQ(t.game->nextReconcileTime, t.now + 10000);
  // No fresh status reply: nobody is judged.
  EXPECT_EQ(t.take(), (Strings{"2 ", "1 "}));
  EXPECT_EQ(output.text(), "");
}

TEST_F(ReconciliationTest, PlayersWithoutClientAreToldThenBannedByTheirConnectionTime) {
  enum Outcome { kNothing, kNotice, kBan, kKick };
  const struct {
    int hours, minutes, seconds;
    bool noticeGiven, hadClient;
    Outcome outcome;
  } cases[] = {
      {0, 0, 50, false, false, kNothing}, {0, 1, 19, false, false, kNothing},
      {0, 1, 20, false, false, kNotice},  {0, 1, 59, true, false, kNothing},
      {0, 2, 0, true, false, kBan},       {0, 2, 5, false, false, kBan},
      {0, 3, 30, false, false, kNotice},  {2, 0, 40, false, false, kNothing},
      {0, 0, 59, false, true, kNothing},  {0, 1, 0, false, true, kKick},
  };
  const std::string ban = "Bob has no Kestrin client and will be banned for 1 minute";
  const std::string notice = "Bob: Please download client @ " KESTRIN_DOWNLOAD_SITE;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.hours << ":" << c.minutes << ":" << c.seconds);
    StatusRecord& row = listPlayer("Bob", 12, c.minutes, c.seconds);
    row.hours = c.hours;
    row.downloadNoticeGiven = c.noticeGiven;
    row.playedWithClient = c.hadClient;
    std::string printed = c.hadClient ? "Player has been playing with client\n" : "Player Bob has never had a client\n";
    Strings queued;
    if (c.outcome == kNotice) {
      printed += notice;
      queued = {"5 " + notice};
    } else if (c.outcome == kBan) {
      printed += ban + "\n";
      queued = {"5 " + ban, "6 1 1200 kick", "3 #12"};
    } else if (c.outcome == kKick) {
      queued = {"3 #12"};
    }
    queued.insert(queued.end(), {"2 ", "1 "});
    Strings got;
    EXPECT_EQ(pass(&got), printed);
    EXPECT_EQ(got, queued);
    EXPECT_EQ(row.downloadNoticeGiven, c.noticeGiven || c.outcome == kNotice);
    freeStatus(t.game->players, 0);
  }
}

TEST_F(ReconciliationTest, TheHltvProxyIsNeverJudged) {
  std::snprintf(t.game->hltvName, sizeof t.game->hltvName, "HLTV Proxy");
  t.game->hltvNameSet = true;
  StatusRecord& row = listPlayer("HLTV Proxy", 40, 45, 0);
  row.wonId = kNoWonId;
  EXPECT_EQ(pass(), "");
  EXPECT_EQ(row.present, 1);
  // Only the exact name, letter case included, and no WON id: a player who
  // takes the name is judged as usual.
  for (const char* name : {"hltv proxy", "HLTV Proxy 2", "HLTV Proxy"}) {
    listPlayer(name, 41, 45, 0);
    EXPECT_NE(pass(), "") << name;
  }
}

TEST_F(ReconciliationTest, APlayerMissingFromStatusIsKeptWhileAUserAndThenLeaves) {
  StatusRecord& row = listPlayer("Carol", 50, 0, 10);
  pass();
  PlayerTables& tables = t.game->players;
  UserRecord& user = tables.userRecords[tables.userRecordCount++];
  user.userId = 50;
  user.wonId = 5000;
  tables.statusUpdated = 1;
  EXPECT_EQ(pass(), "Status record doesn't exist but users record does [name: Carol] [userId: 50] [wonId: 5000]\n");
  EXPECT_EQ(row.inUse, 1);

  tables.userRecordCount = 0;
  tables.statusUpdated = 1;
  EXPECT_EQ(pass(), "Carol has left the game\n");
  EXPECT_EQ(row.inUse, 0);
  EXPECT_EQ(tables.statusRecordCount, 0u);
}

TEST_F(ReconciliationTest, AClientFromAnotherAddressThanThePlayersNeverJoins) {
  attach(70)->peerAddress = 0x0A000002;
  listPlayer("Eve", 70, 0, 10);
  EXPECT_EQ(pass(), "Client: Address mismatch, client dropped [client: 10.0.0.2 player: 0.0.0.0 userId: 70 wonId: 7000]\n"
                    "Client 0 disconnected [total: 0]\nPlayer Eve has never had a client\n");
}

TEST_F(ReconciliationTest, ClientsAreJoinedOnceAndDroppedWhenTheirPlayerLeaves) {
  ClientSession* session = attach(60);
  StatusRecord& row = listPlayer("Dave", 60, 5, 0);
  Strings queued;
  EXPECT_EQ(pass(&queued), "");
  // No user row names the player at the join.
  EXPECT_EQ(queued, (Strings{"5 unknown has joined with the Kestrin client", "2 ", "1 "}));
  EXPECT_TRUE(session->joined);
  EXPECT_EQ(row.playedWithClient, 1);
  listPlayer("Dave", 60, 5, 10);
  EXPECT_EQ(pass(&queued), "");
  EXPECT_EQ(queued, (Strings{"2 ", "1 "}));

  t.game->players.statusUpdated = 1;
  EXPECT_EQ(pass(), "Client 0 disconnected [total: 0]\nDave has left the game\n");
  EXPECT_EQ(t.game->clientCount, 0u);
  EXPECT_EQ(findStatus(t.game->players, 60, 6000), -1);
}

}  // namespace
}  // namespace kestrin
