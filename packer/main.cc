// tavren-pack: packs an app folder into a payload blob or a launcher executable, and reads
// blobs back (list, verify, extract).
#include <stdio.h>

#include <CLI/CLI.hpp>

#include "packer/blob_commands.h"
#include "packer/build_command.h"
#include "packer/delta_command.h"
#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/payload_command.h"
#include "packer/temp_output.h"
#include "packer/update/update_key.h"

namespace {

void add_pack_options(CLI::App* command, pack_request& r, bool app_required) {
  auto* app = command->add_option("APP_DIR", r.app_dir, "The app folder; every file below it is packed");
  app->type_name("DIR");
  auto* main = command->add_option("--main", r.main_path,
                                   "The main file, relative to APP_DIR: an x64 or ARM64 program, which the launcher "
                                   "starts, or a DLL exporting run_code, which it loads; it becomes the first entry");
  main->type_name("FILE");
  if (app_required) {
    app->required();
    main->required();
  }
  command->add_option("-o,--output", r.output, "Where to write the result; replaced only on success")
      ->type_name("FILE")
      ->required();
  command->add_option("--level", r.compression.level, "Zstandard level, 1..22 (default 19)")->check(CLI::Range(1, 22));
  command
      ->add_option("--threads", r.compression.threads,
                   "Compression threads, 1..256 (default: one per core; the output is the same either way)")
      ->check(CLI::Range(1, 256));
  command->add_option("--window-log", r.compression.window_log,
                      "Window size as a power of two, 10..27 (default: just enough for the app, at most 27; "
                      "the launcher cannot decode larger)");
  command
      ->add_option("--frame-size", r.compression.frame_size,
                   "Cut the application between files into frames of about SIZE (like 8M), which the launcher "
                   "decodes side by side, one per processor; 0 keeps one frame. Smaller frames use more "
                   "processors, larger ones compress better (default: 32M pieces for apps over 64 MiB)")
      ->transform(CLI::AsSizeValue(false));
  command
      ->add_option_function<std::string>(
          "--frame-cut",
          [&r](const std::string& cut) { r.compression.cut = cut == "content" ? frame_cut::content : frame_cut::size; },
          "Where frames are cut: size (about --frame-size bytes apart, the default) or content (after files "
          "chosen by name and size, about --frame-size apart, default 8M): unchanged files then give the same "
          "bytes in the next release, so a delta between releases stays small")
      ->check(CLI::IsMember({"size", "content"}))
      ->type_name("size|content");
  command->add_flag("--rsyncable", r.compression.rsyncable,
                    "Let zstd cut its work at content-defined points inside each frame (ZSTD_c_rsyncable)");
  command->add_flag(
      "--no-checksum", [&r](int64_t) { r.compression.checksum = false; },
      "Leave out the frame checksum (default: on, so damage is detected before the app runs)");
  command->add_flag("-q,--quiet", r.quiet, "No progress line and no summary; warnings and errors still show");
  command->add_flag("-v,--verbose", r.verbose, "List every entry (size and name) as it is packed");
}

std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

}  // namespace

