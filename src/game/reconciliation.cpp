#include "game/reconciliation.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "client/client_session.h"
#include "core/clock.h"
#include "core/print.h"
#include "game/client_messages.h"
#include "game/command_queue.h"
#include "game/game_server.h"

namespace kestrin {
namespace {

// Room for a player name and the longest fixed text of these messages.
constexpr std::size_t kNoticeSize = kPlayerNameSize + 128;

// The player has no client and never had one.
void judgeWithoutClient(GameServer& game, StatusRecord& row) {
  printMessage("Player %s has never had a client\n", row.name);
  auto minutes = static_cast<std::uint32_t>(row.minutes);
  auto seconds = static_cast<std::uint32_t>(row.seconds);
  char notice[kNoticeSize];
  if (minutes >= 1 && seconds >= 20 && !row.downloadNoticeGiven) {
    row.downloadNoticeGiven = 1;
    std::snprintf(notice, sizeof notice, "%s: Please download client @ %s", row.name,
                  KESTRIN_DOWNLOAD_SITE);
    printMessage("%s", notice);
    queueCommand(game, RconCommandId::Say, notice);
  } else if (minutes >= 2) {
    std::snprintf(notice, sizeof notice, "%s has no Kestrin client and will be banned for 1 minute",
                  row.name);
    printMessage("%s\n", notice);
    queueCommand(game, RconCommandId::Say, notice);
    queueBan(game, row.wonId, kNoClientBanMinutes);
    queueKick(game, row.userId);
  }
}

// A session that sent the ids of a player whom the game lists at another
// address is not his client: it is dropped before it can join.
void dropStranger(GameServer& game, const StatusRecord& row, std::uint32_t client) {
  reportStranger(*game.clients[client], row);
  game.clients[client]->sendDropNotice(wire::kDropKicked);
  removeClient(game, client);
}

// The caller holds the player tables' mutex.
void judgeSlot(GameServer& game, std::uint32_t slot, std::uint32_t now) {
  PlayerTables& tables = game.players;
  StatusRecord& row = tables.statusRecords[slot];
  if (!row.inUse) return;
  // Anyone may take the proxy's name; only the proxy has no WON id.
  if (game.hltvNameSet && row.wonId == kNoWonId && std::strcmp(row.name, game.hltvName) == 0) return;

  int client = findClient(game, row.userId, row.wonId);
  if (!row.present) {
    if (row.listed && findUser(tables, row.userId, row.wonId)) {
      printMessage(
          "Status record doesn't exist but users record does [name: %s] [userId: %u] [wonId: %u]\n",
          row.name, row.userId, row.wonId);
      return;
    }
    if (client >= 0) {
      game.clients[client]->sendDropNotice(wire::kDropLeft);
      removeClient(game, static_cast<std::uint32_t>(client));
    }
    printMessage("%s has left the game\n", row.name);
    freeStatus(tables, slot);
    return;
  }
  row.present = 0;

  if (client >= 0 && !game.clients[client]->joined && game.clients[client]->peerAddress != statusAddress(row)) {
    dropStranger(game, row, static_cast<std::uint32_t>(client));
    client = -1;
  }
  if (client >= 0) {
    row.playedWithClient = 1;
    ClientSession& session = *game.clients[client];
    if (!session.joined) joinClient(game, session, now);
    return;
  }
  if (row.playedWithClient) {
    printMessage("Player has been playing with client\n");
    if (static_cast<std::uint32_t>(row.minutes) >= 1) queueKick(game, row.userId);
    return;
  }
  judgeWithoutClient(game, row);
}

}  // namespace

void reconcile(GameServer& game, std::uint32_t now) {
  if (!timeAfter(now, game.nextReconcileTime)) return;
  game.nextReconcileTime = now + kReconcileIntervalMs;
  {
    // Held for the whole pass so that the game thread's next poll cannot
    // change rows half way through their judgement.
    std::lock_guard<std::mutex> lock(game.players.mutex);
    if (game.players.statusUpdated) {
      game.players.statusUpdated = 0;
      for (std::uint32_t slot = 0; slot < game.players.statusRecordCount && slot < kMaxStatusRecords; ++slot)
        judgeSlot(game, slot, now);
    }
  }
  queueCommand(game, RconCommandId::Users, "");
  queueCommand(game, RconCommandId::Status, "");
}

}  // namespace kestrin
