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

bool bind_all(HMODULE m, trust_functions& f) {
  return bind_function(m, "CreateWellKnownSid", &f.CreateWellKnownSid) && bind_function(m, "EqualSid", &f.EqualSid) &&
         bind_function(m, "GetAce", &f.GetAce) &&
         bind_function(m, "GetKernelObjectSecurity", &f.GetKernelObjectSecurity) &&
         bind_function(m, "GetSecurityDescriptorDacl", &f.GetSecurityDescriptorDacl) &&
         bind_function(m, "GetSecurityDescriptorOwner", &f.GetSecurityDescriptorOwner) &&
         bind_function(m, "GetTokenInformation", &f.GetTokenInformation) &&
         bind_function(m, "OpenProcessToken", &f.OpenProcessToken);
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

// The SIDs a folder of ours names: the user, the token's default owner, the container (null
// outside one), the system account and the Administrators group. (Under Wine the default
// owner is a group of the user's and new folders read back as the user's own, so the user is
// a trusted owner there too.)
struct trusted_sids {
  token_sid user, owner, container;
  PSID user_sid = nullptr, owner_sid = nullptr, container_sid = nullptr;
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
  return out.user_sid && out.owner_sid && api.CreateWellKnownSid(WinLocalSystemSid, nullptr, out.system, &system_size) &&
         api.CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, out.administrators, &administrators_size);
}

bool is(const trust_functions& api, PSID sid, const void* other) {
  return other && api.EqualSid(sid, const_cast<void*>(other));
}

// The owner may change the access list at will: for an elevated launcher only administrators
// and the system are owners it can trust, whatever the token's default owner is.
bool trusted_owner(const trust_functions& api, const trusted_sids& sids, PSID owner, folder_access access) {
  if (access == folder_access_elevated) return is(api, owner, sids.administrators) || is(api, owner, sids.system);
  return is(api, owner, sids.owner_sid) || is(api, owner, sids.user_sid);
}

bool trusted_grantee(const trust_functions& api, const trusted_sids& sids, PSID sid, folder_access access) {
  if (access == folder_access_elevated) return is(api, sid, sids.administrators) || is(api, sid, sids.system);
  return is(api, sid, sids.user_sid) || is(api, sid, sids.system) || is(api, sid, sids.container_sid);
}

bool handle_is_private(const trust_functions& api, HANDLE handle, folder_access access) {
  trusted_sids sids;
  if (!read_token(api, sids)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  alignas(8) unsigned char descriptor[descriptor_capacity];
  DWORD needed = 0;
  bool trusted = GetFileInformationByHandle(handle, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                 api.GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor,
                                             descriptor_capacity, &needed);
  PSID owner = nullptr;
  ACL* dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  trusted = trusted && api.GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner &&
            trusted_owner(api, sids, owner, access) &&
            api.GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl;
  // Wine does not keep SE_DACL_PROTECTED (an install's folder reads back with control 0x8004),
  // so the flag is not asked for; what it keeps out shows anyway: an entry passed down from
  // the parent carries INHERITED_ACE on Windows, and under Wine a folder made without an
  // access list of its own reads back with an entry for Everyone.
  for (DWORD i = 0; trusted && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    trusted = api.GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
              !(static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE) &&
              trusted_grantee(api, sids, &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, access);
  }
  return trusted;
}

}  // namespace

folder_access process_folder_access() {
  static std::atomic<int> known{-1};
  int access = known.load(std::memory_order_acquire);
  if (access >= 0) return static_cast<folder_access>(access);
  // What an elevated administrator's new objects get: the Administrators group as owner. The
  // token's elevation flag alone would not do, since Wine reports every process elevated.
  const trust_functions* calls = trust_calls();
  trusted_sids sids;
  access = calls && read_token(*calls, sids) && is(*calls, sids.owner_sid, sids.administrators) ? folder_access_elevated
                                                                                                 : folder_access_user;
  known.store(access, std::memory_order_release);
  return static_cast<folder_access>(access);
}

bool folder_handle_has_private_access(HANDLE folder, folder_access access) {
  const trust_functions* calls = trust_calls();
  return calls && handle_is_private(*calls, folder, access);
}

bool folder_has_private_access(const wchar_t* folder, folder_access access) {
  HANDLE handle = CreateFileW(folder, READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // The name too: Wine opens a Unix link's target even when told not to follow it.
  DWORD attributes = GetFileAttributesW(folder);
  bool trusted = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                 folder_handle_has_private_access(handle, access);
  CloseHandle(handle);
  return trusted;
}

bool link_owner_is_trusted(HANDLE link, folder_access access) {
  const trust_functions* calls = trust_calls();
  if (!calls) return false;
  const trust_functions& api = *calls;
  trusted_sids sids;
  alignas(8) unsigned char descriptor[descriptor_capacity];
  DWORD needed = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!read_token(api, sids) ||
      !api.GetKernelObjectSecurity(link, OWNER_SECURITY_INFORMATION, descriptor, descriptor_capacity, &needed) ||
      !api.GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner)
    return false;
  return is(api, owner, sids.system) || is(api, owner, sids.administrators) ||
         (access == folder_access_user && trusted_owner(api, sids, owner, access));
}

bool user_sid_text(wchar_t (&text)[sid_text_capacity]) {
  const trust_functions* calls = trust_calls();
  HANDLE token = nullptr;
  if (!calls || !calls->OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  token_sid user;
  DWORD size = 0;
  bool read = calls->GetTokenInformation(token, TokenUser, user.bytes, token_sid_capacity, &size);
  CloseHandle(token);
  if (!read) return false;
  // The layout every SID has; formatted here so that no further library is bound for it.
  const SID* sid = static_cast<const SID*>(reinterpret_cast<TOKEN_USER*>(user.bytes)->User.Sid);
  if (sid->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return false;
  unsigned long long authority = 0;
  for (BYTE part : sid->IdentifierAuthority.Value) authority = authority << 8 | part;
  size_t at = 0;
  auto put = [&](const wchar_t* piece) {
    while (*piece && at + 1 < sid_text_capacity) text[at++] = *piece++;
  };
  auto put_number = [&](unsigned long long value) {
    wchar_t digits[24];
    size_t count = 0;
    do digits[count++] = static_cast<wchar_t>(L'0' + value % 10); while ((value /= 10) != 0);
    while (count > 0 && at + 1 < sid_text_capacity) text[at++] = digits[--count];
  };
  put(L"S-");
  put_number(sid->Revision);
  put(L"-");
  put_number(authority);
  for (BYTE i = 0; i < sid->SubAuthorityCount; ++i) {
    put(L"-");
    put_number(sid->SubAuthority[i]);
  }
  text[at] = 0;
  return true;
}
