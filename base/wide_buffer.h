// Bounded wide buffers: every path the launcher builds lives in a fixed UTF-16 array whose
// capacity counts the terminator. A result that does not fit ends the process through
// abort; nothing is ever truncated.
#pragma once

#include <stddef.h>
#include <wchar.h>

/// Appends `count` units of `text` to the zero-terminated string in `buffer`; aborts if the
/// result and its terminator exceed `capacity`.
void wbuf_append_n(wchar_t* buffer, size_t capacity, const wchar_t* text, size_t count);

/// Appends the zero-terminated `text`; aborts if it does not fit.
inline void wbuf_append(wchar_t* buffer, size_t capacity, const wchar_t* text) {
  wbuf_append_n(buffer, capacity, text, wcslen(text));
}

/// Replaces the content of `buffer` with `text`; aborts if it does not fit.
inline void wbuf_copy(wchar_t* buffer, size_t capacity, const wchar_t* text) {
  if (capacity > 0) buffer[0] = 0;
  wbuf_append(buffer, capacity, text);
}
