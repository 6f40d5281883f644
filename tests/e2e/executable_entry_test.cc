// Launchers whose main file is an executable (report_app.exe): what only that entry does.
// What it shares with a main library (arguments, exit codes, the folder, a killed parent,
// Ctrl+C) runs in the suites' executable runs, executable.<suite>.<case>.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/launcher_e2e_support.h"

namespace {

std::wstring exe_launcher() { return test_program(L"exe_e2e_report_launcher.exe"); }

std::wstring folder_of(const std::string& path) {
  std::wstring wide = widen(path);
  return wide.substr(0, wide.rfind(L'\\'));
}

TEST(ExecutableEntry, ARealConsoleProgramBehavesAsItsUnpackedCopyDoes) {
  scratch_folder temp, files;
  const std::wstring input = files / L"input.txt";
  HANDLE file = CreateFileW(input.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  DWORD written = 0;
  const char text[] = "first line\nsecond \"quoted\" line\n";
  WriteFile(file, text, sizeof text - 1, &written, nullptr);
  CloseHandle(file);
  run_options options = launch_options(temp.path());
  options.input_file = input;
  // Spaces, quotes, empty arguments and trailing backslashes, written the way a shell would
  // and once with the runtime's rules stretched (a doubled quote, a bare backslash run).
  const std::wstring tail =
      L" " + quote_argument(test_program(L"echo_args.lua")) +
      L" 3 \"two words\" \"\" \"say \\\"hi\\\"\" \"C:\\My Files\\\\\" C:\\data\\ \"a\"\"b c\" x\\\\\"y z\"";
  captured_run direct = run_captured(test_program(L"lua\\lua.exe"), L"lua" + tail, options);
  captured_run packed = run_captured(test_program(L"lua_launcher.exe"), L"lua_launcher" + tail, options);
  ASSERT_FALSE(packed.timed_out);
  EXPECT_EQ(direct.exit_code, 3u) << direct.err;
  for (const char* seen :
       {"[two words]\r\n[]\r\n[say \"hi\"]\r\n[C:\\My Files\\]\r\n[C:\\data\\]\r\n", "in:FIRST LINE"})
    EXPECT_NE(direct.out.find(seen), std::string::npos) << direct.out;
  EXPECT_NE(direct.out.find("in:SECOND \"QUOTED\" LINE"), std::string::npos) << direct.out;
  EXPECT_EQ(packed.exit_code, direct.exit_code);
  EXPECT_EQ(packed.out, direct.out);
  EXPECT_EQ(packed.err, direct.err);
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

TEST(ExecutableEntry, TheApplicationRestartsItselfThroughItsLauncherAsANewRun) {
  scratch_folder temp;
  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"TAVREN_TEST_ACTION", L"run:\"{launcher}\" again"});
  captured_run run = run_captured(exe_launcher(), L"launcher first", options);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  auto reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 2u) << run.out;
  const report &outer = reports[0], &inner = reports[1];
  EXPECT_EQ(value_of(outer, "argv1"), "first");
  EXPECT_EQ(value_of(inner, "argv1"), "again");
  EXPECT_EQ(value_of(outer, "TAVREN_ONEFILE_EXECUTABLE"), narrow(exe_launcher()));
  EXPECT_EQ(value_of(inner, "TAVREN_ONEFILE_EXECUTABLE"), narrow(exe_launcher()));
  // The launcher the application started is a parent of its own, with a folder of its own.
  EXPECT_NE(value_of(inner, "TAVREN_ONEFILE_PARENT"), value_of(outer, "TAVREN_ONEFILE_PARENT"));
  EXPECT_NE(folder_of(value_of(inner, "main_library")), folder_of(value_of(outer, "main_library")));
  EXPECT_NE(run.out.find("run_exit=0"), std::string::npos) << run.out;
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// Started from a shortcut set to open minimized at a place of its own, the application opens
// so, and the taskbar knows it by the shortcut (its title names the link).
TEST(ExecutableEntry, TheApplicationGetsTheShortcutsWindowStateTitleAndLink) {
  scratch_folder temp;
  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"TAVREN_TEST_STARTUP", L"1"});
  options.startup_flags = STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESIZE | STARTF_TITLEISLINKNAME;
  options.show_window = SW_SHOWMINNOACTIVE;
  options.x = 11, options.y = 22, options.width = 333, options.height = 444;
  options.title = L"C:\\Users\\Public\\Desktop\\Report App.lnk";
  captured_run run = run_captured(exe_launcher(), L"launcher", options);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  auto reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 1u) << run.out;
  const report& seen = reports[0];
  EXPECT_EQ(value_of(seen, "startup_flags"), "0x907") << "the standard handles, and the shortcut's";
  EXPECT_EQ(value_of(seen, "show_window"), std::to_string(SW_SHOWMINNOACTIVE));
  EXPECT_EQ(value_of(seen, "position"), "11,22");
  EXPECT_EQ(value_of(seen, "size"), "333x444");
  EXPECT_EQ(value_of(seen, "title"), narrow(options.title));
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// The launcher ends with the application while the helper it started from the folder still
// waits; only then is the helper let go, and it finds its files. The application too waits
// until the test has found both: one that ended at once could be gone before it was seen.
TEST(ExecutableEntry, AHelperStartedFromTheFolderOutlivesTheLauncherWithEveryFile) {
  scratch_folder temp, elsewhere;
  release_event application_release, helper_release;
  const std::wstring copy = elsewhere / L"copy.txt";
  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"TAVREN_TEST_SPAWN", L"\"{folder}\\report_app.exe\" helper"});
  options.set_env.push_back({L"TAVREN_TEST_SPAWN_WAIT", helper_release.name()});
  options.set_env.push_back({L"TAVREN_TEST_SPAWN_COPY", L"data\\readme.txt|" + copy});
  options.set_env.push_back(application_release.variable());
  started_process launcher(exe_launcher(), L"launcher", options);
  ASSERT_TRUE(launcher.started());
  DWORD application_pid = child_of(launcher.pid(), INFINITE);
  ASSERT_NE(application_pid, 0u);
  DWORD helper_pid = child_of(application_pid, INFINITE);
  ASSERT_NE(helper_pid, 0u);
  HANDLE helper = OpenProcess(SYNCHRONIZE, FALSE, helper_pid);
  ASSERT_NE(helper, nullptr);
  application_release.set();
  captured_run run = launcher.finish();
  EXPECT_FALSE(run.timed_out) << "the launcher waited for the helper";
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(WaitForSingleObject(helper, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  helper_release.set();
  EXPECT_EQ(WaitForSingleObject(helper, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(helper);
  auto copied = read_file_bytes(copy);
  EXPECT_EQ(std::string(copied.begin(), copied.end()), "hello");
  // Left for a later start, which collects it now that nothing runs from it.
  EXPECT_EQ(folder_entries(temp.path()).size(), 1u);
  captured_run next = run_captured(exe_launcher(), L"launcher", launch_options(temp.path()));
  EXPECT_EQ(next.exit_code, 0u) << next.err;
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

TEST(ExecutableEntry, CachedInstallsOnceThenEveryStartRunsTheInstalledExecutable) {
  scratch_folder temp, local;
  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"LOCALAPPDATA", local.path()});
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"0xC0000005"});
  const std::wstring launcher = test_program(L"cached_exe_e2e_report_launcher.exe");
  const std::wstring tail = L" \"two words\" \"\" end\\";
  std::string installed_at;
  FILETIME written[2] = {};
  for (FILETIME& time : written) {
    captured_run run = run_captured(launcher, L"cached" + tail, options);
    EXPECT_EQ(run.exit_code, 0xC0000005u) << run.err;
    auto reports = parse_reports(run.out);
    ASSERT_EQ(reports.size(), 1u) << run.out << run.err;
    std::string main = value_of(reports[0], "main_library");
    std::string cache = narrow(local / L"Tavren Test\\ExeReport\\1.2.3.4-");
    EXPECT_EQ(main.rfind(cache, 0), 0u) << main;
    if (installed_at.empty()) installed_at = main;
    EXPECT_EQ(main, installed_at);
    EXPECT_EQ(value_of(reports[0], "command_line"), "\"" + main + "\"" + narrow(tail));
    EXPECT_EQ(value_of(reports[0], "argv3"), "end\\");
    EXPECT_EQ(value_of(reports[0], "TAVREN_ONEFILE_EXECUTABLE"), narrow(launcher));
    HANDLE file =
        CreateFileW(widen(main).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    GetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
  }
  EXPECT_EQ(CompareFileTime(&written[0], &written[1]), 0) << "a later start wrote the installed executable again";
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// The bytes of resource 1 (or the first) of `type` in `file`, loaded as data.
std::string resource_of(const std::wstring& file, LPCWSTR type, int id) {
  HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return "<not loaded>";
  std::string bytes;
  if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type)) {
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    if (data) bytes.assign(data, SizeofResource(module, found));
  }
  FreeLibrary(module);
  return bytes;
}

