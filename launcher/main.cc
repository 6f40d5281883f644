// The launcher's entry: a program with no window of its own, windowed or console as the packer
// sets its subsystem (the code is the same for both). The packer appends the payload and
// the build texts to a copy of this executable and fills in the descriptor below.
#include <stdint.h>
#include <windows.h>

#include "formats/stub_descriptor.h"
#include "launcher/cached_run.h"
#include "launcher/run_sequence.h"
#include "launcher/splash.h"
#include "launcher/unpack_folder.h"
#include "paths/build_texts.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

// Constant, so it lies in read-only data; the packer fills it in the file.
extern "C" __attribute__((used))
const stub_descriptor tavren_stub_descriptor = {TAVREN_STUB_MARKER, 0, 0, {}, 0, {}, 0, 0, 0, 0};

// The compiler knows the zeros above; hiding where the pointer leads makes it read what the
// packer wrote instead of folding them in.
static const stub_descriptor* filled_descriptor() {
  const stub_descriptor* descriptor = &tavren_stub_descriptor;
  asm("" : "+r"(descriptor));
  return descriptor;
}

extern "C" {
const wchar_t* tavren_company_text = L"";
const wchar_t* tavren_product_text = L"";
const wchar_t* tavren_file_version_text = L"";
const wchar_t* tavren_product_version_text = L"";
}

static const unsigned char* image_address(uint32_t rva) {
  return reinterpret_cast<const unsigned char*>(&__ImageBase) + rva;
}

static const wchar_t* build_text(const stub_descriptor* descriptor, unsigned slot) {
  uint32_t rva = descriptor->text_rva[slot];
  return rva ? reinterpret_cast<const wchar_t*>(image_address(rva)) : L"";
}

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const stub_descriptor* descriptor = filled_descriptor();
  tavren_company_text = build_text(descriptor, stub_company);
  tavren_product_text = build_text(descriptor, stub_product);
  tavren_file_version_text = build_text(descriptor, stub_file_version);
  tavren_product_version_text = build_text(descriptor, stub_product_version);
  if (descriptor->unpack_dir_rva)
    set_packed_unpack_dir(reinterpret_cast<const wchar_t*>(image_address(descriptor->unpack_dir_rva)));
  splash_prepare(descriptor->splash_rva ? image_address(descriptor->splash_rva) : nullptr);
  uint64_t size = descriptor->payload_size;
  // An unfilled stub has no payload: the run sequence reports the missing header.
  const unsigned char* payload = image_address(size ? descriptor->payload_rva : 0);
  bool executable = descriptor->mode & stub_mode_executable;
  if (descriptor->mode & stub_mode_cached) {
    cached_launch launch;
    launch.executable = executable;
    launch.content_key = descriptor->content_key;
    if ((descriptor->mode & stub_mode_verify_digests) && descriptor->digests_rva) {
      launch.digest_table = image_address(descriptor->digests_rva);
      launch.digest_count = descriptor->digest_count;
    }
    return run_cached_sequence(payload, static_cast<size_t>(size), launch);
  }
  return run_sequence(payload, static_cast<size_t>(size), executable);
}
