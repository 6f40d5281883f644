#include "tests/support/native_test_support.h"

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "base/byte_order.h"

namespace native_test {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spit(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

run_result run_program(std::vector<std::string> argv, const fs::path& cwd, const std::vector<std::string>& environment,
                       bool terminal) {
  fs::path out = cwd / ".run.out", err = cwd / ".run.err";
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  int master = -1;
  pid_t child = terminal ? forkpty(&master, nullptr, nullptr, nullptr) : fork();
  if (child == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (!terminal) {
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    }
    for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    execvp(args[0], args.data());
    _exit(127);
  }
  std::string screen;
  if (terminal) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(master, buffer, sizeof buffer)) > 0) screen.append(buffer, static_cast<size_t>(n));
    close(master);
  }
  int status = 0;
  waitpid(child, &status, 0);
  run_result result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), "", screen};
  if (!terminal) {
    result.out = slurp(out);
    result.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
  }
  return result;
}

bytes u64_bytes(uint64_t value) {
  bytes out(8);
  store_le64(out.data(), value);
  return out;
}

bytes name_bytes(const std::u16string& name) {
  bytes out(2 * name.size() + 2);
  for (size_t i = 0; i < name.size(); ++i) store_le16(&out[2 * i], name[i]);
  return out;
}

}  // namespace native_test
