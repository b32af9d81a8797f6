// Windows-side helper for the shell-driven dialog tests:
//   wintool run-exact HEX      starts the command line given as hex of its UTF-16LE units
//                              (exact quotes and blanks), waits, exits with its exit code
//   wintool dialog CAPTION     waits for a top-level window with that caption and prints
//                              "text=...", "button=ID X Y LABEL" per button (ID the control
//                              id, IDOK 1, IDCANCEL 2: labels follow the system's language),
//                              "close=X Y" (UTF-8)
//   wintool count NAME         prints how many processes have that exact executable name
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/resources.h"
#include "tests/e2e/support/launch_harness.h"

namespace {

using platform::win32::UniqueHandle;

std::string Utf8(const std::wstring& text) {
  std::string out;
  platform::WideToNarrow(text, platform::CodePage::kUtf8, out);
  return out;
}

std::wstring WindowText(HWND window) {
  wchar_t text[4096] = {};
  GetWindowTextW(window, text, 4096);
  return text;
}

int RunExact(const std::wstring& hex) {
  std::wstring commandLine;
  for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
    const unsigned lo = std::stoul(hex.substr(i, 2), nullptr, 16);
    const unsigned hi = std::stoul(hex.substr(i + 2, 2), nullptr, 16);
    commandLine += static_cast<wchar_t>(lo | (hi << 8));
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    std::fprintf(stderr, "CreateProcessW failed: %lu\n", GetLastError());
    return 125;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 126;
  GetExitCodeProcess(process.get(), &exitCode);
  return static_cast<int>(exitCode);
}

struct Found {
  std::wstring caption;
  HWND window = nullptr;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM context) {
  auto* found = reinterpret_cast<Found*>(context);
  if (IsWindowVisible(window) && WindowText(window) == found->caption) {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  wchar_t className[64] = {};
  GetClassNameW(child, className, 64);
  const std::wstring text = WindowText(child);
  if (lstrcmpiW(className, L"Button") == 0) {
    RECT rect = {};
    GetWindowRect(child, &rect);
    std::wstring name = text;
    name.erase(std::remove(name.begin(), name.end(), L'&'), name.end());
    std::printf("button=%d %ld %ld %s\n", GetDlgCtrlID(child), (rect.left + rect.right) / 2,
                (rect.top + rect.bottom) / 2, Utf8(name).c_str());
  } else if (lstrcmpiW(className, L"Static") == 0 && !text.empty()) {
    std::printf("text=%s\n", Utf8(text).c_str());
  }
  return TRUE;
}

int Dialog(const std::wstring& caption) {
  Found found{caption};
  // Up to two minutes: a loaded machine is slow, not broken.
  for (int i = 0; i < 2400 && found.window == nullptr; ++i) {
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&found));
    if (found.window == nullptr) Sleep(50);
  }
  if (found.window == nullptr) {
    std::printf("no window\n");
    return 1;
  }
  EnumChildWindows(found.window, PrintChild, 0);
  // The close button wherever this window manager draws it: ask the window itself.
  RECT rect = {};
  GetWindowRect(found.window, &rect);
  for (LONG y = rect.top; y < rect.top + 40; ++y) {
    for (LONG x = rect.right - 1; x > rect.right - 80; --x) {
      if (SendMessageW(found.window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
        std::printf("close=%ld %ld\n", x - 3, y + 3);
        return 0;
      }
    }
  }
  std::printf("close=none\n");
  return 0;
}

int Count(const std::wstring& name) {
  std::printf("%zu\n", e2e::ProcessesNamed(name).size());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"run-exact") return RunExact(argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"dialog") return Dialog(argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"count") return Count(argv[2]);
  std::fprintf(stderr, "usage: wintool run-exact HEX | dialog CAPTION | count NAME\n");
  return 2;
}
