#include "packer/blob_commands.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <optional>
#include <vector>

#include "packer/blob_reader.h"
#include "packer/host.h"
#include "packer/manifest_xml.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/launcher_descriptor.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/resource_reader.h"
#include "packer/stub_choice.h"

namespace {

struct checked_blob {
  mapped_file file;
  blob_span span;
  blob_layout layout;

  explicit checked_blob(const std::string& path) : file(path, path) {
    try {
      span = locate_blob(file.data(), file.size());
      layout = check_blob_layout(span);
    } catch (const pack_error& e) {
      throw pack_error(quote_name(path) + ": " + e.what());
    }
  }
  const unsigned char* region() const { return span.data + payload_magic_size; }
  size_t region_size() const { return layout.region_end - payload_magic_size; }
};

/// For a launcher, the line that says which kind it is: a windowed launcher gets no console,
/// a console launcher shares its caller's; and its processor, x64 or arm64. Nothing for a
/// bare blob.
void print_launcher_kind(const checked_blob& blob) {
  if (blob.span.file_offset == 0) return;
  uint16_t subsystem = pe_subsystem({blob.file.data(), blob.file.size()});
  if (subsystem == pe_subsystem_windows)
    printf("launcher: windowed");
  else if (subsystem == pe_subsystem_console)
    printf("launcher: console");
  else
    printf("launcher: subsystem %u (neither windowed nor console)", static_cast<unsigned>(subsystem));
  pe_headers headers;
  launcher_arch arch;
  if (!read_pe_headers({blob.file.data(), blob.file.size()}, &headers) &&
      launcher_arch_of_machine(headers.machine, &arch))
    printf(", %s", launcher_arch_name(arch));
  launcher_run_mode run = descriptor_run_mode(blob.file.data(), blob.file.size());
  if (run.mode & stub_mode_cached) {
    printf(", cached, key ");
    for (unsigned char b : run.content_key) printf("%02x", b);
    if (run.mode & stub_mode_verify_digests) printf(", digests checked on every start");
  }
  launcher_splash splash;
  if (descriptor_splash(blob.file.data(), blob.file.size(), &splash))
    printf(", splash %ux%u (%u s at most)", splash.width, splash.height, splash.timeout_seconds);
  printf("\n");
  // Only a launcher that asks for a folder of its own says so: the default is the temp folder
  // (the cache folder when cached).
  if (std::optional<std::u16string> unpack_dir = descriptor_unpack_dir(blob.file.data(), blob.file.size()))
    printf("unpack folder: %s\n", utf16_to_utf8(*unpack_dir).c_str());
}

/// For a launcher, what its main file is: a library it loads, or an executable it starts.
/// Nothing for a bare blob.
void print_entry(const checked_blob& blob) {
  if (blob.span.file_offset == 0) return;
  uint32_t mode = descriptor_run_mode(blob.file.data(), blob.file.size()).mode;
  main_entry entry = main_entry::library;
  if (mode & stub_mode_executable)
    entry = mode & stub_mode_executable_console ? main_entry::executable_console : main_entry::executable_windowed;
  printf("entry: %s\n", main_entry_text(entry));
}

/// Runs `body` and prefixes any fault with the file name.
void about(const std::string& path, const std::function<void()>& body) {
  try {
    body();
  } catch (const pack_error& e) {
    throw pack_error(quote_name(path) + ": " + e.what(), e.status);
  }
}

/// For a launcher, the execution level its manifest requests, which decides whether Windows
/// asks for an administrator before it starts. Nothing for a bare blob.
void print_execution_level(const checked_blob& blob) {
  if (blob.span.file_offset == 0) return;
  std::optional<std::string> manifest = first_resource({blob.file.data(), blob.file.size()}, resource_type_manifest);
  if (!manifest) {
    printf("execution level: asInvoker (no manifest)\n");
    return;
  }
  manifest_facts facts = read_manifest(*manifest);
  if (!facts.fault.empty())
    printf("execution level: unknown (manifest %s)\n", facts.fault.c_str());
  else if (facts.level.empty())
    printf("execution level: asInvoker (none requested)\n");
  else
    printf("execution level: %s\n", facts.level.c_str());
}

void make_folders(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && !strchr(host_path_separators, path[i])) continue;
    std::string prefix = path.substr(0, i);
    if (!host_make_folder(prefix) && errno != EEXIST)
      throw pack_error("cannot create " + quote_name(prefix) + ": " + errno_text(errno));
  }
}

