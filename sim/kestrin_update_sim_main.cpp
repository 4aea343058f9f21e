// kestrin-update-sim: runs the simulated update server on its own, for
// demonstrations and manual trials.  Prints every request it receives and
// runs until interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/update_server_sim.h"

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void onSignal(int) { gInterrupted = 1; }

void usage() {
  std::printf(
      "Usage: kestrin-update-sim [options]\n"
      "\n"
      "Serves the update list and update images over HTTP/1.0.\n"
      "\n"
      "  --port N             port to listen on (default 80)\n"
      "  --time T             master time in the update list (default 1000000)\n"
      "  --host ADDR          host named in the list's sv and cv lines\n"
      "                       (default 127.0.0.1)\n"
      "  --server-image FILE  serve FILE (made by kestrin-image) as /kestrinsv.img\n"
      "                       and name it in the list as sv\n"
      "  --client-image FILE  serve FILE as /cldll.img and name it as cv\n"
      "  --sign PRIVATE.pem   serve the signatures of both images beside them\n"
      "                       (/kestrinsv.img.sig, /cldll.img.sig); a --file or\n"
      "                       --fault at those paths serves a wrong or no one\n"
      "  --images-once        name the images in the first update list only\n"
      "  --time-runs          the master time of the standing list runs on from T\n"
      "                       in milliseconds of this program's own clock, so\n"
      "                       that a later check does not set a server's clock\n"
      "                       back\n"
      "  --file PATH=FILE     serve FILE at PATH\n"
      "  --fault PATH=KIND    answer PATH (/update.php for the list) with a fault:\n"
      "                       notfound, nolength, wronglength, stall, keepopen\n"
      "  --help               show this text\n");
}

bool readFile(const std::string& name, std::string* content) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  *content = text.str();
  return true;
}

bool parseFault(const std::string& kind, kestrin::sim::HttpFault* fault) {
  using kestrin::sim::HttpFault;
  if (kind == "notfound") *fault = HttpFault::kNotFound;
  else if (kind == "nolength") *fault = HttpFault::kNoContentLength;
  else if (kind == "wronglength") *fault = HttpFault::kWrongLength;
  else if (kind == "stall") *fault = HttpFault::kStall;
  else if (kind == "keepopen") *fault = HttpFault::kKeepOpen;
  else return false;
  return true;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "kestrin-update-sim: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  kestrin::sim::UpdateServerSim server;
  unsigned long port = 80;
  unsigned long time = 1000000;
  std::string host = "127.0.0.1";
  std::string serverPath;
  std::string clientPath;
  bool imagesOnce = false;
  bool timeRuns = false;
  std::string signingKey;
  std::vector<std::pair<std::string, std::string>> images;
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      usage();
      return 0;
    }
    if (option == "--images-once") {
      imagesOnce = true;
      continue;
    }
    if (option == "--time-runs") {
      timeRuns = true;
      continue;
    }
    if (i + 1 >= argc) return fail("missing value for " + option + " (try --help)");
    std::string value = argv[++i];
    std::string content;
    std::size_t equals = value.find('=');
    if (option == "--port") {
      port = std::strtoul(value.c_str(), nullptr, 10);
      if (port == 0 || port > 65535) return fail("bad port " + value);
    } else if (option == "--time") {
      time = std::strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--host") {
      host = value;
    } else if (option == "--server-image" || option == "--client-image") {
      if (!readFile(value, &content)) return fail("cannot read " + value);
      std::string& path = option == "--server-image" ? serverPath : clientPath;
      path = option == "--server-image" ? "/kestrinsv.img" : "/cldll.img";
      images.emplace_back(path, content);
    } else if (option == "--sign") {
      if (!readFile(value, &signingKey)) return fail("cannot read " + value);
    } else if (option == "--file" && equals != std::string::npos) {
      if (!readFile(value.substr(equals + 1), &content))
        return fail("cannot read " + value.substr(equals + 1));
      files.emplace_back(value.substr(0, equals), content);
    } else if (option == "--fault" && equals != std::string::npos) {
      kestrin::sim::HttpFault fault;
      if (!parseFault(value.substr(equals + 1), &fault)) return fail("unknown fault in " + value);
      server.setFault(value.substr(0, equals), fault);
    } else {
      return fail("unknown option " + option + " (try --help)");
    }
  }
  if (!signingKey.empty() && kestrin::sim::signature("", signingKey).empty())
    return fail("--sign: the file holds no P-256 private key");
  for (const auto& [path, image] : images) {
    if (signingKey.empty())
      server.setFile(path, image);
    else
      server.setSignedFile(path, image, signingKey);
  }
  // Given files go last: they may take the place of a signature.
  for (const auto& [path, content] : files) server.setFile(path, content);
  auto masterTime = static_cast<std::uint32_t>(time);
  if (imagesOnce) {
    server.queueList(kestrin::sim::updateList(masterTime, serverPath, clientPath, host));
    serverPath.clear();
    clientPath.clear();
  }
  server.setList(kestrin::sim::updateList(masterTime, serverPath, clientPath, host));
  if (!server.start(static_cast<std::uint16_t>(port)))
    return fail("cannot listen on port " + std::to_string(port));
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::printf("kestrin-update-sim: serving on port %lu, master time %lu\n", port, time);
  std::fflush(stdout);

  const std::uint32_t startedMs = kestrin::platform::milliseconds();
  std::size_t printed = 0;
  while (gInterrupted == 0) {
    if (timeRuns)
      server.setList(kestrin::sim::updateList(masterTime + (kestrin::platform::milliseconds() - startedMs),
                                              serverPath, clientPath, host));
    std::vector<std::string> requests = server.requests();
    for (; printed < requests.size(); ++printed) std::printf("GET %s\n", requests[printed].c_str());
    std::fflush(stdout);
    kestrin::platform::sleepMilliseconds(100);
  }
  server.stop();
  return 0;
}
