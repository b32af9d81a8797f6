#include "launcher/client_start.h"

#include "platform/win32/resources.h"

namespace launcher {

bool StartClient(const wchar_t* clientPath, wchar_t* commandLine, const wchar_t* workingFolder) {
  // The shell would look the file's type up in the classes an unelevated program can write
  // for its user, and run whatever they name with the launcher's rights: the process is made
  // directly, from the file named.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  // The client's first window shows as a program started from its link would show it.
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(clientPath, commandLine, nullptr, nullptr, /*bInheritHandles=*/FALSE, 0,
                      nullptr, workingFolder, &startup, &started)) {
    return false;
  }
  const platform::win32::UniqueHandle process(started.hProcess);
  const platform::win32::UniqueHandle thread(started.hThread);
  return true;
}

}  // namespace launcher
