// A client's public key record as the hello carries it, and behind it a key
// record: the key reads and writes back unchanged, and a key that passes
// validation enciphers the record.  The exponent is cut to its low 8 bits
// before enciphering, so that no input costs more than an 8-bit
// exponentiation; its length only sets how often the same loop runs.
#include <cstdint>
#include <cstring>

#include "core/wire.h"
#include "crypto/rsa.h"
#include "support/scripted_random.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrin;
  RsaPublicKey key{};
  if (!readRsaPublicKey(data, size, key)) {
    if (size >= kRsaPublicKeySize) __builtin_trap();
    return 0;
  }
  std::uint8_t wireBytes[kRsaPublicKeySize];
  if (!writeRsaPublicKey(key, wireBytes, sizeof wireBytes) || std::memcmp(wireBytes, data, sizeof wireBytes) != 0)
    __builtin_trap();
  const bool valid = rsaValidatePublicKey(key, wire::kKeyRecordSize);
  std::memset(key.exponent, 0, kRsaNumberSize - 1);
  if (!rsaValidatePublicKey(key, wire::kKeyRecordSize)) return 0;
  // The cut keeps the modulus and the exponent's low byte: the whole key
  // was valid too.
  if (!valid) __builtin_trap();

  std::uint8_t record[wire::kKeyRecordSize] = {};
  const std::size_t rest = size - kRsaPublicKeySize;
  std::memcpy(record, data + kRsaPublicKeySize, rest < sizeof record ? rest : sizeof record);
  testing::ScriptedRandom source;
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  if (rsaPublicEncrypt(out, &outLength, record, sizeof record, key, source) != kRsaOk ||
      outLength != rsaModulusLength(key.bits))
    __builtin_trap();
  return 0;
}
