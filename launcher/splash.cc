#include "launcher/splash.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/byte_order.h"
#include "base/system_library.h"
#include "formats/stub_descriptor.h"
#include "paths/environment.h"
#include "payload/payload.h"

namespace {

// How often the splash looks at the progress and for the application's first window.
constexpr DWORD splash_tick_ms = 50;
// The event's name: a prefix, the launcher's process id and its start tick.
constexpr size_t event_name_capacity = 96;

// The User32 and Gdi32 functions the splash calls, bound on its own thread.
struct window_functions {
  decltype(&::RegisterClassExW) RegisterClassExW;
  decltype(&::CreateWindowExW) CreateWindowExW;
  decltype(&::DefWindowProcW) DefWindowProcW;
  decltype(&::DestroyWindow) DestroyWindow;
  decltype(&::ShowWindow) ShowWindow;
  decltype(&::UpdateLayeredWindow) UpdateLayeredWindow;
  decltype(&::GetDC) GetDC;
  decltype(&::ReleaseDC) ReleaseDC;
  decltype(&::GetSystemMetrics) GetSystemMetrics;
  decltype(&::MsgWaitForMultipleObjects) MsgWaitForMultipleObjects;
  decltype(&::PeekMessageW) PeekMessageW;
  decltype(&::DispatchMessageW) DispatchMessageW;
  decltype(&::EnumWindows) EnumWindows;
  decltype(&::IsWindowVisible) IsWindowVisible;
  decltype(&::GetWindowThreadProcessId) GetWindowThreadProcessId;
  decltype(&::CreateCompatibleDC) CreateCompatibleDC;
  decltype(&::CreateDIBSection) CreateDIBSection;
  decltype(&::SelectObject) SelectObject;
  decltype(&::DeleteObject) DeleteObject;
  decltype(&::DeleteDC) DeleteDC;
};

const unsigned char* g_record = nullptr;
HANDLE g_close_event = nullptr;
// The process whose first window ends the splash; the main thread hands it over once.
HANDLE g_followed = nullptr;
window_functions g_calls;

bool bind_window_functions(window_functions& f) {
  HMODULE user = load_system_library(L"user32.dll");
  HMODULE gdi = user ? load_system_library(L"gdi32.dll") : nullptr;
  return gdi && bind_function(user, "RegisterClassExW", &f.RegisterClassExW) &&
         bind_function(user, "CreateWindowExW", &f.CreateWindowExW) &&
         bind_function(user, "DefWindowProcW", &f.DefWindowProcW) &&
         bind_function(user, "DestroyWindow", &f.DestroyWindow) && bind_function(user, "ShowWindow", &f.ShowWindow) &&
         bind_function(user, "UpdateLayeredWindow", &f.UpdateLayeredWindow) && bind_function(user, "GetDC", &f.GetDC) &&
         bind_function(user, "ReleaseDC", &f.ReleaseDC) &&
         bind_function(user, "GetSystemMetrics", &f.GetSystemMetrics) &&
         bind_function(user, "MsgWaitForMultipleObjects", &f.MsgWaitForMultipleObjects) &&
         bind_function(user, "PeekMessageW", &f.PeekMessageW) &&
         bind_function(user, "DispatchMessageW", &f.DispatchMessageW) &&
         bind_function(user, "EnumWindows", &f.EnumWindows) &&
         bind_function(user, "IsWindowVisible", &f.IsWindowVisible) &&
         bind_function(user, "GetWindowThreadProcessId", &f.GetWindowThreadProcessId) &&
         bind_function(gdi, "CreateCompatibleDC", &f.CreateCompatibleDC) &&
         bind_function(gdi, "CreateDIBSection", &f.CreateDIBSection) &&
         bind_function(gdi, "SelectObject", &f.SelectObject) && bind_function(gdi, "DeleteObject", &f.DeleteObject) &&
         bind_function(gdi, "DeleteDC", &f.DeleteDC);
}

// The window's pixels: the image, and the bar over its last rows.
struct splash_canvas {
  int width = 0, height = 0, bar_height = 0, bar_filled = -1;
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  uint32_t* pixels = nullptr;
};

bool make_canvas(splash_canvas& canvas, const unsigned char* record) {
  canvas.width = static_cast<int>(load_le32(record));
  canvas.height = static_cast<int>(load_le32(record + 4));
  // Thin, but visible on a small image too.
  canvas.bar_height = canvas.height >= 120 ? 4 : 2;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = canvas.width;
  info.bmiHeader.biHeight = -canvas.height;  // rows top to bottom, as the record has them
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  canvas.dc = g_calls.CreateCompatibleDC(nullptr);
  if (!canvas.dc) return false;
  canvas.bitmap = g_calls.CreateDIBSection(canvas.dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!canvas.bitmap) return false;
  canvas.previous = g_calls.SelectObject(canvas.dc, canvas.bitmap);
  canvas.pixels = static_cast<uint32_t*>(bits);
  memcpy(canvas.pixels, record + stub_splash_header_size, static_cast<size_t>(canvas.width) * canvas.height * 4);
  return true;
}

void free_canvas(splash_canvas& canvas) {
  if (canvas.previous) g_calls.SelectObject(canvas.dc, canvas.previous);
  if (canvas.bitmap) g_calls.DeleteObject(canvas.bitmap);
  if (canvas.dc) g_calls.DeleteDC(canvas.dc);
}

// Draws the bar for `permille` and hands the pixels to the window when the bar has moved.
void paint(HWND window, splash_canvas& canvas, unsigned permille, POINT at) {
  int filled = static_cast<int>(static_cast<int64_t>(canvas.width) * (permille > 1000 ? 1000 : permille) / 1000);
  if (filled == canvas.bar_filled) return;
  canvas.bar_filled = filled;
  // Premultiplied BGRA: the mark's teal for what is done, a dark track for the rest.
  const uint32_t done = 0xFF2A9D8Fu, track = 0xFF303030u;
  for (int y = canvas.height - canvas.bar_height; y < canvas.height; ++y)
    for (int x = 0; x < canvas.width; ++x)
      canvas.pixels[static_cast<size_t>(y) * canvas.width + x] = x < filled ? done : track;
  SIZE size = {canvas.width, canvas.height};
  POINT origin = {0, 0};
  BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  HDC screen = g_calls.GetDC(nullptr);
  g_calls.UpdateLayeredWindow(window, screen, &at, &size, canvas.dc, &origin, 0, &blend, ULW_ALPHA);
  if (screen) g_calls.ReleaseDC(nullptr, screen);
}

struct window_search {
  DWORD process_id;
  HWND own;
  bool found;
};

BOOL CALLBACK note_visible_window(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<window_search*>(context);
  DWORD owner = 0;
  if (window == search->own || !g_calls.IsWindowVisible(window)) return TRUE;
  g_calls.GetWindowThreadProcessId(window, &owner);
  if (owner != search->process_id) return TRUE;
  search->found = true;
  return FALSE;
}

bool application_shows_a_window(DWORD process_id, HWND own) {
  window_search search = {process_id, own, false};
  g_calls.EnumWindows(note_visible_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Runs until one of the closing conditions holds; the window goes with the thread.
DWORD WINAPI splash_thread(void*) {
  if (!bind_window_functions(g_calls)) return 0;
  ULONGLONG deadline = GetTickCount64() + uint64_t{load_le32(g_record + 8)} * 1000;
  WNDCLASSEXW type = {};
  type.cbSize = sizeof type;
  type.lpfnWndProc = g_calls.DefWindowProcW;
  type.hInstance = GetModuleHandleW(nullptr);
  type.lpszClassName = L"TavrenOnefileSplash";
  splash_canvas canvas;
  if (!g_calls.RegisterClassExW(&type) || !make_canvas(canvas, g_record)) {
    free_canvas(canvas);
    return 0;
  }
  POINT at = {(g_calls.GetSystemMetrics(SM_CXSCREEN) - canvas.width) / 2,
              (g_calls.GetSystemMetrics(SM_CYSCREEN) - canvas.height) / 2};
  // No taskbar button (tool window), above other windows, and never the foreground window.
  HWND window = g_calls.CreateWindowExW(WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE,
                                        type.lpszClassName, L"", WS_POPUP, at.x, at.y, canvas.width, canvas.height,
                                        nullptr, nullptr, type.hInstance, nullptr);
  if (!window) {
    free_canvas(canvas);
    return 0;
  }
  paint(window, canvas, payload_progress_permille(), at);
  g_calls.ShowWindow(window, SW_SHOWNOACTIVATE);

  HANDLE followed = nullptr;
  DWORD followed_id = 0;
  for (;;) {
    if (!followed && (followed = InterlockedCompareExchangePointer(&g_followed, nullptr, nullptr))) {
      followed_id = GetProcessId(followed);
    }
    HANDLE waits[2] = {g_close_event, followed};
    DWORD count = followed ? 2 : 1;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    DWORD pause = deadline - now < splash_tick_ms ? static_cast<DWORD>(deadline - now) : splash_tick_ms;
    DWORD woke = g_calls.MsgWaitForMultipleObjects(count, waits, FALSE, pause, QS_ALLINPUT);
    if (woke < WAIT_OBJECT_0 + count || woke == WAIT_FAILED) break;  // asked to close, or the child ended
    MSG message;
    while (g_calls.PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) g_calls.DispatchMessageW(&message);
    if (followed_id && application_shows_a_window(followed_id, window)) break;
    paint(window, canvas, payload_progress_permille(), at);
  }
  g_calls.DestroyWindow(window);
  free_canvas(canvas);
  return 0;
}

}  // namespace

void splash_prepare(const unsigned char* record) { g_record = record; }

void splash_show() {
  if (!g_record || g_close_event) return;
  // Built from the runtime's own number conversion: a formatted print here would link MinGW's
  // whole printf into every launcher (C++ headers switch this file to it), about 20 KB.
  wchar_t name[event_name_capacity] = L"TavrenOnefileSplash-";
  wchar_t digits[24];
  wcscat(name, _ui64tow(GetCurrentProcessId(), digits, 10));
  wcscat(name, L"-");
  wcscat(name, _ui64tow(GetTickCount64(), digits, 10));
  g_close_event = CreateEventW(nullptr, TRUE, FALSE, name);
  if (!g_close_event) return;
  env_set(SPLASH_EVENT_VARIABLE, name);
  HANDLE thread = CreateThread(nullptr, 0, splash_thread, nullptr, 0, nullptr);
  if (thread) CloseHandle(thread);
}

void splash_follow(HANDLE process) {
  if (!g_close_event || g_followed) return;
  HANDLE copy = nullptr;
  DWORD access = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
  if (DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, access, FALSE, 0))
    InterlockedExchangePointer(&g_followed, copy);
}
