#include "launcher/private_folder.h"

#include <wchar.h>
#include <winternl.h>

#include "base/diagnostics.h"
#include "launcher/security_calls.h"
#include "payload/payload.h"

namespace {

// A SID as the token hands it over, with room to spare: SECURITY_MAX_SID_SIZE is 68 bytes.
constexpr DWORD token_sid_capacity = 256;

struct token_sid {
  alignas(8) unsigned char bytes[token_sid_capacity];
};

// A process in an AppContainer must be granted by its container's SID, or it cannot read
// the folder it made. A system that does not know containers says no here.
bool token_container(const security_functions& api, HANDLE token, token_sid& out) {
  DWORD inside = 0;
  DWORD size = 0;
  if (!api.GetTokenInformation(token, TokenIsAppContainer, &inside, sizeof inside, &size) || !inside) return false;
  if (!api.GetTokenInformation(token, TokenAppContainerSid, out.bytes, token_sid_capacity, &size)) return false;
  return reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(out.bytes)->TokenAppContainer != nullptr;
}

// The error of the call that just failed; never ERROR_SUCCESS, which callers take for a folder made.
DWORD last_failure() {
  DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

bool grant(const security_functions& api, ACL* acl, PSID sid) {
  return api.AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, sid);
}

// Creates the folder and opens it in one call, so nothing can stand in its place between the
// two. The handle shares no delete access: while it is open nobody can rename or remove the
// folder, not even someone allowed to delete the entries of the folder above it. Ntdll is in
// every process already, so binding it costs no load.
DWORD create_and_hold(const wchar_t* path, SECURITY_DESCRIPTOR* descriptor, HANDLE* held) {
  using create_fn = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*, ULONG,
                                     ULONG, ULONG, ULONG, void*, ULONG);
  using error_fn = ULONG(NTAPI*)(NTSTATUS);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto create =
      ntdll ? reinterpret_cast<create_fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile"))) : nullptr;
  auto error_of =
      ntdll ? reinterpret_cast<error_fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")))
            : nullptr;
  if (!create || !error_of) return ERROR_PROC_NOT_FOUND;
  // The system's name of the path: "\??\C:\...", "\??\UNC\server\..." for a share, and a
  // path already past the name rules ("\\?\...") as it stands.
  static wchar_t name[launcher_path_capacity + 8];
  const wchar_t* prefix = L"\\??\\";
  const wchar_t* rest = path;
  if (path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
    rest = path + 4;
  } else if (path[0] == L'\\' && path[1] == L'\\') {
    prefix = L"\\??\\UNC\\";
    rest = path + 2;
  }
  size_t units = wcslen(prefix) + wcslen(rest);
  if (units > UNICODE_STRING_MAX_CHARS) return ERROR_FILENAME_EXCED_RANGE;
  wcscpy(name, prefix);
  wcscat(name, rest);
  UNICODE_STRING text = {static_cast<USHORT>(units * sizeof(wchar_t)), static_cast<USHORT>(units * sizeof(wchar_t)),
                         name};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
  IO_STATUS_BLOCK status_block = {};
  // Attributes too: a cached install compares the folder's identity through this handle.
  NTSTATUS status = create(held, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                           &attributes,
                           &status_block, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           FILE_CREATE, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status >= 0) return ERROR_SUCCESS;
  *held = nullptr;
  ULONG error = error_of(status);
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

}  // namespace

DWORD build_private_descriptor(private_descriptor& out, folder_access access) {
  const security_functions* calls = security_calls();
  if (!calls) return last_failure();
  const security_functions& api = *calls;
  HANDLE token = nullptr;
  if (!api.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return last_failure();
  token_sid container;
  static_assert(sizeof out.user >= token_sid_capacity, "a token's user fits");
  bool have_user = api.GetTokenInformation(token, TokenUser, out.user, sizeof out.user, &out.user_size);
  DWORD error = have_user ? ERROR_SUCCESS : last_failure();
  bool in_container = have_user && token_container(api, token, container);
  PSID container_sid =
      in_container ? reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(container.bytes)->TokenAppContainer : nullptr;
  CloseHandle(token);
  if (!have_user) return error;

  DWORD system_size = sizeof out.system, administrators_size = sizeof out.administrators,
        label_size = sizeof out.high_label;
  ACL* acl = reinterpret_cast<ACL*>(out.acl);
  ACL* label = reinterpret_cast<ACL*>(out.label);
  bool elevated = access == folder_access_elevated;
  PSID user_sid = reinterpret_cast<TOKEN_USER*>(out.user)->User.Sid;
  if (!api.CreateWellKnownSid(WinLocalSystemSid, nullptr, out.system, &system_size) ||
      !api.CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, out.administrators, &administrators_size) ||
      !api.CreateWellKnownSid(WinHighLabelSid, nullptr, out.high_label, &label_size) ||
      !api.InitializeAcl(acl, private_folder_acl_capacity, ACL_REVISION) ||
      !grant(api, acl, elevated ? static_cast<PSID>(out.administrators) : user_sid) ||
      !grant(api, acl, out.system) || (!elevated && container_sid && !grant(api, acl, container_sid)) ||
      !api.InitializeSecurityDescriptor(&out.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !api.SetSecurityDescriptorDacl(&out.descriptor, TRUE, acl, FALSE) ||
      // Protected: entries the temporary folder passes down (Everyone may read, say) stay out.
      !api.SetSecurityDescriptorControl(&out.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return last_failure();
  }
  // Elevated: whoever owns a folder may rewrite its access list, so the user, who also runs
  // without elevation, must not; and the label keeps medium-integrity code from writing even
  // where an entry would let it.
  if (elevated &&
      (!api.SetSecurityDescriptorOwner(&out.descriptor, out.administrators, FALSE) ||
       !api.InitializeAcl(label, private_folder_acl_capacity, ACL_REVISION) ||
       !api.AddMandatoryAce(label, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                            SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, out.high_label) ||
       !api.SetSecurityDescriptorSacl(&out.descriptor, TRUE, label, FALSE))) {
    return last_failure();
  }
  return ERROR_SUCCESS;
}

DWORD create_private_folder(const wchar_t* path, HANDLE* held, folder_access access) {
  private_descriptor built;
  DWORD error = build_private_descriptor(built, access);
  if (error != ERROR_SUCCESS) return error;
  if (held) return create_and_hold(path, &built.descriptor, held);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &built.descriptor, FALSE};
  return CreateDirectoryW(path, &attributes) ? ERROR_SUCCESS : last_failure();
}

DWORD claim_private_folder(wchar_t* directory, size_t capacity, bool (*next_name)(wchar_t*, size_t), HANDLE* held) {
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < private_folder_name_attempts; ++attempt) {
    if (attempt > 0 && !next_name(directory, capacity)) break;
    error = create_private_folder(directory, held);
    if (error == ERROR_PATH_NOT_FOUND) {
      ensure_parent_directories(directory);
      error = create_private_folder(directory, held);
    }
    if (error != ERROR_ALREADY_EXISTS) return error;
  }
  return error;
}

void claim_private_folder_or_exit(wchar_t* directory, size_t capacity, bool (*next_name)(wchar_t*, size_t),
                                  HANDLE* held) {
  DWORD error = claim_private_folder(directory, capacity, next_name, held);
  if (error == ERROR_ALREADY_EXISTS) fatal_open_for_writing(directory);
  if (error != ERROR_SUCCESS) fatal_create_folder(directory, error);
}
