#include "launcher/url_scheme.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "launcher/launch_paths.h"
#include "log/zm_log.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/win32/resources.h"

void WriteRegFun() {
  const platform::WString modulePath = platform::ExecutablePath();
  if (modulePath.empty()) {
    std::printf("GetModuleFileName failed w/err 0x%08lx\n", GetLastError());
    return;
  }

  platform::win32::UniqueRegKey key;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, L"quorvane\\shell\\open\\command", 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.receive(),
                      &disposition) != ERROR_SUCCESS) {
    return;
  }
  const std::optional<platform::WString> command = launcher::SchemeOpenCommand(modulePath);
  if (!command) return;

  // Peers read the whole 520-byte buffer: the command, its terminator and zero fill.
  wchar_t data[launcher::kPathBufferUnits] = {};
  std::wmemcpy(data, command->c_str(), command->size());
  if (RegSetValueExW(key.get(), L"", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data) !=
      ERROR_SUCCESS) {
    ZM_LOG(streamlog::kLogInfo) << "set reg failure: ";
    return;
  }

  // Browsers hand a link only to a scheme whose key carries an empty "URL Protocol" value.
  platform::win32::UniqueRegKey scheme;
  static const wchar_t kEmpty[] = L"";
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"quorvane", 0, KEY_SET_VALUE, scheme.receive()) !=
          ERROR_SUCCESS ||
      RegSetValueExW(scheme.get(), L"URL Protocol", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(kEmpty), sizeof kEmpty) != ERROR_SUCCESS) {
    ZM_LOG(streamlog::kLogInfo) << "set reg failure: ";
  }
}
