// RSA key generation, encryption and CRT decryption, ours beside OpenSSL's
// on the same sizes.  Key generation reports the median over many keys.
#include <benchmark/benchmark.h>

#include <vector>

#include "crypto/random_source.h"
#include "crypto/rsa.h"
#include "support/openssl_rsa.h"

namespace {

using kestrin::RsaPrivateKey;
using kestrin::RsaPublicKey;
using Bytes = std::vector<std::uint8_t>;

constexpr int kKeyRepetitions = 101;
const Bytes kRecord(kestrin::wire::kKeyRecordSize, 0x3C);

void BM_OursKeyGen510(benchmark::State& state) {
  RsaPublicKey pub;
  RsaPrivateKey key;
  for (auto _ : state) {
    if (kestrin::rsaGenerateKeyPair(pub, key, {510, 1}, kestrin::systemRandomSource()) != kestrin::kRsaOk) {
      state.SkipWithError("key generation failed");
    }
    benchmark::DoNotOptimize(&key);
  }
}
BENCHMARK(BM_OursKeyGen510)->Iterations(1)->Repetitions(kKeyRepetitions)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

void BM_OpenSslKeyGen512(benchmark::State& state) {
  for (auto _ : state) {
    kestrin::testing::Pkey key = kestrin::testing::openSslGenerate(512);
    if (!key) state.SkipWithError("key generation failed");
    benchmark::DoNotOptimize(key.get());
  }
}
BENCHMARK(BM_OpenSslKeyGen512)->Iterations(1)->Repetitions(kKeyRepetitions)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// One 1024-bit client key with e = 65537, in both forms.
struct ClientKey {
  kestrin::testing::Pkey theirs = kestrin::testing::openSslGenerate(1024);
  RsaPublicKey pub{};
  RsaPrivateKey key{};
  ClientKey() { kestrin::testing::fromOpenSsl(theirs.get(), pub, key); }
};
const ClientKey& clientKey() {
  static const ClientKey key;
  return key;
}

void BM_OursEncrypt1024(benchmark::State& state) {
  const RsaPublicKey& pub = clientKey().pub;
  std::uint8_t out[kestrin::kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  for (auto _ : state) {
    if (kestrin::rsaPublicEncrypt(out, &outLength, kRecord.data(), kRecord.size(), pub,
                                  kestrin::systemRandomSource()) != kestrin::kRsaOk) {
      state.SkipWithError("encryption failed");
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_OursEncrypt1024)->Unit(benchmark::kMicrosecond);

void BM_OpenSslEncrypt1024(benchmark::State& state) {
  kestrin::testing::PkeyCtx ctx = kestrin::testing::openSslCryptContext(clientKey().theirs.get(), true);
  std::uint8_t out[256];
  for (auto _ : state) {
    std::size_t outLength = sizeof out;
    if (EVP_PKEY_encrypt(ctx.get(), out, &outLength, kRecord.data(), kRecord.size()) != 1) {
      state.SkipWithError("encryption failed");
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_OpenSslEncrypt1024)->Unit(benchmark::kMicrosecond);

// Our 510-bit server key and a ciphertext of a key record under it.
struct ServerKey {
  RsaPublicKey pub{};
  RsaPrivateKey key{};
  kestrin::testing::Pkey theirs;
  Bytes cipher;
  ServerKey() {
    kestrin::rsaGenerateKeyPair(pub, key, {510, 1}, kestrin::systemRandomSource());
    theirs = kestrin::testing::toOpenSsl(key);
    std::uint8_t out[kestrin::kRsaMaxModulusLength];
    std::uint32_t outLength = 0;
    kestrin::rsaPublicEncrypt(out, &outLength, kRecord.data(), kRecord.size(), pub,
                              kestrin::systemRandomSource());
    cipher.assign(out, out + outLength);
  }
};
const ServerKey& serverKey() {
  static const ServerKey key;
  return key;
}

void BM_OursDecrypt510(benchmark::State& state) {
  const ServerKey& server = serverKey();
  std::uint8_t out[kestrin::kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  for (auto _ : state) {
    if (kestrin::rsaPrivateDecrypt(out, &outLength, server.cipher.data(), server.cipher.size(),
                                   server.key) != kestrin::kRsaOk) {
      state.SkipWithError("decryption failed");
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_OursDecrypt510)->Unit(benchmark::kMicrosecond);

void BM_OpenSslDecrypt510(benchmark::State& state) {
  const ServerKey& server = serverKey();
  kestrin::testing::PkeyCtx ctx = kestrin::testing::openSslCryptContext(server.theirs.get(), false);
  std::uint8_t out[256];
  for (auto _ : state) {
    std::size_t outLength = sizeof out;
    if (EVP_PKEY_decrypt(ctx.get(), out, &outLength, server.cipher.data(), server.cipher.size()) != 1) {
      state.SkipWithError("decryption failed");
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_OpenSslDecrypt510)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
