#include "crypto/rsa.h"

#include <cstring>

#include "core/byte_order.h"
#include "crypto/bignum.h"
#include "crypto/modular.h"
#include "crypto/prime_search.h"
#include "crypto/secure_wipe.h"

namespace kestrin {

using namespace bignum;

namespace {

inline constexpr std::uint32_t kMinKeyBits = kRsaMinBits;
inline constexpr std::uint32_t kMaxKeyBits = kRsaMaxBits;
// Digits of a field holding one prime or a CRT value.
inline constexpr int kPrimeDigits = static_cast<int>(kRsaPrimeSize) / kDigitBytes;
inline constexpr int kModulusDigits = 2 * kPrimeDigits;
inline constexpr std::uint8_t kBlockType = 2;

// The modulus of a key record whose bits field can be trusted to size blocks:
// at most 1024 bits and no more bits in n than the field says.  nDigits is
// the significant digits of n.
bool decodeModulus(Digit* n, int* nDigits, std::uint16_t bits, const std::uint8_t* field) {
  if (bits > kMaxKeyBits) return false;
  decode(n, kMaxDigits, field, kRsaNumberSize);
  *nDigits = digitCount(n, kMaxDigits);
  return bitCount(n, kMaxDigits) <= bits;
}

// Sets the bits from `from` up to (not including) `to` in a zeroed number.
void setBits(Digit* a, int from, int to) {
  for (int bit = from; bit < to; ++bit) a[bit / kDigitBits] |= Digit{1} << (bit % kDigitBits);
}

// A prime of `bits` bits, its top two bits set, with gcd(prime - 1, e) = 1.
int generatePrime(Digit* prime, int bits, const Digit* e, int digits, RandomSource& random) {
  Digit low[kMaxDigits] = {};
  Digit high[kMaxDigits] = {};
  Digit less[kMaxDigits];
  Digit divisor[kMaxDigits];
  setBits(low, bits - 2, bits);
  setBits(high, 0, bits);
  for (;;) {
    switch (findPrime(prime, low, high, digits, random)) {
      case PrimeSearch::kFound:
        break;
      case PrimeSearch::kNoPrime:
        return kRsaNoPrime;
      case PrimeSearch::kRandomFailed:
        return kRsaRandomFailed;
    }
    subtractDigit(less, prime, 1, digits);
    gcd(divisor, less, e, digits);
    const bool coprime = digitCount(divisor, digits) == 1 && divisor[0] == 1;
    secureWipe(less);
    if (coprime) return kRsaOk;
  }
}

// Everything rsaGenerateKeyPair computes, wiped as one.
struct KeyMaterial {
  Digit p[kMaxDigits], q[kMaxDigits], e[kMaxDigits];
  Digit pLess[kMaxDigits], qLess[kMaxDigits], qInv[kMaxDigits];
  Digit n[kMaxProductDigits], phi[kMaxProductDigits];
  Digit d[kMaxDigits], dP[kMaxDigits], dQ[kMaxDigits];
  RsaPublicKey publicKey;
  RsaPrivateKey privateKey;
};

int generate(KeyMaterial& k, const RsaKeyRequest& request, RandomSource& random) {
  const int bits = static_cast<int>(request.bits);
  const int pBits = (bits + 1) / 2;
  const int qBits = bits - pBits;
  const int nDigits = (bits + kDigitBits - 1) / kDigitBits;
  const int pDigits = (nDigits + 1) / 2;
  const int productDigits = 2 * pDigits;

  assignDigit(k.e, request.useFermat4 != 0 ? kRsaFermat4 : kRsaSmallExponent, productDigits);
  int status = generatePrime(k.p, pBits, k.e, pDigits, random);
  if (status != kRsaOk) return status;
  // Equal primes would make a modulus without a usable private key.
  do {
    status = generatePrime(k.q, qBits, k.e, pDigits, random);
    if (status != kRsaOk) return status;
  } while (compare(k.p, k.q, pDigits) == 0);
  if (compare(k.p, k.q, pDigits) < 0) {
    Digit swap[kMaxDigits];
    assign(swap, k.p, pDigits);
    assign(k.p, k.q, pDigits);
    assign(k.q, swap, pDigits);
    secureWipe(swap);
  }

  multiply(k.n, k.p, k.q, pDigits);
  modInverse(k.qInv, k.q, k.p, pDigits);
  subtractDigit(k.pLess, k.p, 1, pDigits);
  subtractDigit(k.qLess, k.q, 1, pDigits);
  multiply(k.phi, k.pLess, k.qLess, pDigits);
  modInverse(k.d, k.e, k.phi, productDigits);
  mod(k.dP, k.d, productDigits, k.pLess, pDigits);
  mod(k.dQ, k.d, productDigits, k.qLess, pDigits);

  RsaPublicKey& pub = k.publicKey;
  RsaPrivateKey& key = k.privateKey;
  pub.bits = static_cast<std::uint16_t>(bits);
  encode(pub.modulus, sizeof pub.modulus, k.n, productDigits);
  encode(pub.exponent, sizeof pub.exponent, k.e, productDigits);
  key.bits = pub.bits;
  std::memcpy(key.modulus, pub.modulus, sizeof key.modulus);
  std::memcpy(key.publicExponent, pub.exponent, sizeof key.publicExponent);
  encode(key.exponent, sizeof key.exponent, k.d, productDigits);
  encode(key.prime[0], sizeof key.prime[0], k.p, pDigits);
  encode(key.prime[1], sizeof key.prime[1], k.q, pDigits);
  encode(key.primeExponent[0], sizeof key.primeExponent[0], k.dP, pDigits);
  encode(key.primeExponent[1], sizeof key.primeExponent[1], k.dQ, pDigits);
  encode(key.coefficient, sizeof key.coefficient, k.qInv, pDigits);
  return kRsaOk;
}

// The CRT values of a private key, wiped as one.
struct CrtMaterial {
  Digit n[kMaxDigits], c[kMaxDigits];
  Digit p[kPrimeDigits], q[kPrimeDigits], dP[kPrimeDigits], dQ[kPrimeDigits], qInv[kPrimeDigits];
  Digit reduced[kPrimeDigits], mP[kPrimeDigits], mQ[kPrimeDigits], t[kPrimeDigits];
  Digit m[kModulusDigits];
};

int privateBlock(CrtMaterial& k, std::uint8_t* output, std::uint32_t* outputLength,
                 const std::uint8_t* input, std::uint32_t inputLength, const RsaPrivateKey& key) {
  int nDigits = 0;
  if (!decodeModulus(k.n, &nDigits, key.bits, key.modulus)) return kRsaKeyUnusable;
  decode(k.p, kPrimeDigits, key.prime[0], kRsaPrimeSize);
  decode(k.q, kPrimeDigits, key.prime[1], kRsaPrimeSize);
  if (isZero(k.p, kPrimeDigits) || isZero(k.q, kPrimeDigits)) return kRsaKeyUnusable;
  if (!decode(k.c, kMaxDigits, input, inputLength) || compare(k.c, k.n, kMaxDigits) >= 0) {
    return kRsaBadBlock;
  }
  decode(k.dP, kPrimeDigits, key.primeExponent[0], kRsaPrimeSize);
  decode(k.dQ, kPrimeDigits, key.primeExponent[1], kRsaPrimeSize);
  decode(k.qInv, kPrimeDigits, key.coefficient, kRsaPrimeSize);

  // mP = (c mod p)^dP mod p, mQ = (c mod q)^dQ mod q.
  mod(k.reduced, k.c, nDigits, k.p, kPrimeDigits);
  modExp(k.mP, k.reduced, k.dP, kPrimeDigits, k.p, kPrimeDigits);
  mod(k.reduced, k.c, nDigits, k.q, kPrimeDigits);
  modExp(k.mQ, k.reduced, k.dQ, kPrimeDigits, k.q, kPrimeDigits);

  // t = (mP - mQ) qInv mod p, taken modulo p when mP is below mQ.
  if (compare(k.mP, k.mQ, kPrimeDigits) >= 0) {
    subtract(k.t, k.mP, k.mQ, kPrimeDigits);
  } else {
    subtract(k.t, k.mQ, k.mP, kPrimeDigits);
    subtract(k.t, k.p, k.t, kPrimeDigits);
  }
  modMultiply(k.t, k.t, k.qInv, k.p, kPrimeDigits);

  // m = t q + mQ, below p q.
  multiply(k.m, k.t, k.q, kPrimeDigits);
  Digit mQ[kModulusDigits] = {};
  assign(mQ, k.mQ, kPrimeDigits);
  add(k.m, k.m, mQ, kModulusDigits);
  secureWipe(mQ);

  const std::uint32_t modulusLength = rsaModulusLength(key.bits);
  std::uint8_t block[kRsaMaxModulusLength];
  const bool fits = encode(block, modulusLength, k.m, kModulusDigits);
  if (fits) {
    std::memcpy(output, block, modulusLength);
    *outputLength = modulusLength;
  }
  secureWipe(block);
  return fits ? kRsaOk : kRsaBlockLength;
}

}  // namespace

std::uint32_t rsaModulusLength(std::uint16_t bits) { return (std::uint32_t{bits} + 7) / 8; }

bool readRsaPublicKey(const std::uint8_t* bytes, std::size_t length, RsaPublicKey& key) {
  if (length < kRsaPublicKeySize) return false;
  key.bits = loadLe16(bytes + kRsaBitsOffset);
  std::memcpy(key.modulus, bytes + kRsaModulusOffset, kRsaNumberSize);
  std::memcpy(key.exponent, bytes + kRsaExponentOffset, kRsaNumberSize);
  return true;
}

bool writeRsaPublicKey(const RsaPublicKey& key, std::uint8_t* bytes, std::size_t capacity) {
  if (capacity < kRsaPublicKeySize) return false;
  storeLe16(bytes + kRsaBitsOffset, key.bits);
  std::memcpy(bytes + kRsaModulusOffset, key.modulus, kRsaNumberSize);
  std::memcpy(bytes + kRsaExponentOffset, key.exponent, kRsaNumberSize);
  return true;
}

bool rsaValidatePublicKey(const RsaPublicKey& key, std::uint32_t payloadLength) {
  Digit n[kMaxDigits];
  Digit e[kMaxDigits];
  int nDigits = 0;
  if (!decodeModulus(n, &nDigits, key.bits, key.modulus)) return false;
  const std::uint32_t modulusLength = rsaModulusLength(key.bits);
  if (modulusLength < kRsaBlockOverhead || payloadLength > modulusLength - kRsaBlockOverhead) {
    return false;
  }
  decode(e, kMaxDigits, key.exponent, kRsaNumberSize);
  return bitCount(n, kMaxDigits) == key.bits && (n[0] & 1) != 0 && (e[0] & 1) != 0 &&
         bitCount(e, kMaxDigits) >= 2;
}

int rsaGenerateKeyPair(RsaPublicKey& publicKey, RsaPrivateKey& privateKey,
                       const RsaKeyRequest& request, RandomSource& random) {
  if (request.bits < kMinKeyBits || request.bits > kMaxKeyBits) return kRsaBitsOutOfRange;
  KeyMaterial material = {};
  const int status = generate(material, request, random);
  if (status == kRsaOk) {
    publicKey = material.publicKey;
    privateKey = material.privateKey;
  }
  secureWipe(material);
  return status;
}

int rsaPublicEncrypt(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                     std::uint32_t inputLength, const RsaPublicKey& key, RandomSource& random) {
  if (key.bits > kMaxKeyBits) return kRsaKeyUnusable;
  const std::uint32_t modulusLength = rsaModulusLength(key.bits);
  if (modulusLength < kRsaBlockOverhead || inputLength > modulusLength - kRsaBlockOverhead) {
    return kRsaInputTooLong;
  }
  // 00 02, non-zero padding, 00, the input.
  std::uint8_t block[kRsaMaxModulusLength];
  const std::uint32_t paddingLength = modulusLength - inputLength - 3;
  block[0] = 0;
  block[1] = kBlockType;
  int status = kRsaRandomFailed;
  if (drawNonZeroBytes(random, block + 2, paddingLength)) {
    block[2 + paddingLength] = 0;
    if (inputLength > 0) std::memcpy(block + 3 + paddingLength, input, inputLength);
    status = rsaPublicBlock(output, outputLength, block, modulusLength, key);
  }
  secureWipe(block);
  return status;
}

int rsaPublicBlock(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                   std::uint32_t inputLength, const RsaPublicKey& key) {
  Digit n[kMaxDigits], m[kMaxDigits], e[kMaxDigits], c[kMaxDigits];
  int nDigits = 0;
  if (!decodeModulus(n, &nDigits, key.bits, key.modulus)) return kRsaKeyUnusable;
  int status = kRsaBlockTooLarge;
  if (decode(m, kMaxDigits, input, inputLength) && compare(m, n, kMaxDigits) < 0) {
    decode(e, kMaxDigits, key.exponent, kRsaNumberSize);
    modExp(c, m, e, kMaxDigits, n, nDigits);
    *outputLength = rsaModulusLength(key.bits);
    encode(output, *outputLength, c, nDigits);
    status = kRsaOk;
  }
  secureWipe(m);
  return status;
}

int rsaPrivateBlock(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                    std::uint32_t inputLength, const RsaPrivateKey& key) {
  CrtMaterial material;
  const int status = privateBlock(material, output, outputLength, input, inputLength, key);
  secureWipe(material);
  return status;
}

int rsaPrivateDecrypt(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                      std::uint32_t inputLength, const RsaPrivateKey& key) {
  if (key.bits > kMaxKeyBits) return kRsaKeyUnusable;
  const std::uint32_t modulusLength = rsaModulusLength(key.bits);
  if (inputLength > modulusLength) return kRsaCipherTooLong;

  std::uint8_t block[kRsaMaxModulusLength] = {};
  std::uint32_t blockLength = 0;
  int status = rsaPrivateBlock(block, &blockLength, input, inputLength, key);
  if (status == kRsaOk) {
    if (block[0] != 0 || block[1] != kBlockType) {
      status = kRsaBadBlock;
    } else {
      // The first zero byte from index 2 on ends the padding; in the last
      // byte it leaves an empty message.
      std::uint32_t separator = 2;
      while (separator < modulusLength && block[separator] != 0) ++separator;
      const std::uint32_t start = separator + 1;
      if (separator >= modulusLength) {
        status = kRsaNoSeparator;
      } else {
        const std::uint32_t messageLength = modulusLength - start;
        *outputLength = messageLength;
        if (messageLength + kRsaBlockOverhead > modulusLength) {
          status = kRsaPaddingTooShort;
        } else {
          std::memcpy(output, block + start, messageLength);
        }
      }
    }
  }
  secureWipe(block);
  return status;
}

}  // namespace kestrin