// What Explorer's Details tab reads: a text of the table `table` ("040904B0"), or the fixed
// numbers ("\\") as bytes.
std::wstring version_text(const std::wstring& file, const wchar_t* key, const wchar_t* table = L"040904B0") {
  DWORD ignored = 0;
  std::vector<unsigned char> block(GetFileVersionInfoSizeW(file.c_str(), &ignored));
  void* value = nullptr;
  UINT length = 0;
  std::wstring path = key[0] == L'\\' ? key : std::wstring(L"\\StringFileInfo\\") + table + L"\\" + key;
  if (block.empty() || !GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
      !VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value)
    return L"<missing>";
  if (key[0] == L'\\') return std::wstring(static_cast<const wchar_t*>(value), length / sizeof(wchar_t));
  return static_cast<const wchar_t*>(value);
}

TEST(ExecutableEntry, TheLauncherTakesTheApplicationsIconTextsAndExecutionLevel) {
  const std::wstring looks = test_program(L"looks_launcher.exe"), named = test_program(L"looks_named_launcher.exe");
  const std::wstring application = test_program(L"looks_app.exe");
  // Every text of both languages and the numbers, as the application has them; the options
  // replace only what they name, in every language.
  const wchar_t* keys[] = {L"CompanyName",  L"FileDescription", L"FileVersion", L"LegalCopyright",
                           L"ProductName",  L"ProductVersion",  L"Comments",    L"\\VarFileInfo\\Translation"};
  for (const wchar_t* table : {L"040904B0", L"040704B0"}) {
    for (const wchar_t* key : keys) {
      SCOPED_TRACE(narrow(std::wstring(table) + L" " + key));
      std::wstring own = version_text(application, key, table);
      EXPECT_EQ(version_text(looks, key, table), own);
      bool named_here = std::wstring(key) == L"ProductName" || std::wstring(key) == L"FileDescription";
      EXPECT_EQ(version_text(named, key, table),
                named_here ? L"Named" : std::wstring(key) == L"FileVersion" ? L"9.8.7.6" : own);
    }
  }
  EXPECT_EQ(version_text(application, L"Comments", L"040704B0"), L"<missing>");
  EXPECT_EQ(version_text(looks, L"FileVersion"), L"3.1.4.15 (beta)");
  std::wstring fixed = version_text(application, L"\\");
  ASSERT_EQ(fixed.size() * sizeof(wchar_t), sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(version_text(looks, L"\\"), fixed);
  VS_FIXEDFILEINFO renumbered;
  memcpy(&renumbered, fixed.data(), sizeof renumbered);
  renumbered.dwFileVersionMS = 9 << 16 | 8;
  renumbered.dwFileVersionLS = 7 << 16 | 6;
  const wchar_t* renumbered_text = reinterpret_cast<const wchar_t*>(&renumbered);
  EXPECT_EQ(version_text(named, L"\\"), std::wstring(renumbered_text, fixed.size()));

  // The application's one icon group, both its sizes and no other, image for image.
  std::string group = resource_of(looks, RT_GROUP_ICON, 1);
  ASSERT_GE(group.size(), 6u + 2 * 14);
  EXPECT_EQ(group[4], 2);
  for (int size : {16, 24}) {
    SCOPED_TRACE(size);
    int id = LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(group.data()), TRUE, size, size, LR_DEFAULTCOLOR);
    ASSERT_NE(id, 0);
    std::string image = resource_of(looks, RT_ICON, id);
    EXPECT_EQ(*reinterpret_cast<const LONG*>(image.data() + 4), size);
    EXPECT_NE(image.find(std::string(1, static_cast<char>(size == 16 ? 0 : 40)) + "Z\xC8\xFF"), std::string::npos);
    HMODULE module = LoadLibraryExW(looks.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
    EXPECT_NE(icon, nullptr);
    if (icon) DestroyIcon(icon);
    FreeLibrary(module);
  }
  EXPECT_NE(resource_of(looks, RT_MANIFEST, 1).find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(resource_of(test_program(L"exe_e2e_report_launcher.exe"), RT_MANIFEST, 1).find("level=\"asInvoker\""),
            std::string::npos);
  // Wine runs every program with full rights and prompts for nothing: the launcher starts and
  // runs the application as any other. The elevated token's inheritance needs Windows.
  captured_run run = run_captured(looks, L"looks");
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(run.out, "looks_app ran\r\n");
}

}  // namespace
