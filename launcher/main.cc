// The launcher's entry: a windowed program with no window, whose payload is linked in.
#include <stdint.h>
#include <windows.h>

#include "launcher/run_sequence.h"

extern "C" {
extern const unsigned char attached_payload[];
extern const uint64_t attached_payload_size;
}

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return run_sequence(attached_payload, static_cast<size_t>(attached_payload_size));
}
