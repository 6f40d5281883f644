// The payload container, as everything that reads or writes one sees it:
//   blob   = magic, Zstandard frames holding the entry stream, zero fill up to the trailer's
//            alignment, trailer (u64 LE holding its own offset)
//   stream = entries, each a name (UTF-16LE units up to a zero unit), a u64 LE size and that
//            many content bytes; an empty name (a lone zero unit) ends the stream
//   launcher executable = ... marker, the blob's length (u64 LE), 8 zero bytes, blob ...
// The generated test inputs in tests/support read the values below straight from this file,
// so each stays a single `constexpr TYPE NAME = VALUE;` line.
#pragma once

#include <stddef.h>
#include <stdint.h>

/// The bytes every blob starts with (the literal's own terminating zero is not one of them).
constexpr char payload_magic[] = "JQZ";
constexpr size_t payload_magic_size = sizeof payload_magic - 1;

/// What precedes a blob linked into a launcher, so a reader finds it without the linker's
/// symbols: this marker, the blob's length as u64 LE, then 8 zero bytes.
constexpr char launcher_payload_marker[] = "TAVREN-PAYLOAD-1";
constexpr size_t launcher_payload_marker_size = sizeof launcher_payload_marker - 1;
/// Bytes from the marker's first byte to the blob's first byte.
constexpr size_t launcher_payload_header_size = launcher_payload_marker_size + 16;

/// A region cut between entries starts with a skippable Zstandard frame (this magic, its
/// content's length as u32 LE) whose content is payload_split_note. Every Zstandard frame after
/// it then holds whole entries and begins with a name, the last one ending with the end marker,
/// and no two entries in different frames name one file; so a reader may decode the frames side
/// by side. Readers that go through the stream in order skip the note, as zstd skips such frames.
constexpr uint32_t payload_split_note_magic = 0x184D2A5B;
constexpr char payload_split_note[] = "ENTRY-CUT";
constexpr size_t payload_split_note_size = sizeof payload_split_note - 1;

/// The trailer's offset is a multiple of this; zero fill after the last frame gets it there.
constexpr size_t payload_trailer_alignment = 8;
/// The trailer: a u64 LE equal to its own offset, the last bytes of every blob.
constexpr size_t payload_trailer_size = 8;

/// Largest window log the launcher's decoder accepts: zstd's default limit, which the
/// launcher never raises.
constexpr int launcher_window_log_max = 27;
/// Largest window in bytes that limit admits (zstd lets a window exceed the power of two by one).
constexpr uint64_t launcher_window_size_max = (uint64_t{1} << launcher_window_log_max) + 1;

/// Entry name buffer in UTF-16 units, the terminating zero included: the launcher aborts on a
/// name with no zero unit within the first entry_name_capacity units.
constexpr size_t entry_name_capacity = 1024;
/// Longest entry name in UTF-16 units.
constexpr size_t entry_name_max_units = entry_name_capacity - 1;

/// Capacity in UTF-16 units (zero included) of the launcher's target directory, main library
/// path and every entry path (target, separator, name); a longer path aborts the launcher.
constexpr size_t launcher_path_capacity = 4096;
