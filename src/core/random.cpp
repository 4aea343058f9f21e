#include "core/random.h"

namespace kestrin {
namespace {
thread_local std::uint32_t gState = 1;
}  // namespace

void seedRandom(std::uint32_t seed) { gState = seed; }

int nextRandom() {
  gState = gState * 214013u + 2531011u;
  return static_cast<int>((gState >> 16) & kRandomMax);
}

}  // namespace kestrin
