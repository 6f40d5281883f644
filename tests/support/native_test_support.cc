#include "tests/support/native_test_support.h"

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <zstd.h>

#include "base/byte_order.h"
#include "formats/payload.h"

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

bytes entry_stream(const std::vector<stream_entry>& entries, bool end_marker) {
  bytes stream;
  for (const stream_entry& entry : entries) {
    bytes name = name_bytes(entry.name), size = u64_bytes(entry.content.size());
    stream.insert(stream.end(), name.begin(), name.end());
    stream.insert(stream.end(), size.begin(), size.end());
    stream.insert(stream.end(), entry.content.begin(), entry.content.end());
  }
  if (end_marker) stream.insert(stream.end(), {0, 0});
  return stream;
}

bytes compressed(const bytes& stream) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  bytes out(ZSTD_compressBound(stream.size()));
  out.resize(ZSTD_compress2(context, out.data(), out.size(), stream.data(), stream.size()));
  ZSTD_freeCCtx(context);
  return out;
}

std::string blob_around(const bytes& frames) {
  std::string blob = payload_magic;
  blob.append(frames.begin(), frames.end());
  while (blob.size() % payload_trailer_alignment != 0) blob += '\0';
  bytes trailer = u64_bytes(blob.size());
  blob.append(trailer.begin(), trailer.end());
  return blob;
}

}  // namespace native_test
