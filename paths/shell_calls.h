// The three Shell32 calls the launcher makes, bound on first use. Loading Shell32 costs a
// Windows process tens of milliseconds (under Wine about 25 ms), and the child role never
// needs it: only the parent splits its command line, looks up the profile folder and
// deletes the target directory.
#pragma once

#include <windows.h>
#include <shellapi.h>

/// CommandLineToArgvW; null with ERROR_MOD_NOT_FOUND (or the call's own error) on failure.
LPWSTR* shell_command_line_to_argv(LPCWSTR command_line, int* count);

/// SHFileOperationW; non-zero when Shell32 is not there.
int shell_file_operation(SHFILEOPSTRUCTW* operation);

/// SHGetFolderPathW; E_FAIL when Shell32 is not there.
HRESULT shell_get_folder_path(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path);
