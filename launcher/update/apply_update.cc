#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/wide_buffer.h"
#include "formats/delta.h"
#include "launcher/child_process.h"
#include "launcher/command_line_quote.h"
#include "launcher/run_state.h"
#include "launcher/update/update_check.h"
#include "launcher/update/self_update.h"
#include "launcher/update/update_request.h"

const wchar_t* update_request_path();

namespace {

constexpr size_t why_capacity = 2048;
char g_why[why_capacity];

// One line saying why: `text`, then the path in quotes, then the system's reason.
void say_why(const char* text, const wchar_t* path = nullptr, DWORD error = 0) {
  snprintf(g_why, why_capacity, "%s", text);
  if (path) {
    size_t used = strlen(g_why);
    char narrow[launcher_path_capacity * 3];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, path, -1, narrow, sizeof narrow, nullptr, nullptr);
    snprintf(g_why + used, why_capacity - used, " '%s'", bytes > 0 ? narrow : "?");
  }
  if (error) {
    char* reason = nullptr;
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, error, 0x409, reinterpret_cast<LPSTR>(&reason), 0, nullptr);
    while (reason && length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n')) reason[--length] = 0;
    size_t used = strlen(g_why);
    snprintf(g_why + used, why_capacity - used, " ([Error %ld] %s)", static_cast<long>(static_cast<int32_t>(error)),
             reason ? reason : "");
    if (reason) LocalFree(reason);
  }
}

// Each step of the swap, announced to a debugger (none is attached in ordinary use), so that a
// test can end the launcher between any two of them.
void step(const char* name) { OutputDebugStringA(name); }

struct bytes {
  unsigned char* data = nullptr;
  size_t size = 0;
};

void release(bytes& b) {
  if (b.data) VirtualFree(b.data, 0, MEM_RELEASE);
  b = bytes{};
}

// The whole of `path` in memory; false with why said.
bool read_whole(const wchar_t* path, const char* what, bytes* out) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    say_why(what, path, GetLastError());
    return false;
  }
  LARGE_INTEGER size = {};
  bool ok =
      GetFileSizeEx(file, &size) && size.QuadPart > 0 && static_cast<uint64_t>(size.QuadPart) < (uint64_t{1} << 32);
  if (ok) {
    out->size = static_cast<size_t>(size.QuadPart);
    out->data = static_cast<unsigned char*>(VirtualAlloc(nullptr, out->size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ok = out->data != nullptr;
  }
  for (size_t done = 0; ok && done < out->size;) {
    DWORD chunk = static_cast<DWORD>(out->size - done > (1u << 24) ? (1u << 24) : out->size - done), got = 0;
    ok = ReadFile(file, out->data + done, chunk, &got, nullptr) && got > 0;
    done += got;
  }
  DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) {
    say_why(what, path, error ? error : ERROR_INVALID_DATA);
    release(*out);
  }
  return ok;
}

// The new release as the bytes of a whole launcher: the file itself, or this launcher's own
// file with the delta applied to it, which checks that it was made from this very file and
// gives exactly the launcher it was made for.
bool build_candidate(const update_request& request, const wchar_t* self, bytes* candidate) {
  if (!read_whole(request.file, "the new release cannot be read:", candidate)) return false;
  if (candidate->size >= 2 && candidate->data[0] == 'M' && candidate->data[1] == 'Z') return true;
  bytes delta = *candidate, base;
  *candidate = bytes{};
  delta_header header;
  const char* fault = nullptr;
  bool built = false;
  if (!delta_read_header(delta.data, delta.size, &header, &fault)) {
    say_why("the new release is neither a launcher nor a delta:", request.file);
    size_t used = strlen(g_why);
    snprintf(g_why + used, why_capacity - used, ": %s", fault);
  } else if (header.target_size == 0 || header.target_size >= (uint64_t{1} << 32)) {
    say_why("the delta names a new launcher of an impossible size:", request.file);
  } else if (read_whole(self, "this launcher's own file cannot be read:", &base)) {
    candidate->size = static_cast<size_t>(header.target_size);
    candidate->data =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, candidate->size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!candidate->data) {
      say_why("no memory for the new launcher", nullptr, GetLastError());
    } else if (!delta_apply(base.data, base.size, delta.data, delta.size, candidate->data, candidate->size, &fault)) {
      snprintf(g_why, why_capacity, "the delta cannot be applied to this launcher: %s", fault);
    } else {
      built = true;
    }
  }
  release(base);
  release(delta);
  if (!built) release(*candidate);
  return built;
}

