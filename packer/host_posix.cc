#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wctype.h>

#include <memory>

#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"

const char host_path_separators[] = "/";
const char host_name_encoding[] = "UTF-8";

namespace {

void (*interrupt_cleanup)() = nullptr;
volatile pid_t running_tool = 0;

void on_signal(int signal_number) {
  if (running_tool > 0) kill(running_tool, SIGKILL);
  if (interrupt_cleanup) interrupt_cleanup();
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

void fill_info(const struct stat& s, host_file_info* info) {
  info->kind = S_ISREG(s.st_mode)   ? host_file_info::file
               : S_ISDIR(s.st_mode) ? host_file_info::folder
                                    : host_file_info::other;
  info->size = static_cast<uint64_t>(s.st_size);
  info->volume = static_cast<uint64_t>(s.st_dev);
  info->index = static_cast<uint64_t>(s.st_ino);
}

}  // namespace

std::string errno_text(int error) { return strerror(error); }

char32_t host_upper_case(char32_t c) {
  // glibc always carries C.UTF-8; without it only ASCII folds, which still catches the
  // common clashes.
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (locale != static_cast<locale_t>(0)) return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale));
  return c >= 'a' && c <= 'z' ? c - 32 : c;
}

bool host_stat(const std::string& path, host_file_info* info) {
  struct stat link_info, s;
  if (lstat(path.c_str(), &link_info) != 0 || stat(path.c_str(), &s) != 0) return false;
  fill_info(s, info);
  info->is_link = S_ISLNK(link_info.st_mode);
  return true;
}

bool host_fstat(int fd, host_file_info* info) {
  struct stat s;
  if (fstat(fd, &s) != 0) return false;
  fill_info(s, info);
  return true;
}

bool host_list_folder(const std::string& path, std::vector<host_name>* names) {
  DIR* folder = opendir(path.c_str());
  if (!folder) return false;
  errno = 0;
  while (dirent* child = readdir(folder)) {
    std::string name = child->d_name;
    if (name == "." || name == "..") continue;
    bool valid = utf8_to_utf16(name).has_value();
    names->push_back({std::move(name), valid});
  }
  int error = errno;
  closedir(folder);
  errno = error;
  return error == 0;
}

std::string host_real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool host_is_inside(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root ||
         (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

// O_NONBLOCK: a FIFO handed in by mistake must not hang us before fstat rejects it.
int host_open_read(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }

int host_create_new(const std::string& path) { return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }

long long host_read(int fd, void* data, size_t size) {
  for (;;) {
    ssize_t n = read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool host_write_all(int fd, const void* data, size_t size) {
  const unsigned char* at = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool host_write_at(int fd, const void* data, size_t size, uint64_t offset) {
  const unsigned char* at = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = pwrite(fd, at, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    at += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool host_seek(int fd, uint64_t offset) { return lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0; }
bool host_resize(int fd, uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)) == 0; }
bool host_sync(int fd) { return fsync(fd) == 0; }
bool host_close(int fd) { return close(fd) == 0; }

const unsigned char* host_map(int fd, size_t size) {
  void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  return map == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(map);
}

void host_unmap(const unsigned char* data, size_t size) { munmap(const_cast<unsigned char*>(data), size); }

int host_open_scratch() {
  FILE* file = tmpfile();
  if (!file) return -1;
  int fd = fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
  int error = errno;
  fclose(file);
  errno = error;
  return fd;
}

int host_create_temp_file(const std::string& prefix, std::string* path) {
  std::string pattern = prefix + "XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) *path = pattern;
  return fd;
}

bool host_create_temp_folder(const std::string& prefix, std::string* path) {
  std::string pattern = prefix + "XXXXXX";
  if (!mkdtemp(pattern.data())) return false;
  *path = pattern;
  return true;
}

bool host_make_folder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool host_set_mode(const std::string& path, int fd, unsigned mode) {
  mode_t wanted = static_cast<mode_t>(mode) & ~current_umask();
  return (fd >= 0 ? fchmod(fd, wanted) : chmod(path.c_str(), wanted)) == 0;
}

bool host_rename_over(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }
bool host_remove_file(const char* path) { return unlink(path) == 0; }
bool host_remove_folder(const char* path) { return rmdir(path) == 0; }
bool host_readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

int host_create_below(const std::string& root, const std::vector<std::string>& parts, std::string* fault) {
  int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  auto fail = [&](const std::string& reason) {
    if (folder >= 0) close(folder);
    *fault = reason;
    return -1;
  };
  if (folder < 0) return fail(errno_text(errno));
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (mkdirat(folder, parts[i].c_str(), 0777) != 0 && errno != EEXIST) return fail(errno_text(errno));
    int inner = openat(folder, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0)
      return fail("folder " + quote_name(parts[i]) + " on its path is a file or symbolic link (" + errno_text(errno) +
                  ")");
    close(folder);
    folder = inner;
  }
  int fd = openat(folder, parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return fail(errno_text(errno));
  close(folder);
  return fd;
}

void host_remove_below(const std::string& root, const std::vector<std::string>& parts) {
  // Its folders were made without following links, so the joined path reaches the same file.
  std::string path = root;
  for (const std::string& part : parts) path += "/" + part;
  unlink(path.c_str());
}

void host_on_interrupt(void (*cleanup)()) {
  current_umask();
  interrupt_cleanup = cleanup;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

host_interrupts_held::host_interrupts_held() {
  static_assert(sizeof saved_ >= sizeof(sigset_t));
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, reinterpret_cast<sigset_t*>(saved_));
}

host_interrupts_held::~host_interrupts_held() {
  sigprocmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

std::string host_find_program(const std::string& program) {
  const char* path = getenv("PATH");
  std::string folders = path ? path : "";
  size_t start = 0;
  for (size_t i = 0; i <= folders.size(); ++i) {
    if (i < folders.size() && folders[i] != ':') continue;
    std::string folder = folders.substr(start, i - start);
    start = i + 1;
    if (folder.empty()) folder = ".";
    std::string candidate = folder + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool host_run_tool(const std::vector<std::string>& args, const std::string& log_path, int* exit_code) {
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) _exit(127);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    // The tool would otherwise ask on our terminal for a password we were not given.
    int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (none >= 0) dup2(none, STDIN_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  running_tool = child;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  running_tool = 0;
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool host_stderr_is_terminal() { return isatty(STDERR_FILENO); }
