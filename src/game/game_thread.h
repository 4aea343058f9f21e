// The watch of one game server: the game's own thread and its loop (connect,
// prove the password, run the queued commands one at a time), and the
// requests it sends over the game's link, whose verdicts it hands on to the
// game's shared rconReady.  Everything but startWatch and stopWatch runs on
// the game thread.
#pragma once

#include <cstdint>

namespace kestrin {

struct GameServer;

inline constexpr int kLocalPortAttempts = 9;
inline constexpr std::uint32_t kFailedStepPauseMs = 30000;
inline constexpr std::uint32_t kCommandStepPauseMs = 50;

// Host thread, once per game: stores the settings, schedules the first
// reconciliation 20 s after `now`, binds the link's socket to a random local
// port (2001 to 2999, up to 9 ports) and starts the thread.  False when no
// port could be bound.
bool startWatch(GameServer& game, const char* address, std::uint16_t port, const char* password,
                std::uint32_t now);
// Host thread: stops the thread (a stop cuts every pause and wait short),
// joins it and closes the link.  Harmless when the watch never started.
void stopWatch(GameServer& game);

// The thread procedure; `argument` is the GameServer.  Runs steps until the
// watch is stopped.
void gameThreadMain(void* argument);
// One pass of the thread's loop: a connect step while not connected;
// once the password is accepted, the next queued command (waiting for one)
// followed by the 50 ms pause.
void gameThreadStep(GameServer& game);

// One rcon request over the game's link.  An accepted reply sets rconReady
// (printing that the password was accepted when it was clear), a refusal
// clears it.  The accepted reply text, or null.
const char* runRcon(GameServer& game, const char* command, const char* arguments);
// The connect step: a fresh challenge, the password proven by reading
// "sv_contact", and the contact marker refreshed.
bool connectStep(GameServer& game);
// Reads a console variable into `value` (kCvarValueSize bytes); true when
// the reply names that variable exactly.
bool queryCvar(GameServer& game, const char* name, char* value);
// Replaces the marker in "sv_contact"; true when the game server accepted it.
bool setContactMarker(GameServer& game);
// Takes the next command off the queue, if any, and runs it.
void runNextCommand(GameServer& game);

}  // namespace kestrin
