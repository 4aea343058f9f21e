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

// The parsed fields of a status line, "" when it is refused.
std::string statusFields(const char* line) {
  StatusRecord r;
  if (!parseStatusLine(line, &r)) return "";
  char text[400];
  std::snprintf(text, sizeof text, "%d|%s|%u|%u|%d|%d:%d:%d|%d|%d|%d.%d.%d.%d:%d", r.slot, r.name, r.userId,
                r.wonId, r.frags, r.hours, r.minutes, r.seconds, r.ping, r.loss, r.ip[0], r.ip[1], r.ip[2], r.ip[3],
                r.port);
  return text;
}

TEST(StatusLineTest, BothTimeFormsAndTheLargestWonId) {
  EXPECT_EQ(statusFields("# 1  \"Alice\" 12 345678   3 12:34   48    0 198.51.100.7:27005"),
            "1|Alice|12|345678|3|0:12:34|48|0|198.51.100.7:27005");
  EXPECT_EQ(statusFields("#12 \"Bob The Long Name\" 13 4294967295  -2  1:02:03   97    2 10.0.0.300:1"),
            "12|Bob The Long Name|13|4294967295|-2|1:2:3|97|2|10.0.0.44:1");
}

TEST(StatusLineTest, OtherLinesAndOverflowingNumbersAreRefused) {
  StatusRecord row;
  row.userId = 77;
  for (const char* line : {
           "hostname:  My Server",
           "#      name userid uniqueid frag time ping loss adr",
           "2 users",
           "# 1 \"\" 12 345678 3 01:25 48 0 1.2.3.4:27005",                // empty name
           "# 1 \"Al\" 12 345678 3 01:25 48 0 loopback",                    // no address
           "# 1 \"Al\" 12 4294967296 3 01:25 48 0 1.2.3.4:27005",          // WON id past 32 bits
           "# 1 \"Al\" 2147483648 345678 3 01:25 48 0 1.2.3.4:27005",      // user id past 31 bits
           "# 1 \"Al\" 12 345678 3 01:25:99999999999 48 0 1.2.3.4:27005",  // seconds overflow
           " # 1 \"Al\" 12 345678 3 01:25 48 0 1.2.3.4:27005",             // '#' must come first
       })
    EXPECT_FALSE(parseStatusLine(line, &row)) << line;
  EXPECT_EQ(row.userId, 77u);
}

TEST(StatusLineTest, NamesLongerThanTheirFieldAreRefused) {
  std::string name(300, 'n');
  StatusRecord row;
  EXPECT_FALSE(parseStatusLine(("# 1 \"" + name + "\" 12 345 3 01:25 48 0 1.2.3.4:27005").c_str(), &row));
  name.resize(255);
  EXPECT_TRUE(parseStatusLine(("# 1 \"" + name + "\" 12 345 3 01:25 48 0 1.2.3.4:27005").c_str(), &row));
  EXPECT_EQ(std::strlen(row.name), 255u);
}

TEST(UsersLineTest, ReadsIdsAndTheRestOfTheLine) {
  UserRecord row;
  ASSERT_TRUE(parseUsersLine("    13 : 4294967295 : Bob The Long Name", &row));
  EXPECT_EQ(row.userId, 13u);
  EXPECT_EQ(row.wonId, 4294967295u);
  EXPECT_STREQ(row.name, "Bob The Long Name");
  ASSERT_TRUE(parseUsersLine("12:345678:Alice", &row));
  EXPECT_EQ(row.userId, 12u);
  EXPECT_STREQ(row.name, "Alice");
  for (const char* line : {"userid : uniqueid : name", "------ : ---------: ----", "2 users",
                           "12 : 345678 : ", "12 : 99999999999 : X"})
    EXPECT_FALSE(parseUsersLine(line, &row)) << line;
}

