#include "launcher/update/update_check.h"

#include <windows.h>
#include <bcrypt.h>

#include "base/system_library.h"
#include "base/wide_buffer.h"
#include "paths/build_texts.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

launcher_update_facts g_running;  // policy none until prepared: every update refused

launcher_text wide_text(const wchar_t* text) { return {reinterpret_cast<const unsigned char*>(text), wcslen(text)}; }

// One line of ASCII from the shared reader, widened.
bool refuse(const char* reason, wchar_t* why, size_t capacity) {
  wchar_t line[update_why_capacity] = {};
  size_t n = 0;
  for (; reason[n] && n + 1 < sizeof line / sizeof line[0]; ++n) line[n] = static_cast<unsigned char>(reason[n]);
  wbuf_copy(why, capacity, line);
  return false;
}

struct bcrypt_functions {
  decltype(&::BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider;
  decltype(&::BCryptImportKeyPair) BCryptImportKeyPair;
  decltype(&::BCryptVerifySignature) BCryptVerifySignature;
  decltype(&::BCryptDestroyKey) BCryptDestroyKey;
  decltype(&::BCryptCloseAlgorithmProvider) BCryptCloseAlgorithmProvider;
};

// Only an update needs the system's cryptography: bound here, on first use, from the system
// folder, so no other start pays for it and no planted bcrypt.dll is ever loaded.
bool bind_bcrypt(bcrypt_functions& f) {
  HMODULE m = load_system_library(L"bcrypt.dll");
  return m && bind_function(m, "BCryptOpenAlgorithmProvider", &f.BCryptOpenAlgorithmProvider) &&
         bind_function(m, "BCryptImportKeyPair", &f.BCryptImportKeyPair) &&
         bind_function(m, "BCryptVerifySignature", &f.BCryptVerifySignature) &&
         bind_function(m, "BCryptDestroyKey", &f.BCryptDestroyKey) &&
         bind_function(m, "BCryptCloseAlgorithmProvider", &f.BCryptCloseAlgorithmProvider);
}

constexpr NTSTATUS status_invalid_signature = static_cast<NTSTATUS>(0xC000A000);

// Null when `signature` is the publisher key's ECDSA P-256 signature of `digest`, else why not.
const char* signature_fault(const unsigned char* key, const unsigned char* digest, const unsigned char* signature) {
  bcrypt_functions f = {};
  if (!bind_bcrypt(f)) return "the system's cryptography (bcrypt.dll) cannot be loaded to check its signature";
  struct {
    BCRYPT_ECCKEY_BLOB header;
    unsigned char point[stub_update_key_size];
  } blob = {{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, stub_update_key_size / 2}, {}};
  memcpy(blob.point, key, sizeof blob.point);
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (f.BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0)
    return "the system offers no ECDSA P-256 to check its signature";
  BCRYPT_KEY_HANDLE handle = nullptr;
  const char* fault = nullptr;
  if (f.BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, reinterpret_cast<PUCHAR>(&blob),
                            sizeof blob, 0) < 0) {
    fault = "this launcher's own publisher key is not a valid P-256 key";
  } else {
    NTSTATUS status = f.BCryptVerifySignature(handle, nullptr, const_cast<PUCHAR>(digest), update_digest_size,
                                              const_cast<PUCHAR>(signature), stub_update_signature_size, 0);
    if (status == status_invalid_signature)
      fault = "its update signature does not match this launcher's publisher key";
    else if (status < 0)
      fault = "the system could not check its update signature";
    f.BCryptDestroyKey(handle);
  }
  f.BCryptCloseAlgorithmProvider(algorithm, 0);
  return fault;
}

}  // namespace

void update_check_prepare(const stub_descriptor* own) {
  const unsigned char* base = reinterpret_cast<const unsigned char*>(&__ImageBase);
  const IMAGE_NT_HEADERS* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
  launcher_update_facts facts;
  facts.machine = headers->FileHeader.Machine;
  facts.policy = own->update_policy;
  facts.key = own->update_key;
  facts.company = wide_text(tavren_company_text);
  facts.product = wide_text(tavren_product_text);
  facts.file_version = wide_text(tavren_file_version_text);
  facts.version_known = read_four_part_version(facts.file_version, &facts.version);
  g_running = facts;
}

bool update_candidate_acceptable(const unsigned char* file, size_t size, bool allow_downgrade, wchar_t* why,
                                 size_t why_capacity) {
  return update_candidate_acceptable_to(g_running, file, size, allow_downgrade, why, why_capacity);
}

bool update_candidate_acceptable_to(const launcher_update_facts& running, const unsigned char* file, size_t size,
                                    bool allow_downgrade, wchar_t* why, size_t why_capacity) {
  if (running.policy == stub_update_none)
    return refuse("this launcher takes no updates (it was packed without an update key or --updates-unsigned)", why,
                  why_capacity);
  if (running.policy != stub_update_signed && running.policy != stub_update_unsigned)
    return refuse("this launcher's update policy is unknown to it", why, why_capacity);
  launcher_update_facts candidate;
  if (const char* fault = read_launcher_update_facts(file, size, &candidate)) return refuse(fault, why, why_capacity);
  if (const char* fault = update_identity_refusal(running, candidate, allow_downgrade))
    return refuse(fault, why, why_capacity);
  if (running.policy == stub_update_signed) {
    if (!candidate.is_signed) return refuse("it carries no update signature", why, why_capacity);
    unsigned char digest[update_digest_size];
    launcher_update_digest(file, candidate, digest);
    if (const char* fault = signature_fault(running.key, digest, candidate.signature))
      return refuse(fault, why, why_capacity);
  }
  if (why_capacity > 0) why[0] = 0;
  return true;
}
