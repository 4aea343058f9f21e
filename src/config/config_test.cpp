#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/output_capture.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;

// Loads `text` through a real file, as start-up does.
std::unique_ptr<Config> loadText(const std::string& text) {
  const char* path = "config_test.cfg";
  std::FILE* file = std::fopen(path, "wb");
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  auto config = std::make_unique<Config>();
  EXPECT_TRUE(config->load(path));
  std::remove(path);
  return config;
}

// The entries of a section as "name=value".
std::vector<std::string> entries(const Config& config, int section) {
  std::vector<std::string> out;
  const ConfigSection& s = config.sections[section];
  for (std::uint32_t i = 0; i < s.count; ++i) out.push_back(std::string(s.entries[i].name) + "=" + s.entries[i].value);
  return out;
}

TEST(ConfigTest, MissingFileFailsAndEmptyFileLoads) {
  Config config;
  EXPECT_FALSE(config.load("no-such-dir/kestrinsv.cfg"));
  auto empty = loadText("");
  EXPECT_EQ(empty->sectionCount, 0u);
}

TEST(ConfigTest, ReadsSectionsAndPrintsEachVariable) {
  testing::OutputCapture output;
  auto config = loadText(
      "rcon ignored before any section\n"
      "[game]\r\n"
      "rcon 10.0.0.1:27015 secret\r\n"
      "externalip 10.0.0.2\n"
      "  [game]\n"
      "rcon 10.0.0.3 27016 pw\n");
  ASSERT_EQ(config->sectionCount, 2u);
  EXPECT_EQ(entries(*config, 0), (Strings{"rcon=10.0.0.1:27015 secret", "externalip=10.0.0.2"}));
  EXPECT_EQ(entries(*config, 1), (Strings{"rcon=10.0.0.3 27016 pw"}));
  EXPECT_TRUE(output.contains("Config: Parsing variable [rcon] with parameter [10.0.0.1:27015 secret]\n"));
  EXPECT_FALSE(output.contains("ignored before"));
}

TEST(ConfigTest, CommentsHeadersAndSeparators) {
  auto config = loadText(
      "[game]\n"
      "; comment with space\n"
      "  // another comment\n"
      "\t\n"
      "#hash is a name\n"
      "[GAME]\n"
      "[game] \n"
      "twospaces  value\n"
      "tab\tname value\n"
      "alone\n"
      "empty \n"
      "trailing value   \n");
  ASSERT_EQ(config->sectionCount, 1u);
  EXPECT_EQ(entries(*config, 0), (Strings{"#hash=is a name", "[game]=", "twospaces= value", "tab\tname=value",
                                          "empty=", "trailing=value   "}));
}

TEST(ConfigTest, FindFirstAndNextWalkRepeatedNames) {
  auto config = loadText(
      "[game]\n"
      "chkdll client.dll\n"
      "other x\n"
      "chkdll mp.dll\n"
      "empty \n"
      "trailing value   \n");
  ConfigSection& s = config->sections[0];
  char out[kConfigValueSize] = "untouched";
  EXPECT_EQ(s.findFirst("chkdll", out), 10u);
  EXPECT_STREQ(out, "client.dll");
  EXPECT_EQ(s.findNext("chkdll", out), 6u);
  EXPECT_STREQ(out, "mp.dll");
  EXPECT_EQ(s.findNext("chkdll", out), 0u);
  EXPECT_STREQ(out, "mp.dll");
  EXPECT_EQ(s.cursor, s.count);
  EXPECT_EQ(s.findFirst("empty", out), 0u);
  EXPECT_EQ(s.findFirst("trailing", out), 8u);
  EXPECT_STREQ(out, "value   ");
  EXPECT_EQ(s.findFirst("absent", out), 0u);
}

TEST(ConfigTest, GrowsPastSixteenEntriesKeepingOrder) {
  std::string text = "[game]\n";
  for (int i = 0; i < 40; ++i) text += "name" + std::to_string(i) + " v" + std::to_string(i) + "\n";
  auto config = loadText(text);
  Strings expected;
  for (int i = 0; i < 40; ++i) expected.push_back("name" + std::to_string(i) + "=v" + std::to_string(i));
  EXPECT_EQ(entries(*config, 0), expected);
}

TEST(ConfigTest, RefusesOverlongNamesAndValuesWithoutCorruption) {
  testing::OutputCapture output;
  std::string name31(31, 'n'), name32(32, 'N');
  std::string value95(95, 'v'), value96(96, 'V');
  auto config = loadText("[game]\n" + name31 + " ok\n" + name32 + " refused\n" + "a " + value95 +
                         "\n" + "b " + value96 + "\n" + "c last\n");
  EXPECT_EQ(entries(*config, 0), (Strings{name31 + "=ok", "a=" + value95, "c=last"}));
  EXPECT_TRUE(output.contains("Config: Variable name [" + name32 + "] longer than 31 characters"));
  EXPECT_TRUE(output.contains("Config: Value of [b] longer than 95 characters"));
}

TEST(ConfigTest, LongLinesNeverYieldVariablesFromTheirRest) {
  // The tail of an over-long comment must not become a variable.
  std::string comment = "; " + std::string(300, 'c') + " rcon 1.2.3.4:1 injected\n";
  auto config = loadText("[game]\n" + comment + "rcon 10.0.0.1:27015 pw\n");
  EXPECT_EQ(entries(*config, 0), (Strings{"rcon=10.0.0.1:27015 pw"}));
}

TEST(ConfigTest, NinthSectionIsRefusedWithItsLines) {
  testing::OutputCapture output;
  std::string text;
  for (int i = 0; i < 9; ++i) text += "[game]\nrcon 10.0.0." + std::to_string(i) + ":27015 pw\n";
  auto config = loadText(text);
  ASSERT_EQ(config->sectionCount, 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(entries(*config, i), (Strings{"rcon=10.0.0." + std::to_string(i) + ":27015 pw"}));
  EXPECT_TRUE(output.contains("Config: Too many [game] sections"));
  EXPECT_FALSE(output.contains("10.0.0.8"));
}

}  // namespace
}  // namespace kestrin
