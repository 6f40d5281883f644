// The launcher's TAVREN environment variables: 8-bit names widened to UTF-16, UTF-16 values.
#pragma once

#include <stddef.h>
#include <wchar.h>

/// Capacity of a widened variable name, terminator included.
constexpr size_t env_name_capacity = 40;
/// Capacity for reading a value back: the system's longest value and its terminator.
constexpr size_t env_value_capacity = 32768;

/// Appends the 8-bit `text` to the zero-terminated `destination`, byte by byte through the C
/// runtime's default conversion. Aborts if a byte does not become exactly one UTF-16 unit or
/// the result does not fit `capacity` (terminator included).
void widen_append(wchar_t* destination, const char* text, size_t capacity);

/// A new heap copy of the variable's value (the caller frees it), or null when the variable
/// is unset, empty, longer than 32,767 units or the copy cannot be made.
wchar_t* env_get(const char* name);

/// Sets the variable, replacing any earlier value. Returns the system call's success flag.
bool env_set(const char* name, const wchar_t* value);

/// Removes the variable. Returns the system call's success flag.
bool env_remove(const char* name);
