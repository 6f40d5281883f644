// Making a launcher executable: an assembler file that embeds the blob and the version
// texts, linked by the MinGW-w64 driver against the launcher's static libraries.
#pragma once

#include <stdint.h>

#include <string>

/// The driver we link with; looked up on PATH.
constexpr const char launcher_linker[] = "x86_64-w64-mingw32-g++-posix";
/// The compiler for the launcher's resources; looked up on PATH.
constexpr const char resource_compiler[] = "x86_64-w64-mingw32-windres";

struct launcher_texts {
  std::string company;
  std::string product;
  std::string file_version = "0.0.0.0";
  std::string product_version = "0.0.0.0";
};

/// True when `text` is four dot-separated decimal numbers, each 0..65535.
bool is_four_part_version(const std::string& text);

/// The assembler source that places `blob_name` (L = blob_size bytes) behind the marker and
/// defines the four tavren_*_text symbols as zero-terminated UTF-16.
std::string launcher_assembly(const std::string& blob_name, uint64_t blob_size, const launcher_texts& texts);

/// Folder holding libtavren_*.a: $TAVREN_LAUNCHER_LIBDIR, else <our folder>/../lib/tavren.
std::string launcher_library_folder();

/// Compiles `work/resources.rc` into `work/resources.o`, then links it and `work/attached.S`
/// (which includes `work/payload.bin`) into `work/launcher.exe`. Both tools run inside `work`
/// so the output does not depend on where we were started; their messages go to
/// `work/tool.log`. Throws pack_error for a missing tool or library, and for a failed step
/// with the tool's messages after the first line.
void link_launcher(const std::string& work);
