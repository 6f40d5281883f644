// The few symbols a C++ program built without exceptions or RTTI still takes from libstdc++,
// for targets where only its headers are at hand (Windows on ARM: Debian has no aarch64
// MinGW libstdc++). Allocation failure and library contract breaches end the process, as
// they would with exceptions disabled.
#include <stdlib.h>

#include <new>

void* operator new(size_t size) {
  void* p = malloc(size ? size : 1);
  if (!p) abort();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

extern "C" void __cxa_pure_virtual() { abort(); }

namespace std {
void __throw_length_error(const char*) { abort(); }
void __throw_logic_error(const char*) { abort(); }
void __throw_out_of_range(const char*) { abort(); }
void __throw_out_of_range_fmt(const char*, ...) { abort(); }
void __throw_bad_alloc() { abort(); }
void __throw_bad_array_new_length() { abort(); }
void __throw_invalid_argument(const char*) { abort(); }
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept { abort(); }
}  // namespace std
