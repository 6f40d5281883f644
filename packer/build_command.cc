#include "packer/build_command.h"

#include <errno.h>
#include <stdio.h>

#include <chrono>
#include <memory>

#include "formats/stub_descriptor.h"
#include "packer/app_icon.h"
#include "packer/blob_reader.h"
#include "packer/build_manifest.h"
#include "packer/cache_facts.h"
#include "packer/executable_looks.h"
#include "packer/host.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/launcher_image.h"
#include "packer/pe/launcher_resources.h"
#include "packer/pe/pe_image.h"
#include "packer/progress.h"
#include "packer/sign_payload.h"
#include "packer/splash_image.h"
#include "packer/stub_choice.h"
#include "packer/temp_output.h"
#include "paths/path_spec_tokens.h"

namespace {

std::string file_stem(const std::string& path) {
  std::string base = path.substr(path.find_last_of(host_path_separators) + 1);
  size_t dot = base.rfind('.');
  return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

void write_all_at(int fd, const unsigned char* data, size_t size, uint64_t offset, const std::string& path) {
  if (!host_write_at(fd, data, size, offset))
    throw pack_error("cannot write " + quote_name(path) + ": " + errno_text(errno));
}

// The cache fields over the blob already written at `offset` in `fd`, read back mapped.
launcher_cache cache_facts_in_file(int fd, uint64_t offset, uint64_t size, bool digests, const std::string& path) {
  size_t mapped = static_cast<size_t>(offset + size);
  const unsigned char* map = host_map(fd, mapped);
  if (!map) throw pack_error("cannot read " + quote_name(path) + " back: " + errno_text(errno));
  try {
    launcher_cache cache = cache_facts(map + offset, static_cast<size_t>(size), digests);
    host_unmap(map, mapped);
    return cache;
  } catch (...) {
    host_unmap(map, mapped);
    throw;
  }
}

// The descriptor's bits for what the main file is.
uint32_t entry_mode(main_entry entry) {
  if (entry == main_entry::executable_console) return stub_mode_executable | stub_mode_executable_console;
  return entry == main_entry::executable_windowed ? stub_mode_executable : 0;
}

// The COFF machine field of a PE image, or 0 when it has none.
uint16_t image_machine(const unsigned char* data, size_t size) {
  pe_headers headers;
  return read_pe_headers({data, size}, &headers) ? 0 : headers.machine;
}

// The scan put the main file first and checked that it is an image.
uint16_t main_file_machine(const app_contents& contents) {
  mapped_file main(contents.entries.front().host_path, contents.entries.front().host_path);
  return image_machine(main.data(), main.size());
}

}  // namespace

void run_build(const pack_request& r) {
  check_pack_request(r);
  bool from_blob = !r.payload.empty();
  if (from_blob && (!r.app_dir.empty() || !r.main_path.empty()))
    throw pack_error("build takes either --payload BLOB or APP_DIR with --main, not both", exit_usage);
  if (!from_blob && (r.app_dir.empty() || r.main_path.empty()))
    throw pack_error("build needs APP_DIR and --main (or --payload BLOB)", exit_usage);
  if (r.signing.pkcs12.empty() && (!r.signing.password_file.empty() || !r.signing.timestamp_url.empty()))
    throw pack_error("--sign-password-file and --timestamp-url go with --sign", exit_usage);
  if (r.sign_payload && (r.signing.pkcs12.empty() || from_blob))
    throw pack_error("--sign-payload goes with --sign and APP_DIR (a payload BLOB is packed as it is)", exit_usage);
  launcher_texts texts = r.texts;
  for (const std::string* version : {&texts.file_version, &texts.product_version})
    if (!is_four_part_version(*version))
      throw pack_error("version " + quote_name(*version) + " is not four numbers 0..65535 (like 1.2.0.0)", exit_usage);
  for (const std::string* text : {&texts.company, &texts.product})
    if (!utf8_to_utf16(*text)) throw pack_error("text " + quote_name(*text) + " is not valid UTF-8", exit_usage);
  if (r.unpack_dir_given) {
    const char* fault =
        utf8_to_utf16(r.unpack_dir) ? unpack_dir_template_fault(r.unpack_dir.c_str()) : "is not valid UTF-8";
    if (fault) throw pack_error("--unpack-dir " + quote_name(r.unpack_dir) + " " + fault, exit_usage);
  }
  // Explorer shows the output's own name as the original file name.
  std::string file_name = r.output.substr(r.output.find_last_of(host_path_separators) + 1);
  if (!utf8_to_utf16(file_name))
    throw pack_error("output name " + quote_name(file_name) + " is not valid UTF-8", exit_usage);
  bool cached = r.cached || r.cached_verify;
  // A bad stub, signing set-up or icon should stop us before minutes of compression, not after.
  std::unique_ptr<mapped_file> stub_file;
  launcher_stub stub;
  if (!r.stub.empty()) {
    stub_file = std::make_unique<mapped_file>(r.stub, r.stub);
    stub = check_stub(stub_file->data(), stub_file->size(), r.stub);
  }
  std::string signer = r.signing.pkcs12.empty() ? "" : find_signing_tool(r.signing);
  std::string splash = r.splash.empty() ? "" : load_splash(r.splash, r.splash_timeout);
  auto start = std::chrono::steady_clock::now();
  app_contents contents;
  std::unique_ptr<mapped_file> blob;
  main_entry entry = main_entry::library;
  std::string main_image;  ///< an executable main file's bytes
  if (from_blob) {
    host_file_info info;
    if (!host_stat(r.payload, &info))
      throw pack_error("cannot read " + quote_name(r.payload) + ": " + errno_text(errno));
    if (info.kind != host_file_info::file)
      throw pack_error("cannot read " + quote_name(r.payload) + ": not a regular file");
    blob = std::make_unique<mapped_file>(r.payload, r.payload);
    entry = blob_main_entry(blob->data(), blob->size(), &main_image);
  } else {
    contents = scan_and_report(r);
    entry = contents.entry;
    if (entry != main_entry::library) {
      mapped_file main(contents.entries[0].host_path, contents.entries[0].display);
      main_image.assign(reinterpret_cast<const char*>(main.data()), main.size());
    }
  }
  // What the options leave open, the launcher takes from the executable it starts, so that
  // Explorer, the taskbar and the elevation prompt show the application.
  executable_looks looks;
  if (entry != main_entry::library)
    looks = read_executable_looks(reinterpret_cast<const unsigned char*>(main_image.data()), main_image.size());
  if (!r.company_given && !looks.company.empty()) texts.company = looks.company;
  if (!r.product_given && !looks.product.empty()) texts.product = looks.product;
  if (!r.file_version_given && !looks.file_version.empty()) texts.file_version = looks.file_version;
  if (!r.product_given && !from_blob && looks.product.empty()) texts.product = file_stem(r.main_path);
  if (cached) check_cache_texts(texts);
  std::vector<std::string> warnings;
  std::string icon = !r.icon.empty() ? load_icon(r.icon, warnings) : !looks.ico.empty() ? looks.ico : default_icon();
  // The level the executable asks for stands unless the options name one or give a manifest.
  manifest_request manifest_asked = r.manifest;
  if (!manifest_asked.level && manifest_asked.file.empty()) manifest_asked.level = looks.level;
  std::string manifest = build_manifest(manifest_asked, warnings);
  for (const std::string& warning : warnings) fprintf(stderr, "tavren-pack: warning: %s\n", warning.c_str());

  // Without a choice the launcher looks like the application: a console program gets a console
  // launcher, so shells wait for it and it shares their console.
  bool console = r.console || (!r.windowed && entry == main_entry::executable_console);
  uint16_t subsystem = console ? pe_subsystem_console : pe_subsystem_windows;
  launcher_arch arch = choose_launcher_arch(r.arch, stub_file ? stub.headers.machine : 0,
                                            from_blob ? 0 : main_file_machine(contents), r.main_path);
  if (!stub_file)
    stub = check_stub(embedded_stub(arch), embedded_stub_size(arch),
                      std::string("(built in, ") + launcher_arch_name(arch) + ")");
  temp_folder work(r.output);
  if (r.sign_payload) {
    progress_meter signing(show_progress(r), 0, "signing");
    signing.say("signing the application's binaries ...");
    payload_signing figures = sign_payload_files(signer, r.signing, contents, work);
    if (r.verbose)
      fprintf(stderr, "signed %d binaries, %d kept their own signature\n", figures.signed_files, figures.kept);
  }
  std::string exe = work.file("launcher.exe");
  int fd = host_create_new(exe);
  if (fd < 0) throw pack_error("cannot write " + quote_name(exe) + ": " + errno_text(errno));
  uint64_t blob_size = 0, exe_bytes = 0;
  try {
    if (from_blob) {
      write_all_at(fd, blob->data(), blob->size(), stub.payload_offset, exe);
      blob_size = blob->size();
    } else {
      if (!host_seek(fd, stub.payload_offset))
        throw pack_error("cannot write " + quote_name(exe) + ": " + errno_text(errno));
      blob_size = pack_into(r, contents, fd).blob_bytes;
    }
    launcher_cache cache;
    if (cached) cache = cache_facts_in_file(fd, stub.payload_offset, blob_size, r.cached_verify, exe);
    cache.unpack_dir = r.unpack_dir;
    cache.mode |= entry_mode(entry);
    exe_bytes = write_launcher(stub, blob_size, texts, launcher_resources(texts, file_name, icon, manifest), subsystem,
                               fd, cache, splash);
  } catch (...) {
    host_close(fd);
    throw;
  }
  if (!host_close(fd)) throw pack_error("cannot write " + quote_name(exe) + ": " + errno_text(errno));
  std::string result = "launcher.exe";
  if (!signer.empty()) {
    progress_meter signing(show_progress(r), 0, "signing");
    signing.say("signing " + file_name + " ...");
    std::string signed_exe = work.file("signed.exe");
    sign_launcher(signer, r.signing, exe, signed_exe, work.file("signing.log"));
    host_file_info info;
    if (host_stat(signed_exe, &info)) exe_bytes = info.size;
    result = "signed.exe";
  }
  work.commit(result, 0777);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (from_blob) {
    if (!r.quiet)
      printf("built %s: payload %s linked as it is, %s in %.1f s\n", r.output.c_str(), human_bytes(blob_size).c_str(),
             human_bytes(exe_bytes).c_str(), seconds);
  } else {
    print_summary(r, "built " + r.output, contents, exe_bytes, seconds);
  }
}
