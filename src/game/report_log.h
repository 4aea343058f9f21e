// The report log "kestrin.log": one line for every cheat and modified-file
// verdict, so that an operator can see afterwards who was banned, from which
// address, when and why.  Appended to only; the file is opened and closed for
// every line.  Host thread only.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace kestrin {

struct ClientSession;
struct GameServer;
struct StatusLine;

inline constexpr const char* kReportLogFileName = "kestrin.log";
// Room for the longest line a verdict can make: two player names of at most
// 255 characters, a file name, the numbers and the fixed text.  A longer
// line would be cut, keeping its line end.
inline constexpr std::size_t kReportLineSize = 1024;

// Formats one line:
//   [dd.mm.yyyy hh:mm:ss] "<name>" (<wonId, signed>) a.b.c.d:port - <message>
// ending with "\n", into `out` (kReportLineSize bytes).  Returns its length.
std::size_t formatReportLine(char* out, const platform::LocalTime& time, const StatusLine& row,
                             const char* message);

// Appends `line` to the file at `path`; false when the file cannot be opened.
bool appendReportLine(const char* path, const char* line);

// Writes the line for the session's player (found by its status row in
// `game`) with the local time now to "kestrin.log".  Prints why when the
// player's row is gone or the file cannot be opened.  Takes the game's
// player tables' mutex.
void writeReport(const GameServer& game, const ClientSession& session, const char* message);

}  // namespace kestrin
