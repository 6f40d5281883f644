// The console control handler: which events run the clean-up, how often the clean-up asks
// the system to delete, a helper that keeps the folder, and a real Ctrl+C sent to a running
// launcher.
#include <gtest/gtest.h>
#include <windows.h>

#include <iostream>
#include <thread>

#include "launcher/backoff.h"
#include "launcher/child_process.h"
#include "launcher/folder_processes.h"
#include "launcher/run_state.h"
#include "tests/support/launcher_e2e_support.h"

namespace {

// Points the launcher's target directory at `path` as if unpacking had (or had not) begun.
void pretend_target(const std::wstring& path, bool unpacking) {
  ASSERT_LT(path.size(), launcher_path_capacity);
  wcscpy(g_target_directory, path.c_str());
  g_unpacking_started = unpacking;
}

void make_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "data", 4, &written, nullptr);
  CloseHandle(file);
}

// An unpacked-looking tree: a file and a subfolder with a file.
std::wstring make_target(const scratch_folder& temp) {
  std::wstring target = temp / L"onefile_1_000000_AAAAAAAAAAA";
  CreateDirectoryW(target.c_str(), nullptr);
  CreateDirectoryW((target + L"\\sub").c_str(), nullptr);
  make_file(target + L"\\main.dll");
  make_file(target + L"\\sub\\data.txt");
  return target;
}

long requests() { return g_cleanup_delete_requests; }

// Before the application starts, an interrupt ends the launcher and its folder goes; once it
// runs, Ctrl+C and Ctrl+Break are the application's, and only close, log-off and shutdown
// clean up.
TEST(ConsoleControlHandler, WhichEventsRemoveTheFolderBeforeAndAfterTheApplicationStarts) {
  for (bool application_started : {false, true}) {
    for (DWORD event = 0; event <= 7; ++event) {
      SCOPED_TRACE(std::to_string(event) + (application_started ? " with the application running" : ""));
      scratch_folder temp;
      std::wstring target = make_target(temp);
      pretend_target(target, true);
      g_application_started = application_started;
      long before = requests();
      bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
      bool leaves_it = application_started && interrupt;
      bool removes = !leaves_it && (interrupt || event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
                                    event == CTRL_SHUTDOWN_EVENT);
      EXPECT_EQ(console_ctrl_handler(event), leaves_it ? TRUE : FALSE);
      EXPECT_EQ(path_exists(target), !removes);
      EXPECT_EQ(requests() - before, removes ? 1 : 0);
    }
  }
  g_application_started = false;
}

TEST(ConsoleControlHandler, BeforeUnpackingNothingIsTouched) {
  scratch_folder temp;
  std::wstring target = make_target(temp);
  pretend_target(target, false);
  long before = requests();
  EXPECT_FALSE(console_ctrl_handler(CTRL_C_EVENT));
  EXPECT_TRUE(path_exists(target + L"\\sub\\data.txt"));
  EXPECT_EQ(requests(), before);
}

