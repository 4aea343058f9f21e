// RSA key pairs and PKCS #1 v1.5 encryption blocks (block type 2) for the
// client handshake.  Numbers in the key records are big-endian, right-aligned
// and zero-filled on the left.  Private-key operations use the Chinese
// Remainder Theorem.  Nothing allocates; temporaries holding key material or
// padding are wiped before returning.  The functions keep no state, so they
// may run on any thread as long as each RandomSource is used by one thread
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/random_source.h"

namespace kestrin {

// The public key's wire form: u16 bits, then the modulus and the exponent.
inline constexpr std::size_t kRsaPublicKeySize = 258;
inline constexpr std::size_t kRsaBitsOffset = 0;
inline constexpr std::size_t kRsaModulusOffset = 2;
inline constexpr std::size_t kRsaExponentOffset = 130;
// A number of a key record, and a prime or CRT value of a private key.
inline constexpr std::size_t kRsaNumberSize = 128;
inline constexpr std::size_t kRsaPrimeSize = 64;
inline constexpr std::uint32_t kRsaMaxBits = 1024;
inline constexpr std::uint32_t kRsaMinBits = 40;

// Result codes; none carries a message.
inline constexpr int kRsaOk = 0;
// Encryption: input length + 11 exceeds the modulus length in bytes.
inline constexpr int kRsaInputTooLong = 200;
// Any operation: the key's bits field is above 1024 or says fewer bits than
// its modulus has, or a private key has a zero prime.
inline constexpr int kRsaKeyUnusable = 201;
// Public block: the input, read as a number, is not below the modulus.
inline constexpr int kRsaBlockTooLarge = 202;
// Decryption: input longer than the modulus length in bytes.
inline constexpr int kRsaCipherTooLong = 203;
// Private block: the result does not fit in the modulus length (the key's
// primes do not match its bits field).
inline constexpr int kRsaBlockLength = 204;
// Private block: the input is not below the modulus; decryption: the block
// does not start with 00 02.
inline constexpr int kRsaBadBlock = 205;
// Decryption: no zero byte after the padding.
inline constexpr int kRsaNoSeparator = 206;
// Decryption: padding shorter than 8 bytes.
inline constexpr int kRsaPaddingTooShort = 207;
// Encryption, key generation: the random source failed.
inline constexpr int kRsaRandomFailed = 208;
// Key generation: requested bits below 40 or above 1024.
inline constexpr int kRsaBitsOutOfRange = 215;
// Key generation: the prime search reached the top of its range.
inline constexpr int kRsaNoPrime = 220;

// 00 02, at least 8 padding bytes, 00.
inline constexpr std::uint32_t kRsaMinPadding = 8;
inline constexpr std::uint32_t kRsaBlockOverhead = kRsaMinPadding + 3;
// Output buffers of the operations must hold this many bytes.
inline constexpr std::uint32_t kRsaMaxModulusLength = kRsaNumberSize;
inline constexpr std::uint32_t kRsaFermat4 = 65537;
inline constexpr std::uint32_t kRsaSmallExponent = 3;

// The public key; also the 258-byte wire form (readRsaPublicKey,
// writeRsaPublicKey).
struct RsaPublicKey {
  std::uint16_t bits;
  std::uint8_t modulus[kRsaNumberSize];
  std::uint8_t exponent[kRsaNumberSize];
};

// The private key, held in memory only.  prime[0] is the larger prime;
// primeExponent[i] = d mod (prime[i] - 1); coefficient = q^-1 mod p.
// Wipe it with secureWipe when done.
struct RsaPrivateKey {
  std::uint16_t bits;
  std::uint8_t modulus[kRsaNumberSize];
  std::uint8_t publicExponent[kRsaNumberSize];
  std::uint8_t exponent[kRsaNumberSize];
  std::uint8_t prime[2][kRsaPrimeSize];
  std::uint8_t primeExponent[2][kRsaPrimeSize];
  std::uint8_t coefficient[kRsaPrimeSize];
};

// The wanted modulus length in bits; useFermat4 non-zero selects e = 65537,
// zero e = 3.
struct RsaKeyRequest {
  std::uint32_t bits;
  std::int32_t useFermat4;
};

// (bits + 7) / 8: the length of blocks and ciphertexts under the key.
std::uint32_t rsaModulusLength(std::uint16_t bits);

// Reads a 258-byte key record; false (key unchanged) when `length` is short.
bool readRsaPublicKey(const std::uint8_t* bytes, std::size_t length, RsaPublicKey& key);
// Writes the 258-byte record; false (nothing written) when `capacity` is short.
bool writeRsaPublicKey(const RsaPublicKey& key, std::uint8_t* bytes, std::size_t capacity);

// True when the key is a plausible RSA key that can carry `payloadLength`
// bytes: bits at most 1024, a modulus of exactly `bits` bits that is odd and
// at least payloadLength + 11 bytes long, an odd exponent of at least 3.
// Encryption of up to payloadLength bytes under such a key cannot fail but
// for the random source.
bool rsaValidatePublicKey(const RsaPublicKey& key, std::uint32_t payloadLength);

// Generates a key pair of request.bits bits: 0, 215, 220 or 208.  On failure
// neither record is changed.
int rsaGenerateKeyPair(RsaPublicKey& publicKey, RsaPrivateKey& privateKey,
                       const RsaKeyRequest& request, RandomSource& random);

// PKCS #1 v1.5 block type 2 encryption: 0, 200, 201, 202 or 208.  On success
// `output` (room for kRsaMaxModulusLength bytes) holds modulus-length bytes
// and *outputLength says how many; on failure neither is changed.
int rsaPublicEncrypt(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                     std::uint32_t inputLength, const RsaPublicKey& key, RandomSource& random);

// Decryption: 0, 201, 203 to 207.  On success `output` (room for
// kRsaMaxModulusLength bytes) holds the message and *outputLength its
// length.  *outputLength is also set when the separator was found but the
// padding is too short (207); otherwise a failure changes neither.
int rsaPrivateDecrypt(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                      std::uint32_t inputLength, const RsaPrivateKey& key);

// The raw exponentiations: output = input^e mod n (0, 201, 202) and, through
// the CRT, output = input^d mod n (0, 201, 204, 205), each encoded into
// modulus-length bytes.
int rsaPublicBlock(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                   std::uint32_t inputLength, const RsaPublicKey& key);
int rsaPrivateBlock(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                    std::uint32_t inputLength, const RsaPrivateKey& key);

}  // namespace kestrin
