// ECDSA P-256 for update signatures, from the host's own cryptography: libcrypto on Linux,
// BCrypt on Windows (the same calls the launcher checks with). Keys and signatures are raw
// big-endian numbers, as the launcher's descriptor holds them.
#pragma once

#include "formats/launcher_update.h"

/// A key pair: the public point (X then Y) and the private scalar.
struct update_key_pair {
  unsigned char point[stub_update_key_size];
  unsigned char scalar[32];
};

/// A new key pair from the system's random source. Throws pack_error.
update_key_pair update_key_generate();

/// True when `point` is a public key on P-256.
bool update_key_usable(const unsigned char point[stub_update_key_size]);

/// Signs `digest` with `key` (r then s). Throws pack_error when the host refuses the key.
void update_sign_digest(const update_key_pair& key, const unsigned char digest[update_digest_size],
                        unsigned char signature[stub_update_signature_size]);

/// True when `signature` is the signature of `digest` by the key whose public point is `point`.
bool update_signature_holds(const unsigned char point[stub_update_key_size],
                            const unsigned char digest[update_digest_size],
                            const unsigned char signature[stub_update_signature_size]);
