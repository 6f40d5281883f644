#include "paths/run_identity.h"

#include <stdio.h>
#include <windows.h>

#include "base/system_library.h"
#include "paths/environment.h"

// Whoever can guess the next folder name can try to make that folder first, so the name comes
// from the system's generator: RtlGenRandom, from Advapi32, which a parent loads anyway for
// the folder's access list. BCrypt gave the same bytes but cost every parent a library load;
// under Wine it also loads and sets up the TLS library with its own dependencies (tens of
// milliseconds, several hundred KiB). Bound on first use, like the other Advapi32 calls, so
// a process that never makes a name never loads it.
static bool system_random_bytes(uint8_t bytes[8]) {
  using function = BOOLEAN(WINAPI*)(void* buffer, ULONG length);
  static function generate = nullptr;
  if (!generate) {
    HMODULE library = load_system_library(L"advapi32.dll");
    if (!library) return false;
    generate = reinterpret_cast<function>(reinterpret_cast<void*>(GetProcAddress(library, "SystemFunction036")));
    if (!generate) return false;
  }
  return generate(bytes, 8) != FALSE;
}

random_source make_random_bytes(uint8_t bytes[8]) {
  if (system_random_bytes(bytes)) return random_from_system;
  // The folder is still created new and private; a guessable name costs only a retry.
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  int64_t c = counter.QuadPart;
  uint64_t v = static_cast<uint64_t>(c) ^ reinterpret_cast<uintptr_t>(&c);
  xorshift_bytes(static_cast<uint32_t>(v) ^ static_cast<uint32_t>(v >> 32) ^ GetCurrentProcessId(), bytes);
  return random_from_fallback;
}

void xorshift_bytes(uint32_t seed, uint8_t bytes[8]) {
  uint32_t x = seed == 0 ? 1 : seed;  // xorshift never leaves the all-zero state
  for (int i = 0; i < 8; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<uint8_t>(x);
  }
}

void encode_random_text(const uint8_t b[8], wchar_t* text) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  const unsigned index[11] = {
      static_cast<unsigned>(b[0] >> 2),
      static_cast<unsigned>(((b[0] & 3) << 4) | (b[1] >> 4)),
      static_cast<unsigned>(((b[1] & 15) << 2) | (b[2] >> 6)),
      static_cast<unsigned>(b[2] & 63),
      static_cast<unsigned>(b[3] >> 2),
      static_cast<unsigned>(((b[3] & 3) << 4) | (b[4] >> 4)),
      static_cast<unsigned>(((b[4] & 15) << 2) | (b[5] >> 6)),
      static_cast<unsigned>(b[5] & 63),
      static_cast<unsigned>(b[6] >> 2),
      static_cast<unsigned>(((b[6] & 3) << 4) | (b[7] >> 4)),
      static_cast<unsigned>((b[7] & 15) << 2),
  };
  for (int i = 0; i < 11; ++i) text[i] = static_cast<wchar_t>(alphabet[index[i]]);
  text[11] = 0;
}

static int64_t system_time_count() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

static const char* const identity_names[] = {"TAVREN_ONEFILE_START", "TAVREN_ONEFILE_TIME_US", "TAVREN_ONEFILE_RANDOM"};

void forget_run_identity() {
  for (const char* name : identity_names) env_remove(name);
}

const wchar_t* identity_text(identity_token token, wchar_t (&value)[identity_value_capacity], bool* owned) {
  const char* name = identity_names[token];
  if (wchar_t* stored = env_get(name)) {
    *owned = true;
    return stored;
  }
  *owned = false;
  value[0] = 0;
  char number[128];
  switch (token) {
    case identity_time:
      snprintf(number, sizeof number, "%lld", static_cast<long long>(system_time_count()));
      widen_append(value, number, identity_value_capacity);
      break;
    case identity_time_us:
      snprintf(number, sizeof number, "%06ld", static_cast<long>((system_time_count() / 10) % 1000000));
      widen_append(value, number, identity_value_capacity);
      break;
    case identity_random: {
      uint8_t bytes[8];
      make_random_bytes(bytes);
      encode_random_text(bytes, value);
      break;
    }
  }
  env_set(name, value);
  return value;
}
