// RSA key generation, encryption and CRT decryption, ours beside OpenSSL's
// on the same sizes.  Key generation reports the median over many keys.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/wire.h"
#include "crypto/random_source.h"
#include "crypto/rsa.h"
#include "support/openssl_rsa.h"

namespace {

using namespace kestrin;
using Bytes = std::vector<std::uint8_t>;

const Bytes kRecord(wire::kKeyRecordSize, 0x3C);

// A key in both forms with a ciphertext of kRecord under it: a 1024-bit
// client key or the 510-bit server key, both with e = 65537.
struct Keys {
  testing::Pkey theirs;
  RsaPublicKey pub{};
  RsaPrivateKey key{};
  Bytes cipher;
  explicit Keys(bool client) {
    rsaGenerateKeyPair(pub, key, {client ? 1024u : 510u, 1}, systemRandomSource());
    theirs = testing::toOpenSsl(key);
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

// Our 510-bit server key beside OpenSSL's nearest size.
void BM_KeyGen(benchmark::State& state, bool ours) {
  RsaPublicKey pub;
  RsaPrivateKey key;
  for (auto _ : state) {
    const bool made = ours ? rsaGenerateKeyPair(pub, key, {510, 1}, systemRandomSource()) == kRsaOk
                           : testing::openSslGenerate(512) != nullptr;
    if (!made) state.SkipWithError("failed");
    benchmark::DoNotOptimize(&key);
  }
}

// Ours: encryption of kRecord under the client key, or decryption of the
// ciphertext under the server key.
void BM_OursCrypt(benchmark::State& state, bool encrypt) {
  const Keys& keys = encrypt ? clientKey() : serverKey();
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  for (auto _ : state) {
    const int status =
        encrypt ? rsaPublicEncrypt(out, &outLength, kRecord.data(), kRecord.size(), keys.pub, systemRandomSource())
                : rsaPrivateDecrypt(out, &outLength, keys.cipher.data(), keys.cipher.size(), keys.key);
    if (status != kRsaOk) state.SkipWithError("failed");
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
BENCHMARK_CAPTURE(BM_KeyGen, Ours510, true)->Iterations(1)->Repetitions(kKeyRepetitions)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KeyGen, OpenSsl512, false)->Iterations(1)->Repetitions(kKeyRepetitions)
    ->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OursCrypt, Encrypt1024, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSslCrypt, Encrypt1024, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OursCrypt, Decrypt510, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSslCrypt, Decrypt510, false)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
