#include "rcon/reply_lines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

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
    StatusLine r;
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

}  // namespace
}  // namespace kestrin
