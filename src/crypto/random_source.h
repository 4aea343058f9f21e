// Where key material comes from: the prime search, the encryption padding and
// the handshake's session keys all draw through a RandomSource.  The server
// uses the operating system's generator; tests pass a deterministic source.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Fills `length` bytes.  False when the source failed; the bytes are then
  // unspecified and must not be used.
  virtual bool fill(std::uint8_t* out, std::size_t length) = 0;
};

// The operating system's cryptographic generator.  Holds no state; safe to
// use from any thread.
class SystemRandomSource final : public RandomSource {
 public:
  bool fill(std::uint8_t* out, std::size_t length) override;
};

// The process-wide system source.
RandomSource& systemRandomSource();

// Gives up on a source that keeps producing zero bytes after this many
// refills; a working generator needs one or two.
inline constexpr int kMaxNonZeroRefills = 64;

// Fills `length` bytes none of which is zero: each zero byte is discarded and
// the next byte of the source taken instead, so the result is the stream of
// the source with its zero bytes removed.  False when the source failed.
bool drawNonZeroBytes(RandomSource& source, std::uint8_t* out, std::size_t length);

}  // namespace kestrin
