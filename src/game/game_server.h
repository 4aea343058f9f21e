// One watched game server: its remote-console connection, the player and
// user tables last read from it, the anti-cheat clients whose players are on
// it and the queue of console commands waiting to go to it.
//
// Server owns an array of these for the whole run; the array never moves.
// Two threads use each record: the host thread (game step, reconciliation,
// client sessions, queuing) and the game's own thread (all remote-console
// traffic).  What they share is guarded by `mutex` or atomic; every other
// field belongs to one thread, as marked.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "config/config.h"
#include "core/wire.h"
#include "digest/checksum_list.h"
#include "game/player_tables.h"
#include "platform/platform.h"
#include "platform/stop_signal.h"
#include "rcon/command_queue.h"

namespace kestrin {

struct ClientSession;
struct Server;

inline constexpr std::size_t kClientSlots = 64;  // at most 63 attached
inline constexpr std::size_t kGameAddressSize = 16;
inline constexpr std::size_t kRconPasswordSize = 32;
inline constexpr std::size_t kExternalIpSize = 32;
// The reply datagrams one wait can collect.
inline constexpr std::size_t kMaxReplyDatagrams = 64;
inline constexpr std::uint32_t kFirstReconcileDelayMs = 20000;

struct GameServer {
  GameServer() = default;
  GameServer(const GameServer&) = delete;
  GameServer& operator=(const GameServer&) = delete;
  // Stops the watch if it still runs and frees the attached sessions.
  ~GameServer();

  // ---- host thread (set before the game thread starts, then read only)
  std::uint32_t nextReconcileTime = 0;
  bool hltvNameSet = false;
  char hltvName[kConfigValueSize] = {};
  // The listed files whose digests the clients must match.
  ChecksumList checksumList;
  char address[kGameAddressSize] = {};
  char rconPassword[kRconPasswordSize] = {};
  char externalIp[kExternalIpSize] = {};
  std::uint16_t port = 0;

  // ---- shared: written by the game thread, read by both
  std::atomic<bool> rconConnected{false};
  std::atomic<bool> rconReady{false};

  // ---- shared: guarded by `mutex`
  // Recursive because a pass of the reconciliation holds it while calling
  // the table look-ups and the queue, which take it themselves.
  mutable std::recursive_mutex mutex;
  StatusRecord statusRecords[kMaxStatusRecords];
  std::uint32_t statusRecordCount = 0;
  std::uint8_t statusUpdated = 0;
  UserRecord userRecords[kMaxUserRecords];
  std::uint32_t userRecordCount = 0;
  // Ring of queued commands: entry 0 is commands[commandHead].
  RconCommand commands[kCommandQueueCapacity];
  std::uint32_t commandHead = 0;
  std::int32_t commandCount = 0;

  // ---- host thread
  ClientSession* clients[kClientSlots] = {};
  std::uint32_t clientCount = 0;

  // ---- game thread (the socket is opened before and closed after it runs)
  std::uint32_t challengeId = 0;
  platform::SocketHandle socket = platform::kInvalidSocket;
  platform::Endpoint gameAddress;
  // The datagrams of the reply being collected, back to back, and where
  // each one ends.
  std::uint8_t rconBuffer[wire::kRconBufferSize] = {};
  std::uint32_t rconReceived = 0;
  std::uint32_t rconDatagramEnds[kMaxReplyDatagrams] = {};
  std::uint32_t rconDatagramCount = 0;
  // The reply last taken, zero-terminated.
  char rconReply[wire::kRconBufferSize + 2] = {};

  platform::Thread thread;
  platform::StopSignal stopSignal;
};

// The game step, once per main step at ServerClock `now`: read the clients;
// while the password is accepted, give every client its turn and run the
// reconciliation.  False when rconReady is clear.
bool stepGame(GameServer& game, std::uint32_t now);
// Reads every attached session whose socket has data; removes closed ones.
void pollClients(GameServer& game);
// Gives every attached session its client step; removes closed ones.
void runClients(GameServer& game, std::uint32_t now);
// Appends a session (the game takes ownership); false, with nothing changed,
// when 63 are attached already.
bool attachClient(GameServer& game, ClientSession* session);
// Disconnects and frees the session at `index` and closes the gap.
void removeClient(GameServer& game, std::uint32_t index);
// Index of the first session with exactly this userId and wonId, or -1.
int findClient(const GameServer& game, std::uint32_t userId, std::uint32_t wonId);

// The first game, in configuration order, whose user table lists the
// player, or null.
GameServer* findGameOfUser(Server& server, std::uint32_t userId, std::uint32_t wonId);
// Queues a "users" poll on every game.
void requestUsersEverywhere(Server& server);

}  // namespace kestrin
