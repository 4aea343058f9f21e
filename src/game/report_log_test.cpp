#include "game/report_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "client/client_session.h"
#include "game/game_test_support.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

StatusRecord row(const std::string& name, std::uint32_t wonId) {
  StatusRecord r;
  std::snprintf(r.name, sizeof r.name, "%s", name.c_str());
  r.userId = 12;
  r.wonId = wonId;
  const std::uint8_t ip[4] = {198, 51, 100, 7};
  std::memcpy(r.ip, ip, 4);
  r.port = 27005;
  return r;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const platform::LocalTime kMorning{2024, 3, 7, 9, 5, 2};

TEST(ReportLogTest, LineCarriesTheTimeTheRowAndTheMessage) {
  char line[kReportLineSize];
  std::size_t length = formatReportLine(line, kMorning, row("Alice", 345), "Alice is using a modified model or dll (player.mdl) - kicking");
  EXPECT_EQ(std::string(line, length),
            "[07.03.2024 09:05:02] \"Alice\" (345) 198.51.100.7:27005 - "
            "Alice is using a modified model or dll (player.mdl) - kicking\n");
  formatReportLine(line, platform::LocalTime{2031, 12, 31, 23, 59, 59}, row("Bob", 2147483648u), "m");
  EXPECT_EQ(std::string(line), "[31.12.2031 23:59:59] \"Bob\" (-2147483648) 198.51.100.7:27005 - m\n");
}

TEST(ReportLogTest, LongestVerdictLineIsWrittenWhole) {
  const std::string name(255, 'n');
  const std::string message = "(BETA) " + name + " is a possible cheater (ID #15) - kicking";
  char line[kReportLineSize];
  std::size_t length = formatReportLine(line, kMorning, row(name, 4294967295u), message.c_str());
  const std::string expected =
      "[07.03.2024 09:05:02] \"" + name + "\" (-1) 198.51.100.7:27005 - " + message + "\n";
  EXPECT_GT(expected.size(), 256u);
  EXPECT_EQ(std::string(line, length), expected);
}

TEST(ReportLogTest, LineTooLongForTheBufferIsCutAtALineEnd) {
  const std::string message(2000, 'x');
  char line[kReportLineSize];
  std::size_t length = formatReportLine(line, kMorning, row("Alice", 345), message.c_str());
  EXPECT_EQ(length, kReportLineSize - 1);
  EXPECT_EQ(std::strlen(line), length);
  EXPECT_EQ(line[length - 1], '\n');
}

TEST(ReportLogTest, LinesAreAppendedInOrderToAFileCreatedByTheFirst) {
  testing::ScopedWorkingDirectory folder;
  ASSERT_FALSE(std::filesystem::exists(kReportLogFileName));
  EXPECT_TRUE(appendReportLine(kReportLogFileName, "first\n"));
  EXPECT_TRUE(appendReportLine(kReportLogFileName, "second\n"));
  EXPECT_EQ(readFile(kReportLogFileName), "first\nsecond\n");
  EXPECT_FALSE(appendReportLine("missing-folder/kestrin.log", "x\n"));
}

TEST(ReportLogTest, WriteReportFindsThePlayerRowOrSaysWhy) {
  testing::ScopedWorkingDirectory folder;
  testing::OutputCapture output;
  testing::TestGame t;
  ClientSession session;
  session.game = t.game.get();
  session.userId = 12;
  session.wonId = 345;

  writeReport(session, "no row yet");
  EXPECT_EQ(output.text(), "Internal error, could not find report log player info\n");
  EXPECT_FALSE(std::filesystem::exists(kReportLogFileName));

  int index = addStatus(*t.game);
  t.game->statusRecords[index] = row("Alice", 345);
  t.game->statusRecords[index].inUse = 1;
  output.clear();
  writeReport(session, "first verdict");
  writeReport(session, "second verdict");
  EXPECT_EQ(output.text(), "");
  std::string log = readFile(kReportLogFileName);
  ASSERT_EQ(log.size(), 2 * std::strlen("[07.03.2024 09:05:02] \"Alice\" (345) 198.51.100.7:27005 - first verdict\n") + 1);
  EXPECT_NE(log.find("\"Alice\" (345) 198.51.100.7:27005 - first verdict\n["), std::string::npos);
  EXPECT_NE(log.find("\"Alice\" (345) 198.51.100.7:27005 - second verdict\n"), std::string::npos);

  // A folder where the file should be: it cannot be opened.
  std::filesystem::remove(kReportLogFileName);
  std::filesystem::create_directory(kReportLogFileName);
  writeReport(session, "third verdict");
  EXPECT_EQ(output.text(), "Internal error, could not open kestrin.log\n");
}

}  // namespace
}  // namespace kestrin
