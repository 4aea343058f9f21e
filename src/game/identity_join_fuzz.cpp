// Identity at the join under a fuzzed sequence of events, one byte each: the
// top three bits pick the event, the low three one of 8 players (user id 1
// to 8, WON id 100 times that) and the next two one of 4 addresses.  Events:
// status lists the player there; users lists him; his client connects from
// there; a reconciliation pass; time passes with the client turns; a client
// hangs up.  Always: at most one session per player; a session is admitted
// and joins only at the address status lists its player at, and a stranger
// never outlives a pass unjoined.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "client/check_id_list.h"
#include "client/client_session.h"
#include "game/reconciliation.h"
#include "support/game_test_support.h"
#include "update/updater.h"

namespace {

using namespace kestrin;

// The address status shows the player at, or 0.
std::uint32_t listedAt(const GameServer& game, std::uint32_t userId) {
  const int row = findStatus(game.players, userId, userId * 100);
  return row >= 0 && game.players.statusRecords[row].listed ? statusAddress(game.players.statusRecords[row]) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One game for every input (it is large), emptied at the end of each.
  static testing::TestGame t;
  static CheckIdList checks;
  static UpdateState update;
  GameServer& game = *t.game;
  PlayerTables& tables = game.players;
  t.now = game.nextReconcileTime = 100000;
  // At most 64 events: longer inputs would only make each run slower.
  for (std::size_t i = 0; i < size && i < 64; ++i) {
    const std::uint32_t userId = 1 + data[i] % 8;
    const std::uint32_t address = 0x0A000001u + (data[i] >> 3 & 3);
    const int row = findStatus(tables, userId, userId * 100);
    switch (data[i] >> 5) {
      case 0: {
        const int index = row >= 0 ? row : addStatus(tables);
        if (index < 0) break;
        StatusRecord& listed = tables.statusRecords[index];
        listed = StatusRecord{};
        listed.inUse = listed.present = listed.listed = tables.statusUpdated = 1;
        listed.userId = userId;
        listed.wonId = userId * 100;
        listed.minutes = 2;
        listed.ip[0] = 10;
        listed.ip[3] = static_cast<std::uint8_t>(address);
        break;
      }
      case 1:
        if (!listsUser(tables, userId, userId * 100) && tables.userRecordCount < kMaxUserRecords)
          tables.userRecords[tables.userRecordCount++] = UserRecord{userId, userId * 100, "p"};
        break;
      case 2:
      case 3: {
        auto* session = new ClientSession();
        session->userId = userId;
        session->wonId = userId * 100;
        session->peerAddress = address;
        session->checkIdList = &checks;
        session->update = &update;
        const std::uint32_t listed = listedAt(game, userId);
        if (!admitClient(game, session, t.now)) {
          delete session;
        } else if (listed != 0 && listed != address) {
          __builtin_trap();
        }
        break;
      }
      case 4: {
        // Status shown anew is judged: joins there only, strangers dropped.
        std::uint32_t shown[9] = {};
        for (std::uint32_t id = 1; id <= 8 && tables.statusUpdated; ++id) {
          const int r = findStatus(tables, id, id * 100);
          if (r >= 0 && tables.statusRecords[r].present) shown[id] = listedAt(game, id);
        }
        std::vector<const ClientSession*> joined;
        for (std::uint32_t c = 0; c < game.clientCount; ++c)
          if (game.clients[c]->joined) joined.push_back(game.clients[c]);
        t.now += kReconcileIntervalMs + 1;
        reconcile(game, t.now);
        for (std::uint32_t c = 0; c < game.clientCount; ++c) {
          const ClientSession& session = *game.clients[c];
          const bool newly = session.joined && std::find(joined.begin(), joined.end(), &session) == joined.end();
          if ((newly || !session.joined) && shown[session.userId] != 0 && shown[session.userId] != session.peerAddress)
            __builtin_trap();
          if (newly && shown[session.userId] == 0) __builtin_trap();
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
    for (std::uint32_t c = 0; c < game.clientCount; ++c)
      if (findClient(game, game.clients[c]->userId, game.clients[c]->wonId) != static_cast<int>(c)) __builtin_trap();
  }
  while (game.clientCount > 0) removeClient(game, game.clientCount - 1);
  for (StatusRecord& row : tables.statusRecords) row = StatusRecord{};
  tables.statusRecordCount = tables.userRecordCount = tables.statusUpdated = 0;
  t.take();
  return 0;
}
