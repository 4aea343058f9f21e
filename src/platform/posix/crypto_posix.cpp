// SHA-256 and ECDSA P-256 through OpenSSL's libcrypto.
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace kestrin::platform {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct SigFree {
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

// Reads a PEM key with `read` (PEM_read_bio_PUBKEY or _PrivateKey); null
// unless it is a key on the curve P-256.
template <typename Reader>
Pkey readP256Key(const std::string& pem, Reader read) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return nullptr;
  Pkey key(read(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  char group[32] = {};
  if (!key || !EVP_PKEY_is_a(key.get(), "EC") ||
      EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) != 1 ||
      std::strcmp(group, "prime256v1") != 0)
    return nullptr;
  return key;
}

}  // namespace

// Any longer form, and any byte after it, makes the bytes longer than their
// DER form.
bool isDerSignature(const void* signature, std::size_t length) {
  const auto* cursor = static_cast<const unsigned char*>(signature);
  std::unique_ptr<ECDSA_SIG, SigFree> parsed(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
  return parsed && i2d_ECDSA_SIG(parsed.get(), nullptr) == static_cast<int>(length);
}

bool sha256(const void* data, std::size_t length, std::uint8_t (&digest)[kSha256Size]) {
  unsigned int size = 0;
  return EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == kSha256Size;
}

SignatureCheck verifySignature(const std::string& publicKeyPem, const void* data, std::size_t length,
                               const void* signature, std::size_t signatureLength) {
  Pkey key = readP256Key(publicKeyPem, PEM_read_bio_PUBKEY);
  if (!key) return SignatureCheck::kBadKey;
  if (!isDerSignature(signature, signatureLength)) return SignatureCheck::kMalformed;
  MdContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
    return SignatureCheck::kWrong;
  int verdict = EVP_DigestVerify(context.get(), static_cast<const unsigned char*>(signature), signatureLength,
                                 static_cast<const unsigned char*>(data), length);
  return verdict == 1 ? SignatureCheck::kValid : SignatureCheck::kWrong;
}

bool signData(const std::string& privateKeyPem, const void* data, std::size_t length, std::string* signature) {
  Pkey key = readP256Key(privateKeyPem, PEM_read_bio_PrivateKey);
  MdContext context(EVP_MD_CTX_new());
  std::size_t size = 0;
  if (!key || !context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &size, static_cast<const unsigned char*>(data), length) != 1)
    return false;
  signature->assign(size, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature->data()), &size,
                     static_cast<const unsigned char*>(data), length) != 1)
    return false;
  signature->resize(size);
  return true;
}

}  // namespace kestrin::platform
