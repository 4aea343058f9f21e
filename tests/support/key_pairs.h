// Seeded key pairs for the crypto, client and server tests, the fuzz targets
// and the simulated client.  Test code.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "crypto/rsa.h"
#include "support/scripted_random.h"

namespace kestrin::testing {

using Bytes = std::vector<std::uint8_t>;

struct KeyPair {
  RsaPublicKey publicKey = {};
  RsaPrivateKey privateKey = {};
};

// A key pair drawn from a seeded stream: the same arguments give the same
// pair.  e = 65537 unless useFermat4 is 0 (e = 3).  Empty keys when
// generation fails.
inline KeyPair seededKeyPair(std::uint32_t bits, std::uint64_t seed, std::int32_t useFermat4 = 1) {
  ScriptedRandom random(seed);
  KeyPair pair;
  if (rsaGenerateKeyPair(pair.publicKey, pair.privateKey, RsaKeyRequest{bits, useFermat4}, random) != kRsaOk)
    return {};
  return pair;
}

// The same pair with the exponents swapped: the private exponent is 65537
// and the public one the large one, so that deciphering costs two 17-bit
// exponentiations.  For the fuzz targets, which decipher every input; weak.
inline KeyPair swappedKeyPair(std::uint32_t bits, std::uint64_t seed) {
  KeyPair pair = seededKeyPair(bits, seed);
  RsaPrivateKey& key = pair.privateKey;
  std::memcpy(pair.publicKey.exponent, key.exponent, kRsaNumberSize);
  std::memcpy(key.publicExponent, key.exponent, kRsaNumberSize);
  const auto setFermat4 = [](std::uint8_t* field, std::size_t size) {
    std::memset(field, 0, size);
    field[size - 3] = 1;
    field[size - 1] = 1;
  };
  setFermat4(key.exponent, kRsaNumberSize);
  setFermat4(key.primeExponent[0], kRsaPrimeSize);
  setFermat4(key.primeExponent[1], kRsaPrimeSize);
  return pair;
}

}  // namespace kestrin::testing
