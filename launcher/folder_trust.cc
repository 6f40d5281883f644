#include "launcher/folder_trust.h"

#include "launcher/security_calls.h"

namespace {

constexpr DWORD token_sid_capacity = 256;

struct token_sid {
  alignas(8) unsigned char bytes[token_sid_capacity];
};

// The SIDs an install's access list names: the user, the token's default owner, the
// container (null outside one), the system account.
struct trusted_sids {
  token_sid user, owner, container;
  PSID user_sid = nullptr, owner_sid = nullptr, container_sid = nullptr;
  alignas(8) unsigned char system[SECURITY_MAX_SID_SIZE];
};

bool read_token(const security_functions& api, trusted_sids& out) {
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
  DWORD system_size = sizeof out.system;
  return out.user_sid && api.CreateWellKnownSid(WinLocalSystemSid, nullptr, out.system, &system_size);
}

bool is(const security_functions& api, PSID sid, PSID other) { return other && api.EqualSid(sid, other); }

}  // namespace

bool folder_has_private_access(const wchar_t* folder) {
  const security_functions* calls = security_calls();
  if (!calls) return false;
  const security_functions& api = *calls;
  trusted_sids sids;
  if (!read_token(api, sids)) return false;
  HANDLE handle = CreateFileW(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  PSID owner = nullptr;
  ACL* dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool trusted = GetFileInformationByHandle(handle, &info) &&
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                 api.GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     &owner, nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS;
  CloseHandle(handle);
  // Wine does not keep SE_DACL_PROTECTED (it reads back 0x8004 for an install's folder), so
  // the flag is not asked for; what it keeps out shows anyway: an entry passed down from the
  // parent carries INHERITED_ACE on Windows, and under Wine a folder made without an access
  // list of its own reads back with an entry for Everyone.
  trusted = trusted && owner && dacl && (is(api, owner, sids.user_sid) || is(api, owner, sids.owner_sid));
  for (DWORD i = 0; trusted && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    trusted = api.GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
              !(static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE);
    if (!trusted) break;
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    trusted = is(api, sid, sids.user_sid) || is(api, sid, sids.system) || is(api, sid, sids.container_sid);
  }
  if (descriptor) LocalFree(descriptor);
  return trusted;
}
