#include "crypto/random_source.h"

#include "platform/platform.h"

namespace kestrin {
namespace {

// Moves the non-zero bytes of out[0, length) to its front, in order; returns
// their count.
std::size_t keepNonZero(std::uint8_t* out, std::size_t length) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (out[i] != 0) out[kept++] = out[i];
  }
  return kept;
}

}  // namespace

bool SystemRandomSource::fill(std::uint8_t* out, std::size_t length) {
  return platform::secureRandom(out, length);
}

RandomSource& systemRandomSource() {
  static SystemRandomSource source;
  return source;
}

bool drawNonZeroBytes(RandomSource& source, std::uint8_t* out, std::size_t length) {
  std::size_t done = 0;
  for (int round = 0; round <= kMaxNonZeroRefills && done < length; ++round) {
    if (!source.fill(out + done, length - done)) return false;
    done += keepNonZero(out + done, length - done);
  }
  return done == length;
}

}  // namespace kestrin
