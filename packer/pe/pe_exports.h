// Recognising a main file: a 64-bit (x86-64 or ARM64) Windows DLL whose export table names
// run_code, or a 64-bit executable of the windowed or console subsystem. Parsed from the bytes
// alone, so the packer needs no Windows tooling to refuse a wrong file.
#pragma once

#include <stddef.h>

/// The symbol the launcher calls in the main library.
constexpr const char main_library_export[] = "run_code";

/// Why `image` (size bytes of a file) is not an x86-64 or ARM64 PE32+ DLL exporting run_code by
/// name, or nullptr when it is. Every offset is bounds-checked: any bytes are safe input.
const char* main_library_fault(const unsigned char* image, size_t size);

/// How a launcher runs its main file: loads the library and calls run_code, or starts the
/// executable as its child. The subsystem of an executable is kept for what the launcher shows.
enum class main_entry { library, executable_windowed, executable_console };

/// Why `image` can be no launcher's main file, or nullptr with `*entry` set. Judged by the
/// image's characteristics, never by its name: a DLL must pass main_library_fault; an
/// executable must be x64 (or IL-only .NET that runs as x64) of the windowed or console
/// subsystem. The reason names what the file is (a 32-bit executable, an ARM64 DLL, a driver).
const char* main_file_fault(const unsigned char* image, size_t size, main_entry* entry);

/// "library", "executable, windowed" or "executable, console", as list and verify print it.
const char* main_entry_text(main_entry entry);
