#include "game/report_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "client/client_session.h"
#include "support/game_test_support.h"
#include "support/output_capture.h"
#include "support/scratch_folder.h"

namespace kestrin {
namespace {

StatusRecord row(const std::string& name, std::uint32_t wonId) {
  StatusRecord r;
  std::snprintf(r.name, sizeof r.name, "%s", name.c_str());
  r.inUse = 1;
  r.userId = 12;
  r.wonId = wonId;
  const std::uint8_t ip[4] = {198, 51, 100, 7};
  std::memcpy(r.ip, ip, 4);
  r.port = 27005;
  return r;
}

std::string format(const platform::LocalTime& time, const StatusRecord& r, const std::string& message) {
  char line[kReportLineSize];
  std::size_t length = formatReportLine(line, time, r, message.c_str());
  EXPECT_EQ(std::strlen(line), length);
  return line;
}

TEST(ReportLogTest, LineCarriesTheTimeTheRowAndTheMessage) {
  const platform::LocalTime morning{2024, 3, 7, 9, 5, 2};
  EXPECT_EQ(format(morning, row("Alice", 345), "m"), "[07.03.2024 09:05:02] \"Alice\" (345) 198.51.100.7:27005 - m\n");
  EXPECT_EQ(format({2031, 12, 31, 23, 59, 59}, row("Bob", 2147483648u), "m"),
            "[31.12.2031 23:59:59] \"Bob\" (-2147483648) 198.51.100.7:27005 - m\n");
  // The longest verdict fits whole; a longer line is cut at a line end.
  const std::string name(255, 'n');
  const std::string verdict = "(BETA) " + name + " is a possible cheater (ID #15) - kicking";
  EXPECT_EQ(format(morning, row(name, 4294967295u), verdict),
            "[07.03.2024 09:05:02] \"" + name + "\" (-1) 198.51.100.7:27005 - " + verdict + "\n");
  const std::string cut = format(morning, row("Alice", 345), std::string(2000, 'x'));
  EXPECT_EQ(cut.size(), kReportLineSize - 1);
  EXPECT_EQ(cut.back(), '\n');
}

TEST(ReportLogTest, WriteReportAppendsForThePlayerRowOrSaysWhy) {
  testing::ScratchFolder folder;
  testing::OutputCapture output;
  testing::TestGame t;
  ClientSession session;
  session.userId = 12;
  session.wonId = 345;

  writeReport(*t.game, session, "no row yet");
  EXPECT_EQ(output.text(), "Internal error, could not find report log player info\n");
  EXPECT_FALSE(std::filesystem::exists(kReportLogFileName));

  t.game->players.statusRecords[0] = row("Alice", 345);
  t.game->players.statusRecordCount = 1;
  output.clear();
  writeReport(*t.game, session, "first verdict");
  writeReport(*t.game, session, "second verdict");
  EXPECT_EQ(output.text(), "");
  const std::string log = testing::readFile(kReportLogFileName, true);
  const std::string tail = "] \"Alice\" (345) 198.51.100.7:27005 - ";
  EXPECT_NE(log.find(tail + "first verdict\n["), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with(tail + "second verdict\n")) << log;

  // A folder where the file should be: it cannot be opened.
  std::filesystem::remove(kReportLogFileName);
  std::filesystem::create_directory(kReportLogFileName);
  writeReport(*t.game, session, "third verdict");
  EXPECT_EQ(output.text(), "Internal error, could not open kestrin.log\n");
}

}  // namespace
}  // namespace kestrin
