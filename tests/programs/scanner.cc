// Stands in for a real-time virus scanner, an indexer or a backup agent: watches a folder and
// everything below it, opens each new file or folder as soon as it can, for reading and
// sharing no delete access (nobody may delete or rename it meanwhile), and holds it for a
// while. A file another program still writes without sharing reads is tried again until it
// can be opened.
//   scanner <folder> <hold ms> [<ready event> <stop event>]
// Once it watches it sets <ready event>, or without events prints watching=1. It ends when
// <stop event> is set (or after five minutes, so a scanner whose caller died does not stay for
// ever), printing held=<entries it held>. Exit code 0, or 1 when it cannot watch the folder.
#include <stdio.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct held_entry {
  HANDLE handle;
  DWORD since;
};

struct pending_entry {
  std::wstring path;
  DWORD since;
};

// A file that stays locked longer than this is given up, as a scanner gives up a busy file.
constexpr DWORD give_up_ms = 10000;
// How often pending entries are tried again and held ones looked at.
constexpr DWORD poll_ms = 5;
constexpr DWORD lifetime_ms = 5 * 60 * 1000;

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (__argc != 3 && __argc != 5) return 2;
  std::wstring root = __wargv[1];
  DWORD hold_ms = wcstoul(__wargv[2], nullptr, 10);
  bool signalled = __argc == 5;
  HANDLE ready = signalled ? OpenEventW(EVENT_MODIFY_STATE, FALSE, __wargv[3]) : nullptr;
  // Without a stop event, one that is never set.
  HANDLE stop = signalled ? OpenEventW(SYNCHRONIZE, FALSE, __wargv[4]) : CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE folder = CreateFileW(root.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if ((signalled && !ready) || !stop || folder == INVALID_HANDLE_VALUE) return 1;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  alignas(DWORD) static unsigned char changes[64 * 1024];
  const DWORD watched = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                        FILE_NOTIFY_CHANGE_SIZE;
  auto watch = [&] {
    ResetEvent(overlapped.hEvent);
    return ReadDirectoryChangesW(folder, changes, sizeof changes, TRUE, watched, nullptr, &overlapped, nullptr);
  };
  if (!watch()) return 1;
  if (ready) {
    SetEvent(ready);
  } else {
    printf("watching=1\n");
    fflush(stdout);
  }

  std::set<std::wstring> seen;
  std::vector<pending_entry> pending;
  std::vector<held_entry> held;
  unsigned long held_count = 0;
  DWORD started = GetTickCount();
  for (;;) {
    HANDLE waits[2] = {stop, overlapped.hEvent};
    DWORD woke = WaitForMultipleObjects(2, waits, FALSE, pending.empty() && held.empty() ? 1000 : poll_ms);
    DWORD now = GetTickCount();
    if (woke == WAIT_OBJECT_0 || now - started > lifetime_ms) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      DWORD got = 0;
      if (GetOverlappedResult(folder, &overlapped, &got, FALSE) && got > 0) {
        for (unsigned char* at = changes;;) {
          auto* change = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(at);
          if (change->Action != FILE_ACTION_REMOVED && change->Action != FILE_ACTION_RENAMED_OLD_NAME) {
            std::wstring path = root + L"\\" + std::wstring(change->FileName, change->FileNameLength / sizeof(wchar_t));
            if (seen.insert(path).second) pending.push_back({path, now});
          }
          if (change->NextEntryOffset == 0) break;
          at += change->NextEntryOffset;
        }
      }
      if (!watch()) break;
    }
    for (size_t i = 0; i < pending.size();) {
      HANDLE entry = CreateFileW(pending[i].path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      DWORD error = entry == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
      if (entry != INVALID_HANDLE_VALUE) {
        held.push_back({entry, now});
        ++held_count;
      }
      bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
      if (busy && now - pending[i].since < give_up_ms) {
        ++i;
      } else {
        pending.erase(pending.begin() + static_cast<long>(i));
      }
    }
    for (size_t i = 0; i < held.size();) {
      if (now - held[i].since >= hold_ms) {
        CloseHandle(held[i].handle);
        held.erase(held.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  for (const held_entry& entry : held) CloseHandle(entry.handle);
  printf("held=%lu\n", held_count);
  fflush(stdout);
  return 0;
}
