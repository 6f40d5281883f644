// Random argument vectors: quoting them into one command line and splitting that line by
// the system's documented rules must give back exactly the same arguments.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "launcher/child_command_line.h"
#include "launcher/command_line_quote.h"

// The splitter's rules for every argument after the first: 2n backslashes before a quote
// give n backslashes and toggle quoting, 2n+1 give n and a literal quote, a quote doubled
// inside a quoted run gives one quote; backslashes elsewhere are literal.
static std::vector<std::u16string> split_arguments(const std::u16string& line, size_t start) {
  std::vector<std::u16string> result;
  size_t i = start;
  const size_t n = line.size();
  for (;;) {
    while (i < n && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= n) break;
    std::u16string argument;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
      size_t backslashes = 0;
      while (i < n && line[i] == u'\\') ++backslashes, ++i;
      if (i < n && line[i] == u'"') {
        argument.append(backslashes / 2, u'\\');
        if (backslashes % 2) {
          argument.push_back(u'"');
          ++i;
        } else if (quoted && i + 1 < n && line[i + 1] == u'"') {
          argument.push_back(u'"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument.append(backslashes, u'\\');
        if (i < n && (quoted || (line[i] != u' ' && line[i] != u'\t'))) argument.push_back(line[i++]);
      }
    }
    result.push_back(argument);
  }
  return result;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Arguments are separated by 0xFFFF units; a small alphabet keeps the interesting ones common.
  static const char16_t alphabet[] = {u'a', u'\\', u'"', u' ', u'\t', u'\n', u'\v', u'\r', u'b', 0x00e9, 0x4e2d, u'/'};
  std::vector<std::u16string> arguments(1, u"C:\\Program Files\\app.exe");
  std::u16string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(alphabet[data[i] % (sizeof alphabet / sizeof alphabet[0])]);
    }
  }
  arguments.push_back(current);

  // Quoted, an argument takes at most twice its units, two quotes and a separator. The
  // launcher aborts on a line past its buffer by design; such inputs say nothing about
  // quoting, so they are built in a buffer large enough and then skipped.
  size_t capacity = 1;
  for (const std::u16string& argument : arguments) capacity += 2 * argument.size() + 3;
  std::vector<char16_t> units(capacity);
  command_line_buffer<char16_t> line{units.data(), capacity, 0};
  units[0] = 0;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) command_line_append<char16_t>(&line, u' ');
    append_argument(&line, arguments[i].c_str());
  }
  if (line.length > child_command_line_capacity - 1) return 0;
  std::u16string text(units.data(), line.length);
  // The program name is read by its own rule (up to the closing quote); it never holds one.
  size_t first_end = text[0] == u'"' ? text.find(u'"', 1) + 1 : text.find(u' ');
  std::vector<std::u16string> back = split_arguments(text, first_end);
  if (back.size() != arguments.size() - 1) __builtin_trap();
  for (size_t i = 0; i < back.size(); ++i) {
    if (back[i] != arguments[i + 1]) __builtin_trap();
  }
  return 0;
}
