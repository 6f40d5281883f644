// Recognising a main library: a 64-bit (x86-64 or ARM64) Windows DLL whose export table names run_code.
// Parsed from the bytes alone, so the packer needs no Windows tooling to refuse a wrong file.
#pragma once

#include <stddef.h>

/// The symbol the launcher calls in the main library.
constexpr const char main_library_export[] = "run_code";

/// Why `image` (size bytes of a file) is not an x86-64 or ARM64 PE32+ DLL exporting run_code by
/// name, or nullptr when it is. Every offset is bounds-checked: any bytes are safe input.
const char* main_library_fault(const unsigned char* image, size_t size);
