// Output that appears whole or not at all: everything is written beside the final file
// under a temporary name and renamed into place on success. Failures, exceptions and
// an interrupt (Ctrl+C; SIGTERM and SIGHUP on Linux) remove the temporaries.
#pragma once

#include <string>

/// Installs the handlers that remove registered temporaries and then end the process as the
/// interrupt would have.
void install_cleanup_signals();

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
  /// Flushes to disk, applies the usual permissions (0666 less umask on Linux) and renames over the
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
  /// Renames file `name` over the final path with permissions `mode` less umask (Linux).
  void commit(const std::string& name, unsigned mode);

 private:
  std::string final_;
  std::string path_;
  int slot_ = -1;
};
