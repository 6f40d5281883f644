// Output that appears whole or not at all: everything is written beside the final file
// under a temporary name and renamed into place on success. Failures, exceptions and
// SIGINT/SIGTERM/SIGHUP remove the temporaries.
#pragma once

#include <sys/types.h>

#include <string>

/// Installs the handlers that remove registered temporaries and then die of the signal.
void install_cleanup_signals();

/// The pid the handlers terminate before removing temporaries (a linker writing into them);
/// 0 for none.
void set_cleanup_child(pid_t child);

/// A new file ".<name>.tmp-XXXXXX" in the folder of `final_path`.
class temp_file {
 public:
  /// Throws pack_error("cannot write '<final>': <reason>") when the folder refuses it.
  explicit temp_file(const std::string& final_path);
  ~temp_file();
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  /// Flushes to disk, applies the usual permissions (0666 less umask) and renames over the
  /// final path. Throws pack_error on failure, leaving nothing behind.
  void commit();

 private:
  std::string final_;
  std::string path_;
  int fd_ = -1;
  int slot_ = -1;
};

/// A new folder ".<name>.tmp-XXXXXX" beside `final_path` for files a tool writes for us.
class temp_folder {
 public:
  explicit temp_folder(const std::string& final_path);
  ~temp_folder();
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;

  const std::string& path() const { return path_; }
  /// Full path of `name` inside the folder, registered for removal.
  std::string file(const std::string& name);
  /// Renames file `name` over the final path with permissions `mode` less umask.
  void commit(const std::string& name, mode_t mode);

 private:
  std::string final_;
  std::string path_;
  int slot_ = -1;
};
