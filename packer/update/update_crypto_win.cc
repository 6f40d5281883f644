#include "packer/update/update_crypto.h"

#include <windows.h>
#include <bcrypt.h>
#include <string.h>

#include "packer/pack_error.h"

namespace {

constexpr size_t half = stub_update_key_size / 2;

// The algorithm handle for as long as a call needs it.
struct p256 {
  BCRYPT_ALG_HANDLE handle = nullptr;
  p256() {
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) handle = nullptr;
  }
  ~p256() {
    if (handle) BCryptCloseAlgorithmProvider(handle, 0);
  }
};

struct public_blob {
  BCRYPT_ECCKEY_BLOB header;
  unsigned char point[stub_update_key_size];
};
struct private_blob {
  BCRYPT_ECCKEY_BLOB header;
  unsigned char point[stub_update_key_size];
  unsigned char scalar[half];
};

BCRYPT_KEY_HANDLE import_public(const p256& algorithm, const unsigned char* point) {
  public_blob blob = {{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, half}, {}};
  memcpy(blob.point, point, sizeof blob.point);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!algorithm.handle || BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                               reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0) < 0)
    return nullptr;
  return key;
}

}  // namespace

update_key_pair update_key_generate() {
  p256 algorithm;
  BCRYPT_KEY_HANDLE key = nullptr;
  private_blob blob = {};
  ULONG length = 0;
  bool ok = algorithm.handle && BCryptGenerateKeyPair(algorithm.handle, &key, 256, 0) >= 0 &&
            BCryptFinalizeKeyPair(key, 0) >= 0 &&
            BCryptExportKey(key, nullptr, BCRYPT_ECCPRIVATE_BLOB, reinterpret_cast<PUCHAR>(&blob), sizeof blob, &length,
                            0) >= 0 &&
            length == sizeof blob;
  if (key) BCryptDestroyKey(key);
  if (!ok) throw pack_error("cannot make a P-256 key (BCrypt refused)");
  update_key_pair pair;
  memcpy(pair.point, blob.point, sizeof pair.point);
  memcpy(pair.scalar, blob.scalar, sizeof pair.scalar);
  SecureZeroMemory(&blob, sizeof blob);
  return pair;
}

bool update_key_usable(const unsigned char point[stub_update_key_size]) {
  p256 algorithm;
  BCRYPT_KEY_HANDLE key = import_public(algorithm, point);
  if (key) BCryptDestroyKey(key);
  return key != nullptr;
}

void update_sign_digest(const update_key_pair& pair, const unsigned char digest[update_digest_size],
                        unsigned char signature[stub_update_signature_size]) {
  p256 algorithm;
  private_blob blob = {{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, half}, {}, {}};
  memcpy(blob.point, pair.point, sizeof blob.point);
  memcpy(blob.scalar, pair.scalar, sizeof blob.scalar);
  BCRYPT_KEY_HANDLE key = nullptr;
  ULONG length = 0;
  bool ok = algorithm.handle &&
            BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key,
                                reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0) >= 0 &&
            BCryptSignHash(key, nullptr, const_cast<PUCHAR>(digest), update_digest_size, signature,
                           stub_update_signature_size, &length, 0) >= 0 &&
            length == stub_update_signature_size;
  SecureZeroMemory(&blob, sizeof blob);
  if (key) BCryptDestroyKey(key);
  if (!ok) throw pack_error("cannot sign with this key (BCrypt refused it)");
}

bool update_signature_holds(const unsigned char point[stub_update_key_size],
                            const unsigned char digest[update_digest_size],
                            const unsigned char signature[stub_update_signature_size]) {
  p256 algorithm;
  BCRYPT_KEY_HANDLE key = import_public(algorithm, point);
  if (!key) return false;
  bool holds = BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest), update_digest_size,
                                     const_cast<PUCHAR>(signature), stub_update_signature_size, 0) >= 0;
  BCryptDestroyKey(key);
  return holds;
}
