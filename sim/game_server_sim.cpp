#include "sim/game_server_sim.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace kestrin::sim {
namespace {

constexpr std::size_t kOutputBufferSize = 1400;
constexpr std::size_t kMaxRequestText = 512;
constexpr int kFailuresBeforeBan = 5;
constexpr std::uint32_t kFailureWindowMs = 30000;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char buffer[2048];
  va_list arguments;
  va_start(arguments, pattern);
  std::vsnprintf(buffer, sizeof buffer, pattern, arguments);
  va_end(arguments);
  return buffer;
}

// The first argument of a console line as the console takes it: a quoted
// value keeps its blanks; an unquoted one ends at a blank or a separator.
std::string firstArgument(const std::string& rest) {
  std::size_t at = rest.find_first_not_of(" \t");
  if (at == std::string::npos) return "";
  if (rest[at] == '"') {
    std::size_t end = rest.find('"', at + 1);
    return rest.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
  }
  std::size_t end = rest.find_first_of(" \t:{}()',", at);
  return rest.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

}  // namespace

GameServerSim::GameServerSim(const Options& options) : options_(options) {
  startMs_ = platform::milliseconds();
  platform::secureRandom(&secret_, sizeof secret_);
  cvars_["sv_contact"] = {"sv_contact", ""};
  cvars_["hostname"] = {"hostname", options_.hostname};
  platform::startSockets();
  if (platform::udpOpen(options_.port, &socket_) != platform::UdpOpenResult::kOk) {
    socket_ = platform::kInvalidSocket;
    return;
  }
  if (platform::udpOpen(0, &spoofSocket_) != platform::UdpOpenResult::kOk)
    spoofSocket_ = platform::kInvalidSocket;
  port_ = platform::localPort(socket_);
  thread_ = std::thread([this] { run(); });
}

GameServerSim::~GameServerSim() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  platform::closeSocket(socket_);
  platform::closeSocket(spoofSocket_);
}

std::uint32_t GameServerSim::nowMs() const { return platform::milliseconds() - startMs_; }

void GameServerSim::addPlayer(const SimPlayer& player) {
  std::lock_guard<std::mutex> lock(mutex_);
  players_.push_back(Player{player, static_cast<std::int64_t>(nowMs()) -
                                        static_cast<std::int64_t>(player.connectedSeconds) * 1000});
}

bool GameServerSim::removePlayer(std::uint32_t userId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(players_.begin(), players_.end(),
                         [&](const Player& p) { return p.info.userId == userId; });
  if (it == players_.end()) return false;
  players_.erase(it);
  return true;
}

bool GameServerSim::hasPlayer(std::uint32_t userId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(players_.begin(), players_.end(),
                     [&](const Player& p) { return p.info.userId == userId; });
}

void GameServerSim::setConnectionSeconds(std::uint32_t userId, int seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Player& p : players_)
    if (p.info.userId == userId)
      p.connectedAtMs = static_cast<std::int64_t>(nowMs()) - static_cast<std::int64_t>(seconds) * 1000;
}

void GameServerSim::setListed(std::uint32_t userId, bool inStatus, bool inUsers) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Player& p : players_) {
    if (p.info.userId != userId) continue;
    p.info.inStatus = inStatus;
    p.info.inUsers = inUsers;
  }
}

void GameServerSim::setCvar(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cvars_.find(lower(name));
  if (it == cvars_.end())
    cvars_[lower(name)] = {name, value};
  else
    it->second.second = value;
}

std::string GameServerSim::cvar(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cvars_.find(lower(name));
  return it == cvars_.end() ? std::string() : it->second.second;
}

void GameServerSim::setPassword(const std::string& password) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.password = password;
}

void GameServerSim::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}

void GameServerSim::restart() {
  std::lock_guard<std::mutex> lock(mutex_);
  secret_ = mix(secret_ + 0x9E3779B9u);
  failures_.clear();
}

void GameServerSim::spoofStatusWith(const std::vector<SimPlayer>& players) {
  std::lock_guard<std::mutex> lock(mutex_);
  spoofPlayers_.clear();
  for (const SimPlayer& p : players)
    spoofPlayers_.push_back(Player{p, static_cast<std::int64_t>(nowMs()) -
                                          static_cast<std::int64_t>(p.connectedSeconds) * 1000});
}

bool GameServerSim::bannedSomeone() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bannedSomeone_;
}

std::vector<ReceivedRequest> GameServerSim::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<ReceivedRequest> GameServerSim::requestsSince(std::size_t first) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (first >= requests_.size()) return {};
  return std::vector<ReceivedRequest>(requests_.begin() + static_cast<long>(first), requests_.end());
}

std::vector<std::string> GameServerSim::acceptedLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const ReceivedRequest& r : requests_)
    if (r.accepted) lines.push_back(r.line);
  return lines;
}

