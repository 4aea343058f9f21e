// The mixing function of every file digest, built on the MD5 block transform,
// and the two digests that need nothing but it: the name digest that
// identifies a listed file and the sampled digest of a model file.
//
// All functions are pure or read one file; they keep no state and may run on
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

inline constexpr std::size_t kDigestBlockSize = 64;
inline constexpr std::size_t kDigestWindowWords = 4;

// The mixing state: four words, all zero at the start of every digest.  The
// value a digest yields is words[0] after the last block.
struct FileDigest {
  std::uint32_t words[kDigestWindowWords] = {};
};

// Applies the MD5 block transform (RFC 1321, section 3.4, without its initial
// values, padding or length block) to `data`, sliding a window of four words
// over the `n` words of `state`:
//   block k lies at data offset (64 k) mod (length - 63), so that every block
//   lies inside the data and a length that is not a multiple of 64 re-reads
//   bytes near its end;
//   block k mixes into state words w .. w + 3 with w = k mod (n - 3);
//   blocks continue while k + 3 < n or 64 k < length; at least one runs.
// With n = 4 and a length that is a multiple of 64 this is the plain chain of
// transforms over consecutive blocks.  Does nothing when n < 4 or
// length < 64.
void digestTransform(std::uint32_t* state, std::size_t n, const std::uint8_t* data,
                     std::size_t length);

// Only this many leading characters of a name take part in its digest.
inline constexpr std::size_t kNameDigestMaxLength = kDigestBlockSize;

// The identifier of a listed file: its name lower-cased (A-Z only), at the
// start of a zero block of 64 bytes, transformed from the zero state.  Equal
// for names that differ only in letter case.
std::uint32_t nameDigest(const char* fileName);

// Model files are sampled: the first 64 bytes of every 256-byte stretch,
// from the start of the file, up to but not including the stretch that
// reaches the end of the file.  A file of 256 bytes or less yields 0.
inline constexpr std::size_t kModelStride = 256;

// Digests the model file at `path` into `*digest`.  False when the file
// cannot be opened or a read fails; the file is closed before returning.
bool modelDigest(const char* path, std::uint32_t* digest);

}  // namespace kestrin
