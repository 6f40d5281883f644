#include "packer/manifest_xml.h"

#include <string.h>

#include <set>
#include <vector>

#include "packer/names.h"

namespace {

struct xml_fault {
  size_t at;
  std::string what;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool name_start(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool name_char(unsigned char c) { return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

std::string local_name(const std::string& name) { return name.substr(name.rfind(':') + 1); }

bool same_ignoring_case(std::string a, const char* b) {
  for (char& c : a)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return a == b;
}

void put_utf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// One pass over the text. Open elements are kept on a list, not on the call stack, so no
// nesting depth can exhaust it.
class reader {
 public:
  reader(const std::string& text, bool from_utf16) : text_(text), from_utf16_(from_utf16) {}

  manifest_facts run() {
    if (!utf8_to_utf16(text_)) fail("not UTF-8 text");
    for (size_t i = 0; i < text_.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(text_[i]);
      if (c < 0x20 && !is_space(static_cast<char>(c))) {
        at_ = i;
        fail("a control character");
      }
    }
    // The system's reader takes white space before the declaration, which XML does not allow.
    skip_space();
    if (starts("<?xml") && at_ + 5 < text_.size() && is_space(text_[at_ + 5])) declaration();
    misc();
    if (at_ >= text_.size()) fail("no root element");
    if (text_[at_] != '<') fail("text before the root element");
    size_t root_at = at_;
    open_element();
    if (local_name(root_) != "assembly") {
      at_ = root_at;
      fail("the root element is <" + root_ + ">, not <assembly>");
    }
    while (!open_.empty()) content();
    misc();
    if (at_ < text_.size()) fail("more after the root element");
    return facts_;
  }

 private:
  [[noreturn]] void fail(const std::string& what) { throw xml_fault{at_, what}; }

  bool starts(const char* s) const { return text_.compare(at_, strlen(s), s) == 0; }

  bool skip_space() {
    size_t from = at_;
    while (at_ < text_.size() && is_space(text_[at_])) ++at_;
    return at_ > from;
  }

  void expect(char c) {
    if (at_ >= text_.size() || text_[at_] != c) fail(std::string("'") + c + "' expected");
    ++at_;
  }

  std::string name() {
    size_t from = at_;
    if (at_ >= text_.size() || !name_start(static_cast<unsigned char>(text_[at_]))) fail("a name expected");
    while (at_ < text_.size() && name_char(static_cast<unsigned char>(text_[at_]))) ++at_;
    return text_.substr(from, at_ - from);
  }

  // "&...;" at the cursor, decoded onto `out`. Without a document type only the five
  // predefined entities and character references exist.
  void reference(std::string& out) {
    size_t end = text_.find(';', at_);
    if (end == std::string::npos || end - at_ > 12) fail("'&' that starts no reference");
    std::string body = text_.substr(at_ + 1, end - at_ - 1);
    static const char* const names[][2] = {{"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"apos", "'"}, {"quot", "\""}};
    for (const auto& entity : names) {
      if (body == entity[0]) {
        out += entity[1];
        at_ = end + 1;
        return;
      }
    }
    bool hex = body.size() > 1 && body[0] == '#' && body[1] == 'x';
    const char* digits = hex ? body.c_str() + 2 : body.c_str() + 1;
    unsigned long code = 0;
    if (body.empty() || body[0] != '#' || !*digits) fail("unknown entity &" + body + ";");
    for (const char* d = digits; *d; ++d) {
      int value = *d >= '0' && *d <= '9'          ? *d - '0'
                  : hex && *d >= 'a' && *d <= 'f' ? *d - 'a' + 10
                  : hex && *d >= 'A' && *d <= 'F' ? *d - 'A' + 10
                                                  : -1;
      if (value < 0 || code > 0x10FFFF) fail("bad character reference &" + body + ";");
      code = code * (hex ? 16 : 10) + static_cast<unsigned long>(value);
    }
    bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                   (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
    if (!allowed) fail("bad character reference &" + body + ";");
    put_utf8(out, code);
    at_ = end + 1;
  }

  // <?xml version="1.0" ...?>: the encoding it names must be the one the text came in.
  void declaration() {
    size_t end = text_.find("?>", at_);
    if (end == std::string::npos) fail("the XML declaration is not closed");
    std::string inside = text_.substr(at_ + 5, end - at_ - 5);
    size_t encoding = inside.find("encoding");
    if (encoding != std::string::npos) {
      size_t quote = inside.find_first_of("\"'", encoding);
      size_t close = quote == std::string::npos ? quote : inside.find(inside[quote], quote + 1);
      if (close == std::string::npos) fail("bad encoding in the XML declaration");
      std::string name = inside.substr(quote + 1, close - quote - 1);
      bool utf16 = same_ignoring_case(name, "utf-16");
      if (utf16 != from_utf16_ || (!utf16 && !same_ignoring_case(name, "utf-8")))
        fail("encoding " + name +
             (from_utf16_ ? " (the text is UTF-16)" : utf16 ? " (the text is UTF-8)" : " (only UTF-8 and UTF-16 are read)"));
    }
    at_ = end + 2;
  }

  void comment() {
    size_t end = text_.find("-->", at_ + 4);
    if (end == std::string::npos) fail("a comment is not closed");
    std::string inside = text_.substr(at_ + 4, end - at_ - 4);
    if (inside.find("--") != std::string::npos || (!inside.empty() && inside.back() == '-'))
      fail("'--' inside a comment");
    at_ = end + 3;
  }

  void instruction() {
    at_ += 2;
    if (same_ignoring_case(name(), "xml")) fail("an XML declaration that is not at the start");
    size_t end = text_.find("?>", at_);
    if (end == std::string::npos) fail("a processing instruction is not closed");
    at_ = end + 2;
  }

  // Space, comments and processing instructions, before and after the root.
  void misc() {
    for (;;) {
      skip_space();
      if (starts("<!--")) {
        comment();
      } else if (starts("<?")) {
        instruction();
      } else if (starts("<!DOCTYPE")) {
        fail("a document type declaration (not accepted in a manifest)");
      } else {
        return;
      }
    }
  }

  void open_element() {
    ++at_;
    std::string element = name();
    std::string local = local_name(element);
    std::set<std::string> seen;
    for (;;) {
      bool space = skip_space();
      if (starts("/>") || starts(">")) break;
      if (!space) fail("space expected before an attribute");
      std::string attribute = name();
      skip_space();
      expect('=');
      skip_space();
      if (at_ >= text_.size() || (text_[at_] != '"' && text_[at_] != '\'')) fail("a quoted value expected");
      char quote = text_[at_++];
      std::string value;
      while (at_ < text_.size() && text_[at_] != quote) {
        if (text_[at_] == '<') fail("'<' in an attribute value");
        if (text_[at_] == '&') {
          reference(value);
        } else {
          value += text_[at_++];
        }
      }
      expect(quote);
      if (!seen.insert(attribute).second) fail("attribute " + attribute + " given twice");
      if (local == "requestedExecutionLevel" && attribute == "level") facts_.level = value;
    }
    if (open_.empty() && root_.empty()) root_ = element;
    if (local == "supportedOS") ++facts_.supported_os;
    text_of_element_.clear();
    if (starts("/>")) {
      at_ += 2;
      return;
    }
    ++at_;
    open_.push_back(element);
  }

  void close_element() {
    at_ += 2;
    std::string element = name();
    skip_space();
    expect('>');
    if (element != open_.back()) fail("</" + element + "> closes <" + open_.back() + ">");
    if (local_name(element) == "longPathAware") {
      std::string value = text_of_element_;
      size_t first = value.find_first_not_of(" \t\r\n"), last = value.find_last_not_of(" \t\r\n");
      value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
      if (same_ignoring_case(value, "true")) facts_.long_path_aware = true;
    }
    text_of_element_.clear();
    open_.pop_back();
  }

  void content() {
    if (at_ >= text_.size()) fail("<" + open_.back() + "> is not closed");
    if (starts("</")) {
      close_element();
    } else if (starts("<!--")) {
      comment();
    } else if (starts("<![CDATA[")) {
      size_t end = text_.find("]]>", at_);
      if (end == std::string::npos) fail("a CDATA section is not closed");
      text_of_element_ += text_.substr(at_ + 9, end - at_ - 9);
      at_ = end + 3;
    } else if (starts("<?")) {
      instruction();
    } else if (starts("<!")) {
      fail("'<!' that starts no comment or CDATA section");
    } else if (text_[at_] == '<') {
      open_element();
    } else if (text_[at_] == '&') {
      reference(text_of_element_);
    } else {
      if (starts("]]>")) fail("']]>' in text");
      text_of_element_ += text_[at_++];
    }
  }

  const std::string& text_;
  bool from_utf16_;
  size_t at_ = 0;
  manifest_facts facts_;
  std::vector<std::string> open_;
  std::string root_;
  std::string text_of_element_;
};

// The text as UTF-8, told apart as the system's reader tells it: by a byte-order mark, or by
// the zero bytes of a UTF-16 "<" without one. Trailing NULs (a resource padded by its
// compiler) are no part of it. False for UTF-16 that does not decode.
bool manifest_as_utf8(const std::string& bytes, std::string* text, bool* from_utf16) {
  auto byte = [&](size_t at) { return static_cast<unsigned char>(bytes[at]); };
  size_t start = 0;
  *from_utf16 = false;
  bool big_endian = false;
  if (bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
    *from_utf16 = true, big_endian = byte(0) == 0xFE, start = 2;
  } else if (bytes.size() >= 2 && (byte(0) == 0) != (byte(1) == 0)) {
    *from_utf16 = true, big_endian = byte(0) == 0;
  } else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    start = 3;
  }
  if (!*from_utf16) {
    size_t end = bytes.find_last_not_of('\0');
    *text = end == std::string::npos || end < start ? "" : bytes.substr(start, end + 1 - start);
    return true;
  }
  std::u16string units;
  for (size_t at = start; at + 1 < bytes.size(); at += 2)
    units.push_back(static_cast<char16_t>(big_endian ? byte(at) << 8 | byte(at + 1) : byte(at) | byte(at + 1) << 8));
  size_t odd = (bytes.size() - start) % 2;
  while (!units.empty() && units.back() == 0) units.pop_back();
  if (odd && byte(bytes.size() - 1) != 0) return false;
  bool valid = true;
  *text = utf16_to_utf8(units, &valid);
  return valid;
}

}  // namespace

manifest_facts read_manifest(const std::string& bytes) {
  std::string text;
  bool from_utf16 = false;
  if (!manifest_as_utf8(bytes, &text, &from_utf16)) {
    manifest_facts facts;
    facts.fault = "line 1: not UTF-16 text";
    return facts;
  }
  try {
    return reader(text, from_utf16).run();
  } catch (const xml_fault& fault) {
    size_t line = 1;
    for (size_t i = 0; i < fault.at && i < text.size(); ++i) line += text[i] == '\n';
    manifest_facts facts;
    facts.fault = "line " + std::to_string(line) + ": " + fault.what;
    return facts;
  }
}
