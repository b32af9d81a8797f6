#include "platform/win32/dll_search.h"

#include <windows.h>

namespace platform::win32 {

bool SearchDllsInSystemFolderOnly() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  // Looked up, not imported: a program importing it would not start at all where it is missing.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault =
      kernel32 == nullptr
          ? nullptr
          : reinterpret_cast<SetDefaultDllDirectoriesFunction>(
                reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
  return SetDllDirectoryW(L"") != FALSE;
}

}  // namespace platform::win32
