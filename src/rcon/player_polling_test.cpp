#include "rcon/player_polling.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "game/game_server.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

TEST(ReplyLineTest, StatusLinesInBothTimeFormsAndRefusals) {
  const std::string tail = " 12 345 3 01:25 48 0 1.2.3.4:27005";
  const struct {
    std::string line;
    std::string fields;  // "" when refused
  } cases[] = {
      {"# 1  \"Alice\" 12 345678   3 12:34   48    0 198.51.100.7:27005",
       "1|Alice|12|345678|3|0:12:34|48|0|198.51.100.7:27005"},
      {"#12 \"Bob The Long Name\" 13 4294967295  -2  1:02:03   97    2 10.0.0.300:1",
       "12|Bob The Long Name|13|4294967295|-2|1:2:3|97|2|10.0.0.44:1"},
      {"#      name userid uniqueid frag time ping loss adr", ""},
      {"# 1 \"\"" + tail, ""},
      {"# 1 \"Al\" 12 345678 3 01:25 48 0 loopback", ""},
      {"# 1 \"Al\" 12 4294967296 3 01:25 48 0 1.2.3.4:27005", ""},      // WON id past 32 bits
      {"# 1 \"Al\" 2147483648 345678 3 01:25 48 0 1.2.3.4:27005", ""},  // user id past 31 bits
      {"# 1 \"Al\" 12 345678 3 01:25:99999999999 48 0 1.2.3.4:27005", ""},
      {" # 1 \"Al\"" + tail, ""},
      {"# 1 \"" + std::string(255, 'n') + "\"" + tail, "1|" + std::string(255, 'n') + "|12|345|3|0:1:25|48|0|1.2.3.4:27005"},
      {"# 1 \"" + std::string(256, 'n') + "\"" + tail, ""},
  };
  for (const auto& c : cases) {
    StatusRecord r;
    r.userId = 77;
    char fields[400] = "";
    if (parseStatusLine(c.line.c_str(), &r)) {
      std::snprintf(fields, sizeof fields, "%d|%s|%u|%u|%d|%d:%d:%d|%d|%d|%d.%d.%d.%d:%d", r.slot, r.name, r.userId,
                    r.wonId, r.frags, r.hours, r.minutes, r.seconds, r.ping, r.loss, r.ip[0], r.ip[1], r.ip[2], r.ip[3],
                    r.port);
    } else {
      EXPECT_EQ(r.userId, 77u);
    }
    EXPECT_EQ(fields, c.fields) << c.line;
  }
}

TEST(ReplyLineTest, UsersLinesReadIdsAndTheRestOfTheLine) {
  const struct {
    const char* line;
    const char* fields;
  } cases[] = {
      {"    13 : 4294967295 : Bob The Long Name", "13|4294967295|Bob The Long Name"},
      {"12:345678:Alice", "12|345678|Alice"},
      {"userid : uniqueid : name", ""},
      {"------ : ---------: ----", ""},
      {"2 users", ""},
      {"12 : 345678 : ", ""},
      {"12 : 99999999999 : X", ""},
  };
  for (const auto& c : cases) {
    UserRecord r;
    char fields[300] = "";
    if (parseUsersLine(c.line, &r)) std::snprintf(fields, sizeof fields, "%u|%u|%s", r.userId, r.wonId, r.name);
    EXPECT_STREQ(fields, c.fields) << c.line;
  }
}

TEST(ReplyLineTest, NextLineGivesOnlyCompleteLinesAndNeverHalfALongOne) {
  std::string text = "first\n" + std::string(255, 'x') + "\n" + std::string(256, 'y') + "\nlast without end";
  const char* cursor = text.c_str();
  char line[kReplyLineSize];
  ASSERT_TRUE(nextLine(&cursor, line));
  EXPECT_STREQ(line, "first");
  ASSERT_TRUE(nextLine(&cursor, line));
  EXPECT_EQ(std::strlen(line), 255u);
  ASSERT_TRUE(nextLine(&cursor, line));
  EXPECT_STREQ(line, "");
  EXPECT_FALSE(nextLine(&cursor, line));
  EXPECT_STREQ(cursor, "last without end");
}

class ReplyParseTest : public ::testing::Test {
 protected:
  testing::OutputCapture output;
  std::unique_ptr<GameServer> game = std::make_unique<GameServer>();
};

std::string statusLine(int slot, int userId, const char* time) {
  char line[kReplyLineSize];
  std::snprintf(line, sizeof line, "#%d \"P%d\" %d %d 0 %s 50 0 1.2.3.4:27005\n", slot, userId, userId, 1000 + userId,
                time);
  return line;
}

TEST_F(ReplyParseTest, StatusUpdatesRowsInPlaceAndKeepsTheirFlags) {
  parseStatusReply(*game, ("lhostname: x\n" + statusLine(1, 12, "00:10")).c_str());
  ASSERT_EQ(game->statusRecordCount, 1u);
  StatusRecord& row = game->statusRecords[0];
  EXPECT_EQ(row.present, 1);
  EXPECT_EQ(row.listed, 1);
  row.present = 0;
  row.downloadNoticeGiven = row.playedWithClient = 1;
  game->statusUpdated = 0;
  parseStatusReply(*game, ("l" + statusLine(3, 12, "1:00:10") + statusLine(4, 13, "05:00")).c_str());
  EXPECT_EQ(game->statusRecordCount, 2u);
  EXPECT_EQ(row.slot, 3);
  EXPECT_EQ(row.hours, 1);
  EXPECT_EQ(row.present, 1);
  EXPECT_EQ(row.downloadNoticeGiven, 1);
  EXPECT_EQ(row.playedWithClient, 1);
  EXPECT_EQ(game->statusUpdated, 1);
  EXPECT_EQ(output.text(), "Adding status record\nAdding status record\n");
}

TEST_F(ReplyParseTest, EmptyStatusStillCountsAndAnUnendedLastLineIsNot) {
  parseStatusReply(*game, ("l0 users\n" + statusLine(1, 12, "00:10")).substr(0, 30).c_str());
  EXPECT_EQ(game->statusUpdated, 1);
  EXPECT_EQ(game->statusRecordCount, 0u);
}

TEST_F(ReplyParseTest, TablesKeepTheFirst64Players) {
  std::string status = "l", users = "l";
  for (int i = 1; i <= 65; ++i) {
    status += statusLine(i, i, "00:10");
    users += std::to_string(i) + " : " + std::to_string(i) + " : U\n";
  }
  parseStatusReply(*game, status.c_str());
  EXPECT_EQ(game->statusRecordCount, 64u);
  EXPECT_EQ(findStatus(*game, 65, 0), -1);
  EXPECT_TRUE(output.text().ends_with("Adding status record\nStatus buffer overflow, contact Kestrin Team\n"));
  output.clear();
  parseUsersReply(*game, users.c_str());
  EXPECT_EQ(game->userRecordCount, 64u);
  EXPECT_EQ(game->userRecords[63].userId, 64u);
  EXPECT_EQ(output.text(), "Game: Users reply lists more than 64 users, the rest is not kept\n");
  // Each reply rebuilds the user table.
  parseUsersReply(*game, "luserid : uniqueid : name\n    12 : 345678 : Alice\n1 users\n");
  ASSERT_EQ(game->userRecordCount, 1u);
  EXPECT_STREQ(game->userRecords[0].name, "Alice");
}

}  // namespace
}  // namespace kestrin
