#include "game/player_polling.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "game/player_tables.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

class ReplyParseTest : public ::testing::Test {
 protected:
  testing::OutputCapture output;
  std::unique_ptr<PlayerTables> tables = std::make_unique<PlayerTables>();
};

std::string statusLine(int slot, int userId, const char* time) {
  char line[kReplyLineSize];
  std::snprintf(line, sizeof line, "#%d \"P%d\" %d %d 0 %s 50 0 1.2.3.4:27005\n", slot, userId, userId, 1000 + userId,
                time);
  return line;
}

TEST_F(ReplyParseTest, StatusUpdatesRowsInPlaceAndKeepsTheirFlags) {
  parseStatusReply(*tables, ("lhostname: x\n" + statusLine(1, 12, "00:10")).c_str());
  ASSERT_EQ(tables->statusRecordCount, 1u);
  StatusRecord& row = tables->statusRecords[0];
  EXPECT_EQ(row.present, 1);
  EXPECT_EQ(row.listed, 1);
  row.present = 0;
  row.downloadNoticeGiven = row.playedWithClient = 1;
  tables->statusUpdated = 0;
  parseStatusReply(*tables, ("l" + statusLine(3, 12, "1:00:10") + statusLine(4, 13, "05:00")).c_str());
  EXPECT_EQ(tables->statusRecordCount, 2u);
  EXPECT_EQ(row.slot, 3);
  EXPECT_EQ(row.hours, 1);
  EXPECT_EQ(row.present, 1);
  EXPECT_EQ(row.downloadNoticeGiven, 1);
  EXPECT_EQ(row.playedWithClient, 1);
  EXPECT_EQ(tables->statusUpdated, 1);
  EXPECT_EQ(output.text(), "Adding status record\nAdding status record\n");
}

TEST_F(ReplyParseTest, EmptyStatusStillCountsAndAnUnendedLastLineIsNot) {
  parseStatusReply(*tables, ("l0 users\n" + statusLine(1, 12, "00:10")).substr(0, 30).c_str());
  EXPECT_EQ(tables->statusUpdated, 1);
  EXPECT_EQ(tables->statusRecordCount, 0u);
}

TEST_F(ReplyParseTest, TablesKeepTheFirst64Players) {
  std::string status = "l", users = "l";
  for (int i = 1; i <= 65; ++i) {
    status += statusLine(i, i, "00:10");
    users += std::to_string(i) + " : " + std::to_string(i) + " : U\n";
  }
  parseStatusReply(*tables, status.c_str());
  EXPECT_EQ(tables->statusRecordCount, 64u);
  EXPECT_EQ(findStatus(*tables, 65, 0), -1);
  EXPECT_TRUE(output.text().ends_with("Adding status record\nStatus buffer overflow, contact Kestrin Team\n"));
  output.clear();
  parseUsersReply(*tables, users.c_str());
  EXPECT_EQ(tables->userRecordCount, 64u);
  EXPECT_EQ(tables->userRecords[63].userId, 64u);
  EXPECT_EQ(output.text(), "Game: Users reply lists more than 64 users, the rest is not kept\n");
  // Each reply rebuilds the user table.
  parseUsersReply(*tables, "luserid : uniqueid : name\n    12 : 345678 : Alice\n1 users\n");
  ASSERT_EQ(tables->userRecordCount, 1u);
  EXPECT_STREQ(tables->userRecords[0].name, "Alice");
}

}  // namespace
}  // namespace kestrin
