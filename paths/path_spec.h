// Path templates: literal text with tokens in braces, such as
// "{TEMP}\onefile_{PID}_{TIME_US}_{RANDOM}".
#pragma once

#include <stddef.h>
#include <wchar.h>

/// Capacity of a token name, terminator included; longer names match no token.
constexpr size_t path_spec_token_capacity = 1024;

/// Expands `spec` into `output` (capacity units, terminator included), writing from its first
/// unit. Returns false when a literal character does not fit, a token name is unknown (or
/// empty, or too long), a folder lookup fails or an inner expansion fails; the output then
/// holds what was expanded before. Aborts when a token's value does not fit, argv[0] is
/// missing, or TAVREN_ONEFILE_PARENT holds a non-digit. May create the run identity
/// variables (TAVREN_ONEFILE_START, _TIME_US, _RANDOM).
bool expand_path_spec(wchar_t* output, const wchar_t* spec, size_t capacity);

/// From now on {PROGRAM} (and so {PROGRAM_BASE}, {PROGRAM_DIR}) stands for `path`, which must
/// outlive every expansion, instead of argv[0]: a launcher's parent and child then agree
/// however the parent was started ("app" typed at a prompt, a relative path).
void set_path_spec_program(const wchar_t* path);
