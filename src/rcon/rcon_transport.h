// The remote-console transport of one GameServer: connectionless datagrams
// over its UDP socket, the collection of a reply, rcon requests with their
// retries and verdicts, and the challenge exchange.  Game thread only, except
// the pure helpers (findReplyStart, assembleReply, parseChallenge),
// which touch no game.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

struct GameServer;

inline constexpr int kReplyWaitPasses = 32;
inline constexpr std::uint32_t kReplyPassPauseMs = 100;
inline constexpr std::uint32_t kDatagramPauseMs = 50;
inline constexpr int kRconAttempts = 8;
inline constexpr std::uint32_t kRconRetryPauseMs = 2000;

// Index just behind the last 0xFF 0xFF 0xFF 0xFF prefix in the buffer when
// the buffer ends in a zero byte; -1 otherwise.
long findReplyStart(const std::uint8_t* buffer, std::size_t length);

// Builds the reply text from the datagrams collected by one wait (held back
// to back in `buffer`, datagram i ending at ends[i]).  Complete when
// findReplyStart finds a reply.  The reply is the texts of all l-datagrams
// (prefix, then the letter l) joined in arrival order behind one leading l,
// each cut at its first zero byte; other datagrams are passed over.  Without
// any l-datagram it is the text behind the last prefix.  Writes the
// zero-terminated text into `out` (capacity at least length + 2) and returns
// true, or returns false when the collection is not complete.
bool assembleReply(const std::uint8_t* buffer, std::size_t length, const std::uint32_t* ends,
                   std::size_t count, char* out, std::size_t capacity);

// Reads a challenge answer: two words and an unsigned 32-bit number.
bool parseChallenge(const char* text, std::uint32_t* challenge);

// One datagram to the game server.
void sendPacket(GameServer& game, const void* data, std::size_t length);
// The 4-byte prefix, the text and a zero byte, as one datagram.
void sendConnectionless(GameServer& game, const char* text);
// Moves every datagram waiting on the socket that comes from the game
// server's address and port into the collection; others are dropped.
void pollReceive(GameServer& game);
// Drops the collection and every datagram waiting on the socket, so that a
// late answer to an earlier request is never taken for the next one's.
void dropStaleDatagrams(GameServer& game);
// The next complete reply, or null after 32 passes (then rconConnected is
// cleared) or when the watch is being stopped.
const char* waitReply(GameServer& game);
// Sends "rcon <challenge> "<password>" <command> <arguments>" with up to 8
// attempts and returns the accepted reply text (beginning with its l), or
// null.  A refused reply clears rconReady and rconConnected.
const char* rconCommand(GameServer& game, const char* command, const char* arguments);
// The connect step: obtains challengeId, proves the password and refreshes
// the contact marker.
bool requestChallenge(GameServer& game);

}  // namespace kestrin
