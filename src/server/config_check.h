// The configuration check behind `kestrinsv --check`: kestrinsv.cfg is read
// and every game entry is built exactly as start-up does, every listed file
// digested, but no watch starts: no socket is opened, no thread started and
// no server contacted.  Unlike start-up, the check goes on past an invalid
// section, so that one run shows every problem.  Host thread only; it takes
// the print callback over while it runs and leaves none installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrin {

struct CheckedFile {
  std::string name;
  bool isModel = false;
  std::uint32_t line = 0;
  std::uint32_t nameDigest = 0;
  std::uint32_t digest = 0;
};

// A game entry that start-up would build and watch.
struct CheckedGame {
  std::uint32_t line = 0;  // of its "[game]" header
  std::string address;
  std::uint16_t port = 0;
  std::string externalIp;
  std::vector<CheckedFile> files;  // libraries, then models, as clients are asked
};

// A message the server would print about the configuration: a refused line,
// an invalid section, a file that cannot be digested, a game server listed
// twice.  `line` is the file line it concerns, 0 for the file as a whole.
struct ConfigProblem {
  std::uint32_t line = 0;
  std::string text;  // without its line end
};

struct ConfigCheck {
  bool opened = false;
  std::vector<CheckedGame> games;
  std::vector<ConfigProblem> problems;
};

ConfigCheck checkConfiguration(const char* fileName);

}  // namespace kestrin