/// Writes one entry below `root`, folder by folder, never following a symbolic link.
void extract_entry(const std::string& root, const std::vector<std::string>& parts, entry_reader& entries,
                   const std::string& shown) {
  std::string fault;
  int fd = host_create_below(root, parts, &fault);
  if (fd < 0) throw pack_error("cannot write " + quote_name(shown) + ": " + fault);
  try {
    std::vector<unsigned char> buffer(1 << 20);
    while (size_t n = entries.read(buffer.data(), buffer.size()))
      if (!host_write_all(fd, buffer.data(), n)) throw pack_error(errno_text(errno));
    if (!host_close(fd)) {
      fd = -1;
      throw pack_error(errno_text(errno));
    }
  } catch (const pack_error& e) {
    if (fd >= 0) host_close(fd);
    host_remove_below(root, parts);
    throw pack_error("cannot write " + quote_name(shown) + ": " + e.what());
  }
}

// The positions of the entries that are PE images carrying a signature, from a pass of their
// own over the payload (the checking pass must read each entry whole). A fault ends it
// quietly: the checking pass reports it.
std::vector<bool> signed_entries(const checked_blob& blob) {
  std::vector<bool> result(1, false);
  try {
    entry_reader entries(blob.region(), blob.region_size());
    std::vector<unsigned char> head(64 * 1024);
    while (entries.next()) {
      size_t got = 0;
      while (size_t n = entries.read(head.data() + got, head.size() - got)) got += n;
      result.push_back(pe_carries_signature({head.data(), got}, entries.size()));
    }
  } catch (const pack_error&) {
  }
  return result;
}

}  // namespace

void list_payload(const std::string& path) {
  checked_blob blob(path);
  print_launcher_kind(blob);
  print_execution_level(blob);
  print_entry(blob);
  std::vector<bool> marked = signed_entries(blob);
  about(path, [&] {
    check_entries(blob.span, blob.layout, [&marked](const entry_reader& entries) {
      bool is_signed = entries.index() < marked.size() && marked[entries.index()];
      printf("%llu\t%s%s\n", static_cast<unsigned long long>(entries.size()), utf16_to_utf8(entries.name()).c_str(),
             is_signed ? "\tsigned" : "");
    });
  });
}

void verify_payload(const std::string& path) {
  checked_blob blob(path);
  payload_totals totals;
  about(path, [&] { totals = check_entries(blob.span, blob.layout); });
  print_launcher_kind(blob);
  print_execution_level(blob);
  print_entry(blob);
  printf("ok: %llu entries, %llu bytes", static_cast<unsigned long long>(totals.entries),
         static_cast<unsigned long long>(totals.bytes));
  if (totals.frames) printf(", %zu frames unpacked side by side", totals.frames);
  printf("\n");
}

void extract_payload(const std::string& path, const std::string& folder, bool verbose) {
  checked_blob blob(path);
  // A full pass first: a blob a launcher would refuse must leave nothing behind.
  about(path, [&] { check_entries(blob.span, blob.layout); });
  make_folders(folder);
  host_file_info info;
  if (!host_stat(folder, &info)) throw pack_error("cannot open " + quote_name(folder) + ": " + errno_text(errno));
  if (info.kind != host_file_info::folder)
    throw pack_error("cannot open " + quote_name(folder) + ": " + errno_text(ENOTDIR));
  std::vector<std::string> parts;
  entry_reader entries(blob.region(), blob.region_size());
  while (entries.next()) {
    std::string name = utf16_to_utf8(entries.name());
    entry_name_fault(name, &parts);
    extract_entry(folder, parts, entries, name);
    if (verbose) printf("%s\n", name.c_str());
  }
}
