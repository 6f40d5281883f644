// The launcher's entry: a windowed program with no window. The packer appends the payload and
// the build texts to a copy of this executable and fills in the descriptor below.
#include <stdint.h>
#include <windows.h>

#include "launcher/run_sequence.h"
#include "launcher/stub_descriptor.h"
#include "paths/build_texts.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

// Volatile: the compiler must read what the packer wrote, not fold in these zeros.
extern "C" __attribute__((used)) const volatile stub_descriptor tavren_stub_descriptor = {TAVREN_STUB_MARKER, 0, 0, {}, 0};

extern "C" {
const wchar_t* tavren_company_text = L"";
const wchar_t* tavren_product_text = L"";
const wchar_t* tavren_file_version_text = L"";
const wchar_t* tavren_product_version_text = L"";
}

static const unsigned char* image_address(uint32_t rva) {
  return reinterpret_cast<const unsigned char*>(&__ImageBase) + rva;
}

static const wchar_t* build_text(unsigned slot) {
  uint32_t rva = tavren_stub_descriptor.text_rva[slot];
  return rva ? reinterpret_cast<const wchar_t*>(image_address(rva)) : L"";
}

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  tavren_company_text = build_text(stub_company);
  tavren_product_text = build_text(stub_product);
  tavren_file_version_text = build_text(stub_file_version);
  tavren_product_version_text = build_text(stub_product_version);
  uint64_t size = tavren_stub_descriptor.payload_size;
  // An unfilled stub has no payload: the run sequence reports the missing header.
  const unsigned char* payload = size ? image_address(tavren_stub_descriptor.payload_rva) : image_address(0);
  return run_sequence(payload, static_cast<size_t>(size));
}
