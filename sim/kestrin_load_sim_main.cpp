// kestrin-load-sim: drives a Kestrin server at full size, for script/load.
// In one process it runs simulated game servers with their players, a
// simulated anti-cheat client for every player (one per game cheats), and
// hostile traffic beside them: an idle-connection flood from one address, a
// garbage sender and a UDP trickle at every game's console port.  A probe
// times, from outside, how long the server takes to greet a new connection.
// With --soak the game servers restart every minute and clients vanish in the
// middle of a frame and come back.  Prints progress lines ("load: ...")
// while it runs and its rows of the load table at the end.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_order.h"
#include "core/wire.h"
#include "sim/client_sim.h"
#include "sim/game_server_sim.h"

namespace {

using kestrin::sim::AnswerPolicy;
using kestrin::sim::Bytes;
using kestrin::sim::ClientSim;
using kestrin::sim::GameServerSim;
namespace platform = kestrin::platform;
namespace wire = kestrin::wire;

constexpr std::uint32_t kTickMs = 50;
constexpr std::uint32_t kWatchEveryMs = 250;
// One new client every 100 ms: the server's pending list has 31 places, a
// handshake holds one for a little over a second, and the flood and the
// garbage sender hold some of the rest.
constexpr std::uint32_t kClientStartEveryMs = 100;
// A player is on his game this long before his client connects, as a real
// one is while his game loads.
constexpr std::uint32_t kOnGameBeforeClientMs = 3000;
// Source addresses, 127.X.0.0/16 each: the players' clients (127.2.game.n),
// the probe, the idle flood and the garbage sender.
constexpr std::uint32_t kPlayerNet = 0x7F020000;
constexpr std::uint32_t kProbeAddress = 0x7F030001;
constexpr std::uint32_t kFloodAddress = 0x7F040001;
constexpr std::uint32_t kGarbageNet = 0x7F050000;
constexpr int kGarbageAddresses = 8;
constexpr std::size_t kFloodMaxOpen = 48;
constexpr std::uint32_t kGarbageEveryMs = 500;
constexpr std::uint32_t kGarbageHoldMs = 3000;
constexpr std::uint32_t kSlowByteEveryMs = 200;
constexpr std::uint32_t kTrickleEveryMs = 200;
constexpr std::uint32_t kProbePauseMs = 150;
// Soak: every game restarts once a minute, staggered, and is down for a
// moment each time; a client vanishes every 10 s.
constexpr std::uint32_t kRestartEveryMs = 60000;
constexpr std::uint32_t kRestartStaggerMs = 7000;
constexpr std::uint32_t kGameDownMs = 3000;
constexpr std::uint32_t kVanishEveryMs = 10000;

std::atomic<bool> gStop{false};
void onSignal(int) { gStop.store(true); }

std::uint32_t gStartMs = 0;
std::uint32_t elapsedMs() { return platform::milliseconds() - gStartMs; }

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::printf("load: %8.1f s  ", elapsedMs() / 1000.0);
  std::vprintf(format, arguments);
  va_end(arguments);
  std::printf("\n");
  std::fflush(stdout);
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }
bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

struct Options {
  int games = 8;
  int players = 63;
  std::uint32_t seconds = 600;
  std::uint16_t basePort = 27015;
  std::string password = "loadpw";
  bool soak = false;
  bool hold = false;  // after the report, keep every client until stopped
  std::map<std::uint32_t, std::uint32_t> digests;
};

struct Player {
  int game = 0;
  std::string name;
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  std::uint32_t address = 0;
  AnswerPolicy policy = AnswerPolicy::kHonest;
  int policyIndex = 0;
  bool onGame = false;  // listed on the game: from its client's start until kicked or banned
  std::uint32_t onGameSince = 0;
  std::unique_ptr<ClientSim> client;
  // Times in ms since the clients started; -1 until seen.
  long keyedAt = -1;
  long joinedAt = -1;
  long authenticatedAt = -1;
  int joins = 0;
  int vanished = 0;
  bool verdictSeen = false;
  std::string dropped;  // why an honest client was refused or dropped
  // Counts of the clients this player had before the current one.
  std::size_t pastRequests = 0;
  int pastAnswers = 0;

  bool honest() const { return policy == AnswerPolicy::kHonest; }
};

