#include "packer/update/update_key.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "base/byte_order.h"
#include "base/sha256.h"
#include "packer/host.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"
#include "packer/temp_output.h"

namespace {

const char private_heading[] = "TAVREN UPDATE PRIVATE KEY (P-256): keep this file secret";
const char public_heading[] = "TAVREN UPDATE PUBLIC KEY (P-256)";

std::string hex(const unsigned char* data, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02x", data[i]);
    text += pair;
  }
  return text;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string read_small_file(const std::string& path) {
  int fd = host_open_read(path);
  if (fd < 0) throw pack_error("cannot read " + quote_name(path) + ": " + errno_text(errno));
  std::string text;
  char buffer[4096];
  long long n;
  while ((n = host_read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536)
    text.append(buffer, static_cast<size_t>(n));
  int error = errno;
  host_close(fd);
  if (n < 0) throw pack_error("cannot read " + quote_name(path) + ": " + errno_text(error));
  return text;
}

void write_new_file(const std::string& path, const std::string& text, unsigned mode) {
  int fd = host_create_new(path);
  if (fd < 0) throw pack_error("cannot write " + quote_name(path) + ": " + errno_text(errno));
  bool ok = host_write_all(fd, text.data(), text.size()) && host_sync(fd) && host_set_mode(path, fd, mode);
  int error = errno;
  ok = host_close(fd) && ok;
  if (!ok) {
    host_remove_file(path.c_str());
    throw pack_error("cannot write " + quote_name(path) + ": " + errno_text(error));
  }
}

}  // namespace

update_key_file read_update_key(const std::string& path) {
  std::string text = read_small_file(path);
  size_t line_end = text.find('\n');
  std::string heading = text.substr(0, line_end);
  if (!heading.empty() && heading.back() == '\r') heading.pop_back();
  update_key_file result;
  if (heading == private_heading)
    result.is_private = true;
  else if (heading != public_heading)
    throw pack_error(quote_name(path) + " is no update key (make one with tavren-pack update-key new)", exit_usage);
  unsigned char numbers[stub_update_key_size + 32];
  size_t wanted = result.is_private ? sizeof numbers : stub_update_key_size, got = 0;
  int high = -1;
  for (size_t i = line_end == std::string::npos ? text.size() : line_end; i < text.size(); ++i) {
    if (strchr(" \t\r\n", text[i])) continue;
    int value = hex_value(text[i]);
    if (value < 0 || got == wanted) throw pack_error(quote_name(path) + " is a damaged update key", exit_usage);
    if (high < 0) {
      high = value;
    } else {
      numbers[got++] = static_cast<unsigned char>(high << 4 | value);
      high = -1;
    }
  }
  if (got != wanted || high >= 0) throw pack_error(quote_name(path) + " is a damaged update key", exit_usage);
  memcpy(result.key.point, numbers, stub_update_key_size);
  if (result.is_private) memcpy(result.key.scalar, numbers + stub_update_key_size, sizeof result.key.scalar);
  if (!update_key_usable(result.key.point))
    throw pack_error(quote_name(path) + " holds no valid P-256 public key", exit_usage);
  if (result.is_private) {
    // A scalar that is not the point's would sign releases no launcher accepts.
    unsigned char probe[update_digest_size] = {1};
    unsigned char signature[stub_update_signature_size];
    update_sign_digest(result.key, probe, signature);
    if (!update_signature_holds(result.key.point, probe, signature))
      throw pack_error(quote_name(path) + " is a damaged update key (its halves disagree)", exit_usage);
  }
  memset(numbers, 0, sizeof numbers);
  return result;
}

std::string update_key_fingerprint(const unsigned char point[stub_update_key_size]) {
  sha256 sha;
  sha.add(point, stub_update_key_size);
  unsigned char digest[sha256_size];
  sha.finish(digest);
  return hex(digest, 8);
}

void run_update_key_new(const std::string& path) {
  std::string public_path = path + ".pub";
  host_file_info info;
  for (const std::string* p : {&path, static_cast<const std::string*>(&public_path)})
    if (host_stat(*p, &info)) throw pack_error(quote_name(*p) + " exists; a key is never replaced");
  update_key_pair pair = update_key_generate();
  std::string point = hex(pair.point, 32) + "\n" + hex(pair.point + 32, 32) + "\n";
  std::string secret = std::string(private_heading) + "\n" + point + hex(pair.scalar, 32) + "\n";
  memset(pair.scalar, 0, sizeof pair.scalar);
  write_new_file(path, secret, 0600);
  std::fill(secret.begin(), secret.end(), '\0');
  try {
    write_new_file(public_path, std::string(public_heading) + "\n" + point, 0666);
  } catch (...) {
    host_remove_file(path.c_str());
    throw;
  }
  printf("wrote %s (private: keep it secret) and %s (public), key %s\n", path.c_str(), public_path.c_str(),
         update_key_fingerprint(pair.point).c_str());
}

void sign_launcher_for_updates(int fd, uint64_t size, const update_key_pair& key, const std::string& shown) {
  size_t length = static_cast<size_t>(size);
  const unsigned char* map = host_map(fd, length);
  if (!map) throw pack_error("cannot read " + quote_name(shown) + ": " + errno_text(errno));
  launcher_update_facts facts;
  const char* fault = read_launcher_update_facts(map, length, &facts);
  bool authenticode = !fault && facts.signed_end != length;
  unsigned char digest[update_digest_size];
  if (!fault && !authenticode) launcher_update_digest(map, facts, digest);
  host_unmap(map, length);
  if (fault) throw pack_error(quote_name(shown) + " cannot be signed for updates: " + fault);
  if (authenticode)
    throw pack_error(quote_name(shown) +
                     " carries an Authenticode signature, which signing it for updates would break: sign it for "
                     "updates first, then with Authenticode (build does both when --update-key names the private "
                     "key)");
  unsigned char slot[sizeof(stub_descriptor) - offsetof(stub_descriptor, update_signed)] = {};
  store_le32(slot, 1);
  update_sign_digest(key, digest,
                     slot + offsetof(stub_descriptor, update_signature) - offsetof(stub_descriptor, update_signed));
  unsigned char zero[4] = {};
  if (!host_write_at(fd, slot, sizeof slot, facts.descriptor_offset + offsetof(stub_descriptor, update_signed)) ||
      !host_write_at(fd, zero, sizeof zero, facts.checksum_at))
    throw pack_error("cannot write " + quote_name(shown) + ": " + errno_text(errno));
  // The loader checks no checksum of an executable, but tools that do must find it right.
  map = host_map(fd, length);
  if (!map) throw pack_error("cannot read " + quote_name(shown) + " back: " + errno_text(errno));
  pe_checksum sum;
  sum.add(map, length);
  host_unmap(map, length);
  unsigned char checksum[4];
  store_le32(checksum, sum.finish(size));
  if (!host_write_at(fd, checksum, sizeof checksum, facts.checksum_at))
    throw pack_error("cannot write " + quote_name(shown) + ": " + errno_text(errno));
}

void run_sign_update(const std::string& key_path, const std::string& file, const std::string& output) {
  update_key_file key = read_update_key(key_path);
  if (!key.is_private)
    throw pack_error(quote_name(key_path) + " is a public key; signing needs the private one", exit_usage);
  const std::string& target = output.empty() ? file : output;
  temp_folder work(target);
  std::string copy = work.file("signed.exe");
  int fd = host_create_new(copy);
  if (fd < 0) throw pack_error("cannot write " + quote_name(copy) + ": " + errno_text(errno));
  try {
    // Closed before the commit: Windows renames nothing over a file still mapped.
    mapped_file source(file, file);
    launcher_update_facts facts;
    if (read_launcher_update_facts(source.data(), source.size(), &facts) == nullptr &&
        (facts.policy != stub_update_signed || memcmp(facts.key, key.key.point, stub_update_key_size) != 0))
      fprintf(stderr,
              "tavren-pack: warning: %s does not carry this key: launchers made from it will take no update "
              "signed with it\n",
              quote_name(file).c_str());
    if (!host_write_all(fd, source.data(), source.size()))
      throw pack_error("cannot write " + quote_name(target) + ": " + errno_text(errno));
    sign_launcher_for_updates(fd, source.size(), key.key, file);
  } catch (...) {
    host_close(fd);
    throw;
  }
  if (!host_sync(fd) || !host_close(fd))
    throw pack_error("cannot write " + quote_name(target) + ": " + errno_text(errno));
  work.commit("signed.exe", 0777);
  printf("signed %s for updates with key %s\n", target.c_str(), update_key_fingerprint(key.key.point).c_str());
}
