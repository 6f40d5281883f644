// tavren-pack: packs an app folder into a payload blob or a launcher executable, and reads
// blobs back (list, verify, extract).
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include <CLI/CLI.hpp>

#include "packer/app_icon.h"
#include "packer/app_scan.h"
#include "packer/blob_commands.h"
#include "packer/blob_writer.h"
#include "packer/launcher_resources.h"
#include "packer/link_launcher.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/progress.h"
#include "packer/temp_output.h"

namespace {

struct pack_request {
  std::string app_dir, main_path, output, payload, icon;
  compression_options compression;
  launcher_texts texts;
  bool product_given = false;
  bool quiet = false, verbose = false;
};

void add_pack_options(CLI::App* command, pack_request& r, bool app_required) {
  auto* app = command->add_option("APP_DIR", r.app_dir, "The app folder; every file below it is packed");
  app->type_name("DIR");
  auto* main = command->add_option("--main", r.main_path,
                                   "The main library, relative to APP_DIR (a 64-bit DLL exporting run_code); "
                                   "it becomes the first entry");
  main->type_name("FILE");
  if (app_required) {
    app->required();
    main->required();
  }
  command->add_option("-o,--output", r.output, "Where to write the result; replaced only on success")
      ->type_name("FILE")
      ->required();
  command->add_option("--level", r.compression.level, "Zstandard level, 1..22 (default 19)")->check(CLI::Range(1, 22));
  command->add_option("--threads", r.compression.threads,
                      "Compression threads, 1..256 (default: one per core; the output is the same either way)")
      ->check(CLI::Range(1, 256));
  command->add_option("--window-log", r.compression.window_log,
                      "Window size as a power of two, 10..27 (default: just enough for the app, at most 27; "
                      "the launcher cannot decode larger)");
  command->add_flag("--no-checksum", [&r](int64_t) { r.compression.checksum = false; },
                    "Leave out the frame checksum (default: on, so damage is detected before the app runs)");
  command->add_flag("-q,--quiet", r.quiet, "No progress line and no summary; warnings and errors still show");
  command->add_flag("-v,--verbose", r.verbose, "List every entry (size and name) as it is packed");
}

void check_pack_request(const pack_request& r) {
  int log = r.compression.window_log;
  if (log != 0 && log > launcher_window_log_max)
    throw pack_error("--window-log " + std::to_string(log) + " is too large: the launcher decodes windows up to 2^" +
                         std::to_string(launcher_window_log_max) + " (use 10..27)",
                     exit_usage);
  if (log != 0 && log < 10) throw pack_error("--window-log " + std::to_string(log) + " is too small (use 10..27)", exit_usage);
}

std::string file_stem(const std::string& path) {
  std::string base = path.substr(path.find_last_of("/\\") + 1);
  size_t dot = base.rfind('.');
  return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

app_contents scan_and_report(const pack_request& r) {
  app_contents contents = scan_app(r.app_dir, r.main_path);
  for (const std::string& warning : contents.warnings) fprintf(stderr, "tavren-pack: warning: %s\n", warning.c_str());
  if (r.verbose)
    for (const app_entry& entry : contents.entries)
      printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size), entry.display.c_str());
  return contents;
}

bool show_progress(const pack_request& r) { return !r.quiet && isatty(STDERR_FILENO); }

/// "<what>: N files, in -> out (ratio) in S s", the one line a finished command prints.
void print_summary(const pack_request& r, const std::string& what, const app_contents& contents, uint64_t output_bytes,
                   double seconds) {
  if (r.quiet) return;
  double ratio = contents.content_bytes ? 100.0 * static_cast<double>(output_bytes) / static_cast<double>(contents.content_bytes) : 0;
  printf("%s: %zu files, %s -> %s (%.1f%%) in %.1f s\n", what.c_str(), contents.entries.size(),
         human_bytes(contents.content_bytes).c_str(), human_bytes(output_bytes).c_str(), ratio, seconds);
}

blob_figures pack_into(const pack_request& r, const app_contents& contents, int fd) {
  progress_meter progress(show_progress(r), entry_stream_size(contents), "packing");
  blob_figures figures = write_blob(contents, r.compression, fd, &progress);
  progress.finish();
  return figures;
}

void write_work_file(const std::string& path, const std::string& content) {
  FILE* out = fopen(path.c_str(), "wx");
  if (!out) throw pack_error("cannot write " + quote_name(path) + ": " + errno_text(errno));
  bool written = fwrite(content.data(), 1, content.size(), out) == content.size();
  if (fclose(out) != 0 || !written) throw pack_error("cannot write " + quote_name(path) + ": " + errno_text(errno));
}

