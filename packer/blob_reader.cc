#include "packer/blob_reader.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <vector>

#include "base/byte_order.h"
#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/launcher_descriptor.h"
#include "packer/pe/pe_exports.h"
#include "payload/entry_stream.h"
#include "payload/frame_split.h"

namespace {

bool all_zero(const unsigned char* at, size_t count) {
  return std::all_of(at, at + count, [](unsigned char b) { return b == 0; });
}

std::string at_offset(size_t offset) { return "at offset " + std::to_string(offset); }

/// Window a zstd frame header asks for, or 0 when the header is cut short. The frame's total
/// size has been established already, so only the header is read.
uint64_t frame_window_size(const unsigned char* frame, size_t size) {
  if (size < 6) return 0;
  unsigned descriptor = frame[4];
  bool single_segment = descriptor & 0x20;
  if (!single_segment) {
    unsigned window = frame[5];
    uint64_t base = uint64_t{1} << (10 + (window >> 3));
    return base + (base / 8) * (window & 7);
  }
  static const size_t dictionary_bytes[] = {0, 1, 2, 4};
  static const size_t content_bytes[] = {1, 2, 4, 8};
  size_t at = 5 + dictionary_bytes[descriptor & 3];
  size_t length = content_bytes[descriptor >> 6];
  if (size < at + length) return 0;
  switch (length) {
    case 1: return frame[at];
    case 2: return load_le16(frame + at) + 256u;
    case 4: return load_le32(frame + at);
    default: return load_le64(frame + at);
  }
}

}  // namespace

blob_span locate_blob(const unsigned char* file, size_t size) {
  if (size >= payload_magic_size && memcmp(file, payload_magic, payload_magic_size) == 0) return {file, size, 0};
  if (size >= 2 && file[0] == 'M' && file[1] == 'Z') {
    uint64_t offset = 0, length = 0;
    if (descriptor_payload(file, size, &offset, &length)) return {file + offset, static_cast<size_t>(length), offset};
    const unsigned char* end = file + size;
    const unsigned char* marker = reinterpret_cast<const unsigned char*>(launcher_payload_marker);
    for (const unsigned char* at = file;; ++at) {
      at = std::search(at, end, marker, marker + launcher_payload_marker_size);
      if (at == end) break;
      size_t header = static_cast<size_t>(at - file);
      if (size - header < launcher_payload_header_size) break;
      uint64_t length = load_le64(at + launcher_payload_marker_size);
      size_t start = header + launcher_payload_header_size;
      if (all_zero(at + launcher_payload_marker_size + 8, 8) && length >= payload_magic_size &&
          length <= size - start && memcmp(file + start, payload_magic, payload_magic_size) == 0)
        return {file + start, static_cast<size_t>(length), start};
    }
    throw pack_error(std::string("no payload in this executable (no ") + launcher_payload_marker +
                     " marker followed by a blob)");
  }
  throw pack_error(std::string("not a payload: bad magic (expected \"") + payload_magic +
                   "\" or a launcher executable)");
}

blob_layout check_blob_layout(const blob_span& blob) {
  const unsigned char* data = blob.data;
  size_t size = blob.size;
  if (size < payload_magic_size || memcmp(data, payload_magic, payload_magic_size) != 0)
    throw pack_error(std::string("bad magic (expected \"") + payload_magic + "\")");
  if (size < payload_magic_size + payload_trailer_size)
    throw pack_error("too short for a blob (" + std::to_string(size) + " bytes)");
  size_t trailer = size - payload_trailer_size;
  uint64_t recorded = load_le64(data + trailer);
  if (recorded != trailer)
    throw pack_error("trailer " + at_offset(trailer) + " holds " + std::to_string(recorded) + ", not its own offset");
  if (trailer % payload_trailer_alignment != 0)
    throw pack_error("trailer " + at_offset(trailer) + " is not at a multiple of " +
                     std::to_string(payload_trailer_alignment));

  blob_layout layout{0, 0, 0};
  size_t at = payload_magic_size;
  for (;;) {
    size_t left = trailer - at;
    if (layout.frames > 0 && left < payload_trailer_alignment) {
      for (size_t i = 0; i < left; ++i)
        if (data[at + i] != 0) throw pack_error("fill byte " + at_offset(at + i) + " is not zero");
      layout.region_end = at;
      layout.fill = left;
      return layout;
    }
    size_t frame = ZSTD_findFrameCompressedSize(data + at, left);
    if (ZSTD_isError(frame)) {
      if (layout.frames > 0 && all_zero(data + at, left))
        throw pack_error("fill " + at_offset(at) + " is " + std::to_string(left) + " bytes; at most " +
                         std::to_string(payload_trailer_alignment - 1) + " belong there");
      if (layout.frames == 0 && left == 0) throw pack_error("no Zstandard frame after the magic");
      throw pack_error("no whole Zstandard frame " + at_offset(at) + " (" + ZSTD_getErrorName(frame) + ")");
    }
    if (load_le32(data + at) == ZSTD_MAGICNUMBER) {
      uint64_t window = frame_window_size(data + at, frame);
      if (window > launcher_window_size_max)
        throw pack_error("frame " + at_offset(at) + " needs a " + std::to_string(window >> 20) +
                         " MiB window; the launcher decodes at most " + std::to_string(launcher_window_size_max >> 20) +
                         " MiB");
    }
    ++layout.frames;
    at += frame;
  }
}

