// The watch of one game server: its UDP socket, its thread, the thread's
// loop (connect, prove the password, run queued commands) and the contact
// marker it keeps in the game server's "sv_contact" console variable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

struct GameServer;

inline constexpr int kLocalPortAttempts = 9;
inline constexpr std::uint32_t kFailedStepPauseMs = 30000;
inline constexpr std::uint32_t kCommandStepPauseMs = 50;
inline constexpr std::size_t kCvarValueSize = 256;
inline constexpr std::size_t kContactValueSize = 128;
inline constexpr const char* kContactMarkerSearch = "{KESTRIN";

// Host thread, once per game: stores the settings, schedules the first
// reconciliation 20 s after `now`, binds the socket to a random local port
// (2001 to 2999, up to 9 ports) and starts the thread.  False when no port
// could be bound.
bool startWatch(GameServer& game, const char* address, std::uint16_t port, const char* password,
                std::uint32_t now);
// Host thread: stops the thread (a stop cuts every pause and wait short),
// joins it and closes the socket.  Harmless when the watch never started.
void stopWatch(GameServer& game);
// Creates the game's UDP socket bound to `port` on every local address.
bool openRconSocket(GameServer& game, std::uint16_t port);

// The thread procedure; `argument` is the GameServer.  Runs steps until the
// watch is stopped.
void gameThreadMain(void* argument);
// One pass of the thread's loop.
void gameThreadStep(GameServer& game);

// Reads the reply to a console variable's name ("l"", name, "" is "", value,
// quotes) into `name` and `value` (kCvarValueSize bytes each); a field that
// cannot be read is left as it was.
void parseCvarReply(const char* reply, char* name, char* value);
// Reads a console variable through rcon into `value` (kCvarValueSize
// bytes); true when the reply names that variable exactly.
bool queryCvar(GameServer& game, const char* name, char* value);
// Removes every contact marker from `value` (texts of 1 to 3 characters are
// dropped whole); false when a marker lacks its two closing braces.
bool cleanContactValue(char* value);
// Formats the new quoted contact value into `out` (kContactValueSize bytes),
// cutting the administrator's text, never the marker, to make it fit.
void formatContactValue(const char* oldValue, const char* externalIp, char* out);
// Replaces the marker in "sv_contact"; true when the game server accepted it.
bool setContactMarker(GameServer& game);

}  // namespace kestrin
