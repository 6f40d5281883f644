#include "launcher/folder_trust.h"

#include <atomic>

#include "base/system_library.h"

namespace {

// The calls the check makes. Kernelbase, already loaded in every process where it exists,
// exports them all on Windows 8 and later and under Wine; loading Advapi32 for them would cost
// every warm start under Wine 10 to 15 ms (measured against the same start without the check),
// more than the rest of that start. Advapi32 from the system folder stands in where Kernelbase
// lacks one.
struct trust_functions {
  decltype(&::CreateWellKnownSid) CreateWellKnownSid;
  decltype(&::EqualSid) EqualSid;
  decltype(&::GetAce) GetAce;
  decltype(&::GetKernelObjectSecurity) GetKernelObjectSecurity;
  decltype(&::GetSecurityDescriptorDacl) GetSecurityDescriptorDacl;
  decltype(&::GetSecurityDescriptorOwner) GetSecurityDescriptorOwner;
  decltype(&::GetTokenInformation) GetTokenInformation;
  decltype(&::OpenProcessToken) OpenProcessToken;
};

template <class Function>
bool bind(HMODULE module, const char* name, Function* to) {
  *to = module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
  return *to != nullptr;
}

bool bind_all(HMODULE m, trust_functions& f) {
  return bind(m, "CreateWellKnownSid", &f.CreateWellKnownSid) && bind(m, "EqualSid", &f.EqualSid) &&
         bind(m, "GetAce", &f.GetAce) && bind(m, "GetKernelObjectSecurity", &f.GetKernelObjectSecurity) &&
         bind(m, "GetSecurityDescriptorDacl", &f.GetSecurityDescriptorDacl) &&
         bind(m, "GetSecurityDescriptorOwner", &f.GetSecurityDescriptorOwner) &&
         bind(m, "GetTokenInformation", &f.GetTokenInformation) && bind(m, "OpenProcessToken", &f.OpenProcessToken);
}

// Both threads that could get here at once would store the same addresses; the flag goes last.
const trust_functions* trust_calls() {
  static trust_functions functions;
  static std::atomic<bool> bound{false};
  if (bound.load(std::memory_order_acquire)) return &functions;
  trust_functions found = {};
  if (!bind_all(GetModuleHandleW(L"kernelbase.dll"), found) &&
      !bind_all(load_system_library(L"advapi32.dll"), found)) {
    return nullptr;
  }
  functions = found;
  bound.store(true, std::memory_order_release);
  return &functions;
}

constexpr DWORD token_sid_capacity = 256;
// An install's folder has an owner and three entries; anything that does not fit is no such folder.
constexpr DWORD descriptor_capacity = 4096;

struct token_sid {
  alignas(8) unsigned char bytes[token_sid_capacity];
};

// The SIDs an install's folder names: the user, the token's default owner, the container
// (null outside one), the system account. `user_may_own` is false for an elevated
// administrator, whose new objects the Administrators group owns: a folder owned by the user
// then came from code of the user running without elevation, which such a launcher must not
// trust. (Under Wine the default owner is a group of the user's and new folders read back as
// the user's own, so the user stays a trusted owner there.)
struct trusted_sids {
  token_sid user, owner, container;
  PSID user_sid = nullptr, owner_sid = nullptr, container_sid = nullptr;
  bool user_may_own = true;
  alignas(8) unsigned char system[SECURITY_MAX_SID_SIZE];
  alignas(8) unsigned char administrators[SECURITY_MAX_SID_SIZE];
};

bool read_token(const trust_functions& api, trusted_sids& out) {
  HANDLE token = nullptr;
  if (!api.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0, inside = 0;
  if (api.GetTokenInformation(token, TokenUser, out.user.bytes, token_sid_capacity, &size))
    out.user_sid = reinterpret_cast<TOKEN_USER*>(out.user.bytes)->User.Sid;
  if (api.GetTokenInformation(token, TokenOwner, out.owner.bytes, token_sid_capacity, &size))
    out.owner_sid = reinterpret_cast<TOKEN_OWNER*>(out.owner.bytes)->Owner;
  if (api.GetTokenInformation(token, TokenIsAppContainer, &inside, sizeof inside, &size) && inside &&
      api.GetTokenInformation(token, TokenAppContainerSid, out.container.bytes, token_sid_capacity, &size))
    out.container_sid = reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(out.container.bytes)->TokenAppContainer;
  CloseHandle(token);
  DWORD system_size = sizeof out.system, administrators_size = sizeof out.administrators;
  if (!out.user_sid || !out.owner_sid ||
      !api.CreateWellKnownSid(WinLocalSystemSid, nullptr, out.system, &system_size) ||
      !api.CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, out.administrators, &administrators_size))
    return false;
  out.user_may_own = !api.EqualSid(out.owner_sid, out.administrators);
  return true;
}

bool is(const trust_functions& api, PSID sid, PSID other) { return other && api.EqualSid(sid, other); }

}  // namespace

bool folder_has_private_access(const wchar_t* folder) {
  const trust_functions* calls = trust_calls();
  if (!calls) return false;
  const trust_functions& api = *calls;
  trusted_sids sids;
  if (!read_token(api, sids)) return false;
  HANDLE handle = CreateFileW(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  alignas(8) unsigned char descriptor[descriptor_capacity];
  DWORD needed = 0;
  bool trusted = GetFileInformationByHandle(handle, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                 api.GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor,
                                             descriptor_capacity, &needed);
  CloseHandle(handle);
  PSID owner = nullptr;
  ACL* dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  trusted = trusted && api.GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner &&
            (is(api, owner, sids.owner_sid) || (sids.user_may_own && is(api, owner, sids.user_sid))) &&
            api.GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl;
  // Wine does not keep SE_DACL_PROTECTED (an install's folder reads back with control 0x8004),
  // so the flag is not asked for; what it keeps out shows anyway: an entry passed down from
  // the parent carries INHERITED_ACE on Windows, and under Wine a folder made without an
  // access list of its own reads back with an entry for Everyone.
  for (DWORD i = 0; trusted && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    trusted = api.GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
              !(static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE);
    if (!trusted) break;
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    trusted = is(api, sid, sids.user_sid) || is(api, sid, sids.system) || is(api, sid, sids.container_sid);
  }
  return trusted;
}
