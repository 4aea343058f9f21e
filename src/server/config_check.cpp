#include "server/config_check.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/print.h"
#include "server/game_entries.h"
#include "server/server.h"

namespace kestrin {
namespace {

// Where the messages printed during a check go; set only while
// checkConfiguration runs (host thread).
struct Collector {
  const Config* config = nullptr;
  std::vector<ConfigProblem>* problems = nullptr;
};
Collector gCollector;

// Messages that report progress, not a problem.
bool isProgress(const char* text) {
  return std::strncmp(text, "Config: Parsing variable ", 25) == 0 || std::strncmp(text, "Game: Added ", 12) == 0;
}

void collect(const char* text) {
  if (isProgress(text)) return;
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  gCollector.problems->push_back({gCollector.config->currentLine, line});
}

CheckedGame checkedGame(const GameServer& game, ConfigSection& section) {
  CheckedGame out;
  out.line = section.line;
  out.address = game.address;
  out.port = game.port;
  out.externalIp = game.externalIp;
  // The list holds the files in the order the cursor walks them.
  CheckFileCursor cursor;
  const char* fileName = nullptr;
  bool isModel = false;
  const ChecksumList& list = game.checksumList;
  for (std::uint16_t i = 0; i < list.checkFileCount && nextCheckFile(section, &cursor, &fileName, &isModel); ++i)
    out.files.push_back({list.checkFileNames[i], isModel, section.entries[cursor.next - 1].line,
                         list.checkFileSeeds[i], list.checkFileDigests[i]});
  return out;
}

}  // namespace

ConfigCheck checkConfiguration(const char* fileName) {
  ConfigCheck check;
  auto server = std::make_unique<Server>();
  gCollector = {&server->config, &check.problems};
  setPrintCallback(&collect);
  check.opened = server->config.load(fileName);
  if (!check.opened) {
    check.problems.push_back({0, "can't open config file"});
  } else if (allocateGameEntries(*server)) {
    std::vector<std::uint32_t> sectionOfGame;
    for (std::uint32_t i = 0; i < server->config.sectionCount; ++i) {
      const std::size_t before = check.problems.size();
      RconSetting setting;
      const EntryBuild built = buildGameEntry(*server, i, &setting);
      if (built == EntryBuild::kBuilt) sectionOfGame.push_back(i);
      // The one refusal that start-up leaves unexplained.
      if (built == EntryBuild::kInvalid && check.problems.size() == before)
        printMessage("Error: Rcon value needs an address, a port and a password\n");
    }
    for (std::uint32_t g = 0; g < server->gameCount; ++g)
      check.games.push_back(checkedGame(server->games[g], server->config.sections[sectionOfGame[g]]));
  }
  setPrintCallback(nullptr);
  gCollector = {};
  std::stable_sort(check.problems.begin(), check.problems.end(),
                   [](const ConfigProblem& a, const ConfigProblem& b) { return a.line < b.line; });
  return check;
}

}  // namespace kestrin
