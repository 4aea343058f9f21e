// ServerClock: unsigned 32-bit milliseconds, the system timer since start-up
// plus an offset (10000 at start-up, then the master time).  All arithmetic
// wraps modulo 2^32.
#pragma once

#include <cstdint>

namespace kestrin {

inline constexpr std::uint32_t kInitialClockOffset = 10000;

inline std::uint32_t serverClock(std::uint32_t timer, std::uint32_t start, std::uint32_t offset) {
  return (timer - start) + offset;
}

// A timer is an absolute clock value; 0 means not set.  It has run out when
// it is set and strictly earlier than `now`, compared unsigned.
inline bool timerExpired(std::uint32_t timer, std::uint32_t now) {
  return timer != 0 && timer < now;
}

}  // namespace kestrin
