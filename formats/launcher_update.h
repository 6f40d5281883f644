// What an update check reads from a packed launcher's file: who made it (company, product,
// version, processor), what its own updates must carry, and the digest its update signature
// covers. A downloaded file is untrusted bytes: every offset is checked, nothing allocates,
// and no Win32 here, so the launcher, the packer and the fuzzers share it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "formats/stub_descriptor.h"

/// Bytes of the SHA-256 digest an update signature signs.
constexpr size_t update_digest_size = 32;

/// A build text in the file: UTF-16LE units, no terminator.
struct launcher_text {
  const unsigned char* units = nullptr;
  size_t count = 0;  ///< units, not bytes
};

/// One launcher's update facts; the pointers lead into the bytes they were read from.
struct launcher_update_facts {
  uint16_t machine = 0;                      ///< the COFF machine field
  size_t descriptor_offset = 0;              ///< where the descriptor lies in the file
  uint32_t policy = stub_update_none;        ///< stub_update_ value
  bool is_signed = false;                    ///< the signature slot holds a signature
  const unsigned char* key = nullptr;        ///< stub_update_key_size bytes
  const unsigned char* signature = nullptr;  ///< stub_update_signature_size bytes
  launcher_text company, product, file_version;
  uint64_t version = 0;        ///< the file version, four 16-bit parts, most significant first
  bool version_known = false;  ///< the file version reads as four numbers 0..65535
  size_t signed_end = 0;       ///< the file's end, or where its certificate table starts
  size_t checksum_at = 0;      ///< the PE checksum field
  size_t security_at = 0;      ///< the certificate table's directory entry
};

/// Reads the facts of the launcher file `file`. Returns null, or one short line (no period)
/// saying why it is no launcher that takes part in updates: no PE image, no descriptor of
/// the current layout, a descriptor or text outside the file's sections, data after the
/// certificate table.
const char* read_launcher_update_facts(const unsigned char* file, size_t size, launcher_update_facts* facts);

/// The digest an update signature covers: SHA-256 of the file up to its certificate table
/// (an Authenticode signature added later does not change it), with the PE checksum, the
/// certificate table's directory entry and the descriptor's signature slot read as zeros.
/// `facts` come from read_launcher_update_facts over the same bytes.
void launcher_update_digest(const unsigned char* file, const launcher_update_facts& facts,
                            unsigned char digest[update_digest_size]);

/// Reads "a.b.c.d" (four numbers 0..65535) from UTF-16LE units; false for anything else.
bool read_four_part_version(const launcher_text& text, uint64_t* version);

/// Why `candidate` may not replace `running`, leaving the signature aside; null when its
/// company, product and processor match and its version is not older (or `allow_downgrade`).
const char* update_identity_refusal(const launcher_update_facts& running, const launcher_update_facts& candidate,
                                    bool allow_downgrade);
