#include "config/desktop_shortcut.h"

#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>
#include <optional>
#include <string>

#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/win32/resources.h"

namespace {

using platform::win32::ComPtr;
using platform::win32::ScopedCoInitialize;
using platform::win32::UniqueHandle;
using platform::win32::UniqueItemIdList;

// Every path this code handles lives in a buffer of this many units, terminator included.
constexpr std::size_t kPathUnits = MAX_PATH;

bool EqualIgnoringCase(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// A configured name must stay one file on the desktop: a separator or drive colon would
// let it read, overwrite or delete a link elsewhere.
bool IsUsableName(const wchar_t* name) {
  if (name == nullptr || *name == 0) return false;
  for (const wchar_t* c = name; *c != 0; ++c) {
    if (*c < 0x20 || std::wcschr(L"\\/:*?\"<>|", *c) != nullptr) return false;
  }
  return true;
}

// folder\name.lnk, or nothing when the name is unusable or the path would not fit the path
// buffer: a cut path would name a different file.
std::optional<std::wstring> LinkPath(const wchar_t* folder, const wchar_t* name) {
  if (!IsUsableName(name)) return std::nullopt;
  std::wstring path = std::wstring(folder) + L'\\' + name + L".lnk";
  if (path.size() >= kPathUnits) return std::nullopt;
  return path;
}

// The text after the last backslash, or the whole path when it has none.
const wchar_t* LastComponent(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash != nullptr ? slash + 1 : path;
}

// True when both paths open the same file: names that differ can still meet in one file (a
// short 8.3 alias, case folding beyond ASCII), and deleting the "old" one would then delete
// the link just saved.
bool SameFile(const wchar_t* a, const wchar_t* b) {
  const auto identity = [](const wchar_t* path, BY_HANDLE_FILE_INFORMATION& info) {
    const UniqueHandle file(
        CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file && GetFileInformationByHandle(file.get(), &info);
  };
  BY_HANDLE_FILE_INFORMATION infoA = {};
  BY_HANDLE_FILE_INFORMATION infoB = {};
  // When either cannot be identified, assume the worst and keep the old link.
  if (!identity(a, infoA) || !identity(b, infoB)) return true;
  return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
         infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// `text` equals what the getter filled into `buffer` of `units` units; the getter's result
// must have been success. A text too long for the buffer never equals its cut copy.
bool SameText(HRESULT got, wchar_t* buffer, std::size_t units, const wchar_t* text) {
  if (FAILED(got)) return false;
  buffer[units - 1] = 0;
  return std::wcscmp(buffer, text) == 0;
}

// True when the loaded link already holds every value the refresh would set: saving it
// again would rewrite the same link, and the desktop would hear of a change that is none.
// `icon` is null when the link keeps the icon it has.
bool HoldsEverything(IShellLinkW& link, IPersistFile& file, const wchar_t* target,
                     const wchar_t* icon, const wchar_t* workingDirectory,
                     const wchar_t* description) {
  // Resolving may have repaired the link in memory; that repair must reach the file.
  if (file.IsDirty() == S_OK) return false;
  wchar_t path[kPathUnits] = {};
  if (target != nullptr &&
      !SameText(link.GetPath(path, static_cast<int>(kPathUnits), nullptr, SLGP_RAWPATH), path,
                kPathUnits, target)) {
    return false;
  }
  int index = 0;
  if (icon != nullptr &&
      (!SameText(link.GetIconLocation(path, static_cast<int>(kPathUnits), &index), path, kPathUnits,
                 icon) ||
       index != 0)) {
    return false;
  }
  if (workingDirectory != nullptr &&
      !SameText(link.GetWorkingDirectory(path, static_cast<int>(kPathUnits)), path, kPathUnits,
                workingDirectory)) {
    return false;
  }
  wchar_t text[INFOTIPSIZE] = {};
  return description == nullptr ||
         SameText(link.GetDescription(text, INFOTIPSIZE), text, INFOTIPSIZE, description);
}

bool CommonDesktopPath(wchar_t (&out)[kPathUnits]) {
  UniqueItemIdList folder;
  if (SHGetFolderLocation(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, folder.receive()) !=
      S_OK) {
    return false;
  }
  // A desktop without a file-system path has nowhere to look for links.
  return SHGetPathFromIDListW(folder.get(), out) && out[0] != 0;
}

}  // namespace

int UpdateDesktopShortcut(const platform::WChar* currentName, const platform::WChar* newName,
                          const platform::WChar* target, const platform::WChar* description,
                          const platform::WChar* iconPath,
                          const platform::WChar* workingDirectory) {
  if (currentName == nullptr) return kShortcutNoCurrentName;

  wchar_t desktop[kPathUnits] = {};
  if (!CommonDesktopPath(desktop)) return kShortcutNoDesktop;

  const std::optional<std::wstring> oldPath = LinkPath(desktop, currentName);
  const bool oldExists = oldPath && platform::Exists(*oldPath);
  // A new name that cannot form a link path counts as no new name: the link is then
  // refreshed where it is instead of being written under a cut or foreign path.
  const std::optional<std::wstring> newPath =
      newName != nullptr ? LinkPath(desktop, newName) : std::nullopt;
  const bool newExists = newPath && platform::Exists(*newPath);
  if (!oldExists && !newExists) return kShortcutNoLink;

  // Declared before the interfaces so that they are released before COM is uninitialised.
  const ScopedCoInitialize com;
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.receiveVoid())) ||
      FAILED(link.As(file))) {
    return kShortcutNotRead;
  }

