// SHA-256 and ECDSA P-256 through CNG (bcrypt), with the system's ASN.1
// coder (crypt32) reading the PEM keys and the DER signatures.  Only the
// generic structures of the coder are used for private keys and signatures
// (sequences, integers, octet and bit strings): Wine lacks the specific ones.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace kestrin::platform {
namespace {

constexpr ULONG kScalarSize = 32;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The DER form of the curve's object identifier (1.2.840.10045.3.1.7), as
// the algorithm parameters of a P-256 key name it.
constexpr BYTE kP256Parameters[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
template <typename T>
using Decoded = std::unique_ptr<T, LocalFreer>;

// Decodes DER bytes into crypt32's structure for `type`; null on failure.
template <typename T>
Decoded<T> decode(LPCSTR type, const BYTE* der, std::size_t length) {
  void* out = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(kEncoding, type, der, static_cast<DWORD>(length), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                           &out, &size))
    return nullptr;
  return Decoded<T>(static_cast<T*>(out));
}

// The DER bytes of a PEM block; empty when the text holds none.
std::vector<BYTE> pemToDer(const std::string& pem) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            nullptr, nullptr))
    return {};
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                            &size, nullptr, nullptr))
    return {};
  der.resize(size);
  return der;
}

bool isP256(const CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
  return algorithm.pszObjId != nullptr && std::strcmp(algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) == 0 &&
         algorithm.Parameters.cbData == sizeof kP256Parameters &&
         std::memcmp(algorithm.Parameters.pbData, kP256Parameters, sizeof kP256Parameters) == 0;
}

// An ECDSA P-256 key in CNG; the provider and the key are closed with the
// object.
class EcdsaKey {
 public:
  EcdsaKey() = default;
  EcdsaKey(const EcdsaKey&) = delete;
  EcdsaKey& operator=(const EcdsaKey&) = delete;
  ~EcdsaKey() {
    if (key_ != nullptr) BCryptDestroyKey(key_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }

  // Imports the public point (0x04, x, y) and, for a private key, the
  // big-endian scalar (at most 32 bytes).
  bool import(const BYTE* point, std::size_t pointLength, const std::vector<BYTE>* scalar) {
    if (pointLength != 1 + 2 * kScalarSize || point[0] != 0x04) return false;
    BCRYPT_ECCKEY_BLOB header{scalar != nullptr ? static_cast<ULONG>(BCRYPT_ECDSA_PRIVATE_P256_MAGIC)
                                                : static_cast<ULONG>(BCRYPT_ECDSA_PUBLIC_P256_MAGIC),
                              kScalarSize};
    std::vector<BYTE> blob(sizeof header + (scalar != nullptr ? 3 : 2) * kScalarSize, 0);
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point + 1, 2 * kScalarSize);
    if (scalar != nullptr) std::copy(scalar->begin(), scalar->end(), blob.end() - scalar->size());
    bool imported =
        BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)) &&
        BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm_, nullptr,
                                           scalar != nullptr ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
                                           &key_, blob.data(), static_cast<ULONG>(blob.size()), 0));
    SecureZeroMemory(blob.data(), blob.size());
    return imported;
  }
  BCRYPT_KEY_HANDLE handle() const { return key_; }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_KEY_HANDLE key_ = nullptr;
};

// r and s, big-endian, as CNG signs and verifies them.
using RawSignature = BYTE[2 * kScalarSize];

