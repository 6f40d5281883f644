#include "packer/temp_output.h"

#include <errno.h>
#include <signal.h>
#include <string.h>

#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"

namespace {

// The handler may run at any instruction, so it sees only fixed arrays and flags written
// after the path is complete.
constexpr int slot_count = 16;
constexpr size_t slot_capacity = 4096;
struct cleanup_slot {
  char path[slot_capacity];
  volatile sig_atomic_t state;  // 0 free, 1 file, 2 folder
};
cleanup_slot slots[slot_count];

int claim_slot(const std::string& path, int kind) {
  if (path.size() >= slot_capacity) return -1;
  for (int i = 0; i < slot_count; ++i) {
    if (slots[i].state == 0) {
      memcpy(slots[i].path, path.c_str(), path.size() + 1);
      slots[i].state = kind;
      return i;
    }
  }
  return -1;
}

void release_slot(int slot) {
  if (slot >= 0) slots[slot].state = 0;
}

void remove_temporaries() {
  for (int i = 0; i < slot_count; ++i)
    if (slots[i].state == 1) host_remove_file(slots[i].path);
  for (int i = 0; i < slot_count; ++i)
    if (slots[i].state == 2) host_remove_folder(slots[i].path);
}

bool is_separator(char c) { return strchr(host_path_separators, c) != nullptr && c != '\0'; }

std::string folder_of(const std::string& path) {
  size_t slash = path.find_last_of(host_path_separators);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  size_t slash = path.find_last_of(host_path_separators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temp_prefix(const std::string& final_path) {
  return folder_of(final_path) + "/." + base_of(final_path) + ".tmp-";
}

[[noreturn]] void cannot_write(const std::string& final_path, int error) {
  throw pack_error("cannot write " + quote_name(final_path) + ": " + errno_text(error));
}

}  // namespace

void install_cleanup_signals() { host_on_interrupt(remove_temporaries); }

temp_file::temp_file(const std::string& final_path) : final_(final_path) {
  if (final_path.empty() || is_separator(final_path.back())) cannot_write(final_path, EISDIR);
  int error;
  {
    // The name exists before it is registered: an interrupt waits for both.
    host_interrupts_held held;
    fd_ = host_create_temp_file(temp_prefix(final_path), &path_);
    error = errno;
    if (fd_ >= 0) slot_ = claim_slot(path_, 1);
  }
  if (fd_ < 0) cannot_write(final_path, error);
}

temp_file::~temp_file() {
  if (fd_ >= 0) host_close(fd_);
  if (!path_.empty()) host_remove_file(path_.c_str());
  release_slot(slot_);
}

void temp_file::commit() {
  if (!host_sync(fd_) || !host_set_mode(path_, fd_, 0666)) cannot_write(final_, errno);
  int fd = fd_;
  fd_ = -1;
  if (!host_close(fd)) cannot_write(final_, errno);
  if (!host_rename_over(path_, final_)) cannot_write(final_, errno);
  path_.clear();
  release_slot(slot_);
  slot_ = -1;
}

temp_folder::temp_folder(const std::string& final_path) : final_(final_path) {
  if (final_path.empty() || is_separator(final_path.back())) cannot_write(final_path, EISDIR);
  bool made;
  int error;
  {
    host_interrupts_held held;
    made = host_create_temp_folder(temp_prefix(final_path), &path_);
    error = errno;
    if (made) slot_ = claim_slot(path_, 2);
  }
  if (!made) cannot_write(final_path, error);
}

std::string temp_folder::file(const std::string& name) {
  std::string path = path_ + "/" + name;
  claim_slot(path, 1);
  return path;
}

void temp_folder::commit(const std::string& name, unsigned mode) {
  std::string path = path_ + "/" + name;
  if (!host_set_mode(path, -1, mode)) cannot_write(final_, errno);
  if (!host_rename_over(path, final_)) cannot_write(final_, errno);
}

temp_folder::~temp_folder() {
  std::string prefix = path_ + "/";
  for (int i = 0; i < slot_count; ++i) {
    if (slots[i].state == 1 && strncmp(slots[i].path, prefix.c_str(), prefix.size()) == 0) {
      host_remove_file(slots[i].path);
      release_slot(i);
    }
  }
  // Anything a tool left there that we did not name goes too.
  std::vector<host_name> names;
  host_list_folder(path_, &names);
  for (const host_name& name : names) host_remove_file((prefix + name.name).c_str());
  host_remove_folder(path_.c_str());
  release_slot(slot_);
}
