// What operators rely on before a start: the configuration check, which
// contacts nobody.
#include <cstdio>
#include <filesystem>

#include "digest/checksum_list.h"
#include "e2e/e2e_support.h"
#include "support/pe_test_image.h"

namespace kestrin::e2e {
namespace {

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
                             "rcon 127.0.0.1:27017 pw\n"
                             "externalip 203.0.113.5\n"
                             "averyveryverylongvariablenamexxxxx on\n"
                             "[game]\n"
                             "rcon 127.0.0.1:27017 other\n");
  const CommandResult result = check(dir);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output,
            "kestrinsv.cfg: 1 game server\n"
            "Game 127.0.0.1:27017 (line 9), external address 203.0.113.5, no files checked\n"
            "Problems:\n"
            "  line 6: Game: Can't open dll " + dir.path() + "/client.dll\n"
            "  line 7: Error: Exeternalip entry not found\n"
            "  line 12: Config: Variable name [averyveryverylongvariablenamexxxxx] longer than 31 characters, line "
            "ignored\n"
            "  line 14: Game: Alert, [ip: 127.0.0.1] [port: 27017] already watched\n"
            "kestrinsv.cfg: 4 problems\n");
}

}  // namespace
}  // namespace kestrin::e2e
