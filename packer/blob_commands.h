// The read-side subcommands: list, verify and extract. Each takes a blob or a launcher
// executable, prints its result on stdout and throws pack_error for the first fault. All
// three refuse every blob a launcher would refuse, so what they accept is what runs.
#pragma once

#include <string>

/// One line per entry: size, a tab, the name in UTF-8.
void list_payload(const std::string& file);

/// Decodes everything and checks the layout and entries; prints "ok: N entries, X bytes".
void verify_payload(const std::string& file);

/// Verifies, then writes every entry under `folder` (created if missing). Never passes
/// through a symbolic link and never replaces an existing file. `verbose` prints each name written.
void extract_payload(const std::string& file, const std::string& folder, bool verbose);
