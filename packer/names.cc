#include "packer/names.h"

#include <stdint.h>

#include <cstdio>

#include "packer/host.h"

namespace {

/// Decodes one code point at text[*at]; returns false on any invalid or truncated form.
bool next_code_point(std::string_view text, size_t* at, char32_t* point) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  size_t i = *at;
  unsigned char lead = byte(i);
  size_t length;
  char32_t value, minimum;
  if (lead < 0x80) {
    *point = lead;
    *at = i + 1;
    return true;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    minimum = 0x10000;
  } else
    return false;
  if (text.size() - i < length) return false;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *point = value;
  *at = i + length;
  return true;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  }
}

bool ascii_equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    char32_t c;
    if (!next_code_point(text, &at, &c)) return std::nullopt;
    append_utf16(out, c);
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text, bool* valid) {
  std::string out;
  if (valid) *valid = true;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
      if (valid) *valid = false;
    }
    append_utf8(out, c);
  }
  return out;
}

std::string shown_file_name(std::u16string_view name, bool* valid) {
  std::string out;
  *valid = true;
  for (size_t start = 0; start < name.size();) {
    size_t i = start;
    // Runs of well-formed units convert as they are; a lone surrogate is spelt out.
    while (i < name.size()) {
      char16_t c = name[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF)
        i += 2;
      else if (c >= 0xD800 && c <= 0xDFFF)
        break;
      else
        ++i;
    }
    out += utf16_to_utf8(name.substr(start, i - start));
    if (i < name.size()) {
      char unit[8];
      snprintf(unit, sizeof unit, "\\u%04X", static_cast<unsigned>(name[i]));
      out += unit;
      *valid = false;
      ++i;
    }
    start = i;
  }
  return out;
}

std::string quote_name(std::string_view name) {
  std::string out = "'";
  for (size_t at = 0; at < name.size();) {
    size_t start = at;
    char32_t c;
    // C1 controls too: a terminal may act on U+009B as on ESC [.
    if (next_code_point(name, &at, &c) && c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)) {
      out.append(name.substr(start, at - start));
      continue;
    }
    at = start + 1;
    char hex[5];
    snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(name[start]));
    out += hex;
  }
  out += "'";
  return out;
}

const char* windows_component_fault(std::string_view component) {
  if (component.empty()) return "has an empty component";
  for (unsigned char c : component) {
    if (c < 0x20) return "contains a control character, which Windows does not allow in names";
    switch (c) {
      case '<':
      case '>':
      case ':':
      case '"':
      case '|':
      case '?':
      case '*': return "contains one of <>:\"|?*, which Windows does not allow in names";
      case '\\': return "contains a backslash, which Windows reads as a folder separator";
      default: break;
    }
  }
  char last = component.back();
  if (last == '.' || last == ' ') return "has a component ending in a dot or space, which Windows drops";
  // Device names stay devices whatever extension follows them: "nul.txt" opens NUL.
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : devices)
    if (ascii_equal_ignoring_case(base, device)) return "is a reserved Windows device name";
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9' &&
      (ascii_equal_ignoring_case(base.substr(0, 3), "COM") || ascii_equal_ignoring_case(base.substr(0, 3), "LPT")))
    return "is a reserved Windows device name";
  return nullptr;
}

std::u16string fold_case(std::u16string_view name) {
  std::u16string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    char32_t c = name[i];
    bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF;
    if (pair) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      out += static_cast<char16_t>(c);
      continue;
    }
    append_utf16(out, host_upper_case(c));
  }
  return out;
}
