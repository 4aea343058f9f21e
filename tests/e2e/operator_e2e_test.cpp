// What operators rely on, through the host and the real library: the live
// status file through a story of players and their clients, and the
// configuration check before a start, which contacts nobody.
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "digest/checksum_list.h"
#include "e2e/e2e_support.h"
#include "support/pe_test_image.h"

namespace kestrin::e2e {
namespace {

using nlohmann::json;

struct CommandResult {
  int status;
  std::string output;
};

// Runs program `tool` of the build in `directory`; its exit status and
// output.
CommandResult runTool(const std::string& directory, const std::string& tool) {
  CommandResult result{-1, ""};
  std::FILE* pipe = ::popen(
      ("cd '" + directory + "' && '" + std::getenv("KESTRIN_BINARY_DIR") + "/bin/" + tool + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The status file of `dir` parsed, null while there is none.
json status(const ScratchDir& dir) {
  const std::string text = readFile(dir.file("kestrin-status.json"));
  return text.empty() ? json() : json::parse(text);
}

// The player `userId` of the first game in `s`, null when not listed.
json playerOf(const json& s, std::uint32_t userId) {
  if (s.is_null()) return json();
  for (const json& p : s["games"][0]["players"])
    if (p["userId"] == userId) return p;
  return json();
}

using StatusTest = E2eTest;

TEST_F(StatusTest, PlayersClientsAndCountersThroughAStory) {
  sim::GameServerSim& game =
      addGame(27015, {player("Alice", 12, 345), player("Mallory", 13, 346), player("Carol", 14, 347),
                      player("Dave", 15, 348, 85)},
              gameSection(27015, "secret", "203.0.113.5", files.lines));
  addGame(27016, {}, gameSection(27016, "not-the-password"));
  game.setListed(14, false, true);  // Carol connects: in users, not yet in status
  ASSERT_TRUE(startHost(1));

  // Dave, without a client at 1:25, is asked to get one, then leaves before
  // he would be banned; the second game refuses the password.
  json s;
  ASSERT_TRUE(waitUntil([&] { return playerOf(s = status(dir), 15)["client"] == "notice given"; }, 40000)) << s;
  game.removePlayer(15);
  EXPECT_EQ(s["version"], 1003);
  EXPECT_EQ(s["masterTime"], 1000000);
  EXPECT_EQ(s["games"][0]["console"], "ready");
  EXPECT_TRUE(s["games"][0]["lastPoll"].is_string());
  EXPECT_EQ(s["games"][1]["console"], "refused");
  EXPECT_EQ(s["games"][1]["lastPoll"], nullptr);
  EXPECT_EQ(playerOf(s, 12)["client"], "none");
  EXPECT_EQ(playerOf(s, 12)["name"], "Alice");
  EXPECT_GE(playerOf(s, 12)["connected"], 10);

  // A connection that never says hello waits in the handshake for 10 s: one
  // after the other, until a status file shows one.
  sim::ClientConnection silent;
  int timeouts = host->countInOutput("Client timeout...");
  ASSERT_TRUE(waitUntil(
      [&] {
        if (!silent.isOpen() || host->countInOutput("Client timeout...") > timeouts) {
          timeouts = host->countInOutput("Client timeout...");
          silent.close();
          silent.connect(wire::kClientPort);
        }
        const json pending = status(dir)["pending"];
        return pending.size() == 1 && pending[0]["state"] == "awaiting hello" && pending[0]["seconds"] <= 10;
      },
      25000));
  silent.close();

  // Alice's client answers right, Mallory's gives a cheat value, Carol's
  // stays attached while her player is missing from status.
  std::vector<std::unique_ptr<sim::ClientSim>> clients;
  for (auto [userId, wonId, policy] : {std::tuple{12u, 345u, sim::AnswerPolicy::kHonest},
                                       std::tuple{13u, 346u, sim::AnswerPolicy::kWrongValue},
                                       std::tuple{14u, 347u, sim::AnswerPolicy::kHonest}}) {
    sim::ClientSim::Options options = clientOptions(userId, wonId);
    options.policy = policy;
    options.policyIndex = 1;
    clients.push_back(std::make_unique<sim::ClientSim>(options));
    ASSERT_TRUE(clients.back()->start());
  }
  ASSERT_TRUE(waitUntil([&] { return playerOf(s = status(dir), 12)["client"] == "joined"; }, 30000)) << s;
  EXPECT_EQ(playerOf(s, 14)["client"], "attached");
  EXPECT_EQ(playerOf(s, 14)["name"], "Carol");
  EXPECT_EQ(playerOf(s, 12)["lastCheck"], nullptr);
  ASSERT_TRUE(waitUntil([&] { return playerOf(s = status(dir), 12)["client"] == "authenticated"; }, 70000)) << s;
  EXPECT_TRUE(playerOf(s, 12)["lastCheck"].is_string());
  // Mallory's verdict: a ban and a kick (the reconciliation may kick her
  // player once more before the game server has let her go).
  ASSERT_TRUE(waitUntil([&] { return (s = status(dir))["counters"]["kicks"] >= 1; }, 30000)) << s;
  const json& counters = s["counters"];
  EXPECT_EQ(counters["clientsKeyed"], 3);
  EXPECT_GE(counters["checksPassed"], 1);
  EXPECT_EQ(counters["verdicts"], 1);
  EXPECT_EQ(counters["bans"], 1);

  const CommandResult shown = runTool(dir.path(), "kestrin-status");
  EXPECT_EQ(shown.status, 0);
  const std::size_t alice = shown.output.find("\n  Alice ");
  ASSERT_NE(alice, std::string::npos) << shown.output;
  EXPECT_NE(shown.output.substr(alice, shown.output.find('\n', alice + 1) - alice).find(" authenticated "),
            std::string::npos)
      << shown.output;
}

// Runs kestrinsv --check in `dir`, where a game server listens on the first
// configured port and an update server on port 80: neither hears a word.
CommandResult check(const ScratchDir& dir) {
  sim::UpdateServerSim updates;
  EXPECT_TRUE(updates.start(80));
  sim::GameServerSim game(sim::GameServerSim::Options{.port = 27015});
  HostProcess host(dir.path(), "--check", &updates);
  const int status = host.waitExit();
  EXPECT_TRUE(updates.queries().empty());
  EXPECT_TRUE(game.requests().empty());
  return {status, host.output()};
}

TEST(CheckTest, TheSampleConfigurationWithItsFiles) {
  ScratchDir dir;
  const std::string folder = "C:\\kestrin\\cstrike-files";  // a plain name on Linux
  std::filesystem::create_directory(dir.file(folder));
  std::vector<std::uint8_t> library = testing::sampleLibraryFile();
  dir.write(folder + "/client.dll", std::string(library.begin(), library.end()));
  dir.write(folder + "/gordon.mdl", std::string(1000, 'g'));
  dir.write(folder + "/gign.mdl", std::string(2000, 'i'));
  dir.write("kestrinsv.cfg", readFile(KESTRIN_SAMPLE_CONFIG));

  const CommandResult result = check(dir);
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("kestrinsv.cfg: 2 game servers\nGame 192.0.2.10:27015 (line "), std::string::npos)
      << result.output;
  // Each file with the digests the server's own code gives it.
  ChecksumList list;
  for (auto [name, isModel] : {std::pair{"client.dll", false}, {"gordon.mdl", true}, {"gign.mdl", true}}) {
    ASSERT_TRUE(list.addCheckFile(dir.file(folder).c_str(), name, isModel));
    char line[128];
    const std::uint16_t last = list.checkFileCount - 1;
    std::snprintf(line, sizeof line, " %-10s  %s  name digest 0x%08X  digest 0x%08X\n", name,
                  isModel ? "mdl" : "dll", list.checkFileSeeds[last], list.checkFileDigests[last]);
    EXPECT_NE(result.output.find(line), std::string::npos) << line << result.output;
  }
  EXPECT_NE(result.output.find(", external address 192.0.2.20, no files checked\nkestrinsv.cfg: no problems\n"),
            std::string::npos)
      << result.output;
}

TEST(CheckTest, EveryProblemWithItsLine) {
  ScratchDir dir;
  EXPECT_EQ(check(dir).output, "kestrinsv.cfg: 0 game servers\nProblems:\n  can't open config file\n"
                               "kestrinsv.cfg: 1 problem\n");
  dir.write("m1.mdl", "model");
  dir.write("kestrinsv.cfg", "[game]\n"
                             "rcon 127.0.0.1:27015 secret\n"
                             "externalip 203.0.113.5\n"
                             "chkpath " + dir.path() + "\n"
                             "chkmdl m1.mdl\n"
                             "chkdll client.dll\n"
                             "[game]\n"
                             "rcon 127.0.0.1:27016 secret\n"
                             "[game]\n"
                             "rcon 127.0.0.1 secret\n"
                             "[game]\n"
                             "rcon 127.0.0.1:27017 pw\n"
                             "externalip 203.0.113.5\n"
                             "averyveryverylongvariablenamexxxxx on\n"
                             "[game]\n"
                             "rcon 127.0.0.1:27017 other\n");
  const CommandResult result = check(dir);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output,
            "kestrinsv.cfg: 1 game server\n"
            "Game 127.0.0.1:27017 (line 11), external address 203.0.113.5, no files checked\n"
            "Problems:\n"
            "  line 6: Game: Can't open dll " + dir.path() + "/client.dll\n"
            "  line 7: Error: Exeternalip entry not found\n"
            "  line 10: Error: Rcon value needs an address, a port and a password\n"
            "  line 14: Config: Variable name [averyveryverylongvariablenamexxxxx] longer than 31 characters, line "
            "ignored\n"
            "  line 16: Game: Alert, [ip: 127.0.0.1] [port: 27017] already watched\n"
            "kestrinsv.cfg: 5 problems\n");
}

}  // namespace
}  // namespace kestrin::e2e
