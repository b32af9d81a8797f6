// The launcher's entry point: one pass from the command text to the exit code.
#include <windows.h>
#include <shellapi.h>

#include <boost/filesystem/path.hpp>
#include <cwchar>
#include <new>
#include <optional>
#include <vector>

#include "config/desktop_shortcut.h"
#include "config/product_config.h"
#include "launcher/client_app.h"
#include "launcher/command_text.h"
#include "launcher/instance_check.h"
#include "launcher/language.h"
#include "launcher/launch_paths.h"
#include "launcher/launch_step.h"
#include "launcher/url_handoff.h"
#include "launcher/url_scheme.h"
#include "log/zm_log.h"
#include "platform/file.h"
#include "platform/win32/dll_search.h"
#include "update/pending_update.h"

namespace {

const wchar_t* NullIfEmpty(const std::wstring& text) {
  return text.empty() ? nullptr : text.c_str();
}

// Makes the launcher's own folder, from the whole module path, the working directory. It
// allocates nothing, so that a launch short of memory still never acts in an inherited one.
bool EnterInstallFolder() {
  static wchar_t path[32768];  // the longest path the system has
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  if (length == 0 || length >= 32768) return false;
  wchar_t* cut = wcsrchr(path, L'\\');
  if (cut == nullptr) return false;
  // A drive root keeps its separator.
  if (cut == path + 2 && path[1] == L':') ++cut;
  *cut = L'\0';
  return SetCurrentDirectoryW(path) != FALSE;
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

  // A check that could not finish lets the launch go on, as when no client runs.
  if (!RunStep(true, [&] { return CheckRunningInstance(command.forceRun); })) {
    if (!command.schemePosition) return 0;
    // A URL that could not be sent is lost, as when no client serves the pipe.
    return RunStep(1, [&] { return SendUrlToRunningClient(launcher::ParameterBase(command)); });
  }

  RunStep(WriteRegFun);

  // The update, the configuration and the client's start act on the install folder alone: in
  // an inherited working directory (a browser's Downloads, say) they would unpack into, read
  // from and start whatever lies there, with administrator rights.
  const bool inInstallFolder = EnterInstallFolder();
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
  if (inInstallFolder) {
    RunStep(StagePendingUpdate);
    RunStep(InstallPendingUpdate);
  }
  if (inInstallFolder && !installFolder.empty()) {
    configRead = RunStep(false, [&] {
      const std::optional<std::wstring> configPath = launcher::ConfigurationPath(installFolder);
      return configPath && ReadProductConfig(configPath->c_str(), names, configuredArgs);
    });
  }
  // The link takes the launcher's path only whole within the 260-unit path buffer.
  if (configRead && !fullModulePath.empty() && fullModulePath.size() < launcher::kPathBufferUnits) {
    RunStep([&] { RefreshDesktopShortcut(names, fullModulePath, installFolder); });
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

  if (inInstallFolder) {
    // The name's view spans a whole literal, so it is terminated; starting the client needs
    // no allocation of its own.
    ShellExecuteW(nullptr, L"open", launcher::kClientExecutable.data(), parameters.text.c_str(),
                  nullptr, SW_SHOW);
  } else if (!installFolder.empty()) {
    // No working directory of ours: the client is named whole and given its folder.
    RunStep([&] {
      std::wstring clientPath = installFolder;
      if (clientPath.back() != L'\\') clientPath += L'\\';
      clientPath += launcher::kClientExecutable;
      ShellExecuteW(nullptr, L"open", clientPath.c_str(), parameters.text.c_str(),
                    installFolder.c_str(), SW_SHOW);
    });
  }
  return 0;
}
