// The values that make a run's target directory new and shared by parent and child: made by
// the first process that needs them and carried to its children in the environment.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

/// Capacity of the value buffer an expansion hands to identity_text.
constexpr size_t identity_value_capacity = 1024;

enum identity_token { identity_time, identity_time_us, identity_random };

/// Where make_random_bytes took its bytes from.
enum random_source { random_from_system, random_from_fallback };

/// Fills `bytes` with 8 bytes from the system's random source (RtlGenRandom from Advapi32,
/// bound on first use). Only if that source cannot be reached are they xorshift32 output
/// seeded from the performance counter, a stack address and the process id.
random_source make_random_bytes(uint8_t bytes[8]);

/// The fallback generator: eight xorshift32 steps (13, 17, 5) from `seed` (0 counts as 1),
/// byte i the low 8 bits after step i.
void xorshift_bytes(uint32_t seed, uint8_t bytes[8]);

/// Writes the 11-character URL-safe Base64 text of `bytes` (no padding) and a terminator.
void encode_random_text(const uint8_t bytes[8], wchar_t* text);

/// Removes the three TAVREN_ONEFILE_ identity variables, so the next expansion makes fresh
/// values (a new folder name) and a process started afterwards inherits none.
void forget_run_identity();

/// The token's text: the value of its TAVREN_ONEFILE_ variable when set and not empty,
/// otherwise a fresh value made into `value` and stored in that variable. Returns either a
/// heap copy that the caller frees (`*owned` true) or `value` itself.
const wchar_t* identity_text(identity_token token, wchar_t (&value)[identity_value_capacity], bool* owned);
