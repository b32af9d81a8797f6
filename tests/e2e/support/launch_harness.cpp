#include "tests/e2e/support/launch_harness.h"

#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/text.h"
#include "platform/win32/resources.h"

namespace e2e {

using platform::win32::UniqueHandle;

std::wstring BinFolder() {
  wchar_t module[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
  std::wstring path(module, length);
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  platform::WideToNarrow(text, platform::CodePage::kUtf8, out);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  std::wstring out;
  platform::NarrowToWide(text, platform::CodePage::kUtf8, out);
  return out;
}

std::wstring LongPath(const std::wstring& path) {
  // Short paths stay as they are: tests compare them with what the launcher reports.
  if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\", 0) == 0) return path;
  return L"\\\\?\\" + path;
}

namespace {

void DrainPipe(HANDLE pipe, std::string& out) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) return;
    std::string chunk(available, '\0');
    DWORD got = 0;
    if (!::ReadFile(pipe, chunk.data(), available, &got, nullptr) || got == 0) return;
    out.append(chunk.data(), got);
  }
}

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  if (info.fUnicode || info.nDebugStringLength == 0) return {};
  std::string text(info.nDebugStringLength, '\0');
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(), &got))
    return {};
  text.resize(got);
  const std::size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);
  return text;
}

bool RemoveTreeAt(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  platform::win32::UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (find) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = folder + L"\\" + name;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTreeAt(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find.get(), &entry));
  }
  return RemoveDirectoryW(folder.c_str()) != 0;
}

bool RemoveTree(const std::wstring& folder) { return RemoveTreeAt(LongPath(folder)); }

std::wstring UniqueScratchRoot(const std::wstring& base) {
  static std::atomic<int> counter{0};
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring folder = base.empty() ? std::wstring(temp) : base + L"\\";
  return folder + L"launcher-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter);
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
  UniqueHandle file(CreateFileW(LongPath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  return bytes;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  UniqueHandle file(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file &&
         ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
         written == bytes.size();
}

LaunchResult RunProgram(const std::wstring& program, const std::wstring& commandText,
                        const std::wstring& workingDirectory, DWORD timeoutMs) {
  LaunchResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  UniqueHandle readEnd;
  UniqueHandle writeEnd;
  if (!CreatePipe(readEnd.receive(), writeEnd.receive(), &inherit, 1 << 20)) return result;
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!commandText.empty()) commandLine += L" " + commandText;

  PROCESS_INFORMATION info = {};
  // Wine now and then refuses a start right after a debugged process ended; a few tries
  // keep that from failing a test about something else. Each refusal is reported.
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                             DEBUG_ONLY_THIS_PROCESS, nullptr, workingDirectory.c_str(), &startup,
                             &info) != FALSE;
    if (!started) {
      std::fprintf(stderr, "RunProgram: CreateProcessW failed with error %lu\n", GetLastError());
      Sleep(200);
    }
  }
  if (!started) return result;
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  writeEnd.reset();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    DrainPipe(readEnd.get(), result.standardError);
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      TerminateProcess(process.get(), 99);
    }
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, 100)) continue;
    // Events of any other process this thread ever debugged are let through unread: taking
    // another process's exit for this one's would leave this one frozen at its next event.
    if (event.dwProcessId != info.dwProcessId) {
      if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
        UniqueHandle(event.u.CreateProcessInfo.hFile).reset();
      } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
        UniqueHandle(event.u.LoadDll.hFile).reset();
      }
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
      continue;
    }
    DWORD continueStatus = DBG_CONTINUE;
    bool exited = false;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        UniqueHandle(event.u.CreateProcessInfo.hFile).reset();
        break;
      case LOAD_DLL_DEBUG_EVENT:
        UniqueHandle(event.u.LoadDll.hFile).reset();
        break;
      case OUTPUT_DEBUG_STRING_EVENT:
        result.debugStrings.push_back(ReadDebugString(process.get(), event.u.DebugString));
        break;
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          continueStatus = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        result.exitCode = event.u.ExitProcess.dwExitCode;
        exited = true;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    if (exited) break;
  }
  WaitForSingleObject(process.get(), 5000);
  DrainPipe(readEnd.get(), result.standardError);
  return result;
}

