// A simulated HLDS game server for tests and demonstrations: the UDP remote
// console with its challenge, password, console variables, "status" and
// "users" from a scriptable list of players, the 1400-byte output split, the
// refusal texts and the ban after repeated failures.  It records every
// request it receives.
//
// The simulator runs its own thread; every public function is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace kestrin::sim {

struct SimPlayer {
  std::string name;
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  int frags = 0;
  // Connection time when the player is added; it advances with the clock.
  int connectedSeconds = 0;
  int ping = 48;
  int loss = 0;
  std::string address = "198.51.100.7:27005";
  bool inStatus = true;  // listed in "status"
  bool inUsers = true;   // listed in "users"
};

// One request received on the console port.
struct ReceivedRequest {
  std::uint32_t atMs = 0;  // milliseconds since the simulator started
  bool challenge = false;  // a "challenge rcon" request
  std::string line;        // the command line of an rcon request
  bool accepted = false;   // an rcon request with the right challenge and password
};

class GameServerSim {
 public:
  struct Options {
    std::uint16_t port = 0;  // 0 picks a free port
    std::string password = "secret";
    std::string hostname = "Kestrin Test Server";
    int maxPlayers = 32;
  };

  explicit GameServerSim(const Options& options);
  ~GameServerSim();
  GameServerSim(const GameServerSim&) = delete;
  GameServerSim& operator=(const GameServerSim&) = delete;

  // False when the console port could not be bound.
  bool running() const { return socket_ != platform::kInvalidSocket; }
  std::uint16_t port() const { return port_; }

  // ---- players
  void addPlayer(const SimPlayer& player);
  bool removePlayer(std::uint32_t userId);
  bool hasPlayer(std::uint32_t userId) const;
  // Sets a player's connection time as it reads now; it goes on from there.
  void setConnectionSeconds(std::uint32_t userId, int seconds);
  void setListed(std::uint32_t userId, bool inStatus, bool inUsers);

  // ---- console variables (names compared without case)
  void setCvar(const std::string& name, const std::string& value);
  std::string cvar(const std::string& name) const;

  // ---- behaviour
  void setPassword(const std::string& password);
  // A silent game server receives and drops every datagram.
  void setSilent(bool silent);
  // A restart: every client needs a new challenge; failures and bans are
  // forgotten.
  void restart();
  // Every "status" request is first answered, from another port of this
  // host, with a status listing these players (an empty list stops it).
  void spoofStatusWith(const std::vector<SimPlayer>& players);
  // True once some address failed 5 times within 30 s and was banned.
  bool bannedSomeone() const;

  // ---- what was received
  std::vector<ReceivedRequest> requests() const;
  // The requests from the `first`-th on (0-based), for readers that follow
  // a long run without copying it all each time.
  std::vector<ReceivedRequest> requestsSince(std::size_t first) const;
  // The command lines of the accepted rcon requests, in order.
  std::vector<std::string> acceptedLines() const;
  // Accepted lines that begin with `prefix`.
  int countAccepted(const std::string& prefix) const;
  // The most datagrams one reply has taken so far.
  int maxReplyDatagrams() const;
  std::uint32_t nowMs() const;

 private:
  struct Player {
    SimPlayer info;
    std::int64_t connectedAtMs = 0;
  };
  struct Failure {
    std::vector<std::uint32_t> timesMs;
    bool banned = false;
  };

  void run();
  void handle(const std::uint8_t* data, std::size_t length, platform::Endpoint from);
  void handleRcon(const std::string& text, platform::Endpoint from);
  std::uint32_t challengeFor(platform::Endpoint from) const;
  // Runs an accepted command line; returns its console output as the list
  // of prints the engine makes.
  std::vector<std::string> execute(const std::string& line);
  std::vector<std::string> statusOutput(const std::vector<Player>& players) const;
  std::vector<std::string> usersOutput() const;
  void sendOutput(platform::SocketHandle socket, platform::Endpoint to,
                  const std::vector<std::string>& prints);
  void sendText(platform::SocketHandle socket, platform::Endpoint to, char kind,
                const std::string& text, bool extraZero);
  bool registerFailure(platform::Endpoint from);

  Options options_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  platform::SocketHandle spoofSocket_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
  std::uint32_t startMs_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  mutable std::mutex mutex_;
  std::vector<Player> players_;
  std::vector<Player> spoofPlayers_;
  std::map<std::string, std::pair<std::string, std::string>> cvars_;  // lower-case name -> (name, value)
  std::map<std::uint32_t, Failure> failures_;  // by address
  std::vector<ReceivedRequest> requests_;
  std::uint32_t secret_ = 0;
  bool silent_ = false;
  bool bannedSomeone_ = false;
  int maxReplyDatagrams_ = 0;
};

}  // namespace kestrin::sim
