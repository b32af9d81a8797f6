// linktool: makes and shows .lnk files through the shell link object, for the demo and for
// trying an install by hand under Wine.
//   linktool make LINK TARGET [DESCRIPTION]   writes LINK pointing at TARGET
//   linktool show LINK                        prints the link's fields, one per line (UTF-8)
//   linktool desktop                          prints the all-users desktop folder
// Exit code 0 on success, 1 on failure, 2 on a usage error.
#include <windows.h>

#include <string>

#include "platform/text.h"
#include "platform/win32/resources.h"
#include "tests/config/link_files.h"

namespace {

void Print(const std::wstring& text) {
  std::string out;
  if (!platform::WideToNarrow(text + L"\n", platform::CodePage::kUtf8, out)) return;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const platform::win32::ScopedCoInitialize com;
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"desktop" && argc == 2) {
    const std::wstring desktop = linktest::FolderPath(CSIDL_COMMON_DESKTOPDIRECTORY);
    Print(desktop);
    return desktop.empty() ? 1 : 0;
  }
  if (command == L"make" && (argc == 4 || argc == 5)) {
    linktest::LinkInfo info;
    info.target = argv[3];
    info.description = argc == 5 ? argv[4] : L"";
    return linktest::WriteLink(argv[2], info) ? 0 : 1;
  }
  if (command == L"show" && argc == 3) {
    const auto info = linktest::ReadLink(argv[2]);
    if (!info) return 1;
    Print(L"target:            " + info->target);
    Print(L"working directory: " + info->workingDirectory);
    Print(L"description:       " + info->description);
    Print(L"icon:              " + info->icon + L"," + std::to_wstring(info->iconIndex));
    return 0;
  }
  Print(L"usage: linktool make LINK TARGET [DESCRIPTION] | show LINK | desktop");
  return 2;
}
