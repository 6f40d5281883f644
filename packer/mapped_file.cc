#include "packer/mapped_file.h"

#include <errno.h>

#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"

mapped_file::mapped_file(const std::string& path, const std::string& display) {
  auto fail = [&](int error) { throw pack_error("cannot read " + quote_name(display) + ": " + errno_text(error)); };
  int fd = host_open_read(path);
  if (fd < 0) fail(errno);
  host_file_info info;
  if (!host_fstat(fd, &info)) {
    int error = errno;
    host_close(fd);
    fail(error);
  }
  if (info.kind == host_file_info::folder) {
    host_close(fd);
    fail(EISDIR);
  }
  if (info.kind != host_file_info::file) {
    host_close(fd);
    throw pack_error("cannot read " + quote_name(display) + ": not a regular file");
  }
  size_ = static_cast<size_t>(info.size);
  if (size_ > 0) {
    data_ = host_map(fd, size_);
    if (!data_) {
      int error = errno;
      host_close(fd);
      fail(error);
    }
  }
  host_close(fd);
}

mapped_file::~mapped_file() {
  if (data_) host_unmap(data_, size_);
}