struct Game {
  std::unique_ptr<GameServerSim> sim;
  std::uint32_t simStartedAt = 0;  // elapsedMs() when the simulator started
  std::size_t seen = 0;            // requests already read
  std::uint32_t nextRestartAt = 0;
  std::uint32_t upAgainAt = 0;  // while down: when it comes back
  bool awaitingRecovery = false;
  std::uint32_t backAt = 0;
  std::vector<std::uint32_t> recoveriesMs;
  int restarts = 0;
};

class Driver {
 public:
  explicit Driver(const Options& options) : options_(options) {}
  int run();

 private:
  bool startGame(int g);
  void listPlayer(const Player& player);
  std::unique_ptr<ClientSim> newClient(const Player& player) const;
  void startClients(std::uint32_t now);
  void readGames();
  void readLine(int g, const std::string& line, std::uint32_t atMs);
  Player* playerNamed(int g, const std::string& name);
  Player* playerWhere(int g, bool byWon, std::uint32_t id);
  void watchClients();
  void soakStep(std::uint32_t now);
  void vanishOne();
  void floodStep();
  void garbageStep(std::uint32_t now);
  void trickleStep(std::uint32_t now);
  void probeLoop();
  bool serverPortOpen() const;
  void report();
  long sinceClients() const { return static_cast<long>(elapsedMs() - clientsStartedAt_); }

  Options options_;
  std::vector<Game> games_;
  std::vector<Player> players_;
  std::size_t listed_ = 0;
  std::size_t started_ = 0;
  std::uint32_t clientsStartedAt_ = 0;
  long allKeyedAt_ = -1;
  long allJoinedAt_ = -1;
  long allAuthenticatedAt_ = -1;
  int packetTimeouts_ = 0;
  int verdicts_ = 0;
  std::size_t vanishNext_ = 0;
  std::uint32_t nextVanishAt_ = 0;

  struct Junk {
    platform::SocketHandle socket = platform::kInvalidSocket;
    int kind = 0;
    std::uint32_t closeAt = 0;
    std::size_t sent = 0;
    std::uint32_t nextByteAt = 0;
  };
  std::vector<platform::SocketHandle> flood_;
  std::uint64_t floodOpened_ = 0;
  std::uint64_t floodClosedByServer_ = 0;
  std::vector<Junk> junk_;
  std::uint64_t junkStarted_[4] = {};
  std::uint64_t junkClosedByServer_[4] = {};
  std::uint32_t nextJunkAt_ = 0;
  platform::SocketHandle trickle_ = platform::kInvalidSocket;
  std::uint64_t trickleSent_ = 0;
  std::uint32_t nextTrickleAt_ = 0;

  std::atomic<bool> probeStop_{false};
  std::atomic<std::uint64_t> probes_{0};
  std::atomic<std::uint64_t> probeFailures_{0};
  std::atomic<std::uint32_t> probeMaxMs_{0};
  std::atomic<std::uint64_t> probeTotalMs_{0};
};

bool Driver::startGame(int g) {
  GameServerSim::Options options;
  options.port = static_cast<std::uint16_t>(options_.basePort + g);
  options.password = options_.password;
  options.hostname = "Kestrin Load " + std::to_string(g);
  options.maxPlayers = 64;
  auto sim = std::make_unique<GameServerSim>(options);
  if (!sim->running()) return false;
  games_[g].sim = std::move(sim);
  games_[g].simStartedAt = elapsedMs();
  games_[g].seen = 0;
  // A restarted game lists its players again, their connection times
  // running on.
  for (const Player& player : players_)
    if (player.game == g && player.onGame) listPlayer(player);
  return true;
}

void Driver::listPlayer(const Player& player) {
  kestrin::sim::SimPlayer row;
  row.name = player.name;
  row.userId = player.userId;
  row.wonId = player.wonId;
  row.connectedSeconds = static_cast<int>((elapsedMs() - player.onGameSince) / 1000);
  row.address = std::to_string(player.address >> 24) + "." + std::to_string(player.address >> 16 & 0xFF) + "." +
                std::to_string(player.address >> 8 & 0xFF) + "." + std::to_string(player.address & 0xFF) + ":27005";
  if (games_[player.game].sim) games_[player.game].sim->addPlayer(row);
}

