#include "packer/temp_output.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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
volatile pid_t cleanup_child = 0;

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

void on_signal(int signal_number) {
  if (cleanup_child > 0) {
    kill(cleanup_child, SIGKILL);
  }
  for (int i = 0; i < slot_count; ++i)
    if (slots[i].state == 1) unlink(slots[i].path);
  for (int i = 0; i < slot_count; ++i)
    if (slots[i].state == 2) rmdir(slots[i].path);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

mode_t current_umask() {
  static mode_t mask = [] {
    mode_t m = umask(0);
    umask(m);
    return m;
  }();
  return mask;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temp_pattern(const std::string& final_path) {
  return folder_of(final_path) + "/." + base_of(final_path) + ".tmp-XXXXXX";
}

[[noreturn]] void cannot_write(const std::string& final_path, int error) {
  throw pack_error("cannot write " + quote_name(final_path) + ": " + errno_text(error));
}

}  // namespace

void install_cleanup_signals() {
  current_umask();
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

void set_cleanup_child(pid_t child) { cleanup_child = child; }

temp_file::temp_file(const std::string& final_path) : final_(final_path) {
  if (final_path.empty() || final_path.back() == '/') cannot_write(final_path, EISDIR);
  std::string pattern = temp_pattern(final_path);
  // Block the signals while the name exists but is not yet registered.
  sigset_t all, previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  int error = errno;
  if (fd_ >= 0) slot_ = claim_slot(pattern, 1);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (fd_ < 0) cannot_write(final_path, error);
  path_ = pattern;
}

temp_file::~temp_file() {
  if (fd_ >= 0) close(fd_);
  if (!path_.empty()) unlink(path_.c_str());
  release_slot(slot_);
}

void temp_file::commit() {
  if (fsync(fd_) != 0 || fchmod(fd_, 0666 & ~current_umask()) != 0) cannot_write(final_, errno);
  int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) cannot_write(final_, errno);
  if (rename(path_.c_str(), final_.c_str()) != 0) cannot_write(final_, errno);
  path_.clear();
  release_slot(slot_);
  slot_ = -1;
}

temp_folder::temp_folder(const std::string& final_path) : final_(final_path) {
  if (final_path.empty() || final_path.back() == '/') cannot_write(final_path, EISDIR);
  std::string pattern = temp_pattern(final_path);
  sigset_t all, previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  char* made = mkdtemp(pattern.data());
  int error = errno;
  if (made) slot_ = claim_slot(pattern, 2);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (!made) cannot_write(final_path, error);
  path_ = pattern;
}

std::string temp_folder::file(const std::string& name) {
  std::string path = path_ + "/" + name;
  claim_slot(path, 1);
  return path;
}

void temp_folder::commit(const std::string& name, mode_t mode) {
  std::string path = path_ + "/" + name;
  if (chmod(path.c_str(), mode & ~current_umask()) != 0) cannot_write(final_, errno);
  if (rename(path.c_str(), final_.c_str()) != 0) cannot_write(final_, errno);
}

temp_folder::~temp_folder() {
  std::string prefix = path_ + "/";
  for (int i = 0; i < slot_count; ++i) {
    if (slots[i].state == 1 && strncmp(slots[i].path, prefix.c_str(), prefix.size()) == 0) {
      unlink(slots[i].path);
      release_slot(i);
    }
  }
  // Anything a tool left there that we did not name goes too.
  if (DIR* folder = opendir(path_.c_str())) {
    while (dirent* entry = readdir(folder)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) unlink((prefix + entry->d_name).c_str());
    }
    closedir(folder);
  }
  rmdir(path_.c_str());
  release_slot(slot_);
}
