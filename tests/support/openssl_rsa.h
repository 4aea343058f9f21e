// Our RSA key records as OpenSSL keys, and OpenSSL's PKCS #1 v1.5, for the tests
// that use OpenSSL as an independent implementation.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

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

// PKCS #1 v1.5 with OpenSSL; empty on failure.
inline std::vector<std::uint8_t> openSslCrypt(EVP_PKEY* key, bool encrypt,
                                              const std::vector<std::uint8_t>& input) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  std::vector<std::uint8_t> out(512);
  std::size_t length = out.size();
  if (!ctx || (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      (encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt)(ctx.get(), out.data(), &length, input.data(), input.size()) != 1)
    return {};
  out.resize(length);
  return out;
}

}  // namespace kestrin::testing
