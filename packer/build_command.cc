#include "packer/build_command.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "packer/app_icon.h"
#include "packer/launcher_resources.h"
#include "packer/link_launcher.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/progress.h"
#include "packer/temp_output.h"

namespace {

std::string file_stem(const std::string& path) {
  std::string base = path.substr(path.find_last_of("/\\") + 1);
  size_t dot = base.rfind('.');
  return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

void write_work_file(const std::string& path, const std::string& content) {
  FILE* out = fopen(path.c_str(), "wx");
  if (!out) throw pack_error("cannot write " + quote_name(path) + ": " + errno_text(errno));
  bool written = fwrite(content.data(), 1, content.size(), out) == content.size();
  if (fclose(out) != 0 || !written) throw pack_error("cannot write " + quote_name(path) + ": " + errno_text(errno));
}

}  // namespace

void run_build(const pack_request& r) {
  check_pack_request(r);
  bool from_blob = !r.payload.empty();
  if (from_blob && (!r.app_dir.empty() || !r.main_path.empty()))
    throw pack_error("build takes either --payload BLOB or APP_DIR with --main, not both", exit_usage);
  if (!from_blob && (r.app_dir.empty() || r.main_path.empty()))
    throw pack_error("build needs APP_DIR and --main (or --payload BLOB)", exit_usage);
  launcher_texts texts = r.texts;
  for (const std::string* version : {&texts.file_version, &texts.product_version})
    if (!is_four_part_version(*version))
      throw pack_error("version " + quote_name(*version) + " is not four numbers 0..65535 (like 1.2.0.0)", exit_usage);
  for (const std::string* text : {&texts.company, &texts.product})
    if (!utf8_to_utf16(*text)) throw pack_error("text " + quote_name(*text) + " is not valid UTF-8", exit_usage);
  if (!r.product_given && !from_blob) texts.product = file_stem(r.main_path);
  // Explorer shows the output's own name as the original file name.
  std::string file_name = r.output.substr(r.output.find_last_of('/') + 1);
  if (!utf8_to_utf16(file_name))
    throw pack_error("output name " + quote_name(file_name) + " is not valid UTF-8", exit_usage);
  // A bad icon should stop us before minutes of compression, not after.
  std::vector<std::string> icon_warnings;
  std::string icon = r.icon.empty() ? default_icon() : load_icon(r.icon, icon_warnings);
  for (const std::string& warning : icon_warnings) fprintf(stderr, "tavren-pack: warning: %s\n", warning.c_str());
  auto start = std::chrono::steady_clock::now();

  app_contents contents;
  if (!from_blob) contents = scan_and_report(r);
  temp_folder work(r.output);
  std::string blob = work.file("payload.bin");
  std::string assembly = work.file("attached.S");
  work.file("launcher.exe");
  work.file("tool.log");
  write_work_file(work.file("launcher.ico"), icon);
  write_work_file(work.file("launcher.manifest"), launcher_manifest());
  write_work_file(work.file("resources.rc"),
                  launcher_resource_script(texts, file_name, "launcher.ico", "launcher.manifest"));
  work.file("resources.o");
  uint64_t blob_size;
  if (from_blob) {
    struct stat info;
    if (stat(r.payload.c_str(), &info) != 0) throw pack_error("cannot read " + quote_name(r.payload) + ": " + errno_text(errno));
    if (!S_ISREG(info.st_mode)) throw pack_error("cannot read " + quote_name(r.payload) + ": not a regular file");
    char* resolved = realpath(r.payload.c_str(), nullptr);
    bool linked = resolved && symlink(resolved, blob.c_str()) == 0;
    free(resolved);
    if (!linked) throw pack_error("cannot read " + quote_name(r.payload) + ": " + errno_text(errno));
    blob_size = static_cast<uint64_t>(info.st_size);
  } else {
    int fd = open(blob.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw pack_error("cannot write " + quote_name(blob) + ": " + errno_text(errno));
    try {
      blob_size = pack_into(r, contents, fd).blob_bytes;
    } catch (...) {
      close(fd);
      throw;
    }
    if (close(fd) != 0) throw pack_error("cannot write " + quote_name(blob) + ": " + errno_text(errno));
  }
  write_work_file(assembly, launcher_assembly("payload.bin", blob_size, texts));
  {
    progress_meter linking(show_progress(r), 0, "linking");
    linking.say("linking " + file_name + " ...");
    link_launcher(work.path());
  }
  struct stat built;
  uint64_t exe_bytes = stat((work.path() + "/launcher.exe").c_str(), &built) == 0 ? static_cast<uint64_t>(built.st_size) : 0;
  work.commit("launcher.exe", 0777);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (from_blob) {
    if (!r.quiet)
      printf("built %s: payload %s linked as it is, %s in %.1f s\n", r.output.c_str(), human_bytes(blob_size).c_str(),
             human_bytes(exe_bytes).c_str(), seconds);
  } else {
    print_summary(r, "built " + r.output, contents, exe_bytes, seconds);
  }
}
