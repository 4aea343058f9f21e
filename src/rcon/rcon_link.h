// The remote-console link to one game server: its UDP socket, the game
// server's address, the challenge and password, the buffers in which a reply
// is collected, and the transport over them (connectionless datagrams, the
// collection of a reply, rcon requests with their retries, the challenge
// exchange).
//
// A link belongs to one game thread, which alone uses it; whoever owns it
// sets it up before that thread starts and closes it after the thread ended.
// The pure helpers (findReplyStart, assembleReply, parseChallenge) touch no
// link and may run anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"
#include "platform/platform.h"
#include "platform/stop_signal.h"

namespace kestrin {

inline constexpr std::size_t kRconPasswordSize = 32;
// The reply datagrams one wait can collect.
inline constexpr std::size_t kMaxReplyDatagrams = 64;
inline constexpr int kReplyWaitPasses = 32;
inline constexpr std::uint32_t kReplyPassPauseMs = 100;
inline constexpr std::uint32_t kDatagramPauseMs = 50;
// The datagrams one poll reads at most, whoever sent them.
inline constexpr int kPollDatagramLimit = 2 * static_cast<int>(kMaxReplyDatagrams);
inline constexpr int kRconAttempts = 8;
inline constexpr std::uint32_t kRconRetryPauseMs = 2000;

struct RconLink {
  // Every pause and wait of the link ends at once once `stop` is requested;
  // the signal outlives the link.
  explicit RconLink(platform::StopSignal& stopSignal) : stop(stopSignal) {}
  RconLink(const RconLink&) = delete;
  RconLink& operator=(const RconLink&) = delete;

  platform::StopSignal& stop;
  platform::SocketHandle socket = platform::kInvalidSocket;
  platform::Endpoint gameAddress;
  char password[kRconPasswordSize] = {};
  std::uint32_t challengeId = 0;
  // A challenge is held and the game server answers; cleared by every wait
  // that runs out and by every refused request.
  bool connected = false;
  // The last refusal named the challenge, not the password: the game server
  // has restarted and a fresh challenge is all it takes.
  bool challengeStale = false;

  // The datagrams of the reply being collected, back to back, and where
  // each one ends.
  std::uint8_t datagrams[wire::kRconBufferSize] = {};
  std::uint32_t received = 0;
  std::uint32_t datagramEnds[kMaxReplyDatagrams] = {};
  std::uint32_t datagramCount = 0;
  // The reply last taken, zero-terminated.
  char reply[wire::kRconBufferSize + 2] = {};
};

// The outcome of one rcon request.
struct RconReply {
  // The accepted reply text (beginning with its l), or null.
  const char* text = nullptr;
  // The game server refused the request: the password, or after a restart
  // of the game server the challenge, is no longer good.
  bool refused = false;
};

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

// Creates the link's UDP socket bound to `port` on every local address and
// connected to gameAddress (set before).
bool openLink(RconLink& link, std::uint16_t port);
// Closes the socket; harmless when it is not open.
void closeLink(RconLink& link);

// One datagram to the game server.
void sendPacket(RconLink& link, const void* data, std::size_t length);
// The 4-byte prefix, the text and a zero byte, as one datagram.
void sendConnectionless(RconLink& link, const char* text);
// Moves the datagrams waiting on the socket (at most kPollDatagramLimit)
// that come from the game server's address and port into the collection,
// pausing 50 ms behind each; others are dropped at no cost.
void pollReceive(RconLink& link);
// Drops the collection and every datagram waiting on the socket, so that a
// late answer to an earlier request is never taken for the next one's.
void dropStaleDatagrams(RconLink& link);
// The next complete reply, or null after 32 passes (then `connected` is
// cleared) or when the link is being stopped.
const char* waitReply(RconLink& link);
// Sends "rcon <challenge> "<password>" <command> <arguments>" with up to 8
// attempts.  A refusal clears `connected`.
RconReply rconCommand(RconLink& link, const char* command, const char* arguments);
// Asks for a challenge and keeps it in challengeId; false when none came or
// the answer could not be read.
bool requestChallenge(RconLink& link);

}  // namespace kestrin