bool write_all(HANDLE file, const bytes& b) {
  for (size_t done = 0; done < b.size;) {
    DWORD chunk = static_cast<DWORD>(b.size - done > (1u << 24) ? (1u << 24) : b.size - done), wrote = 0;
    if (!WriteFile(file, b.data + done, chunk, &wrote, nullptr) || wrote == 0) return false;
    done += wrote;
  }
  return true;
}

// What was written is what reads back, through the handle the swap goes on with.
bool reads_back(HANDLE file, const bytes& b) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  static unsigned char chunk[1 << 16];
  for (size_t done = 0; done < b.size;) {
    DWORD want = static_cast<DWORD>(b.size - done > sizeof chunk ? sizeof chunk : b.size - done), got = 0;
    if (!ReadFile(file, chunk, want, &got, nullptr) || got != want || memcmp(chunk, b.data + done, got) != 0)
      return false;
    done += got;
  }
  DWORD got = 0;
  return ReadFile(file, chunk, 1, &got, nullptr) && got == 0;
}

bool rename_through(HANDLE file, const wchar_t* to, bool replace) {
  constexpr size_t info_capacity = sizeof(FILE_RENAME_INFO) + launcher_path_capacity * sizeof(wchar_t);
  alignas(8) unsigned char buffer[info_capacity] = {};
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  size_t units = wcslen(to);
  rename->ReplaceIfExists = replace;
  rename->FileNameLength = static_cast<DWORD>(units * sizeof(wchar_t));
  wmemcpy(rename->FileName, to, units + 1);
  return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(info_capacity));
}

void delete_through(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// A copy of the start's environment with `name`=`value` added in front; null when it cannot
// be made (the caller then passes the start's own).
wchar_t* environment_with(const wchar_t* name, const wchar_t* value) {
  const wchar_t* start = update_start_environment();
  size_t length = 0;
  if (start)
    while (start[length] || start[length + 1]) ++length;
  size_t head = wcslen(name) + 1 + wcslen(value) + 1;
  auto* block = static_cast<wchar_t*>(malloc((head + length + 2) * sizeof(wchar_t)));
  if (!block) return nullptr;
  swprintf(block, head, L"%ls=%ls", name, value);
  if (start && length) {
    wmemcpy(block + head, start, length + 1);
    block[head + length + 1] = 0;
  } else {
    block[head] = 0;
  }
  return block;
}


// The new launcher written beside this one, flushed, read back and tried; `*kept` is then open
// on it, sharing no delete access, so nobody removes it before it is renamed into place.
bool write_and_try(const bytes& candidate, const wchar_t* self, const wchar_t* written, HANDLE* kept) {
  HANDLE file = CreateFileW(written, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    wchar_t folder[launcher_path_capacity];
    wbuf_copy(folder, launcher_path_capacity, self);
    if (wchar_t* separator = wcsrchr(folder, L'\\')) *separator = 0;
    say_why("the launcher's folder cannot be written by this user; an update needs a folder its user can write:",
            folder, error);
    return false;
  }
  bool ok = write_all(file, candidate) && FlushFileBuffers(file);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) {
    DeleteFileW(written);
    say_why("the new launcher could not be written:", written, error);
    return false;
  }
  step("tavren-onefile update: written");
  *kept = CreateFileW(written, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (*kept == INVALID_HANDLE_VALUE) {
    say_why("the new launcher could not be opened again:", written, GetLastError());
    DeleteFileW(written);
    return false;
  }
  if (!reads_back(*kept, candidate)) {
    say_why("the new launcher does not read back as written:", written);
    delete_through(*kept);
    CloseHandle(*kept);
    return false;
  }
  // The new version's own start, before anything at the launcher's path changes: it must find
  // its payload, and a cached one installs its folder now, so the first start after is warm.
  wchar_t* environment = environment_with(L"" UPDATE_TRIAL_VARIABLE, self);
  wchar_t line[launcher_path_capacity + 2];
  swprintf(line, launcher_path_capacity + 2, L"\"%ls\"", written);
  long long code = update_run_and_wait(written, line, environment, true);
  free(environment);
  if (code != 0) {
    if (code < 0)
      say_why("the new launcher did not start:", written, GetLastError());
    else
      snprintf(g_why, why_capacity, "the new launcher's trial start ended with exit code %lld", code);
    delete_through(*kept);
    CloseHandle(*kept);
    return false;
  }
  step("tavren-onefile update: tried");
  return true;
}

// Puts the tried file `kept` at `self`, the old one going to `aside`: renamed aside, then the
// new one renamed into its place. Windows refuses to replace or delete the name of a running
// executable (Wine too, with error 5), and the old launcher runs, so one rename cannot do it;
// between the two the path holds nothing, for one system call. False, with everything as
// before, when either rename fails.
bool swap_into_place(HANDLE kept, const wchar_t* self, const wchar_t* aside) {
  if (!MoveFileExW(self, aside, MOVEFILE_WRITE_THROUGH)) {
    say_why("the running launcher could not be renamed:", self, GetLastError());
    return false;
  }
  if (rename_through(kept, self, false)) return true;
  DWORD error = GetLastError();
  MoveFileExW(aside, self, MOVEFILE_WRITE_THROUGH);
  say_why("the new launcher could not be put in place:", self, error);
  return false;
}

bool apply(const update_request& request, const wchar_t* self) {
  bytes candidate;
  if (!build_candidate(request, self, &candidate)) return false;
  wchar_t refusal[update_why_capacity];
  refusal[0] = 0;
  if (!update_candidate_acceptable(candidate.data, candidate.size, request.allow_downgrade, refusal,
                                   update_why_capacity)) {
    if (WideCharToMultiByte(CP_UTF8, 0, refusal, -1, g_why, why_capacity, nullptr, nullptr) <= 0) g_why[0] = 0;
    release(candidate);
    return false;
  }
  wchar_t written[launcher_path_capacity], aside[launcher_path_capacity];
  wbuf_copy(written, launcher_path_capacity, self);
  wbuf_append(written, launcher_path_capacity, L".onefile-new");
  wchar_t suffix[48];
  swprintf(suffix, 48, L".onefile-old-%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  wbuf_copy(aside, launcher_path_capacity, self);
  wbuf_append(aside, launcher_path_capacity, suffix);
  HANDLE kept = INVALID_HANDLE_VALUE;
  bool tried = write_and_try(candidate, self, written, &kept);
  release(candidate);
  if (!tried) return false;
  // An old version put aside by an earlier update of this same process id may still be there.
  DeleteFileW(aside);
  bool placed = swap_into_place(kept, self, aside);
  if (!placed) delete_through(kept);
  CloseHandle(kept);
  if (placed) step("tavren-onefile update: placed");
  return placed;
}

}  // namespace

long long update_run_and_wait(const wchar_t* image, wchar_t* line, const wchar_t* environment, bool quiet) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!quiet) startup = startup_with_own_handles();
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(
          image, line, nullptr, nullptr, !quiet, CREATE_UNICODE_ENVIRONMENT | (quiet ? CREATE_NO_WINDOW : 0),
          const_cast<wchar_t*>(environment ? environment : update_start_environment()), nullptr, &startup, &process)) {
    return -1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return code;
}

