// Time stamps at line starts, for texts that end lines, continue them or
// hold several.
#include "kestrinsv/console.h"

#include <gtest/gtest.h>

namespace kestrin::host {
namespace {

TEST(ConsoleTest, StampsEveryLineOnceWhereverItsPiecesEnd) {
  struct Case {
    std::vector<std::string> texts;
    std::string out;
  } cases[] = {
      {{"Init finished\n", "Client connected [total: 1]\n"}, "S Init finished\nS Client connected [total: 1]\n"},
      {{"Dave: Please download client @ site", "Player Dave has never had a client\n", "next\n"},
       "S Dave: Please download client @ sitePlayer Dave has never had a client\nS next\n"},
      {{"one\ntwo", " ends\n"}, "S one\nS two ends\n"},
      {{"", "a", "", "b\n\n"}, "S ab\nS \n"},
  };
  for (const Case& c : cases) {
    LineStamper stamper;
    std::string out;
    for (const std::string& text : c.texts) out += stamper.apply(text, "S ");
    EXPECT_EQ(out, c.out) << c.texts.front();
  }
  EXPECT_EQ(timeStamp({.year = 2026, .month = 1, .day = 2, .hour = 3, .minute = 4, .second = 5}),
            "[2026-01-02 03:04:05] ");
}

}  // namespace
}  // namespace kestrin::host
