// The full launch as a user meets it: the real launcher.exe under Wine, started with an exact
// command text, starting the stand-in client in its install folder.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <regex>

#include "platform/win32/resources.h"
#include "tests/config/link_files.h"
#include "tests/e2e/support/launch_harness.h"

namespace e2e {
namespace {

// "[ZUD][I][Y-M-D h:m:s] " with no leading zeros.
const std::string kHeader = R"(\[ZUD\]\[I\]\[\d{4}-[1-9]\d?-[1-9]\d? \d{1,2}:\d{1,2}:\d{1,2}\] )";

std::string RegexEscape(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// The C runtime writes "\r\n" for "\n" on a text-mode standard error.
std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

std::string Joined(const std::vector<std::string>& pieces) {
  std::string joined;
  for (const std::string& piece : pieces) joined += piece;
  return joined;
}

struct LaunchCase {
  const char* why;
  std::wstring commandText;
  std::string clientParameters;  // UTF-8
};

TEST(LaunchFlowTest, StartsTheClientInTheInstallFolderWithTheParameterString) {
  const LaunchCase cases[] = {
      {"force-run prefix removed", L"forcerun:a b", "a b"},
      {"prefix elsewhere is text", L"a forcerun:b", "a forcerun:b"},
      {"prefix is case-sensitive", L"FORCERUN:x", "FORCERUN:x"},
      {"empty command text", L"", ""},
      {"shell-quoted URL keeps its closing quote", L"\"quorvane://join/5\"", "join/5\""},
      {"first URL wins", L"x quorvane://a quorvane://b", "a quorvane://b"},
      {"scheme is case-sensitive", L"QUORVANE://a", "QUORVANE://a"},
      {"wide text passes whole", L"\u6253\u5f00 \u00e9", "\xE6\x89\x93\xE5\xBC\x80 \xC3\xA9"},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.why);
    InstallFolder install;
    const LaunchResult result = install.Launch(c.commandText);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);

    const std::optional<std::string> parameters = install.WaitForFile(L"veltmora-params.txt");
    ASSERT_TRUE(parameters.has_value()) << "client not started";
    EXPECT_EQ(*parameters, c.clientParameters);
    // Started by its bare name, so the working directory decides which client runs.
    EXPECT_EQ(FromUtf8(install.WaitForFile(L"veltmora-cwd.txt").value_or("")), install.path());
    EXPECT_EQ(install.ReadFile(L"veltmora-starts.txt").value_or(""), "started\n");
  }
}

TEST(LaunchFlowTest, LogsTwoLinesToStandardErrorAndDebugOutput) {
  InstallFolder install;
  const LaunchResult result = install.Launch(L"\"quorvane://live/42\"");
  ASSERT_EQ(result.exitCode, 0u);

  const std::regex expected(kHeader + "class path: Veltmora\\.exe\n" + kHeader +
                            "par: " + RegexEscape("live/42\"") + "\n");
  const std::string standardError = WithoutCarriageReturns(result.standardError);
  EXPECT_TRUE(std::regex_match(standardError, expected)) << standardError;
  // Debug output carries the same lines, one string per line, with bare newlines.
  ASSERT_EQ(result.debugStrings.size(), 2u);
  EXPECT_EQ(Joined(result.debugStrings), standardError);
  EXPECT_FALSE(install.Exists(L"zud.log"));
}

TEST(LaunchFlowTest, LongLinesReachDebugOutputIn256CharacterPieces) {
  InstallFolder install;
  const std::string text(700, 'p');
  const LaunchResult result = install.Launch(std::wstring(text.begin(), text.end()));
  ASSERT_EQ(result.exitCode, 0u);
  ASSERT_EQ(result.debugStrings.size(), 4u);  // one "class path" line, three pieces of "par"
  const std::string parLine =
      result.debugStrings[1] + result.debugStrings[2] + result.debugStrings[3];
  EXPECT_EQ(result.debugStrings[1].size(), 256u);
  EXPECT_EQ(result.debugStrings[2].size(), 256u);
  EXPECT_EQ(result.debugStrings[3].size(), parLine.size() - 512);
  EXPECT_EQ(parLine.back(), '\n');
  EXPECT_NE(parLine.find("par: " + text + "\n"), std::string::npos);
}

TEST(LaunchFlowTest, MissingClientStillEndsWithExitCodeZero) {
  InstallFolder install(/*withClient=*/false);
  const LaunchResult result = install.Launch(L"forcerun:x");
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_NE(WithoutCarriageReturns(result.standardError).find("par: x\n"), std::string::npos);
}

TEST(LaunchFlowTest, InstallFolderTooLongForTheConfigurationPathSkipsOnlyThatStep) {
  // launcher.exe still fits the 260-unit module path, "//ProductConfig.xml" would not.
  InstallFolder probe;
  const std::size_t rootLength = probe.path().size();
  const std::size_t wanted = 259 - 13 - 5;  // room for "\launcher.exe", short of the config path
  std::wstring sub;
  while (rootLength + sub.size() + 1 < wanted) {
    sub += sub.empty() ? L"" : L"\\";
    sub += std::wstring(std::min<std::size_t>(40, wanted - rootLength - sub.size() - 1), L'd');
  }
  InstallFolder install(true, sub);
  ASSERT_LT(install.launcher().size(), 260u);
  ASSERT_GT(install.path().size() + 19, 259u);
  install.WriteFile(L"ProductConfig.xml",
                    "<Product><Args><Item>--should-not-appear</Item></Args></Product>");

  const LaunchResult result = install.Launch(L"forcerun:deep");
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(install.WaitForFile(L"veltmora-params.txt").value_or("<none>"), "deep");
}

// Running out of memory is each step's own silent failure: the launch flow under an allocator
// that fails one chosen allocation, or every one from a chosen one on, still starts the client
// and ends with exit code 0, whichever step the failure hits. The install folder has a
// configuration and the product's link, so every step of the full launch allocates.
TEST(LaunchFlowTest, RunningOutOfMemoryFailsOnlyTheStepThatMetIt) {
  platform::win32::ScopedCoInitialize com;
  wchar_t desktop[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, desktop), S_OK);
  const std::wstring link = std::wstring(desktop) + L"\\E2E memory.lnk";
  ASSERT_TRUE(linktest::WriteLink(link, {L"C:\\Old\\launcher.exe", L"", L"", L"old", L"", 0}));

