// A real launcher with report_app packed in, started as a user starts it: what the
// application receives, what the caller gets back, and what stays in the temporary folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "tests/support/launcher_e2e_support.h"

namespace {

// Windowed, or console in the suite's console run: every case holds for both kinds.
const std::wstring kLauncher = e2e_launcher_name(L"e2e_report_launcher.exe");

std::wstring launcher() { return test_program(kLauncher.c_str()); }

// What the application reported under `key` after doing `action` (TAVREN_TEST_ACTION) in a run
// that unpacks below `temp` and must end with code 0 and a single report.
std::string reported_after(const std::wstring& temp, const wchar_t* action, const char* key) {
  run_options options = launch_options(temp);
  options.set_env.push_back({L"TAVREN_TEST_ACTION", action});
  captured_run run = run_captured(launcher(), L"launcher", options);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  std::vector<report> reports = parse_reports(run.out);
  if (reports.size() != 1) {
    ADD_FAILURE() << "one report expected: " << run.out;
    return {};
  }
  return value_of(reports[0], key);
}

// Everything below runs several launches at once where they do not depend on each other.
void run_in_parallel(const std::vector<std::function<void()>>& jobs) {
  std::vector<std::thread> threads;
  for (const auto& job : jobs) threads.emplace_back(job);
  for (auto& thread : threads) thread.join();
}

// The quoting that the child's command line must use, written out by hand rather than
// computed, next to the argument the parent receives.
struct quoted_case {
  std::wstring argument;
  std::wstring appended;
};

const std::vector<quoted_case>& quoting_cases() {
  static const std::vector<quoted_case> cases = {
      {L"report.txt", L"report.txt"},
      {L"two words", L"\"two words\""},
      {L"C:\\My Files\\", L"\"C:\\My Files\\\\\""},
      {L"C:\\data\\", L"C:\\data\\"},
      {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
      {L"a\\\"b", L"\"a\\\\\\\"b\""},
      {L"a\\\\b c", L"\"a\\\\b c\""},
      {L"dir name\\\\", L"\"dir name\\\\\\\\\""},
      {L"\"", L"\"\\\"\""},
      {L"a\tb", L"\"a\tb\""},
      {L"a\nb", L"\"a\nb\""},
      {L"a\vb", L"\"a\vb\""},
      {L"a\rb", L"a\rb"},
      {L"a\fb", L"a\fb"},
      {L"", L"\"\""},
      {L"x", L"x"},
      {L"", L"\"\""},
      {L"caf\u00e9 \u20ac", L"\"caf\u00e9 \u20ac\""},
  };
  return cases;
}

// The C runtime writes text-mode line ends (CR LF) to files and pipes.
std::string without_carriage_returns_before_line_feeds(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result.push_back(text[i]);
  }
  return result;
}

std::string expected_argv_lines(const std::vector<std::wstring>& argv) {
  std::string lines;
  for (size_t i = 0; i < argv.size(); ++i) lines += "argv" + std::to_string(i) + "=" + narrow(argv[i]) + "\n";
  return lines;
}

// The value of the line "key=..." in raw output, whose earlier lines may hold line breaks.
std::string raw_value(const std::string& out, const std::string& key) {
  size_t at = out.find("\n" + key + "=");
  if (at == std::string::npos) return "<missing>";
  at += key.size() + 2;
  return out.substr(at, out.find('\n', at) - at);
}

TEST(LauncherArguments, AppSeesExactlyTheParentsArgumentsBehindTheLaunchersFullPath) {
  scratch_folder temp;
  run_options options = launch_options(temp.path());
  options.current_directory = test_binary_directory();
  // What the caller typed stays relative; the child gets the module path instead. An
  // executable entry gets its own path and the rest of the line exactly as it was typed.
  std::wstring typed = L"..\\bin\\" + kLauncher;
  std::wstring line = typed;
  std::wstring child_line = launcher();
  std::vector<std::wstring> argv = {launcher()};
  for (const auto& c : quoting_cases()) {
    line += L" " + quote_argument(c.argument);
    child_line += L" " + c.appended;
    argv.push_back(c.argument);
  }
  captured_run run = run_captured(launcher(), line, options);
  run.out = without_carriage_returns_before_line_feeds(run.out);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  if (e2e_executable_entry()) {
    std::wstring main = widen(raw_value(run.out, "main_library"));
    argv[0] = main;
    child_line = L"\"" + main + L"\"" + line.substr(typed.size());
    EXPECT_EQ(raw_value(run.out, "TAVREN_ONEFILE_EXECUTABLE"), narrow(launcher()));
  }
  // Arguments may hold line breaks, so compare the raw lines rather than parsed ones.
  EXPECT_NE(run.out.find("argc=" + std::to_string(argv.size()) + "\n" + expected_argv_lines(argv)), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\ncommand_line=" + narrow(child_line) + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nTAVREN_ORIGINAL_ARGV0=" + narrow(typed) + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nTAVREN_ONEFILE_DIRECTORY=" + narrow(test_binary_directory()) + "\n"), std::string::npos);
  EXPECT_NE(run.out.find("\ncwd=" + narrow(test_binary_directory()) + "\n"), std::string::npos) << run.out;
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

TEST(LauncherArguments, LauncherInstalledUnderAFolderWithASpace) {
  scratch_folder temp;
  std::wstring folder = temp / L"My Apps";
  std::wstring tool = folder + L"\\tool.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(launcher().c_str(), tool.c_str(), TRUE));
  scratch_folder unpack;
  run_options options = launch_options(unpack.path());
  options.current_directory = folder;
  captured_run run = run_captured(tool, L"tool -v \"two words\"", options);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  auto reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 1u) << run.out;
  const report& r = reports[0];
  std::string argv0 = e2e_executable_entry() ? value_of(r, "main_library") : narrow(tool);
  EXPECT_EQ(value_of(r, "command_line"), "\"" + argv0 + "\" -v \"two words\"");
  EXPECT_EQ(value_of(r, "argc"), "3");
  EXPECT_EQ(value_of(r, "argv0"), argv0);
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_EXECUTABLE"), narrow(tool));
  EXPECT_EQ(value_of(r, "argv2"), "two words");
  EXPECT_EQ(value_of(r, "TAVREN_ORIGINAL_ARGV0"), "tool");
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_DIRECTORY"), narrow(folder));
  // The quoted name with an argument right behind it: the launcher takes "-v" as an argument,
  // so the application must too, whatever splitter it has.
  captured_run tight = run_captured(tool, L"\"" + tool + L"\"-v \"two words\"", options);
  auto tight_reports = parse_reports(tight.out);
  ASSERT_EQ(tight_reports.size(), 1u) << tight.out;
  EXPECT_EQ(value_of(tight_reports[0], "argc"), "3");
  EXPECT_EQ(value_of(tight_reports[0], "argv0"),
            e2e_executable_entry() ? value_of(tight_reports[0], "main_library") : narrow(tool));
  EXPECT_EQ(value_of(tight_reports[0], "argv1"), "-v");
  EXPECT_TRUE(folder_entries(unpack.path()).empty());
}

// The parent is started under a one-letter name, so its own line is shorter than the
// child's by the length of the module path less one; `filler` pads the child's line.
std::wstring parent_line_for_child_length(size_t child_length) {
  size_t fixed = launcher().size() + 1;  // module path and the separating space
  return L"x " + std::wstring(child_length - fixed, L'a');
}

TEST(LauncherArguments, CommandLineNearTheLimit) {
  // The system passes on at most 32,766 characters; the builder holds 32,768. In between the
  // parent refuses to launch rather than let the system cut the last argument short.
  struct attempt {
    size_t child_length;
    captured_run run;
    std::unique_ptr<scratch_folder> temp = std::make_unique<scratch_folder>();
  };
  std::vector<attempt> attempts(4);
  for (size_t i = 0; i < attempts.size(); ++i) attempts[i].child_length = 32766 + i;
  std::vector<std::function<void()>> jobs;
  for (auto& a : attempts) {
    jobs.push_back([&a] {
      a.run = run_captured(launcher(), parent_line_for_child_length(a.child_length), launch_options(a.temp->path()));
    });
  }
  run_in_parallel(jobs);

  const captured_run& fits = attempts[0].run;
  EXPECT_EQ(fits.exit_code, 0u) << fits.err;
  auto reports = parse_reports(fits.out);
  ASSERT_EQ(reports.size(), 1u) << fits.err;
  EXPECT_EQ(value_of(reports[0], "command_line"),
            narrow(launcher() + L" " + parent_line_for_child_length(32766).substr(2)));
  EXPECT_TRUE(folder_entries(attempts[0].temp->path()).empty());

  for (size_t i = 1; i < attempts.size(); ++i) {
    const attempt& a = attempts[i];
    SCOPED_TRACE(a.child_length);
    // Nothing is cleaned up on a failed start: the unpacked folder stays.
    auto left = folder_entries(a.temp->path(), L"onefile_");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(path_exists(*a.temp / left[0] + L"\\report_app.dll"));
    EXPECT_EQ(a.run.out, "");
    if (a.child_length <= 32768) {
      // The builder's buffer holds it; the launch is refused the way Windows refuses it.
      EXPECT_EQ(a.run.exit_code, 2u);
      EXPECT_EQ(a.run.err.rfind("Error, couldn't launch child ([Error 206] ", 0), 0u) << a.run.err;
    } else {
      // Past the buffer: abort, no message, no child.
      EXPECT_EQ(a.run.exit_code, 3u);
      EXPECT_EQ(a.run.err, "");
    }
  }
}

TEST(LauncherExitCodes, ChildExitCodeReachesTheCallerAndTheFolderGoes) {
  struct attempt {
    std::wstring exit_text, action;
    uint32_t expected;
    captured_run run;
    std::unique_ptr<scratch_folder> temp = std::make_unique<scratch_folder>();
  };
  std::vector<attempt> attempts;
  attempts.push_back({L"0", L"", 0u, {}});
  attempts.push_back({L"3", L"", 3u, {}});
  attempts.push_back({L"2", L"", 2u, {}});
  attempts.push_back({L"0x80000001", L"", 0x80000001u, {}});
  attempts.push_back({L"0xFFFFFFFF", L"", 0xFFFFFFFFu, {}});
  attempts.push_back({L"0", L"crash", 0xC0000005u, {}});
  std::vector<std::function<void()>> jobs;
  for (auto& a : attempts) {
    jobs.push_back([&a] {
      run_options options = launch_options(a.temp->path());
      options.set_env.push_back({L"TAVREN_TEST_EXIT", a.exit_text});
      if (!a.action.empty()) options.set_env.push_back({L"TAVREN_TEST_ACTION", a.action});
      a.run = run_captured(launcher(), L"launcher", options);
    });
  }
  run_in_parallel(jobs);
  for (auto& a : attempts) {
    SCOPED_TRACE(narrow(a.exit_text + L" " + a.action));
    EXPECT_FALSE(a.run.timed_out);
    EXPECT_EQ(a.run.exit_code, a.expected);
    EXPECT_EQ(parse_reports(a.run.out).size(), 1u);
    EXPECT_TRUE(folder_entries(a.temp->path()).empty());
  }
}

TEST(LauncherExitCodes, ExitCodeArrivesWithoutStandardHandles) {
  scratch_folder temp;
  run_options options = launch_options(temp.path());
  options.no_std_handles = true;
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"5"});
  captured_run run = run_captured(launcher(), L"launcher", options);
  EXPECT_EQ(run.exit_code, 5u);
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

TEST(LauncherTargetFolder, NamedFromTheParentsIdentityAndSharedWithTheChild) {
  scratch_folder temp;
  run_options options = launch_options(temp.path());
  // Leftovers from an earlier run must not leak into a new parent's identity.
  options.set_env.push_back({L"TAVREN_ONEFILE_TIME_US", L"leftover"});
  options.set_env.push_back({L"TAVREN_ONEFILE_RANDOM", L"AAAAAAAAAAA"});
  options.set_env.push_back({L"TAVREN_ONEFILE_START", L"1"});
  captured_run run = run_captured(launcher(), L"launcher", options);
  ASSERT_EQ(run.exit_code, 0u) << run.err;
  auto reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 1u);
  const report& r = reports[0];

