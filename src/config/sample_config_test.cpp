// The sample configuration shipped in docs/ reads as its comments say.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "config/game_entries.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

std::vector<std::string> valuesOf(ConfigSection& section, const char* name) {
  std::vector<std::string> values;
  char value[kConfigValueSize];
  for (std::uint32_t n = section.findFirst(name, value); n > 0; n = section.findNext(name, value))
    values.emplace_back(value);
  return values;
}

TEST(SampleConfigTest, TwoGameSectionsWithEveryKey) {
  testing::OutputCapture output;
  Config config;
  ASSERT_TRUE(config.load(KESTRIN_SAMPLE_CONFIG));
  EXPECT_EQ(output.text().find("ignored"), std::string::npos) << output.text();
  ASSERT_EQ(config.sectionCount, 2u);

  ConfigSection& first = config.sections[0];
  EXPECT_EQ(valuesOf(first, "rcon"), std::vector<std::string>{"192.0.2.10:27015 Ch4ngeMe"});
  EXPECT_EQ(valuesOf(first, "externalip"), std::vector<std::string>{"192.0.2.20"});
  EXPECT_EQ(valuesOf(first, "chkpath"), std::vector<std::string>{"C:\\kestrin\\cstrike-files"});
  EXPECT_EQ(valuesOf(first, "chkdll"), std::vector<std::string>{"client.dll"});
  EXPECT_EQ(valuesOf(first, "chkmdl"), (std::vector<std::string>{"gordon.mdl", "gign.mdl"}));
  EXPECT_EQ(valuesOf(first, "hltvname"), std::vector<std::string>{"HLTV Proxy"});
  EXPECT_EQ(first.count, 7u);

  ConfigSection& second = config.sections[1];
  EXPECT_EQ(second.count, 2u);
  EXPECT_TRUE(valuesOf(second, "chkpath").empty());

  const char* ports[] = {"27015", "27016"};
  for (std::uint32_t i = 0; i < 2; ++i) {
    char value[kConfigValueSize];
    ASSERT_GT(config.sections[i].findFirst("rcon", value), 0u);
    RconSetting setting;
    ASSERT_TRUE(parseRconValue(value, &setting)) << value;
    EXPECT_STREQ(setting.address, "192.0.2.10");
    EXPECT_EQ(std::to_string(setting.port), ports[i]);
  }
}

}  // namespace
}  // namespace kestrin
