// The launcher's fatal reports. Plain messages go to standard output through puts; formatted
// ones and system-error reports to standard error. Every message ends with one newline.
#pragma once

#include <stdint.h>
#include <wchar.h>

/// Writes "<message> ([Error <code as signed 32-bit>] <system text in US English>)\n" to
/// standard error, the system text stripped of trailing CR/LF (empty when the system has none).
void print_system_error(const char* message, uint32_t error_code);

/// Reports a template that could not be expanded, then aborts.
[[noreturn]] void fatal_expand_spec(const wchar_t* spec);

/// Reports a template the packer wrote that could not be expanded into an absolute folder,
/// as fatal_expand_spec does, then exits with 2: the launcher's own templates abort, but a
/// packed one comes from outside it.
[[noreturn]] void fatal_expand_packed_spec(const wchar_t* spec);

/// Reports the full path of a payload file that could not be created, then exits with 2.
[[noreturn]] void fatal_open_for_writing(const wchar_t* path);

/// Reports the folder a run unpacks into that could not be made, with the system error, then
/// exits with 2.
[[noreturn]] void fatal_create_folder(const wchar_t* path, uint32_t error_code);

/// Reports a folder on the way to the run's files that another account could change (a link
/// of theirs, or a folder of the user's own name that is not the user's), then exits with 2.
[[noreturn]] void fatal_foreign_folder(const wchar_t* path);

/// Reports a variable whose value the launcher cannot use as `name` asks, then exits with 2.
[[noreturn]] void fatal_bad_variable(const char* name, const wchar_t* value);

/// Reports a failed write with the code from GetLastError, then exits with 2. Call it right
/// after the failed WriteFile, before any other system call.
[[noreturn]] void fatal_unpack_write();

/// Writes a plain message with puts and exits with 2.
[[noreturn]] void fatal_plain(const char* message);
