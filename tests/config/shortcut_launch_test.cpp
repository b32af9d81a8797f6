// The configuration in the real launch: launcher.exe under Wine reads ProductConfig.xml from
// its install folder, renames the product's link on the all-users desktop and passes the
// configured arguments to the client.
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/win32/resources.h"
#include "tests/config/link_files.h"
#include "tests/e2e/support/launch_harness.h"

namespace {

using linktest::Backdate;
using linktest::Bytes;
using linktest::Exists;
using linktest::LinkInfo;
using linktest::ReadLink;
using linktest::WriteLink;
using linktest::WrittenSinceBackdate;
using platform::win32::ScopedCoInitialize;

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

TEST(ShortcutLaunchTest, RenamesTheDesktopLinkAndAppendsConfiguredArguments) {
  ScopedCoInitialize com;
  wchar_t desktop[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, desktop), S_OK);
  const std::wstring oldLink = std::wstring(desktop) + L"\\CfgE2E \u7ef4\u5c14.lnk";
  const std::wstring newLink = std::wstring(desktop) + L"\\CfgE2E new.lnk";
  DeleteFileW(newLink.c_str());

  // A Chinese install folder: the configuration must still be found under an ANSI code page
  // that is not 936.
  e2e::InstallFolder install(true, L"\u4ea7\u54c1 install");
  install.WriteFile(L"Veltmora.ico", "icon");
  // Both languages name the same pair, so the result does not depend on the language setting.
  install.WriteFile(L"ProductConfig.xml",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ProductConfig>\n"
                    "  <shortcut_cn>CfgE2E \xE7\xBB\xB4\xE5\xB0\x94</shortcut_cn>\n"
                    "  <shortcut_en>CfgE2E \xE7\xBB\xB4\xE5\xB0\x94</shortcut_en>\n"
                    "  <shortcut_new_cn>CfgE2E new</shortcut_new_cn>\n"
                    "  <shortcut_new_en>CfgE2E new</shortcut_new_en>\n"
                    "  <Args><Item Name=\"--channel=\xE4\xB8\xAD\"/><Item Name=\"\"/>"
                    "<Item Name=\"two words\"/></Args>\n"
                    "</ProductConfig>\n");
  // The product's old link, made by an earlier install in another folder.
  ASSERT_TRUE(WriteLink(oldLink,
                        {L"C:\\Program Files\\Old\\launcher.exe", L"--kept", L"", L"old", L"", 0}));

  const e2e::LaunchResult result = install.Launch(L"forcerun:a b");
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0u);
  const std::optional<std::string> parameters = install.WaitForFile(L"veltmora-params.txt");
  ASSERT_TRUE(parameters.has_value()) << "client not started";
  EXPECT_EQ(*parameters, "a b --channel=\xE4\xB8\xAD two words");

  // The old link pointed to a launcher: moved to the new name and pointed at this install.
  EXPECT_FALSE(Exists(oldLink));
  const std::optional<LinkInfo> link = ReadLink(newLink);
  DeleteFileW(oldLink.c_str());
  DeleteFileW(newLink.c_str());
  ASSERT_TRUE(link.has_value()) << "no link under the new name";
  EXPECT_TRUE(SameText(link->target, install.launcher())) << e2e::ToUtf8(link->target);
  EXPECT_TRUE(SameText(link->workingDirectory, install.path()));
  EXPECT_EQ(link->description, L"Veltmora");
  EXPECT_TRUE(SameText(link->icon, install.path() + L"//Veltmora.ico")) << e2e::ToUtf8(link->icon);
  EXPECT_EQ(link->arguments, L"--kept");
}

// At every start after the first the product's link is already up to date: the launch reads
// it and leaves the file alone (last-write time and bytes); a link that differs in a field is
// written again. The install folder's name is ASCII: Wine keeps a link's text path in the ANSI
// code page only, so under Wine a target path outside it does not read back equal and the link is
// written at every start, where Windows reads the path back whole.
TEST(ShortcutLaunchTest, UpToDateLinkIsLeftAsItIs) {
  ScopedCoInitialize com;
  wchar_t desktop[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, desktop), S_OK);
  const std::wstring link = std::wstring(desktop) + L"\\CfgE2E same.lnk";
  ASSERT_TRUE(WriteLink(link, {L"C:\\Old\\launcher.exe", L"--kept", L"", L"old", L"", 0}));
  e2e::InstallFolder install;
  install.WriteFile(L"Veltmora.ico", "icon");
  install.WriteFile(L"ProductConfig.xml",
                    "<ProductConfig><shortcut_cn>CfgE2E same</shortcut_cn>"
                    "<shortcut_en>CfgE2E same</shortcut_en></ProductConfig>");
  const auto launch = [&] {
    DeleteFileW(install.Path(L"veltmora-params.txt").c_str());
    EXPECT_EQ(install.Launch(L"forcerun:x").exitCode, 0u);
    EXPECT_TRUE(install.WaitForFile(L"veltmora-params.txt").has_value()) << "client not started";
  };

  launch();  // the first start after an install points the link here
  ASSERT_TRUE(Backdate(link));
  const std::string refreshed = Bytes(link);
  launch();
  EXPECT_FALSE(WrittenSinceBackdate(link));
  EXPECT_EQ(Bytes(link), refreshed);

  // Someone changed its description: written again, and ours once more.
  std::optional<LinkInfo> changed = ReadLink(link);
  ASSERT_TRUE(changed.has_value());
  changed->description = L"changed";
  ASSERT_TRUE(WriteLink(link, *changed));
  ASSERT_TRUE(Backdate(link));
  launch();
  EXPECT_TRUE(WrittenSinceBackdate(link));
  const std::optional<LinkInfo> after = ReadLink(link);
  DeleteFileW(link.c_str());
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->description, L"Veltmora");
  EXPECT_EQ(after->arguments, L"--kept");
}

TEST(ShortcutLaunchTest, WithoutAConfigurationNothingIsRenamedOrAppended) {
  ScopedCoInitialize com;
  wchar_t desktop[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, desktop), S_OK);
  const std::wstring oldLink = std::wstring(desktop) + L"\\CfgE2E plain.lnk";
  ASSERT_TRUE(WriteLink(oldLink, {L"C:\\Old\\launcher.exe", L"", L"", L"old", L"", 0}));

  e2e::InstallFolder install;
  // Malformed: the read fails, so neither the link nor the parameters change.
  install.WriteFile(L"ProductConfig.xml",
                    "<c><shortcut_cn>CfgE2E plain</shortcut_cn><Args><Item Name=\"x\"/></Args>");
  const e2e::LaunchResult result = install.Launch(L"forcerun:a");
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(install.WaitForFile(L"veltmora-params.txt").value_or("<none>"), "a");
  const std::optional<LinkInfo> link = ReadLink(oldLink);
  DeleteFileW(oldLink.c_str());
  ASSERT_TRUE(link.has_value());
  EXPECT_EQ(link->target, L"C:\\Old\\launcher.exe");
  EXPECT_EQ(link->description, L"old");
}

}  // namespace
