// What the payload and build commands share: the request as parsed from the command line,
// the scan of the app folder and the figures printed at the end.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

#include "packer/app_scan.h"
#include "packer/blob_writer.h"
#include "packer/pe/launcher_resources.h"
#include "packer/sign_launcher.h"

/// What build's manifest options ask for.
struct manifest_request {
  std::optional<execution_level> level;        ///< --uac-admin, --uac-level; unset: as the invoker
  dpi_awareness dpi = dpi_awareness::unaware;  ///< --dpi-aware
  bool utf8 = false;                           ///< --utf8
  std::string file;                            ///< --manifest: the user's whole manifest instead of ours
};

struct pack_request {
  std::string app_dir, main_path, output, payload, icon, stub;
  std::string arch;  ///< build: "x64", "arm64", or empty to follow the main file
  signing_request signing;  ///< empty pkcs12: unsigned
  compression_options compression;
  launcher_texts texts;
  manifest_request manifest;
  bool product_given = false, company_given = false, file_version_given = false;
  bool console = false;        ///< build: a console-subsystem launcher
  bool windowed = false;       ///< build: a windowed launcher; neither: the executable's subsystem
  bool cached = false;         ///< build: unpack once into the user's cache folder
  bool cached_verify = false;  ///< build: cached, and every start compares content digests
  std::string unpack_dir;      ///< build: the unpack folder template; empty for the default
  bool unpack_dir_given = false;
  bool sign_payload = false;  ///< build: sign every PE file of the app folder (copies) with `signing`
  bool quiet = false, verbose = false;
  std::string splash;                ///< build: the splash image, or empty for none
  uint32_t splash_timeout = 30;      ///< build: the longest the splash stays, in seconds
};

/// Throws pack_error (exit_usage) for compression options the launcher could not decode.
void check_pack_request(const pack_request& r);

/// Scans the app folder, prints its warnings, and with --verbose every entry.
app_contents scan_and_report(const pack_request& r);

/// True when a progress line belongs on stderr: not --quiet and stderr is a terminal.
bool show_progress(const pack_request& r);

/// "<what>: N files, in -> out (ratio) in S s", the one line a finished command prints.
void print_summary(const pack_request& r, const std::string& what, const app_contents& contents, uint64_t output_bytes,
                   double seconds);

/// Writes the blob for `contents` to `fd`, with a progress line when one belongs.
blob_figures pack_into(const pack_request& r, const app_contents& contents, int fd);
