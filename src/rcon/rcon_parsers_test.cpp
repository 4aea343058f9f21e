// The reply parsers: status and users lines, whole replies into the tables,
// console-variable replies and the contact marker.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "game/game_server.h"
#include "rcon/game_thread.h"
#include "rcon/player_polling.h"
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

TEST(ContactMarkerTest, CvarRepliesAndMarkerCleaning) {
  const struct {
    const char* reply;
    const char* name;
    const char* value;
  } replies[] = {
      {"l\"sv_contact\" is \"admin@example.org\"\n", "sv_contact", "admin@example.org"},
      // An empty value: the quotes are skipped as one run and the line end is read.
      {"l\"sv_contact\" is \"\"\n", "sv_contact", "\n"},
      {"lUnknown command: sv_contact\n", "kept", "kept"},
  };
  for (const auto& r : replies) {
    char name[kCvarValueSize] = "kept", value[kCvarValueSize] = "kept";
    parseCvarReply(r.reply, name, value);
    EXPECT_STREQ(name, r.name) << r.reply;
    EXPECT_STREQ(value, r.value) << r.reply;
  }

  const struct {
    const char* value;
    const char* cleaned;
    bool ok;
  } values[] = {
      {"admin@example.org", "admin@example.org", true},
      {"abc", "", true},
      {"abcd", "abcd", true},
      {"\n", "", true},
      {"admin{KESTRIN REQ}{1.2.3.4}", "admin", true},
      {"{KESTRIN REQ}{1.2.3.4}{KESTRIN REQ}{5.6.7.8}", "", true},
      {"a{KESTRIN REQ}{1.2.3.4}b{KESTRIN REQ}{5.6.7.8}c", "abc", true},
      {"admin{KESTRIN REQ}", nullptr, false},
      {"admin{KESTRIN", nullptr, false},
  };
  for (const auto& v : values) {
    char value[kCvarValueSize] = {};
    std::snprintf(value, sizeof value, "%s", v.value);
    EXPECT_EQ(cleanContactValue(value), v.ok) << v.value;
    if (v.ok) {
      EXPECT_STREQ(value, v.cleaned) << v.value;
    }
  }
}

TEST(ContactMarkerTest, NewValueKeepsTheMarkerWholeBehindTheAdministratorsText) {
  char out[kContactValueSize];
  formatContactValue("admin@example.org", "203.0.113.5", out);
  EXPECT_STREQ(out, "\"admin@example.org{KESTRIN REQ}{203.0.113.5}\"");
  const std::string ip(31, '9');
  formatContactValue(std::string(200, 'a').c_str(), ip.c_str(), out);
  const std::string value = out;
  EXPECT_EQ(value.size(), kContactValueSize - 1);
  EXPECT_EQ(value.substr(value.size() - 47), "{KESTRIN REQ}{" + ip + "}\"");
  EXPECT_EQ(value.substr(0, 2), "\"a");
}

}  // namespace
}  // namespace kestrin
