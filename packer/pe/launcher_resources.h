// What Windows shows about a launcher without running it: the version resource (Explorer's
// Details tab), the manifest the loader reads, and the icon.
#pragma once

#include <string>
#include <vector>

#include "packer/pe/resource_section.h"

/// The texts a launcher is built with: its version resource and its path tokens.
struct launcher_texts {
  std::string company;
  std::string product;
  std::string file_version = "0.0.0.0";
  std::string product_version = "0.0.0.0";
};

/// True when `text` is four dot-separated decimal numbers, each 0..65535.
bool is_four_part_version(const std::string& text);

/// The level at which a launcher asks Windows to run it: as the user who starts it, with the
/// most rights that user can have (an administrator is asked to consent), or only as an
/// administrator.
enum class execution_level { as_invoker, highest_available, require_administrator };

/// The manifest's spelling of `level`: asInvoker, highestAvailable, requireAdministrator.
const char* execution_level_text(execution_level level);

/// How the launcher's windows meet a display scaled above 100 %: not declared (Windows scales
/// them as bitmaps), system-wide or per monitor.
enum class dpi_awareness { unaware, system, per_monitor_v2 };

/// What the packer's options change in the manifest it writes.
struct manifest_settings {
  execution_level level = execution_level::as_invoker;
  dpi_awareness dpi = dpi_awareness::unaware;
  bool utf8 = false;  ///< the process's active code page is UTF-8
};

/// The manifest a launcher carries unless its user gives one: runs at `settings.level`,
/// declares the Windows versions it was made for (so none of them applies compatibility
/// shims), turns on long paths, declares the DPI awareness and code page asked for, and asks
/// for version 6 of the common controls. The defaults give the same bytes in every version.
std::string launcher_manifest(const manifest_settings& settings);

/// The VS_VERSIONINFO block: fixed numbers from the versions (already checked as four
/// numbers), the texts (valid UTF-8) under US English / UTF-16, and InternalName and
/// OriginalFilename set to `file_name`.
std::string version_resource(const launcher_texts& texts, const std::string& file_name);

/// Every resource a launcher carries: the images of `ico` (a well-formed icon file: one that
/// passed ico_fault, or an executable's own icon group) as icons 1..n with icon group 1, version 1 and `manifest` as manifest 1, all
/// US English.
std::vector<resource_item> launcher_resources(const launcher_texts& texts, const std::string& file_name,
                                              const std::string& ico, const std::string& manifest);
