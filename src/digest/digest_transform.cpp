#include "digest/digest_transform.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "core/byte_order.h"

namespace kestrin {
namespace {

// The four auxiliary functions of RFC 1321, in forms that need fewer
// operations: F selects y or z by x, G selects y or x by z.
inline std::uint32_t f(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return ((y ^ z) & x) ^ z; }
inline std::uint32_t g(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return ((x ^ y) & z) ^ y; }
inline std::uint32_t h(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
inline std::uint32_t i(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

// a = b + ((a + fn(b, c, d) + x + t) <<< s)
#define KESTRIN_MD5_STEP(fn, a, b, c, d, x, s, t) \
  a = b + std::rotl(a + fn(b, c, d) + (x) + (t), s)

// One block of 64 bytes, taken as sixteen little-endian words, mixed into
// the four words at `window`.
void transformBlock(std::uint32_t* window, const std::uint8_t* block) {
  std::uint32_t x[16];
  for (int k = 0; k < 16; ++k) x[k] = loadLe32(block + 4 * k);
  std::uint32_t a = window[0], b = window[1], c = window[2], d = window[3];

  KESTRIN_MD5_STEP(f, a, b, c, d, x[0], 7, 0xd76aa478u);
  KESTRIN_MD5_STEP(f, d, a, b, c, x[1], 12, 0xe8c7b756u);
  KESTRIN_MD5_STEP(f, c, d, a, b, x[2], 17, 0x242070dbu);
  KESTRIN_MD5_STEP(f, b, c, d, a, x[3], 22, 0xc1bdceeeu);
  KESTRIN_MD5_STEP(f, a, b, c, d, x[4], 7, 0xf57c0fafu);
  KESTRIN_MD5_STEP(f, d, a, b, c, x[5], 12, 0x4787c62au);
  KESTRIN_MD5_STEP(f, c, d, a, b, x[6], 17, 0xa8304613u);
  KESTRIN_MD5_STEP(f, b, c, d, a, x[7], 22, 0xfd469501u);
  KESTRIN_MD5_STEP(f, a, b, c, d, x[8], 7, 0x698098d8u);
  KESTRIN_MD5_STEP(f, d, a, b, c, x[9], 12, 0x8b44f7afu);
  KESTRIN_MD5_STEP(f, c, d, a, b, x[10], 17, 0xffff5bb1u);
  KESTRIN_MD5_STEP(f, b, c, d, a, x[11], 22, 0x895cd7beu);
  KESTRIN_MD5_STEP(f, a, b, c, d, x[12], 7, 0x6b901122u);
  KESTRIN_MD5_STEP(f, d, a, b, c, x[13], 12, 0xfd987193u);
  KESTRIN_MD5_STEP(f, c, d, a, b, x[14], 17, 0xa679438eu);
  KESTRIN_MD5_STEP(f, b, c, d, a, x[15], 22, 0x49b40821u);

  KESTRIN_MD5_STEP(g, a, b, c, d, x[1], 5, 0xf61e2562u);
  KESTRIN_MD5_STEP(g, d, a, b, c, x[6], 9, 0xc040b340u);
  KESTRIN_MD5_STEP(g, c, d, a, b, x[11], 14, 0x265e5a51u);
  KESTRIN_MD5_STEP(g, b, c, d, a, x[0], 20, 0xe9b6c7aau);
  KESTRIN_MD5_STEP(g, a, b, c, d, x[5], 5, 0xd62f105du);
  KESTRIN_MD5_STEP(g, d, a, b, c, x[10], 9, 0x02441453u);
  KESTRIN_MD5_STEP(g, c, d, a, b, x[15], 14, 0xd8a1e681u);
  KESTRIN_MD5_STEP(g, b, c, d, a, x[4], 20, 0xe7d3fbc8u);
  KESTRIN_MD5_STEP(g, a, b, c, d, x[9], 5, 0x21e1cde6u);
  KESTRIN_MD5_STEP(g, d, a, b, c, x[14], 9, 0xc33707d6u);
  KESTRIN_MD5_STEP(g, c, d, a, b, x[3], 14, 0xf4d50d87u);
  KESTRIN_MD5_STEP(g, b, c, d, a, x[8], 20, 0x455a14edu);
  KESTRIN_MD5_STEP(g, a, b, c, d, x[13], 5, 0xa9e3e905u);
  KESTRIN_MD5_STEP(g, d, a, b, c, x[2], 9, 0xfcefa3f8u);
  KESTRIN_MD5_STEP(g, c, d, a, b, x[7], 14, 0x676f02d9u);
  KESTRIN_MD5_STEP(g, b, c, d, a, x[12], 20, 0x8d2a4c8au);

  KESTRIN_MD5_STEP(h, a, b, c, d, x[5], 4, 0xfffa3942u);
  KESTRIN_MD5_STEP(h, d, a, b, c, x[8], 11, 0x8771f681u);
  KESTRIN_MD5_STEP(h, c, d, a, b, x[11], 16, 0x6d9d6122u);
  KESTRIN_MD5_STEP(h, b, c, d, a, x[14], 23, 0xfde5380cu);
  KESTRIN_MD5_STEP(h, a, b, c, d, x[1], 4, 0xa4beea44u);
  KESTRIN_MD5_STEP(h, d, a, b, c, x[4], 11, 0x4bdecfa9u);
  KESTRIN_MD5_STEP(h, c, d, a, b, x[7], 16, 0xf6bb4b60u);
  KESTRIN_MD5_STEP(h, b, c, d, a, x[10], 23, 0xbebfbc70u);
  KESTRIN_MD5_STEP(h, a, b, c, d, x[13], 4, 0x289b7ec6u);
  KESTRIN_MD5_STEP(h, d, a, b, c, x[0], 11, 0xeaa127fau);
  KESTRIN_MD5_STEP(h, c, d, a, b, x[3], 16, 0xd4ef3085u);
  KESTRIN_MD5_STEP(h, b, c, d, a, x[6], 23, 0x04881d05u);
  KESTRIN_MD5_STEP(h, a, b, c, d, x[9], 4, 0xd9d4d039u);
  KESTRIN_MD5_STEP(h, d, a, b, c, x[12], 11, 0xe6db99e5u);
  KESTRIN_MD5_STEP(h, c, d, a, b, x[15], 16, 0x1fa27cf8u);
  KESTRIN_MD5_STEP(h, b, c, d, a, x[2], 23, 0xc4ac5665u);

  KESTRIN_MD5_STEP(i, a, b, c, d, x[0], 6, 0xf4292244u);
  KESTRIN_MD5_STEP(i, d, a, b, c, x[7], 10, 0x432aff97u);
  KESTRIN_MD5_STEP(i, c, d, a, b, x[14], 15, 0xab9423a7u);
  KESTRIN_MD5_STEP(i, b, c, d, a, x[5], 21, 0xfc93a039u);
  KESTRIN_MD5_STEP(i, a, b, c, d, x[12], 6, 0x655b59c3u);
  KESTRIN_MD5_STEP(i, d, a, b, c, x[3], 10, 0x8f0ccc92u);
  KESTRIN_MD5_STEP(i, c, d, a, b, x[10], 15, 0xffeff47du);
  KESTRIN_MD5_STEP(i, b, c, d, a, x[1], 21, 0x85845dd1u);
  KESTRIN_MD5_STEP(i, a, b, c, d, x[8], 6, 0x6fa87e4fu);
  KESTRIN_MD5_STEP(i, d, a, b, c, x[15], 10, 0xfe2ce6e0u);
  KESTRIN_MD5_STEP(i, c, d, a, b, x[6], 15, 0xa3014314u);
  KESTRIN_MD5_STEP(i, b, c, d, a, x[13], 21, 0x4e0811a1u);
  KESTRIN_MD5_STEP(i, a, b, c, d, x[4], 6, 0xf7537e82u);
  KESTRIN_MD5_STEP(i, d, a, b, c, x[11], 10, 0xbd3af235u);
  KESTRIN_MD5_STEP(i, c, d, a, b, x[2], 15, 0x2ad7d2bbu);
  KESTRIN_MD5_STEP(i, b, c, d, a, x[9], 21, 0xeb86d391u);

  window[0] += a;
  window[1] += b;
  window[2] += c;
  window[3] += d;
}

#undef KESTRIN_MD5_STEP

// Models are read in chunks of whole stretches.
constexpr std::size_t kModelChunkSize = 64 * kModelStride;

}  // namespace

void digestTransform(std::uint32_t* state, std::size_t n, const std::uint8_t* data,
                     std::size_t length) {
  if (n < kDigestWindowWords || length < kDigestBlockSize) return;
  // Number of block offsets that keep a block inside the data, and of
  // window positions that keep a window inside the state.
  const std::size_t offsets = length - (kDigestBlockSize - 1);
  const std::size_t windows = n - (kDigestWindowWords - 1);
  std::size_t position = 0;
  std::size_t window = 0;
  std::size_t blocks = 0;
  do {
    const std::size_t offset = position < offsets ? position : position % offsets;
    transformBlock(state + window, data + offset);
    if (++window == windows) window = 0;
    ++blocks;
    position += kDigestBlockSize;
  } while (blocks + (kDigestWindowWords - 1) < n || position < length);
}

std::uint32_t nameDigest(const char* fileName) {
  std::uint8_t block[kDigestBlockSize] = {};
  for (std::size_t k = 0; fileName != nullptr && k < kNameDigestMaxLength && fileName[k] != '\0'; ++k) {
    const char c = fileName[k];
    block[k] = static_cast<std::uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  FileDigest digest;
  digestTransform(digest.words, kDigestWindowWords, block, sizeof block);
  return digest.words[0];
}

bool modelDigest(const char* path, std::uint32_t* digest) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  FileDigest state;
  // A stretch counts only once a byte behind it is known to exist, so the
  // last whole stretch of a chunk waits for the next read.
  std::uint8_t pending[kDigestBlockSize];
  bool havePending = false;
  std::uint8_t chunk[kModelChunkSize];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    if (got == 0) break;
    if (havePending) {
      digestTransform(state.words, kDigestWindowWords, pending, sizeof pending);
      havePending = false;
    }
    for (std::size_t stretch = 0; stretch + kModelStride <= got; stretch += kModelStride) {
      if (stretch + kModelStride < got) {
        digestTransform(state.words, kDigestWindowWords, chunk + stretch, kDigestBlockSize);
      } else {
        std::memcpy(pending, chunk + stretch, sizeof pending);
        havePending = true;
      }
    }
    if (got < sizeof chunk) break;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return false;
  *digest = state.words[0];
  return true;
}

}  // namespace kestrin
