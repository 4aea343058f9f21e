// The live status file, kestrin-status.json in the server's folder: what the
// server watches and who plays with a verified client, rewritten every 10
// seconds.  The host thread gathers a StatusSnapshot (copies taken under the
// games' locks, so that writing never holds one) and writes it whole: into a
// temporary file first, which is then renamed over the status file, so that
// a reader never finds it half written.  tools/kestrin-status prints it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrin {

inline constexpr const char* kStatusFileName = "kestrin-status.json";
inline constexpr const char* kStatusTempFileName = "kestrin-status.json.tmp";
inline constexpr std::uint32_t kStatusIntervalMs = 10000;
inline constexpr int kStatusReplaceAttempts = 3;
inline constexpr std::uint32_t kStatusReplacePauseMs = 10;

// The remote console of a game server as its thread last found it.
enum class ConsoleState : std::uint8_t { kUnconnected, kRefused, kReady };

// How far a player's anti-cheat client has come.
enum class ClientState : std::uint8_t {
  kNone,           // no client, no download notice yet
  kNoticeGiven,    // no client; asked to download it
  kAttached,       // a keyed client for this player, not yet matched
  kJoined,         // matched with the player's row; checks run
  kAuthenticated,  // has passed a check
};

struct PlayerStatus {
  std::string name;
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  std::uint32_t connectedSeconds = 0;
  ClientState client = ClientState::kNone;
  std::optional<platform::LocalTime> lastCheck;
};

struct GameStatus {
  std::string address;
  std::uint16_t port = 0;
  std::string externalIp;
  ConsoleState console = ConsoleState::kUnconnected;
  std::optional<platform::LocalTime> lastPoll;
  std::vector<PlayerStatus> players;
};

// A client still in its handshake.
struct PendingStatus {
  bool awaitingKey = false;  // else awaiting its hello
  std::uint32_t seconds = 0;
};

// Counts since the start.
struct StatusCounters {
  std::uint64_t clientsKeyed = 0;
  std::uint64_t checksPassed = 0;
  std::uint64_t verdicts = 0;
  std::uint64_t bans = 0;
  std::uint64_t kicks = 0;
};

struct StatusSnapshot {
  std::uint32_t version = 0;
  platform::LocalTime started;
  platform::LocalTime written;
  std::uint32_t masterTime = 0;
  std::uint16_t clientImage = 0;
  std::vector<GameStatus> games;
  std::vector<PendingStatus> pending;
  StatusCounters counters;
};

// The snapshot as the JSON text of the status file.
std::string statusJson(const StatusSnapshot& snapshot);

// Writes `json` to kStatusTempFileName in the current folder and renames it
// over kStatusFileName, trying the rename kStatusReplaceAttempts times
// kStatusReplacePauseMs apart.  False, with the old file left as it was,
// when the file cannot be written or replaced.
bool writeStatusFile(const std::string& json);

}  // namespace kestrin
