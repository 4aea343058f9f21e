#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/output_capture.h"
#include "support/scratch_folder.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;

// The entries of a section as "name=value".
Strings entries(const Config& config, int section) {
  Strings out;
  const ConfigSection& s = config.sections[section];
  for (std::uint32_t i = 0; i < s.count; ++i) out.push_back(std::string(s.entries[i].name) + "=" + s.entries[i].value);
  return out;
}

TEST(ConfigTest, LinesOfASection) {
  const std::string name31(31, 'n'), value95(95, 'v');
  const struct {
    std::string line;
    std::string entry;    // "" when the line makes none
    std::string message;  // printed besides the parsing message
  } cases[] = {
      {"; comment with space\n", "", ""},
      {"  // another comment\n", "", ""},
      {"\t\n", "", ""},
      {"alone\n", "", ""},
      {"[GAME]\n", "", ""},
      {"#hash is a name\n", "#hash=is a name", ""},
      {"[game] \n", "[game]=", ""},
      {"twospaces  value\n", "twospaces= value", ""},
      {"tab\tname value\r\n", "tab\tname=value", ""},
      {"empty \n", "empty=", ""},
      {"trailing value   \n", "trailing=value   ", ""},
      {name31 + " ok\n", name31 + "=ok", ""},
      {name31 + "N refused\n", "", "Config: Variable name [" + name31 + "N] longer than 31 characters, line ignored\n"},
      {"a " + value95 + "\n", "a=" + value95, ""},
      {"b " + value95 + "V\n", "", "Config: Value of [b] longer than 95 characters, line ignored\n"},
  };
  for (const auto& c : cases) {
    testing::OutputCapture output;
    Config config;
    config.parseLine("rcon before any section\n");
    config.parseLine("[game]\n");
    config.parseLine(c.line.c_str());
    const std::size_t split = c.entry.find('=');
    EXPECT_EQ(entries(config, 0), c.entry.empty() ? Strings{} : Strings{c.entry}) << c.line;
    EXPECT_EQ(output.text(), c.entry.empty() ? c.message
                                             : "Config: Parsing variable [" + c.entry.substr(0, split) +
                                                   "] with parameter [" + c.entry.substr(split + 1) + "]\n")
        << c.line;
  }
}

class ConfigFileTest : public ::testing::Test {
 protected:
  // Loads `text` through a real file, as start-up does.
  void load(const std::string& text) {
    std::FILE* file = std::fopen("kestrinsv.cfg", "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    ASSERT_TRUE(config->load("kestrinsv.cfg"));
  }

  testing::ScratchFolder folder;
  testing::OutputCapture output;
  std::unique_ptr<Config> config = std::make_unique<Config>();
};

TEST_F(ConfigFileTest, SectionsOverLinesOfAnyEndAndLength) {
  EXPECT_FALSE(config->load("no-such-dir/kestrinsv.cfg"));
  // The tail of an over-long comment must not become a variable.
  load("[game]\r\nrcon 10.0.0.1:27015 secret\r\n; " + std::string(300, 'c') + " rcon 1.2.3.4:1 injected\n" +
       "  [game]\nrcon 10.0.0.3 27016 pw");
  ASSERT_EQ(config->sectionCount, 2u);
  EXPECT_EQ(entries(*config, 0), Strings{"rcon=10.0.0.1:27015 secret"});
  EXPECT_EQ(entries(*config, 1), Strings{"rcon=10.0.0.3 27016 pw"});
}

TEST_F(ConfigFileTest, NinthSectionIsRefusedWithItsLines) {
  std::string text;
  for (int i = 0; i < 9; ++i) text += "[game]\nrcon 10.0.0." + std::to_string(i) + ":27015 pw\n";
  load(text);
  ASSERT_EQ(config->sectionCount, 8u);
  EXPECT_EQ(entries(*config, 7), Strings{"rcon=10.0.0.7:27015 pw"});
  EXPECT_TRUE(output.contains("Config: Too many [game] sections, at most 8 are watched; section ignored\n"));
  EXPECT_FALSE(output.contains("10.0.0.8"));
}

TEST_F(ConfigFileTest, RepeatedNamesAreWalkedInFileOrderPastSixteenEntries) {
  std::string text = "[game]\n";
  Strings expected;
  for (int i = 0; i < 40; ++i) {
    text += "chkdll v" + std::to_string(i) + "\n";
    expected.push_back("chkdll=v" + std::to_string(i));
  }
  load(text + "empty \n");
  EXPECT_EQ(entries(*config, 0).size(), 41u);
  ConfigSection& s = config->sections[0];
  Strings walked;
  char out[kConfigValueSize] = "untouched";
  for (std::uint32_t n = s.findFirst("chkdll", out); n > 0; n = s.findNext("chkdll", out)) {
    EXPECT_EQ(n, std::string(out).size());
    walked.push_back(std::string("chkdll=") + out);
  }
  EXPECT_EQ(walked, expected);
  EXPECT_STREQ(out, "v39");
  EXPECT_EQ(s.findFirst("empty", out), 0u);
  EXPECT_EQ(s.findFirst("absent", out), 0u);
}

}  // namespace
}  // namespace kestrin
