// The in-game side of a client session attached to a game: the join, the
// client-image transfer, the check request every 30 s with its evaluation
// 20 s later, and the verdicts with their drop notices and console commands.
// Driven by the game step (client turns) and the reconciliation.  Host
// thread only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

struct ClientSession;
struct GameServer;

inline constexpr std::uint32_t kCheckIntervalMs = 30000;
inline constexpr std::uint32_t kCheckAnswerWaitMs = 20000;
inline constexpr int kVerdictBanMinutes = 5;
// Shown for a player whose user row cannot be found.
inline constexpr const char* kUnknownPlayerName = "unknown";
// Room for a verdict or notice: a player name of up to 255 characters, a
// listed file name and the fixed text.
inline constexpr std::size_t kClientMessageSize = 512;

// The client step of a session of `game`: nothing before the join; the next
// image chunk while a transfer runs; otherwise a due check request, then a
// due evaluation.  False for a closed session.
bool clientStep(GameServer& game, ClientSession& session, std::uint32_t now);
// First meeting of the session with its player's status row: a say on the
// game, the first check in 30 s and, for an outdated client, the image.
// The caller holds the game's player tables' mutex.
void joinClient(GameServer& game, ClientSession& session, std::uint32_t now);
// Begins the client-image transfer when the client is older than the loaded
// image; the first chunk goes 500 ms after `now`.
void startUpdate(ClientSession& session, std::uint32_t now);
// Drop notice 1, a kick on the game, the session closed.
void kickClient(GameServer& game, ClientSession& session);
// Drop notice 2, a ban for `minutes` on the game, the session closed.
void banClient(GameServer& game, ClientSession& session, int minutes);

}  // namespace kestrin
