#include "base/wide_buffer.h"

#include <stdlib.h>

void wbuf_append_n(wchar_t* buffer, size_t capacity, const wchar_t* text, size_t count) {
  size_t length = wcslen(buffer);
  if (length >= capacity || count >= capacity - length) abort();
  wmemcpy(buffer + length, text, count);
  buffer[length + count] = 0;
}
