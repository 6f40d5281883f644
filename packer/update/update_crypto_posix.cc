#include "packer/update/update_crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <string.h>

#include <memory>

#include "packer/pack_error.h"

namespace {

struct free_pkey {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct free_context {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct free_signature {
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, free_pkey>;
using context_ptr = std::unique_ptr<EVP_PKEY_CTX, free_context>;

// A key from raw numbers: the public point alone, or the pair when `scalar` is given.
pkey_ptr make_key(const unsigned char* point, const unsigned char* scalar) {
  unsigned char encoded[1 + stub_update_key_size] = {4};  // an uncompressed point
  memcpy(encoded + 1, point, stub_update_key_size);
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  BIGNUM* d = scalar ? BN_bin2bn(scalar, 32, nullptr) : nullptr;
  bool built = build && (!scalar || d) &&
               OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) &&
               OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded) &&
               (!scalar || OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_PRIV_KEY, d));
  OSSL_PARAM* params = built ? OSSL_PARAM_BLD_to_param(build) : nullptr;
  EVP_PKEY* key = nullptr;
  context_ptr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (params && context && EVP_PKEY_fromdata_init(context.get()) > 0)
    EVP_PKEY_fromdata(context.get(), &key, scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
  OSSL_PARAM_free(params);
  BN_clear_free(d);
  OSSL_PARAM_BLD_free(build);
  return pkey_ptr(key);
}

}  // namespace

update_key_pair update_key_generate() {
  pkey_ptr key(EVP_EC_gen("P-256"));
  update_key_pair pair = {};
  unsigned char encoded[1 + stub_update_key_size];
  size_t length = 0;
  BIGNUM* d = nullptr;
  bool ok = key &&
            EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded, &length) &&
            length == sizeof encoded && encoded[0] == 4 &&
            EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) && BN_bn2binpad(d, pair.scalar, 32) == 32;
  BN_clear_free(d);
  if (!ok) throw pack_error("cannot make a P-256 key (libcrypto refused)");
  memcpy(pair.point, encoded + 1, sizeof pair.point);
  return pair;
}

bool update_key_usable(const unsigned char point[stub_update_key_size]) {
  pkey_ptr key = make_key(point, nullptr);
  if (!key) return false;
  context_ptr context(EVP_PKEY_CTX_new(key.get(), nullptr));
  return context && EVP_PKEY_public_check(context.get()) == 1;
}

void update_sign_digest(const update_key_pair& pair, const unsigned char digest[update_digest_size],
                        unsigned char signature[stub_update_signature_size]) {
  pkey_ptr key = make_key(pair.point, pair.scalar);
  context_ptr context(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
  unsigned char der[80];
  size_t length = sizeof der;
  if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
      EVP_PKEY_sign(context.get(), der, &length, digest, update_digest_size) <= 0)
    throw pack_error("cannot sign with this key (libcrypto refused it)");
  const unsigned char* at = der;
  std::unique_ptr<ECDSA_SIG, free_signature> parsed(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(length)));
  const BIGNUM *r = nullptr, *s = nullptr;
  if (parsed) ECDSA_SIG_get0(parsed.get(), &r, &s);
  if (!r || !s || BN_bn2binpad(r, signature, 32) != 32 || BN_bn2binpad(s, signature + 32, 32) != 32)
    throw pack_error("cannot sign with this key (libcrypto gave an unreadable signature)");
}

bool update_signature_holds(const unsigned char point[stub_update_key_size],
                            const unsigned char digest[update_digest_size],
                            const unsigned char signature[stub_update_signature_size]) {
  pkey_ptr key = make_key(point, nullptr);
  std::unique_ptr<ECDSA_SIG, free_signature> parsed(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
  if (!key || !parsed || !r || !s || !ECDSA_SIG_set0(parsed.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  int length = i2d_ECDSA_SIG(parsed.get(), &der);
  context_ptr context(EVP_PKEY_CTX_new(key.get(), nullptr));
  bool holds = length > 0 && context && EVP_PKEY_verify_init(context.get()) > 0 &&
               EVP_PKEY_verify(context.get(), der, static_cast<size_t>(length), digest, update_digest_size) == 1;
  OPENSSL_free(der);
  return holds;
}