void run_payload(const pack_request& r) {
  check_pack_request(r);
  app_contents contents = scan_and_report(r);
  auto start = std::chrono::steady_clock::now();
  temp_file output(r.output);
  blob_figures figures = pack_into(r, contents, output.fd());
  output.commit();
  print_summary(r, "packed " + r.output, contents, figures.blob_bytes,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

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

std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  install_cleanup_signals();
  CLI::App app{"Packs a Windows app folder into a single-file launcher, and reads payloads back."};
  app.name("tavren-pack");
  app.require_subcommand(1, 1);
  app.footer(
      "Examples:\n  tavren-pack build myapp --main bin/app.dll -o App.exe --icon logo.png --product \"My App\"\n"
      "  tavren-pack list App.exe\n"
      "Run 'tavren-pack <command> --help' for a command's options.\n");

  pack_request pack;
  CLI::App* payload = app.add_subcommand("payload", "Write the payload blob for an app folder");
  add_pack_options(payload, pack, true);
  payload->footer("Example:\n  tavren-pack payload myapp --main bin/app.dll -o app.blob --threads 4\n");

  pack_request build_request;
  CLI::App* build = app.add_subcommand("build", "Pack an app folder (or link a given blob) into a launcher .exe");
  add_pack_options(build, build_request, false);
  build->add_option("--payload", build_request.payload, "Link this blob as it is, unchecked, instead of packing APP_DIR")
      ->type_name("FILE");
  build->add_option("--icon", build_request.icon,
                    "The launcher's icon: a PNG (scaled to 16, 32, 48 and 256 pixels; square, 256 or larger "
                    "looks best) or an .ico holding those four sizes (default: the Tavren mark)")
      ->type_name("FILE");
  build->add_option("--company", build_request.texts.company,
                    "Company name: Explorer's Details tab and the {COMPANY} path token (default: empty)")
      ->type_name("TEXT");
  build->add_option("--product", build_request.texts.product,
                    "Product name: Details tab (name and description) and the {PRODUCT} path token "
                    "(default: the main library's name without extension; empty with --payload)")
      ->type_name("TEXT")
      ->each([&](const std::string&) { build_request.product_given = true; });
  build->add_option("--file-version", build_request.texts.file_version,
                    "File version, each part 0..65535; also the {VERSION} and {FILE_VERSION} tokens (default 0.0.0.0)")
      ->type_name("A.B.C.D");
  build->add_option("--product-version", build_request.texts.product_version,
                    "Product version, each part 0..65535; also the {PRODUCT_VERSION} token (default 0.0.0.0)")
      ->type_name("A.B.C.D");
  build->footer(
      "Examples:\n  tavren-pack build myapp --main bin/app.dll -o App.exe --product \"My App\" --file-version 1.2.0.0\n"
      "  tavren-pack build myapp --main bin/app.dll -o App.exe --icon logo.png --company \"Acme\" -v\n"
      "  tavren-pack build --payload app.blob -o App.exe --icon app.ico\n"
      "Every launcher carries a version resource with these texts, a manifest (runs as the invoking\n"
      "user, long paths, Windows Vista to 11, common controls 6) and the icon. The same input and\n"
      "options give a byte-identical executable.\n"
      "Compiles the resources with x86_64-w64-mingw32-windres and links with x86_64-w64-mingw32-g++-posix\n"
      "(both from PATH) against the libraries in $TAVREN_LAUNCHER_LIBDIR\n"
      "(default: <folder of tavren-pack>/../lib/tavren).\n");

  std::string file, folder;
  bool extract_verbose = false;
  CLI::App* list = app.add_subcommand("list", "Print each entry's size and name (blob or launcher .exe)");
  list->add_option("FILE", file, "A payload blob or a launcher executable")->required();
  list->footer("Example:\n  tavren-pack list App.exe\n");
  CLI::App* verify = app.add_subcommand("verify", "Decode everything and check the layout; exit 1 naming the first fault");
  verify->add_option("FILE", file, "A payload blob or a launcher executable")->required();
  verify->footer("Example:\n  tavren-pack verify app.blob\n");
  CLI::App* extract = app.add_subcommand("extract", "Write the entries as files below a folder");
  extract->add_option("FILE", file, "A payload blob or a launcher executable")->required();
  extract->add_option("DIR", folder, "Target folder, created if missing; existing files are never replaced")->required();
  extract->add_flag("-v,--verbose", extract_verbose, "Print each name written");
  extract->footer("Example:\n  tavren-pack extract App.exe unpacked\n");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    // CLI11 checks required options before it complains about unknown ones, but a misspelt
    // option is the likelier cause of both, so name it first.
    for (CLI::App* command : app.get_subcommands({}))
      for (const std::string& extra : command->remaining())
        if (extra.size() > 1 && extra[0] == '-') {
          fprintf(stderr, "tavren-pack: unknown option %s for %s (see tavren-pack %s --help)\n", quote_name(extra).c_str(),
                  command->get_name().c_str(), command->get_name().c_str());
          return exit_usage;
        }
    auto named = [&](CLI::App* command) { return command->get_name() == argv[1]; };
    if (argc > 1 && argv[1][0] != '-' && app.get_subcommands(named).empty()) {
      fprintf(stderr, "tavren-pack: unknown command %s; use payload, build, list, verify or extract (see --help)\n",
              quote_name(argv[1]).c_str());
      return exit_usage;
    }
    fprintf(stderr, "tavren-pack: %s (see --help)\n", one_line(e.what()).c_str());
    return exit_usage;
  }

  try {
    if (payload->parsed()) run_payload(pack);
    else if (build->parsed()) run_build(build_request);
    else if (list->parsed()) list_payload(file);
    else if (verify->parsed()) verify_payload(file);
    else if (extract->parsed()) extract_payload(file, folder, extract_verbose);
    fflush(stdout);
    return 0;
  } catch (const pack_error& e) {
    fflush(stdout);
    fprintf(stderr, "tavren-pack: %s\n", e.what());
    return e.status;
  } catch (const std::exception& e) {
    fflush(stdout);
    fprintf(stderr, "tavren-pack: %s\n", e.what());
    return exit_failure;
  }
}
