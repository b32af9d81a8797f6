// Runs the real launcher.exe under Wine the way the shell does, in a scratch install folder
// holding copies of the launcher and the stand-in client, and collects what a user (or a
// debugger) would see: exit code, standard error, debug-output strings, the client's records.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace e2e {

// The folder of the running test program: the build's bin folder.
std::wstring BinFolder();

std::string ToUtf8(const std::wstring& text);
// `path` in the form the W functions accept at any length ("\\?\" in front of a long one).
std::wstring LongPath(const std::wstring& path);
std::wstring FromUtf8(const std::string& text);

// Whole-file reads and writes through the W functions. ReadWholeFile gives nothing when the
// file does not open; WriteWholeFile creates or replaces.
std::optional<std::string> ReadWholeFile(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

struct LaunchResult {
  DWORD exitCode = STILL_ACTIVE;
  bool timedOut = false;
  std::string standardError;
  // Each OutputDebugStringA call, in order.
  std::vector<std::string> debugStrings;
};

// How long the harness waits for what it polls for: generous, since a loaded machine is slow,
// not broken. A test that passes waits only as long as the thing takes.
inline constexpr DWORD kGenerousWaitMs = 120000;

// Starts `program` with exactly `commandText` behind its quoted path, in `workingDirectory`,
// as a debuggee, and waits for it to end.
LaunchResult RunProgram(const std::wstring& program, const std::wstring& commandText,
                        const std::wstring& workingDirectory, DWORD timeoutMs = kGenerousWaitMs);

// Starts `program` with `commandText` behind its quoted path and returns its process handle
// (invalid when it did not start). The caller decides whether to wait.
HANDLE StartProcess(const std::wstring& program, const std::wstring& commandText,
                    const std::wstring& workingDirectory);

// Copies the stand-in client to `folder\exeName` and starts it there; returns the process
// handle once it has recorded its start (invalid on failure). `serve` false keeps it off the pipe.
HANDLE StartStandIn(const std::wstring& folder, const std::wstring& exeName, bool serve = true);

// Every process whose executable name equals `exeName` exactly.
std::vector<DWORD> ProcessesNamed(const std::wstring& exeName);
void TerminateProcessesNamed(const std::wstring& exeName);

// A scratch install folder that holds launcher.exe and, unless told otherwise, Veltmora.exe
// (the stand-in client). Stops the clients started from it and removes it when destroyed.
class InstallFolder {
 public:
  // The folder is made under `base` when given (a small disk, say), else under the
  // temporary folder.
  explicit InstallFolder(bool withClient = true, const std::wstring& subPath = L"",
                         const std::wstring& base = L"");
  ~InstallFolder();
  InstallFolder(const InstallFolder&) = delete;
  InstallFolder& operator=(const InstallFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring Path(const std::wstring& relative) const { return path_ + L"\\" + relative; }
  std::wstring launcher() const { return Path(L"launcher.exe"); }

  // Runs the launcher from another working directory, so the test sees whether the
  // launcher itself moves to the install folder.
  LaunchResult Launch(const std::wstring& commandText, DWORD timeoutMs = kGenerousWaitMs) const;

  void WriteFile(const std::wstring& relative, const std::string& bytes) const;
  std::optional<std::string> ReadFile(const std::wstring& relative) const;
  bool Exists(const std::wstring& relative) const;
  // Polls until the file exists (written whole by the stand-in) or the time runs out.
  std::optional<std::string> WaitForFile(const std::wstring& relative,
                                         DWORD timeoutMs = kGenerousWaitMs) const;

  // Makes a sub-folder and returns its full path.
  std::wstring MakeFolder(const std::wstring& relative) const;

  // Asks the stand-in clients of this folder to stop, then ends any still running.
  void StopClients() const;

 private:
  std::wstring root_;
  std::wstring path_;
};

}  // namespace e2e
