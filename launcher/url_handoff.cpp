#include "launcher/url_handoff.h"

#include <windows.h>

#include "launcher/client_app.h"
#include "platform/win32/resources.h"

namespace {

constexpr std::size_t kMessageBufferBytes = 10240;

}  // namespace

int SendUrlToRunningClient(const platform::WString& urlPart) {
  // The message is the URL in the ANSI code page (unmappable characters become the default
  // character) and one zero byte. One that would not fit the buffer is refused whole, before the
  // pipe is touched: a cut URL would open the wrong thing.
  std::string message = platform::WideToNarrowLossy(urlPart, platform::CodePage::kAnsi);
  if (message.size() + 1 > kMessageBufferBytes) return 1;
  message.push_back('\0');
  const std::wstring pipeName(launcher::kClientPipeName);
  // Any process could have created the pipe first: let its server identify the elevated
  // launcher, never impersonate it.
  platform::win32::UniqueHandle pipe(CreateFileW(
      pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!pipe) return 1;

  DWORD written = 0;
  WriteFile(pipe.get(), message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  return 0;
}
