#include "packer/sign_launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/temp_output.h"

namespace {

std::string find_on_path(const std::string& program) {
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

std::string short_text(const std::string& text, size_t limit) {
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  if (out.size() > limit) out = out.substr(0, limit) + "\n...";
  return out;
}

}  // namespace

std::string find_signing_tool(const signing_request& request) {
  std::string tool = find_on_path(signing_tool);
  if (tool.empty())
    throw pack_error(std::string("cannot sign: '") + signing_tool +
                     "' is not on PATH (install it, or leave out --sign)");
  for (const std::string* file : {&request.pkcs12, &request.password_file})
    if (!file->empty() && access(file->c_str(), R_OK) != 0)
      throw pack_error("cannot read " + quote_name(*file) + ": " + errno_text(errno));
  return tool;
}

void sign_launcher(const std::string& tool, const signing_request& request, const std::string& input,
                   const std::string& output, const std::string& log_path) {
  std::vector<std::string> args = {tool, "sign", "-pkcs12", request.pkcs12, "-h", "sha256"};
  if (!request.password_file.empty()) args.insert(args.end(), {"-readpass", request.password_file});
  if (!request.timestamp_url.empty()) args.insert(args.end(), {"-ts", request.timestamp_url});
  args.insert(args.end(), {"-in", input, "-out", output});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t child = fork();
  if (child < 0) throw pack_error("signing the launcher failed: cannot start " + tool + ": " + errno_text(errno));
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
  set_cleanup_child(child);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  set_cleanup_child(0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  std::ifstream log(log_path);
  std::stringstream messages;
  messages << log.rdbuf();
  std::string detail = short_text(messages.str(), 4000);
  throw pack_error(std::string("signing the launcher failed (") + signing_tool + " " +
                   (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : std::string("killed")) + ")" +
                   (detail.empty() ? "" : "\n" + detail));
}
