#include "launcher/wait_window.h"

#include <shellapi.h>

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "launcher/client_app.h"
#include "launcher/language.h"
#include "launcher/launch_paths.h"

namespace launcher {

struct WaitWindow::Shared {
  WaitWindowMode mode = WaitWindowMode::kInstalling;
  std::wstring installFolder;
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
  platform::win32::UniqueHandle closing;    // set by Close()
  platform::win32::UniqueHandle offScreen;  // set once the window is hidden or never showed
  DWORD delayMs = kWaitWindowDelayMs;
};

namespace {

using platform::win32::UniqueGdiObject;
using platform::win32::UniqueIcon;
using platform::win32::UniqueWindow;

constexpr wchar_t kClassName[] = L"VeltmoraLauncherWait";
constexpr UINT_PTR kTimerId = 1;
// Often enough for a bar that moves smoothly, seldom enough to cost the install nothing.
constexpr UINT kTimerMs = 50;
// How long Close() waits for the window to go, should the system not answer: the client then
// starts all the same.
constexpr DWORD kCloseWaitMs = 5000;
constexpr DWORD kStackBytes = 256 * 1024;

// Functions of newer systems, looked up once: the window is laid out for its monitor's DPI
// where the system can say it, else for the system's.
template <typename Function>
Function User32Function(const char* name) {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

unsigned DpiOf(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (getDpiForWindow != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }
  const HDC dc = GetDC(window);
  if (dc == nullptr) return 96;
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(window, dc);
  return dpi > 0 ? static_cast<unsigned>(dpi) : 96;
}

RECT WindowRectFor(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, unsigned dpi) {
  using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = User32Function<AdjustForDpiFn>("AdjustWindowRectExForDpi");
  RECT rect = {0, 0, clientWidth, clientHeight};
  if (adjustForDpi == nullptr || !adjustForDpi(&rect, style, FALSE, exStyle, dpi)) {
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  }
  return rect;
}

RECT ToRect(const PixelRect& r) { return {r.left, r.top, r.right, r.bottom}; }

// What one window shows and owns; lives on the stack of the thread the window runs on.
struct WindowState {
  WaitWindowMode mode = WaitWindowMode::kInstalling;
  WaitWindowText text;
  std::wstring installFolder;
  const WaitWindow::Shared* progress = nullptr;  // none for the message
  WaitWindowLayout layout;
  UniqueIcon icon;       // the product's, at the layout's icon size; none: the system's
  UniqueIcon smallIcon;  // for the caption and the taskbar
  UniqueGdiObject font;
  HWND button = nullptr;  // a child, destroyed with the window
  int shownFill = -1;
  std::uint32_t tick = 0;
};

// The product's icon at `size` pixels: Veltmora.ico of the install folder, else the client's
// own first icon, else none.
UniqueIcon LoadProductIcon(const std::wstring& installFolder, int size) {
  if (const std::optional<std::wstring> path = IconPath(installFolder, kClientStem)) {
    UniqueIcon icon(static_cast<HICON>(
        LoadImageW(nullptr, path->c_str(), IMAGE_ICON, size, size, LR_LOADFROMFILE)));
    if (icon) return icon;
  }
  wchar_t client[kPathBufferUnits] = {};
  if (!FormatClientPath(installFolder, client, kPathBufferUnits)) return UniqueIcon();
  HICON large = nullptr;
  if (ExtractIconExW(client, 0, &large, nullptr, 1) == 0) return UniqueIcon();
  return UniqueIcon(large);
}

HICON Drawn(const UniqueIcon& icon) {
  return icon ? icon.get() : LoadIconW(nullptr, IDI_APPLICATION);
}

UniqueGdiObject MakeFont(int pixelHeight) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  LOGFONTW face = {};
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    face = metrics.lfMessageFont;
  } else {
    face.lfCharSet = DEFAULT_CHARSET;
  }
  face.lfHeight = -pixelHeight;
  face.lfWidth = 0;
  return UniqueGdiObject(CreateFontIndirectW(&face));
}

// How tall the text wraps to at the layout's width for `dpi` in `font`.
int MeasureText(HWND window, const WindowState& s, HGDIOBJ font, unsigned dpi) {
  const HDC dc = GetDC(window);
  if (dc == nullptr) return 0;
  const HGDIOBJ old = SelectObject(dc, font);
  RECT rect = {0, 0, WaitWindowTextWidth(s.mode, dpi), 0};
  const UINT format = s.mode == WaitWindowMode::kInstallBlocked
                          ? DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT
                          : DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT;
  DrawTextW(dc, s.text.line.c_str(), static_cast<int>(s.text.line.size()), &rect, format);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return rect.bottom - rect.top;
}

// Lays the window out for `dpi` and sizes it so; centred on the work area of its monitor
// unless `suggested` (a DPI change) says where it goes.
void LayOut(HWND window, WindowState& s, unsigned dpi, const RECT* suggested) {
  // The new font and icons are handed to the window before the old ones go.
  UniqueGdiObject font = MakeFont(LayOutWaitWindow(s.mode, dpi, 0).fontHeight);
  const WaitWindowLayout layout =
      LayOutWaitWindow(s.mode, dpi, MeasureText(window, s, font.get(), dpi));
  UniqueIcon icon = LoadProductIcon(s.installFolder, layout.icon.right - layout.icon.left);
  UniqueIcon smallIcon = LoadProductIcon(s.installFolder, ScaleForDpi(16, dpi));
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(Drawn(icon)));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(Drawn(smallIcon)));
  if (s.button != nullptr) {
    const PixelRect& b = layout.button;
    MoveWindow(s.button, b.left, b.top, b.right - b.left, b.bottom - b.top, TRUE);
    SendMessageW(s.button, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
  }
  s.layout = layout;
  s.font = std::move(font);
  s.icon = std::move(icon);
  s.smallIcon = std::move(smallIcon);
  const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
  const RECT frame =
      WindowRectFor(s.layout.clientWidth, s.layout.clientHeight, style, exStyle, dpi);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  int left = 0;
  int top = 0;
  if (suggested != nullptr) {
    left = suggested->left;
    top = suggested->top;
  } else {
    // On the monitor the user clicked on.
    POINT cursor = {};
    GetCursorPos(&cursor);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& work = monitor.rcWork;
    left = work.left + std::max(0L, (work.right - work.left - width) / 2);
    top = work.top + std::max(0L, (work.bottom - work.top - height) / 2);
  }
  SetWindowPos(window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(window, nullptr, TRUE);
}

void Paint(HWND window, WindowState& s) {
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  const WaitWindowLayout& l = s.layout;
  DrawIconEx(dc, l.icon.left, l.icon.top, Drawn(s.icon), l.icon.right - l.icon.left,
             l.icon.bottom - l.icon.top, 0, nullptr, DI_NORMAL);
  const HGDIOBJ oldFont = SelectObject(dc, s.font.get());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  RECT text = ToRect(l.text);
  const UINT format = s.mode == WaitWindowMode::kInstallBlocked
                          ? DT_WORDBREAK | DT_NOPREFIX
                          : DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
  DrawTextW(dc, s.text.line.c_str(), static_cast<int>(s.text.line.size()), &text, format);
  SelectObject(dc, oldFont);
  if (s.mode != WaitWindowMode::kInstallBlocked) {
    RECT bar = ToRect(l.bar);
    FrameRect(dc, &bar, GetSysColorBrush(COLOR_BTNSHADOW));
    InflateRect(&bar, -1, -1);
    FillRect(dc, &bar, GetSysColorBrush(COLOR_WINDOW));
    const int width = bar.right - bar.left;
    RECT filled = bar;
    if (s.mode == WaitWindowMode::kInstalling) {
      s.shownFill = BarFill(s.progress->done.load(), s.progress->total.load(), width);
      filled.right = bar.left + s.shownFill;
    } else {
      filled.left = bar.left + MarqueeOffset(s.tick, width);
      filled.right = filled.left + width / 4;
      filled.left = std::max(filled.left, bar.left);
      filled.right = std::min(filled.right, bar.right);
    }
    if (filled.right > filled.left) FillRect(dc, &filled, GetSysColorBrush(COLOR_HIGHLIGHT));
  }
  EndPaint(window, &paint);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* s = reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (s == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_PAINT:
      Paint(window, *s);
      return 0;
    case WM_TIMER: {
      ++s->tick;
      const bool moved = s->mode == WaitWindowMode::kWaitingForLaunch ||
                         BarFill(s->progress->done.load(), s->progress->total.load(),
                                 s->layout.bar.right - s->layout.bar.left - 2) != s->shownFill;
      if (moved) {
        const RECT bar = ToRect(s->layout.bar);
        InvalidateRect(window, &bar, FALSE);
      }
      return 0;
    }
    case WM_DPICHANGED:
      LayOut(window, *s, HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_COMMAND:
      if (s->mode == WaitWindowMode::kInstallBlocked &&
          (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        PostQuitMessage(0);
      }
      return 0;
    case WM_CLOSE:
      // The waiting windows cannot stop what is waited for: closing one only hides it.
      if (s->mode == WaitWindowMode::kInstallBlocked) {
        PostQuitMessage(0);
      } else {
        ShowWindow(window, SW_HIDE);
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// Makes the window, hidden; none when the system would not.
UniqueWindow CreateWaitWindow(WindowState& s) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = kClassName;
  // Registered by the first window of this process; a second one finds the class there.
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return UniqueWindow();
  }
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
  UniqueWindow window(CreateWindowExW(WS_EX_APPWINDOW, kClassName, s.text.caption.c_str(), style,
                                      CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr,
                                      instance, &s));
  if (!window) return window;
  if (!s.text.button.empty()) {
    s.button = CreateWindowExW(0, L"BUTTON", s.text.button.c_str(),
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0, 0,
                               window.get(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)),
                               instance, nullptr);
  }
  LayOut(window.get(), s, DpiOf(window.get()), nullptr);
  return window;
}

void ShowInFront(HWND window, const WindowState& s) {
  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  if (s.button != nullptr) SetFocus(s.button);
  UpdateWindow(window);
}

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// The waiting window's thread: waits out the delay, shows the window and runs its messages
// until Close().
DWORD WINAPI WaitWindowThread(void* parameter) {
  const std::unique_ptr<std::shared_ptr<WaitWindow::Shared>> owned(
      static_cast<std::shared_ptr<WaitWindow::Shared>*>(parameter));
  const WaitWindow::Shared& shared = **owned;
  const HANDLE closing = shared.closing.get();
  if (WaitForSingleObject(closing, shared.delayMs) != WAIT_TIMEOUT) {
    SetEvent(shared.offScreen.get());
    return 0;
  }
  try {
    WindowState s;
    s.mode = shared.mode;
    s.text = WaitWindowTextFor(shared.mode, IsChineseLanguage());
    s.installFolder = shared.installFolder;
    s.progress = &shared;
    UniqueWindow window = CreateWaitWindow(s);
    // Close() may have come while the window was made: it never shows then.
    if (window && !Signalled(closing)) {
      ShowInFront(window.get(), s);
      SetTimer(window.get(), kTimerId, kTimerMs, nullptr);
      bool quit = false;
      while (!quit && MsgWaitForMultipleObjects(1, &closing, FALSE, INFINITE, QS_ALLINPUT) ==
                          WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
          if (message.message == WM_QUIT) quit = true;
          TranslateMessage(&message);
          DispatchMessageW(&message);
        }
      }
      ShowWindow(window.get(), SW_HIDE);
    }
    SetEvent(shared.offScreen.get());
  } catch (const std::bad_alloc&) {
    // No window without memory for its texts: the launch goes on without one.
    SetEvent(shared.offScreen.get());
  }
  return 0;
}

}  // namespace

WaitWindow::WaitWindow(WaitWindowMode mode, std::wstring installFolder)
    : shared_(std::make_shared<Shared>()) {
  shared_->mode = mode;
  shared_->installFolder = std::move(installFolder);
}

WaitWindow::~WaitWindow() { Close(); }

void WaitWindow::Start(DWORD delayMs) {
  // Once: a window closed stays closed.
  if (shared_->closing) return;
  Shared& shared = *shared_;
  shared.delayMs = delayMs;
  shared.closing.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  shared.offScreen.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!shared.closing || !shared.offScreen) return;
  // The thread keeps what it reads alive for as long as it runs, also past this object.
  auto parameter = std::make_unique<std::shared_ptr<Shared>>(shared_);
  thread_.reset(CreateThread(nullptr, kStackBytes, WaitWindowThread, parameter.get(),
                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (thread_) parameter.release();
}

void WaitWindow::SetProgress(std::uint64_t done, std::uint64_t total) {
  shared_->total.store(total);
  shared_->done.store(done);
}

void WaitWindow::Close() {
  if (!thread_) return;
  SetEvent(shared_->closing.get());
  const HANDLE gone[] = {shared_->offScreen.get(), thread_.get()};
  WaitForMultipleObjects(2, gone, FALSE, kCloseWaitMs);
  thread_.reset();
}

void ShowInstallBlockedMessage(const std::wstring& installFolder) {
  WindowState s;
  s.mode = WaitWindowMode::kInstallBlocked;
  s.text = WaitWindowTextFor(s.mode, IsChineseLanguage());
  s.installFolder = installFolder;
  const UniqueWindow window = CreateWaitWindow(s);
  if (!window) return;
  ShowInFront(window.get(), s);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Return and Escape answer the message as they do a dialog's.
    if (IsDialogMessageW(window.get(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace launcher