std::unique_ptr<ClientSim> Driver::newClient(const Player& player) const {
  ClientSim::Options options;
  options.localAddress = player.address;
  options.userId = player.userId;
  options.wonId = player.wonId;
  options.policy = player.policy;
  options.policyIndex = player.policyIndex;
  options.digestsBySeed = options_.digests;
  auto client = std::make_unique<ClientSim>(options);
  if (!client->start()) return nullptr;
  return client;
}

// Players join their games one by one and start their clients a little
// later.
void Driver::startClients(std::uint32_t now) {
  if (started_ == 0 && listed_ == 0) clientsStartedAt_ = now + kOnGameBeforeClientMs;
  for (; listed_ < players_.size() && now + kOnGameBeforeClientMs - clientsStartedAt_ >= listed_ * kClientStartEveryMs;
       ++listed_) {
    Player& player = players_[listed_];
    player.onGame = true;
    player.onGameSince = now;
    listPlayer(player);
  }
  if (static_cast<std::int32_t>(now - clientsStartedAt_) < static_cast<std::int32_t>(started_ * kClientStartEveryMs))
    return;
  Player& player = players_[started_++];
  player.client = newClient(player);
  if (!player.client) player.dropped = "client thread did not start";
  if (started_ == players_.size()) say("all %u clients started", static_cast<unsigned>(started_));
}

Player* Driver::playerNamed(int g, const std::string& name) {
  for (Player& player : players_)
    if (player.game == g && player.name == name) return &player;
  return nullptr;
}

Player* Driver::playerWhere(int g, bool byWon, std::uint32_t id) {
  for (Player& player : players_)
    if (player.game == g && (byWon ? player.wonId : player.userId) == id) return &player;
  return nullptr;
}

// One accepted console line the server sent game `g`.
void Driver::readLine(int g, const std::string& line, std::uint32_t atMs) {
  const long at = static_cast<long>(atMs - clientsStartedAt_);
  static const std::string joined = " has joined with the Kestrin client";
  static const std::string authenticated = " has been Kestrin authenticated";
  if (startsWith(line, "say ")) {
    std::string text = line.substr(4);
    if (text == "Client packet timeout") {
      ++packetTimeouts_;
      return;
    }
    if (startsWith(text, "(BETA) ")) text = text.substr(7);
    const bool cheat = text.find(" is a possible cheater (ID #") != std::string::npos ||
                       text.find(" is using a modified model or dll (") != std::string::npos;
    if (cheat) {
      ++verdicts_;
      if (Player* player = playerNamed(g, text.substr(0, text.find(" is ")))) {
        player->verdictSeen = true;
        if (player->honest() && player->dropped.empty()) player->dropped = "verdict: " + text;
      }
    } else if (endsWith(text, joined)) {
      if (Player* player = playerNamed(g, text.substr(0, text.size() - joined.size()))) {
        ++player->joins;
        if (player->joinedAt < 0) player->joinedAt = at;
      }
    } else if (endsWith(text, authenticated)) {
      Player* player = playerNamed(g, text.substr(0, text.size() - authenticated.size()));
      if (player != nullptr && player->authenticatedAt < 0) player->authenticatedAt = at;
    }
    return;
  }
  // "kick #USERID" and "banid MINUTES WONID kick" take the player off.
  Player* player = nullptr;
  if (startsWith(line, "kick #"))
    player = playerWhere(g, false, static_cast<std::uint32_t>(std::strtoul(line.c_str() + 6, nullptr, 10)));
  else if (startsWith(line, "banid "))
    player = playerWhere(g, true, static_cast<std::uint32_t>(std::strtoul(
                                      line.c_str() + line.find(' ', 6) + 1, nullptr, 10)));
  if (player == nullptr) return;
  player->onGame = false;
  if (player->honest() && player->dropped.empty()) player->dropped = "taken off the game: " + line;
}

void Driver::readGames() {
  for (std::size_t g = 0; g < games_.size(); ++g) {
    Game& game = games_[g];
    if (!game.sim) continue;
    for (const auto& request : game.sim->requestsSince(game.seen)) {
      ++game.seen;
      if (!request.accepted) continue;
      const std::uint32_t at = game.simStartedAt + request.atMs;
      if (game.awaitingRecovery) {
        game.awaitingRecovery = false;
        game.recoveriesMs.push_back(at - game.backAt);
        say("game %u recovered: the server's first command %.1f s after it came back", static_cast<unsigned>(g),
            (at - game.backAt) / 1000.0);
      }
      readLine(static_cast<int>(g), request.line, at);
    }
  }
}

