// The URL hand-off over the real named pipe, served by the stand-in client.
#include "launcher/url_handoff.h"

#include <windows.h>

#include <gtest/gtest.h>

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

  e2e::InstallFolder install{/*withClient=*/false};
  UniqueHandle client;
};

TEST_F(UrlHandoffTest, WritesTheUrlPartInTheAnsiCodePageAndOneZeroByte) {
  struct Case {
    const char* why;
    std::wstring urlPart;
    std::string message;
  } const cases[] = {
      {"shell-quoted URL keeps its closing quote", L"live/42\"", std::string("live/42\"\0", 9)},
      {"text ending right after the scheme", L"", std::string("\0", 1)},
      {"largest message that fits the buffer", std::wstring(10239, L'a'),
       std::string(10239, 'a') + '\0'},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(SendUrlToRunningClient(c.urlPart), 0);
    EXPECT_EQ(Message(++n).value_or("<none>"), c.message);
  }
}

TEST_F(UrlHandoffTest, CharactersOutsideTheAnsiCodePageArriveAsTheDefaultCharacter) {
  if (GetACP() == 936 || GetACP() == 950 || GetACP() == 932) GTEST_SKIP() << "ANSI page has CJK";
  EXPECT_EQ(SendUrlToRunningClient(L"a\u4e2db"), 0);
  EXPECT_EQ(Message(1).value_or("<none>"), std::string("a?b\0", 4));
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

  EXPECT_EQ(SendUrlToRunningClient(L"x"), 0);
  ASSERT_TRUE(Message(2).has_value());
  if (controlLevel != "anonymous") {
    GTEST_SKIP() << "pipe servers here impersonate at '" << controlLevel
                 << "' whatever the writer asks";
  }
  EXPECT_EQ(install.ReadFile(L"veltmora-pipe-2.level").value_or("<none>"), "identification");
}

TEST_F(UrlHandoffTest, AUrlTooLongForTheBufferIsRefusedNotCut) {
  EXPECT_EQ(SendUrlToRunningClient(std::wstring(10240, L'a')), 1);
  // The refused URL never connected: the next hand-off is the client's first message.
  EXPECT_EQ(SendUrlToRunningClient(L"next"), 0);
  EXPECT_EQ(Message(1).value_or("<none>"), std::string("next\0", 5));
  EXPECT_FALSE(install.Exists(L"veltmora-pipe-2.bin"));
}

TEST(UrlHandoffNoServerTest, NoPipeMeansExitCodeOne) {
  e2e::InstallFolder install(/*withClient=*/false);
  UniqueHandle client(e2e::StartStandIn(install.path(), L"Veltmora.exe", /*serve=*/false));
  ASSERT_TRUE(client.valid());
  EXPECT_EQ(SendUrlToRunningClient(L"live/42\""), 1);
}

}  // namespace