// The DER form of a signature: a SEQUENCE of the two INTEGERs, each as short
// as its value allows (crypt32 takes the numbers little-endian).
std::string writeDerSignature(const RawSignature raw) {
  BYTE little[2][kScalarSize];
  BYTE* integers[2] = {nullptr, nullptr};
  CRYPT_DER_BLOB parts[2] = {};
  for (int n = 0; n < 2; ++n) {
    std::reverse_copy(raw + n * kScalarSize, raw + (n + 1) * kScalarSize, little[n]);
    CRYPT_UINT_BLOB number{kScalarSize, little[n]};
    while (number.cbData > 1 && little[n][number.cbData - 1] == 0) --number.cbData;
    if (!CryptEncodeObjectEx(kEncoding, X509_MULTI_BYTE_UINT, &number, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                             &integers[n], &parts[n].cbData))
      integers[n] = nullptr;
    parts[n].pbData = integers[n];
  }
  CRYPT_SEQUENCE_OF_ANY sequence{2, parts};
  BYTE* der = nullptr;
  DWORD size = 0;
  std::string text;
  if (integers[0] != nullptr && integers[1] != nullptr &&
      CryptEncodeObjectEx(kEncoding, X509_SEQUENCE_OF_ANY, &sequence, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &der, &size))
    text.assign(reinterpret_cast<const char*>(der), size);
  for (BYTE* memory : {integers[0], integers[1], der}) LocalFree(memory);
  return text;
}

// Reads a signature that is exactly the DER form of its two numbers (the
// decoder alone would take longer forms and trailing bytes).
bool readDerSignature(const void* signature, std::size_t length, RawSignature raw) {
  auto value = decode<CERT_ECC_SIGNATURE>(X509_ECC_SIGNATURE, static_cast<const BYTE*>(signature), length);
  if (!value) return false;
  std::memset(raw, 0, sizeof(RawSignature));
  const CRYPT_UINT_BLOB* numbers[2] = {&value->r, &value->s};
  for (int n = 0; n < 2; ++n) {
    DWORD size = numbers[n]->cbData;
    while (size > kScalarSize && numbers[n]->pbData[size - 1] == 0) --size;
    if (size > kScalarSize) return false;
    std::reverse_copy(numbers[n]->pbData, numbers[n]->pbData + size, raw + (n + 1) * kScalarSize - size);
  }
  std::string canonical = writeDerSignature(raw);
  return canonical.size() == length && std::memcmp(canonical.data(), signature, length) == 0;
}

template <std::size_t N>
bool sameBytes(const CRYPT_DER_BLOB& blob, const BYTE (&bytes)[N]) {
  return blob.cbData == N && std::memcmp(blob.pbData, bytes, N) == 0;
}

// The parts of a P-256 private key that CNG imports.
struct PrivateKeyParts {
  std::vector<BYTE> scalar;  // big-endian
  std::vector<BYTE> point;   // 0x04, x, y
  ~PrivateKeyParts() { SecureZeroMemory(scalar.data(), scalar.size()); }
};

// Reads a PKCS #8 key, SEQUENCE { INTEGER 0, AlgorithmIdentifier, OCTET
// STRING holding an ECPrivateKey }, or an ECPrivateKey alone, SEQUENCE {
// INTEGER 1, OCTET STRING d, [0] curve OPTIONAL, [1] BIT STRING public point
// OPTIONAL }.  The curve must be P-256 and the public point present.
bool readPrivateKey(const std::vector<BYTE>& der, PrivateKeyParts* parts) {
  // The algorithm of a PKCS #8 P-256 key, and an ECPrivateKey's [0] naming
  // the curve.
  static constexpr BYTE kP256Algorithm[] = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                            0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  static constexpr BYTE kP256Curve[] = {0xA0, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  auto outer = decode<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, der.data(), der.size());
  if (!outer) return false;
  Decoded<CRYPT_DATA_BLOB> wrapped;
  Decoded<CRYPT_SEQUENCE_OF_ANY> inner;
  const CRYPT_SEQUENCE_OF_ANY* key = outer.get();
  bool namesP256 = outer->cValue == 3 && sameBytes(outer->rgValue[1], kP256Algorithm);
  if (namesP256) {
    wrapped = decode<CRYPT_DATA_BLOB>(X509_OCTET_STRING, outer->rgValue[2].pbData, outer->rgValue[2].cbData);
    if (wrapped) inner = decode<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, wrapped->pbData, wrapped->cbData);
    if (wrapped) SecureZeroMemory(wrapped->pbData, wrapped->cbData);
    if (!inner) return false;
    key = inner.get();
  }
  if (key->cValue < 2) return false;
  auto scalar = decode<CRYPT_DATA_BLOB>(X509_OCTET_STRING, key->rgValue[1].pbData, key->rgValue[1].cbData);
  if (!scalar || scalar->cbData > kScalarSize) return false;
  parts->scalar.assign(scalar->pbData, scalar->pbData + scalar->cbData);
  SecureZeroMemory(scalar->pbData, scalar->cbData);
  for (DWORD i = 2; i < key->cValue; ++i) {
    const CRYPT_DER_BLOB& element = key->rgValue[i];
    if (sameBytes(element, kP256Curve)) {
      namesP256 = true;
    } else if (element.cbData > 2 && element.pbData[0] == 0xA1 && element.pbData[1] == element.cbData - 2) {
      auto point = decode<CRYPT_BIT_BLOB>(X509_BITS, element.pbData + 2, element.cbData - 2);
      if (point && point->cUnusedBits == 0) parts->point.assign(point->pbData, point->pbData + point->cbData);
    } else {
      return false;  // another curve
    }
  }
  return namesP256 && !parts->point.empty();
}

}  // namespace

