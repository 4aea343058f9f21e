// kestrin-status: prints the status file that a running server rewrites
// every 10 seconds in its folder as readable tables, or passes it on as it is.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "kestrin-status/status_report.h"

namespace {

enum ExitStatus { kExitOk = 0, kExitBadFile = 1, kExitUsage = 2 };

void usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: kestrin-status [--json] [FILE]\n"
               "\n"
               "Prints the status of a running Kestrin server from FILE, by default\n"
               "kestrin-status.json in the current folder, which the server rewrites\n"
               "every 10 seconds: the server, every game server with its players and\n"
               "their clients, the clients in the handshake and the counters since the\n"
               "start.\n"
               "\n"
               "  --json  print the file as it is\n"
               "  --help  show this text\n"
               "\n"
               "Exit status: 0 when the status was printed, 1 when the file cannot be\n"
               "read or is no status file, 2 on a usage error.\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool raw = false;
  std::string path = "kestrin-status.json";
  bool pathGiven = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return kExitOk;
    }
    if (std::strcmp(argv[i], "--json") == 0) {
      raw = true;
    } else if (argv[i][0] != '-' && !pathGiven) {
      path = argv[i];
      pathGiven = true;
    } else {
      usage(stderr);
      return kExitUsage;
    }
  }

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kestrin-status: cannot read %s (is the server running in this folder?)\n", path.c_str());
    return kExitBadFile;
  }
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::string report;
  std::string error;
  if (!kestrin::status::renderStatus(bytes.str(), &report, &error)) {
    std::fprintf(stderr, "kestrin-status: %s is no status file: %s\n", path.c_str(), error.c_str());
    return kExitBadFile;
  }
  std::fputs(raw ? bytes.str().c_str() : report.c_str(), stdout);
  return kExitOk;
}
