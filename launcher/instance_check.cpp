#include "launcher/instance_check.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <vector>

#include "launcher/client_app.h"
#include "launcher/language.h"
#include "platform/win32/resources.h"

namespace {

using platform::win32::UniqueHandle;

// The snapshot's name field is a 260-unit array; never read past it, terminated or not.
std::wstring_view ExeNameOf(const PROCESSENTRY32W& entry) {
  const std::size_t capacity = sizeof entry.szExeFile / sizeof entry.szExeFile[0];
  return std::wstring_view(entry.szExeFile, wcsnlen(entry.szExeFile, capacity));
}

// Walks a fresh process snapshot; `visit` returns false to stop. False when no snapshot.
template <typename Visit>
bool ForEachProcess(Visit visit) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (!visit(entry)) break;
  }
  return true;
}

// Terminates the gathered processes and keeps their handles among the terminated ones.
void TerminateAll(std::vector<UniqueHandle>& handles, std::vector<UniqueHandle>& terminated) {
  for (UniqueHandle& process : handles) {
    TerminateProcess(process.get(), 0);
    terminated.push_back(std::move(process));
  }
  handles.clear();
}

// How long the launch waits in all for terminated clients to end: long enough for a loaded
// machine to tear a process down, short enough not to be noticed when one never ends.
constexpr DWORD kClientEndWaitMs = 5000;

}  // namespace

bool AskToRestart() {
  const bool chinese = IsChineseLanguage();
  const wchar_t* text =
      chinese ? L"\u68c0\u6d4b\u5230\u7a0b\u5e8f\u6b63\u5728\u8fd0\u884c\uff0c\u662f\u5426\u91cd"
                L"\u65b0\u6253\u5f00!"
              : L"Another program is already in progress, start new one?";
  const wchar_t* caption = chinese ? L"\u63d0\u793a" : L"Prompt";
  return MessageBoxW(nullptr, text, caption, MB_OKCANCEL) == IDOK;
}

ScopedDebugPrivilege::ScopedDebugPrivilege() {
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                        token_.receive())) {
    return;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    token_.reset();
    return;
  }
  DWORD previousSize = 0;
  // Succeeds without assigning anything to a token that lacks the privilege.
  if (!AdjustTokenPrivileges(token_.get(), FALSE, &privileges, sizeof previous_, &previous_,
                             &previousSize) ||
      GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
    previous_.PrivilegeCount = 0;
    token_.reset();
    return;
  }
  enabled_ = true;
}

ScopedDebugPrivilege::~ScopedDebugPrivilege() {
  // An empty previous state: the privilege was enabled before, and stays so.
  if (token_ && previous_.PrivilegeCount != 0) {
    AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
  }
}

std::vector<UniqueHandle> KillProcessesByName(std::wstring name, std::size_t batchSize) {
  if (batchSize == 0) batchSize = 1;
  std::vector<UniqueHandle> handles;
  std::vector<UniqueHandle> terminated;
  handles.reserve(batchSize);
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    if (ExeNameOf(entry) != name) return true;
    UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
    if (!process) {
      // Only for this open: the client started after the kill must not inherit it enabled.
      const ScopedDebugPrivilege debug;
      process.reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
    }
    if (process) handles.push_back(std::move(process));
    // A full table is emptied rather than left to pass over the remaining clients.
    if (handles.size() == batchSize) TerminateAll(handles, terminated);
    return true;
  });
  TerminateAll(handles, terminated);
  return terminated;
}

bool WaitForProcessesToEnd(const std::vector<UniqueHandle>& processes, unsigned long timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (const UniqueHandle& process : processes) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) return false;
  }
  return true;
}

ClientCheck FindRunningClient() {
  const std::wstring client(launcher::kClientExecutable);
  bool clientRuns = false;
  const bool walked = ForEachProcess([&](const PROCESSENTRY32W& entry) {
    clientRuns = ExeNameOf(entry) == client;
    return !clientRuns;
  });
  if (!walked) return ClientCheck::kUnknown;
  return clientRuns ? ClientCheck::kRunning : ClientCheck::kNone;
}

void EndRunningClients() {
  // The update replaces the client's files next: a client still going down holds them.
  WaitForProcessesToEnd(KillProcessesByName(std::wstring(launcher::kClientExecutable)),
                        kClientEndWaitMs);
}

bool CheckRunningInstance(bool forceRun) {
  const ClientCheck check = FindRunningClient();
  if (check == ClientCheck::kNone) return true;
  if (check == ClientCheck::kRunning && !forceRun && !AskToRestart()) return false;
  EndRunningClients();
  return true;
}
