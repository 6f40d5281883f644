// Cached launchers started as a user starts them: the first start installs into
// LOCALAPPDATA\Tavren Test\<product>\1.2.3.4-<key>, later starts run from there without
// writing, and nothing damaged, stale or half-written is ever run.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <thread>
#include <utility>

#include "tests/support/launcher_e2e_support.h"

namespace {

// Relative path -> (size, last-write time) of every file below `folder`.
using snapshot = std::map<std::wstring, std::pair<uint64_t, uint64_t>>;

void take_snapshot(const std::wstring& folder, const std::wstring& prefix, snapshot& out) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      take_snapshot(folder + L"\\" + name, prefix + name + L"\\", out);
    } else {
      out[prefix + name] = {
          (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
          (uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) | found.ftLastWriteTime.dwLowDateTime};
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

snapshot files_below(const std::wstring& folder) {
  snapshot out;
  take_snapshot(folder, L"", out);
  return out;
}

std::string read_text(const std::wstring& path) {
  auto bytes = read_file_bytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void write_text(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

// A user with a temporary folder and a local application data folder of their own.
class CachedLaunch : public ::testing::Test {
 protected:
  scratch_folder temp, local;

  run_options options() const {
    run_options o = launch_options(temp.path());
    o.set_env.push_back({L"LOCALAPPDATA", local.path()});
    return o;
  }
  std::wstring product(const std::wstring& name) const { return local / (L"Tavren Test\\" + name); }
  // Installed builds of `name` (folders "1.2.3.4-<key>"), and folders of runs left beside them.
  std::vector<std::wstring> builds(const std::wstring& name) const {
    std::vector<std::wstring> out;
    for (auto& entry : folder_entries(product(name)))
      if (entry.rfind(L"onefile_", 0) != 0) out.push_back(product(name) + L"\\" + entry);
    return out;
  }
  std::vector<std::wstring> runs_left(const std::wstring& name) const {
    return folder_entries(product(name), L"onefile_");
  }
  captured_run run(const wchar_t* launcher, const std::wstring& arguments = L"", run_options o = {}) const {
    if (o.set_env.empty()) o = options();
    std::wstring exe = test_program(launcher);
    return run_captured(exe, quote_argument(exe) + arguments, o);
  }
  // The folder the single report of `r` ran its main library from.
  static std::wstring ran_from(const captured_run& r) {
    auto reports = parse_reports(r.out);
    if (reports.size() != 1) return L"<" + widen(r.out + r.err) + L">";
    std::wstring library = widen(value_of(reports[0], "main_library"));
    return library.substr(0, library.rfind(L'\\'));
  }
};

TEST_F(CachedLaunch, InstallsOnceAndLaterStartsRunWithoutWritingWithTheDefaultRunsArguments) {
  // The last one, a doubled quote inside quotes, is where the C runtime's splitter and the
  // system's part ways.
  const std::wstring arguments = L" a \"b c\" \"d\\\"e\" f\\\\g \"h\\\\\\\\\" \"\" \"i\"\"j k\"";
  run_options o = options();
  o.set_env.push_back({L"TAVREN_TEST_EXIT", L"7"});
  captured_run first = run(L"cached_report_launcher.exe", arguments, o);
  EXPECT_EQ(first.exit_code, 7u) << first.err;
  ASSERT_EQ(builds(L"Report").size(), 1u);
  const std::wstring folder = builds(L"Report")[0];
  EXPECT_EQ(folder.substr(folder.rfind(L'\\') + 1, 8), L"1.2.3.4-");
  EXPECT_EQ(folder.size() - folder.rfind(L'\\') - 1, 8u + 16u);
  EXPECT_EQ(ran_from(first), folder);
  snapshot installed = files_below(folder);
  EXPECT_EQ(installed.size(), 3u);  // the library, data\readme.txt and the record
  EXPECT_EQ(read_text(folder + L"\\data\\readme.txt"), "hello");

  captured_run second = run(L"cached_report_launcher.exe", arguments, o);
  EXPECT_EQ(second.exit_code, 7u);
  EXPECT_EQ(ran_from(second), folder);
  EXPECT_EQ(files_below(folder), installed);
  EXPECT_TRUE(runs_left(L"Report").empty());

  // What the application sees is what the default run's child sees, folders aside.
  captured_run by_default = run(L"e2e_report_launcher.exe", arguments, o);
  auto cached = parse_reports(second.out), plain = parse_reports(by_default.out);
  ASSERT_EQ(cached.size(), 1u);
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(value_of(cached[0], "argc"), "9");
  EXPECT_EQ(value_of(cached[0], "argv0"), narrow(test_program(L"cached_report_launcher.exe")));
  for (const char* key : {"argc", "argv1", "argv2", "argv3", "argv4", "argv5", "argv6", "argv7",
                          "argv8", "TAVREN_ONEFILE_DIRECTORY"})
    EXPECT_EQ(value_of(cached[0], key), value_of(plain[0], key)) << key;
  EXPECT_EQ(value_of(cached[0], "TAVREN_ORIGINAL_ARGV0"), narrow(test_program(L"cached_report_launcher.exe")));
  EXPECT_EQ(value_of(cached[0], "TAVREN_ONEFILE_PARENT"), value_of(cached[0], "pid"));
}

// Once over a payload of one stream and once over one cut into frames, which installs side by side.
TEST_F(CachedLaunch, RepairsAMissingTruncatedOrReplacedFileAndAMissingRecord) {
  for (const auto& [launcher, name] : {std::pair{L"cached_report_launcher.exe", L"Report"},
                                       std::pair{L"cached_frames_launcher.exe", L"FramesReport"}}) {
    SCOPED_TRACE(narrow(launcher));
    ASSERT_EQ(run(launcher).exit_code, 0u);
    const std::wstring folder = builds(name)[0];
    const std::string library = read_text(folder + L"\\report_app.dll");
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"deleted file", [&] { DeleteFileW((folder + L"\\data\\readme.txt").c_str()); }},
        {"truncated library", [&] { write_text(folder + L"\\report_app.dll", library.substr(0, 1000)); }},
        {"replaced file", [&] { write_text(folder + L"\\data\\readme.txt", "HELLO"); }},
        {"deleted record", [&] { DeleteFileW((folder + L"\\.onefile-record").c_str()); }},
        // Loaded before the system's own by anything in the folder that imports it.
        {"added library", [&] { write_text(folder + L"\\version.dll", "planted"); }},
    };
    for (const auto& [what, damage] : damages) {
      SCOPED_TRACE(what);
      damage();
      captured_run repaired = run(launcher);
      EXPECT_EQ(repaired.exit_code, 0u) << repaired.err;
      EXPECT_EQ(ran_from(repaired), folder);
      EXPECT_EQ(read_text(folder + L"\\data\\readme.txt"), "hello");
      EXPECT_EQ(read_text(folder + L"\\report_app.dll"), library);
      EXPECT_TRUE(path_exists(folder + L"\\.onefile-record"));
      EXPECT_FALSE(path_exists(folder + L"\\version.dll"));
      EXPECT_EQ(builds(name).size(), 1u);
    }
    // A damaged folder moved aside while this run lived goes at a later start.
    run(launcher);
    EXPECT_TRUE(runs_left(name).empty());
  }
}

// The cheap check sees sizes and times only; the digest check sees the content itself, and
// takes no file the install did not write, data included.
TEST_F(CachedLaunch, OnlyTheDigestCheckSeesAFileChangedWithItsSizeAndTimeKeptOrAnAddedDataFile) {
  for (const wchar_t* launcher : {L"cached_report_launcher.exe", L"cached_verify_launcher.exe"})
    ASSERT_EQ(run(launcher).exit_code, 0u);
  for (const wchar_t* name : {L"Report", L"Verify"}) {
    std::wstring readme = builds(name)[0] + L"\\data\\readme.txt";
    HANDLE file = CreateFileW(readme.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written;
    GetFileTime(file, nullptr, nullptr, &written);
    DWORD count = 0;
    WriteFile(file, "HELLO", 5, &count, nullptr);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    write_text(builds(name)[0] + L"\\notes.txt", "added");
  }
  for (const wchar_t* launcher : {L"cached_report_launcher.exe", L"cached_verify_launcher.exe"})
    EXPECT_EQ(run(launcher).exit_code, 0u);
  EXPECT_EQ(read_text(builds(L"Report")[0] + L"\\data\\readme.txt"), "HELLO");
  EXPECT_EQ(read_text(builds(L"Verify")[0] + L"\\data\\readme.txt"), "hello");
  EXPECT_TRUE(path_exists(builds(L"Report")[0] + L"\\notes.txt"));
  EXPECT_FALSE(path_exists(builds(L"Verify")[0] + L"\\notes.txt"));
}

// Below an unpack folder others share, the install goes into a folder of the user's own. Swapped
// for a link between two starts (to a tree of another account's, which a Unix link stands for),
// it is never followed: the start ends before anything runs.
TEST_F(CachedLaunch, BelowASharedUnpackFolderTheUsersFolderSwappedForALinkIsRefused) {
  scratch_folder shared, theirs;
  run_options o = options();
  o.set_env.push_back({L"TAVREN_ONEFILE_UNPACK_DIR", shared.path()});
  captured_run first = run(L"cached_report_launcher.exe", L"", o);
  ASSERT_EQ(first.exit_code, 0u) << first.err;
  const std::wstring own = shared / own_folder_name();
  EXPECT_EQ(ran_from(first).rfind(own + L"\\Tavren Test\\Report\\1.2.3.4-", 0), 0u) << narrow(ran_from(first));
  ASSERT_TRUE(MoveFileW(own.c_str(), (theirs / L"tree").c_str()));
  if (!make_unix_link(theirs / L"tree", own)) GTEST_SKIP() << "no Unix link could be made";
  captured_run swapped = run(L"cached_report_launcher.exe", L"", o);
  EXPECT_EQ(swapped.exit_code, 2u);
  EXPECT_EQ(swapped.out, "");
  EXPECT_EQ(swapped.err, "Error, refused to unpack below '" + narrow(own) + "': another account could change it.\r\n");
  remove_unix_link(own);
}

// An update replaces the launcher file with its next build; the builds of that file are this
// product's. A launcher of the same company, product and main library name elsewhere may be
// another application altogether: nothing proves its builds ours, so they stay.
TEST_F(CachedLaunch, ANewBuildReplacingTheLauncherRunsItsOwnFilesAndRemovesOnlyItsOwnUnusedOldBuilds) {
  const std::wstring app = temp / L"app.exe";
  auto place_as_app = [&](const wchar_t* launcher) {
    return CopyFileW(test_program(launcher).c_str(), app.c_str(), FALSE);
  };
  auto run_app = [&](const run_options& o) { return run_captured(app, quote_argument(app), o); };
  ASSERT_TRUE(place_as_app(L"cached_report_launcher.exe"));
  ASSERT_EQ(run_app(options()).exit_code, 0u);
  const std::wstring old_build = builds(L"Report")[0];
  ASSERT_TRUE(place_as_app(L"cached_rebuild_launcher.exe"));
  captured_run rebuilt = run_app(options());
  EXPECT_EQ(rebuilt.exit_code, 0u);
  ASSERT_EQ(builds(L"Report").size(), 1u) << "the old build, unused, is removed";
  const std::wstring new_build = builds(L"Report")[0];
  EXPECT_NE(new_build, old_build);
  EXPECT_EQ(ran_from(rebuilt), new_build);
  EXPECT_EQ(read_text(new_build + L"\\data\\readme.txt"), "hello again");

  // The first build again, held running while its launcher file is renamed and replaced (as
  // Windows allows for a running program): the next install leaves every file of it alone.
  release_event release;
  run_options o = options();
  o.set_env.push_back(release.variable());
  ASSERT_TRUE(place_as_app(L"cached_report_launcher.exe"));
  started_process running(app, quote_argument(app), o);
  ASSERT_TRUE(wait_for_module(running.pid(), L"report_app.dll", INFINITE));
  ASSERT_EQ(builds(L"Report"), std::vector<std::wstring>{old_build}) << "its install removed the unused new build";
  const snapshot kept = files_below(old_build);
  ASSERT_TRUE(MoveFileW(app.c_str(), (temp / L"app-running.exe").c_str()));
  ASSERT_TRUE(place_as_app(L"cached_rebuild_launcher.exe"));
  EXPECT_EQ(run_app(options()).exit_code, 0u);
  EXPECT_EQ(builds(L"Report").size(), 2u);
  EXPECT_EQ(files_below(old_build), kept);
  release.set();
  EXPECT_EQ(running.finish().exit_code, 0u);

  // Another launcher of the same names, elsewhere, installs beside: the old build is not its own.
  ASSERT_TRUE(remove_tree(new_build));
  EXPECT_EQ(run(L"cached_rebuild_launcher.exe").exit_code, 0u);
  EXPECT_EQ(builds(L"Report").size(), 2u);
  EXPECT_EQ(files_below(old_build), kept);
}

// A folder with a good record and files, made by someone else first: its access list is not
// the one an install gives, so it is never run from. Under Wine every file is the one user's,
// so a foreign owner cannot be made; a folder made without an access list of its own (Everyone
// may read it) stands for it.
TEST_F(CachedLaunch, AFolderWithoutTheInstallsAccessListIsNeverRunFromAndIsReplaced) {
  ASSERT_EQ(run(L"cached_report_launcher.exe").exit_code, 0u);
  const std::wstring folder = builds(L"Report")[0];
  const std::wstring planted = product(L"Report") + L"\\planted";
  ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((planted + L"\\data").c_str(), nullptr));
  for (const auto& [name, facts] : files_below(folder))
    ASSERT_TRUE(CopyFileW((folder + L"\\" + name).c_str(), (planted + L"\\" + name).c_str(), TRUE));
  for (const auto& [name, facts] : files_below(folder)) {
    // The record compares sizes and times: the copies take the originals' times.
    HANDLE from =
        CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE to = CreateFileW((planted + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written;
    GetFileTime(from, nullptr, nullptr, &written);
    SetFileTime(to, nullptr, nullptr, &written);
    CloseHandle(from);
    CloseHandle(to);
  }
  write_text(planted + L"\\planted.txt", "theirs");
  ASSERT_TRUE(remove_tree(folder));
  ASSERT_TRUE(MoveFileW(planted.c_str(), folder.c_str()));

  captured_run next = run(L"cached_report_launcher.exe");
  EXPECT_EQ(next.exit_code, 0u) << next.err;
  EXPECT_EQ(ran_from(next), folder);
  EXPECT_FALSE(path_exists(folder + L"\\planted.txt")) << "the planted folder was run from";
  EXPECT_EQ(read_text(folder + L"\\data\\readme.txt"), "hello");
}

// A link in the folder's place, to a whole copy with a good record and the install's access
// list: whoever could put it there could point it elsewhere later, so it is never run from; the
// start runs from a copy of its own, and the tree the link points to keeps every file.
TEST_F(CachedLaunch, ALinkInTheFoldersPlaceIsNeverRunFrom) {
  scratch_folder theirs;
  ASSERT_EQ(run(L"cached_report_launcher.exe").exit_code, 0u);
  const std::wstring folder = builds(L"Report")[0], copy = theirs / L"copy";
  ASSERT_TRUE(MoveFileW(folder.c_str(), copy.c_str()));
  const snapshot kept = files_below(copy);
  ASSERT_TRUE(make_unix_link(copy, folder));
  for (int start = 0; start < 2; ++start) {
    captured_run next = run(L"cached_report_launcher.exe");
    EXPECT_EQ(next.exit_code, 0u) << next.err;
    EXPECT_EQ(ran_from(next).rfind(product(L"Report") + L"\\onefile_", 0), 0u) << narrow(ran_from(next));
  }
  EXPECT_EQ(files_below(copy), kept);
  EXPECT_TRUE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
  remove_unix_link(folder);
}

// Windows would refuse to move it; Wine would let a repair pull it from under the process.
TEST_F(CachedLaunch, ADamagedFolderAProcessRunsFromStaysInPlaceAndIsRepairedOnceItEnds) {
  ASSERT_EQ(run(L"cached_report_launcher.exe").exit_code, 0u);
  const std::wstring folder = builds(L"Report")[0];
  release_event release;
  run_options o = options();
  o.set_env.push_back(release.variable());
  std::wstring exe = test_program(L"cached_report_launcher.exe");
  started_process running(exe, quote_argument(exe), o);
  ASSERT_TRUE(wait_for_module(running.pid(), L"report_app.dll", INFINITE));
  DeleteFileW((folder + L"\\data\\readme.txt").c_str());

  captured_run beside = run(L"cached_report_launcher.exe");
  EXPECT_EQ(beside.exit_code, 0u) << beside.err;
  EXPECT_NE(ran_from(beside), folder);
  EXPECT_TRUE(path_exists(folder + L"\\report_app.dll"));
  release.set();
  EXPECT_EQ(running.finish().exit_code, 0u);

  captured_run repaired = run(L"cached_report_launcher.exe");
  EXPECT_EQ(ran_from(repaired), folder);
  EXPECT_EQ(read_text(folder + L"\\data\\readme.txt"), "hello");
  run(L"cached_report_launcher.exe");
  EXPECT_TRUE(runs_left(L"Report").empty());
}

// The folder is checked by name and loaded from: held in between and for the whole run, on
// the first start and on later ones, nobody swaps it (the application stands in for them).
TEST_F(CachedLaunch, NobodyMovesTheFolderAwayWhileTheApplicationRuns) {
  run_options o = options();
  o.set_env.push_back({L"TAVREN_TEST_ACTION", L"move_folder"});
  for (const char* start : {"installing", "installed"}) {
    SCOPED_TRACE(start);
    captured_run r = run(L"cached_report_launcher.exe", L"", o);
    ASSERT_EQ(r.exit_code, 0u) << r.err;
    auto reports = parse_reports(r.out);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(value_of(reports[0], "move_error"), std::to_string(ERROR_SHARING_VIOLATION));
  }
  EXPECT_EQ(builds(L"Report").size(), 1u);
}

// The install runs under this test as its debugger, which stops every thread of it at each
// debug event; the first event that comes while its folder exists and none is in place (the
// writer thread a payload of more than one write slot starts) is where it is killed, so the
// kill lands inside the install however fast the disk, and the launcher has no hook for it.
TEST_F(CachedLaunch, AnInstallKilledMidwayIsCompletedByTheNextStartAndLeavesNothing) {
  DWORD_PTR process_cpus = 0, system_cpus = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &process_cpus, &system_cpus);
  if ((process_cpus & (process_cpus - 1)) == 0) GTEST_SKIP() << "one processor: the install starts no writer thread";
  std::wstring exe = test_program(L"cached_big_launcher.exe");
  std::wstring line = quote_argument(exe), environment = environment_block(options());
  bool killed = debug_until_exit(exe, line, environment, [&](DWORD event_code) {
    return event_code == CREATE_THREAD_DEBUG_EVENT && builds(L"Big").empty() && !runs_left(L"Big").empty();
  });
  ASSERT_TRUE(killed) << "no thread started while the install ran";
  ASSERT_TRUE(builds(L"Big").empty());
  ASSERT_EQ(runs_left(L"Big").size(), 1u);
  captured_run next = run(L"cached_big_launcher.exe");
  EXPECT_EQ(next.exit_code, 0u) << next.err;
  ASSERT_EQ(builds(L"Big").size(), 1u);
  EXPECT_EQ(files_below(builds(L"Big")[0])[L"data\\big.bin"].first, 32000000u);
  EXPECT_TRUE(runs_left(L"Big").empty());
}

// Each start walks its whole tree while it runs: a start that moved, repaired or removed a
// folder another one runs from, or ran from one before it was whole, shows as a short count.
TEST_F(CachedLaunch, ColdStartsAtOnceEachRunFromAWholeInstall) {
  constexpr int kStarts = 8, kRounds = 3;
  constexpr int kFiles = 1 + 600 + 1;  // the library, the data files and the record
  run_options o = options();
  o.set_env.push_back({L"TAVREN_TEST_TREE", L"1"});
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    remove_tree(local.path() + L"\\Tavren Test");
    captured_run runs[kStarts];
    std::vector<std::thread> threads;
    for (int i = 0; i < kStarts; ++i)
      threads.emplace_back([&, i] { runs[i] = run(L"cached_many_launcher.exe", L"", o); });
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(builds(L"Many").size(), 1u);
    for (int i = 0; i < kStarts; ++i) {
      EXPECT_EQ(runs[i].exit_code, 0u) << i << runs[i].err;
      EXPECT_EQ(ran_from(runs[i]), builds(L"Many")[0]) << i;
      auto reports = parse_reports(runs[i].out);
      ASSERT_EQ(reports.size(), 1u) << i << " " << runs[i].out;
      EXPECT_EQ(value_of(reports[0], "tree_files"), std::to_string(kFiles)) << i << " " << runs[i].out;
    }
    EXPECT_EQ(files_below(builds(L"Many")[0]).size(), static_cast<size_t>(kFiles));
    run(L"cached_many_launcher.exe", L"", o);  // collects what the round moved aside
    EXPECT_TRUE(runs_left(L"Many").empty());
  }
}

TEST_F(CachedLaunch, AFullDiskIsReportedAsInTheDefaultRunAndLeavesNoBuildFolder) {
  std::wstring disk = L"Z:" + widen(TAVREN_SMALL_DISK);
  std::replace(disk.begin(), disk.end(), L'/', L'\\');
  if (const char* why = fixture_mount_unseen(disk + L"\\mounted")) GTEST_SKIP() << why;
  if (!path_exists(disk + L"\\mounted")) GTEST_SKIP() << "no 1 MiB tmpfs at " << narrow(disk);
  const std::wstring cache = disk + L"\\local";
  remove_tree(cache);
  run_options o = options();
  for (auto& variable : o.set_env)
    if (variable.first == L"LOCALAPPDATA") variable.second = cache;
  captured_run full = run(L"cached_full_disk_launcher.exe", L"", o);
  EXPECT_EQ(full.exit_code, 2u);
  EXPECT_EQ(full.out, "");
  EXPECT_EQ(full.err, "Error, couldn't unpack file to target path. ([Error 112] Disk full.)\r\n");
  // At most the install's own run folder stays (Wine keeps the file that failed open until
  // the process is gone); a later start collects it. No build folder stands half-written.
  auto left = folder_entries(cache + L"\\Tavren Test\\Full");
  EXPECT_LE(left.size(), 1u);
  for (const auto& name : left) EXPECT_TRUE(parse_target_name(name).ok) << narrow(name);
  remove_tree(cache);
}

}  // namespace
