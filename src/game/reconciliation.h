// The reconciliation pass: every 10 s per game, judges the players of the
// latest "status" reply against the attached clients and the user table,
// asks players without a client to get one, bans and kicks those who keep
// playing without, drops players who left, and queues the next polls.
// Host thread.
#pragma once

#include <cstdint>

namespace kestrin {

struct GameServer;

inline constexpr std::uint32_t kReconcileIntervalMs = 10000;
inline constexpr int kNoClientBanMinutes = 1;
// The WON id of a player who has none, as the game server lists its HLTV
// proxy: a row with the configured hltvname is exempt only with this id.
inline constexpr std::uint32_t kNoWonId = 4294967295u;

// Returns at once unless nextReconcileTime is earlier than `now`.
void reconcile(GameServer& game, std::uint32_t now);

}  // namespace kestrin
