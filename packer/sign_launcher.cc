#include "packer/sign_launcher.h"

#include <errno.h>

#include <vector>

#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"

namespace {

std::string read_text(const std::string& path) {
  std::string text;
  int fd = host_open_read(path);
  if (fd < 0) return text;
  char chunk[4096];
  for (long long n; (n = host_read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
  host_close(fd);
  return text;
}

std::string short_text(const std::string& text, size_t limit) {
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  if (out.size() > limit) out = out.substr(0, limit) + "\n...";
  return out;
}

}  // namespace

std::string find_signing_tool(const signing_request& request) {
  std::string tool = host_find_program(signing_tool);
  if (tool.empty())
    throw pack_error(std::string("cannot sign: '") + signing_tool +
                     "' is not on PATH (install it, or leave out --sign)");
  for (const std::string* file : {&request.pkcs12, &request.password_file})
    if (!file->empty() && !host_readable(*file))
      throw pack_error("cannot read " + quote_name(*file) + ": " + errno_text(errno));
  return tool;
}

void sign_launcher(const std::string& tool, const signing_request& request, const std::string& input,
                   const std::string& output, const std::string& log_path) {
  std::vector<std::string> args = {tool, "sign", "-pkcs12", request.pkcs12, "-h", "sha256"};
  if (!request.password_file.empty()) args.insert(args.end(), {"-readpass", request.password_file});
  if (!request.timestamp_url.empty()) args.insert(args.end(), {"-ts", request.timestamp_url});
  args.insert(args.end(), {"-in", input, "-out", output});
  int status = 0;
  if (!host_run_tool(args, log_path, &status))
    throw pack_error("signing the launcher failed: cannot start " + tool + ": " + errno_text(errno));
  if (status == 0) return;
  std::string detail = short_text(read_text(log_path), 4000);
  throw pack_error(std::string("signing the launcher failed (") + signing_tool + " " +
                   (status >= 0 ? "exit " + std::to_string(status) : std::string("killed")) + ")" +
                   (detail.empty() ? "" : "\n" + detail));
}
