// kestrin-game-sim: a simulated game server's remote console on a UDP port,
// for trying the Kestrin server by hand.  Prints every request it receives.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/game_server_sim.h"

namespace {

std::atomic<bool> gStop{false};

void onSignal(int) { gStop.store(true); }

void usage() {
  std::printf(
      "Usage: kestrin-game-sim [options]\n"
      "\n"
      "  --port N             console port (default 27015)\n"
      "  --password TEXT      rcon password (default secret; empty: none set)\n"
      "  --contact TEXT       initial sv_contact value\n"
      "  --player NAME:USERID:WONID:SECONDS[:A.B.C.D]\n"
      "                       a player connected for SECONDS, listed at A.B.C.D\n"
      "                       (his client's address; repeatable)\n"
      "  --players N          N more players named Player1.. (ids from 100)\n"
      "  --help               show this text\n"
      "\n"
      "Runs until interrupted; kick and banid ... kick remove the player.\n");
}

bool parsePlayer(const std::string& text, kestrin::sim::SimPlayer* player) {
  std::size_t a = text.find(':');
  std::size_t b = a == std::string::npos ? a : text.find(':', a + 1);
  std::size_t c = b == std::string::npos ? b : text.find(':', b + 1);
  if (c == std::string::npos) return false;
  player->name = text.substr(0, a);
  player->userId = static_cast<std::uint32_t>(std::strtoul(text.c_str() + a + 1, nullptr, 10));
  player->wonId = static_cast<std::uint32_t>(std::strtoul(text.c_str() + b + 1, nullptr, 10));
  player->connectedSeconds = std::atoi(text.c_str() + c + 1);
  const std::size_t d = text.find(':', c + 1);
  if (d != std::string::npos) player->address = text.substr(d + 1) + ":27005";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kestrin::sim::GameServerSim::Options options;
  options.port = 27015;
  std::string contact;
  std::vector<kestrin::sim::SimPlayer> players;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else if (arg == "--port" && hasValue) {
      options.port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--password" && hasValue) {
      options.password = argv[++i];
    } else if (arg == "--contact" && hasValue) {
      contact = argv[++i];
    } else if (arg == "--player" && hasValue) {
      kestrin::sim::SimPlayer player;
      if (!parsePlayer(argv[++i], &player)) {
        std::fprintf(stderr, "kestrin-game-sim: bad --player %s\n", argv[i]);
        return 2;
      }
      players.push_back(player);
    } else if (arg == "--players" && hasValue) {
      int count = std::atoi(argv[++i]);
      for (int n = 1; n <= count; ++n) {
        kestrin::sim::SimPlayer player;
        player.name = "Player" + std::to_string(n);
        player.userId = static_cast<std::uint32_t>(99 + n);
        player.wonId = static_cast<std::uint32_t>(500000 + n);
        players.push_back(player);
      }
    } else {
      std::fprintf(stderr, "kestrin-game-sim: unknown argument %s (try --help)\n", arg.c_str());
      return 2;
    }
  }

  kestrin::sim::GameServerSim sim(options);
  if (!sim.running()) {
    std::fprintf(stderr, "kestrin-game-sim: cannot bind UDP port %u\n", options.port);
    return 1;
  }
  sim.setCvar("sv_contact", contact);
  for (const auto& player : players) sim.addPlayer(player);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::printf("kestrin-game-sim: console on UDP port %u\n", sim.port());
  std::fflush(stdout);

  std::size_t shown = 0;
  while (!gStop.load()) {
    std::vector<kestrin::sim::ReceivedRequest> requests = sim.requests();
    for (; shown < requests.size(); ++shown) {
      const auto& r = requests[shown];
      if (r.challenge)
        std::printf("%8.1f s  challenge request\n", r.atMs / 1000.0);
      else
        std::printf("%8.1f s  %s %s\n", r.atMs / 1000.0, r.accepted ? "rcon" : "REFUSED", r.line.c_str());
    }
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 0;
}
