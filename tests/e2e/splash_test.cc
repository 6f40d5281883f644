// The splash on a real X display (scripts/run-tests starts Xvfb and exports DISPLAY). The
// application waits for the test's event, so the splash's moments come from the test, not a
// clock. splash_report_launcher.exe packs report_app and helper.exe (file_holder) with
// tests/e2e/splash_quadrants.png: 96x64 pixels, red, green / blue, white quadrants.
#include <gtest/gtest.h>
#include <windows.h>

#include "tests/support/launcher_e2e_support.h"

namespace {

constexpr int image_width = 96, image_height = 64, bar_height = 2;

#define REQUIRE_DISPLAY()                                                                        \
  if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0)                                      \
  GTEST_SKIP() << "no X display: DISPLAY is unset (scripts/run-tests starts Xvfb; is the xvfb " \
                  "package installed?)"

struct window_query {
  DWORD pid;
  bool splash_only;
  HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM context) {
  auto* query = reinterpret_cast<window_query*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t type[64] = {};
  GetClassNameW(window, type, 64);
  bool splash = wcscmp(type, L"TavrenOnefileSplash") == 0;
  if (owner != query->pid || !IsWindowVisible(window) || (query->splash_only && !splash)) return TRUE;
  query->found = window;
  return FALSE;
}

/// A visible top-level window of process `pid` (only the splash with `splash_only`), or null.
HWND visible_window(DWORD pid, bool splash_only) {
  window_query query = {pid, splash_only, nullptr};
  EnumWindows(match_window, reinterpret_cast<LPARAM>(&query));
  return query.found;
}

/// Waits until `done()` holds; the test's own time limit ends a wait that never does.
template <class Condition>
void wait_until(Condition done) {
  while (!done()) Sleep(20);
}

bool running(const started_process& launcher) { return WaitForSingleObject(launcher.handle(), 0) == WAIT_TIMEOUT; }