// As a scanner that holds a new file for a moment: the folder is asked for again after growing
// pauses, goes as soon as the file is let go, and is given up once the pauses reach their bound.
TEST(ConsoleControlHandler, AHeldFolderIsAskedForAgainUntilItGoesOrThePausesEnd) {
  scratch_folder temp;
  std::wstring target = make_target(temp);
  // Held open without sharing: the system cannot delete it, so the folder stays.
  HANDLE held = CreateFileW((target + L"\\main.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  pretend_target(target, true);
  long before = requests();
  DWORD start = GetTickCount();
  EXPECT_FALSE(console_ctrl_handler(CTRL_CLOSE_EVENT));
  DWORD elapsed = GetTickCount() - start;
  EXPECT_EQ(requests() - before, backoff_attempts());
  EXPECT_GE(elapsed + 100, backoff_total_ms);
  EXPECT_TRUE(is_directory(target));
  std::cout << "[ figure ] clean-up of a folder held throughout: " << elapsed << " ms, " << requests() - before
            << " requests\n";

  // Let go once the clean-up has asked twice: the next request takes the folder.
  before = requests();
  std::thread cleanup([] { console_ctrl_handler(CTRL_CLOSE_EVENT); });
  while (requests() - before < 2) SwitchToThread();
  CloseHandle(held);
  cleanup.join();
  EXPECT_FALSE(path_exists(target));
  EXPECT_LT(requests() - before, backoff_attempts());
}

// A helper the application started from the folder keeps it whole through the clean-up; once
// the helper has ended, the folder goes. The helper is also seen when the folder is named by
// another spelling (its short form), which its image path does not share.
TEST(ConsoleControlHandler, AProgramRunningFromTheFolderKeepsItWhole) {
  scratch_folder temp;
  std::wstring target = make_target(temp);
  ASSERT_TRUE(CopyFileW(test_program(L"file_holder.exe").c_str(), (target + L"\\helper.exe").c_str(), TRUE));
  release_event release;
  started_process helper(target + L"\\helper.exe", L"helper check " + release.name(), launch_options(temp.path()));
  ASSERT_TRUE(helper.started());
  wchar_t short_form[MAX_PATH];
  DWORD units = GetShortPathNameW(target.c_str(), short_form, MAX_PATH);
  ASSERT_TRUE(units > 0 && units < MAX_PATH);
  ASSERT_NE(target, short_form);
  EXPECT_TRUE(any_process_runs_from(target.c_str()));
  EXPECT_TRUE(any_process_runs_from(short_form)) << narrow(short_form);
  EXPECT_FALSE(any_process_runs_from((target + L"\\sub").c_str()));
  pretend_target(target, true);
  long before = requests();
  EXPECT_FALSE(console_ctrl_handler(CTRL_CLOSE_EVENT));
  EXPECT_EQ(requests(), before);
  EXPECT_TRUE(path_exists(target + L"\\sub\\data.txt"));
  release.set();
  EXPECT_EQ(helper.finish().exit_code, 0u);
  EXPECT_FALSE(any_process_runs_from(short_form));
  EXPECT_FALSE(console_ctrl_handler(CTRL_CLOSE_EVENT));
  EXPECT_FALSE(path_exists(target));
}

TEST(ConsoleControlHandler, APathThatIsGoneOrNoFolderEndsAfterOneRequest) {
  scratch_folder temp;
  long before = requests();
  pretend_target(temp / L"never_there", true);
  EXPECT_FALSE(console_ctrl_handler(CTRL_C_EVENT));
  EXPECT_EQ(requests() - before, 1);

  // A file that cannot be deleted is still no folder: no retries for it.
  std::wstring file = temp / L"plain";
  make_file(file);
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  pretend_target(file, true);
  before = requests();
  EXPECT_FALSE(console_ctrl_handler(CTRL_C_EVENT));
  CloseHandle(held);
  EXPECT_EQ(requests() - before, 1);
  EXPECT_TRUE(path_exists(file));
}

TEST(ConsoleControlHandler, TwoEventsAtOnceBothFinish) {
  scratch_folder temp;
  std::wstring target = make_target(temp);
  pretend_target(target, true);
  BOOL results[2] = {TRUE, TRUE};
  std::thread first([&] { results[0] = console_ctrl_handler(CTRL_C_EVENT); });
  std::thread second([&] { results[1] = console_ctrl_handler(CTRL_CLOSE_EVENT); });
  first.join();
  second.join();
  EXPECT_FALSE(results[0]);
  EXPECT_FALSE(results[1]);
  EXPECT_FALSE(path_exists(target));
}

// A REPL takes Ctrl+C, drops the line it reads and goes on; an application without a handler
// ends on it. Either way the launcher stays, passes on the application's code and removes the
// folder.
TEST(ConsoleControlHandler, RealCtrlCIsTheApplicationsToHandleAndItsCodeIsPassedOn) {
  // The executable kind's launcher is a console program, as the one it carries.
  const bool console_launcher = e2e_executable_entry() || GetEnvironmentVariableW(L"TAVREN_TEST_CONSOLE", nullptr, 0);
  for (bool handles : {true, false}) {
    SCOPED_TRACE(handles ? "the application handles Ctrl+C" : "the application does not handle Ctrl+C");
    scratch_folder temp;
    // Never released while the sender waits: only the event can end the application.
    release_event release;
    run_options options = launch_options(temp.path());
    options.set_env.push_back(release.variable());
    options.set_env.push_back({L"TAVREN_TEST_EXIT", L"9"});
    if (handles) options.set_env.push_back({L"TAVREN_TEST_CTRL_EXIT", L"21"});
    std::wstring output = temp / L"launcher_output.txt";
    captured_run sender = run_captured(test_program(L"ctrl_c_sender.exe"),
                                       L"ctrl_c_sender \"" + e2e_launcher(L"e2e_report_launcher.exe") + L"\" \"" +
                                           temp.path() + L"\" \"" + output + L"\"",
                                       options);
    release.set();
    ASSERT_FALSE(sender.timed_out);
    if (sender.exit_code == 10) GTEST_SKIP() << "AllocConsole failed: the sender has no console to send Ctrl+C on";
    ASSERT_EQ(sender.exit_code, 0u) << sender.err;
    report r = parse_reports("argc=0\n" + sender.out)[0];
    ASSERT_EQ(value_of(r, "running"), "1") << sender.out;
    // Windows attaches a windowed program to no console, not even the one of the program that
    // starts it, so a Ctrl+C there is not its launcher's (Wine 10 does the same; Wine 8 attaches
    // it, and there the windowed launcher's handling is tested too). A console launcher is
    // attached to the console it was started on, always.
    if (value_of(r, "launcher_on_console") != "1") {
      ASSERT_FALSE(console_launcher) << "a console launcher is not on the console it was started on";
      GTEST_SKIP() << "the windowed launcher is attached to no console, as Windows starts a windowed program: "
                      "no Ctrl+C is its to handle";
    }
    std::cout << "[ figure ] Ctrl+C: the application waited after " << value_of(r, "ready_ms")
              << " ms; the launcher ended " << value_of(r, "elapsed_ms") << " ms after the event\n";
    if (value_of(r, "sent") != "1") GTEST_SKIP() << "GenerateConsoleCtrlEvent(CTRL_C_EVENT) failed";
    // The application reports every event it gets, and so does the sender, which shares the
    // console. Only if neither got it did the system never deliver it; if the sender got it and
    // the application did not, the launcher kept it from its application.
    if (value_of(r, "application_saw_event") == "0") {
      ASSERT_EQ(value_of(r, "sender_saw_event"), "0") << "the console got Ctrl+C, the application never did";
      GTEST_SKIP() << "the system never delivered Ctrl+C to the launcher's console";
    }
    ASSERT_EQ(value_of(r, "ended"), "1") << "the launcher did not end after Ctrl+C";
    std::vector<unsigned char> written = read_file_bytes(output);
    std::string text(written.begin(), written.end());
    std::string code = value_of(r, "exit");
    if (handles) {
      // It went on after the event and chose its own code: the launcher neither ended it nor
      // ended before it.
      EXPECT_NE(text.find("interrupted=1"), std::string::npos) << text;
      EXPECT_EQ(code, "0x15");
    } else {
      // Wine's default handling exits with 0, Windows' with 0xC000013A.
      EXPECT_TRUE(code == "0x0" || code == "0xC000013A") << code;
    }
    EXPECT_EQ(value_of(r, "folder_left"), "0");
    EXPECT_TRUE(folder_entries(temp.path(), L"onefile_").empty());
    // The application's process ended with its launcher: none is left behind.
    std::vector<report> reports = parse_reports(text);
    ASSERT_FALSE(reports.empty());
    std::string pid = value_of(reports[0], "pid");
    ASSERT_NE(pid, "<missing>");
    HANDLE application = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(pid)));
    if (application) {
      EXPECT_EQ(WaitForSingleObject(application, 0), WAIT_OBJECT_0) << "application " << pid << " still runs";
      CloseHandle(application);
    }
  }
}

}  // namespace
