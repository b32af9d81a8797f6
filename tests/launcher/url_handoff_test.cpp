// The URL hand-off over the real named pipe, served by the stand-in client.
#include "launcher/url_handoff.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/resources.h"
#include "tests/e2e/support/launch_harness.h"

namespace {

using platform::win32::UniqueHandle;

class UrlHandoffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.reset(e2e::StartStandIn(install.path(), L"Veltmora.exe"));
    ASSERT_TRUE(client.valid());
  }

  // The n-th message the client received, once it has been saved.
  std::optional<std::string> Message(int n) const {
    return install.WaitForFile(L"veltmora-pipe-" + std::to_wstring(n) + L".bin");
  }

  // The hand-off of a launcher in this install folder.
  int Send(const std::wstring& urlPart) const {
    return SendUrlToRunningClient(urlPart, install.Path(L"Veltmora.exe"));
  }

  e2e::InstallFolder install{/*withClient=*/false};
  UniqueHandle client;
};

// The ANSI code page a row needs. The Windows tests run twice, under 1252 (C locale) and
// under 936 (zh_CN.UTF-8, the product's main market); each pass runs the rows of its page.
constexpr UINT kAnyPage = 0;

std::string Repeat(const std::string& text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

TEST_F(UrlHandoffTest, WritesTheUrlPartInTheAnsiCodePageAndOneZeroByte) {
  // A Chinese pass that Wine ran under another page would pass without testing anything.
  const char* locale = std::getenv("LC_ALL");
  if (locale == nullptr || *locale == '\0') locale = std::getenv("LANG");
  if (locale != nullptr && std::strncmp(locale, "zh_CN", 5) == 0) {
    ASSERT_EQ(GetACP(), 936u) << "zh_CN pass without code page 936: is the locale generated?";
  }
  const std::string zhong = "\xD6\xD0";  // U+4E2D in code page 936
  struct Case {
    const char* why;
    UINT page;
    std::wstring urlPart;
    int exitCode;
    std::string message;  // when delivered
  } const cases[] = {
      {"shell-quoted URL keeps its closing quote", kAnyPage, L"live/42\"", 0,
       std::string("live/42\"\0", 9)},
      {"text ending right after the scheme", kAnyPage, L"", 0, std::string("\0", 1)},
      {"largest message that fits the buffer", kAnyPage, std::wstring(10239, L'a'), 0,
       std::string(10239, 'a') + '\0'},
      // GBK bytes, not UTF-8 or UTF-16, and one zero byte: what the client reads.
      {"Chinese URL in GBK bytes", 936, L"live/\u76f4\u64ad\"", 0,
       std::string("live/\xD6\xB1\xB2\xA5\"\0", 11)},
      {"a character 936 lacks arrives as '?'", 936, L"a\uac00b", 0, std::string("a?b\0", 4)},
      // The 10240-byte buffer holds GBK bytes: 5119 Chinese characters and the zero fit ...
      {"5119 Chinese characters fill the buffer", 936, std::wstring(5119, L'\u4e2d'), 0,
       Repeat(zhong, 5119) + '\0'},
      // ... 5120 need 10241 bytes and are refused, though far fewer units than 10240.
      {"5120 Chinese characters are one byte too many", 936, std::wstring(5120, L'\u4e2d'), 1, ""},
      {"after a refusal the next URL is the next message", 936, L"\u4e2d", 0, zhong + '\0'},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.page != kAnyPage && c.page != GetACP()) continue;  // the other pass runs it
    EXPECT_EQ(Send(c.urlPart), c.exitCode);
    if (c.exitCode == 0) {
      EXPECT_EQ(Message(++n).value_or("<none>"), c.message);
    }
  }
  EXPECT_FALSE(install.Exists(L"veltmora-pipe-" + std::to_wstring(n + 1) + L".bin"));
}

TEST_F(UrlHandoffTest, CharactersOutsideTheAnsiCodePageArriveAsTheDefaultCharacter) {
  if (GetACP() != 1252) GTEST_SKIP() << "rows are written for code page 1252, not " << GetACP();
  struct Case {
    const char* why;
    std::wstring urlPart;
    std::string message;
  } const cases[] = {
      {"a character no Western page holds", L"a\u4e2db", std::string("a?b\0", 4)},
      // best fit made fullwidth dots, solidus, reverse solidus and quotation mark into
      // "../..\" and '"': path characters the link never held
      {"fullwidth look-alikes stay foreign",
       L"open/\uff0e\uff0e\uff0f\uff0e\uff0e\uff3cwin.ini\uff02",
       std::string("open/??????win.ini?\0", 20)},
      {"near miss: characters the page holds pass", L"caf\u00e9", std::string("caf\xe9\0", 5)},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(Send(c.urlPart), 0);
    EXPECT_EQ(Message(++n).value_or("<none>"), c.message);
  }
}