void Driver::watchClients() {
  bool allKeyed = started_ == players_.size();
  bool allJoined = allKeyed;
  bool allAuthenticated = allKeyed;
  for (Player& player : players_) {
    if (!player.client) continue;
    if (player.keyedAt < 0 && player.client->keyed()) player.keyedAt = sinceClients();
    if (player.honest() && player.dropped.empty()) {
      if (player.client->failed())
        player.dropped = "handshake failed";
      else if (player.client->connectionClosed())
        player.dropped = "connection closed by the server";
      else if (!player.client->dropNotices().empty())
        player.dropped = "drop notice " + kestrin::sim::dropReasonText(player.client->dropNotices().front());
      if (!player.dropped.empty()) say("honest client %s: %s", player.name.c_str(), player.dropped.c_str());
    }
    allKeyed = allKeyed && player.keyedAt >= 0;
    allJoined = allJoined && player.joinedAt >= 0;
    allAuthenticated = allAuthenticated && (!player.honest() || player.authenticatedAt >= 0);
  }
  if (allKeyed && allKeyedAt_ < 0) {
    allKeyedAt_ = sinceClients();
    say("every client keyed");
  }
  if (allJoined && allJoinedAt_ < 0) {
    allJoinedAt_ = sinceClients();
    say("every client joined");
  }
  if (allAuthenticated && allAuthenticatedAt_ < 0) {
    allAuthenticatedAt_ = sinceClients();
    say("every honest client authenticated");
  }
}

void Driver::soakStep(std::uint32_t now) {
  for (std::size_t g = 0; g < games_.size(); ++g) {
    Game& game = games_[g];
    if (game.sim && static_cast<std::int32_t>(now - game.nextRestartAt) >= 0) {
      game.sim.reset();
      game.upAgainAt = now + kGameDownMs;
      game.nextRestartAt += kRestartEveryMs;
      ++game.restarts;
      say("game %u stopped (restart %d)", static_cast<unsigned>(g), game.restarts);
    } else if (!game.sim && static_cast<std::int32_t>(now - game.upAgainAt) >= 0 && startGame(static_cast<int>(g))) {
      game.backAt = game.simStartedAt;
      game.awaitingRecovery = true;
      say("game %u back on its port", static_cast<unsigned>(g));
    }
  }
  if (static_cast<std::int32_t>(now - nextVanishAt_) >= 0) {
    nextVanishAt_ = now + kVanishEveryMs;
    vanishOne();
  }
}

// The next keyed honest client vanishes in the middle of a frame; its
// player's client comes straight back, as a restarted one would.
void Driver::vanishOne() {
  for (std::size_t tried = 0; tried < players_.size(); ++tried) {
    Player& player = players_[vanishNext_];
    vanishNext_ = (vanishNext_ + 1) % players_.size();
    if (!player.honest() || !player.client || !player.client->keyed() || !player.dropped.empty()) continue;
    player.client->vanishMidFrame();
    player.pastRequests += player.client->checkRequests().size();
    player.pastAnswers += player.client->answersSent();
    ++player.vanished;
    player.client = newClient(player);
    if (!player.client) player.dropped = "client thread did not start";
    say("client %s vanished mid-frame and starts again", player.name.c_str());
    return;
  }
}

void Driver::floodStep() {
  if (flood_.size() < kFloodMaxOpen) {
    platform::SocketHandle socket =
        platform::tcpConnectStart(platform::Endpoint{platform::kLoopbackAddress, wire::kClientPort}, kFloodAddress);
    if (socket != platform::kInvalidSocket) {
      flood_.push_back(socket);
      ++floodOpened_;
    }
  }
  std::unique_ptr<bool[]> readyFlags(new bool[flood_.size() + 1]());
  if (platform::pollReadable(flood_.data(), flood_.size(), readyFlags.get(), 0) <= 0) return;
  for (std::size_t i = flood_.size(); i-- > 0;) {
    if (!readyFlags[i]) continue;
    std::uint8_t buffer[512];
    if (platform::socketReceive(flood_[i], buffer, sizeof buffer) > 0) continue;  // the server's hello
    platform::closeSocket(flood_[i]);
    flood_.erase(flood_.begin() + static_cast<long>(i));
    ++floodClosedByServer_;
  }
}