HANDLE StartProcess(const std::wstring& program, const std::wstring& commandText,
                    const std::wstring& workingDirectory) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!commandText.empty()) commandLine += L" " + commandText;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      workingDirectory.c_str(), &startup, &info)) {
    return nullptr;
  }
  UniqueHandle thread(info.hThread);
  return info.hProcess;
}

HANDLE StartStandIn(const std::wstring& folder, const std::wstring& exeName, bool serve) {
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring program = folder + L"\\" + exeName;
  if (!CopyFileW((BinFolder() + L"\\Veltmora.exe").c_str(), program.c_str(), FALSE)) return nullptr;
  if (!serve) {
    UniqueHandle flag(CreateFileW((folder + L"\\standin-nopipe").c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  UniqueHandle process(StartProcess(program, L"", folder));
  if (!process) return nullptr;
  const std::wstring ready = folder + (serve ? L"\\veltmora-ready.txt" : L"\\veltmora-starts.txt");
  for (DWORD waited = 0; waited < kGenerousWaitMs; waited += 25) {
    if (GetFileAttributesW(ready.c_str()) != INVALID_FILE_ATTRIBUTES) return process.release();
    Sleep(25);
  }
  TerminateProcess(process.get(), 1);
  return nullptr;
}

std::vector<DWORD> ProcessesNamed(const std::wstring& exeName) {
  std::vector<DWORD> ids;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (exeName == entry.szExeFile) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

void TerminateProcessesNamed(const std::wstring& exeName) {
  for (const DWORD id : ProcessesNamed(exeName)) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process) continue;
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 5000);
  }
}

InstallFolder::InstallFolder(bool withClient, const std::wstring& subPath, const std::wstring& base)
    : root_(UniqueScratchRoot(base)), path_(root_) {
  CreateDirectoryW(root_.c_str(), nullptr);
  if (!subPath.empty()) {
    std::size_t start = 0;
    while (start <= subPath.size()) {
      const std::size_t end = subPath.find(L'\\', start);
      path_ += L"\\" + subPath.substr(start, end - start);
      CreateDirectoryW(LongPath(path_).c_str(), nullptr);
      if (end == std::wstring::npos) break;
      start = end + 1;
    }
  }
  CopyFileW((BinFolder() + L"\\launcher.exe").c_str(), LongPath(launcher()).c_str(), FALSE);
  if (withClient) {
    CopyFileW((BinFolder() + L"\\Veltmora.exe").c_str(), LongPath(Path(L"Veltmora.exe")).c_str(),
              FALSE);
  }
}

InstallFolder::~InstallFolder() {
  StopClients();
  for (int attempt = 0; attempt < 20 && !RemoveTree(root_); ++attempt) Sleep(100);
}

LaunchResult InstallFolder::Launch(const std::wstring& commandText, DWORD timeoutMs) const {
  return RunProgram(launcher(), commandText, BinFolder(), timeoutMs);
}

void InstallFolder::WriteFile(const std::wstring& relative, const std::string& bytes) const {
  WriteWholeFile(Path(relative), bytes);
}

std::optional<std::string> InstallFolder::ReadFile(const std::wstring& relative) const {
  return ReadWholeFile(Path(relative));
}

bool InstallFolder::Exists(const std::wstring& relative) const {
  return GetFileAttributesW(LongPath(Path(relative)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> InstallFolder::WaitForFile(const std::wstring& relative,
                                                      DWORD timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Exists(relative)) return ReadFile(relative);
    Sleep(25);
  }
  return std::nullopt;
}

std::wstring InstallFolder::MakeFolder(const std::wstring& relative) const {
  const std::wstring folder = Path(relative);
  CreateDirectoryW(LongPath(folder).c_str(), nullptr);
  return folder;
}

void InstallFolder::StopClients() const {
  WriteFile(L"standin-stop", "");
  for (int i = 0; i < 40 && !ProcessesNamed(L"Veltmora.exe").empty(); ++i) Sleep(25);
  // Tests also run the stand-in under near-miss names.
  for (const wchar_t* name : {L"Veltmora.exe", L"veltmora.exe", L"VELTMORA.EXE",
                              L"Veltmora.exe.old", L"MyVeltmora.exe"}) {
    TerminateProcessesNamed(name);
  }
}

}  // namespace e2e
