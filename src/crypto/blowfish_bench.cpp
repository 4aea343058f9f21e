// Blowfish ECB over 16 KB and the key schedule, ours beside OpenSSL's.
#include <benchmark/benchmark.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/blowfish.h>

#include <cstdint>
#include <vector>

#include "crypto/blowfish.h"

namespace {

constexpr std::size_t kBufferSize = 16 * 1024;
const std::uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                               0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};

void BM_Encipher16K(benchmark::State& state, bool ours) {
  kestrin::BlowfishKey key;
  kestrin::blowfishSetKey(key, kKey, sizeof kKey);
  BF_KEY theirs;
  BF_set_key(&theirs, sizeof kKey, kKey);
  std::vector<std::uint8_t> buffer(kBufferSize, 0x5A);
  for (auto _ : state) {
    if (ours) {
      kestrin::blowfishEncipher(key, buffer.data(), buffer.data(), kBufferSize);
    } else {
      for (std::size_t offset = 0; offset < kBufferSize; offset += BF_BLOCK)
        BF_ecb_encrypt(buffer.data() + offset, buffer.data() + offset, &theirs, BF_ENCRYPT);
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}
BENCHMARK_CAPTURE(BM_Encipher16K, Ours, true);
BENCHMARK_CAPTURE(BM_Encipher16K, OpenSsl, false);

void BM_KeySchedule(benchmark::State& state, bool ours) {
  kestrin::BlowfishKey key;
  BF_KEY theirs;
  for (auto _ : state) {
    if (ours) {
      kestrin::blowfishSetKey(key, kKey, sizeof kKey);
    } else {
      BF_set_key(&theirs, sizeof kKey, kKey);
    }
    benchmark::DoNotOptimize(&key);
    benchmark::DoNotOptimize(&theirs);
  }
}
BENCHMARK_CAPTURE(BM_KeySchedule, Ours, true);
BENCHMARK_CAPTURE(BM_KeySchedule, OpenSsl, false);

}  // namespace

#pragma GCC diagnostic pop

BENCHMARK_MAIN();
