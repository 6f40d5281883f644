// What the packer asks of the operating system, in one place, so the commands read the same
// on Linux (host_posix.cc) and Windows (host_win.cc). Paths are UTF-8 with '/' or '\'; on
// Windows each call turns them into UTF-16, absolute and behind \\?\, so no length limit or
// code page stands between a user's folder and the packer. A call that fails returns false
// or -1 with errno set (on Windows from the system's error), so errno_text gives the reason
// in the same words on both.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

/// What separates folders in a path: "/", or "/\\" on Windows.
extern const char host_path_separators[];
/// The encoding names are held in by this system's file names: "UTF-8" or "UTF-16".
extern const char host_name_encoding[];

/// `c` in upper case as this system's case mapping has it (the C.UTF-8 locale on Linux; on
/// Windows the invariant locale); `c` itself where there is none.
char32_t host_upper_case(char32_t c);

struct host_file_info {
  enum kind_t { file, folder, other } kind = other;
  bool is_link = false;  ///< the name itself is a symbolic link (only host_stat sets it; Wine
                         ///< hides a Unix link to a file)
  uint64_t size = 0;
  uint64_t volume = 0, index = 0;  ///< together: which file or folder this is
};

/// Facts about `path`, following links; is_link tells whether `path` itself is one.
bool host_stat(const std::string& path, host_file_info* info);
/// Facts about an open file.
bool host_fstat(int fd, host_file_info* info);

struct host_name {
  std::string name;   ///< UTF-8; where it is not `valid`, a readable stand-in
  bool valid = true;  ///< false: not valid in host_name_encoding
};
/// The names in folder `path` ("." and ".." left out), unsorted.
bool host_list_folder(const std::string& path, std::vector<host_name>* names);

/// `path` with every link resolved, or "" when that fails.
std::string host_real_path(const std::string& path);
/// True when real path `path` is `root` or lies below it, as this system compares names.
bool host_is_inside(const std::string& path, const std::string& root);

/// Opens an existing file for reading; a folder fails with EISDIR.
int host_open_read(const std::string& path);
/// Creates `path`, which must not exist, for reading and writing (owner only).
int host_create_new(const std::string& path);
/// Reads up to `size` bytes at the current position; 0 at the end, -1 on error.
long long host_read(int fd, void* data, size_t size);
bool host_write_all(int fd, const void* data, size_t size);
/// Writes at `offset`, leaving the current position where it was.
bool host_write_at(int fd, const void* data, size_t size, uint64_t offset);
bool host_seek(int fd, uint64_t offset);
/// Cuts or extends (with zeros) the file to `size` bytes.
bool host_resize(int fd, uint64_t size);
/// Makes the contents durable.
bool host_sync(int fd);
bool host_close(int fd);

/// Maps `size` bytes of `fd` read-only (size > 0); nullptr on failure. host_unmap undoes it.
const unsigned char* host_map(int fd, size_t size);
void host_unmap(const unsigned char* data, size_t size);

/// A new file that vanishes when closed, in the user's temporary folder.
int host_open_scratch();

/// A new file or folder named `prefix` plus six random characters; its name in *path.
int host_create_temp_file(const std::string& prefix, std::string* path);
bool host_create_temp_folder(const std::string& prefix, std::string* path);
bool host_make_folder(const std::string& path);  ///< fails with EEXIST when it is there
/// Gives a finished file the permissions a new file gets here (`mode` less the umask on
/// Linux; Windows has nothing to apply).
bool host_set_mode(const std::string& path, int fd, unsigned mode);
/// Replaces `to` with `from` in one step.
bool host_rename_over(const std::string& from, const std::string& to);
/// Both are safe to call from host_on_interrupt's cleanup.
bool host_remove_file(const char* path);
bool host_remove_folder(const char* path);
bool host_readable(const std::string& path);

/// Writes one entry of an extraction below folder `root`: makes the folders of `parts`
/// (all but the last), never following a link, and creates the last as a new file. Returns
/// its fd, or -1 with *fault set: the reason, or "folder 'x' on its path is a file or
/// symbolic link (...)".
int host_create_below(const std::string& root, const std::vector<std::string>& parts, std::string* fault);
/// Removes what host_create_below made last (the file), after a failed write.
void host_remove_below(const std::string& root, const std::vector<std::string>& parts);

/// Runs `cleanup` when the user interrupts (Ctrl+C; SIGTERM and SIGHUP on Linux), after
/// ending a tool host_run_tool is waiting for; the process then ends as the interrupt would
/// have ended it.
void host_on_interrupt(void (*cleanup)());
/// While one lives, an interrupt waits: for the moment a temporary exists but is not yet
/// registered for cleanup.
class host_interrupts_held {
 public:
  host_interrupts_held();
  ~host_interrupts_held();
  host_interrupts_held(const host_interrupts_held&) = delete;
  host_interrupts_held& operator=(const host_interrupts_held&) = delete;

 private:
  unsigned char saved_[128];  ///< the signal mask on Linux
};

/// `program` in a folder on PATH, or "" when it is in none.
std::string host_find_program(const std::string& program);
/// Runs args[0] with `args`, no input, its output and errors into the file `log`; waits.
/// Returns false (errno set) when it cannot start; else *exit_code is its exit status, or
/// -1 when a signal ended it.
bool host_run_tool(const std::vector<std::string>& args, const std::string& log, int* exit_code);

/// True when stderr is a terminal or console, where a progress line belongs.
bool host_stderr_is_terminal();

/// Windows: while one lives, what the program prints to a console goes through
/// WriteConsoleW, so every name is readable whatever the console's code page; printed to a
/// file or pipe it stays UTF-8, with '\n' line ends as on Linux. Destroying it flushes.
class host_console_output {
 public:
  host_console_output();
  ~host_console_output();
  host_console_output(const host_console_output&) = delete;
  host_console_output& operator=(const host_console_output&) = delete;
};
