// The server's two clocks, unsigned 32-bit milliseconds, all arithmetic
// modulo 2^32.  The step clock is the monotonic system timer since start-up
// plus 10000: every deadline (checks, handshakes, joins, polls) runs on it,
// so that it never jumps.  The master clock is the same timer counted on
// from the master time of the update server's latest answer, which may jump
// either way; it is read only where the master time itself matters, the
// activation of images.
#pragma once

#include <cstdint>

namespace kestrin {

inline constexpr std::uint32_t kInitialClockOffset = 10000;

inline std::uint32_t serverClock(std::uint32_t timer, std::uint32_t start, std::uint32_t offset) {
  return (timer - start) + offset;
}

// True when `later` comes strictly after `earlier`: compared by their
// difference, so that the answer holds across the 32-bit wrap for times
// less than 24 days apart.
inline bool timeAfter(std::uint32_t later, std::uint32_t earlier) {
  return static_cast<std::int32_t>(later - earlier) > 0;
}

// A timer is an absolute clock value; 0 means not set.  It has run out when
// it is set and strictly earlier than `now`.
inline bool timerExpired(std::uint32_t timer, std::uint32_t now) {
  return timer != 0 && timeAfter(now, timer);
}

}  // namespace kestrin
