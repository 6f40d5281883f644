// The one Shell32 call the launcher makes, bound on first use. Loading Shell32 costs a
// Windows process tens of milliseconds (under Wine about 25 ms, and its dependencies as
// much again), and a run needs it only where a path names the profile or cache folder.
#pragma once

#include <windows.h>
#include <shellapi.h>

/// SHGetFolderPathW; E_FAIL when Shell32 is not there.
HRESULT shell_get_folder_path(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path);
