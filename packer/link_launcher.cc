#include "packer/link_launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/temp_output.h"
#include "payload/format.h"

namespace {

const char* const launcher_libraries[] = {"tavren_entry", "tavren_launcher", "tavren_payload",
                                          "tavren_paths", "tavren_base", "zstd"};

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

/// Runs `args` inside `work` with its output in work/tool.log; throws pack_error
/// "<doing> failed (<tool> exit N)" followed by what the tool said.
void run_tool(const std::string& work, std::vector<std::string> args, const std::string& doing, const char* tool) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::string log_path = work + "/tool.log";
  pid_t child = fork();
  if (child < 0) throw pack_error(doing + " failed: cannot start " + tool + ": " + errno_text(errno));
  if (child == 0) {
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0 || chdir(work.c_str()) != 0) _exit(127);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
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
  throw pack_error(doing + " failed (" + tool + " " +
                   (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : std::string("killed")) + ")" +
                   (detail.empty() ? "" : "\n" + detail));
}

}  // namespace

bool is_four_part_version(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  while (parts < 4) {
    size_t digits = 0;
    unsigned long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 6) {
      value = value * 10 + static_cast<unsigned long>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 65535) return false;
    ++parts;
    if (parts < 4) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
  }
  return at == text.size();
}

std::string launcher_assembly(const std::string& blob_name, uint64_t blob_size, const launcher_texts& texts) {
  std::ostringstream s;
  s << "    .section .rdata,\"dr\"\n"
    << "    .balign 16\n"
    << "    .ascii \"" << launcher_payload_marker << "\"\n"
    << "    .globl attached_payload_size\n"
    << "attached_payload_size:\n"
    << "    .quad " << blob_size << "\n"
    << "    .quad 0\n"
    << "    .globl attached_payload\n"
    << "attached_payload:\n"
    << "    .incbin \"" << blob_name << "\"\n";
  auto text = [&](const char* symbol, const std::string& utf8) {
    // Callers pass text that converted before; anything else would be a bug upstream.
    std::u16string units = utf8_to_utf16(utf8).value_or(u"");
    s << "    .balign 2\n    .globl " << symbol << "\n" << symbol << ":\n    .short ";
    for (char16_t unit : units) s << static_cast<unsigned>(unit) << ", ";
    s << "0\n";
  };
  text("tavren_company_text", texts.company);
  text("tavren_product_text", texts.product);
  text("tavren_file_version_text", texts.file_version);
  text("tavren_product_version_text", texts.product_version);
  return s.str();
}

std::string launcher_library_folder() {
  if (const char* folder = getenv("TAVREN_LAUNCHER_LIBDIR"); folder && *folder) return folder;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "lib/tavren";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/')) + "/../lib/tavren";
}

void link_launcher(const std::string& work) {
  std::string driver = find_on_path(launcher_linker);
  if (driver.empty()) throw pack_error(std::string("cannot find the linker '") + launcher_linker + "' on PATH");
  std::string compiler = find_on_path(resource_compiler);
  if (compiler.empty())
    throw pack_error(std::string("cannot find the resource compiler '") + resource_compiler + "' on PATH");
  std::string libraries = launcher_library_folder();
  for (const char* library : launcher_libraries) {
    std::string file = libraries + "/lib" + library + ".a";
    if (access(file.c_str(), R_OK) != 0)
      throw pack_error("launcher library " + quote_name(file) + " is missing (" + errno_text(errno) +
                       "); set TAVREN_LAUNCHER_LIBDIR to the folder holding libtavren_*.a");
  }

  // The driver we link with preprocesses the script too, so windres needs no other compiler
  // under its default name. The script is pure ASCII; -c 65001 only makes that explicit.
  run_tool(work, {compiler, "--preprocessor=" + driver, "--preprocessor-arg=-E", "--preprocessor-arg=-xc",
                  "--preprocessor-arg=-DRC_INVOKED", "-c", "65001", "-O", "coff", "-i", "resources.rc", "-o",
                  "resources.o"},
           "compiling the launcher's resources", resource_compiler);

  std::vector<std::string> args = {driver, "-municode", "-mwindows", "-static", "-s", "-Wl,--no-insert-timestamp",
                                   // Sections at page boundaries in the file too: the loader can
                                   // then map the payload from the file instead of reading it
                                   // into private memory (Wine copies sections it cannot map).
                                   "-Wl,--file-alignment,4096",
                                   "-Wa,-I" + work, "-o", "launcher.exe", "attached.S", "resources.o",
                                   "-L" + libraries,
                                   // The entry point sits in an archive; nothing before the C
                                   // runtime asks for it, so ask for it here.
                                   "-Wl,--undefined=wWinMain", "-Wl,--start-group"};
  for (const char* library : launcher_libraries) args.push_back(std::string("-l") + library);
  args.push_back("-Wl,--end-group");
  run_tool(work, args, "linking the launcher", launcher_linker);
}