namespace {

int pack_main(int argc, char** argv) {
  install_cleanup_signals();
  CLI::App app{"Packs a Windows app folder into a single-file launcher, and reads payloads back."};
  app.name("tavren-pack");
  app.require_subcommand(1, 1);
  app.set_version_flag("--version", "tavren-pack " TAVREN_VERSION, "Print the version and exit");
  app.footer(
      "Examples:\n  tavren-pack build myapp --main bin/app.dll -o App.exe --icon logo.png --product \"My App\"\n"
      "  tavren-pack list App.exe\n"
      "Run 'tavren-pack <command> --help' for a command's options.\n");

  pack_request pack;
  CLI::App* payload = app.add_subcommand("payload", "Write the payload blob for an app folder");
  add_pack_options(payload, pack, true);
  payload->footer("Example:\n  tavren-pack payload myapp --main bin/app.dll -o app.blob --threads 4\n");

  pack_request build_request;
  CLI::App* build = app.add_subcommand("build", "Pack an app folder (or a given blob) into a launcher .exe");
  add_pack_options(build, build_request, false);
  build->add_option("--payload", build_request.payload, "Use this blob as it is, unchecked, instead of packing APP_DIR")
      ->type_name("FILE");
  build
      ->add_option("--icon", build_request.icon,
                   "The launcher's icon: a PNG (scaled to 16, 32, 48 and 256 pixels; square, 256 or larger "
                   "looks best) or an .ico holding those four sizes (default: the Tavren mark)")
      ->type_name("FILE");
  build
      ->add_option("--company", build_request.texts.company,
                   "Company name: Explorer's Details tab and the {COMPANY} path token (default: an executable's "
                   "own, else empty)")
      ->type_name("TEXT")
      ->each([&](const std::string&) { build_request.company_given = true; });
  build
      ->add_option("--product", build_request.texts.product,
                   "Product name: Details tab (name and description) and the {PRODUCT} path token "
                   "(default: an executable's own, else the main file's name without extension; empty with "
                   "--payload)")
      ->type_name("TEXT")
      ->each([&](const std::string&) { build_request.product_given = true; });
  build
      ->add_option("--file-version", build_request.texts.file_version,
                   "File version, each part 0..65535; also the {VERSION} and {FILE_VERSION} tokens (default: an "
                   "executable's own, else 0.0.0.0)")
      ->type_name("A.B.C.D")
      ->each([&](const std::string&) { build_request.file_version_given = true; });
  build
      ->add_option("--product-version", build_request.texts.product_version,
                   "Product version, each part 0..65535; also the {PRODUCT_VERSION} token (default: an "
                   "executable's own, else 0.0.0.0)")
      ->type_name("A.B.C.D")
      ->each([&](const std::string&) { build_request.product_version_given = true; });
  auto* console_flag =
      build->add_flag("--console", build_request.console,
                      "Make a console launcher, for command-line tools: cmd.exe and PowerShell wait for it, and the "
                      "application reads and writes the console it was started from (default: an executable's own "
                      "subsystem, else windowed)");
  build
      ->add_flag("--windowed", build_request.windowed,
                 "Make a windowed launcher, for programs with windows (the default for a main library)")
      ->excludes(console_flag);
  build->add_flag("--cached", build_request.cached,
                  "Unpack once into the user's cache folder (LocalAppData\\COMPANY\\PRODUCT\\VERSION-KEY) and start "
                  "from there; a new build gets a folder of its own, a damaged one is repaired (needs --product "
                  "with --payload)");
  build->add_flag("--cached-verify", build_request.cached_verify,
                  "Like --cached, and every start also compares each cached file's digest with the launcher's");
  build
      ->add_option("--unpack-dir", build_request.unpack_dir,
                   "Make run folders (or, with --cached, the product folders) under this folder instead of the "
                   "temp folder (or LocalAppData): a template with {TEMP}, {CACHE_DIR}, {HOME}, {PROGRAM_DIR}, "
                   "{PRODUCT} and the other path tokens, such as \"{PROGRAM_DIR}\\.app-files\"; the variable "
                   "TAVREN_ONEFILE_UNPACK_DIR overrides it on a machine")
      ->type_name("TEMPLATE")
      ->each([&](const std::string&) { build_request.unpack_dir_given = true; });
  manifest_request& manifest = build_request.manifest;
  CLI::Option* uac_admin = build->add_flag(
      "--uac-admin", [&manifest](int64_t) { manifest.level = execution_level::require_administrator; },
      "Ask Windows to run the launcher as an administrator (requireAdministrator): the user confirms, or "
      "an administrator's password is asked for");
  build
      ->add_option_function<std::string>(
          "--uac-level",
          [&manifest](const std::string& level) {
            manifest.level = level == "highestAvailable"       ? execution_level::highest_available
                             : level == "requireAdministrator" ? execution_level::require_administrator
                                                               : execution_level::as_invoker;
          },
          "The execution level the manifest requests: asInvoker (default), highestAvailable (an "
          "administrator is asked to consent, anyone else runs as themselves) or requireAdministrator")
      ->check(CLI::IsMember({"asInvoker", "highestAvailable", "requireAdministrator"}))
      ->type_name("LEVEL")
      ->excludes(uac_admin);
  build
      ->add_option_function<std::string>(
          "--dpi-aware",
          [&manifest](const std::string& mode) {
            manifest.dpi = mode == "system" ? dpi_awareness::system : dpi_awareness::per_monitor_v2;
          },
          "Declare the application DPI-aware, so Windows does not scale its windows as bitmaps: system "
          "(one scale, the main display's) or per-monitor-v2 (each window follows its display)")
      ->check(CLI::IsMember({"system", "per-monitor-v2"}))
      ->type_name("MODE");
  build->add_flag("--utf8", manifest.utf8,
                  "Make UTF-8 the process's active code page (GetACP), which the A functions use (Windows 10 "
                  "1903 and later)");
  build
      ->add_option("--manifest", manifest.file,
                   "Use this manifest file as it is instead of the one the packer writes (checked to be "
                   "well-formed XML with an assembly root; a warning when it drops long paths or the "
                   "supported Windows versions)")
      ->type_name("FILE");
  build
      ->add_option("--splash", build_request.splash,
                   "Show this image (a PNG, alpha kept, or a BMP; 16 to 1024 pixels a side) centred on the screen "
                   "from the launcher's start, with a progress bar at its foot while it unpacks, until the "
                   "application's first window appears or it signals TAVREN_ONEFILE_SPLASH_EVENT")
      ->type_name("IMAGE");
  build
      ->add_option("--splash-timeout", build_request.splash_timeout,
                   "The longest the splash stays, in seconds, 1..3600 (default 30)")
      ->check(CLI::Range(1, 3600))
      ->type_name("SECONDS");
  build
      ->add_option("--stub", build_request.stub,
                   "Complete this launcher stub instead of the one built into tavren-pack "
                   "(a tavren-launcher.exe built with other options)")
      ->type_name("FILE");
  build
      ->add_option("--arch", build_request.arch,
                   "The launcher's processor: x64 or arm64 (default: the main library's; x64 with --payload)")
      ->type_name("x64|arm64")
      ->check(CLI::IsMember({"x64", "arm64"}));
  build
      ->add_option("--sign", build_request.signing.pkcs12,
                   "Sign the launcher (Authenticode, SHA-256) with this PKCS#12 certificate and key, "
                   "using osslsigncode from PATH")
      ->type_name("PKCS12");
  build
      ->add_option("--sign-password-file", build_request.signing.password_file,
                   "The PKCS#12 password, on the first line of this file (with --sign)")
      ->type_name("FILE");
  build->add_flag("--sign-payload", build_request.sign_payload,
                  "With --sign: also sign every Windows binary of APP_DIR (DLLs, executables, judged by their "
                  "content) with the same certificate before packing, working on copies; a file whose own "
                  "signature matches its content is packed as it is");
  build
      ->add_option("--timestamp-url", build_request.signing.timestamp_url,
                   "Time-stamp the signature at this RFC 3161 service, so it outlives the certificate (with --sign)")
      ->type_name("URL");
  build
      ->add_option("--update-key", build_request.update_key,
                   "Take updates signed with this key (a file from update-key new); given the private key, also "
                   "sign this launcher as an update, before --sign")
      ->type_name("KEY");
  build->add_flag("--updates-unsigned", build_request.updates_unsigned,
                  "Take updates of the same product without a signature (a launcher without a key takes none)");
  build->footer(
      "Examples:\n  tavren-pack build myapp --main bin/app.dll -o App.exe --product \"My App\" --file-version 1.2.0.0\n"
      "  tavren-pack build myapp --main bin/app.dll -o App.exe --icon logo.png --company \"Acme\" -v\n"
      "  tavren-pack build --payload app.blob -o App.exe --icon app.ico\n"
      "  tavren-pack build mytool --main tool.dll -o tool.exe --console\n"
      "  tavren-pack build myapp --main bin/app.dll -o App.exe --sign release.p12 --sign-password-file pass.txt\n"
      "  tavren-pack build myapp --main bin/app.dll -o App.exe --uac-admin --dpi-aware per-monitor-v2\n"
      "  tavren-pack build myapp --main bin/app.dll -o App.exe --splash splash.png --splash-timeout 60\n"
      "  tavren-pack build myapp --main bin/app.dll -o App.exe --file-version 1.3.0.0 --update-key release.key\n"
      "Every launcher carries a version resource with these texts, a manifest (runs as the invoking\n"
      "user unless --uac-admin or --uac-level says otherwise, long paths, Windows Vista to 11,\n"
      "common controls 6) and the icon. The same input and options give a byte-identical\n"
      "executable. No compiler or linker is needed: the packer completes a copy of the launcher\n"
      "stub it carries (or the one given with --stub).\n");

  std::string file, folder;
  bool extract_verbose = false;
  CLI::App* list = app.add_subcommand("list", "Print each entry's size and name (blob or launcher .exe)");
  list->add_option("FILE", file, "A payload blob or a launcher executable")->required();
  list->footer("Example:\n  tavren-pack list App.exe\n");
  CLI::App* verify =
      app.add_subcommand("verify", "Decode everything and check the layout; exit 1 naming the first fault");
  verify->add_option("FILE", file, "A payload blob or a launcher executable")->required();
  verify->footer("Example:\n  tavren-pack verify app.blob\n");
  CLI::App* extract = app.add_subcommand("extract", "Write the entries as files below a folder");
  extract->add_option("FILE", file, "A payload blob or a launcher executable")->required();
  extract->add_option("DIR", folder, "Target folder, created if missing; existing files are never replaced")
      ->required();
  extract->add_flag("-v,--verbose", extract_verbose, "Print each name written");
  extract->footer("Example:\n  tavren-pack extract App.exe unpacked\n");

  std::string key_path, signed_output;
  CLI::App* update_key = app.add_subcommand("update-key", "Make the key pair that signs a product's updates");
  CLI::App* update_key_new = update_key->add_subcommand("new", "Write a new private key to KEY and its public half to KEY.pub");
  update_key_new->add_option("KEY", key_path, "The private key's file; neither file may exist")->required();
  update_key->require_subcommand(1);
  update_key->footer("Example:\n  tavren-pack update-key new release.key\n"
                     "Keep release.key secret and safe: launchers packed with --update-key take only updates it\n"
                     "signed, and a lost key cannot be replaced in launchers already shipped.\n");
  CLI::App* sign_update =
      app.add_subcommand("sign-update", "Sign a packed launcher so that launchers carrying the key take it as an update");
  sign_update->add_option("--key", key_path, "The private key from update-key new")->required()->type_name("KEY");
  sign_update->add_option("FILE", file, "The launcher .exe, signed in place unless -o")->required();
  sign_update->add_option("-o,--output", signed_output, "Write the signed launcher here instead")->type_name("FILE");
  sign_update->footer("Example:\n  tavren-pack sign-update --key release.key App.exe\n"
                      "Sign for updates before Authenticode (osslsigncode): Authenticode then covers both.\n");
  delta_request delta_args;
  CLI::App* delta = app.add_subcommand("delta", "Write the difference between two releases of a launcher (.tdelta)");
  delta->add_option("OLD", delta_args.old_path, "The release users have")->required()->type_name("FILE");
  delta->add_option("NEW", delta_args.new_path, "The release they should get (not with --apply)")->type_name("FILE");
  delta->add_option("-o,--output", delta_args.output, "Where to write the result; replaced only on success")
      ->type_name("FILE")
      ->required();
  delta
      ->add_option("--apply", delta_args.apply,
                   "Apply this delta to OLD instead, as a launcher does, and write the new launcher")
      ->type_name("DELTA");
  delta->add_option("--level", delta_args.level, "Zstandard level of the new bytes, 1..22 (default 19)")
      ->check(CLI::Range(1, 22));
  delta->add_option("--threads", delta_args.threads, "Compression threads, 1..256 (default: one per core)")
      ->check(CLI::Range(1, 256));
  delta->add_flag("-q,--quiet", delta_args.quiet, "No summary; errors still show");
  delta->footer(
      "Examples:\n  tavren-pack delta App-1.0.exe App-1.1.exe -o App-1.1.tdelta\n"
      "  tavren-pack delta App-1.0.exe --apply App-1.1.tdelta -o App-1.1.exe\n"
      "Both launchers must be of one product (company and product) and one processor. The delta\n"
      "records the SHA-256 of both: applied to any other file it is refused, and what it rebuilds\n"
      "is the new launcher byte for byte, signature included. Deltas chain: 1.0 to 1.1, then 1.1\n"
      "to 1.2.\n");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    // CLI11 checks required options before it complains about unknown ones, but a misspelt
    // option is the likelier cause of both, so name it first.
    for (CLI::App* command : app.get_subcommands({}))
      for (const std::string& extra : command->remaining())
        if (extra.size() > 1 && extra[0] == '-') {
          fprintf(stderr, "tavren-pack: unknown option %s for %s (see tavren-pack %s --help)\n",
                  quote_name(extra).c_str(), command->get_name().c_str(), command->get_name().c_str());
          return exit_usage;
        }
    auto named = [&](CLI::App* command) { return command->get_name() == argv[1]; };
    if (argc > 1 && argv[1][0] != '-' && app.get_subcommands(named).empty()) {
      fprintf(stderr, "tavren-pack: unknown command %s; use payload, build, list, verify, extract, delta, update-key or sign-update (see --help)\n",
              quote_name(argv[1]).c_str());
      return exit_usage;
    }
    fprintf(stderr, "tavren-pack: %s (see --help)\n", one_line(e.what()).c_str());
    return exit_usage;
  }

  try {
    if (payload->parsed())
      run_payload(pack);
    else if (build->parsed())
      run_build(build_request);
    else if (list->parsed())
      list_payload(file);
    else if (verify->parsed())
      verify_payload(file);
    else if (extract->parsed())
      extract_payload(file, folder, extract_verbose);
    else if (update_key_new->parsed())
      run_update_key_new(key_path);
    else if (sign_update->parsed())
      run_sign_update(key_path, file, signed_output);
    else if (delta->parsed())
      run_delta(delta_args);
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

}  // namespace

#ifdef _WIN32
// Windows hands over UTF-16; it becomes UTF-8 here, like every name the packer handles.
int wmain(int argc, wchar_t** wide_argv) {
  host_console_output console;
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    bool valid;
    args.push_back(utf16_to_utf8(reinterpret_cast<const char16_t*>(wide_argv[i]), &valid));
    if (!valid) {
      fprintf(stderr, "tavren-pack: argument %s is not valid UTF-16 (an unpaired surrogate)\n",
              quote_name(args.back()).c_str());
      return exit_usage;
    }
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return pack_main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return pack_main(argc, argv); }
#endif
