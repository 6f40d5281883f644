// Turning an app folder into the list of entries a payload will hold, refusing anything the
// launcher could not write back out on Windows exactly as it was.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "packer/pe/pe_exports.h"

struct app_entry {
  std::string host_path;  ///< where to open it on this machine
  std::string display;    ///< path relative to the app folder with '/', for messages
  std::u16string name;    ///< path relative to the app folder with '\', as stored
  uint64_t size;          ///< bytes at scan time; the writer insists it is still so
};

struct app_contents {
  std::vector<app_entry> entries;          ///< main library first, then by UTF-16 name units
  uint64_t content_bytes = 0;              ///< sum of entry sizes
  std::vector<std::string> warnings;       ///< things worth saying that do not stop the pack
  main_entry entry = main_entry::library;  ///< what the main file is
};

/// Walks `app_dir` and checks `main_path` (relative to it; '/' or '\' separated) is a file a
/// launcher can run (main_file_fault; refused with exit_usage). Follows symbolic links to
/// files wherever they lead and to folders inside `app_dir`. Throws pack_error naming the first fault.
app_contents scan_app(const std::string& app_dir, const std::string& main_path);
