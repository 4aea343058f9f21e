// One watched game server: its remote-console link, the queue of console
// commands waiting to go over it, the player and user tables last read from
// it, the checksum list its clients must match and the anti-cheat clients
// whose players are on it.
//
// Server owns an array of these for the whole run; the array never moves.
// Two threads use each record: the host thread (game step, reconciliation,
// client sessions, queuing) and the game's own thread (everything that goes
// over the link).  They share only rconReady, rconRefused and the sent
// counters (atomics), the command queue and the player tables (each with a
// mutex of its own); every other field belongs to one thread, as marked.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "digest/checksum_list.h"
#include "game/command_queue.h"
#include "game/player_tables.h"
#include "platform/platform.h"
#include "platform/stop_signal.h"
#include "rcon/rcon_link.h"

namespace kestrin {

struct ClientSession;

inline constexpr std::size_t kClientSlots = 64;  // at most 63 attached
inline constexpr std::size_t kGameAddressSize = 16;
inline constexpr std::size_t kExternalIpSize = 32;
inline constexpr std::uint32_t kFirstReconcileDelayMs = 20000;
// An admitted session must join its player within this time of the game's
// console answering.
inline constexpr std::uint32_t kJoinWaitMs = 30000;

struct GameServer {
  GameServer() = default;
  GameServer(const GameServer&) = delete;
  GameServer& operator=(const GameServer&) = delete;
  // Stops the watch if it still runs and frees the attached sessions.
  ~GameServer();

  // ---- host thread (set before the game thread starts, then read only)
  bool hltvNameSet = false;
  char hltvName[kConfigValueSize] = {};
  // The listed files whose digests the clients must match.
  ChecksumList checksumList;
  // The watched game server as configured.
  char address[kGameAddressSize] = {};
  std::uint16_t port = 0;
  char externalIp[kExternalIpSize] = {};

  // ---- shared
  // The game server accepts the password: set and cleared by the game
  // thread from the verdicts of its requests.  While it is clear the host
  // thread queues no commands and gives the clients no turns.
  std::atomic<bool> rconReady{false};
  // The game server's last answer refused the password.
  std::atomic<bool> rconRefused{false};
  CommandQueue commands;
  PlayerTables players;
  // Bans and kicks sent to the game server since the start (game thread).
  std::atomic<std::uint32_t> bansSent{0};
  std::atomic<std::uint32_t> kicksSent{0};

  // ---- host thread
  std::uint32_t nextReconcileTime = 0;
  ClientSession* clients[kClientSlots] = {};
  std::uint32_t clientCount = 0;
  // Since the start: check answers that matched, cheat and modified-file
  // verdicts.
  std::uint32_t checksPassed = 0;
  std::uint32_t verdicts = 0;

  // ---- game thread (the link is set up before and closed after it runs;
  // the host thread only requests the stop)
  platform::StopSignal stopSignal;
  RconLink link{stopSignal};
  platform::Thread thread;
};

// Reads every attached session the main step's poll found readable; of
// those, removes the closed ones.  The first half of the game step, which
// the main step leaves out when its poll found no session readable.
void readClients(GameServer& game);
// The rest of the game step, once per main step at ServerClock `now`: while
// the password is accepted, give every client its turn and run the
// reconciliation.  False when rconReady is clear.
bool stepGame(GameServer& game, std::uint32_t now);
// Gives every attached session its client step; removes closed ones and
// those whose join deadline passed.
void runClients(GameServer& game, std::uint32_t now);
// Appends a session (the game takes ownership); false, with nothing changed,
// when 63 are attached already.
bool attachClient(GameServer& game, ClientSession* session);
// Hands a keyed session to the game at ServerClock `now`, with 30 s to join.
// A session from another address than the one status lists its player at
// is refused; an earlier session of the same player is replaced (before
// status lists him, only from the earlier session's address); in a full
// game the oldest session not yet joined makes room.  Prints why it refuses
// or drops a session; false, with the session left to the caller, when it
// is refused.  Takes the player tables' mutex.
bool admitClient(GameServer& game, ClientSession* session, std::uint32_t now);
// Prints that `session` is not the client of the player of `row`, who is
// listed at another address.
void reportStranger(const ClientSession& session, const StatusLine& row);
// Disconnects and frees the session at `index` and closes the gap.
void removeClient(GameServer& game, std::uint32_t index);
// Index of the first session with exactly this userId and wonId, or -1.
int findClient(const GameServer& game, std::uint32_t userId, std::uint32_t wonId);

}  // namespace kestrin