// Garbage kinds: 0 a frame with a bad check byte, 1 a hello whose length
// field says 65535, 2 half a hello and then silence, 3 a hello sent a byte at
// a time.  None of them ever reads what the server sends.
void Driver::garbageStep(std::uint32_t now) {
  static const Bytes hello = kestrin::testing::emptyFrame(wire::kPacketHello, wire::kHandshakeFrameSize);
  if (static_cast<std::int32_t>(now - nextJunkAt_) >= 0) {
    nextJunkAt_ = now + kGarbageEveryMs;
    static std::uint64_t count = 0;
    Junk junk;
    junk.kind = static_cast<int>(count % 4);
    const std::uint32_t from = kGarbageNet | static_cast<std::uint32_t>(1 + count / 4 % kGarbageAddresses);
    ++count;
    junk.socket = platform::tcpConnectStart(platform::Endpoint{platform::kLoopbackAddress, wire::kClientPort}, from);
    junk.closeAt = now + kGarbageHoldMs;
    if (junk.socket != platform::kInvalidSocket) {
      ++junkStarted_[junk.kind];
      junk_.push_back(junk);
    }
  }
  for (std::size_t i = junk_.size(); i-- > 0;) {
    Junk& junk = junk_[i];
    bool closed = false;
    bool ready = false;
    // The byte-at-a-time sender never reads: only a failed send tells it the
    // server has closed.
    if (junk.kind != 3 && platform::pollReadable(&junk.socket, 1, &ready, 0) == 1 && ready) {
      std::uint8_t buffer[512];
      closed = platform::socketReceive(junk.socket, buffer, sizeof buffer) == 0;
    }
    if (!closed && platform::tcpConnectPoll(junk.socket) == platform::ConnectState::kConnected) {
      Bytes bytes;
      switch (junk.kind) {
        case 0:
          if (junk.sent == 0) bytes = {0x01, 0x20, 0x00, 0x77, 0xDE, 0xAD, 0xBE, 0xEF};
          break;
        case 1:
          if (junk.sent == 0) {
            bytes = hello;
            kestrin::storeLe16(bytes.data() + wire::kFrameLengthOffset, 0xFFFF);
            bytes[wire::kFrameCheckOffset] = kestrin::frameCheckByte(bytes[wire::kFrameIdOffset], 0xFF);
          }
          break;
        case 2:
          if (junk.sent == 0) bytes.assign(hello.begin(), hello.begin() + static_cast<long>(hello.size() / 2));
          break;
        default:
          if (junk.sent < hello.size() && static_cast<std::int32_t>(now - junk.nextByteAt) >= 0) {
            bytes.assign(1, hello[junk.sent]);
            junk.nextByteAt = now + kSlowByteEveryMs;
          }
          break;
      }
      if (!bytes.empty()) {
        long n = platform::socketSend(junk.socket, bytes.data(), bytes.size());
        if (n > 0) junk.sent += static_cast<std::size_t>(n);
        closed = n < 0;
      }
    }
    if (closed) ++junkClosedByServer_[junk.kind];
    if (closed || static_cast<std::int32_t>(now - junk.closeAt) >= 0) {
      platform::closeSocket(junk.socket);
      junk_.erase(junk_.begin() + static_cast<long>(i));
    }
  }
}