TEST_F(UrlHandoffTest, TheServerMayIdentifyButNotImpersonateTheLauncher) {
  // Control: a writer asking for anonymity shows whether this platform passes a pipe
  // client's quality of service on to the server at all.
  {
    UniqueHandle control(CreateFileW(L"\\\\.\\Pipe\\RODURI_Veltmora", GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
                                     nullptr));
    ASSERT_TRUE(control.valid());
    DWORD written = 0;
    WriteFile(control.get(), "c", 2, &written, nullptr);
  }
  ASSERT_TRUE(Message(1).has_value());
  const std::string controlLevel = install.ReadFile(L"veltmora-pipe-1.level").value_or("");

  EXPECT_EQ(Send(L"x"), 0);
  ASSERT_TRUE(Message(2).has_value());
  if (controlLevel != "anonymous") {
    GTEST_SKIP() << "pipe servers here impersonate at '" << controlLevel
                 << "' whatever the writer asks";
  }
  EXPECT_EQ(install.ReadFile(L"veltmora-pipe-2.level").value_or("<none>"), "identification");
}

TEST_F(UrlHandoffTest, AUrlTooLongForTheBufferIsRefusedNotCut) {
  EXPECT_EQ(Send(std::wstring(10240, L'a')), 1);
  // The refused URL never connected: the next hand-off is the client's first message.
  EXPECT_EQ(Send(L"next"), 0);
  EXPECT_EQ(Message(1).value_or("<none>"), std::string("next\0", 5));
  EXPECT_FALSE(install.Exists(L"veltmora-pipe-2.bin"));
}

// Any program can serve the pipe first, and a link carries login tickets: the URL goes only
// to the install folder's own client, recognised as the same file however it is named. (Wine
// runs every program in one session, so a server in another session cannot be shown here.)
TEST(UrlHandoffServerTest, OnlyTheInstallFoldersOwnClientGetsTheUrl) {
  enum class Server { kClient, kSquatter, kCopyBeside, kHardLink };
  struct Case {
    const char* why;
    Server server;
    const wchar_t* clientAs;  // how the launcher names its client, relative to the folder
    bool delivered;
  } const cases[] = {
      {"the install's own client", Server::kClient, L"Veltmora.exe", true},
      {"near miss: the client named in other letters and through ..", Server::kClient,
       L"sub\\..\\VELTMORA.EXE", true},
      {"a hard link of the client is the client", Server::kHardLink, L"Veltmora.exe", true},
      // the ticket went to C:\squat\Veltmora.exe, which served the pipe first
      {"the same program copied into another folder", Server::kSquatter, L"Veltmora.exe", false},
      {"another program beside the client", Server::kCopyBeside, L"Veltmora.exe", false},
      {"no client in the install folder", Server::kSquatter, L"missing\\Veltmora.exe", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    e2e::InstallFolder install(/*withClient=*/true);
    e2e::InstallFolder squat(/*withClient=*/false);
    // Where the server runs: its folder's owner and the folder relative to it.
    const e2e::InstallFolder& owner = c.server == Server::kSquatter ? squat : install;
    std::wstring sub;
    UniqueHandle server;
    if (c.server == Server::kHardLink) {
      sub = L"linked\\";
      const std::wstring link = install.MakeFolder(L"linked") + L"\\Veltmora.exe";
      if (!CreateHardLinkW(link.c_str(), install.Path(L"Veltmora.exe").c_str(), nullptr)) {
        std::printf("row skipped: no hard links here (error %lu)\n", GetLastError());
        continue;
      }
      server.reset(e2e::StartProcess(link, L"", install.Path(L"linked")));
      ASSERT_TRUE(install.WaitForFile(L"linked\\veltmora-ready.txt").has_value());
    } else {
      server.reset(e2e::StartStandIn(
          owner.path(), c.server == Server::kCopyBeside ? L"Veltmora-copy.exe" : L"Veltmora.exe"));
    }
    ASSERT_TRUE(server.valid());

    EXPECT_EQ(SendUrlToRunningClient(L"login?ticket=SECRET-123\"", install.Path(c.clientAs)),
              c.delivered ? 0 : 1);
    // A refused server had a connection and not one byte of it.
    EXPECT_EQ(owner.WaitForFile(sub + L"veltmora-pipe-1.bin").value_or("<none>"),
              c.delivered ? std::string("login?ticket=SECRET-123\"\0", 25) : std::string());
    owner.WriteFile(sub + L"standin-stop", "");
  }
}

// The install folder's own client, of the same user, but below the launcher's integrity level:
// started unelevated, or started suspended and written into by an unelevated program. The
// decision itself has its rows in integrity_level_test.
TEST(UrlHandoffServerTest, AServerBelowTheLaunchersIntegrityLevelGetsNothing) {
  e2e::InstallFolder install(/*withClient=*/false);
  install.WriteFile(L"standin-lowintegrity", "");
  UniqueHandle server(e2e::StartStandIn(install.path(), L"Veltmora.exe"));
  ASSERT_TRUE(server.valid());
  const std::string serverLevel = install.WaitForFile(L"veltmora-integrity.txt").value_or("");
  UniqueHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()));
  BYTE label[64] = {};
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token.get(), TokenIntegrityLevel, label, sizeof label, &size));
  const PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label)->Label.Sid;
  char ownLevel[16];
  std::snprintf(ownLevel, sizeof ownLevel, "0x%04lX",
                *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1U));
  if (serverLevel >= ownLevel) {
    // Wine: SetTokenInformation(TokenIntegrityLevel) succeeds and the level stays 0x3000.
    GTEST_SKIP() << "this system did not lower the server (" << serverLevel << ", the launcher "
                 << ownLevel << "): no lower-integrity server here";
  }
  EXPECT_EQ(SendUrlToRunningClient(L"login?ticket=SECRET-123\"", install.Path(L"Veltmora.exe")), 1);
  EXPECT_EQ(install.WaitForFile(L"veltmora-pipe-1.bin").value_or("<none>"), "");
}

