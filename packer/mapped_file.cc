#include "packer/mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packer/names.h"
#include "packer/pack_error.h"

mapped_file::mapped_file(const std::string& path, const std::string& display) {
  auto fail = [&](int error) { throw pack_error("cannot read " + quote_name(display) + ": " + errno_text(error)); };
  // O_NONBLOCK: a FIFO handed in by mistake must not hang us before fstat rejects it.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) fail(errno);
  struct stat info;
  if (fstat(fd, &info) != 0) {
    int error = errno;
    close(fd);
    fail(error);
  }
  if (S_ISDIR(info.st_mode)) {
    close(fd);
    fail(EISDIR);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    throw pack_error("cannot read " + quote_name(display) + ": not a regular file");
  }
  size_ = static_cast<size_t>(info.st_size);
  if (size_ > 0) {
    void* map = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
      int error = errno;
      close(fd);
      fail(error);
    }
    data_ = static_cast<const unsigned char*>(map);
  }
  close(fd);
}

mapped_file::~mapped_file() {
  if (data_) munmap(const_cast<unsigned char*>(data_), size_);
}
