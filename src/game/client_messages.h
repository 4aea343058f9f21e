// The game's side of the in-game client messages: what the reconciliation
// and the client turns ask of an attached session.  Host thread only.
#pragma once

#include <cstdint>

#include "core/wire.h"

namespace kestrin {

struct ClientSession;

// The client step of an attached session; false for a closed one.
bool clientStep(ClientSession& session);
// First meeting of the session with its player's status row: marks it joined.
void joinClient(ClientSession& session);
// Sends the drop notice (frame id 6) with its reason.
void sendDropNotice(ClientSession& session, wire::DropReason reason);

}  // namespace kestrin
