// What an application asks of its launcher once it has downloaded a new release: a small
// UTF-8 text it writes to the file TAVREN_ONEFILE_UPDATE_REQUEST names, one "key=value" a line.
//   file=<full path of the new launcher, or of a delta from this one>   once, required
//   restart=yes|no          start the new version once it is in place (default no)
//   argument=<text>         one argument of the restarted version, in order; any number
//   allow-downgrade=yes|no  accept a version older than the running one (default no)
#pragma once

#include <stddef.h>

#include "launcher/run_state.h"

/// Largest request the launcher reads, in bytes.
constexpr size_t update_request_size_max = 65536;

struct update_request {
  wchar_t file[launcher_path_capacity];
  bool restart;
  bool allow_downgrade;
  /// The restarted version's arguments, each quoted as the system's splitter takes it back and
  /// preceded by a blank: what follows the program's own quoted path on its command line.
  wchar_t arguments[child_command_line_capacity];
};

/// Parses the `size` bytes of `text` into `request`. False, with `why` naming the fault in a few
/// words, for text that is not UTF-8, a line without "=", an unknown key, a value that is not
/// yes or no, a missing or repeated or relative file, or arguments that do not fit.
bool parse_update_request(const char* text, size_t size, update_request* request, const char** why);