entry_reader::entry_reader(const unsigned char* region, size_t size) {
  if (decoder_open(&decoder_, region, size) != decode_ok) {
    decoder_close(&decoder_);
    throw pack_error("out of memory for the decoder");
  }
}

entry_reader::~entry_reader() { decoder_close(&decoder_); }

void entry_reader::fail(decode_status status, const std::string& where) {
  switch (status) {
    case decode_no_memory: throw pack_error("out of memory while decoding " + where);
    case decode_truncated: throw pack_error("the entry stream ends " + where + " (no end marker)");
    default: throw pack_error("compressed data damaged " + where + " (" + ZSTD_getErrorName(decoder_.last_error) + ")");
  }
}

bool entry_reader::next() {
  unsigned char scrap[4096];
  while (left_ > 0) read(scrap, sizeof scrap);
  ++index_;
  std::string where = "in entry " + std::to_string(index_);
  char16_t units[entry_name_capacity];
  size_t length = 0;
  decode_status why = decode_ok;
  entry_status status = entry_read_name(&decoder_, units, entry_name_capacity, &length, &why);
  if (status == entry_name_too_long)
    throw pack_error("entry " + std::to_string(index_) + " has a name longer than " +
                     std::to_string(entry_name_capacity - 1) + " units");
  if (status != entry_ok) fail(why, where);
  name_.assign(units, length);
  if (length == 0) {
    --index_;
    size_ = left_ = 0;
    return false;
  }
  where += " " + quote_name(utf16_to_utf8(name_));
  decode_status size_status = entry_read_size(&decoder_, &size_);
  if (size_status != decode_ok) fail(size_status, where);
  left_ = size_;
  return true;
}

size_t entry_reader::read(unsigned char* destination, size_t capacity) {
  size_t count = static_cast<size_t>(std::min<uint64_t>(left_, capacity));
  if (count == 0) return 0;
  decode_status status = decoder_read(&decoder_, destination, count);
  if (status != decode_ok) fail(status, "in entry " + std::to_string(index_) + " " + quote_name(utf16_to_utf8(name_)));
  left_ -= count;
  return count;
}

void entry_reader::finish() {
  unsigned char probe;
  decode_status status = decoder_read(&decoder_, &probe, 1);
  if (status == decode_ok) throw pack_error("data follows the end marker");
  if (status != decode_truncated) fail(status, "after the end marker");
}

const char* entry_name_fault(const std::string& name, std::vector<std::string>* parts) {
  parts->clear();
  if (!name.empty() && (name[0] == '\\' || name[0] == '/')) return "is absolute";
  if (name.find(':') != std::string::npos) return "names a drive or stream (contains ':')";
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '\\' && name[i] != '/') continue;
    std::string part = name.substr(start, i - start);
    start = i + 1;
    if (part == "..") return "climbs out of the target folder";
    if (part.empty() || part == ".") return "has an empty or '.' component";
    if (const char* fault = windows_component_fault(part)) return fault;
    parts->push_back(std::move(part));
  }
  return nullptr;
}

namespace {

std::string entry_text(uint64_t index, const std::u16string& name) {
  return "entry " + std::to_string(index) + " " + quote_name(utf16_to_utf8(name));
}

/// Names seen so far as a case-insensitive file system compares them, each with the entry
/// that brought it: the launcher writes every entry into one folder tree, so two names that
/// fold alike overwrite each other, and a file cannot also be a folder.
class name_registry {
 public:
  void add(const std::u16string& name, uint64_t index) {
    std::u16string key = fold_case(name);
    std::replace(key.begin(), key.end(), u'/', u'\\');
    const seen current{index, name};
    if (auto it = files_.find(key); it != files_.end()) clash(current, "names the same file as", it->second);
    if (auto it = folders_.find(key); it != folders_.end())
      clash(current, "is a file where there is a folder for", it->second);
    for (size_t at = key.find(u'\\'); at != std::u16string::npos; at = key.find(u'\\', at + 1)) {
      std::u16string folder = key.substr(0, at);
      if (auto it = files_.find(folder); it != files_.end())
        clash(current, "needs a folder where there is the file", it->second);
      folders_.emplace(std::move(folder), current);
    }
    files_.emplace(std::move(key), current);
  }

