// Update keys as files, and signing a launcher with one. The private key file is the
// publisher's secret: the packer only ever reads it, to sign; the public half is what a
// launcher carries.
#pragma once

#include <stdint.h>

#include <string>

#include "packer/update/update_crypto.h"

/// A key file as read: a private key (both halves) or a public key (the point only).
struct update_key_file {
  bool is_private = false;
  update_key_pair key = {};
};

/// Reads a key file that `update-key new` wrote. Throws pack_error naming the file when it is
/// unreadable, of another kind, not a P-256 key, or a private key whose halves disagree.
update_key_file read_update_key(const std::string& path);

/// The 16 hex digits that name a public key: the first 8 bytes of its point's SHA-256.
std::string update_key_fingerprint(const unsigned char point[stub_update_key_size]);

/// `tavren-pack update-key new PATH`: writes a new private key to PATH (owner only) and its
/// public half to PATH.pub, replacing neither; prints the fingerprint.
void run_update_key_new(const std::string& path);

/// Signs the launcher open as `fd` (`size` bytes) for updates in place: fills its signature
/// slot and mends its PE checksum. Throws pack_error, naming `shown`, for a file that is no
/// launcher of this layout or that already carries an Authenticode signature, which a change
/// would break.
void sign_launcher_for_updates(int fd, uint64_t size, const update_key_pair& key, const std::string& shown);

/// `tavren-pack sign-update --key KEY FILE [-o OUT]`: signs a copy of FILE and puts it at OUT
/// (FILE itself by default) in one step.
void run_sign_update(const std::string& key_path, const std::string& file, const std::string& output);
