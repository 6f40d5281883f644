#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <iostream>

#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"

const char host_path_separators[] = "/\\";
const char host_name_encoding[] = "UTF-16";

namespace {

/// Sets errno for a Win32 error; the words errno_text gives for it are the ones Linux uses.
void set_errno(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DIRECTORY: errno = ENOTDIR; break;
    case ERROR_DIR_NOT_EMPTY: errno = ENOTEMPTY; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_BAD_EXE_FORMAT: errno = ENOEXEC; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: errno = EPIPE; break;
    case ERROR_NOT_SAME_DEVICE: errno = EXDEV; break;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER: errno = EINVAL; break;
    default: errno = EIO; break;
  }
}

void set_errno() { set_errno(GetLastError()); }

std::wstring as_wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::string as_utf8(std::wstring_view text, bool* valid = nullptr) {
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()), valid);
}

/// `path` as Win32 wants it: UTF-16, absolute and behind \\?\ (\\?\UNC\ for a share), so
/// neither MAX_PATH nor '.' and '..' parsing stands in the way. Devices (\\.\NUL) stay so.
std::wstring wide_path(const std::string& path) {
  std::optional<std::u16string> units = utf8_to_utf16(path);
  if (!units) return std::wstring();
  std::wstring wide = as_wide(*units);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  full.resize(length);
  if (full.rfind(L"\\\\.\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

/// Without the \\?\ prefix, for messages and for comparing real paths.
std::string plain_path(std::wstring path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
    path = L"\\\\" + path.substr(8);
  else if (path.rfind(L"\\\\?\\", 0) == 0)
    path = path.substr(4);
  return as_utf8(path);
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

int fd_of(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno();
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

HANDLE open_any(const std::wstring& path, DWORD access, DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool fill_info(HANDLE handle, host_file_info* info) {
  BY_HANDLE_FILE_INFORMATION facts;
  if (!GetFileInformationByHandle(handle, &facts)) {
    set_errno();
    return false;
  }
  if (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    info->kind = host_file_info::folder;
  else
    info->kind = GetFileType(handle) == FILE_TYPE_DISK ? host_file_info::file : host_file_info::other;
  info->size = (uint64_t{facts.nFileSizeHigh} << 32) | facts.nFileSizeLow;
  info->volume = facts.dwVolumeSerialNumber;
  info->index = (uint64_t{facts.nFileIndexHigh} << 32) | facts.nFileIndexLow;
  return true;
}

std::wstring real_wide_path(const std::wstring& path) {
  HANDLE handle = open_any(path, 0);
  if (handle == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring out(32768, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, out.data(), static_cast<DWORD>(out.size()), VOLUME_NAME_DOS);
  CloseHandle(handle);
  if (length == 0 || length >= out.size()) return std::wstring();
  out.resize(length);
  return out;
}

bool same_name_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

/// A fresh six-character suffix for temporary names.
std::wstring random_suffix() {
  static LONG counter = 0;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  uint64_t state = static_cast<uint64_t>(now.QuadPart) ^ (uint64_t{GetCurrentProcessId()} << 32) ^
                   static_cast<uint64_t>(InterlockedIncrement(&counter)) * 0x9E3779B97F4A7C15u;
  static const wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::wstring out;
  for (int i = 0; i < 6; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    out += letters[(state >> 33) % 62];
  }
  return out;
}

void (*interrupt_cleanup)() = nullptr;
HANDLE volatile running_tool = nullptr;
SRWLOCK interrupt_lock = SRWLOCK_INIT;

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  // Never released: the process is ending, and nothing may make a temporary after this.
  AcquireSRWLockExclusive(&interrupt_lock);
  if (HANDLE tool = running_tool) TerminateProcess(tool, 1);
  if (interrupt_cleanup) interrupt_cleanup();
  return FALSE;  // the default handler ends the process as Ctrl+C would have
}

/// One argument quoted so the C runtime's parser hands it back unchanged.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

}  // namespace

std::string errno_text(int error) {
  // glibc's words, so a message reads the same from both packers.
  switch (error) {
    case ENOENT: return "No such file or directory";
    case EACCES: return "Permission denied";
    case EEXIST: return "File exists";
    case ENOTDIR: return "Not a directory";
    case EISDIR: return "Is a directory";
    case ENOTEMPTY: return "Directory not empty";
    case ENOSPC: return "No space left on device";
    case ENOMEM: return "Cannot allocate memory";
    case ENOEXEC: return "Exec format error";
    case ENAMETOOLONG: return "File name too long";
    case EPIPE: return "Broken pipe";
    case EXDEV: return "Invalid cross-device link";
    case EINVAL: return "Invalid argument";
    case EMFILE: return "Too many open files";
    case EIO: return "Input/output error";
    default: return strerror(error);
  }
}

char32_t host_upper_case(char32_t c) {
  std::u16string in;
  if (c < 0x10000) {
    in += static_cast<char16_t>(c);
  } else {
    in += static_cast<char16_t>(0xD800 | ((c - 0x10000) >> 10));
    in += static_cast<char16_t>(0xDC00 | ((c - 0x10000) & 0x3FF));
  }
  wchar_t out[4];
  int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, reinterpret_cast<const wchar_t*>(in.data()),
                        static_cast<int>(in.size()), out, 4, nullptr, nullptr, 0);
  if (n == 1 && !(out[0] >= 0xD800 && out[0] <= 0xDFFF)) return out[0];
  if (n == 2 && out[0] >= 0xD800 && out[0] <= 0xDBFF && out[1] >= 0xDC00 && out[1] <= 0xDFFF)
    return 0x10000 + ((char32_t{out[0]} - 0xD800) << 10) + (char32_t{out[1]} - 0xDC00);
  return c;
}

bool host_stat(const std::string& path, host_file_info* info) {
  std::wstring wide = wide_path(path);
  HANDLE handle = open_any(wide, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno();
    return false;
  }
  bool ok = fill_info(handle, info);
  CloseHandle(handle);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  info->is_link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  // Wine shows a Unix symbolic link as what it leads to: for a folder, where a link matters,
  // the real path tells.
  if (ok && !info->is_link && info->kind == host_file_info::folder) {
    std::wstring real = real_wide_path(wide);
    std::wstring parent = wide.substr(0, wide.find_last_of(L'\\'));
    std::wstring real_parent = real_wide_path(parent);
    if (!real.empty() && !real_parent.empty())
      info->is_link = !same_name_ignoring_case(real, real_parent + wide.substr(parent.size()));
  }
  return ok;
}

bool host_fstat(int fd, host_file_info* info) { return fill_info(handle_of(fd), info); }

bool host_list_folder(const std::string& path, std::vector<host_name>* names) {
  std::wstring pattern = wide_path(path) + L"\\*";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;  // a drive's root has no "." to find
    set_errno(error);
    return false;
  }
  do {
    std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    bool valid;
    std::string utf8 =
        shown_file_name(std::u16string_view(reinterpret_cast<const char16_t*>(name.data()), name.size()), &valid);
    names->push_back({std::move(utf8), valid});
  } while (FindNextFileW(search, &found));
  DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    set_errno(error);
    return false;
  }
  return true;
}

std::string host_real_path(const std::string& path) {
  std::wstring real = real_wide_path(wide_path(path));
  return real.empty() ? std::string() : plain_path(real);
}

bool host_is_inside(const std::string& path, const std::string& root) {
  std::wstring wide_root = as_wide(utf8_to_utf16(root).value_or(u""));
  std::wstring wide = as_wide(utf8_to_utf16(path).value_or(u""));
  if (wide_root.empty() || wide.empty()) return false;
  if (wide_root.back() == L'\\') wide_root.pop_back();
  if (wide.size() < wide_root.size() || !same_name_ignoring_case(wide.substr(0, wide_root.size()), wide_root))
    return false;
  return wide.size() == wide_root.size() || wide[wide_root.size()] == L'\\';
}

int host_open_read(const std::string& path) {
  std::wstring wide = wide_path(path);
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      errno = EISDIR;
      return -1;
    }
    set_errno(error);
    return -1;
  }
  return fd_of(handle);
}

int host_create_new(const std::string& path) {
  return fd_of(CreateFileW(wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

long long host_read(int fd, void* data, size_t size) {
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
  if (!ReadFile(handle_of(fd), data, want, &got, nullptr)) {
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
    set_errno();
    return -1;
  }
  return got;
}

bool host_write_all(int fd, const void* data, size_t size) {
  const unsigned char* at = static_cast<const unsigned char*>(data);
  while (size > 0) {
    DWORD put = 0;
    DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    if (!WriteFile(handle_of(fd), at, want, &put, nullptr)) {
      set_errno();
      return false;
    }
    at += put;
    size -= put;
  }
  return true;
}

bool host_write_at(int fd, const void* data, size_t size, uint64_t offset) {
  HANDLE handle = handle_of(fd);
  LARGE_INTEGER zero{}, position;
  if (!SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) {
    set_errno();
    return false;
  }
  const unsigned char* at = static_cast<const unsigned char*>(data);
  bool ok = true;
  while (size > 0 && ok) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD put = 0;
    DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    ok = WriteFile(handle, at, want, &put, &where);
    if (!ok) set_errno();
    at += put;
    offset += put;
    size -= put;
  }
  // A positioned write moves a Windows file's position; a Linux one does not.
  SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  return ok;
}

bool host_seek(int fd, uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  if (SetFilePointerEx(handle_of(fd), to, nullptr, FILE_BEGIN)) return true;
  set_errno();
  return false;
}

bool host_resize(int fd, uint64_t size) {
  HANDLE handle = handle_of(fd);
  LARGE_INTEGER zero{}, position, to;
  to.QuadPart = static_cast<LONGLONG>(size);
  bool ok = SetFilePointerEx(handle, zero, &position, FILE_CURRENT) &&
            SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
  if (!ok) set_errno();
  SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  return ok;
}

bool host_sync(int fd) {
  if (FlushFileBuffers(handle_of(fd))) return true;
  set_errno();
  return false;
}

bool host_close(int fd) { return _close(fd) == 0; }

const unsigned char* host_map(int fd, size_t size) {
  HANDLE mapping = CreateFileMappingW(handle_of(fd), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) {
    set_errno();
    return nullptr;
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  if (!view) set_errno();
  CloseHandle(mapping);  // the view keeps what it needs
  return static_cast<const unsigned char*>(view);
}

void host_unmap(const unsigned char* data, size_t) { UnmapViewOfFile(data); }

int host_open_scratch() {
  wchar_t folder[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) {
    set_errno();
    return -1;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring path = std::wstring(folder, length) + L"tavren-pack-" + random_suffix() + L".tmp";
    HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return fd_of(handle);
  }
  errno = EEXIST;
  return -1;
}

int host_create_temp_file(const std::string& prefix, std::string* path) {
  std::wstring base = wide_path(prefix);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = base + random_suffix();
    // Shared for deletion, so an interrupt can remove it while it is still open.
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
    int fd = fd_of(handle);
    if (fd >= 0) *path = plain_path(name);
    return fd;
  }
  errno = EEXIST;
  return -1;
}

bool host_create_temp_folder(const std::string& prefix, std::string* path) {
  std::wstring base = wide_path(prefix);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = base + random_suffix();
    if (CreateDirectoryW(name.c_str(), nullptr)) {
      *path = plain_path(name);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      set_errno();
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

bool host_make_folder(const std::string& path) {
  std::wstring wide = wide_path(path);
  if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
  DWORD error = GetLastError();
  // A drive or share root cannot be made, but it is there.
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) error = ERROR_ALREADY_EXISTS;
  set_errno(error);
  return false;
}

bool host_set_mode(const std::string&, int, unsigned) { return true; }

bool host_rename_over(const std::string& from, const std::string& to) {
  std::wstring target = wide_path(to);
  if (MoveFileExW(wide_path(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  set_errno();
  DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) errno = EISDIR;
  return false;
}

bool host_remove_file(const char* path) {
  if (DeleteFileW(wide_path(path).c_str())) return true;
  set_errno();
  return false;
}

bool host_remove_folder(const char* path) {
  if (RemoveDirectoryW(wide_path(path).c_str())) return true;
  set_errno();
  return false;
}

bool host_readable(const std::string& path) {
  int fd = host_open_read(path);
  if (fd < 0) return false;
  host_close(fd);
  return true;
}

int host_create_below(const std::string& root, const std::vector<std::string>& parts, std::string* fault) {
  std::wstring folder = wide_path(root);
  std::wstring real_root = real_wide_path(folder);
  if (!real_root.empty()) folder = real_root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    std::wstring inner = folder + L"\\" + as_wide(*utf8_to_utf16(parts[i]));
    if (!CreateDirectoryW(inner.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      set_errno();
      *fault = errno_text(errno);
      return -1;
    }
    // A link, a junction or (under Wine) a Unix symbolic link resolves somewhere else. Wine
    // cannot give the real path of a folder more than about 300 characters deep: there the
    // attributes alone decide.
    DWORD attributes = GetFileAttributesW(inner.c_str());
    std::wstring real = real_wide_path(inner);
    const char* reason = nullptr;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      reason = "Not a directory";
    else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || (!real.empty() && !same_name_ignoring_case(real, inner)))
      reason = "Too many levels of symbolic links";
    if (reason) {
      *fault = "folder " + quote_name(parts[i]) + " on its path is a file or symbolic link (" + reason + ")";
      return -1;
    }
    folder = inner;
  }
  std::wstring leaf = folder + L"\\" + as_wide(*utf8_to_utf16(parts.back()));
  int fd = fd_of(CreateFileW(leaf.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (fd < 0) *fault = errno_text(errno);
  return fd;
}

void host_remove_below(const std::string& root, const std::vector<std::string>& parts) {
  std::string path = root;
  for (const std::string& part : parts) path += "\\" + part;
  host_remove_file(path.c_str());
}

void host_on_interrupt(void (*cleanup)()) {
  interrupt_cleanup = cleanup;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

host_interrupts_held::host_interrupts_held() { AcquireSRWLockExclusive(&interrupt_lock); }
host_interrupts_held::~host_interrupts_held() { ReleaseSRWLockExclusive(&interrupt_lock); }

std::string host_find_program(const std::string& program) {
  DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::wstring folders(needed, L'\0');
  folders.resize(needed ? GetEnvironmentVariableW(L"PATH", folders.data(), needed) : 0);
  std::wstring name = as_wide(*utf8_to_utf16(program));
  if (name.find(L'.') == std::wstring::npos) name += L".exe";
  size_t start = 0;
  for (size_t i = 0; i <= folders.size(); ++i) {
    if (i < folders.size() && folders[i] != L';') continue;
    std::wstring folder = folders.substr(start, i - start);
    start = i + 1;
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
      folder = folder.substr(1, folder.size() - 2);
    if (folder.empty()) continue;
    std::string candidate = as_utf8(folder + (folder.back() == L'\\' ? L"" : L"\\") + name);
    host_file_info info;
    if (host_stat(candidate, &info) && info.kind == host_file_info::file) return candidate;
  }
  return "";
}

bool host_run_tool(const std::vector<std::string>& args, const std::string& log, int* exit_code) {
  std::wstring command_line;
  for (const std::string& arg : args) {
    if (!command_line.empty()) command_line += L' ';
    command_line += quoted(as_wide(*utf8_to_utf16(arg)));
  }
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileW(wide_path(log).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherited,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    set_errno();
    return false;
  }
  // The tool would otherwise ask on our console for a password we were not given.
  HANDLE none =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = none;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  std::wstring application = wide_path(args[0]);
  // Detached: the tool needs no console, and a console host made for it would hold the log
  // open after the tool has ended.
  BOOL started = CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                nullptr, nullptr, &startup, &process);
  DWORD error = GetLastError();
  CloseHandle(output);
  if (none != INVALID_HANDLE_VALUE) CloseHandle(none);
  if (!started) {
    set_errno(error);
    return false;
  }
  CloseHandle(process.hThread);
  running_tool = process.hProcess;
  WaitForSingleObject(process.hProcess, INFINITE);
  running_tool = nullptr;
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  *exit_code = static_cast<int>(code & 0x7FFFFFFF);
  return true;
}

namespace {

int stderr_console = -1;  // -1 not yet asked

bool is_console(HANDLE handle) {
  DWORD mode;
  return handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

HANDLE console_reader = nullptr, console_thread = nullptr, console_out = INVALID_HANDLE_VALUE;
bool console_fds[3] = {};

/// Bytes a UTF-8 sequence starting with `lead` takes (1 for a byte that starts none).
size_t sequence_length(unsigned char lead) { return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1; }

/// `text` as UTF-16 for the console; a byte that starts no valid sequence shows as U+FFFD.
std::u16string console_units(std::string_view text) {
  std::u16string units;
  for (size_t at = 0; at < text.size();) {
    size_t length = std::min(sequence_length(static_cast<unsigned char>(text[at])), text.size() - at);
    std::optional<std::u16string> part = utf8_to_utf16(text.substr(at, length));
    units += part ? *part : u"\uFFFD";
    at += part ? length : 1;
  }
  return units;
}

/// Passes what comes through the pipe to the console, holding back a sequence cut at a
/// read's end until its rest arrives.
DWORD WINAPI pump_to_console(void*) {
  constexpr size_t chunk = 4096;
  char bytes[chunk + 3];
  size_t held = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(console_reader, bytes + held, chunk, &got, nullptr) || got == 0) break;
    size_t end = held + got, whole = end;
    for (size_t back = 1; back <= 3 && back <= end; ++back) {
      unsigned char c = static_cast<unsigned char>(bytes[end - back]);
      if ((c & 0xC0) == 0x80) continue;
      if (sequence_length(c) > back) whole = end - back;
      break;
    }
    std::u16string units = console_units(std::string_view(bytes, whole));
    DWORD written;
    if (!units.empty()) WriteConsoleW(console_out, units.data(), static_cast<DWORD>(units.size()), &written, nullptr);
    held = end - whole;
    memmove(bytes, bytes + whole, held);
  }
  return 0;
}

}  // namespace

bool host_stderr_is_terminal() {
  if (stderr_console < 0) stderr_console = is_console(GetStdHandle(STD_ERROR_HANDLE));
  return stderr_console == 1;
}

host_console_output::host_console_output() {
  host_stderr_is_terminal();
  fflush(stdout);
  fflush(stderr);
  HANDLE writer = nullptr;
  for (int fd : {1, 2}) {
    HANDLE handle = GetStdHandle(fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (!is_console(handle)) {
      _setmode(fd, _O_BINARY);
      continue;
    }
    if (!writer) {
      console_out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      if (console_out == INVALID_HANDLE_VALUE || !CreatePipe(&console_reader, &writer, nullptr, 0)) return;
      DWORD mode;
      // The progress line redraws itself with ANSI sequences.
      if (GetConsoleMode(console_out, &mode)) SetConsoleMode(console_out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
    int pipe_fd = _open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_BINARY);
    if (pipe_fd < 0) continue;
    _dup2(pipe_fd, fd);
    _close(pipe_fd);
    console_fds[fd] = true;
    // _close closed the pipe's first handle: the next stream needs one of its own.
    writer = nullptr;
    if (fd == 1) {
      HANDLE again;
      if (DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(_get_osfhandle(1)), GetCurrentProcess(), &again,
                          0, FALSE, DUPLICATE_SAME_ACCESS))
        writer = again;
    }
  }
  if (writer) CloseHandle(writer);
  if (console_fds[1] || console_fds[2]) console_thread = CreateThread(nullptr, 0, pump_to_console, nullptr, 0, nullptr);
}

host_console_output::~host_console_output() {
  std::cout.flush();
  std::cerr.flush();
  fflush(stdout);
  fflush(stderr);
  if (!console_thread) return;
  for (int fd : {1, 2})
    if (console_fds[fd]) _close(fd);
  WaitForSingleObject(console_thread, INFINITE);
  CloseHandle(console_thread);
}