/// The screen's pixels under `area` as 0xRRGGBB, rows top to bottom.
std::vector<uint32_t> screen_pixels(const RECT& area) {
  int width = area.right - area.left, height = area.bottom - area.top;
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC screen = GetDC(nullptr), copy = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(copy, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(copy, bitmap);
  BitBlt(copy, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  std::vector<uint32_t> pixels(static_cast<uint32_t*>(bits), static_cast<uint32_t*>(bits) + width * height);
  for (uint32_t& p : pixels) p &= 0xFFFFFF;
  SelectObject(copy, previous);
  DeleteObject(bitmap);
  DeleteDC(copy);
  ReleaseDC(nullptr, screen);
  return pixels;
}

run_options app_options(const scratch_folder& temp, const release_event& release, const wchar_t* action) {
  run_options options = launch_options(temp.path());
  options.set_env.push_back(release.variable());
  if (action) options.set_env.push_back({L"TAVREN_TEST_ACTION", action});
  return options;
}

}  // namespace

TEST(Splash, ShowsTheImageCentredWhileTheApplicationHasNoWindowAndGoesWhenTheChildEnds) {
  REQUIRE_DISPLAY();
  scratch_folder temp;
  release_event release;
  run_options options = app_options(temp, release, nullptr);
  started_process launcher(test_program(L"splash_report_launcher.exe"), L"splash_report_launcher.exe", options);
  ASSERT_TRUE(launcher.started());
  HWND splash = nullptr;
  wait_until([&] { return (splash = visible_window(launcher.pid(), true)) != nullptr; });
  // The application runs and waits: the splash stays, with the whole image above the bar.
  // The launcher that draws first in a Wine session starts Wine's desktop process as its child.
  DWORD child = child_of(launcher.pid(), INFINITE, L"splash_report_launcher.exe");
  ASSERT_TRUE(wait_for_module(child, L"report_app.dll", INFINITE));
  RECT area;
  ASSERT_TRUE(GetWindowRect(splash, &area));
  EXPECT_EQ(area.right - area.left, image_width);
  EXPECT_EQ(area.bottom - area.top, image_height);
  EXPECT_EQ(area.left, (GetSystemMetrics(SM_CXSCREEN) - image_width) / 2);
  EXPECT_EQ(area.top, (GetSystemMetrics(SM_CYSCREEN) - image_height) / 2);
  // Unpacking is over: the bar fills, in the mark's teal, at the splash's next look.
  std::vector<uint32_t> pixels;
  wait_until([&] { return (pixels = screen_pixels(area)).back() == 0x2A9D8Fu; });
  EXPECT_EQ(pixels[static_cast<size_t>(image_height - 1) * image_width], 0x2A9D8Fu);
  int wrong = 0;
  for (int y = 0; y < image_height - bar_height; ++y)
    for (int x = 0; x < image_width; ++x) {
      uint32_t expected = y < image_height / 2 ? (x < image_width / 2 ? 0xFF0000 : 0x00FF00)
                                               : (x < image_width / 2 ? 0x0000FF : 0xFFFFFF);
      if (pixels[static_cast<size_t>(y) * image_width + x] != expected && wrong++ < 5)
        ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << pixels[y * image_width + x];
    }
  // The launcher ends with the application, and the splash goes with them.
  release.set();
  wait_until([&] { return visible_window(launcher.pid(), true) == nullptr; });
  captured_run run = launcher.finish();
  EXPECT_EQ(run.exit_code, 0u) << run.out;
}

// Starts `program`, waits for its splash, lets the application past its gate and waits for
// the splash to go, which it must do while the launcher still runs; then lets the application
// end and returns the run.
captured_run splash_goes_while_the_launcher_runs(const wchar_t* program, run_options options, release_event& release,
                                                 release_event& gate) {
  started_process launcher(test_program(program), program, options);
  EXPECT_TRUE(launcher.started());
  if (!launcher.started()) return {};
  wait_until([&] { return visible_window(launcher.pid(), true) != nullptr; });
  gate.set();
  wait_until([&] { return visible_window(launcher.pid(), true) == nullptr; });
  EXPECT_TRUE(running(launcher)) << "the splash went only with the launcher";
  release.set();
  return launcher.finish();
}

// The two ways an application ends the splash while it still runs: its first window, and
// the event the launcher names.
TEST(Splash, GoesWhenTheApplicationShowsAWindowOrSetsTheEvent) {
  REQUIRE_DISPLAY();
  for (const wchar_t* action : {L"window", L"close_splash"}) {
    SCOPED_TRACE(narrow(action));
    scratch_folder temp;
    release_event release, gate;
    run_options options = app_options(temp, release, action);
    options.set_env.push_back({L"TAVREN_TEST_GATE", gate.name()});
    captured_run run = splash_goes_while_the_launcher_runs(L"splash_report_launcher.exe", options, release, gate);
    std::vector<report> reports = parse_reports(run.out);
    ASSERT_EQ(reports.size(), 1u) << run.out;
    std::string reported = value_of(reports[0], wcscmp(action, L"window") == 0 ? "window" : "splash_closed");
    EXPECT_TRUE(reported != "0" && reported != "<missing>") << reported;
  }
}

// A cached launcher runs the application in its own process: the splash goes when that
// process shows its first window, on the start that installs and on a warm one.
TEST(Splash, InCachedModeGoesWhenTheApplicationsWindowShowsOnTheColdAndTheWarmStart) {
  REQUIRE_DISPLAY();
  scratch_folder temp, local;
  for (const char* start : {"cold", "warm"}) {
    SCOPED_TRACE(start);
    release_event release, gate;
    run_options options = app_options(temp, release, L"window");
    options.set_env.push_back({L"TAVREN_TEST_GATE", gate.name()});
    options.set_env.push_back({L"LOCALAPPDATA", local.path()});
    captured_run run = splash_goes_while_the_launcher_runs(L"cached_splash_launcher.exe", options, release, gate);
    EXPECT_EQ(run.exit_code, 0u) << run.out;
  }
}

// An application that shows no window and never asks: the splash goes after its timeout while
// the application still runs. The wait has no end of its own: a splash that stayed would fail
// the test by its time limit.
TEST(Splash, GoesAfterItsTimeoutWhileTheApplicationRunsWithoutAWindow) {
  REQUIRE_DISPLAY();
  scratch_folder temp;
  release_event release;
  started_process launcher(test_program(L"splash_timeout_launcher.exe"), L"splash_timeout_launcher.exe",
                           app_options(temp, release, nullptr));
  ASSERT_TRUE(launcher.started());
  DWORD child = child_of(launcher.pid(), INFINITE, L"splash_timeout_launcher.exe");
  ASSERT_TRUE(wait_for_module(child, L"report_app.dll", INFINITE));
  // The splash's thread bound the window library: a splash was started, and it must go.
  EXPECT_TRUE(wait_for_module(launcher.pid(), L"user32.dll", INFINITE));
  wait_until([&] { return visible_window(launcher.pid(), true) == nullptr; });
  EXPECT_TRUE(running(launcher)) << "the splash went only with the launcher";
  release.set();
  EXPECT_EQ(launcher.finish().exit_code, 0u);
}

// Without --splash, neither launcher process shows a window or loads a windowing library,
// and the application finds no splash event to set.
TEST(Splash, ALauncherWithoutOneLoadsNoWindowingLibrary) {
  REQUIRE_DISPLAY();
  scratch_folder temp;
  release_event release;
  started_process launcher(test_program(L"e2e_report_launcher.exe"), L"e2e_report_launcher.exe",
                           app_options(temp, release, L"close_splash"));
  ASSERT_TRUE(launcher.started());
  DWORD child = child_of(launcher.pid(), INFINITE, L"e2e_report_launcher.exe");
  ASSERT_TRUE(wait_for_module(child, L"report_app.dll", INFINITE));
  for (DWORD pid : {launcher.pid(), child}) {
    for (const wchar_t* library : {L"user32.dll", L"gdi32.dll", L"win32u.dll"})
      EXPECT_FALSE(wait_for_module(pid, library, 0)) << narrow(library) << " in process " << pid;
    EXPECT_EQ(visible_window(pid, false), nullptr);
  }
  release.set();
  captured_run run = launcher.finish();
  std::vector<report> reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 1u) << run.out;
  EXPECT_EQ(value_of(reports[0], "splash_closed"), "0");
}