int update_after_run(int exit_code) {
  const wchar_t* request_path = update_request_path();
  if (!request_path[0]) return exit_code;
  bytes text;
  HANDLE probe = CreateFileW(request_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return exit_code;
  CloseHandle(probe);
  update_request* request = static_cast<update_request*>(malloc(sizeof(update_request)));
  wchar_t self[own_module_path_capacity];
  DWORD self_length = GetModuleFileNameW(nullptr, self, own_module_path_capacity);
  const char* parse_why = nullptr;
  bool applied = false;
  if (!request) {
    snprintf(g_why, why_capacity, "out of memory");
  } else if (self_length == 0 || self_length >= launcher_path_capacity - 32) {
    snprintf(g_why, why_capacity, "the launcher's own path is too long");
  } else if (!read_whole(request_path, "the request cannot be read:", &text)) {
  } else if (text.size > update_request_size_max) {
    snprintf(g_why, why_capacity, "the request is too long");
  } else if (!parse_update_request(reinterpret_cast<const char*>(text.data), text.size, request, &parse_why)) {
    snprintf(g_why, why_capacity, "%s", parse_why);
  } else {
    applied = apply(*request, self);
  }
  release(text);
  DeleteFileW(request_path);
  if (!applied) {
    char outcome[why_capacity + 16];
    snprintf(outcome, sizeof outcome, "refused: %s", g_why);
    update_write_status(outcome);
    fprintf(stderr, "Update refused: %s.\n", g_why);
    free(request);
    return exit_code;
  }
  update_write_status("applied");
  if (request->restart) {
    static wchar_t line[child_command_line_capacity + launcher_path_capacity];
    swprintf(line, launcher_path_capacity + 2, L"\"%ls\"", self);
    wcscat(line, request->arguments);
    long long code = update_run_and_wait(self, line, nullptr, false);
    if (code >= 0) exit_code = static_cast<int>(code);
  }
  free(request);
  return exit_code;
}