int GameServerSim::countAccepted(const std::string& prefix) const {
  int count = 0;
  for (const std::string& line : acceptedLines())
    if (line.compare(0, prefix.size(), prefix) == 0) ++count;
  return count;
}

int GameServerSim::maxReplyDatagrams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return maxReplyDatagrams_;
}

void GameServerSim::run() {
  std::uint8_t datagram[65536];
  while (!stop_.load()) {
    bool ready = false;
    if (platform::pollReadable(&socket_, 1, &ready, 20) < 1) continue;
    platform::Endpoint from;
    long length = platform::udpReceiveFrom(socket_, datagram, sizeof datagram, &from);
    if (length < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!silent_) handle(datagram, static_cast<std::size_t>(length), from);
  }
}

std::uint32_t GameServerSim::challengeFor(platform::Endpoint from) const {
  return mix(secret_ ^ mix(from.address) ^ (static_cast<std::uint32_t>(from.port) << 7));
}

void GameServerSim::handle(const std::uint8_t* data, std::size_t length, platform::Endpoint from) {
  if (length < 4 || std::memcmp(data, "\xFF\xFF\xFF\xFF", 4) != 0) return;
  std::string text(reinterpret_cast<const char*>(data) + 4, length - 4);
  text = text.substr(0, text.find('\0'));
  if (text.size() >= kMaxRequestText) return;
  auto failure = failures_.find(from.address);
  if (failure != failures_.end() && failure->second.banned) return;

  std::vector<std::string> parts = words(text);
  if (parts.size() == 2 && parts[0] == "challenge" && lower(parts[1]) == "rcon") {
    requests_.push_back(ReceivedRequest{nowMs(), true, "", false});
    std::string answer = format("challenge rcon %u\n", challengeFor(from));
    sendText(socket_, from, 0, answer, false);
    return;
  }
  if (lower(text.substr(0, 5)) == "rcon ") handleRcon(text, from);
}

void GameServerSim::handleRcon(const std::string& text, platform::Endpoint from) {
  // rcon <challenge> "<password>" <command line>
  std::size_t at = 5;
  char* end = nullptr;
  unsigned long challenge = std::strtoul(text.c_str() + at, &end, 10);
  at = static_cast<std::size_t>(end - text.c_str());
  while (at < text.size() && text[at] == ' ') ++at;
  std::string password;
  if (at < text.size() && text[at] == '"') {
    std::size_t close = text.find('"', at + 1);
    password = text.substr(at + 1, close == std::string::npos ? std::string::npos : close - at - 1);
    at = close == std::string::npos ? text.size() : close + 1;
  } else {
    std::size_t close = text.find(' ', at);
    password = text.substr(at, close == std::string::npos ? std::string::npos : close - at);
    at = close == std::string::npos ? text.size() : close;
  }
  while (at < text.size() && text[at] == ' ') ++at;
  std::string line = text.substr(at);
  line = line.substr(0, line.find('\n'));

  ReceivedRequest request{nowMs(), false, line, false};
  if (challenge != challengeFor(from)) {
    requests_.push_back(request);
    sendText(socket_, from, '9', "No challenge for your address.\n", false);
    sendText(socket_, from, 'l', "Bad rcon_password.\nBad challenge.\n", true);
    registerFailure(from);
    return;
  }
  if (options_.password.empty()) {
    requests_.push_back(request);
    sendText(socket_, from, 'l', "Bad rcon_password.\nNo password set for this server.\n", true);
    return;
  }
  if (password != options_.password) {
    requests_.push_back(request);
    sendText(socket_, from, 'l', "Bad rcon_password.\n", true);
    registerFailure(from);
    return;
  }
  request.accepted = true;
  requests_.push_back(request);
  std::string word = lower(line.substr(0, line.find(' ')));
  if (word == "status" && !spoofPlayers_.empty())
    sendOutput(spoofSocket_, from, statusOutput(spoofPlayers_));
  sendOutput(socket_, from, execute(line));
}

bool GameServerSim::registerFailure(platform::Endpoint from) {
  Failure& failure = failures_[from.address];
  std::uint32_t now = nowMs();
  failure.timesMs.push_back(now);
  int recent = 0;
  for (std::uint32_t t : failure.timesMs)
    if (now - t < kFailureWindowMs) ++recent;
  if (recent >= kFailuresBeforeBan) {
    failure.banned = true;
    bannedSomeone_ = true;
  }
  return failure.banned;
}

