#include "kestrinsv/config_report.h"

#include <algorithm>
#include <cstdio>

namespace kestrin::host {

int printConfigReport(const char* fileName, const ConfigCheck& check) {
  std::size_t nameWidth = 0;
  for (const CheckedGame& game : check.games)
    for (const CheckedFile& file : game.files) nameWidth = std::max(nameWidth, file.name.size());
  const auto games = static_cast<unsigned>(check.games.size());
  std::printf("%s: %u game server%s\n", fileName, games, games == 1 ? "" : "s");
  for (const CheckedGame& game : check.games) {
    std::printf("Game %s:%u (line %u), external address %s%s\n", game.address.c_str(),
                static_cast<unsigned>(game.port), static_cast<unsigned>(game.line), game.externalIp.c_str(),
                game.files.empty() ? ", no files checked" : "");
    for (const CheckedFile& file : game.files)
      std::printf("  line %-4u %-*s  %s  name digest 0x%08X  digest 0x%08X\n", static_cast<unsigned>(file.line),
                  static_cast<int>(nameWidth), file.name.c_str(), file.isModel ? "mdl" : "dll",
                  static_cast<unsigned>(file.nameDigest), static_cast<unsigned>(file.digest));
  }
  if (!check.problems.empty()) std::printf("Problems:\n");
  for (const ConfigProblem& problem : check.problems) {
    if (problem.line == 0)
      std::printf("  %s\n", problem.text.c_str());
    else
      std::printf("  line %u: %s\n", static_cast<unsigned>(problem.line), problem.text.c_str());
  }
  const auto count = static_cast<unsigned>(check.problems.size());
  if (count == 0)
    std::printf("%s: no problems\n", fileName);
  else
    std::printf("%s: %u problem%s\n", fileName, count, count == 1 ? "" : "s");
  std::fflush(stdout);
  return count == 0 ? 0 : 2;
}

}  // namespace kestrin::host
