// The sample configuration shipped in docs/ reads as its comments say.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "server/game_entries.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;

Strings valuesOf(ConfigSection& section, const char* name) {
  Strings values;
  char value[kConfigValueSize];
  for (std::uint32_t n = section.findFirst(name, value); n > 0; n = section.findNext(name, value))
    values.emplace_back(value);
  return values;
}

TEST(SampleConfigTest, TwoGameSectionsWithEveryKey) {
  testing::OutputCapture output;
  Config config;
  ASSERT_TRUE(config.load(KESTRIN_SAMPLE_CONFIG));
  EXPECT_FALSE(output.contains("ignored")) << output.text();
  ASSERT_EQ(config.sectionCount, 2u);
  EXPECT_EQ(config.sections[0].count, 7u);
  EXPECT_EQ(config.sections[1].count, 2u);
  EXPECT_EQ(valuesOf(config.sections[0], "chkmdl"), (Strings{"gordon.mdl", "gign.mdl"}));
  for (std::uint16_t i = 0; i < 2; ++i) {
    RconSetting setting;
    ASSERT_TRUE(parseRconValue(valuesOf(config.sections[i], "rcon").at(0).c_str(), &setting));
    EXPECT_EQ(setting.port, 27015 + i);
  }
}

}  // namespace
}  // namespace kestrin
