#include "tests/support/test_files.h"

#include <stdio.h>
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
