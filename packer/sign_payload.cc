#include "packer/sign_payload.h"

#include <errno.h>

#include <algorithm>
#include <vector>

#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"

namespace {

// Enough for the headers of any image a linker writes; the data directories lie within them.
constexpr size_t header_read_size = 64 * 1024;

// The file's first bytes; empty when it cannot be read, which the pack reports later as for
// any other file.
std::vector<unsigned char> file_head(const std::string& path, uint64_t size) {
  std::vector<unsigned char> head(static_cast<size_t>(std::min<uint64_t>(size, header_read_size)));
  int fd = host_open_read(path);
  if (fd < 0) return {};
  size_t got = 0;
  for (long long n; got < head.size() && (n = host_read(fd, head.data() + got, head.size() - got)) > 0;)
    got += static_cast<size_t>(n);
  host_close(fd);
  head.resize(got);
  return head;
}

}  // namespace

payload_signing sign_payload_files(const std::string& tool, const signing_request& request, app_contents& contents,
                                   temp_folder& work) {
  payload_signing result;
  std::string log = work.file("payload-signing.log");
  int copies = 0;
  for (app_entry& entry : contents.entries) {
    std::vector<unsigned char> head = file_head(entry.host_path, entry.size);
    pe_bytes image{head.data(), head.size()};
    pe_headers headers;
    if (read_pe_headers(image, &headers)) continue;
    if (pe_carries_signature(image, entry.size) && signature_digest_matches(tool, entry.host_path, log)) {
      ++result.kept;
      continue;
    }
    std::string copy = work.file("signed-" + std::to_string(copies++) + ".bin");
    sign_file(tool, request, entry.host_path, copy, log, quote_name(entry.display));
    host_file_info info;
    if (!host_stat(copy, &info))
      throw pack_error("cannot read the signed copy of " + quote_name(entry.display) + ": " + errno_text(errno));
    contents.content_bytes += info.size - entry.size;
    entry.host_path = copy;
    entry.size = info.size;
    ++result.signed_files;
  }
  return result;
}
