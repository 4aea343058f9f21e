// The status file kestrin-status.json that the server rewrites every 10
// seconds in its folder, as readable tables.
//
// The file is one JSON object:
//   "version"      server version (number)
//   "started"      local date and time of the start, "YYYY-MM-DD HH:MM:SS"
//   "written"      local date and time the file was written
//   "masterTime"   the master time from the update server (number)
//   "clientImage"  version of the client image handed out, 0 for none
//   "games"        one object per watched game server:
//     "address", "port", "externalIp",
//     "console"    "unconnected", "refused" or "ready",
//     "lastPoll"   local date and time of the last answered poll, or null,
//     "players"    one object per player: "name", "userId", "wonId",
//                  "connected" (seconds, as the game server shows them),
//                  "client" ("none", "notice given", "attached", "joined" or
//                  "authenticated") and "lastCheck" (local date and time of
//                  the last passed check, or null)
//   "pending"      one object per client still in its handshake: "state"
//                  ("awaiting hello" or "awaiting key") and "seconds" since
//                  it connected
//   "counters"     since the start: "clientsKeyed", "checksPassed",
//                  "verdicts", "bans", "kicks"
#pragma once

#include <string>

namespace kestrin::status {

// The tables for the text of a status file; false, with the reason in
// `error`, when the text is no JSON or lacks a field of the right type.
bool renderStatus(const std::string& json, std::string* out, std::string* error);

}  // namespace kestrin::status
