// Identity at the join under a fuzzed sequence of events, one byte each: the
// top three bits pick the event, the low three bits one of 8 players and the
// next two one of 4 addresses.  Events: status lists the player at the
// address; users lists him; a client of his connects from the address and
// is admitted; a reconciliation pass; time passes (with the client turns);
// a client hangs up.  Always: at most one session per player and 63 in all;
// a session is admitted only from the address status lists its player at,
// joins only at that address, and a stranger never outlives a pass unjoined.
#include <cstdint>
#include <cstdio>

#include "client/check_id_list.h"
#include "client/client_session.h"
#include "game/reconciliation.h"
#include "support/game_test_support.h"
#include "update/updater.h"

namespace {

using namespace kestrin;

constexpr int kPlayers = 8;

const StatusRecord* rowOf(const GameServer& game, std::uint32_t userId) {
  const int row = findStatus(game.players, userId, userId * 100);
  return row >= 0 && game.players.statusRecords[row].listed ? &game.players.statusRecords[row] : nullptr;
}

void list(GameServer& game, std::uint32_t userId, std::uint32_t address) {
  PlayerTables& tables = game.players;
  int index = findStatus(tables, userId, userId * 100);
  if (index < 0) index = addStatus(tables);
  if (index < 0) return;
  StatusRecord& row = tables.statusRecords[index];
  std::snprintf(row.name, sizeof row.name, "p%u", userId);
  row.userId = userId;
  row.wonId = userId * 100;
  row.minutes = 2;
  row.ip[0] = 10;
  row.ip[3] = static_cast<std::uint8_t>(address);
  row.present = row.listed = 1;
  tables.statusUpdated = 1;
}

void check(const GameServer& game) {
  if (game.clientCount >= kClientSlots) __builtin_trap();
  for (std::uint32_t i = 0; i < game.clientCount; ++i)
    if (findClient(game, game.clients[i]->userId, game.clients[i]->wonId) != static_cast<int>(i)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One game for every input (it is large), emptied at the end of each.
  static testing::TestGame t;
  GameServer& game = *t.game;
  t.now = 100000;
  game.nextReconcileTime = t.now;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t userId = 1 + data[i] % kPlayers;
    const std::uint32_t address = 0x0A000001u + (data[i] >> 3 & 3);
    switch (data[i] >> 5) {
      case 0:
        list(game, userId, address & 0xFF);
        break;
      case 1: {
        PlayerTables& tables = game.players;
        if (!listsUser(tables, userId, userId * 100) && tables.userRecordCount < kMaxUserRecords)
          tables.userRecords[tables.userRecordCount++] = UserRecord{userId, userId * 100, "p"};
        break;
      }
      case 2:
      case 3: {
        static CheckIdList checks;
        static UpdateState update;
        auto* session = new ClientSession();
        session->checkIdList = &checks;
        session->update = &update;
        session->userId = userId;
        session->wonId = userId * 100;
        session->peerAddress = address;
        const StatusRecord* row = rowOf(game, userId);
        const bool admitted = admitClient(game, session, t.now);
        if (admitted && row != nullptr && statusAddress(*row) != address) __builtin_trap();
        if (!admitted) delete session;
        break;
      }
      case 4: {
        // Who status shows now, and which sessions had joined before.
        std::uint32_t shownAt[kPlayers + 1] = {};
        for (std::uint32_t id = 1; id <= kPlayers; ++id) {
          const StatusRecord* row = rowOf(game, id);
          if (row != nullptr && row->present && game.players.statusUpdated) shownAt[id] = statusAddress(*row);
        }
        bool joinedBefore[kClientSlots] = {};
        const ClientSession* before[kClientSlots] = {};
        for (std::uint32_t c = 0; c < game.clientCount; ++c) {
          before[c] = game.clients[c];
          joinedBefore[c] = game.clients[c]->joined;
        }
        const std::uint32_t countBefore = game.clientCount;
        t.now += kReconcileIntervalMs + 1;
        reconcile(game, t.now);
        for (std::uint32_t c = 0; c < game.clientCount; ++c) {
          const ClientSession& session = *game.clients[c];
          const std::uint32_t shown = shownAt[session.userId];
          bool wasJoined = false;
          for (std::uint32_t b = 0; b < countBefore; ++b) wasJoined = wasJoined || (before[b] == &session && joinedBefore[b]);
          if (session.joined && !wasJoined && shown != session.peerAddress) __builtin_trap();
          if (!session.joined && shown != 0 && shown != session.peerAddress) __builtin_trap();
        }
        t.take();
        break;
      }
      case 5:
      case 6:
        t.now += (data[i] & 31) * 1000;
        runClients(game, t.now);
        break;
      default:
        if (game.clientCount > 0) game.clients[data[i] % game.clientCount]->disconnect();
    }
    check(game);
  }
  while (game.clientCount > 0) removeClient(game, game.clientCount - 1);
  for (StatusRecord& row : game.players.statusRecords) row = StatusRecord{};
  game.players.statusRecordCount = game.players.userRecordCount = game.players.statusUpdated = 0;
  t.take();
  return 0;
}
