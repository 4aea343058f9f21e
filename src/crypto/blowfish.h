// The Blowfish packet cipher of the client protocol, in electronic-codebook
// mode.  An 8-byte block in a buffer is two 32-bit halves, left then right,
// each stored least significant byte first (published test vectors write
// each half most significant byte first).
//
// A BlowfishKey is plain data held by value; nothing here allocates.  A
// schedule is read-only once built, so one key may serve any number of
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

inline constexpr int kBlowfishRounds = 16;
inline constexpr std::size_t kBlowfishBlockSize = 8;

struct BlowfishKey {
  std::uint32_t P[kBlowfishRounds + 2];
  std::uint32_t S[4][256];
};

// Builds the schedule for `keyLength` key bytes, taken cyclically, the first
// byte of each word the most significant.  Overwrites the whole record.  A
// key length below 1 is refused: the record is zeroed and false returned.
bool blowfishSetKey(BlowfishKey& key, const std::uint8_t* keyBytes, int keyLength);

// Enciphers the length / 8 whole blocks of `in` into `out`, each block by
// itself, and returns the bytes processed (length rounded down to a multiple
// of 8).  Bytes past the last whole block are neither read nor written.
// `out` may equal `in`; partly overlapping buffers are not allowed.
std::uint32_t blowfishEncipher(const BlowfishKey& key, std::uint8_t* out, const std::uint8_t* in,
                               std::uint32_t length);
std::uint32_t blowfishDecipher(const BlowfishKey& key, std::uint8_t* out, const std::uint8_t* in,
                               std::uint32_t length);

}  // namespace kestrin