// Datagrams that are no console request of the server's: noise, challenge
// requests and oversized packets, at every game's console port.  None of
// them is an rcon command, which would count as a failed login against the
// address the server's own requests come from.
void Driver::trickleStep(std::uint32_t now) {
  if (static_cast<std::int32_t>(now - nextTrickleAt_) < 0) return;
  nextTrickleAt_ = now + kTrickleEveryMs;
  if (trickle_ == platform::kInvalidSocket && platform::udpOpen(0, &trickle_) != platform::UdpOpenResult::kOk) return;
  static const std::string challenge = std::string(4, '\xFF') + "challenge rcon\n";
  static const Bytes noise = {0xFF, 0xFF, 0xFF, 0xFF, 0x6C, 0x00, 0x13, 0x37};
  static const Bytes oversized(1500, 0x41);
  for (int g = 0; g < options_.games; ++g) {
    const platform::Endpoint to{platform::kLoopbackAddress, static_cast<std::uint16_t>(options_.basePort + g)};
    switch (trickleSent_ % 3) {
      case 0:
        platform::udpSendTo(trickle_, to, challenge.data(), challenge.size());
        break;
      case 1:
        platform::udpSendTo(trickle_, to, noise.data(), noise.size());
        break;
      default:
        platform::udpSendTo(trickle_, to, oversized.data(), oversized.size());
        break;
    }
    ++trickleSent_;
  }
  // Replies to the trickle are read and dropped.
  std::uint8_t buffer[2048];
  platform::Endpoint from;
  while (platform::udpReceiveFrom(trickle_, buffer, sizeof buffer, &from) >= 0) {
  }
}

// The server accepts new connections once per main step and greets each at
// once, so the wait for its hello is at most one pause plus one step.
void Driver::probeLoop() {
  std::uint32_t n = 0;
  while (!probeStop_.load()) {
    kestrin::sim::ClientConnection connection;
    const std::uint32_t start = platform::milliseconds();
    Bytes frame;
    if (connection.connect(wire::kClientPort, platform::kLoopbackAddress, 2000, kProbeAddress) &&
        connection.readFrame(&frame, 5000) == kestrin::sim::ClientConnection::Read::kFrame) {
      const std::uint32_t took = platform::milliseconds() - start;
      ++probes_;
      probeTotalMs_ += took;
      std::uint32_t max = probeMaxMs_.load();
      while (took > max && !probeMaxMs_.compare_exchange_weak(max, took)) {
      }
    } else {
      ++probeFailures_;
    }
    connection.close();
    // Spread the probes over the phases of the server's step.
    platform::sleepMilliseconds(kProbePauseMs + (++n * 37) % 100);
  }
}

bool Driver::serverPortOpen() const {
  kestrin::sim::ClientConnection connection;
  return connection.connect(wire::kClientPort, platform::kLoopbackAddress, 200, kProbeAddress);
}

int Driver::run() {
  gStartMs = platform::milliseconds();
  platform::startSockets();
  games_.resize(static_cast<std::size_t>(options_.games));
  for (int g = 0; g < options_.games; ++g) {
    for (int p = 0; p < options_.players; ++p) {
      Player player;
      player.game = g;
      player.name = "L" + std::to_string(g) + "P" + std::to_string(p);
      player.userId = static_cast<std::uint32_t>(100 + p);
      player.wonId = static_cast<std::uint32_t>(700000 + g * 1000 + p);
      player.address = kPlayerNet | static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(p + 1);
      // The last player of every game cheats: a wrong value on even games, a
      // modified first file on odd ones.
      if (p == options_.players - 1) {
        player.policy = g % 2 == 0 ? AnswerPolicy::kWrongValue : AnswerPolicy::kWrongDigest;
        player.policyIndex = g % 2 == 0 ? 2 : 0;
      }
      players_.push_back(std::move(player));
    }
  }
  for (int g = 0; g < options_.games; ++g) {
    if (!startGame(g)) {
      std::fprintf(stderr, "kestrin-load-sim: cannot bind UDP port %d\n", options_.basePort + g);
      return 1;
    }
    games_[g].nextRestartAt = kRestartEveryMs + static_cast<std::uint32_t>(g) * kRestartStaggerMs;
  }
  say("%d games on UDP ports %d-%d, %d players each", options_.games, options_.basePort,
      options_.basePort + options_.games - 1, options_.players);

  // The clients start once the server listens.
  while (!gStop.load() && !serverPortOpen()) platform::sleepMilliseconds(100);
  say("the server listens; starting %u clients", static_cast<unsigned>(players_.size()));
  std::thread probe([this] { probeLoop(); });

  const std::uint32_t endAt = options_.seconds * 1000u;
  std::uint32_t nextWatch = 0;
  nextVanishAt_ = elapsedMs() + kVanishEveryMs;
  while (!gStop.load() && elapsedMs() < endAt) {
    const std::uint32_t now = elapsedMs();
    if (started_ < players_.size()) startClients(now);
    floodStep();
    garbageStep(now);
    trickleStep(now);
    if (static_cast<std::int32_t>(now - nextWatch) >= 0) {
      nextWatch = now + kWatchEveryMs;
      readGames();
      watchClients();
      if (options_.soak) soakStep(now);
    }
    platform::sleepMilliseconds(kTickMs);
  }
  readGames();
  watchClients();
  probeStop_.store(true);
  probe.join();
  report();
  std::fflush(stdout);
  while (options_.hold && !gStop.load()) platform::sleepMilliseconds(kTickMs);
  for (platform::SocketHandle socket : flood_) platform::closeSocket(socket);
  for (const Junk& junk : junk_) platform::closeSocket(junk.socket);
  platform::closeSocket(trickle_);
  for (Player& player : players_)
    if (player.client) player.client->stop();
  return 0;
}

