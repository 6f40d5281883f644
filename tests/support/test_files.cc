#include "tests/support/test_files.h"

#include "tests/support/process_capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

bool path_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool is_directory(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool remove_tree(const std::wstring& path) {
  if (!is_directory(path)) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    return !path_exists(path);
  }
  for (const auto& name : folder_entries(path)) remove_tree(path + L"\\" + name);
  RemoveDirectoryW(path.c_str());
  return !path_exists(path);
}

std::vector<std::wstring> folder_entries(const std::wstring& folder, const std::wstring& prefix) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::vector<unsigned char> read_file_bytes(const std::wstring& path) {
  std::vector<unsigned char> data;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return data;
  unsigned char buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) data.insert(data.end(), buffer, buffer + got);
  fclose(file);
  return data;
}

static std::wstring unix_path(const std::wstring& path) {
  using function = char*(__cdecl*)(const wchar_t*);
  auto convert = reinterpret_cast<function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!convert) return L"";
  char* name = convert(path.c_str());
  if (!name) return L"";
  std::wstring wide(name, name + strlen(name));  // test paths are ASCII
  HeapFree(GetProcessHeap(), 0, name);
  return wide;
}

// Wine starts a Unix program named by its Z: path as a native process. Its handle does not
// wait for the program, so callers look for the outcome until `done` says it is there.
static bool run_unix(const wchar_t* program, std::wstring arguments, bool (*done)(const std::wstring&),
                     const std::wstring& path) {
  std::wstring line = std::wstring(program) + L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!create_test_process(program, line.data(), FALSE, 0, nullptr, nullptr, &startup, &process)) return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (DWORD start = GetTickCount(); GetTickCount() - start < 30000; Sleep(10)) {
    if (done(path)) return true;
  }
  return false;
}

static bool listed(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool make_unix_link(const std::wstring& target, const std::wstring& link) {
  std::wstring from = unix_path(target), to = unix_path(link);
  if (from.empty() || to.empty()) return false;
  return run_unix(L"Z:\\bin\\ln", L"-s \"" + from + L"\" \"" + to + L"\"", listed, link);
}

bool remove_unix_link(const std::wstring& link) {
  std::wstring path = unix_path(link);
  return !path.empty() &&
         run_unix(
             L"Z:\\bin\\rm", L"-f \"" + path + L"\"", [](const std::wstring& p) { return !listed(p); }, link);
}

int wine_major_version() {
  using version_call = const char* (*)();
  auto wine_version = reinterpret_cast<version_call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  return wine_version ? atoi(wine_version()) : 0;
}

const char* fixture_mount_unseen(const std::wstring& file_on_mount) {
  if (!path_exists(file_on_mount)) return nullptr;
  HANDLE file = CreateFileW(file_on_mount.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return nullptr;
  }
  return "Wine's server does not see the file system this test's fixture mounted: it runs in a mount namespace made "
         "before the mount (scripts/wine10 run outside scripts/run-tests, which shares the fixture's mounts with it)";
}
