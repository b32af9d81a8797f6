#include "launcher/language.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "launcher/client_app.h"
#include "platform/win32/resources.h"

bool IsChineseLanguage() {
  const std::wstring keyPath = L"SOFTWARE\\" + std::wstring(launcher::kClientStem) + L"\\Language";
  platform::win32::UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.receive()) !=
      ERROR_SUCCESS) {
    return true;
  }
  // One spare byte beyond the 260 read keeps the text terminated even when the stored value
  // fills the buffer without a terminator of its own.
  char value[261] = {};
  DWORD size = 260;
  DWORD type = 0;
  if (RegQueryValueExA(key.get(), "", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    return true;
  }
  return std::strcmp(value, "en-US") != 0;
}
