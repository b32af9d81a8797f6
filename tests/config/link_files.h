// Real .lnk files for the tests: written and read back through the system's shell link
// object (Wine's), never parsed by hand. Callers hold COM initialised.
#pragma once

#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>

#include <optional>
#include <string>

#include "platform/file.h"
#include "platform/win32/resources.h"

namespace linktest {

struct LinkInfo {
  std::wstring target;
  std::wstring arguments;
  std::wstring workingDirectory;
  std::wstring description;
  std::wstring icon;
  int iconIndex = 0;
};

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whole-file reads and writes through the W functions, so "\\?\" paths work too.
inline std::string Bytes(const std::wstring& path) {
  platform::win32::UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (file && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  return bytes;
}

inline void Touch(const std::wstring& path, const std::string& bytes = "x") {
  platform::win32::UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file)
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

inline bool NewLink(platform::win32::ComPtr<IShellLinkW>& link,
                    platform::win32::ComPtr<IPersistFile>& file) {
  return SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    link.receiveVoid())) &&
         SUCCEEDED(link.As(file));
}

inline bool WriteLink(const std::wstring& path, const LinkInfo& info) {
  platform::win32::ComPtr<IShellLinkW> link;
  platform::win32::ComPtr<IPersistFile> file;
  if (!NewLink(link, file)) return false;
  link->SetPath(info.target.c_str());
  link->SetArguments(info.arguments.c_str());
  link->SetWorkingDirectory(info.workingDirectory.c_str());
  link->SetDescription(info.description.c_str());
  link->SetIconLocation(info.icon.c_str(), info.iconIndex);
  return SUCCEEDED(file->Save(path.c_str(), TRUE)) && Exists(path);
}

inline std::optional<LinkInfo> ReadLink(const std::wstring& path) {
  platform::win32::ComPtr<IShellLinkW> link;
  platform::win32::ComPtr<IPersistFile> file;
  if (!NewLink(link, file) || FAILED(file->Load(path.c_str(), STGM_READ))) return std::nullopt;
  wchar_t buffer[INFOTIPSIZE] = {};
  LinkInfo info;
  // Wine keeps the target's text path in the ANSI code page only; the item list holds the
  // whole name.
  platform::win32::UniqueItemIdList target;
  if (SUCCEEDED(link->GetIDList(target.receive())) && target &&
      SHGetPathFromIDListW(target.get(), buffer)) {
    info.target = buffer;
  }
  buffer[0] = 0;
  link->GetArguments(buffer, INFOTIPSIZE);
  info.arguments = buffer;
  buffer[0] = 0;
  link->GetWorkingDirectory(buffer, MAX_PATH);
  info.workingDirectory = buffer;
  buffer[0] = 0;
  link->GetDescription(buffer, INFOTIPSIZE);
  info.description = buffer;
  buffer[0] = 0;
  link->GetIconLocation(buffer, MAX_PATH, &info.iconIndex);
  info.icon = buffer;
  return info;
}

// Long ago (2001-01-01), so that any later write shows in the last-write time.
inline FILETIME LongAgo() {
  const platform::FileTime t = platform::FileTimeFromUnixSeconds(978307200);
  return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// Sets the file's last-write time to LongAgo(); false when it cannot.
inline bool Backdate(const std::wstring& path) {
  const FILETIME longAgo = LongAgo();
  const platform::win32::UniqueHandle file(
      CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return file && SetFileTime(file.get(), nullptr, nullptr, &longAgo);
}

// True when the file was written after Backdate (or made anew).
inline bool WrittenSinceBackdate(const std::wstring& path) {
  const FILETIME longAgo = LongAgo();
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
         CompareFileTime(&data.ftLastWriteTime, &longAgo) != 0;
}

inline std::wstring FolderPath(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
  return path;
}

}  // namespace linktest