TEST(UrlHandoffNoServerTest, AUrlTheClientDoesNotGetWholeMeansExitCodeOne) {
  struct Case {
    const char* why;
    const wchar_t* modeFile;  // the stand-in's behaviour, or null for none
    bool serve;
    std::wstring urlPart;
  } const cases[] = {
      {"no pipe server", nullptr, false, L"live/42\""},
      // a synchronous write of more than the pipe buffer never returned
      {"server never reads, message longer than its buffer", L"standin-noread", true,
       std::wstring(10239, L'a')},
      // the failed write was ignored and the lost URL reported as delivered
      {"server accepts and closes at once", L"standin-closeatonce", true, L"live/42\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    e2e::InstallFolder install(/*withClient=*/false);
    if (c.modeFile != nullptr) install.WriteFile(c.modeFile, "");
    UniqueHandle client(e2e::StartStandIn(install.path(), L"Veltmora.exe", c.serve));
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(SendUrlToRunningClient(c.urlPart, install.Path(L"Veltmora.exe")), 1);
    EXPECT_FALSE(install.Exists(L"veltmora-pipe-1.bin"));
    // The launcher met this client, not some other server of the pipe's name.
    if (c.serve) {
      EXPECT_TRUE(install.WaitForFile(L"veltmora-pipe-1.unread").has_value());
    }
  }
}

// A client another launch started a moment ago may not serve its pipe yet: the hand-off of a
// launch that waited for that one waits for the pipe, and only so long for one that never comes.
TEST(UrlHandoffNoServerTest, APipeNotThereYetIsWaitedForOnlyWhenAsked) {
  struct Case {
    const char* why;
    bool serve;
    unsigned long waitMs;
    int exitCode;
  } const cases[] = {
      {"a client still starting, waited for", true, kHandoffPipeWaitMs, 0},
      {"a client that never serves, waited for a while", false, 300, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    e2e::InstallFolder install(/*withClient=*/true);
    if (!c.serve) install.WriteFile(L"standin-nopipe", "");
    // Started, not waited for: the hand-off begins before the client is up.
    UniqueHandle client(e2e::StartProcess(install.Path(L"Veltmora.exe"), L"", install.path()));
    ASSERT_TRUE(client.valid());
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(SendUrlToRunningClient(L"live/42\"", install.Path(L"Veltmora.exe"), c.waitMs),
              c.exitCode);
    if (c.serve) {
      EXPECT_EQ(install.WaitForFile(L"veltmora-pipe-1.bin"), std::string("live/42\"\0", 9));
    } else {
      EXPECT_GE(GetTickCount64() - start, c.waitMs);
    }
  }
}

}  // namespace
