// The per-thread linear congruential generator (x = x * 214013 + 2531011,
// result bits 16 to 30).  Nothing secret may depend on it: key material comes
// from platform::secureRandom.
#pragma once

#include <cstdint>

namespace kestrin {

inline constexpr int kRandomMax = 0x7FFF;

// Seeds the calling thread's generator.
void seedRandom(std::uint32_t seed);
// Next value of the calling thread's generator, 0 to 32767.
int nextRandom();

}  // namespace kestrin
