// The content digest: the SHA-256 of a payload, which the packer records and by which a cached
// launcher names the folder it installs into; its first bytes are the content key.
#pragma once

#include <stddef.h>

#include "base/sha256.h"

/// Bytes of the content key: the digest's first 8 bytes, shown as 16 hex digits.
constexpr size_t content_key_size = 8;

/// Writes the 16 lower-case hex digits of `key` and a terminating zero into `text`.
void content_key_text(const unsigned char key[content_key_size], wchar_t text[2 * content_key_size + 1]);