  std::wstring library = widen(value_of(r, "main_library"));
  std::wstring prefix = temp.path() + L"\\";
  ASSERT_EQ(library.compare(0, prefix.size(), prefix), 0) << narrow(library);
  std::wstring rest = library.substr(prefix.size());
  size_t slash = rest.find(L'\\');
  ASSERT_NE(slash, std::wstring::npos);
  EXPECT_EQ(rest.substr(slash), L"\\" + e2e_report_main());
  target_name name = parse_target_name(rest.substr(0, slash));
  ASSERT_TRUE(name.ok) << narrow(rest);

  EXPECT_EQ(value_of(r, "module"), narrow(library));
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_PARENT"), narrow(name.pid));
  EXPECT_NE(value_of(r, "pid"), narrow(name.pid));
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_TIME_US"), narrow(name.time_us));
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_RANDOM"), narrow(name.random));
  EXPECT_NE(name.time_us, L"leftover");
  EXPECT_NE(name.random, L"AAAAAAAAAAA");
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_START"), unset_value);
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_DIRECTORY"), narrow(test_binary_directory()));
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

TEST(LauncherTargetFolder, TwoRunsNeverShareAFolder) {
  // Live parents differ by process id anyway; the random text is what keeps a name unique
  // once an id comes back, so it must differ between runs on its own.
  scratch_folder temp;
  std::string libraries[2];
  std::vector<std::function<void()>> jobs;
  for (auto& library : libraries) {
    jobs.push_back([&] {
      captured_run run = run_captured(launcher(), L"launcher", launch_options(temp.path()));
      auto reports = parse_reports(run.out);
      if (reports.size() == 1) library = value_of(reports[0], "main_library");
    });
  }
  run_in_parallel(jobs);
  std::wstring prefix = temp.path() + L"\\";
  target_name names[2];
  for (int i = 0; i < 2; ++i) {
    std::wstring library = widen(libraries[i]);
    ASSERT_EQ(library.compare(0, prefix.size(), prefix), 0) << libraries[i];
    std::wstring folder = library.substr(prefix.size());
    names[i] = parse_target_name(folder.substr(0, folder.find(L'\\')));
    ASSERT_TRUE(names[i].ok) << libraries[i];
  }
  EXPECT_NE(names[0].random, names[1].random);
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// In an unpack folder where others may delete entries, the run's folder could be moved away
// between the unpack and the load and another put in its place. The run holds it open instead:
// under Wine, which keeps no access lists, the application itself stands in for the others.
TEST(LauncherTargetFolder, NobodyMovesItAwayWhileTheRunLives) {
  scratch_folder temp;
  EXPECT_EQ(reported_after(temp.path(), L"move_folder", "move_error"), std::to_string(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// Packed with --unpack-dir "{PROGRAM_DIR}\\.app-files", both modes unpack beside the launcher
// even when it was started by a bare name, as a prompt in its folder passes it, in a folder of
// the user's own there: others may make folders in such a place. A dead run there is collected,
// one of the same form in the temp folder is not that launcher's to touch; the administrators'
// variable wins over the template, and a relative value is refused.
TEST(LauncherUnpackFolder, BesideTheLauncherWithItsDeadRunsAndTheVariableOverTheTemplate) {
  scratch_folder temp, place, redirected;
  const std::wstring files = place / L".app-files", own = files + L"\\" + own_folder_name();
  const std::wstring dead_name = L"onefile_4294967292_000000_CCCCCCCCCCC";  // no process has the id
  auto plant_dead_run = [&](const std::wstring& dead) {
    ASSERT_TRUE(CreateDirectoryW(dead.c_str(), nullptr));
    HANDLE file = CreateFileW((dead + L"\\left.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
  };
  plant_dead_run(temp / dead_name);
  for (const wchar_t* name : {L"beside_report_launcher.exe", L"cached_beside_launcher.exe"})
    ASSERT_TRUE(CopyFileW(test_program(name).c_str(), (place / name).c_str(), TRUE));
  run_options options = launch_options(temp.path());
  options.current_directory = place.path();
  auto library_of = [&](const wchar_t* name) {
    captured_run run = run_captured(place / name, name, options);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    auto reports = parse_reports(run.out);
    return reports.size() == 1 ? widen(value_of(reports[0], "main_library")) : std::wstring();
  };
  auto starts_with = [](const std::wstring& text, const std::wstring& head) { return text.rfind(head, 0) == 0; };

  std::wstring library = library_of(L"beside_report_launcher.exe");
  EXPECT_TRUE(starts_with(library, own + L"\\onefile_")) << narrow(library);
  EXPECT_EQ(folder_entries(files), std::vector<std::wstring>{own_folder_name()});
  plant_dead_run(own + L"\\" + dead_name);
  library = library_of(L"beside_report_launcher.exe");
  EXPECT_TRUE(starts_with(library, own + L"\\onefile_")) << narrow(library);
  EXPECT_TRUE(folder_entries(own).empty());
  EXPECT_EQ(folder_entries(temp.path()), std::vector<std::wstring>{dead_name});
  library = library_of(L"cached_beside_launcher.exe");
  EXPECT_TRUE(starts_with(library, own + L"\\Tavren Test\\Beside\\1.2.3.4-")) << narrow(library);

  options.set_env.push_back({L"TAVREN_ONEFILE_UNPACK_DIR", redirected.path() + L"\\"});
  const std::wstring redirected_own = redirected / own_folder_name();
  library = library_of(L"beside_report_launcher.exe");
  EXPECT_TRUE(starts_with(library, redirected_own + L"\\onefile_")) << narrow(library);
  EXPECT_TRUE(folder_entries(redirected_own).empty());
  library = library_of(L"cached_beside_launcher.exe");
  EXPECT_TRUE(starts_with(library, redirected_own + L"\\Tavren Test\\Beside\\1.2.3.4-")) << narrow(library);

  options.set_env.back().second = L"relative\\folder";
  for (const wchar_t* name : {L"beside_report_launcher.exe", L"cached_beside_launcher.exe"}) {
    captured_run run = run_captured(place / name, name, options);
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error, TAVREN_ONEFILE_UNPACK_DIR must be an absolute folder path, not 'relative\\folder'.\r\n");
  }
}

// A template that passed an older packer but names no absolute folder ("{PRODUCT}\\files")
// ends every start with a message and the defined exit code, never an abort.
TEST(LauncherUnpackFolder, ATemplateThatIsNoAbsolutePathEndsTheStartWithExitCode2) {
  scratch_folder temp, place;
  for (const wchar_t* name : {L"beside_report_launcher.exe", L"cached_beside_launcher.exe"}) {
    SCOPED_TRACE(narrow(name));
    std::vector<unsigned char> image = read_file_bytes(test_program(name));
    const std::u16string packed = u"{PROGRAM_DIR}\\.app-files", relative = u"{PRODUCT}\\files";
    auto bytes = [](const std::u16string& text) {
      return std::string(reinterpret_cast<const char*>(text.data()), (text.size() + 1) * sizeof(char16_t));
    };
    std::string text(image.begin(), image.end()), from = bytes(packed), to = bytes(relative);
    size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos);
    std::copy(to.begin(), to.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    std::wstring exe = place / name;
    FILE* out = _wfopen(exe.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    fwrite(image.data(), 1, image.size(), out);
    fclose(out);
    captured_run run = run_captured(exe, quote_argument(exe), launch_options(temp.path()));
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.err, "Error, couldn't runtime expand spec '{PRODUCT}\\files'.\r\n");
  }
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

TEST(LauncherFailures, ChildFailuresAreForwardedAndTheFolderStillGoes) {
  scratch_folder no_entry_temp, not_a_library_temp;
  captured_run no_entry, not_a_library;
  run_in_parallel({
      [&] {
        no_entry = run_captured(e2e_launcher(L"e2e_no_entry_launcher.exe"), L"x", launch_options(no_entry_temp.path()));
      },
      [&] {
        not_a_library = run_captured(e2e_launcher(L"e2e_not_a_library_launcher.exe"), L"x",
                                     launch_options(not_a_library_temp.path()));
      },
  });
  EXPECT_EQ(no_entry.exit_code, 2u);
  // Standard output is in text mode: puts ends the line with CR LF.
  EXPECT_EQ(no_entry.out, "Error, DLL entry point not found.\r\n");
  EXPECT_EQ(no_entry.err, "");
  EXPECT_TRUE(folder_entries(no_entry_temp.path()).empty());

  EXPECT_EQ(not_a_library.exit_code, 2u);
  EXPECT_EQ(not_a_library.out, "");
  const std::string head = "Error, load DLL. ([Error ";
  ASSERT_EQ(not_a_library.err.compare(0, head.size(), head), 0) << not_a_library.err;
  size_t bracket = not_a_library.err.find("] ");
  ASSERT_NE(bracket, std::string::npos);
  std::string code = not_a_library.err.substr(head.size(), bracket - head.size());
  EXPECT_GT(std::stol(code), 0) << code;
  // The system text's own line break is gone: one line, ending in the parenthesis.
  EXPECT_EQ(not_a_library.err.substr(not_a_library.err.size() - 3), ")\r\n");
  EXPECT_EQ(not_a_library.err.find_first_of("\r\n"), not_a_library.err.size() - 2) << not_a_library.err;
  EXPECT_TRUE(folder_entries(not_a_library_temp.path()).empty());
}

// The run folder is claimed before anything is written: a temporary folder where none can be
// made ends the run there, with the folder's full path and the system's reason. A cached
// launcher's install folder, beside its cache folder, is claimed the same way, and so is a
// folder the administrators' variable names.
TEST(LauncherFailures, ARunFolderThatCannotBeMadeEndsTheRunWithItsFullPath) {
  scratch_folder temp;
  std::wstring blocker = temp / L"plain file";
  HANDLE file = CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  // A temporary folder below a file, and one whose drive does not exist.
  for (const std::wstring& unusable : {blocker + L"\\sub", std::wstring(L"Q:\\no drive here")}) {
    for (auto [cached, by_variable] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
      // The administrators' variable names the folder the same way the temp folder does.
      run_options options = launch_options(by_variable ? temp.path() : unusable);
      options.set_env.push_back({by_variable ? L"TAVREN_ONEFILE_UNPACK_DIR" : L"LOCALAPPDATA", unusable});
      captured_run run = cached ? run_captured(test_program(L"cached_report_launcher.exe"), L"launcher", options)
                                : run_captured(launcher(), L"launcher", options);
      EXPECT_EQ(run.exit_code, 2u);
      EXPECT_EQ(run.out, "");
      const std::string middle = "'. ([Error ";
      if (by_variable) {
        // The user's own folder there is the first one the start makes.
        const std::string own = "Error, failed to create folder '" + narrow(unusable + L"\\" + own_folder_name()) + middle;
        EXPECT_EQ(run.err.compare(0, own.size(), own), 0) << run.err;
        continue;
      }
      const std::string head =
          "Error, failed to create folder '" + narrow(unusable) + (cached ? "\\Tavren Test\\Report\\" : "\\");
      ASSERT_EQ(run.err.compare(0, head.size(), head), 0) << run.err;
      size_t end = run.err.find(middle);
      ASSERT_NE(end, std::string::npos) << run.err;
      EXPECT_TRUE(parse_target_name(widen(run.err.substr(head.size(), end - head.size()))).ok) << run.err;
      EXPECT_EQ(run.err.substr(run.err.size() - 3), ")\r\n");
    }
  }
  EXPECT_EQ(folder_entries(temp.path()), std::vector<std::wstring>{L"plain file"});
}

// The payload costs no private memory: it starts on a page in the file, so the loader maps it
// from there instead of copying it (Wine copies any section it cannot map). Seen from the
// child, which loads the same image as the parent.
TEST(LauncherImage, ThePayloadIsMappedFromTheFileNotCopied) {
  scratch_folder temp;
  std::string mapped = reported_after(temp.path(), L"payload_mapping", "payload_mapped");
  if (mapped == "none") GTEST_SKIP() << "the application runs as its own executable, which carries no payload";
  EXPECT_EQ(mapped, "file");
}

// The stub as built, before the packer fills in its descriptor, has no payload to offer.
TEST(LauncherFailures, AStubNeverFilledInReportsTheMissingPayload) {
  scratch_folder temp;
  captured_run run = run_captured(test_program(L"unfilled_stub.exe"), L"x", launch_options(temp.path()));
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.out, "Error, couldn't find attached data header.\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

}  // namespace
