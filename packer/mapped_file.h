// A whole file as read-only bytes, for the parts of the packer that look at a finished
// file (the main library's headers, a blob, a launcher) rather than stream it.
#pragma once

#include <stddef.h>

#include <string>

class mapped_file {
 public:
  /// Maps `path`; throws pack_error "cannot read <display>: <reason>" when it cannot.
  mapped_file(const std::string& path, const std::string& display);
  ~mapped_file();
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;

  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
};
