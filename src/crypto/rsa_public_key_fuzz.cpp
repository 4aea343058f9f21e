// Reads a client's key record from arbitrary bytes and enciphers a key record
// under it, as the handshake does.  A key that passes validation must
// encipher; any other key must be refused or used without overrun.
#include <cstdint>

#include "core/wire.h"
#include "crypto/random_source.h"
#include "crypto/rsa.h"

namespace {

struct CountingSource final : kestrin::RandomSource {
  std::uint8_t state = 0;
  bool fill(std::uint8_t* out, std::size_t length) override {
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(++state | 1);
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrin::RsaPublicKey key{};
  if (!kestrin::readRsaPublicKey(data, size, key)) {
    if (size >= kestrin::wire::kRsaPublicKeySize) __builtin_trap();
    return 0;
  }
  const bool valid = kestrin::rsaValidatePublicKey(key, kestrin::wire::kKeyRecordSize);

  std::uint8_t record[kestrin::wire::kKeyRecordSize] = {};
  const std::size_t rest = size - kestrin::wire::kRsaPublicKeySize;
  for (std::size_t i = 0; i < sizeof record && i < rest; ++i) {
    record[i] = data[kestrin::wire::kRsaPublicKeySize + i];
  }
  CountingSource source;
  std::uint8_t out[kestrin::kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  const int status = kestrin::rsaPublicEncrypt(out, &outLength, record, sizeof record, key, source);
  if (valid && (status != kestrin::kRsaOk || outLength != kestrin::rsaModulusLength(key.bits))) {
    __builtin_trap();
  }
  if (status == kestrin::kRsaOk && outLength > kestrin::kRsaMaxModulusLength) __builtin_trap();

  std::uint8_t wireBytes[kestrin::wire::kRsaPublicKeySize];
  if (!kestrin::writeRsaPublicKey(key, wireBytes, sizeof wireBytes)) __builtin_trap();
  for (std::size_t i = 0; i < sizeof wireBytes; ++i) {
    if (wireBytes[i] != data[i]) __builtin_trap();
  }
  return 0;
}
