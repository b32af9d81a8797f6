// The full launch as a user meets it: the real launcher.exe under Wine, started with an exact
// command text, starting the stand-in client in its install folder.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
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
      {"first URL wins", L"x quorvane://a quorvane://b", "a%20quorvane://b"},
      // a web page's link added arguments and a forged marker to the elevated client
      {"a link cannot add arguments", L"\"quorvane://room/1 --evil=1 IsAdmin\"",
       "room/1%20--evil=1%20IsAdmin\""},
      // the shell hands over a link in any case and without "//": IsAdmin and "y" reached the
      // elevated client's argv as arguments of their own
      {"scheme in any letter case", L"\"QUORVANE://x\" IsAdmin \"y\"", "x%22%20IsAdmin%20%22y\""},
      {"scheme without slashes", L"\"quorvane:x\" IsAdmin \"y\"", "x%22%20IsAdmin%20%22y\""},
      // best fit made a blank of it in an ANSI client, under 1252 and 936 alike
      {"an en space cannot become a blank", L"quorvane://x\u2002IsAdmin", "x%E2%80%82IsAdmin"},
      {"a trailing backslash cannot escape the closing quote", L"\"quorvane://x\\\"", "x%5C\""},
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

// Characters the ANSI code page holds reach the client as they are; the rest percent-encoded.
// Each Windows test pass runs the rows of its page.
TEST(LaunchFlowTest, AUrlReachesTheClientInWhatItsCodePageHolds) {
  struct Case {
    const char* why;
    UINT page;
    std::wstring commandText;
    std::string clientParameters;  // UTF-8
  } const cases[] = {
      {"Chinese under 936 unchanged", 936, L"\"quorvane://live/\u76f4\u64ad\"",
       "live/\xE7\x9B\xB4\xE6\x92\xAD\""},
      // best fit made a blank of it in the ANSI client
      {"an ideographic space under 1252", 1252, L"quorvane://a\u3000IsAdmin", "a%E3%80%80IsAdmin"},
      {"near miss: e acute under 1252 unchanged", 1252, L"quorvane://caf\u00e9", "caf\xC3\xA9"},
  };
  int ran = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.page != GetACP()) continue;  // the other pass runs it
    ++ran;
    InstallFolder install;
    const LaunchResult result = install.Launch(c.commandText);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(install.WaitForFile(L"veltmora-params.txt").value_or("<none>"), c.clientParameters);
  }
  if (ran == 0) GTEST_SKIP() << "no rows for code page " << GetACP();
}

// The launcher enables SeDebugPrivilege to open a client it may not open otherwise (another
// user's), and only for that: the client it starts next copies its token, and ran with the
// privilege enabled. Wine keeps a process with an empty access list from the same user alone.
TEST(LaunchFlowTest, TheClientStartsWithoutSeDebugPrivilegeEnabled) {
  InstallFolder install;
  install.WriteFile(L"standin-closed", "");
  platform::win32::UniqueHandle old(
      StartProcess(install.Path(L"Veltmora.exe"), L"old", install.path()));
  ASSERT_TRUE(old.valid());
  ASSERT_TRUE(install.WaitForFile(L"veltmora-ready.txt").has_value());
  DeleteFileW(install.Path(L"standin-closed").c_str());
  DeleteFileW(install.Path(L"veltmora-params.txt").c_str());
  DeleteFileW(install.Path(L"veltmora-debug-privilege.txt").c_str());
  // The launch has to enable the privilege: without it the old client does not open.
  const DWORD oldId = GetProcessId(old.get());
  ASSERT_FALSE(
      platform::win32::UniqueHandle(OpenProcess(PROCESS_ALL_ACCESS, FALSE, oldId)).valid());

  const LaunchResult result = install.Launch(L"forcerun:new");
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(install.WaitForFile(L"veltmora-params.txt").value_or("<none>"), "new");
  EXPECT_EQ(install.WaitForFile(L"veltmora-debug-privilege.txt").value_or("<none>"), "disabled");
  std::printf("the closed client was %s\n",
              WaitForSingleObject(old.get(), 0) == WAIT_OBJECT_0 ? "terminated" : "left running");
}