std::vector<std::string> GameServerSim::execute(const std::string& line) {
  std::size_t space = line.find(' ');
  std::string word = lower(line.substr(0, space));
  std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  std::vector<std::string> args = words(rest);

  if (word == "status") return statusOutput(players_);
  if (word == "users") return usersOutput();
  if (word == "say" || word == "addip") return {};
  if (word == "kick") {
    if (!args.empty() && args[0].size() > 1 && args[0][0] == '#') {
      auto userId = static_cast<std::uint32_t>(std::strtoul(args[0].c_str() + 1, nullptr, 10));
      players_.erase(std::remove_if(players_.begin(), players_.end(),
                                    [&](const Player& p) { return p.info.userId == userId; }),
                     players_.end());
    }
    return {};
  }
  if (word == "banid") {
    if (args.size() >= 3 && lower(args[2]) == "kick") {
      auto wonId = static_cast<std::uint32_t>(std::strtoul(args[1].c_str(), nullptr, 10));
      players_.erase(std::remove_if(players_.begin(), players_.end(),
                                    [&](const Player& p) { return p.info.wonId == wonId; }),
                     players_.end());
    }
    return {};
  }
  auto cvar = cvars_.find(word);
  if (cvar != cvars_.end()) {
    if (rest.find_first_not_of(" \t") == std::string::npos)
      return {format("\"%s\" is \"%s\"\n", cvar->second.first.c_str(), cvar->second.second.c_str())};
    cvar->second.second = firstArgument(rest);
    return {};
  }
  return {format("Unknown command: %s\n", word.c_str())};
}

std::vector<std::string> GameServerSim::statusOutput(const std::vector<Player>& players) const {
  std::vector<const Player*> listed;
  for (const Player& p : players)
    if (p.info.inStatus) listed.push_back(&p);
  std::vector<std::string> prints;
  prints.push_back(format("hostname:  %s\n", options_.hostname.c_str()));
  prints.push_back("version :  47/1.1.2.2 2230 secure  (70)\n");
  prints.push_back("tcp/ip  :  192.0.2.10:27015\n");
  prints.push_back("map     :  crossfire at: 0 x, 0 y, 0 z\n");
  prints.push_back(format("players :  %d active (%d max)\n\n", static_cast<int>(listed.size()),
                          options_.maxPlayers));
  prints.push_back("#      name userid uniqueid frag time ping loss adr\n");
  std::int64_t now = nowMs();
  int slot = 0;
  for (const Player* p : listed) {
    const SimPlayer& info = p->info;
    std::string quoted = "\"" + info.name + "\"";
    prints.push_back(format("#%2i %8s %i %s %3i", ++slot, quoted.c_str(), static_cast<int>(info.userId),
                            std::to_string(info.wonId).c_str(), info.frags));
    std::int64_t seconds = std::max<std::int64_t>(0, (now - p->connectedAtMs) / 1000);
    int h = static_cast<int>(seconds / 3600), m = static_cast<int>(seconds / 60 % 60),
        s = static_cast<int>(seconds % 60);
    prints.push_back(h > 0 ? format(" %2i:%02i:%02i", h, m, s) : format(" %02i:%02i", m, s));
    prints.push_back(format(" %4i  %3i", info.ping, info.loss));
    prints.push_back(format(" %s\n", info.address.c_str()));
  }
  prints.push_back(format("%d users\n", static_cast<int>(listed.size())));
  return prints;
}

std::vector<std::string> GameServerSim::usersOutput() const {
  std::vector<std::string> prints{"userid : uniqueid : name\n", "------ : ---------: ----\n"};
  int count = 0;
  for (const Player& p : players_) {
    if (!p.info.inUsers) continue;
    ++count;
    prints.push_back(format("%6i : %u : %s\n", static_cast<int>(p.info.userId), p.info.wonId,
                            p.info.name.c_str()));
  }
  prints.push_back(format("%d users\n", count));
  return prints;
}

void GameServerSim::sendOutput(platform::SocketHandle socket, platform::Endpoint to,
                               const std::vector<std::string>& prints) {
  std::string buffer;
  int sent = 0;
  for (const std::string& print : prints) {
    if (!buffer.empty() && buffer.size() + print.size() >= kOutputBufferSize) {
      sendText(socket, to, 'l', buffer, true);
      buffer.clear();
      ++sent;
    }
    buffer += print;
  }
  sendText(socket, to, 'l', buffer, true);
  maxReplyDatagrams_ = std::max(maxReplyDatagrams_, sent + 1);
}

void GameServerSim::sendText(platform::SocketHandle socket, platform::Endpoint to, char kind,
                             const std::string& text, bool extraZero) {
  std::string datagram("\xFF\xFF\xFF\xFF", 4);
  if (kind != 0) datagram += kind;
  datagram += text;
  datagram += '\0';
  if (extraZero) datagram += '\0';
  platform::udpSendTo(socket, to, datagram.data(), datagram.size());
}

}  // namespace kestrin::sim
