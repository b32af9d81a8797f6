// The launcher's entry point: one pass from the command text to the exit code.
#include <windows.h>

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <cwchar>
#include <new>
#include <optional>
#include <vector>

#include "config/desktop_shortcut.h"
#include "config/product_config.h"
#include "launcher/client_app.h"
#include "launcher/client_start.h"
#include "launcher/command_text.h"
#include "launcher/instance_check.h"
#include "launcher/language.h"
#include "launcher/launch_lock.h"
#include "launcher/launch_paths.h"
#include "launcher/launch_step.h"
#include "launcher/url_handoff.h"
#include "launcher/url_scheme.h"
#include "launcher/wait_window.h"
#include "log/zm_log.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/win32/dll_search.h"
#include "update/pending_update.h"

namespace {

const wchar_t* NullIfEmpty(const std::wstring& text) {
  return text.empty() ? nullptr : text.c_str();
}

// The launcher's own folder and the client's full path in it, from the whole module path (a
// cut path names another folder). Static, and found without allocating: a launch short of
// memory still never acts in an inherited working directory and still starts its own client.
wchar_t g_installFolder[launcher::kLongestPathUnits];
wchar_t g_clientPath[launcher::kLongestPathUnits];
// The client's command line: written here, and by the system while it starts the client.
wchar_t g_clientCommandLine[launcher::kCommandLineLimitUnits];

bool FindInstallFolder() {
  const DWORD length =
      GetModuleFileNameW(nullptr, g_installFolder, static_cast<DWORD>(launcher::kLongestPathUnits));
  if (length == 0 || length >= launcher::kLongestPathUnits) return false;
  wchar_t* cut = wcsrchr(g_installFolder, L'\\');
  if (cut == nullptr) return false;
  // A drive root keeps its separator.
  if (cut == g_installFolder + 2 && g_installFolder[1] == L':') ++cut;
  *cut = L'\0';
  return launcher::FormatClientPath(g_installFolder, g_clientPath, launcher::kLongestPathUnits);
}

bool IsFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool KeyDown(int virtualKey) { return (GetAsyncKeyState(virtualKey) & 0x8000) != 0; }

void RefreshDesktopShortcut(const ShortcutNames& names, const std::wstring& modulePath,
                            const std::wstring& installFolder) {
  const std::optional<std::wstring> iconPath =
      launcher::IconPath(installFolder, launcher::kClientStem);
  if (!iconPath) return;
  const bool chinese = IsChineseLanguage();
  const std::wstring& currentName = chinese ? names.shortcut_cn : names.shortcut_en;
  const std::wstring& newName = chinese ? names.shortcut_new_cn : names.shortcut_new_en;
  const std::wstring description(launcher::kClientStem);
  UpdateDesktopShortcut(NullIfEmpty(currentName), NullIfEmpty(newName), modulePath.c_str(),
                        description.c_str(), iconPath->c_str(), installFolder.c_str());
}

// Waits for the launch lock of the install folder. A wait that lasts shows the waiting window:
// another launch is installing, most likely, and the user sees why nothing starts yet.
// `waited` is set when another launch held the lock a while.
std::optional<launcher::LaunchLock> AcquireLaunchLock(bool& waited) {
  using launcher::LaunchLock;
  std::optional<LaunchLock> lock =
      LaunchLock::Acquire(g_installFolder, launcher::kWaitWindowDelayMs);
  if (lock->state() != LaunchLock::State::kTimedOut) return lock;
  waited = true;
  lock.reset();
  std::optional<launcher::WaitWindow> window;
  launcher::RunStep([&] {
    window.emplace(launcher::WaitWindowMode::kWaitingForLaunch, g_installFolder);
    window->Start(0);
  });
  lock.emplace(LaunchLock::Acquire(g_installFolder,
                                   launcher::kLaunchLockWaitMs - launcher::kWaitWindowDelayMs));
  return lock;
}

// False when another launch held the lock all the time: this one starts nothing.
bool LaunchMayGoOn(const std::optional<launcher::LaunchLock>& lock) {
  if (lock && lock->state() == launcher::LaunchLock::State::kTimedOut) {
    try {
      ZM_LOG(streamlog::kLogInfo) << "launch not started: another launch in this folder held "
                                     "it for "
                                  << launcher::kLaunchLockWaitMs / 1000 << " s";
    } catch (const std::bad_alloc&) {
    }
    return false;
  }
  if (lock && lock->state() == launcher::LaunchLock::State::kUnguarded) {
    try {
      ZM_LOG(streamlog::kLogInfo) << "launch lock not held: going on alone";
    } catch (const std::bad_alloc&) {
    }
  }
  return true;
}

}  // namespace

