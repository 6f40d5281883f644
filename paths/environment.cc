#include "paths/environment.h"

#include <stdlib.h>
#include <windows.h>

void widen_append(wchar_t* destination, const char* text, size_t capacity) {
  size_t length = wcslen(destination);
  if (length >= capacity) abort();
  size_t room = capacity - length;
  for (const char* p = text; *p; ++p) {
    const char single[2] = {*p, 0};
    wchar_t unit[2] = {0, 0};
    if (mbstowcs(unit, single, 2) != 1) abort();
    if (room < 2) abort();
    destination[length++] = unit[0];
    destination[length] = 0;
    --room;
  }
}

static void widen_name(wchar_t (&wide)[env_name_capacity], const char* name) {
  wide[0] = 0;
  widen_append(wide, name, env_name_capacity);
}

wchar_t* env_get(const char* name) {
  wchar_t wide[env_name_capacity];
  widen_name(wide, name);
  static wchar_t value[env_value_capacity];  // main thread only; 64 KiB kept off the stack
  DWORD length = GetEnvironmentVariableW(wide, value, env_value_capacity);
  if (length < 1 || length >= env_value_capacity) return nullptr;
  return _wcsdup(value);
}

bool env_set(const char* name, const wchar_t* value) {
  wchar_t wide[env_name_capacity];
  widen_name(wide, name);
  return SetEnvironmentVariableW(wide, value) != 0;
}

bool env_remove(const char* name) {
  wchar_t wide[env_name_capacity];
  widen_name(wide, name);
  return SetEnvironmentVariableW(wide, nullptr) != 0;
}