  // A file that does not load as a link is left alone: saving over it would replace it with
  // a link made from nothing.
  wchar_t oldTarget[kPathUnits] = {};
  if (oldExists) {
    if (FAILED(file->Load(oldPath->c_str(), STGM_READWRITE)) ||
        FAILED(link->GetPath(oldTarget, static_cast<int>(kPathUnits), nullptr, SLGP_SHORTPATH))) {
      return kShortcutNotRead;
    }
  } else if (FAILED(file->Load(newPath->c_str(), STGM_READWRITE))) {
    return kShortcutNotRead;
  }
  oldTarget[kPathUnits - 1] = 0;

  // Without SLR_NO_UI the shell may search for a missing target behind a dialog; the launcher
  // shows no window besides its restart question.
  link->Resolve(nullptr, SLR_UPDATE | SLR_NO_UI);

  const bool renaming = newPath.has_value();
  const std::wstring& savePath = renaming ? *newPath : *oldPath;
  const std::wstring& loadedPath = oldExists ? *oldPath : *newPath;
  const bool newIcon = iconPath != nullptr && platform::Exists(iconPath);
  // A link that already is what this call would make it stays as it is: no write on the
  // all-users desktop at every start. Saving to the file it came from is no rename, so
  // nothing is left to remove either.
  if (EqualIgnoringCase(savePath.c_str(), loadedPath.c_str()) &&
      HoldsEverything(*link.get(), *file.get(), target, newIcon ? iconPath : nullptr,
                      workingDirectory, description)) {
    return kShortcutSaveAttempted;
  }

  if (target != nullptr) link->SetPath(target);
  if (newIcon) {
    link->SetIconLocation(iconPath, 0);
  } else {
    wchar_t icon[kPathUnits] = {};
    int index = 0;
    if (SUCCEEDED(link->GetIconLocation(icon, static_cast<int>(kPathUnits), &index))) {
      icon[kPathUnits - 1] = 0;
      link->SetIconLocation(icon, index);
    }
  }
  if (workingDirectory != nullptr) link->SetWorkingDirectory(workingDirectory);
  if (description != nullptr) link->SetDescription(description);

  if (FAILED(file->Save(savePath.c_str(), TRUE))) return kShortcutSaveAttempted;

  // The link was copied to its new name; drop the old one only when it was ours, and never
  // when both names are the same file.
  if (oldExists && renaming && !EqualIgnoringCase(currentName, newName) && oldTarget[0] != 0 &&
      target != nullptr && EqualIgnoringCase(LastComponent(oldTarget), LastComponent(target)) &&
      !SameFile(oldPath->c_str(), newPath->c_str())) {
    DeleteFileW(oldPath->c_str());
    PostMessageW(GetDesktopWindow(), WM_KEYDOWN, VK_F5, 0);
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, nullptr, nullptr);
  }
  return kShortcutSaveAttempted;
}