// Each step runs through launcher::RunStep: running out of memory is that step's own silent
// failure, like any other, and the client is still started.
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR commandLine,
                    int /*show*/) {
  // Before anything loads a library (the shell, COM, the dialog): an elevated program that
  // looked in its own or the working directory would run whatever DLL was planted there.
  platform::win32::SearchDllsInSystemFolderOnly();
  using launcher::RunStep;
  // Without its text the launch goes on as one started with none.
  const launcher::CommandText command = RunStep(launcher::CommandText{}, [&] {
    return launcher::ParseCommandText(commandLine != nullptr ? commandLine : L"");
  });

  const bool installFolderFound = FindInstallFolder();

  // From before the running-client check to the client's start, one launch at a time acts in
  // this folder: a second one waits here until the first has started its client.
  std::optional<launcher::LaunchLock> lock;
  bool waitedForAnother = false;
  if (installFolderFound) RunStep([&] { lock = AcquireLaunchLock(waitedForAnother); });
  if (!LaunchMayGoOn(lock)) return 0;

  // A check that could not finish lets the launch go on, as when no client runs.
  const ClientCheck client = RunStep(ClientCheck::kNone, FindRunningClient);
  bool endClients = client != ClientCheck::kNone;
  if (client == ClientCheck::kRunning && !command.forceRun) {
    // Not held while the question is open: it may stay open for as long as the user likes,
    // and every other launch in this folder would wait for the answer.
    lock.reset();
    bool asked = false;
    const bool restart = RunStep(true, [&] {
      const bool answer = AskToRestart();
      asked = true;
      return answer;
    });
    if (!restart) {
      if (!command.schemePosition) return 0;
      // A URL that could not be sent is lost, as when no client serves the pipe; without its
      // own folder the launcher knows no client to send it to. The client of a launch this one
      // waited for was started a moment ago, and may not serve its pipe yet.
      return RunStep(1, [&] {
        return SendUrlToRunningClient(launcher::ParameterBase(command),
                                      installFolderFound ? g_clientPath : L"",
                                      waitedForAnother ? kHandoffPipeWaitMs : 0);
      });
    }
    // A question that could not be asked lets the launch go on, ending nothing.
    endClients = asked;
    if (installFolderFound) RunStep([&] { lock = AcquireLaunchLock(waitedForAnother); });
    if (!LaunchMayGoOn(lock)) return 0;
  }
  if (endClients) RunStep(EndRunningClients);

  RunStep(WriteRegFun);

  // The update, the configuration and the client's start act on the install folder alone: in
  // an inherited working directory (a browser's Downloads, say) they would unpack into, read
  // from and start whatever lies there, with administrator rights.
  const bool inInstallFolder = installFolderFound && SetCurrentDirectoryW(g_installFolder) != FALSE;
  // The install folder comes from the whole module path, never a cut one: a cut path names
  // another folder.
  const std::wstring fullModulePath = RunStep(std::wstring(), platform::ExecutablePath);
  const std::wstring installFolder = RunStep(std::wstring(), [&] {
    return fullModulePath.empty() ? std::wstring()
                                  : boost::filesystem::path(fullModulePath).parent_path().wstring();
  });

  // Not in a step's lambda: the log records carry the name of the function that makes them.
  try {
    ZM_LOG(streamlog::kLogInfo) << "class path: " << launcher::kClientExecutable;
    ZM_LOG(streamlog::kLogInfo) << "par: " << launcher::ParameterBase(command);
  } catch (const std::bad_alloc&) {
  }

  ShortcutNames names;
  std::vector<std::wstring> configuredArgs;
  bool configRead = false;
  bool clientMayStart = true;
  if (inInstallFolder) {
    RunStep(StagePendingUpdate);
    // Made only once a package is there, shown only once its install has taken a while, and
    // gone before anything else happens.
    std::optional<launcher::WaitWindow> progress;
    clientMayStart = RunStep(true, [&] {
      return InstallPendingUpdate([&](std::uint64_t done, std::uint64_t total) {
        if (!progress) {
          RunStep([&] {
            progress.emplace(launcher::WaitWindowMode::kInstalling, g_installFolder);
            progress->Start();
          });
        }
        if (progress) progress->SetProgress(done, total);
      });
    });
    progress.reset();
  }
  if (!clientMayStart) {
    try {
      ZM_LOG(streamlog::kLogInfo)
          << "client not started: the install folder holds neither version whole";
    } catch (const std::bad_alloc&) {
    }
    // The message waits for a person: no other launch waits for it.
    lock.reset();
    RunStep([&] { launcher::ShowInstallBlockedMessage(g_installFolder); });
    return 0;
  }
  if (inInstallFolder && !installFolder.empty()) {
    configRead = RunStep(false, [&] {
      const std::optional<std::wstring> configPath = launcher::ConfigurationPath(installFolder);
      return configPath && ReadProductConfig(configPath->c_str(), names, configuredArgs);
    });
  }
  const bool adminKeysDown = KeyDown(VK_CONTROL) && KeyDown(VK_MENU);
  const launcher::ParameterString parameters = RunStep(launcher::ParameterString{}, [&] {
    return launcher::BuildParameterString(command, adminKeysDown,
                                          configRead ? configuredArgs : std::vector<std::wstring>{},
                                          launcher::ParameterBudget(installFolder));
  });
  if (parameters.partsLeftOut > 0) {
    try {
      ZM_LOG(streamlog::kLogInfo) << "par too long: " << parameters.wantedUnits << " units, "
                                  << parameters.partsLeftOut << " parts left out";
    } catch (const std::bad_alloc&) {
    }
  }

  // Named whole and given its folder: a bare name is searched for (App Paths, the system
  // folders, PATH) when the install folder lacks it, and whatever the search found would
  // start with administrator rights.
  if (installFolderFound && IsFile(g_clientPath)) {
    // The budget kept the parameters within the limit; a client started without its
    // parameters is better than none.
    if (!launcher::FormatClientCommandLine(g_clientPath, parameters.text, g_clientCommandLine,
                                           launcher::kCommandLineLimitUnits)) {
      launcher::FormatClientCommandLine(g_clientPath, L"", g_clientCommandLine,
                                        launcher::kCommandLineLimitUnits);
    }
    if (!launcher::StartClient(g_clientPath, g_clientCommandLine, g_installFolder)) {
      const DWORD error = GetLastError();
      try {
        ZM_LOG(streamlog::kLogInfo) << "client not started: error " << error;
      } catch (const std::bad_alloc&) {
      }
    }
  } else if (installFolderFound) {
    try {
      ZM_LOG(streamlog::kLogInfo) << "client not found: " << g_clientPath;
    } catch (const std::bad_alloc&) {
    }
  }

  // Once the client is on its way: the user waits for the client, not for the link (COM's
  // apartment alone costs a launch more than everything before the start). The link takes the
  // launcher's path only whole within the 260-unit path buffer.
  if (configRead && !fullModulePath.empty() && fullModulePath.size() < launcher::kPathBufferUnits) {
    RunStep([&] { RefreshDesktopShortcut(names, fullModulePath, installFolder); });
  }
  return 0;
}
