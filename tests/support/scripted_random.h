// A deterministic RandomSource for tests: hands out scripted bytes first,
// then a seeded pseudo-random stream; can be told to fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/random_source.h"

namespace kestrin::testing {

class ScriptedRandom final : public RandomSource {
 public:
  explicit ScriptedRandom(std::uint64_t seed = 1) : state_(seed) {}

  // Bytes handed out before the stream, in order.
  void script(std::vector<std::uint8_t> bytes) {
    script_ = std::move(bytes);
    next_ = 0;
  }
  // Every fill fails once this many bytes have been handed out.
  void failAfter(std::size_t bytes) { failAfter_ = bytes; }
  // Only zero bytes from now on (scripted bytes still come first).
  void onlyZeros() { zeros_ = true; }

  std::size_t drawn() const { return drawn_; }

  bool fill(std::uint8_t* out, std::size_t length) override {
    if (drawn_ + length > failAfter_) return false;
    for (std::size_t i = 0; i < length; ++i) {
      if (next_ < script_.size()) {
        out[i] = script_[next_++];
      } else {
        out[i] = zeros_ ? 0 : static_cast<std::uint8_t>(nextWord() >> 56);
      }
    }
    drawn_ += length;
    return true;
  }

 private:
  // splitmix64.
  std::uint64_t nextWord() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  std::uint64_t state_;
  std::vector<std::uint8_t> script_;
  std::size_t next_ = 0;
  std::size_t drawn_ = 0;
  std::size_t failAfter_ = SIZE_MAX;
  bool zeros_ = false;
};

}  // namespace kestrin::testing
