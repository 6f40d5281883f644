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
    if (held) {
      EXPECT_FALSE(MoveFileExW(target.c_str(), (target + L"-moved").c_str(), 0));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
      CloseHandle(held);
    }
  }
  remove_tree(scratch_name(L"acl"));
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
