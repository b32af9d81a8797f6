#include "launcher/url_handoff.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>

#include "launcher/client_app.h"
#include "launcher/integrity_level.h"
#include "launcher/launch_paths.h"
#include "log/zm_log.h"
#include "platform/win32/file_identity.h"
#include "platform/win32/resources.h"

namespace {

constexpr std::size_t kMessageBufferBytes = 10240;
// How often a pipe not there yet is looked for again.
constexpr DWORD kPipePollMs = 50;

// The integrity level of `process`'s token, or nothing when it cannot be read.
std::optional<std::uint32_t> IntegrityLevelOf(HANDLE process) {
  platform::win32::UniqueHandle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, token.receive())) return std::nullopt;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenIntegrityLevel, nullptr, 0, &size);
  if (size < sizeof(TOKEN_MANDATORY_LABEL)) return std::nullopt;
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
  if (!buffer ||
      !GetTokenInformation(token.get(), TokenIntegrityLevel, buffer.get(), size, &size)) {
    return std::nullopt;
  }
  const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.get())->Label.Sid;
  if (sid == nullptr || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0) return std::nullopt;
  return *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1U);
}

// Whether the pipe's server is `clientPath` running in this session. Any program of any user
// can create the pipe first and would get the URL (a login ticket, say); one in another
// session is another user's client. The client the launcher starts runs at the launcher's
// integrity level; a program below it, of the same user and the same image (started
// suspended and written into, say), is not trusted with what the launcher trusts. Logs why not.
bool ServedByClient(HANDLE pipe, const std::wstring& clientPath) {
  ULONG serverSession = 0;
  DWORD ownSession = 0;
  ULONG serverId = 0;
  if (!GetNamedPipeServerSessionId(pipe, &serverSession) ||
      !ProcessIdToSessionId(GetCurrentProcessId(), &ownSession) ||
      !GetNamedPipeServerProcessId(pipe, &serverId)) {
    ZM_LOG(streamlog::kLogInfo) << "url not handed over: the pipe's server is unknown";
    return false;
  }
  if (serverSession != ownSession) {
    ZM_LOG(streamlog::kLogInfo) << "url not handed over: the pipe is served from session "
                                << serverSession << ", not " << ownSession;
    return false;
  }
  std::wstring image(launcher::kLongestPathUnits, L'\0');
  DWORD units = static_cast<DWORD>(image.size());
  std::optional<std::uint32_t> serverLevel;
  {
    const platform::win32::UniqueHandle server(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverId));
    if (!server || !QueryFullProcessImageNameW(server.get(), 0, image.data(), &units)) {
      ZM_LOG(streamlog::kLogInfo) << "url not handed over: the pipe's server (process " << serverId
                                  << ") is unknown";
      return false;
    }
    serverLevel = IntegrityLevelOf(server.get());
  }
  const std::optional<std::uint32_t> ownLevel = IntegrityLevelOf(GetCurrentProcess());
  if (!launcher::ServerAtOrAboveLauncher(serverLevel, ownLevel)) {
    auto level = [](const std::optional<std::uint32_t>& l) {
      wchar_t text[16] = L"unknown";
      if (l) std::swprintf(text, sizeof text / sizeof text[0], L"0x%04X", *l);
      return std::wstring(text);
    };
    ZM_LOG(streamlog::kLogInfo) << "url not handed over: the pipe's server (process " << serverId
                                << ") runs at integrity level " << level(serverLevel)
                                << ", below the launcher's " << level(ownLevel);
    return false;
  }
  image.resize(units);
  // As files, not as text: case, short names and ".." spell one file many ways.
  if (!platform::win32::SameFile(image, clientPath)) {
    ZM_LOG(streamlog::kLogInfo) << "url not handed over: the pipe is served by " << image
                                << ", not " << clientPath;
    return false;
  }
  return true;
}

// Writes all of `message` to `pipe` (opened for overlapped I/O) within the time bound.
// A write still pending when the time is up is cancelled, and counts as not written.
bool WriteWhole(HANDLE pipe, const std::string& message) {
  platform::win32::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return false;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = done.get();
  const auto size = static_cast<DWORD>(message.size());
  DWORD written = 0;
  if (!WriteFile(pipe, message.data(), size, nullptr, &overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(done.get(), kHandoffWriteTimeoutMs) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &overlapped);
    }
  }
  // Waits for the write to finish or for its cancellation to take effect: the system must
  // be done with `overlapped` before it goes out of scope.
  if (!GetOverlappedResult(pipe, &overlapped, &written, TRUE)) return false;
  return written == size;
}

}  // namespace

int SendUrlToRunningClient(const platform::WString& urlPart, const platform::WString& clientPath,
                           unsigned long pipeWaitMs) {
  // The message is the URL in the ANSI code page (unmappable characters become the default
  // character) and one zero byte. One that would not fit the buffer is refused whole, before the
  // pipe is touched: a cut URL would open the wrong thing.
  std::string message = platform::WideToNarrowLossy(urlPart, platform::CodePage::kAnsi);
  if (message.size() + 1 > kMessageBufferBytes) return 1;
  message.push_back('\0');
  const std::wstring pipeName(launcher::kClientPipeName);
  // Any process could have created the pipe first: let its server identify the elevated
  // launcher, never impersonate it.
  const ULONGLONG deadline = GetTickCount64() + pipeWaitMs;
  platform::win32::UniqueHandle pipe;
  for (;;) {
    pipe.reset(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT |
                               SECURITY_IDENTIFICATION,
                           nullptr));
    if (pipe || GetLastError() != ERROR_FILE_NOT_FOUND || GetTickCount64() >= deadline) break;
    Sleep(kPipePollMs);
  }
  if (!pipe) return 1;
  if (!ServedByClient(pipe.get(), clientPath)) return 1;
  // A message the client did not get whole is a lost URL, as much as a pipe that is missing.
  return WriteWhole(pipe.get(), message) ? 0 : 1;
}
