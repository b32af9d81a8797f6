// The launcher's entry point: one pass from the command text to the exit code.
#include <windows.h>
#include <shellapi.h>

#include <boost/filesystem/path.hpp>
#include <optional>
#include <vector>

#include "config/desktop_shortcut.h"
#include "config/product_config.h"
#include "launcher/client_app.h"
#include "launcher/command_text.h"
#include "launcher/instance_check.h"
#include "launcher/language.h"
#include "launcher/launch_paths.h"
#include "launcher/url_handoff.h"
#include "launcher/url_scheme.h"
#include "log/zm_log.h"
#include "platform/file.h"
#include "update/pending_update.h"

namespace {

// The launcher's own path, or empty when the query failed or the path does not fit the
// 260-unit path buffer (no cut path: it would name another folder).
std::wstring ModulePath() {
  std::wstring path = platform::ExecutablePath();
  if (path.size() >= launcher::kPathBufferUnits) path.clear();
  return path;
}

const wchar_t* NullIfEmpty(const std::wstring& text) {
  return text.empty() ? nullptr : text.c_str();
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

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR commandLine,
                    int /*show*/) {
  const launcher::CommandText command =
      launcher::ParseCommandText(commandLine != nullptr ? commandLine : L"");

  if (!CheckRunningInstance(command.forceRun)) {
    if (!command.schemePosition) return 0;
    return SendUrlToRunningClient(launcher::ParameterBase(command));
  }

  WriteRegFun();

  // The install folder comes from the whole module path, never a cut one: a cut path names
  // another folder.
  const std::wstring fullModulePath = platform::ExecutablePath();
  const std::wstring installFolder =
      fullModulePath.empty() ? std::wstring()
                             : boost::filesystem::path(fullModulePath).parent_path().wstring();
  // The update, the configuration and the client's start act on the install folder alone: in
  // an inherited working directory (a browser's Downloads, say) they would unpack into, read
  // from and start whatever lies there, with administrator rights.
  const bool inInstallFolder =
      !installFolder.empty() && SetCurrentDirectoryW(installFolder.c_str()) != FALSE;

  const std::wstring urlOrText = launcher::ParameterBase(command);
  ZM_LOG(streamlog::kLogInfo) << "class path: " << launcher::kClientExecutable;
  ZM_LOG(streamlog::kLogInfo) << "par: " << urlOrText;

  ShortcutNames names;
  std::vector<std::wstring> configuredArgs;
  bool configRead = false;
  if (inInstallFolder) {
    StagePendingUpdate();
    InstallPendingUpdate();
    if (const std::optional<std::wstring> configPath = launcher::ConfigurationPath(installFolder)) {
      configRead = ReadProductConfig(configPath->c_str(), names, configuredArgs);
    }
  }
  const std::wstring modulePath = ModulePath();
  if (configRead && !modulePath.empty()) RefreshDesktopShortcut(names, modulePath, installFolder);

  const bool adminKeysDown = KeyDown(VK_CONTROL) && KeyDown(VK_MENU);
  const launcher::ParameterString parameters = launcher::BuildParameterString(
      command, adminKeysDown, configRead ? configuredArgs : std::vector<std::wstring>{},
      launcher::ParameterBudget(installFolder));
  if (parameters.partsLeftOut > 0) {
    ZM_LOG(streamlog::kLogInfo) << "par too long: " << parameters.wantedUnits << " units, "
                                << parameters.partsLeftOut << " parts left out";
  }

  const std::wstring client(launcher::kClientExecutable);
  if (inInstallFolder) {
    ShellExecuteW(nullptr, L"open", client.c_str(), parameters.text.c_str(), nullptr, SW_SHOW);
  } else if (!installFolder.empty()) {
    // No working directory of ours: the client is named whole and given its folder.
    std::wstring clientPath = installFolder;
    if (clientPath.back() != L'\\') clientPath += L'\\';
    clientPath += client;
    ShellExecuteW(nullptr, L"open", clientPath.c_str(), parameters.text.c_str(),
                  installFolder.c_str(), SW_SHOW);
  }
  return 0;
}
