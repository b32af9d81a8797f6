// A small window for keyboard tests: Wine reports modifier keys to GetAsyncKeyState only
// while one of its own windows has the focus. It writes what it sees ("ctrl=1 alt=0") to
// the file named by its argument every 50 ms, and closes when that file's folder holds
// "keyholder-stop".
#include <windows.h>

#include <string>

#include "platform/win32/resources.h"

namespace {

std::wstring g_status;
std::wstring g_stop;

void WriteStatus() {
  const bool ctrl = (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0;
  const bool alt = (GetAsyncKeyState(VK_MENU) & 0x8000) != 0;
  const std::string text = std::string("ctrl=") + (ctrl ? "1" : "0") + " alt=" + (alt ? "1" : "0");
  const std::wstring temp = g_status + L".tmp";
  {
    platform::win32::UniqueHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr,
                                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  MoveFileExW(temp.c_str(), g_status.c_str(), MOVEFILE_REPLACE_EXISTING);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      WriteStatus();
      if (GetFileAttributesW(g_stop.c_str()) != INVALID_FILE_ATTRIBUTES) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  g_status = commandLine;
  g_stop = g_status.substr(0, g_status.find_last_of(L"\\/") + 1) + L"keyholder-stop";
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"LauncherKeyholder";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowW(L"LauncherKeyholder", L"launcher-keyholder", WS_OVERLAPPEDWINDOW, 10,
                              10, 300, 120, nullptr, nullptr, instance, nullptr);
  ShowWindow(window, SW_SHOW);
  SetTimer(window, 1, 50, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
