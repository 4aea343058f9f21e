// The in-game side of an attached client session: the join, the client-image
// transfer, the check request every 30 s with its evaluation 20 s later, and
// the verdicts with their drop notices and console commands.  Driven by the
// game step (client turns) and the reconciliation.  Host thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"

namespace kestrin {

struct ClientSession;

inline constexpr std::uint32_t kCheckIntervalMs = 30000;
inline constexpr std::uint32_t kCheckAnswerWaitMs = 20000;
inline constexpr int kVerdictBanMinutes = 5;
// Shown for a player whose user row cannot be found.
inline constexpr const char* kUnknownPlayerName = "unknown";
// Room for a verdict or notice: a player name of up to 255 characters, a
// listed file name and the fixed text.
inline constexpr std::size_t kClientMessageSize = 512;

// The client step: the next image chunk while a transfer runs; otherwise a
// due check request, then a due evaluation.  False for a closed session.
bool clientStep(ClientSession& session, std::uint32_t now);
// First meeting of the session with its player's status row: a say on the
// game, the first check in 30 s and, for an outdated client, the image.
void joinClient(ClientSession& session, std::uint32_t now);
// Begins the client-image transfer when the client is older than the loaded
// image; the first chunk goes 500 ms after `now`.
void startUpdate(ClientSession& session, std::uint32_t now);
// Sends the drop notice (frame id 6) with its reason.
void sendDropNotice(ClientSession& session, wire::DropReason reason);
// Drop notice 1, a kick on the game, the session closed.
void kickClient(ClientSession& session);
// Drop notice 2, a ban for `minutes` on the game, the session closed.
void banClient(ClientSession& session, int minutes);

}  // namespace kestrin