  InstallFolder install;
  ASSERT_TRUE(CopyFileW((BinFolder() + L"\\failing_alloc_launcher.exe").c_str(),
                        install.launcher().c_str(), FALSE));
  install.WriteFile(L"ProductConfig.xml",
                    "<ProductConfig><shortcut_cn>E2E memory</shortcut_cn>"
                    "<shortcut_en>E2E memory</shortcut_en><Args><Item Name=\"--configured\"/>"
                    "</Args></ProductConfig>");
  install.WriteFile(L"standin-stop", "");  // each client records its start and ends
  // Long enough that the command text and the parameter string allocate too.
  const std::wstring commandText = L"forcerun:" + std::wstring(40, L'p');
  const std::string parameters = std::string(40, 'p') + " --configured";

  const std::wstring countFile = install.Path(L"allocations.txt");
  SetEnvironmentVariableW(L"LAUNCHER_ALLOCATION_COUNT", countFile.c_str());
  // fail: the value of LAUNCHER_FAIL_ALLOCATION; wanted: the client's parameters, when known.
  // Not run as a debuggee, unlike Launch: under Wine's debugger one of these runs (a failure in
  // the link refresh) crashes in a destructor while unwinding, a register of the frame not
  // restored, while the same run without a debugger ends normally.
  const auto launch = [&](const std::wstring& fail, const char* wanted) {
    SCOPED_TRACE(ToUtf8(L"failing allocation " + fail));
    DeleteFileW(install.Path(L"veltmora-params.txt").c_str());
    SetEnvironmentVariableW(L"LAUNCHER_FAIL_ALLOCATION", fail.c_str());
    const platform::win32::UniqueHandle process(
        StartProcess(install.launcher(), commandText, BinFolder()));
    SetEnvironmentVariableW(L"LAUNCHER_FAIL_ALLOCATION", nullptr);
    ASSERT_TRUE(process);
    ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    const std::optional<std::string> got = install.WaitForFile(L"veltmora-params.txt");
    EXPECT_TRUE(got.has_value()) << "client not started";
    if (wanted != nullptr) {
      EXPECT_EQ(got.value_or("<none>"), wanted);
    }
  };

  launch(L"none", parameters.c_str());
  const int allocations = std::stoi(install.ReadFile(L"allocations.txt").value_or("0"));
  ASSERT_GT(allocations, 10);

  // Nothing can be allocated: every step fails, and the client still starts, with nothing.
  launch(L"1+", "");
  for (int n = 1; n <= allocations; ++n) {
    launch(std::to_wstring(n), nullptr);
    if (n % 8 == 0) launch(std::to_wstring(n) + L"+", nullptr);
  }
  SetEnvironmentVariableW(L"LAUNCHER_ALLOCATION_COUNT", nullptr);
  DeleteFileW(link.c_str());
}

}  // namespace
}  // namespace e2e
