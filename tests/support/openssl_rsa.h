// Conversions between our RSA key records and OpenSSL keys, for the tests
// and benchmarks that use OpenSSL as an independent implementation.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "crypto/rsa.h"

namespace kestrin::testing {

// Owners that release OpenSSL objects with their free functions.
template <auto Free>
struct Release {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};
using Bn = std::unique_ptr<BIGNUM, Release<BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Release<BN_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Release<EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Release<EVP_PKEY_CTX_free>>;

inline Bn fieldBn(const std::uint8_t* field, std::size_t size) {
  return Bn(BN_bin2bn(field, static_cast<int>(size), nullptr));
}

inline bool toField(const BIGNUM* bn, std::uint8_t* field, std::size_t size) {
  return BN_bn2binpad(bn, field, static_cast<int>(size)) >= 0;
}

// An OpenSSL key pair built from the components of ours; null on failure.
inline Pkey toOpenSsl(const RsaPrivateKey& key) {
  std::unique_ptr<OSSL_PARAM_BLD, Release<OSSL_PARAM_BLD_free>> builder(OSSL_PARAM_BLD_new());
  const std::pair<const char*, Bn> parts[] = {
      {OSSL_PKEY_PARAM_RSA_N, fieldBn(key.modulus, sizeof key.modulus)},
      {OSSL_PKEY_PARAM_RSA_E, fieldBn(key.publicExponent, sizeof key.publicExponent)},
      {OSSL_PKEY_PARAM_RSA_D, fieldBn(key.exponent, sizeof key.exponent)},
      {OSSL_PKEY_PARAM_RSA_FACTOR1, fieldBn(key.prime[0], sizeof key.prime[0])},
      {OSSL_PKEY_PARAM_RSA_FACTOR2, fieldBn(key.prime[1], sizeof key.prime[1])},
      {OSSL_PKEY_PARAM_RSA_EXPONENT1, fieldBn(key.primeExponent[0], sizeof key.primeExponent[0])},
      {OSSL_PKEY_PARAM_RSA_EXPONENT2, fieldBn(key.primeExponent[1], sizeof key.primeExponent[1])},
      {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, fieldBn(key.coefficient, sizeof key.coefficient)},
  };
  for (const auto& [name, value] : parts) OSSL_PARAM_BLD_push_BN(builder.get(), name, value.get());
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder.get());
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (params == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_KEYPAIR, params) != 1) {
    pkey = nullptr;
  }
  OSSL_PARAM_free(params);
  return Pkey(pkey);
}

inline Bn getBn(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  return Bn(bn);
}

// Our records from an OpenSSL key pair, the larger prime first; false when
// a component is missing.
inline bool fromOpenSsl(EVP_PKEY* pkey, RsaPublicKey& pub, RsaPrivateKey& key) {
  Bn n = getBn(pkey, OSSL_PKEY_PARAM_RSA_N), e = getBn(pkey, OSSL_PKEY_PARAM_RSA_E),
     d = getBn(pkey, OSSL_PKEY_PARAM_RSA_D), p = getBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1),
     q = getBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2), dP = getBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1),
     dQ = getBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2), qInv(BN_new());
  if (!n || !e || !d || !p || !q || !dP || !dQ || !qInv) return false;
  if (BN_cmp(p.get(), q.get()) < 0) {
    std::swap(p, q);
    std::swap(dP, dQ);
  }
  BnCtx ctx(BN_CTX_new());
  if (BN_mod_inverse(qInv.get(), q.get(), p.get(), ctx.get()) == nullptr) return false;
  pub.bits = key.bits = static_cast<std::uint16_t>(BN_num_bits(n.get()));
  return toField(n.get(), pub.modulus, sizeof pub.modulus) &&
         toField(e.get(), pub.exponent, sizeof pub.exponent) &&
         toField(n.get(), key.modulus, sizeof key.modulus) &&
         toField(e.get(), key.publicExponent, sizeof key.publicExponent) &&
         toField(d.get(), key.exponent, sizeof key.exponent) &&
         toField(p.get(), key.prime[0], sizeof key.prime[0]) &&
         toField(q.get(), key.prime[1], sizeof key.prime[1]) &&
         toField(dP.get(), key.primeExponent[0], sizeof key.primeExponent[0]) &&
         toField(dQ.get(), key.primeExponent[1], sizeof key.primeExponent[1]) &&
         toField(qInv.get(), key.coefficient, sizeof key.coefficient);
}

// A fresh OpenSSL key of `bits` bits with e = 65537; null on failure.
inline Pkey openSslGenerate(int bits) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &key) != 1) {
    return nullptr;
  }
  return Pkey(key);
}

// A context for PKCS #1 v1.5 encryption or decryption under `key`.
inline PkeyCtx openSslCryptContext(EVP_PKEY* key, bool encrypt) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
    return nullptr;
  }
  return ctx;
}

// PKCS #1 v1.5 with OpenSSL; empty on failure.
inline std::vector<std::uint8_t> openSslCrypt(EVP_PKEY* key, bool encrypt,
                                              const std::vector<std::uint8_t>& input) {
  PkeyCtx ctx = openSslCryptContext(key, encrypt);
  if (!ctx) return {};
  std::vector<std::uint8_t> out(512);
  std::size_t length = out.size();
  const int ok = encrypt ? EVP_PKEY_encrypt(ctx.get(), out.data(), &length, input.data(), input.size())
                         : EVP_PKEY_decrypt(ctx.get(), out.data(), &length, input.data(), input.size());
  if (ok != 1) return {};
  out.resize(length);
  return out;
}

}  // namespace kestrin::testing
