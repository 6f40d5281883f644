// Support for the packer's native tests: files, processes and the payload's byte forms.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

namespace native_test {

using bytes = std::vector<unsigned char>;

std::string slurp(const std::filesystem::path& path);
/// Writes `content`, creating the parent folders.
void spit(const std::filesystem::path& path, const std::string& content);

struct run_result {
  int status;  ///< exit status, or 128 + signal
  std::string out, err;
};

/// Runs `argv` (looked up on PATH unless it holds a slash) in `cwd` with the extra
/// `environment` settings, stdout and stderr captured in files so nothing blocks; with
/// `terminal`, both go to one pseudo-terminal and come back as `err`.
run_result run_program(std::vector<std::string> argv, const std::filesystem::path& cwd,
                       const std::vector<std::string>& environment = {}, bool terminal = false);

/// A little-endian 64-bit number, as sizes and the trailer are stored.
bytes u64_bytes(uint64_t value);
/// A name as the entry stream holds it: UTF-16LE units and a zero unit.
bytes name_bytes(const std::u16string& name);

struct stream_entry {
  std::u16string name;
  std::string content = "data";
};
/// An entry stream holding `entries` in order, ended by the end marker unless told otherwise.
bytes entry_stream(const std::vector<stream_entry>& entries, bool end_marker = true);
/// `stream` as one Zstandard frame with a checksum.
bytes compressed(const bytes& stream);
/// A blob laid out by hand around `frames` (magic, frames, zero fill, trailer), independent
/// of the packer's writer.
std::string blob_around(const bytes& frames);

}  // namespace native_test