void row(const char* label, const std::string& value) { std::printf("%-58s %s\n", label, value.c_str()); }

std::string seconds(long ms) {
  if (ms < 0) return "not reached";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

void Driver::report() {
  std::size_t honest = 0, keyed = 0, joined = 0, authenticated = 0, requests = 0;
  int answers = 0, cheaters = 0, verdictsOnCheaters = 0, vanished = 0, rejoined = 0;
  std::vector<const Player*> dropped;
  for (const Player& player : players_) {
    if (player.honest()) ++honest;
    if (player.keyedAt >= 0) ++keyed;
    if (player.joinedAt >= 0) ++joined;
    if (player.honest() && player.authenticatedAt >= 0) ++authenticated;
    if (!player.honest()) {
      ++cheaters;
      if (player.verdictSeen) ++verdictsOnCheaters;
    }
    requests += player.pastRequests;
    answers += player.pastAnswers;
    if (player.client) {
      requests += player.client->checkRequests().size();
      answers += player.client->answersSent();
    }
    vanished += player.vanished;
    if (player.vanished > 0 && player.joins > player.vanished) ++rejoined;
    if (player.honest() && !player.dropped.empty()) dropped.push_back(&player);
  }
  char text[256];
  std::printf("\n==== load driver, %u s\n", options_.seconds);
  std::snprintf(text, sizeof text, "%u (%d games x %d players): %u honest, %d cheating",
                static_cast<unsigned>(players_.size()), options_.games, options_.players,
                static_cast<unsigned>(honest), cheaters);
  row("Clients, each on its own address:", text);
  std::snprintf(text, sizeof text, "%s (%u of %u)", seconds(allKeyedAt_).c_str(), static_cast<unsigned>(keyed),
                static_cast<unsigned>(players_.size()));
  row("Time from the first client's start until all keyed:", text);
  std::snprintf(text, sizeof text, "%s (%u of %u)", seconds(allJoinedAt_).c_str(), static_cast<unsigned>(joined),
                static_cast<unsigned>(players_.size()));
  row("  ... until all joined:", text);
  std::snprintf(text, sizeof text, "%s (%u of %u)", seconds(allAuthenticatedAt_).c_str(),
                static_cast<unsigned>(authenticated), static_cast<unsigned>(honest));
  row("  ... until every honest client authenticated:", text);
  std::snprintf(text, sizeof text, "%u requests received, %d answered; %d \"Client packet timeout\"",
                static_cast<unsigned>(requests), answers, packetTimeouts_);
  row("Checks sent by the server and answered:", text);
  row("Honest clients refused or dropped:", std::to_string(dropped.size()));
  for (const Player* player : dropped) std::printf("    %s: %s\n", player->name.c_str(), player->dropped.c_str());
  std::snprintf(text, sizeof text, "%d expected, %d said on the games (%d on the cheaters)", cheaters, verdicts_,
                verdictsOnCheaters);
  row("Verdicts:", text);
  const std::uint64_t probes = probes_.load();
  std::snprintf(text, sizeof text, "%u ms longest, %.1f ms mean over %llu probes (%llu failed)",
                probeMaxMs_.load(), probes == 0 ? 0.0 : static_cast<double>(probeTotalMs_.load()) / probes,
                static_cast<unsigned long long>(probes), static_cast<unsigned long long>(probeFailures_.load()));
  row("Wait for the server's hello (one pause + at most one step):", text);
  std::snprintf(text, sizeof text, "%llu connections, %llu closed by the server",
                static_cast<unsigned long long>(floodOpened_), static_cast<unsigned long long>(floodClosedByServer_));
  row("Idle flood from 127.4.0.1:", text);
  std::snprintf(text, sizeof text,
                "bad frame %llu, oversize length %llu, half frame %llu, byte at a time %llu; closed by the "
                "server: %llu, %llu, %llu, %llu",
                static_cast<unsigned long long>(junkStarted_[0]), static_cast<unsigned long long>(junkStarted_[1]),
                static_cast<unsigned long long>(junkStarted_[2]), static_cast<unsigned long long>(junkStarted_[3]),
                static_cast<unsigned long long>(junkClosedByServer_[0]),
                static_cast<unsigned long long>(junkClosedByServer_[1]),
                static_cast<unsigned long long>(junkClosedByServer_[2]),
                static_cast<unsigned long long>(junkClosedByServer_[3]));
  row("Garbage connections:", text);
  std::snprintf(text, sizeof text, "%llu datagrams", static_cast<unsigned long long>(trickleSent_));
  row("UDP trickle at the console ports:", text);
  if (!options_.soak) return;
  std::snprintf(text, sizeof text, "%d, of whose players %d joined again", vanished, rejoined);
  row("Clients vanished mid-frame and restarted:", text);
  for (std::size_t g = 0; g < games_.size(); ++g) {
    const Game& game = games_[g];
    std::string list;
    std::uint32_t worst = 0;
    for (std::uint32_t ms : game.recoveriesMs) {
      worst = std::max(worst, ms);
      char one[16];
      std::snprintf(one, sizeof one, "%s%.1f", list.empty() ? "" : " ", ms / 1000.0);
      list += one;
    }
    std::snprintf(text, sizeof text, "%d restarts, %u recovered, longest %s (%s s)%s", game.restarts,
                  static_cast<unsigned>(game.recoveriesMs.size()), seconds(static_cast<long>(worst)).c_str(),
                  list.c_str(), game.awaitingRecovery || !game.sim ? "; down or not yet recovered at the end" : "");
    row(("Game " + std::to_string(g) + " restarts, recovery after each:").c_str(), text);
  }
}

void usage() {
  std::printf(
      "Usage: kestrin-load-sim [options]\n"
      "\n"
      "  --games N            simulated game servers (default 8)\n"
      "  --players N          players on each, each with a client (default 63)\n"
      "  --port N             the first game's console port (default 27015)\n"
      "  --password TEXT      their rcon password (default loadpw)\n"
      "  --digest SEED:DIGEST an honest client's answer for a listed file (repeatable)\n"
      "  --seconds N          run for N seconds (default 600)\n"
      "  --soak               restart every game once a minute and let a client\n"
      "                       vanish mid-frame every 10 s\n"
      "  --hold               after the report, keep every client connected until\n"
      "                       interrupted\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else if (arg == "--games" && hasValue) {
      options.games = std::clamp(std::atoi(argv[++i]), 1, 100);
    } else if (arg == "--players" && hasValue) {
      options.players = std::clamp(std::atoi(argv[++i]), 1, 250);
    } else if (arg == "--port" && hasValue) {
      options.basePort = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--password" && hasValue) {
      options.password = argv[++i];
    } else if (arg == "--digest" && hasValue) {
      char* end = nullptr;
      const char* text = argv[++i];
      std::uint32_t seed = static_cast<std::uint32_t>(std::strtoul(text, &end, 0));
      if (*end != ':') {
        std::fprintf(stderr, "kestrin-load-sim: bad --digest %s (SEED:DIGEST)\n", text);
        return 2;
      }
      options.digests[seed] = static_cast<std::uint32_t>(std::strtoul(end + 1, nullptr, 0));
    } else if (arg == "--seconds" && hasValue) {
      options.seconds = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--soak") {
      options.soak = true;
    } else if (arg == "--hold") {
      options.hold = true;
    } else {
      std::fprintf(stderr, "kestrin-load-sim: unknown argument %s (try --help)\n", arg.c_str());
      return 2;
    }
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  Driver driver(options);
  return driver.run();
}
