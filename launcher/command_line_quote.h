// Quoting one argument so that the system's command-line splitter gives it back unchanged.
// A template over the unit type so it also builds natively for fuzzing.
#pragma once

#include <stddef.h>
#include <stdlib.h>

/// A fixed-capacity command line: `capacity` units, the terminator included.
template <class Unit>
struct command_line_buffer {
  Unit* units;
  size_t capacity;
  size_t length;
};

template <class Unit>
inline void command_line_append(command_line_buffer<Unit>* line, Unit unit) {
  // The text never grows past capacity - 1 characters; nothing is truncated.
  if (line->length + 1 >= line->capacity) abort();
  line->units[line->length++] = unit;
  line->units[line->length] = 0;
}

template <class Unit>
inline bool argument_needs_quotes(const Unit* argument) {
  for (const Unit* c = argument; *c; ++c) {
    if (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\v' || *c == '"') return true;
  }
  return false;
}

/// Appends `argument`: bare if it holds no quoting character, otherwise between double
/// quotes with backslash runs before a quote (or the end) doubled and quotes escaped. An
/// empty argument is written as "" so the child still receives it.
template <class Unit>
void append_argument(command_line_buffer<Unit>* line, const Unit* argument) {
  if (argument[0] == 0) {
    command_line_append<Unit>(line, '"');
    command_line_append<Unit>(line, '"');
    return;
  }
  if (!argument_needs_quotes(argument)) {
    for (const Unit* c = argument; *c; ++c) command_line_append(line, *c);
    return;
  }
  command_line_append<Unit>(line, '"');
  size_t backslashes = 0;
  for (const Unit* c = argument;; ++c) {
    if (*c == '\\') {
      ++backslashes;
      continue;
    }
    if (*c == 0) {
      for (size_t i = 0; i < 2 * backslashes; ++i) command_line_append<Unit>(line, '\\');
      break;
    }
    size_t count = *c == '"' ? 2 * backslashes + 1 : backslashes;
    for (size_t i = 0; i < count; ++i) command_line_append<Unit>(line, '\\');
    command_line_append(line, *c);
    backslashes = 0;
  }
  command_line_append<Unit>(line, '"');
}
