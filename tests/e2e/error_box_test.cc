// A windowed launcher started as Explorer starts it, without standard handles, on the X display
// scripts/run-tests starts: its error text appears in a message box, which the test reads back
// and closes, and the launcher still ends with exit code 2.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/launcher_e2e_support.h"

namespace {

struct box_query {
  std::wstring title;
  HWND found;
};

BOOL CALLBACK match_box(HWND window, LPARAM context) {
  auto* query = reinterpret_cast<box_query*>(context);
  wchar_t type[64] = {}, title[MAX_PATH] = {};
  GetClassNameW(window, type, 64);
  GetWindowTextW(window, title, MAX_PATH);
  if (wcscmp(type, L"#32770") != 0 || !IsWindowVisible(window) || query->title != title) return TRUE;
  query->found = window;
  return FALSE;
}

BOOL CALLBACK collect_static_text(HWND control, LPARAM context) {
  wchar_t type[64] = {}, text[4096] = {};
  GetClassNameW(control, type, 64);
  GetWindowTextW(control, text, 4096);
  if (_wcsicmp(type, L"Static") == 0 && text[0]) reinterpret_cast<std::vector<std::wstring>*>(context)->push_back(text);
  return TRUE;
}

struct boxed_run {
  std::vector<std::wstring> texts;  ///< the box's static texts
  DWORD exit_code = 0;
};

// Starts `launcher` with no standard handles and `variables` set, waits for the box titled with
// the launcher's file name (from whichever launcher process shows it), reads it, presses OK and
// waits for the launcher's end. The waits have no end of their own: a box that never comes fails
// the test by its time limit.
boxed_run run_to_box(const wchar_t* launcher, const std::vector<std::pair<std::wstring, std::wstring>>& variables) {
  for (const auto& [name, value] : variables) SetEnvironmentVariableW(name.c_str(), value.c_str());
  std::wstring path = test_program(launcher), line = quote_argument(path);
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;  // all three null, as a start from Explorer has them
  PROCESS_INFORMATION process = {};
  boxed_run run;
  BOOL started = CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                                &process);
  for (const auto& variable : variables) SetEnvironmentVariableW(variable.first.c_str(), nullptr);
  EXPECT_TRUE(started) << GetLastError();
  if (!started) return run;
  CloseHandle(process.hThread);
  box_query query = {launcher, nullptr};
  while (!query.found && WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT)
    EnumWindows(match_box, reinterpret_cast<LPARAM>(&query));
  EXPECT_TRUE(query.found) << "the launcher ended without a box";
  if (query.found) {
    EnumChildWindows(query.found, collect_static_text, reinterpret_cast<LPARAM>(&run.texts));
    PostMessageW(query.found, WM_COMMAND, IDOK, 0);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &run.exit_code);
  CloseHandle(process.hProcess);
  return run;
}

}  // namespace

TEST(ErrorBox, AWindowedLauncherWithoutStandardHandlesShowsItsErrorInABox) {
  if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0)
    GTEST_SKIP() << "no X display: DISPLAY is unset (scripts/run-tests starts Xvfb; is the xvfb package installed?)";
  scratch_folder temp;
  std::vector<std::pair<std::wstring, std::wstring>> user = {{L"TMP", temp.path()}, {L"TEMP", temp.path()}};

  // A plain report, from the child the launcher starts: the library has no entry point.
  boxed_run plain = run_to_box(L"e2e_no_entry_launcher.exe", user);
  EXPECT_EQ(plain.exit_code, 2u);
  EXPECT_EQ(plain.texts, std::vector<std::wstring>{L"Error, DLL entry point not found."});

  // A report with the system's error, from the launcher itself, that names a path in another
  // script: the box shows it as it is, where the stream would show question marks.
  std::wstring blocker = temp / L"не папка";
  HANDLE file = CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  std::vector<std::pair<std::wstring, std::wstring>> moved = user;
  moved.push_back({L"TAVREN_ONEFILE_UNPACK_DIR", blocker + L"\\sub"});
  boxed_run system = run_to_box(L"e2e_report_launcher.exe", moved);
  EXPECT_EQ(system.exit_code, 2u);
  ASSERT_EQ(system.texts.size(), 1u);
  const std::wstring& text = system.texts[0];
  std::wstring before = L"Error, failed to create folder '" + blocker + L"\\sub\\S-1-";
  EXPECT_EQ(text.rfind(before, 0), 0u) << narrow(text);
  EXPECT_NE(text.find(L"'. ([Error "), std::wstring::npos) << narrow(text);
  EXPECT_TRUE(text.ends_with(L")")) << narrow(text);
}
