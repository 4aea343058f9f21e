#include "config/game_entries.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/server.h"
#include "support/output_capture.h"
#include "support/pe_test_image.h"

namespace kestrin {
namespace {

// A checksum folder beside the test program holding real libraries named
// client.dll and Client.dll.
std::string checksumFolder() {
  const std::string folder = "game_entries_test_files";
  std::filesystem::create_directories(folder);
  std::vector<std::uint8_t> library = testing::sampleLibraryFile();
  for (const char* name : {"/client.dll", "/Client.dll"}) {
    std::ofstream(folder + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(library.data()), static_cast<std::streamsize>(library.size()));
  }
  return folder;
}

TEST(RconValueTest, ColonOrBlankBetweenAddressAndPort) {
  RconSetting setting;
  ASSERT_TRUE(parseRconValue("10.0.0.1:27015 secret", &setting));
  EXPECT_STREQ(setting.address, "10.0.0.1");
  EXPECT_EQ(setting.port, 27015);
  EXPECT_STREQ(setting.password, "secret");
  ASSERT_TRUE(parseRconValue("10.0.0.1 27016 secret", &setting));
  EXPECT_EQ(setting.port, 27016);
  // A colon in the password ends it.
  ASSERT_TRUE(parseRconValue("10.0.0.1:27015 pass:word", &setting));
  EXPECT_STREQ(setting.password, "pass");
}

TEST(RconValueTest, IncompleteOrOversizedValuesAreRefused) {
  testing::OutputCapture output;
  RconSetting setting;
  EXPECT_FALSE(parseRconValue("10.0.0.1:27015", &setting));
  EXPECT_FALSE(parseRconValue(":", &setting));
  EXPECT_FALSE(parseRconValue("10.0.0.1:99999999999 pw", &setting));
  EXPECT_EQ(output.text(), "");

  EXPECT_FALSE(parseRconValue("game.example.org:27015 pw", &setting));
  EXPECT_FALSE(parseRconValue("10.0.0.1:0 pw", &setting));
  EXPECT_FALSE(parseRconValue("10.0.0.1:70000 pw", &setting));
  EXPECT_FALSE(parseRconValue(("10.0.0.1:27015 " + std::string(32, 'p')).c_str(), &setting));
  EXPECT_EQ(output.text(),
            "Error: Rcon address [game.example.org] is not a dotted IPv4 address\n"
            "Error: Rcon port 0 is out of range\n"
            "Error: Rcon port 70000 is out of range\n"
            "Error: Rcon password longer than 31 characters\n");
  EXPECT_TRUE(parseRconValue(("10.0.0.1:27015 " + std::string(31, 'p')).c_str(), &setting));
}

class GameEntriesTest : public ::testing::Test {
 protected:
  ~GameEntriesTest() override { server->shutdown(); }

  bool build(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) server->config.parseLine((line + "\n").c_str());
    output.clear();
    return buildGameEntries(*server);
  }

  testing::OutputCapture output;
  std::unique_ptr<Server> server = std::make_unique<Server>();
};

TEST_F(GameEntriesTest, SameAddressAndPortIsWatchedOnce) {
  ASSERT_TRUE(build(
      "[game]\nrcon 127.0.0.1:40001 a\nexternalip 203.0.113.5\n"
      "[game]\nrcon 127.0.0.1 40001 b\nexternalip 203.0.113.6\n"
      "[game]\nrcon 127.0.0.1:40002 c\nexternalip 203.0.113.7\n"));
  ASSERT_EQ(server->gameCount, 2u);
  EXPECT_STREQ(server->games[1].rconPassword, "c");
  EXPECT_STREQ(server->games[1].externalIp, "203.0.113.7");
  EXPECT_EQ(server->games[1].configSection, &server->config.sections[2]);
  EXPECT_EQ(server->games[0].clock, &server->clockNow);
  EXPECT_EQ(findGame(*server, "127.0.0.1", 40002), 1);
  EXPECT_EQ(findGame(*server, "127.0.0.1", 40003), -1);
  std::string text = output.text();
  EXPECT_NE(text.find("Game: Monitoring [ip: 127.0.0.1] [port: 40001]\n"), std::string::npos);
  EXPECT_NE(text.find("Game: Alert, [ip: 127.0.0.1] [port: 40001] already watched\n"), std::string::npos);
  EXPECT_NE(text.find("Game: Monitoring [ip: 127.0.0.1] [port: 40002]\n"), std::string::npos);
}

TEST_F(GameEntriesTest, InvalidSectionsStopTheBuildAndEarlierEntriesStay) {
  const std::string first = "[game]\nrcon 127.0.0.1:40001 a\nexternalip 1.2.3.4\n";
  const struct {
    std::string config;
    std::string message;
    std::uint32_t games;
  } cases[] = {
      {first + "[game]\nrcon \nexternalip 1.2.3.4\n", "Error: Rcon parameter not found in game section 1\n", 1},
      {"[game]\nrcon 127.0.0.1:40001 a\n", "Error: Exeternalip entry not found\n", 0},
      {"[game]\nrcon 127.0.0.1:40001 a\nexternalip " + std::string(32, '1') + "\n",
       "Error: Externalip value [" + std::string(32, '1') + "] longer than 31 characters\n", 0},
      // The "client.dll" entry is matched in exact case.
      {first + "chkpath " + checksumFolder() + "\nchkdll Client.dll\n",
       "Game: Added dll [Client.dll] to checksum list\nError: Client.dll checksum has to be enabled\n", 0},
  };
  for (const auto& c : cases) {
    server->shutdown();
    server = std::make_unique<Server>();
    EXPECT_FALSE(build(c.config));
    EXPECT_TRUE(output.text().ends_with(c.message)) << output.text();
    EXPECT_EQ(server->gameCount, c.games);
  }
}

TEST_F(GameEntriesTest, HltvNameIsReadOnlyWithAChecksumPath) {
  ASSERT_TRUE(build(
      "[game]\nrcon 127.0.0.1:40001 a\nexternalip 1.2.3.4\nhltvname HLTV Proxy\nchkdll Client.dll\n"
      "[game]\nrcon 127.0.0.1:40002 a\nexternalip 1.2.3.4\nchkpath " + checksumFolder() +
      "\nchkdll client.dll\nhltvname HLTV Proxy\n"));
  EXPECT_FALSE(server->games[0].hltvNameSet);
  EXPECT_TRUE(server->games[1].hltvNameSet);
  EXPECT_STREQ(server->games[1].hltvName, "HLTV Proxy");
}

TEST(CheckFileTest, LibrariesFirstThenModelsEachInFileOrder) {
  Config config;
  for (const char* line : {"[game]\n", "chkmdl m1.mdl\n", "chkdll a.dll\n", "chkpath x\n", "chkmdl m2.mdl\n",
                           "chkdll client.dll\n"})
    config.parseLine(line);
  CheckFileCursor cursor;
  const char* name = nullptr;
  bool isModel = false;
  std::vector<std::string> walked;
  while (nextCheckFile(config.sections[0], &cursor, &name, &isModel))
    walked.push_back(std::string(isModel ? "model " : "library ") + name);
  EXPECT_EQ(walked, (std::vector<std::string>{"library a.dll", "library client.dll", "model m1.mdl",
                                              "model m2.mdl"}));
}

}  // namespace
}  // namespace kestrin