TEST(LaunchFlowTest, AParameterStringPastTheCommandLineLimitKeepsOnlyWholeParts) {
  // The client's command line is "<folder>\\Veltmora.exe" <parameters> and its terminator:
  // 32767 units at most, or the system cuts it wherever the limit falls.
  struct Case {
    const char* why;
    std::size_t overBy;  // how far the whole string passes the limit
  } const cases[] = {
      {"exactly at the limit: passed whole", 0},
      {"one unit over: the last item is left out whole, not cut", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    InstallFolder install;
    const std::size_t budget = 32767 - 4 - (install.path().size() + 1 + 12);
    // Distinct items of 100 units, then one that takes the string to the limit exactly.
    std::vector<std::string> items;
    std::size_t length = 1;  // "x"
    while (budget - length >= 2 * 101) {
      std::string item = std::to_string(items.size()) + "-";
      item.resize(100, 'i');
      items.push_back(item);
      length += 1 + item.size();
    }
    items.push_back(std::string(budget - length - 1 + c.overBy, 'z'));
    std::string config = "<Product><Args>";
    for (const std::string& item : items) config += "<Item Name=\"" + item + "\"/>";
    install.WriteFile(L"ProductConfig.xml", config + "</Args></Product>");

    std::string expected = "x";
    for (std::size_t i = 0; i + (c.overBy > 0 ? 1 : 0) < items.size(); ++i) {
      expected += " " + items[i];
    }
    const LaunchResult result = install.Launch(L"forcerun:x");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    const std::string parameters = install.WaitForFile(L"veltmora-params.txt").value_or("");
    EXPECT_EQ(parameters.size(), expected.size());
    EXPECT_TRUE(parameters == expected);
    const bool logged = result.standardError.find("par too long: ") != std::string::npos;
    EXPECT_EQ(logged, c.overBy > 0) << result.standardError;
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

TEST(LaunchFlowTest, WideTextInTheParLineIsCodePage936WhateverTheAnsiCodePage) {
  struct ParCase {
    const char* why;
    std::wstring commandText;
    std::string parLine;
    const char* parLineUnder1252 = nullptr;  // where the ANSI code page makes it differ
  } const cases[] = {
      {"Chinese text in GBK bytes", L"forcerun:\u6253\u5f00", "par: \xB4\xF2\xBF\xAA\n"},
      // An ANSI client under 1252 could not read the characters: they come percent-encoded.
      {"a Chinese URL part, closing quote kept", L"\"quorvane://\u76f4\u64ad\"",
       "par: \xD6\xB1\xB2\xA5\"\n", "par: %E7%9B%B4%E6%92%AD\"\n"},
      // A '?' would make a log reader think the text held one.
      {"text 936 cannot hold contributes nothing", L"forcerun:a\uac00", "par: \n"},
      // The client's parameters and the log line carry the same escaped URL part.
      {"a URL's blanks and inner quotes escaped", L"\"quorvane://a \"b\"", "par: a%20%22b\"\n"},
  };
  for (const ParCase& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string parLine =
        GetACP() == 1252 && c.parLineUnder1252 != nullptr ? c.parLineUnder1252 : c.parLine;
    InstallFolder install;
    const LaunchResult result = install.Launch(c.commandText);
    ASSERT_EQ(result.exitCode, 0u);
    const std::string standardError = WithoutCarriageReturns(result.standardError);
    const std::size_t at = standardError.find("par: ");
    ASSERT_NE(at, std::string::npos) << standardError;
    EXPECT_EQ(standardError.substr(at), parLine);
    // Debug output carries the same bytes: its "par: " line is the second string.
    ASSERT_EQ(result.debugStrings.size(), 2u);
    EXPECT_EQ(result.debugStrings[1].substr(result.debugStrings[1].find("par: ")), parLine);
  }
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

// A client missing from the install folder (quarantined, half removed) was searched for by its
// bare name, and whatever the search found started with administrator rights.
TEST(LaunchFlowTest, MissingClientStartsNothingAndStillEndsWithExitCodeZero) {
  struct Case {
    const char* why;
    bool onPath;    // a program of the client's name in a folder on PATH
    bool appPaths;  // ... registered under the system's App Paths
  } const cases[] = {
      {"nothing of that name anywhere", false, false},
      {"a folder on PATH holds one", true, false},
      {"App Paths name one", false, true},
  };
  const wchar_t* const appPathsKey =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Veltmora.exe";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    InstallFolder install(/*withClient=*/false);
    InstallFolder elsewhere(/*withClient=*/true);
    elsewhere.WriteFile(L"standin-stop", "");  // a client started there records it and ends
    wchar_t oldPath[32768] = {};
    GetEnvironmentVariableW(L"PATH", oldPath, 32768);
    if (c.onPath) {
      SetEnvironmentVariableW(L"PATH", (elsewhere.path() + L";" + oldPath).c_str());
    }
    if (c.appPaths) {
      platform::win32::UniqueRegKey key;
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, appPathsKey, 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, key.receive(), nullptr),
                ERROR_SUCCESS);
      const std::wstring target = elsewhere.Path(L"Veltmora.exe");
      RegSetValueExW(key.get(), L"", 0, REG_SZ, reinterpret_cast<const BYTE*>(target.c_str()),
                     static_cast<DWORD>((target.size() + 1) * sizeof(wchar_t)));
    }

    const LaunchResult result = install.Launch(L"forcerun:x");
    SetEnvironmentVariableW(L"PATH", oldPath);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, appPathsKey);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    const std::string standardError = WithoutCarriageReturns(result.standardError);
    EXPECT_NE(standardError.find("par: x\n"), std::string::npos);
    EXPECT_NE(
        standardError.find("client not found: " + ToUtf8(install.Path(L"Veltmora.exe")) + "\n"),
        std::string::npos)
        << standardError;
    // Not started: give a wrongly started client the time to record its start.
    EXPECT_FALSE(elsewhere.WaitForFile(L"veltmora-starts.txt", 3000).has_value());
    EXPECT_FALSE(install.Exists(L"veltmora-starts.txt"));
  }
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

TEST(LaunchFlowTest, ALongModulePathNeverActsInTheInheritedWorkingDirectory) {
  // A launcher path of 260 units or more, started from another directory that holds what the
  // update, the configuration and the client start would use there.
  InstallFolder probe;
  std::wstring sub;
  while (probe.path().size() + sub.size() + 13 < 275)
    sub += (sub.empty() ? L"" : L"\\") + std::wstring(40, L'l');
  InstallFolder install(true, sub);
  ASSERT_GE(install.launcher().size(), 260u);
  ASSERT_TRUE(install.Exists(L"launcher.exe"));
  InstallFolder inherited(true, L"inherited");
  inherited.WriteFile(L"update.zip", "a user's file that happens to be called update.zip");
  inherited.WriteFile(L"ProductConfig.xml",
                      "<Product><Args><Item Name=\"--from-the-wrong-folder\"/></Args></Product>");

  const LaunchResult result = RunProgram(install.launcher(), L"forcerun:long", inherited.path());
  if (!result.timedOut && result.exitCode == STILL_ACTIVE) {
    // Wine's process start copies the program's name into a 260-unit buffer and fails
    // (errors 2 and 123, with or without the "\\?\" form); Windows starts it.
    GTEST_SKIP() << "this system cannot start a program from a path of 260 units or more";
  }
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(inherited.ReadFile(L"update.zip").value_or("<gone>"),
            "a user's file that happens to be called update.zip");
  EXPECT_FALSE(inherited.Exists(L"veltmora-params.txt")) << "a client started from there";
  // The client of the install folder, named whole, where the system can start it at all.
  const std::optional<std::string> parameters = install.WaitForFile(L"veltmora-params.txt", 5000);
  std::printf("client of the install folder: %s\n",
              parameters ? ("started with \"" + *parameters + "\"").c_str() : "not started");
  if (parameters) {
    EXPECT_EQ(*parameters, "long");
  }
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
