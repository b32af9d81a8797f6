// A stand-in for the client application, for tests, the demo and product teams trying an
// install folder without the real client. Built as Veltmora.exe. In its own folder it:
//   - writes veltmora-params.txt (its parameter string, UTF-8) and veltmora-cwd.txt (the
//     working directory it was started in), and appends one line to veltmora-starts.txt;
//   - writes veltmora-started-at.txt (when it started: seconds since 1970 UTC, to 100 ns) and
//     veltmora-parent-windows.txt (how many visible windows the program that started it had
//     at that moment: the launcher's must all be gone);
//   - serves \\.\Pipe\RODURI_Veltmora (duplex: the launcher opens it for reading too) in byte mode
//   and saves each message it receives as
//     veltmora-pipe-N.bin (N from 1), writing veltmora-ready.txt once the pipe exists, and
//     the level at which it could impersonate the writer as veltmora-pipe-N.level;
//   - does not serve the pipe while a file named standin-nopipe exists;
//   - plays a broken client while one of these files exists (read when each pipe instance
//     is made): standin-noread accepts a writer but never reads (its pipe buffer is 4096
//     bytes, so a longer message cannot be written), standin-closeatonce accepts a writer
//     and disconnects at once, unread; either records the connection as
//     veltmora-pipe-N.unread (holding the mode's name) instead of a message;
//   - writes veltmora-debug-privilege.txt: whether SeDebugPrivilege is "enabled" in its token,
//     "disabled", or "absent";
//   - while a file named standin-lowintegrity exists at its start, lowers its own token to
//     medium integrity before anything else (a server below the elevated launcher);
//     veltmora-integrity.txt holds the level it then runs at (hexadecimal, "0x3000" for high);
//   - while a file named standin-closed exists at its start, gives its own process an empty
//     access list before anything else, so that opening it takes SeDebugPrivilege (a client
//     of another user);
//   - exits when a file named standin-stop appears, writing veltmora-exited.txt;
//   - when a file named after its own executable with ".hold" behind it (Veltmora.exe.hold)
//     names a file of its folder, holds that file open until it ends, without sharing delete
//     or write: a program whose data file stays in use while it runs.
#include <windows.h>
#include <tlhelp32.h>
#include <aclapi.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/text.h"
#include "platform/win32/resources.h"

namespace {

using platform::win32::UniqueHandle;

std::wstring g_folder;

std::wstring InFolder(const wchar_t* name) { return g_folder + L"\\" + name; }

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Writes `bytes` to a temporary file and renames it into place, so a reader never sees a
// half-written record.
void WriteRecord(const std::wstring& path, const std::string& bytes) {
  const std::wstring temp = path + L".tmp";
  {
    UniqueHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void AppendLine(const std::wstring& path, const std::string& line) {
  UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  platform::WideToNarrow(text, platform::CodePage::kUtf8, out);
  return out;
}

// The bytes of a small file, or nothing when it does not open.
std::optional<std::string> ReadSmallFile(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  char buffer[520];
  DWORD got = 0;
  if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return std::nullopt;
  return std::string(buffer, got);
}

// Seconds since 1970 UTC, to the system clock's precision.
std::string UnixTimeNow() {
  FILETIME now = {};
  GetSystemTimePreciseAsFileTime(&now);
  const unsigned long long ticks =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const unsigned long long sinceUnix = ticks - 116444736000000000ULL;  // 1601 to 1970
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%07llu", sinceUnix / 10000000, sinceUnix % 10000000);
  return text;
}

DWORD ParentProcessId() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) return entry.th32ParentProcessID;
  }
  return 0;
}

struct WindowCount {
  DWORD process = 0;
  int visible = 0;
};

BOOL CALLBACK CountVisible(HWND window, LPARAM context) {
  auto* count = reinterpret_cast<WindowCount*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == count->process && IsWindowVisible(window)) ++count->visible;
  return TRUE;
}

std::string DebugPrivilegeState() {
  UniqueHandle token;
  LUID debug = {};
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()) ||
      !LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug)) {
    return "unknown";
  }
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) {
    return "unknown";
  }
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
    if (p.Luid.LowPart == debug.LowPart && p.Luid.HighPart == debug.HighPart) {
      return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0 ? "enabled" : "disabled";
    }
  }
  return "absent";
}

std::string IntegrityLevel() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return "unknown";
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenIntegrityLevel, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 ||
      !GetTokenInformation(token.get(), TokenIntegrityLevel, buffer.data(), size, &size)) {
    return "unknown";
  }
  const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid;
  char text[16];
  std::snprintf(text, sizeof text, "0x%04lX",
                *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1U));
  return text;
}

void LowerToMediumIntegrity() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT | TOKEN_QUERY, token.receive())) {
    return;
  }
  BYTE medium[SECURITY_MAX_SID_SIZE] = {};
  DWORD sidSize = sizeof medium;
  if (!CreateWellKnownSid(WinMediumLabelSid, nullptr, medium, &sidSize)) return;
  TOKEN_MANDATORY_LABEL mandatory = {};
  mandatory.Label.Sid = medium;
  mandatory.Label.Attributes = SE_GROUP_INTEGRITY;
  SetTokenInformation(token.get(), TokenIntegrityLevel, &mandatory,
                      static_cast<DWORD>(sizeof mandatory + sidSize));
}

void CloseOwnProcess() {
  ACL empty = {};
  if (InitializeAcl(&empty, sizeof empty, ACL_REVISION)) {
    SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, &empty, nullptr);
  }
}

bool StopRequested() { return Exists(InFolder(L"standin-stop")); }

