// The full launch as a user meets it: the real launcher.exe under Wine, started with an exact
// command text, starting the stand-in client in its install folder.
#include <gtest/gtest.h>

#include <regex>

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

TEST(LaunchFlowTest, WideTextInTheParLineIsCodePage936WhateverTheAnsiCodePage) {
  struct ParCase {
    const char* why;
    std::wstring commandText;
    std::string parLine;
  } const cases[] = {
      {"Chinese text in GBK bytes", L"forcerun:\u6253\u5f00", "par: \xB4\xF2\xBF\xAA\n"},
      {"a Chinese URL part, closing quote kept", L"\"quorvane://\u76f4\u64ad\"",
       "par: \xD6\xB1\xB2\xA5\"\n"},
      // A '?' would make a log reader think the text held one.
      {"text 936 cannot hold contributes nothing", L"forcerun:a\uac00", "par: \n"},
  };
  for (const ParCase& c : cases) {
    SCOPED_TRACE(c.why);
    InstallFolder install;
    const LaunchResult result = install.Launch(c.commandText);
    ASSERT_EQ(result.exitCode, 0u);
    const std::string standardError = WithoutCarriageReturns(result.standardError);
    const std::size_t at = standardError.find("par: ");
    ASSERT_NE(at, std::string::npos) << standardError;
    EXPECT_EQ(standardError.substr(at), c.parLine);
    // Debug output carries the same bytes: its "par: " line is the second string.
    ASSERT_EQ(result.debugStrings.size(), 2u);
    EXPECT_EQ(result.debugStrings[1].substr(result.debugStrings[1].find("par: ")), c.parLine);
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

}  // namespace
}  // namespace e2e
