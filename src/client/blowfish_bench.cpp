// Blowfish ECB over 16 KB and the key schedule, ours beside OpenSSL's.
#include <benchmark/benchmark.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/blowfish.h>

#include <cstdint>
#include <vector>

#include "client/blowfish.h"

namespace {

constexpr std::size_t kBufferSize = 16 * 1024;
const std::uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                               0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};

void BM_OursEncipher16K(benchmark::State& state) {
  kestrin::BlowfishKey key;
  kestrin::blowfishSetKey(key, kKey, sizeof kKey);
  std::vector<std::uint8_t> buffer(kBufferSize, 0x5A);
  for (auto _ : state) {
    kestrin::blowfishEncipher(key, buffer.data(), buffer.data(), kBufferSize);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}
BENCHMARK(BM_OursEncipher16K);

void BM_OpenSslEncipher16K(benchmark::State& state) {
  BF_KEY key;
  BF_set_key(&key, sizeof kKey, kKey);
  std::vector<std::uint8_t> buffer(kBufferSize, 0x5A);
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < kBufferSize; offset += BF_BLOCK) {
      BF_ecb_encrypt(buffer.data() + offset, buffer.data() + offset, &key, BF_ENCRYPT);
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}
BENCHMARK(BM_OpenSslEncipher16K);

void BM_OursKeySchedule(benchmark::State& state) {
  kestrin::BlowfishKey key;
  for (auto _ : state) {
    kestrin::blowfishSetKey(key, kKey, sizeof kKey);
    benchmark::DoNotOptimize(&key);
  }
}
BENCHMARK(BM_OursKeySchedule);

void BM_OpenSslKeySchedule(benchmark::State& state) {
  BF_KEY key;
  for (auto _ : state) {
    BF_set_key(&key, sizeof kKey, kKey);
    benchmark::DoNotOptimize(&key);
  }
}
BENCHMARK(BM_OpenSslKeySchedule);

}  // namespace

#pragma GCC diagnostic pop

BENCHMARK_MAIN();
