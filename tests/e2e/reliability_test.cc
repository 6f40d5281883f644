// Faults that come from outside the launcher: a disk that fills up, a file that another
// process keeps open, a parent killed while its application runs, libraries planted where a
// careless search would find them, and an environment filled with hostile values. Each
// case pins what the caller gets and what is left on disk; figures go to standard output.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "launcher/backoff.h"
#include "tests/support/launcher_e2e_support.h"

namespace {

using bytes = std::string;

std::wstring report_launcher() { return e2e_launcher(L"e2e_report_launcher.exe"); }
std::wstring blob_launcher() { return test_program(L"blob_launcher.exe"); }
std::wstring blob_file(const wchar_t* name) { return test_binary_directory() + L"\\..\\blobs\\" + name + L".bin"; }

bytes read_file(const std::wstring& path) {
  bytes data;
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

// Every file and folder below `folder` as sorted relative paths.
std::vector<std::wstring> tree(const std::wstring& folder, const std::wstring& prefix = L"") {
  std::vector<std::wstring> out;
  for (const auto& name : folder_entries(folder)) {
    out.push_back(prefix + name);
    if (is_directory(folder + L"\\" + name)) {
      for (auto& below : tree(folder + L"\\" + name, prefix + name + L"\\")) out.push_back(below);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The longest environment value this system keeps whole: 32,767 characters on Windows,
// one less under Wine, which drops the last character of a value at the documented limit.
size_t longest_kept_value() {
  for (size_t length = 32767; length > 32000; --length) {
    std::wstring value(length, L'v');
    SetEnvironmentVariableW(L"TAVREN_LENGTH_PROBE", value.c_str());
    // Wine fails every read into a buffer of more than 32,768 units.
    static wchar_t back[32768];
    DWORD got = GetEnvironmentVariableW(L"TAVREN_LENGTH_PROBE", back, 32768);
    SetEnvironmentVariableW(L"TAVREN_LENGTH_PROBE", nullptr);
    if (got == length && value == back) return length;
  }
  return 0;
}

void write_text(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

void run_in_parallel(const std::vector<std::function<void()>>& jobs) {
  std::vector<std::thread> threads;
  for (const auto& job : jobs) threads.emplace_back(job);
  for (auto& thread : threads) thread.join();
}

// --- A disk that fills up while the payload is written --------------------------------

// The tmpfs that the CTest fixture mounts, as Wine sees it through its Z: drive.
std::wstring small_disk() {
  std::wstring path = L"Z:" + widen(TAVREN_SMALL_DISK);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

TEST(FullDisk, TheFailedWriteIsReportedAndTheFilesBeforeItStayWhole) {
  const std::wstring disk = small_disk();
  if (const char* why = fixture_mount_unseen(disk + L"\\mounted")) GTEST_SKIP() << why;
  if (!path_exists(disk + L"\\mounted")) {
    std::string why = read_file(disk + L".skip");
    GTEST_SKIP() << "no 1 MiB tmpfs at " << narrow(disk) << ": " << why;
  }
  // 200 KB of library and a 3 MB incompressible file: the disk is full inside the second.
  const std::wstring temp = disk + L"\\temp";
  remove_tree(temp);
  ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
  run_options options = launch_options(temp);
  options.set_env.push_back({L"TAVREN_TEST_BLOB", blob_file(L"reliability_full_disk")});
  captured_run run = run_captured(blob_launcher(), L"blob_launcher", options);

  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error, couldn't unpack file to target path. ([Error 112] Disk full.)\r\n");
  auto targets = folder_entries(temp, L"onefile_");
  ASSERT_EQ(targets.size(), 1u);
  const std::wstring target = temp + L"\\" + targets[0];
  EXPECT_EQ(tree(target),
            (std::vector<std::wstring>{L"data", L"data\\big.bin", L"data\\readme.txt", L"report_app.dll"}));
  EXPECT_EQ(read_file(target + L"\\report_app.dll"), read_file(test_program(L"report_app.dll")));
  EXPECT_EQ(read_file(target + L"\\data\\readme.txt"), "hello");
  size_t partial = read_file(target + L"\\data\\big.bin").size();
  EXPECT_LT(partial, 3000000u);
  printf("[ figure ] full disk: %zu of 3000000 bytes of the failing file were written\n", partial);
  remove_tree(temp);
}

// --- Long entry names through a whole launcher -----------------------------------------

const std::wstring kName1023 = std::wstring(250, L'n') + L"\\" + std::wstring(250, L'n') + L"\\" +
                               std::wstring(250, L'n') + L"\\" + std::wstring(250, L'n') + L"\\" +
                               std::wstring(19, L'm');

// Runs blob_launcher over the 1023-unit name blob from `cwd`. Never from the test's own
// folder: the clean-up of such a tree empties the current folder (see the fault below).
captured_run run_long_name(const scratch_folder& temp, const std::wstring& cwd) {
  run_options options = launch_options(temp.path());
  options.current_directory = cwd;
  options.set_env.push_back({L"TAVREN_TEST_BLOB", blob_file(L"reliability_name_1023")});
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"8"});
  return run_captured(blob_launcher(), L"blob_launcher", options);
}

TEST(LongNames, ANameOf1023UnitsRunsAndOneOf1024StopsTheParentBeforeItsFolders) {
  ASSERT_EQ(kName1023.size(), 1023u);
  scratch_folder temp_1023, cwd, temp_1024;
  captured_run at_bound, past_bound;
  run_in_parallel({
      [&] { at_bound = run_long_name(temp_1023, cwd.path()); },
      [&] {
        run_options options = launch_options(temp_1024.path());
        options.set_env.push_back({L"TAVREN_TEST_BLOB", blob_file(L"reliability_name_1024")});
        past_bound = run_captured(blob_launcher(), L"blob_launcher", options);
      },
  });
  EXPECT_EQ(at_bound.exit_code, 8u) << at_bound.err;
  EXPECT_EQ(at_bound.err, "");
  EXPECT_EQ(parse_reports(at_bound.out).size(), 1u);
  // Whatever the clean-up could not remove must still hold exactly what was packed.
  auto left = folder_entries(temp_1023.path());
  printf("[ figure ] 1023-unit name: %zu folder(s) left after a normal run\n", left.size());
  for (const auto& folder : left) {
    std::wstring file = temp_1023 / folder + L"\\" + kName1023;
    if (path_exists(file)) {
      EXPECT_EQ(read_file(file), "long");
    }
  }

  // Past the name buffer: abort (exit code 3 from this C runtime), no message. The library
  // written before stays whole; nothing of the long name was created.
  EXPECT_EQ(past_bound.exit_code, 3u);
  EXPECT_EQ(past_bound.out, "");
  EXPECT_EQ(past_bound.err, "");
  auto targets = folder_entries(temp_1024.path(), L"onefile_");
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(tree(temp_1024 / targets[0]), std::vector<std::wstring>{L"report_app.dll"});
  EXPECT_EQ(read_file(temp_1024 / targets[0] + L"\\report_app.dll"), read_file(test_program(L"report_app.dll")));
}

// Found by this test: the shell deleter builds each path in a 260-character buffer; under Wine
// a path that does not fit comes out empty and the deleter walks "*", the parent's current
// folder, deleting its files. The clean-up now removes such paths itself and never hands the
// shell a tree it cannot reach; the whole target folder goes too.
TEST(LongNames, CleanUpOfPathsPastTwoHundredSixtyCharactersLeavesTheCurrentFolderAlone) {
  scratch_folder temp, cwd;
  std::wstring canary = cwd / L"canary.txt";
  HANDLE file = CreateFileW(canary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "precious", 8, &written, nullptr);
  CloseHandle(file);
  ASSERT_TRUE(CreateDirectoryW((cwd / L"keep").c_str(), nullptr));

  captured_run run = run_long_name(temp, cwd.path());
  EXPECT_EQ(run.exit_code, 8u);
  EXPECT_EQ(read_file(canary), "precious");
  EXPECT_TRUE(is_directory(cwd / L"keep"));
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// --- A file in the target folder still open when the application ends ------------------

// Removing a folder whose file is held fails until the holder lets go.
void remove_when_released(const std::wstring& folder) {
  while (!remove_tree(folder)) Sleep(100);
}

// When the process ended, in milliseconds of the system's clock, as the system recorded it.
double exit_time_ms(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<double>(ULARGE_INTEGER{{exited.dwLowDateTime, exited.dwHighDateTime}}.QuadPart) / 10000.0;
}

TEST(HeldFile, TheCleanUpGivesUpQuietlyAfterItsRetriesAndTheChildsCodeStands) {
  scratch_folder temp;
  // The application starts a holder that outlives it; both wait for the test, not a clock.
  release_event application, holder;
  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"6"});
  options.set_env.push_back({L"TAVREN_TEST_ACTION", L"run:\"" + test_program(L"file_holder.exe") +
                                                        L"\" spawn data\\readme.txt " + holder.name()});
  options.set_env.push_back(application.variable());
  started_process parent(report_launcher(), L"launcher", options);
  ASSERT_TRUE(parent.started());
  DWORD child_pid = child_of(parent.pid(), INFINITE);
  ASSERT_NE(child_pid, 0u);
  HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child_pid);
  ASSERT_NE(child, nullptr);
  HANDLE parent_handle = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), parent.handle(), GetCurrentProcess(), &parent_handle, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  application.set();
  captured_run run = parent.finish();
  std::vector<std::wstring> left = folder_entries(temp.path());
  WaitForSingleObject(child, INFINITE);
  double parent_exit_ms = exit_time_ms(parent_handle), child_exit_ms = exit_time_ms(child);
  CloseHandle(child);
  CloseHandle(parent_handle);
  ASSERT_GT(parent_exit_ms, 0.0);
  ASSERT_GT(child_exit_ms, 0.0);
  double cleanup_ms = parent_exit_ms - child_exit_ms;

  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 6u);
  ASSERT_NE(run.out.find("run_exit=0"), std::string::npos) << "the holder did not get the file: " << run.out;
  // Nothing but the application's own report: the clean-up says nothing, whatever happens.
  EXPECT_EQ(run.out.find("Error"), std::string::npos) << run.out;
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(parse_target_name(left[0]).ok);
  printf("[ figure ] held file: the parent ended %.0f ms after its child\n", cleanup_ms);
  // The folder outlived every request, and the parent paused between them for the whole of
  // the backoff before it gave up: it cannot have ended sooner after its child.
  EXPECT_GE(cleanup_ms + 100, static_cast<double>(backoff_total_ms));
  holder.set();
  remove_when_released(temp / left[0]);
}

// --- A helper program the application starts from its own folder -----------------------

// Updaters and multi-process applications start a helper from their folder and end, and an
// updater waits for the launcher to end before it replaces files. The launcher ends with the
// application and its code; the folder stays whole while the helper runs, and a later start
// collects it.
TEST(FolderHelper, TheLauncherEndsWithTheApplicationAndLeavesTheFolderWholeToItsHelper) {
  scratch_folder temp;
  // The application waits until the test has seen it and its helper.
  release_event application_release, helper_release;
  run_options options = launch_options(temp.path());
  options.set_env.push_back(application_release.variable());
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"6"});
  options.set_env.push_back({L"TAVREN_TEST_SPAWN", L"\"{folder}\\helper.exe\" check " + helper_release.name() +
                                                       L" data\\readme.txt report_app.dll helper.exe"});
  started_process parent(test_program(L"e2e_helper_launcher.exe"), L"launcher", options);
  ASSERT_TRUE(parent.started());
  DWORD child_pid = child_of(parent.pid(), INFINITE);
  ASSERT_NE(child_pid, 0u);
  DWORD helper_pid = child_of(child_pid, INFINITE);
  ASSERT_NE(helper_pid, 0u);
  HANDLE helper = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, helper_pid);
  ASSERT_NE(helper, nullptr);
  application_release.set();
  // The helper waits for the test, and the test for the launcher: a launcher that waits for
  // its helpers never ends here.
  captured_run run = parent.finish();
  EXPECT_FALSE(run.timed_out) << "the launcher waited for a helper that waited for it";
  EXPECT_EQ(run.exit_code, 6u);
  ASSERT_EQ(WaitForSingleObject(helper, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  std::vector<std::wstring> left = folder_entries(temp.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(tree(temp / left[0]),
            (std::vector<std::wstring>{L"data", L"data\\readme.txt", L"helper.exe", L"report_app.dll"}));
  helper_release.set();
  WaitForSingleObject(helper, INFINITE);
  DWORD missing = 0;
  GetExitCodeProcess(helper, &missing);
  CloseHandle(helper);
  EXPECT_EQ(missing, 0u) << "files the helper could not read";
  captured_run next = run_captured(report_launcher(), L"launcher", launch_options(temp.path()));
  EXPECT_EQ(next.exit_code, 0u) << next.err;
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// --- The parent killed from outside, and the folders dead runs leave ---------------------

double now_ms() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool whole_report_app_folder(const std::wstring& target) {
  std::wstring main = e2e_report_main();
  return tree(target) == std::vector<std::wstring>{L"data", L"data\\readme.txt", main} &&
         read_file(target + L"\\" + main) == read_file(test_program(main.c_str())) &&
         read_file(target + L"\\data\\readme.txt") == "hello";
}

TEST(KilledParent, TheChildEndsWithItTheGrandchildRunsOnAndTheNextStartCollectsTheFolder) {
  scratch_folder temp, elsewhere;
  release_event never;
  const std::wstring ready_name = L"tavren_grandchild_ready_" + std::to_wstring(GetCurrentProcessId());
  HANDLE grandchild_ready = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
  const std::wstring held = elsewhere / L"held.txt";
  CloseHandle(CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  run_options options = launch_options(temp.path());
  options.set_env.push_back(never.variable());
  options.set_env.push_back({L"TAVREN_TEST_SPAWN", quote_argument(test_program(L"file_holder.exe")) + L" hold " +
                                                       quote_argument(held) + L" " + never.name() + L" " + ready_name});
  started_process parent(report_launcher(), L"launcher", options);
  ASSERT_TRUE(parent.started());
  std::wstring folder = wait_for_target(temp.path(), parent.pid(), L"data\\readme.txt", INFINITE);
  ASSERT_FALSE(folder.empty());
  DWORD child_pid = child_of(parent.pid(), INFINITE);
  ASSERT_NE(child_pid, 0u);
  HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child_pid);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(wait_for_module(child_pid, e2e_report_main().c_str(), INFINITE));
  ASSERT_EQ(WaitForSingleObject(grandchild_ready, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(grandchild_ready);
  DWORD grandchild_pid = child_of(child_pid, INFINITE);
  HANDLE grandchild = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, grandchild_pid);
  ASSERT_NE(grandchild, nullptr);

  double killed_at = now_ms();
  ASSERT_TRUE(TerminateProcess(parent.handle(), 0xDEAD));
  EXPECT_EQ(WaitForSingleObject(child, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0)) << "the child outlived its parent";
  printf("[ figure ] killed parent: the child ended %.0f ms after it\n", now_ms() - killed_at);
  CloseHandle(child);
  EXPECT_EQ(parent.finish().exit_code, 0xDEADu);
  EXPECT_EQ(WaitForSingleObject(grandchild, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the application's own process ended";
  EXPECT_TRUE(whole_report_app_folder(temp / folder));

  // Any later start collects it; its own folder goes with its clean-up as always.
  captured_run next = run_captured(report_launcher(), L"launcher", launch_options(temp.path()));
  EXPECT_EQ(next.exit_code, 0u) << next.err;
  EXPECT_TRUE(folder_entries(temp.path()).empty());
  TerminateProcess(grandchild, 0);
  CloseHandle(grandchild);
}

TEST(DeadRuns, OnlyFoldersOfEndedRunsWithTheExactNameFormAreCollected) {
  scratch_folder temp, elsewhere;
  const std::wstring outside = elsewhere / L"outside";
  CreateDirectoryW(outside.c_str(), nullptr);
  write_text(outside + L"\\kept.txt", "outside");
  const std::wstring own = std::to_wstring(GetCurrentProcessId()), none = L"4294967292";
  auto folder = [&](const std::wstring& name) {
    std::wstring path = temp / name;
    CreateDirectoryW(path.c_str(), nullptr);
    CreateDirectoryW((path + L"\\sub").c_str(), nullptr);
    write_text(path + L"\\sub\\file.bin", "payload");
    return path;
  };
  // This test process started before these folders were made: its runs are alive.
  const std::wstring alive = L"onefile_" + own + L"_000000_AAAAAAAAAAA";
  folder(alive);
  // The same id on a folder from before this process began: the id was used again.
  std::wstring reused = folder(L"onefile_" + own + L"_000001_AAAAAAAAAAA");
  FILETIME old = {0, 0x01C00000};  // 1992
  HANDLE handle = CreateFileW(reused.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_TRUE(SetFileTime(handle, &old, &old, &old));
  CloseHandle(handle);
  folder(L"onefile_" + none + L"_000000_CCCCCCCCCCC");  // no process has the id
  // Dead, but a file is open: left whole, the file beside it too, which a walk that deletes
  // what it can would take.
  const std::wstring in_use = L"onefile_" + none + L"_000000_DDDDDDDDDDD";
  HANDLE open_file = CreateFileW((folder(in_use) + L"\\sub\\file.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(open_file, INVALID_HANDLE_VALUE);
  write_text(temp / in_use + L"\\beside.bin", "beside");
  // Dead, with a link to a folder elsewhere: the link is never followed.
  const std::wstring with_link = L"onefile_" + none + L"_000000_BBBBBBBBBBB";
  ASSERT_TRUE(make_unix_link(outside, folder(with_link) + L"\\sub\\link"));
  // Not of the form, or not a folder: never touched.
  const std::vector<std::wstring> strangers = {
      L"onefile_" + none + L"_000000_AAAAAAAAAA",      L"onefile_0" + none + L"_000000_AAAAAAAAAAA",
      L"onefile_4294967296_000000_AAAAAAAAAAA",        L"onefile_" + none + L"_00000_AAAAAAAAAAA",
      L"onefile_" + none + L"_000000_AAAAAAAAAAA.old", L"other"};
  for (const auto& name : strangers) folder(name);
  const std::wstring file_of_the_form = L"onefile_" + none + L"_000000_EEEEEEEEEEE";
  write_text(temp / file_of_the_form, "a file");
  const std::wstring link_of_the_form = L"onefile_" + none + L"_000000_FFFFFFFFFFF";
  ASSERT_TRUE(make_unix_link(outside, temp / link_of_the_form));

  captured_run run = run_captured(report_launcher(), L"launcher", launch_options(temp.path()));
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  CloseHandle(open_file);

  std::vector<std::wstring> expected = strangers;
  for (const auto& name : {alive, in_use, with_link, file_of_the_form, link_of_the_form}) expected.push_back(name);
  std::sort(expected.begin(), expected.end());
  std::vector<std::wstring> left = folder_entries(temp.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, expected);
  for (const auto& name : strangers) EXPECT_EQ(read_file(temp / name + L"\\sub\\file.bin"), "payload");
  EXPECT_EQ(read_file(temp / alive + L"\\sub\\file.bin"), "payload");
  EXPECT_EQ(read_file(temp / in_use + L"\\sub\\file.bin"), "payload");
  EXPECT_EQ(read_file(temp / in_use + L"\\beside.bin"), "beside");
  EXPECT_EQ(read_file(temp / file_of_the_form), "a file");
  EXPECT_EQ(read_file(outside + L"\\kept.txt"), "outside");
  // Wine cannot remove a link without harming its target: all but the link went.
  EXPECT_EQ(folder_entries(temp / with_link + L"\\sub"), std::vector<std::wstring>{L"link"});
  remove_unix_link(temp / with_link + L"\\sub\\link");
  remove_unix_link(temp / link_of_the_form);
}

TEST(DeadRuns, AHundredParentsKilledAtRandomMomentsLeaveNothingAndLiveRunsAreUndisturbed) {
  scratch_folder temp;
  release_event release;
  run_options live_options = launch_options(temp.path());
  live_options.set_env.push_back(release.variable());
  std::vector<std::unique_ptr<started_process>> live;
  std::vector<std::wstring> live_folders;
  for (int i = 0; i < 3; ++i) {
    live.push_back(std::make_unique<started_process>(report_launcher(), L"live", live_options));
    live_folders.push_back(wait_for_target(temp.path(), live.back()->pid(), L"data\\readme.txt", INFINITE));
    ASSERT_FALSE(live_folders.back().empty());
  }

  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"TAVREN_TEST_ACTION", L"sleep:2000"});
  unsigned seed = GetTickCount();
  printf("[ figure ] random kill moments from seed %u\n", seed);
  srand(seed);
  double start = now_ms();
  for (int cycle = 0; cycle < 100; ++cycle) {
    started_process victim(report_launcher(), L"victim", options);
    ASSERT_TRUE(victim.started());
    // The moment is random, not a wait for anything: from before unpacking to a running child.
    Sleep(static_cast<DWORD>(rand() % 120));
    TerminateProcess(victim.handle(), 1);
    victim.finish();
  }
  printf("[ figure ] 100 killed starts: %.0f ms\n", now_ms() - start);
  // The children of the last parents end with them; a clean run collects what is left.
  int collectors = 0;
  for (int i = 0; i < 100; ++i) {
    std::vector<std::wstring> left = folder_entries(temp.path());
    if (left.size() == live_folders.size()) break;
    ++collectors;
    captured_run collector = run_captured(report_launcher(), L"collector", launch_options(temp.path()));
    EXPECT_EQ(collector.exit_code, 0u);
    if (i == 99) ADD_FAILURE() << left.size() << " folders stay";
  }
  printf("[ figure ] clean starts needed afterwards: %d\n", collectors);
  std::vector<std::wstring> left = folder_entries(temp.path()), expected = live_folders;
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  for (const auto& folder : live_folders) EXPECT_TRUE(whole_report_app_folder(temp / folder)) << narrow(folder);
  release.set();
  for (auto& process : live) EXPECT_EQ(process->finish().exit_code, 0u);
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// --- Libraries planted where a careless search looks -----------------------------------

struct planted_layout {
  scratch_folder root;
  std::wstring install, cwd, path, temp, cache;
  planted_layout() {
    install = root / L"install";
    cwd = root / L"cwd";
    path = root / L"path";
    temp = root / L"temp";
    cache = root / L"cache";
    for (const auto& folder : {install, cwd, path, temp, cache}) CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* name : {L"dependency_origin.dll", L"plugin.dll"}) {
      std::wstring planted = test_program((std::wstring(L"planted\\") + name).c_str());
      for (const auto& folder : {install, cwd, path})
        CopyFileW(planted.c_str(), (folder + L"\\" + name).c_str(), FALSE);
    }
    CopyFileW(blob_launcher().c_str(), (install + L"\\blob_launcher.exe").c_str(), FALSE);
    CopyFileW(test_program(L"cached_dep_launcher.exe").c_str(), (install + L"\\app.exe").c_str(), FALSE);
  }
  /// The default run over `blob`, or the cached launcher packed from reliability_dep, started
  /// from the install folder with `current` as the current folder.
  captured_run run(const wchar_t* blob, bool cached = false, const std::wstring& current = L"") const {
    run_options options = launch_options(temp);
    options.current_directory = current.empty() ? cwd : current;
    wchar_t system_path[32768];
    DWORD length = GetEnvironmentVariableW(L"PATH", system_path, 32768);
    options.set_env.push_back({L"PATH", path + L";" + std::wstring(system_path, length < 32768 ? length : 0)});
    options.set_env.push_back({L"TAVREN_TEST_BLOB", blob_file(blob)});
    options.set_env.push_back({L"LOCALAPPDATA", cache});
    if (cached) return run_captured(install + L"\\app.exe", L"app", options);
    return run_captured(install + L"\\blob_launcher.exe", L"blob_launcher", options);
  }
};

// The same names wait in the current folder, beside the executable and on PATH: the import
// the loader resolves, and the library the application loads by name once it runs.
TEST(LibrarySearch, LibrariesComeFromThePayloadNeverFromPlantedCopies) {
  planted_layout layout;
  for (bool cached : {false, true}) {
    for (const std::wstring& current : {layout.cwd, layout.install}) {
      SCOPED_TRACE((cached ? "cached, current folder " : "default, current folder ") + narrow(current));
      captured_run run = layout.run(L"reliability_dep", cached, current);
      EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
      EXPECT_EQ(run.err, "");
      EXPECT_NE(run.out.find("origin=payload\r\n"), std::string::npos) << run.out;
      EXPECT_NE(run.out.find("plugin_origin=payload\r\n"), std::string::npos) << run.out;
      const std::string head =
          "dep_module=" + (cached ? narrow(layout.cache) + "\\" : narrow(layout.temp) + "\\onefile_");
      size_t at = run.out.find("dep_module=");
      ASSERT_NE(at, std::string::npos) << run.out;
      EXPECT_EQ(run.out.compare(at, head.size(), head), 0) << run.out;
      EXPECT_NE(run.out.find("\\dependency_origin.dll\r\n", at), std::string::npos) << run.out;
    }
  }
  EXPECT_TRUE(folder_entries(layout.temp).empty());
}

TEST(LibrarySearch, WithoutItInThePayloadTheLoadFailsRatherThanTakeAPlantedCopy) {
  planted_layout layout;
  captured_run run = layout.run(L"reliability_dep_missing");
  EXPECT_EQ(run.exit_code, 2u) << run.out;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error, load DLL. ([Error 126] Module not found.)\r\n");
  EXPECT_TRUE(folder_entries(layout.temp).empty());
}

// --- Hostile values in the launcher's variables ----------------------------------------

const wchar_t* const kVariables[] = {L"TAVREN_ONEFILE_PARENT", L"TAVREN_ONEFILE_START",     L"TAVREN_ONEFILE_TIME_US",
                                     L"TAVREN_ONEFILE_RANDOM", L"TAVREN_ONEFILE_DIRECTORY", L"TAVREN_ORIGINAL_ARGV0"};

// `text` repeated to exactly `length` units.
std::wstring filled(const std::wstring& text, size_t length) {
  std::wstring value;
  while (value.size() < length) value += text;
  value.resize(length);
  return value;
}

// A scratch root whose only entry is the temporary folder handed to the launcher, so that
// anything written outside that folder shows up next to it.
struct fenced_temp {
  scratch_folder root;
  std::wstring temp = root / L"tmp";
  fenced_temp() { CreateDirectoryW(temp.c_str(), nullptr); }
  void expect_untouched() const {
    EXPECT_EQ(folder_entries(root.path()), std::vector<std::wstring>{L"tmp"});
    EXPECT_TRUE(folder_entries(temp).empty());
  }
};

TEST(HostileEnvironment, TheLongestValuesInEveryVariableGiveAnOrdinaryParentRun) {
  const size_t longest = longest_kept_value();
  ASSERT_GE(longest, 32766u);
  printf("[ figure ] longest environment value kept: %zu characters\n", longest);
  // The parent's clean start drops or replaces every one of them; the role check rejects a
  // number out of range and text alike.
  const std::vector<std::wstring> parent_values = {filled(L"7", longest), filled(L"x\\..", longest)};
  struct attempt {
    std::wstring parent_value;
    fenced_temp fence;
    captured_run run;
    DWORD pid = 0;
  };
  std::vector<std::unique_ptr<attempt>> attempts;
  for (const auto& value : parent_values) {
    attempts.push_back(std::make_unique<attempt>());
    attempts.back()->parent_value = value;
  }
  std::vector<std::function<void()>> jobs;
  for (auto& a : attempts) {
    jobs.push_back([&a, longest] {
      run_options options = launch_options(a->fence.temp);
      for (const wchar_t* name : kVariables) options.set_env.push_back({name, filled(L"..\\", longest)});
      options.set_env.push_back({L"TAVREN_ONEFILE_PARENT", a->parent_value});
      started_process process(report_launcher(), L"launcher", options);
      a->pid = process.pid();
      a->run = process.finish();
    });
  }
  run_in_parallel(jobs);
  for (const auto& a : attempts) {
    SCOPED_TRACE(narrow(a->parent_value.substr(0, 8)));
    EXPECT_EQ(a->run.exit_code, 0u) << a->run.out.substr(0, 400);
    auto reports = parse_reports(a->run.out);
    ASSERT_EQ(reports.size(), 1u);
    const report& r = reports[0];
    EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_PARENT"), std::to_string(a->pid));
    EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_START"), unset_value);
    EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_TIME_US").size(), 6u);
    EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_RANDOM").size(), 11u);
    EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_DIRECTORY"), narrow(test_binary_directory()));
    EXPECT_EQ(value_of(r, "TAVREN_ORIGINAL_ARGV0"), "launcher");
    a->fence.expect_untouched();
  }
}

// The identity values are trusted only in a process that its own launcher started; anyone else
// who names a running launcher, however the values are dressed, gets an ordinary parent run
// with an identity and a folder of its own, and the values never point anywhere.
TEST(HostileEnvironment, AStrangerNamingARunningLauncherGetsAnOrdinaryParentRunWhateverItsIdentity) {
  const size_t longest = longest_kept_value();
  ASSERT_GE(longest, 32766u);
  // A running parent of the same executable, whose id and identity the strangers name.
  scratch_folder parent_temp;
  release_event release;
  run_options parent_options = launch_options(parent_temp.path());
  parent_options.set_env.push_back(release.variable());
  started_process parent(report_launcher(), L"parent", parent_options);
  std::wstring folder = wait_for_target(parent_temp.path(), parent.pid(), L"data\\readme.txt", INFINITE);
  ASSERT_FALSE(folder.empty());
  target_name name = parse_target_name(folder);
  ASSERT_TRUE(name.ok);

  struct attempt {
    const char* what;
    std::wstring parent, time_us, random;
    fenced_temp fence;
    captured_run run;
    DWORD pid = 0;
  };
  std::vector<std::unique_ptr<attempt>> attempts;
  auto add = [&](const char* what, std::wstring parent_id, std::wstring time_us, std::wstring random) {
    attempts.push_back(std::make_unique<attempt>());
    attempt& a = *attempts.back();
    a.what = what;
    a.parent = std::move(parent_id);
    a.time_us = std::move(time_us);
    a.random = std::move(random);
  };
  add("the running parent's own identity", name.pid, name.time_us, name.random);
  add("sign before the id", L"+" + name.pid, name.time_us, name.random);
  add("blank before the id", L" " + name.pid, name.time_us, name.random);
  add("zeros fill the id to the longest value", filled(L"0", longest - name.pid.size()) + name.pid, name.time_us,
      name.random);
  add("longest random text", name.pid, name.time_us, filled(L"A", longest));
  // With a library planted where the values point: a child role would load it.
  add("random climbs out of the temporary folder", name.pid, name.time_us, L"\\..\\..\\elsewhere");
  add("time with backslashes", name.pid, L"..\\..", name.random);
  std::wstring planted = attempts[5]->fence.root / L"elsewhere";
  CreateDirectoryW(planted.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(test_program(L"report_app.dll").c_str(), (planted + L"\\report_app.dll").c_str(), FALSE));
  std::vector<std::function<void()>> jobs;
  for (auto& a : attempts) {
    jobs.push_back([&a] {
      run_options options = launch_options(a->fence.temp);
      options.set_env.push_back({L"TAVREN_ONEFILE_PARENT", a->parent});
      options.set_env.push_back({L"TAVREN_ONEFILE_TIME_US", a->time_us});
      options.set_env.push_back({L"TAVREN_ONEFILE_RANDOM", a->random});
      started_process process(report_launcher(), L"stranger", options);
      a->pid = process.pid();
      a->run = process.finish();
    });
  }
  run_in_parallel(jobs);
  EXPECT_EQ(WaitForSingleObject(parent.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the parent ended before every case had run";
  for (const auto& a : attempts) {
    SCOPED_TRACE(a->what);
    EXPECT_EQ(a->run.exit_code, 0u) << a->run.out;
    auto reports = parse_reports(a->run.out);
    ASSERT_EQ(reports.size(), 1u) << a->run.out;
    EXPECT_EQ(value_of(reports[0], "TAVREN_ONEFILE_PARENT"), std::to_string(a->pid));
    const std::string own = narrow(a->fence.temp) + "\\onefile_" + std::to_string(a->pid) + "_";
    EXPECT_EQ(value_of(reports[0], "main_library").rfind(own, 0), 0u) << value_of(reports[0], "main_library");
    EXPECT_TRUE(folder_entries(a->fence.temp).empty());
  }
  EXPECT_EQ(tree(attempts[5]->fence.root.path()),
            (std::vector<std::wstring>{L"elsewhere", L"elsewhere\\report_app.dll", L"tmp"}));
  // Nothing was written into the real parent's folder either, and it still removes it.
  EXPECT_EQ(tree(parent_temp / folder), (std::vector<std::wstring>{L"data", L"data\\readme.txt", L"report_app.dll"}));
  release.set();
  EXPECT_EQ(parent.finish().exit_code, 0u);
  EXPECT_TRUE(folder_entries(parent_temp.path()).empty());
}

}  // namespace
