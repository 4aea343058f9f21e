// Shared setup of the monitoring end-to-end tests: configuration sections
// that point at a simulated game server, and small look-ups in what the
// simulator received.  Linux only; test code.
#pragma once

#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/pe_test_image.h"
#include "sim/game_server_sim.h"

namespace kestrin::e2e {

// A "[game]" section watching 127.0.0.1:`port`.
inline std::string gameSection(std::uint16_t port, const std::string& password = "secret",
                               const std::string& externalIp = "203.0.113.5",
                               const std::string& extraLines = "") {
  return "[game]\nrcon 127.0.0.1:" + std::to_string(port) + " " + password + "\nexternalip " + externalIp +
         "\n" + extraLines;
}

// Lines for a checksum folder holding client.dll, which the HLTV name needs.
inline std::string checksumLines(const ScratchDir& dir) {
  std::vector<std::uint8_t> library = testing::sampleLibraryFile();
  dir.write("client.dll", std::string(library.begin(), library.end()));
  return "chkpath " + dir.path() + "\nchkdll client.dll\n";
}

// Index of the first accepted line equal to `line`, or -1.
inline int acceptedIndex(const sim::GameServerSim& sim, const std::string& line) {
  std::vector<std::string> lines = sim.acceptedLines();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == line) return static_cast<int>(i);
  return -1;
}

inline sim::SimPlayer player(const std::string& name, std::uint32_t userId, std::uint32_t wonId,
                             int seconds = 0) {
  sim::SimPlayer p;
  p.name = name;
  p.userId = userId;
  p.wonId = wonId;
  p.connectedSeconds = seconds;
  return p;
}

}  // namespace kestrin::e2e
