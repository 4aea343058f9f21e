// Two ways in for untrusted bytes, picked by the first byte: a ciphertext
// for the private-key decryption under one fixed 510-bit key (even), or a
// client's public key record, under which a key record is enciphered as the
// handshake does (odd).
#include <cstdint>
#include <cstring>

#include "core/wire.h"
#include "support/key_pairs.h"

namespace {

using namespace kestrin;

void decrypt(const std::uint8_t* data, std::size_t size) {
  static const testing::KeyPair key = testing::seededKeyPair(510, 1);
  if (key.privateKey.bits == 0) __builtin_trap();
  const std::uint32_t modulusLength = rsaModulusLength(key.privateKey.bits);
  const std::uint32_t length = size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(size);

  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = UINT32_MAX;
  const int status = rsaPrivateDecrypt(out, &outLength, data, length, key.privateKey);
  if (status == kRsaOk && outLength + kRsaBlockOverhead > modulusLength) __builtin_trap();
  if (status != kRsaOk && status != kRsaPaddingTooShort && outLength != UINT32_MAX) __builtin_trap();

  std::uint32_t blockLength = 0;
  if (rsaPrivateBlock(out, &blockLength, data, length, key.privateKey) != kRsaOk) return;
  // The raw block undoes the public operation: the input as a number comes
  // back right-aligned in modulus-length bytes.
  std::uint8_t again[kRsaMaxModulusLength];
  std::uint32_t againLength = 0;
  if (rsaPublicBlock(again, &againLength, out, blockLength, key.publicKey) != kRsaOk || againLength != modulusLength)
    __builtin_trap();
  const std::uint8_t* tail = data;
  std::uint32_t tailLength = length;
  for (; tailLength > modulusLength; ++tail, --tailLength)
    if (*tail != 0) __builtin_trap();
  const std::uint32_t skip = modulusLength - tailLength;
  for (std::uint32_t i = 0; i < skip; ++i)
    if (again[i] != 0) __builtin_trap();
  if (tailLength > 0 && std::memcmp(again + skip, tail, tailLength) != 0) __builtin_trap();
}

// A key that passes validation must encipher; any other key must be refused
// or used without overrun.
void encryptUnder(const std::uint8_t* data, std::size_t size) {
  RsaPublicKey key{};
  if (!readRsaPublicKey(data, size, key)) {
    if (size >= kRsaPublicKeySize) __builtin_trap();
    return;
  }
  const bool valid = rsaValidatePublicKey(key, wire::kKeyRecordSize);
  std::uint8_t record[wire::kKeyRecordSize] = {};
  const std::size_t rest = size - kRsaPublicKeySize;
  std::memcpy(record, data + kRsaPublicKeySize, rest < sizeof record ? rest : sizeof record);
  testing::ScriptedRandom source;
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  const int status = rsaPublicEncrypt(out, &outLength, record, sizeof record, key, source);
  if (valid && (status != kRsaOk || outLength != rsaModulusLength(key.bits))) __builtin_trap();
  if (status == kRsaOk && outLength > kRsaMaxModulusLength) __builtin_trap();

  std::uint8_t wireBytes[kRsaPublicKeySize];
  if (!writeRsaPublicKey(key, wireBytes, sizeof wireBytes)) __builtin_trap();
  if (std::memcmp(wireBytes, data, sizeof wireBytes) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    encryptUnder(data + 1, size - 1);
  } else {
    decrypt(data + 1, size - 1);
  }
  return 0;
}
