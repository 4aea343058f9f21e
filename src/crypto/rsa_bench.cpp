// RSA key generation, encryption and CRT decryption, ours beside OpenSSL's
// on the same sizes.  Key generation reports the median over many keys.
#include <benchmark/benchmark.h>

#include <vector>

#include "crypto/random_source.h"
#include "crypto/rsa.h"
#include "support/openssl_rsa.h"

namespace {

using namespace kestrin;
using Bytes = std::vector<std::uint8_t>;

const Bytes kRecord(wire::kKeyRecordSize, 0x3C);

// A key in both forms with a ciphertext of kRecord under it: a 1024-bit
// client key with e = 65537 made by OpenSSL, or our 510-bit server key.
struct Keys {
  testing::Pkey theirs;
  RsaPublicKey pub{};
  RsaPrivateKey key{};
  Bytes cipher;
  explicit Keys(bool client) {
    if (client) {
      theirs = testing::openSslGenerate(1024);
      testing::fromOpenSsl(theirs.get(), pub, key);
    } else {
      rsaGenerateKeyPair(pub, key, {510, 1}, systemRandomSource());
      theirs = testing::toOpenSsl(key);
    }
    std::uint8_t out[kRsaMaxModulusLength];
    std::uint32_t outLength = 0;
    rsaPublicEncrypt(out, &outLength, kRecord.data(), kRecord.size(), pub, systemRandomSource());
    cipher.assign(out, out + outLength);
  }
};
const Keys& clientKey() {
  static const Keys keys(true);
  return keys;
}
const Keys& serverKey() {
  static const Keys keys(false);
  return keys;
}

void BM_OursKeyGen510(benchmark::State& state) {
  RsaPublicKey pub;
  RsaPrivateKey key;
  for (auto _ : state) {
    if (rsaGenerateKeyPair(pub, key, {510, 1}, systemRandomSource()) != kRsaOk) state.SkipWithError("failed");
    benchmark::DoNotOptimize(&key);
  }
}

void BM_OpenSslKeyGen512(benchmark::State& state) {
  for (auto _ : state) {
    testing::Pkey key = testing::openSslGenerate(512);
    if (!key) state.SkipWithError("failed");
    benchmark::DoNotOptimize(key.get());
  }
}

void BM_OursEncrypt1024(benchmark::State& state) {
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  for (auto _ : state) {
    if (rsaPublicEncrypt(out, &outLength, kRecord.data(), kRecord.size(), clientKey().pub, systemRandomSource()) !=
        kRsaOk) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(out);
  }
}

void BM_OursDecrypt510(benchmark::State& state) {
  const Keys& server = serverKey();
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  for (auto _ : state) {
    if (rsaPrivateDecrypt(out, &outLength, server.cipher.data(), server.cipher.size(), server.key) != kRsaOk) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(out);
  }
}

// OpenSSL's PKCS #1 v1.5 encryption of kRecord under the client key, or
// decryption of the ciphertext under the server key.
void BM_OpenSslCrypt(benchmark::State& state, bool encrypt) {
  const Keys& keys = encrypt ? clientKey() : serverKey();
  testing::PkeyCtx ctx = testing::openSslCryptContext(keys.theirs.get(), encrypt);
  const Bytes& input = encrypt ? kRecord : keys.cipher;
  std::uint8_t out[256];
  for (auto _ : state) {
    std::size_t outLength = sizeof out;
    if ((encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt)(ctx.get(), out, &outLength, input.data(), input.size()) != 1) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(out);
  }
}

constexpr int kKeyRepetitions = 101;
BENCHMARK(BM_OursKeyGen510)->Iterations(1)->Repetitions(kKeyRepetitions)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslKeyGen512)->Iterations(1)->Repetitions(kKeyRepetitions)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursEncrypt1024)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSslCrypt, Encrypt1024, true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursDecrypt510)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSslCrypt, Decrypt510, false)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
