// Entry names: the UTF-8 the host hands us, the UTF-16 the payload stores, and the rules
// Windows applies to names when the launcher writes them back out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "formats/payload.h"

/// Strict UTF-8 to UTF-16 (no overlong forms, no surrogates, nothing above U+10FFFF).
/// Returns nullopt for anything that is not valid UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);

/// UTF-16 to UTF-8 for display and for host file names. An unpaired surrogate becomes
/// U+FFFD and clears *valid (when given).
std::string utf16_to_utf8(std::u16string_view text, bool* valid = nullptr);

/// A file name from the system for messages: UTF-8, each unpaired surrogate spelt "\uD800"
/// (no real Windows name holds a '\', so it cannot be mistaken for one). Clears *valid when
/// it finds one.
std::string shown_file_name(std::u16string_view name, bool* valid);

/// `name` in single quotes, with control characters and bytes that are not UTF-8 shown as
/// \xHH so a message never carries raw terminal bytes.
std::string quote_name(std::string_view name);

/// Why Windows would not accept `component` (one UTF-8 path component) as a file or folder
/// name, or nullptr when it would. Does not check UTF-8 validity.
const char* windows_component_fault(std::string_view component);

/// `name` with each code point replaced by its simple case folding, for spotting names that
/// a case-insensitive file system sees as one. Unpaired surrogates are kept as they are.
std::u16string fold_case(std::u16string_view name);