bool sha256(const void* data, std::size_t length, std::uint8_t (&digest)[kSha256Size]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  const auto* bytes = static_cast<const BYTE*>(data);
  for (std::size_t done = 0; ok && done < length;) {
    ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(length - done, 1u << 30));
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<BYTE*>(bytes + done), chunk, 0));
    done += chunk;
  }
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, kSha256Size, 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

bool isDerSignature(const void* signature, std::size_t length) {
  RawSignature raw;
  return readDerSignature(signature, length, raw);
}

SignatureCheck verifySignature(const std::string& publicKeyPem, const void* data, std::size_t length,
                               const void* signature, std::size_t signatureLength) {
  std::vector<BYTE> der = pemToDer(publicKeyPem);
  Decoded<CERT_PUBLIC_KEY_INFO> info;
  if (!der.empty()) info = decode<CERT_PUBLIC_KEY_INFO>(X509_PUBLIC_KEY_INFO, der.data(), der.size());
  EcdsaKey key;
  if (!info || !isP256(info->Algorithm) || info->PublicKey.cUnusedBits != 0 ||
      !key.import(info->PublicKey.pbData, info->PublicKey.cbData, nullptr))
    return SignatureCheck::kBadKey;
  RawSignature raw;
  if (!readDerSignature(signature, signatureLength, raw)) return SignatureCheck::kMalformed;
  std::uint8_t digest[kSha256Size];
  if (!sha256(data, length, digest)) return SignatureCheck::kWrong;
  NTSTATUS status = BCryptVerifySignature(key.handle(), nullptr, digest, sizeof digest, raw, sizeof raw, 0);
  return BCRYPT_SUCCESS(status) ? SignatureCheck::kValid : SignatureCheck::kWrong;
}

bool signData(const std::string& privateKeyPem, const void* data, std::size_t length, std::string* signature) {
  std::vector<BYTE> der = pemToDer(privateKeyPem);
  PrivateKeyParts parts;
  bool read = !der.empty() && readPrivateKey(der, &parts);
  SecureZeroMemory(der.data(), der.size());
  EcdsaKey key;
  std::uint8_t digest[kSha256Size];
  RawSignature raw;
  ULONG size = 0;
  if (!read || !key.import(parts.point.data(), parts.point.size(), &parts.scalar) || !sha256(data, length, digest) ||
      !BCRYPT_SUCCESS(BCryptSignHash(key.handle(), nullptr, digest, sizeof digest, raw, sizeof raw, &size, 0)) ||
      size != sizeof raw)
    return false;
  *signature = writeDerSignature(raw);
  return !signature->empty();
}

}  // namespace kestrin::platform