TEST(NextLineTest, OnlyCompleteLinesAndNeverHalfALongOne) {
  std::string text = "first\n\n" + std::string(300, 'x') + "\nlast without end";
  const char* cursor = text.c_str();
  char line[kReplyLineSize];
  ASSERT_TRUE(nextLine(&cursor, line));
  EXPECT_STREQ(line, "first");
  ASSERT_TRUE(nextLine(&cursor, line));
  EXPECT_STREQ(line, "");
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

std::string statusLine(int slot, const std::string& name, int userId, const char* time) {
  char line[kReplyLineSize];
  std::snprintf(line, sizeof line, "#%d \"%s\" %d %d 0 %s 50 0 1.2.3.4:27005\n", slot, name.c_str(), userId,
                1000 + userId, time);
  return line;
}

TEST_F(ReplyParseTest, StatusUpdatesRowsInPlaceAndKeepsTheirFlags) {
  parseStatusReply(*game, ("lhostname: x\n" + statusLine(1, "Alice", 12, "00:10")).c_str());
  ASSERT_EQ(game->statusRecordCount, 1u);
  StatusRecord& row = game->statusRecords[0];
  EXPECT_EQ(row.present, 1);
  EXPECT_EQ(row.listed, 1);
  row.present = 0;
  row.downloadNoticeGiven = 1;
  row.playedWithClient = 1;
  game->statusUpdated = 0;
  std::string reply = "l";
  reply += statusLine(3, "Alice", 12, "1:00:10");
  reply += statusLine(4, "Bob", 13, "05:00");
  parseStatusReply(*game, reply.c_str());
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
  parseStatusReply(*game, ("l0 users\n" + statusLine(1, "Alice", 12, "00:10")).substr(0, 30).c_str());
  EXPECT_EQ(game->statusUpdated, 1);
  EXPECT_EQ(game->statusRecordCount, 0u);
}

TEST_F(ReplyParseTest, The65thPlayerGetsNoRow) {
  std::string reply = "l";
  for (int i = 1; i <= 65; ++i) reply += statusLine(i, std::string(1, 'P').append(std::to_string(i)), i, "00:10");
  parseStatusReply(*game, reply.c_str());
  EXPECT_EQ(game->statusRecordCount, 64u);
  EXPECT_EQ(findStatus(*game, 65, 0), -1);
  EXPECT_NE(output.text().find("Adding status record\nStatus buffer overflow, contact Kestrin Team\n"),
            std::string::npos);
}

TEST_F(ReplyParseTest, UsersRebuildTheTableAndKeepTheFirst64) {
  parseUsersReply(*game, "luserid : uniqueid : name\n------ : ---------: ----\n    12 : 345678 : Alice\n1 users\n");
  ASSERT_EQ(game->userRecordCount, 1u);
  EXPECT_STREQ(game->userRecords[0].name, "Alice");
  parseUsersReply(*game, "l0 users\n");
  EXPECT_EQ(game->userRecordCount, 0u);

  std::string reply = "l";
  for (int i = 1; i <= 70; ++i) reply += std::to_string(i) + " : " + std::to_string(i) + " : U\n";
  parseUsersReply(*game, reply.c_str());
  EXPECT_EQ(game->userRecordCount, 64u);
  EXPECT_EQ(game->userRecords[63].userId, 64u);
  EXPECT_EQ(output.text(), "Game: Users reply lists more than 64 users, the rest is not kept\n");
}

TEST(CvarReplyTest, ReadsNameAndValue) {
  char name[kCvarValueSize] = {}, value[kCvarValueSize] = {};
  parseCvarReply("l\"sv_contact\" is \"admin@example.org\"\n", name, value);
  EXPECT_STREQ(name, "sv_contact");
  EXPECT_STREQ(value, "admin@example.org");
  // An empty value: the quotes are skipped as one run and the line end is read.
  parseCvarReply("l\"sv_contact\" is \"\"\n", name, value);
  EXPECT_STREQ(value, "\n");
  char other[kCvarValueSize] = "kept";
  parseCvarReply("lUnknown command: sv_contact\n", name, other);
  EXPECT_STREQ(other, "kept");
}

std::string cleaned(const std::string& text, bool* ok = nullptr) {
  char value[kCvarValueSize] = {};
  std::strncpy(value, text.c_str(), sizeof value - 1);
  bool result = cleanContactValue(value);
  if (ok != nullptr) *ok = result;
  return value;
}

TEST(ContactMarkerTest, EveryOldMarkerIsRemoved) {
  EXPECT_EQ(cleaned("admin@example.org"), "admin@example.org");
  EXPECT_EQ(cleaned("abc"), "");
  EXPECT_EQ(cleaned("\n"), "");
  EXPECT_EQ(cleaned("admin{KESTRIN REQ}{1.2.3.4}"), "admin");
  EXPECT_EQ(cleaned("{KESTRIN REQ}{1.2.3.4}{KESTRIN REQ}{5.6.7.8}"), "");
  EXPECT_EQ(cleaned("a{KESTRIN REQ}{1.2.3.4}b{KESTRIN REQ}{5.6.7.8}c"), "abc");
  bool ok = true;
  cleaned("admin{KESTRIN REQ}", &ok);
  EXPECT_FALSE(ok);
  cleaned("admin{KESTRIN", &ok);
  EXPECT_FALSE(ok);
}

TEST(ContactMarkerTest, NewValueKeepsTheMarkerWholeBehindTheAdministratorsText) {
  char out[kContactValueSize];
  formatContactValue("", "203.0.113.5", out);
  EXPECT_STREQ(out, "\"{KESTRIN REQ}{203.0.113.5}\"");
  formatContactValue("admin@example.org", "203.0.113.5", out);
  EXPECT_STREQ(out, "\"admin@example.org{KESTRIN REQ}{203.0.113.5}\"");

  std::string longText(200, 'a');
  std::string ip(31, '9');
  formatContactValue(longText.c_str(), ip.c_str(), out);
  std::string value = out;
  EXPECT_EQ(value.size(), kContactValueSize - 1);
  EXPECT_EQ(value.substr(value.size() - 47), "{KESTRIN REQ}{" + ip + "}\"");
  EXPECT_EQ(value.substr(0, 2), "\"a");
}

}  // namespace
}  // namespace kestrin
