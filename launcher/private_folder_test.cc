// The target folder's access list as the system reads it back, and a name that is already
// taken never being used.
#include "launcher/private_folder.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <stdio.h>

#include <algorithm>
#include <string>

#include "tests/support/test_files.h"

namespace {

std::wstring scratch_name(const wchar_t* what) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp) + L"tavren_private_" + what + L"_" + std::to_wstring(GetCurrentProcessId());
}

std::wstring user_sid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  alignas(8) unsigned char info[256];
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, info, sizeof info, &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &text);
  std::wstring sid = text ? text : L"";
  LocalFree(text);
  return sid;
}

std::wstring access_list(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL acl = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return L"<unreadable>";
  }
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                       nullptr);
  std::wstring result = text ? text : L"";
  LocalFree(text);
  LocalFree(descriptor);
  return result;
}

// One part of the folder's security information as SDDL text ("O:..." for its owner, "S:..."
// for its label); empty when it cannot be read or holds nothing.
std::wstring security_text(const std::wstring& path, SECURITY_INFORMATION part) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, part, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
      ERROR_SUCCESS) {
    return L"";
  }
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, part, &text, nullptr);
  std::wstring result = text ? text : L"";
  LocalFree(text);
  LocalFree(descriptor);
  return result;
}

// The entries of an SDDL access list, sorted.
std::vector<std::wstring> entries_of(const std::wstring& list) {
  std::vector<std::wstring> entries;
  for (size_t at = list.find(L'('); at != std::wstring::npos; at = list.find(L'(', at + 1)) {
    entries.push_back(list.substr(at, list.find(L')', at) - at + 1));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Made by name, and made and held in one step, by a path of either form.
TEST(PrivateFolder, GrantsTheUserAndTheSystemAloneAndPassesThatDown) {
  struct way {
    const char* name;
    bool hold;
    const wchar_t* prefix;
  };
  for (const way& way :
       {way{"by name", false, L""}, way{"held", true, L""}, way{"held, long form", true, L"\\\\?\\"}}) {
    SCOPED_TRACE(way.name);
    // A folder of its own each time: the walk up remembers the folders it made.
    const std::wstring target = scratch_name(L"acl") + L"\\" + std::wstring(way.name, way.name + strlen(way.name)) +
                                L"\\missing parent\\target";
    std::wstring path = way.prefix + target;
    HANDLE held = nullptr;
    ASSERT_EQ(claim_private_folder(
                  path.data(), path.size() + 1, [](wchar_t*, size_t) { return false; }, way.hold ? &held : nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    // Nothing of the temporary folder's list (Everyone may read) comes in. Wine keeps the list
    // as Unix permission bits, so it reads back in its own order and without the protected flag.
    std::wstring list = access_list(target);
    if (!held) printf("[ figure ] target folder access list as read back: %ls\n", list.c_str());
    EXPECT_EQ(entries_of(list), (std::vector<std::wstring>{L"(A;OICI;FA;;;" + user_sid() + L")", L"(A;OICI;FA;;;SY)"}));
    if (!way.hold) continue;
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(MoveFileExW(target.c_str(), (target + L"-moved").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // The handle is what a start checks the folder through.
    EXPECT_TRUE(folder_handle_has_private_access(held, folder_access_user));
    EXPECT_FALSE(folder_handle_has_private_access(held, folder_access_elevated));
    CloseHandle(held);
  }
  remove_tree(scratch_name(L"acl"));
}

// An elevated launcher's folder as it would be made. Wine starts no elevated process that differs
// from any other (it reports every one elevated, with a default owner of the user's), so the
// decision is given: administrators and the system alone, the Administrators group its owner and
// a high label passed down, so code of the same user without elevation can neither write into
// it nor change its list. Wine keeps what it can of that; the test prints it.
TEST(PrivateFolder, AnElevatedLaunchersFolderAdmitsAdministratorsAndTheSystemAlone) {
  for (folder_access access : {folder_access_user, folder_access_elevated}) {
    private_descriptor built;
    ASSERT_EQ(build_private_descriptor(built, access), static_cast<DWORD>(ERROR_SUCCESS));
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        &built.descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
    std::wstring sddl = text;
    LocalFree(text);
    // Wine's SDDL text leaves labels out: the label's one entry is read as it stands.
    BOOL present = FALSE, defaulted = FALSE;
    ACL* sacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(&built.descriptor, &present, &sacl, &defaulted));
    void* ace = nullptr;
    if (access == folder_access_user) {
      EXPECT_EQ(sddl, L"D:P(A;OICI;FA;;;" + user_sid() + L")(A;OICI;FA;;;SY)");
      EXPECT_FALSE(present);
      continue;
    }
    EXPECT_EQ(sddl, L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(present && sacl && sacl->AceCount == 1 && GetAce(sacl, 0, &ace));
    auto* label = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
    EXPECT_EQ(label->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
    EXPECT_EQ(label->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(label->Mask, static_cast<ACCESS_MASK>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
    wchar_t* label_sid = nullptr;
    ConvertSidToStringSidW(&label->SidStart, &label_sid);
    EXPECT_STREQ(label_sid, L"S-1-16-12288");  // high
    LocalFree(label_sid);
  }
  const std::wstring target = scratch_name(L"elevated");
  HANDLE held = nullptr;
  ASSERT_EQ(create_private_folder(target.c_str(), &held, folder_access_elevated), static_cast<DWORD>(ERROR_SUCCESS));
  printf("[ figure ] an elevated folder as Wine keeps it: %ls %ls %ls\n", security_text(target, OWNER_SECURITY_INFORMATION).c_str(),
         access_list(target).c_str(), security_text(target, LABEL_SECURITY_INFORMATION).c_str());
  // Whatever Wine kept, a folder that grants the user is never an elevated start's.
  EXPECT_NE(folder_handle_has_private_access(held, folder_access_elevated),
            folder_handle_has_private_access(held, folder_access_user));
  CloseHandle(held);
  remove_tree(target);
}

TEST(PrivateFolder, ANameAlreadyTakenIsNeverUsed) {
  const std::wstring base = scratch_name(L"taken");
  ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
  for (const wchar_t* taken : {L"\\0", L"\\1"}) ASSERT_TRUE(CreateDirectoryW((base + taken).c_str(), nullptr));
  std::wstring planted = base + L"\\0\\planted.dll";
  CloseHandle(CreateFileW(planted.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  const std::wstring list_before = access_list(base + L"\\0");

  // Names end in a digit that each call moves on by one.
  wchar_t directory[MAX_PATH];
  wcscpy(directory, (base + L"\\0").c_str());
  auto next = [](wchar_t* name, size_t) {
    ++name[wcslen(name) - 1];
    return true;
  };
  ASSERT_EQ(claim_private_folder(directory, MAX_PATH, next), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(std::wstring(directory), base + L"\\2");
  EXPECT_EQ(folder_entries(base + L"\\0"), std::vector<std::wstring>{L"planted.dll"});
  EXPECT_EQ(access_list(base + L"\\0"), list_before);

  // Every name taken: the last error, and nothing new.
  wcscpy(directory, (base + L"\\0").c_str());
  auto same = [](wchar_t*, size_t) { return true; };
  HANDLE held = INVALID_HANDLE_VALUE;
  EXPECT_EQ(claim_private_folder(directory, MAX_PATH, same, &held), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(folder_entries(base).size(), 3u);
  remove_tree(base);
}

}  // namespace