// Waits for `event` while polling for the stop file. False when asked to stop.
bool WaitOrStop(HANDLE event) {
  for (;;) {
    if (WaitForSingleObject(event, 50) == WAIT_OBJECT_0) return true;
    if (StopRequested()) return false;
  }
}

// Reads one connection's message until the writer closes its end.
std::string ReadMessage(HANDLE pipe, HANDLE event) {
  std::string message;
  char buffer[4096];
  for (;;) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &got, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      if (!GetOverlappedResult(pipe, &overlapped, &got, TRUE)) break;
    }
    if (got == 0) break;
    message.append(buffer, got);
  }
  return message;
}

// What a pipe server may do with the writer's identity: "identification" means it can see
// who wrote but cannot act as the writer.
std::string ImpersonationLevel(HANDLE pipe) {
  if (!ImpersonateNamedPipeClient(pipe)) return "none";
  std::string level = "unknown";
  {
    UniqueHandle token;
    SECURITY_IMPERSONATION_LEVEL value = SecurityAnonymous;
    DWORD size = 0;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.receive()) &&
        GetTokenInformation(token.get(), TokenImpersonationLevel, &value, sizeof value, &size)) {
      const char* const names[] = {"anonymous", "identification", "impersonation", "delegation"};
      level = value >= SecurityAnonymous && value <= SecurityDelegation ? names[value] : "unknown";
    }
  }
  RevertToSelf();
  return level;
}

// Holds a writer's connection without reading until the writer closes its end.
void WaitUnreadUntilClosed(HANDLE pipe) {
  while (!StopRequested()) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return;
    Sleep(50);
  }
}

void ServePipe() {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  int received = 0;
  bool announced = false;
  while (!StopRequested()) {
    if (Exists(InFolder(L"standin-nopipe"))) {
      Sleep(50);
      continue;
    }
    const bool noRead = Exists(InFolder(L"standin-noread"));
    const bool closeAtOnce = Exists(InFolder(L"standin-closeatonce"));
    // Without a buffer every write waits for the server to read, so a writer always meets
    // the closed end, however the two processes are scheduled.
    const DWORD inBuffer = closeAtOnce ? 0 : noRead ? 4096 : 64 * 1024;
    UniqueHandle pipe(CreateNamedPipeW(L"\\\\.\\Pipe\\RODURI_Veltmora",
                                       PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 0, inBuffer, 0, nullptr));
    if (!pipe) {
      Sleep(50);
      continue;
    }
    if (!announced) {
      WriteRecord(InFolder(L"veltmora-ready.txt"), "ready");
      announced = true;
    }
    ResetEvent(event.get());
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    if (!ConnectNamedPipe(pipe.get(), &overlapped)) {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        if (!WaitOrStop(event.get())) {
          CancelIo(pipe.get());
          return;
        }
      } else if (error != ERROR_PIPE_CONNECTED) {
        continue;
      }
    }
    const std::wstring stem = L"veltmora-pipe-" + std::to_wstring(++received);
    if (closeAtOnce || noRead) {
      if (noRead) WaitUnreadUntilClosed(pipe.get());
      DisconnectNamedPipe(pipe.get());
      WriteRecord(InFolder((stem + L".unread").c_str()), closeAtOnce ? "closeatonce" : "noread");
      continue;
    }
    const std::string level = ImpersonationLevel(pipe.get());
    const std::string message = ReadMessage(pipe.get(), event.get());
    DisconnectNamedPipe(pipe.get());
    WriteRecord(InFolder((stem + L".level").c_str()), level);
    WriteRecord(InFolder((stem + L".bin").c_str()), message);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  // First of all: the moment of the start, and what the launcher still showed then.
  const std::string startedAt = UnixTimeNow();
  WindowCount parentWindows{ParentProcessId()};
  if (parentWindows.process != 0) {
    EnumWindows(CountVisible, reinterpret_cast<LPARAM>(&parentWindows));
  }
  wchar_t module[32768] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, 32768);
  g_folder.assign(module, length);
  g_folder.erase(g_folder.find_last_of(L"\\/"));

  // Before the first record: a test that saw the start sees the client as it will stay.
  if (Exists(InFolder(L"standin-closed"))) CloseOwnProcess();
  if (Exists(InFolder(L"standin-lowintegrity"))) LowerToMediumIntegrity();

  wchar_t cwd[32768] = {};
  GetCurrentDirectoryW(32768, cwd);
  WriteRecord(InFolder(L"veltmora-params.txt"), Utf8(commandLine != nullptr ? commandLine : L""));
  WriteRecord(InFolder(L"veltmora-cwd.txt"), Utf8(cwd));
  AppendLine(InFolder(L"veltmora-starts.txt"), "started\n");
  WriteRecord(InFolder(L"veltmora-started-at.txt"), startedAt);
  WriteRecord(InFolder(L"veltmora-parent-windows.txt"), std::to_string(parentWindows.visible));
  WriteRecord(InFolder(L"veltmora-debug-privilege.txt"), DebugPrivilegeState());
  WriteRecord(InFolder(L"veltmora-integrity.txt"), IntegrityLevel());

  UniqueHandle held;
  const std::wstring exeName(module + g_folder.size() + 1);
  if (const std::optional<std::string> name =
          ReadSmallFile(InFolder((exeName + L".hold").c_str()))) {
    std::wstring wide;
    platform::NarrowToWide(*name, platform::CodePage::kUtf8, wide);
    held.reset(CreateFileW(InFolder(wide.c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  ServePipe();
  WriteRecord(InFolder(L"veltmora-exited.txt"), "exited");
  return 0;
}
