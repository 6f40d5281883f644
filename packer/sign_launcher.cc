#include "packer/sign_launcher.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

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

// The signing time a reproducible signature carries: a timestamp service gives the real one.
std::string reproducible_signing_time() {
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (!epoch || !*epoch || strlen(epoch) > 12) return "0";
  for (const char* c = epoch; *c; ++c)
    if (*c < '0' || *c > '9') return "0";
  return epoch;
}

// The hexadecimal value after the colon of every line that starts with `label`.
std::vector<std::string> values_after(const std::string& text, const std::string& label) {
  std::vector<std::string> values;
  for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
    if (at != 0 && text[at - 1] != '\n') continue;
    size_t colon = text.find(':', at), end = text.find('\n', at);
    if (colon == std::string::npos || colon > end) continue;
    size_t first = text.find_first_not_of(' ', colon + 1);
    size_t last = text.find_first_not_of("0123456789ABCDEFabcdef", first);
    values.push_back(text.substr(first, last - first));
  }
  return values;
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

void sign_file(const std::string& tool, const signing_request& request, const std::string& input,
               const std::string& output, const std::string& log_path, const std::string& what) {
  std::vector<std::string> args = {tool, "sign", "-pkcs12", request.pkcs12, "-h", "sha256"};
  if (!request.password_file.empty()) args.insert(args.end(), {"-readpass", request.password_file});
  if (!request.timestamp_url.empty())
    args.insert(args.end(), {"-ts", request.timestamp_url});
  else
    args.insert(args.end(), {"-time", reproducible_signing_time()});
  args.insert(args.end(), {"-in", input, "-out", output});
  int status = 0;
  if (!host_run_tool(args, log_path, &status))
    throw pack_error("signing " + what + " failed: cannot start " + tool + ": " + errno_text(errno));
  if (status == 0) return;
  std::string detail = short_text(read_text(log_path), 4000);
  throw pack_error("signing " + what + " failed (" + signing_tool + " " +
                   (status >= 0 ? "exit " + std::to_string(status) : std::string("killed")) + ")" +
                   (detail.empty() ? "" : "\n" + detail));
}

bool signature_digest_matches(const std::string& tool, const std::string& path, const std::string& log_path) {
  // No network: the digests are all this asks, and a revocation list would only say more about trust.
  std::vector<std::string> args = {tool, "verify", "-ignore-cdp", "-ignore-timestamp", "-in", path};
  auto verify = [&] {
    int status = 0;
    if (!host_run_tool(args, log_path, &status))
      throw pack_error("checking the signature of " + quote_name(path) + " failed: cannot start " + tool + ": " +
                       errno_text(errno));
    return read_text(log_path);
  };
  std::string log = verify();
  // Versions before 2.6 (Debian 12's own 2.5) fetch no revocation lists and do not know the option.
  if (log.find("Unknown option: -ignore-cdp") != std::string::npos) {
    args.erase(args.begin() + 2);
    log = verify();
  }
  std::vector<std::string> current = values_after(log, "Current message digest");
  std::vector<std::string> calculated = values_after(log, "Calculated message digest");
  if (current.empty() || current.size() != calculated.size()) return false;
  for (size_t i = 0; i < current.size(); ++i)
    if (current[i].empty() || current[i] != calculated[i]) return false;
  return true;
}
