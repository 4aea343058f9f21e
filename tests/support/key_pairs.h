// Seeded key pairs for the crypto, client and server tests, the fuzz targets
// and the simulated client.  Test code.
#pragma once

#include <cstdint>
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

}  // namespace kestrin::testing
