#include "launcher/install_blocked.h"

#include <windows.h>

#include <string>

#include "launcher/client_app.h"
#include "launcher/language.h"

namespace launcher {

std::wstring InstallBlockedText(bool chinese) {
  const std::wstring product(kClientStem);
  if (chinese) {
    return product +
           L" \u7684\u66f4\u65b0\u672a\u80fd\u5b8c\u6210\uff0c\u5b83\u7684\u6587\u4ef6\u73b0\u5728"
           L"\u65e2\u4e0d\u662f\u65e7\u7248\u672c\u4e5f\u4e0d\u662f\u65b0\u7248\u672c\uff0c\u6240"
           L"\u4ee5\u6ca1\u6709\u542f\u52a8\u3002\n" +
           L"\u8bf7\u5173\u95ed\u6b63\u5728\u4f7f\u7528 " + product +
           L" \u6587\u4ef6\u7684\u7a0b\u5e8f\uff0c\u7136\u540e\u518d\u6b21\u542f\u52a8 " + product +
           L"\u3002";
  }
  return L"An update of " + product +
         L" could not be finished: its files are now neither the old version nor the new "
         L"one, so it was not started.\nClose the programs that use " +
         product + L"'s files, then start " + product + L" again.";
}

void ShowInstallBlockedMessage() {
  const std::wstring text = InstallBlockedText(IsChineseLanguage());
  const std::wstring caption(kClientStem);
  // A person must read this before anything else happens: in front, and answered with OK.
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace launcher
