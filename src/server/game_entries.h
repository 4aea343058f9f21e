// The game entries: every "[game]" section of the configuration becomes one
// watched GameServer at start-up.  Host thread, start-up only.
#pragma once

#include <cstdint>

#include "config/config.h"
#include "game/game_server.h"

namespace kestrin {

struct Server;

// The "rcon" value of a section: "<a.b.c.d>:<port> <password>" (a blank may
// stand for the colon).
struct RconSetting {
  char address[kGameAddressSize] = {};
  std::uint16_t port = 0;
  char password[kRconPasswordSize] = {};
};

// Start-up: allocates the entries and builds an entry from every section
// whose address and port are not watched yet, and starts its watch.  False,
// after the reason was printed, when a section is invalid; entries built
// before stay.
bool buildGameEntries(Server& server);

// Index among the built entries with exactly this address text and port, or -1.
int findGame(const Server& server, const char* address, std::uint16_t port);

// Reads the three words of an "rcon" value.  False when fewer than three are
// there (silently) or when one does not fit its field (with an "Error: "
// message).
bool parseRconValue(const char* value, RconSetting* setting);

// One GameServer per section, none built yet; false, after a message, when
// memory runs out.
bool allocateGameEntries(Server& server);

enum class EntryBuild { kBuilt, kAlreadyWatched, kInvalid };
// Builds entry gameCount from section `sectionIndex`, without starting its
// watch: reads the rcon value into `setting`, digests the listed files, reads
// the external address and counts the entry in gameCount.  kInvalid after the
// reason was printed (an rcon value of fewer than three words excepted);
// kAlreadyWatched, after a message, when a built entry has the same address
// and port.  Config::currentLine follows the line each step reads.
EntryBuild buildGameEntry(Server& server, std::uint32_t sectionIndex, RconSetting* setting);

// Walks the files a section lists for the checksum list: every "chkdll"
// value in file order, then every "chkmdl" value.  Start with a
// zero-initialised cursor; false when none is left.
struct CheckFileCursor {
  bool models = false;
  std::uint32_t next = 0;
};
bool nextCheckFile(const ConfigSection& section, CheckFileCursor* cursor, const char** fileName,
                   bool* isModel);

}  // namespace kestrin
