#include "server/game_entries.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "server/server.h"
#include "support/output_capture.h"
#include "support/pe_test_image.h"
#include "support/scratch_folder.h"

namespace kestrin {
namespace {

// A checksum folder beside the test program holding a real library under
// the names client.dll and Client.dll, and a model m1.mdl.
std::string checksumFolder() {
  const std::string folder = "game_entries_test_files";
  std::filesystem::create_directories(folder);
  std::vector<std::uint8_t> library = testing::sampleLibraryFile();
  for (const char* name : {"/client.dll", "/Client.dll", "/m1.mdl"}) testing::writeFile(folder + name, library);
  return folder;
}

TEST(RconValueTest, AddressPortAndPassword) {
  const std::string pw31(31, 'p');
  const struct {
    std::string value;
    std::string setting;  // "" when refused
    const char* message;
  } cases[] = {
      {"10.0.0.1:27015 secret", "10.0.0.1|27015|secret", ""},
      {"10.0.0.1 27016 secret", "10.0.0.1|27016|secret", ""},
      {"10.0.0.1:27015 pass:word", "10.0.0.1|27015|pass", ""},  // a colon ends the password
      {"10.0.0.1:65535 " + pw31, "10.0.0.1|65535|" + pw31, ""},
      {"10.0.0.1:27015", "", ""},
      {":", "", ""},
      {"10.0.0.1:99999999999 pw", "", ""},
      {"game.example.org:27015 pw", "", "Error: Rcon address [game.example.org] is not a dotted IPv4 address\n"},
      {"10.0.0.1:0 pw", "", "Error: Rcon port 0 is out of range\n"},
      {"10.0.0.1:65536 pw", "", "Error: Rcon port 65536 is out of range\n"},
      {"10.0.0.1:27015 " + pw31 + "p", "", "Error: Rcon password longer than 31 characters\n"},
  };
  for (const auto& c : cases) {
    testing::OutputCapture output;
    RconSetting s;
    std::string got;
    if (parseRconValue(c.value.c_str(), &s)) got = std::string(s.address) + "|" + std::to_string(s.port) + "|" + s.password;
    EXPECT_EQ(got, c.setting) << c.value;
    EXPECT_EQ(output.text(), c.message) << c.value;
  }
}

class GameEntriesTest : public ::testing::Test {
 protected:
  ~GameEntriesTest() override { server->shutdown(); }

  bool build(const std::string& text) {
    server->shutdown();
    server = std::make_unique<Server>();
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
  EXPECT_STREQ(server->games[1].link.password, "c");
  EXPECT_STREQ(server->games[1].externalIp, "203.0.113.7");
  EXPECT_EQ(findGame(*server, "127.0.0.1", 40002), 1);
  EXPECT_EQ(findGame(*server, "127.0.0.1", 40003), -1);
  EXPECT_TRUE(output.contains("Game: Monitoring [ip: 127.0.0.1] [port: 40001]\n"));
  EXPECT_TRUE(output.contains("Game: Alert, [ip: 127.0.0.1] [port: 40001] already watched\n"));
  EXPECT_TRUE(output.contains("Game: Monitoring [ip: 127.0.0.1] [port: 40002]\n"));
}

TEST_F(GameEntriesTest, InvalidSectionsStopTheBuildAndEarlierEntriesStay) {
  const std::string first = "[game]\nrcon 127.0.0.1:40001 a\nexternalip 1.2.3.4\n";
  const std::string ip32(32, '1');
  const struct {
    std::string config;
    std::string message;
    std::uint32_t games;
  } cases[] = {
      {first + "[game]\nrcon \nexternalip 1.2.3.4\n", "Error: Rcon parameter not found in game section 1\n", 1},
      {first + "[game]\nrcon 127.0.0.1:0 a\n", "Error: Rcon port 0 is out of range\n", 1},
      {"[game]\nrcon 127.0.0.1:40001 a\n", "Error: Exeternalip entry not found\n", 0},
      {"[game]\nrcon 127.0.0.1:40001 a\nexternalip " + ip32 + "\n",
       "Error: Externalip value [" + ip32 + "] longer than 31 characters\n", 0},
      // The "client.dll" entry is matched in exact case.
      {first + "chkpath " + checksumFolder() + "\nchkdll Client.dll\n",
       "Game: Added dll [Client.dll] to checksum list\nError: Client.dll checksum has to be enabled\n", 0},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(build(c.config));
    EXPECT_TRUE(output.text().ends_with(c.message)) << output.text();
    EXPECT_EQ(server->gameCount, c.games);
  }
}

TEST_F(GameEntriesTest, ListedFilesAndTheHltvNameAreReadOnlyWithAChecksumPath) {
  ASSERT_TRUE(build(
      "[game]\nrcon 127.0.0.1:40001 a\nexternalip 1.2.3.4\nhltvname HLTV Proxy\nchkdll Client.dll\n"
      "[game]\nrcon 127.0.0.1:40002 a\nexternalip 1.2.3.4\nchkpath " + checksumFolder() +
      "\nchkmdl m1.mdl\nchkdll client.dll\nhltvname HLTV Proxy\nchkdll Client.dll\n"));
  EXPECT_FALSE(server->games[0].hltvNameSet);
  EXPECT_EQ(server->games[0].checksumList.checkFileCount, 0);
  EXPECT_TRUE(server->games[1].hltvNameSet);
  EXPECT_STREQ(server->games[1].hltvName, "HLTV Proxy");
  EXPECT_EQ(server->games[1].checksumList.checkFileCount, 3);

  // Libraries first, then models, each in file order.
  CheckFileCursor cursor;
  const char* name = nullptr;
  bool isModel = false;
  std::vector<std::string> walked;
  while (nextCheckFile(server->config.sections[1], &cursor, &name, &isModel))
    walked.push_back(std::string(isModel ? "model " : "library ") + name);
  EXPECT_EQ(walked, (std::vector<std::string>{"library client.dll", "library Client.dll", "model m1.mdl"}));
}

}  // namespace
}  // namespace kestrin