 private:
  struct seen {
    uint64_t index;
    std::u16string name;
  };
  [[noreturn]] static void clash(const seen& later, const char* what, const seen& earlier) {
    throw pack_error(entry_text(later.index, later.name) + " " + what + " " + entry_text(earlier.index, earlier.name));
  }
  std::map<std::u16string, seen> files_, folders_;
};

/// Why the current entry is no main file the launcher can run, or nullptr with `*entry` set.
/// Its content goes through an unlinked temporary file, so a file of any size costs no memory.
const char* main_file_content_fault(entry_reader& entries, main_entry* entry, std::string* copy = nullptr) {
  if (entries.size() == 0) return main_file_fault(nullptr, 0, entry);
  int spill = host_open_scratch();
  if (spill < 0) throw pack_error("cannot create a temporary file to check the main library: " + errno_text(errno));
  try {
    std::vector<unsigned char> chunk(1 << 20);
    while (size_t n = entries.read(chunk.data(), chunk.size()))
      if (!host_write_all(spill, chunk.data(), n))
        throw pack_error("cannot write a temporary file: " + errno_text(errno));
  } catch (...) {
    host_close(spill);
    throw;
  }
  size_t size = static_cast<size_t>(entries.size());
  const unsigned char* image = host_map(spill, size);
  int error = errno;
  host_close(spill);
  if (!image) throw pack_error("cannot map the main library to check it: " + errno_text(error));
  const char* fault = main_file_fault(image, size, entry);
  if (copy && !fault) copy->assign(reinterpret_cast<const char*>(image), size);
  host_unmap(image, size);
  return fault;
}

/// What a frame holds once decoded: as its header says, or, where it does not say, counted by
/// decoding it on its own. Throws pack_error for damage.
uint64_t frame_content_size(const payload_frame& frame) {
  unsigned long long content = ZSTD_getFrameContentSize(frame.data, frame.size);
  if (content != ZSTD_CONTENTSIZE_UNKNOWN && content != ZSTD_CONTENTSIZE_ERROR) return content;
  payload_decoder decoder{};
  if (decoder_open(&decoder, frame.data, frame.size) != decode_ok) {
    decoder_close(&decoder);
    throw pack_error("out of memory for the decoder");
  }
  uint64_t total = 0;
  decode_status status = decode_ok;
  for (bool at_end = false; status == decode_ok && !at_end;) {
    status = decoder_at_end(&decoder, &at_end);
    const unsigned char* data = nullptr;
    size_t count = 0;
    if (status == decode_ok && !at_end) status = decoder_span(&decoder, UINT64_MAX, &data, &count);
    total += count;
  }
  decoder_close(&decoder);
  if (status != decode_ok) throw pack_error("a frame of the split payload is damaged");
  return total;
}

}  // namespace

payload_totals check_entries(const blob_span& blob, const blob_layout& layout,
                             const std::function<void(const entry_reader&)>& each) {
  const unsigned char* region = blob.data + payload_magic_size;
  size_t region_size = layout.region_end - payload_magic_size;
  entry_reader entries(region, region_size);
  name_registry names;
  std::vector<std::string> parts;
  payload_totals totals;
  // A split payload promises that each frame begins with an entry: a launcher decodes the
  // frames apart, so one that began inside an entry would be read from a wrong place.
  std::vector<payload_frame> frames(split_frame_capacity);
  frames.resize(payload_split_frames(region, region_size, frames.data(), frames.size()));
  std::vector<uint64_t> frame_starts;
  uint64_t frame_start = 0, entry_start = 0;
  for (const payload_frame& frame : frames) {
    frame_starts.push_back(frame_start);
    frame_start += frame_content_size(frame);
  }
  size_t next_frame = 0;
  std::u16string previous;
  while (entries.next()) {
    if (next_frame < frame_starts.size() && frame_starts[next_frame] < entry_start)
      throw pack_error("frame " + std::to_string(next_frame + 1) + " of the split payload begins inside " +
                       entry_text(entries.index() - 1, previous));
    if (next_frame < frame_starts.size() && frame_starts[next_frame] == entry_start) ++next_frame;
    entry_start += 2 * (entries.name().size() + 1) + 8 + entries.size();
    previous = entries.name();
    std::string name = utf16_to_utf8(entries.name());
    if (const char* fault = entry_name_fault(name, &parts))
      throw pack_error(entry_text(entries.index(), entries.name()) + " " + fault);
    names.add(entries.name(), entries.index());
    if (each) each(entries);
    if (entries.index() == 1) {
      if (const char* fault = main_file_content_fault(entries, &totals.entry))
        throw pack_error(entry_text(1, entries.name()) + " cannot be the main file: " + fault);
    }
    ++totals.entries;
    totals.bytes += entries.size();
  }
  entries.finish();
  // The end marker belongs to the last frame.
  if (next_frame < frame_starts.size())
    throw pack_error("frame " + std::to_string(next_frame + 1) + " of the split payload holds no entry");
  totals.frames = frames.size() > 1 ? frames.size() : 0;
  if (totals.entries == 0) throw pack_error("the payload holds no entry; a launcher needs its main library first");
  return totals;
}

main_entry blob_main_entry(const unsigned char* file, size_t size, std::string* image) {
  main_entry entry = main_entry::library;
  try {
    blob_span blob = locate_blob(file, size);
    blob_layout layout = check_blob_layout(blob);
    entry_reader entries(blob.data + payload_magic_size, layout.region_end - payload_magic_size);
    if (entries.next() && main_file_content_fault(entries, &entry, image)) entry = main_entry::library;
  } catch (const pack_error&) {
    entry = main_entry::library;
  }
  if (entry == main_entry::library) image->clear();
  return entry;
}
