// Update installation from the user's side: files in a scratch install folder, then a real
// launch of launcher.exe under Wine, then what the folder holds.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/win32/resources.h"
#include "tests/e2e/support/launch_harness.h"

namespace {

using e2e::InstallFolder;
using platform::win32::UniqueHandle;

// The packages made by make_update_packages.py before this test runs.
std::wstring Packages() {
  const char* env = std::getenv("UPDATE_PACKAGES");
  std::wstring folder = e2e::FromUtf8(env != nullptr ? env : "");
  for (wchar_t& c : folder) {
    if (c == L'/') c = L'\\';
  }
  return folder.empty() || folder[0] != L'\\' ? folder : L"Z:" + folder;
}

std::string PackageBytes(const wchar_t* name) {
  return e2e::ReadWholeFile(Packages() + L"\\" + name).value_or("");
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

const char* const kLeftovers[] = {"temp\\Updater.exe", "temp\\update.td0", "temp\\update.td1",
                                  "temp\\update.td2",  "temp\\update.td3", "temp\\update.td"};

class UpdateInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (PackageBytes(L"typical.zip").empty()) GTEST_SKIP() << "no packages: run through ctest";
  }

  // Launches with the force-run prefix, so no question, and waits for the client.
  void Launch() {
    const e2e::LaunchResult result = install.Launch(L"forcerun:");
    ASSERT_FALSE(result.timedOut);
    ASSERT_EQ(result.exitCode, 0u);
    ASSERT_TRUE(install.WaitForFile(L"veltmora-params.txt").has_value()) << "client not started";
  }

  void Stage(const wchar_t* package, const wchar_t* as = L"update.zip") {
    install.MakeFolder(L"temp");
    install.WriteFile(as, PackageBytes(package));
  }

  std::string Read(const std::wstring& name) { return install.ReadFile(name).value_or("<none>"); }
  bool Exists(const std::wstring& name) { return install.Exists(name); }

  InstallFolder install{true, L"install"};
};

TEST_F(UpdateInstallTest, DownloadLeftoversGoAtEveryLaunch) {
  for (const bool withPackage : {false, true}) {
    SCOPED_TRACE(withPackage ? "with a package" : "without a package");
    install.MakeFolder(L"temp");
    for (const char* leftover : kLeftovers) install.WriteFile(e2e::FromUtf8(leftover), "piece");
    install.WriteFile(L"temp\\keep.txt", "not ours");
    if (withPackage) Stage(L"second.zip", L"temp\\update.zip");
    Launch();
    for (const char* leftover : kLeftovers)
      EXPECT_FALSE(Exists(e2e::FromUtf8(leftover))) << leftover;
    EXPECT_EQ(Read(L"temp\\keep.txt"), "not ours");
    EXPECT_EQ(Read(L"app.dll"), withPackage ? "second app.dll\n" : "<none>");
    install.StopClients();
  }
}

TEST_F(UpdateInstallTest, NoTempFolderIsNoUpdate) {
  install.WriteFile(L"app.dll", "old");
  Launch();
  EXPECT_EQ(Read(L"app.dll"), "old");
  EXPECT_FALSE(Exists(L"temp"));
  EXPECT_FALSE(Exists(L"update.zip"));
}

TEST_F(UpdateInstallTest, ADownloadedPackageReplacesAnOlderStagedOne) {
  Stage(L"second.zip");
  Stage(L"typical.zip", L"temp\\update.zip");
  Launch();
  EXPECT_EQ(Read(L"app.dll"), Repeat("new app.dll\n", 100));
  EXPECT_FALSE(Exists(L"temp\\update.zip"));
  EXPECT_FALSE(Exists(L"update.zip"));
}

TEST_F(UpdateInstallTest, AStagedPackageIsInstalledWithoutADownload) {
  Stage(L"second.zip");
  Launch();
  EXPECT_EQ(Read(L"app.dll"), "second app.dll\n");
  EXPECT_FALSE(Exists(L"update.zip"));
}

TEST_F(UpdateInstallTest, APackageReplacesFilesCreatesFoldersAndKeepsItsTimesAndAttributes) {
  install.WriteFile(L"app.dll", "old app");
  install.MakeFolder(L"data");
  install.WriteFile(L"data\\a.txt", "old a");
  install.WriteFile(L"\u4e2d\uac00.txt", "old wide");
  install.WriteFile(L"untouched.txt", "mine");
  Stage(L"typical.zip");
  Launch();

  EXPECT_EQ(Read(L"app.dll"), Repeat("new app.dll\n", 100));
  EXPECT_EQ(Read(L"data\\a.txt"), "new a\n");
  EXPECT_EQ(Read(L"deep\\er\\b.txt"), "new b\n");
  EXPECT_EQ(Read(L"\u4e2d\uac00.txt"), "wide name\n");
  EXPECT_EQ(Read(L"drive.txt"), "drive\n");    // stored as C:/drive.txt
  EXPECT_EQ(Read(L"rooted.txt"), "rooted\n");  // stored as /rooted.txt
  EXPECT_EQ(Read(L"untouched.txt"), "mine");
  EXPECT_FALSE(Exists(L"update.zip"));
  EXPECT_FALSE(Exists(L"app.dll.old~"));

  const DWORD readOnly = GetFileAttributesW(install.Path(L"readonly.cfg").c_str());
  ASSERT_NE(readOnly, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(readOnly & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(GetFileAttributesW(install.Path(L"app.dll").c_str()) & FILE_ATTRIBUTE_READONLY);

  // 2021-06-15 10:20:30 as local time in UTC+8 (TZ=CST-8 for this test).
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExW(install.Path(L"app.dll").c_str(), GetFileExInfoStandard, &data));
  SYSTEMTIME utc = {};
  FileTimeToSystemTime(&data.ftLastWriteTime, &utc);
  EXPECT_EQ(utc.wYear, 2021);
  EXPECT_EQ(utc.wMonth, 6);
  EXPECT_EQ(utc.wDay, 15);
  EXPECT_EQ(utc.wHour, 2);
  EXPECT_EQ(utc.wMinute, 20);
  EXPECT_EQ(utc.wSecond, 30);
}

// The product's main market installs into folders with Chinese names: the update, the
// configuration and the client start all work on wide paths, whatever the ANSI code page (the
// Windows tests run under 1252 and under 936).
TEST_F(UpdateInstallTest, AnInstallFolderWithAChineseName) {
  InstallFolder chinese(true, L"\u5b89\u88c5\u76ee\u5f55");
  chinese.MakeFolder(L"temp");
  chinese.WriteFile(L"temp\\update.zip", PackageBytes(L"typical.zip"));
  chinese.WriteFile(L"ProductConfig.xml",
                    "<ProductConfig><Args><Item Name=\"--from-config\"/></Args></ProductConfig>");
  const e2e::LaunchResult result = chinese.Launch(L"forcerun:go");
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(chinese.WaitForFile(L"veltmora-params.txt").value_or("<none>"), "go --from-config");
  EXPECT_EQ(e2e::FromUtf8(chinese.WaitForFile(L"veltmora-cwd.txt").value_or("")), chinese.path());
  EXPECT_EQ(chinese.ReadFile(L"data\\a.txt").value_or("<none>"), "new a\n");
  EXPECT_EQ(chinese.ReadFile(L"\u4e2d\uac00.txt").value_or("<none>"), "wide name\n");
  EXPECT_FALSE(chinese.Exists(L"update.zip"));
  EXPECT_FALSE(chinese.Exists(L"temp\\update.zip"));
}

TEST_F(UpdateInstallTest, APackageThatIsNoArchiveIsDeletedAndTheLaunchGoesOn) {
  for (const wchar_t* package : {L"notzip.zip", L"empty.zip", L"truncated.zip"}) {
    SCOPED_TRACE(e2e::ToUtf8(package));
    install.WriteFile(L"app.dll", "old");
    Stage(package);
    Launch();
    EXPECT_EQ(Read(L"app.dll"), "old");
    EXPECT_FALSE(Exists(L"update.zip"));
    install.StopClients();
  }
}

TEST_F(UpdateInstallTest, AnItemThatFailsKeepsTheFileItWasToReplace) {
  install.WriteFile(L"app.dll", "old");
  Stage(L"crc.zip");
  Launch();
  EXPECT_EQ(Read(L"app.dll"), "old");  // bad CRC-32: the old file stays
  EXPECT_EQ(Read(L"good.txt"), "good\n");
  EXPECT_FALSE(Exists(L"app.dll.old~"));
  EXPECT_FALSE(Exists(L"update.zip"));
}

TEST_F(UpdateInstallTest, AFileThatCannotBeSetAsideIsNotReplaced) {
  install.WriteFile(L"app.dll", "old");
  Stage(L"typical.zip");
  {
    // Open without sharing deletion: the file can be neither renamed nor deleted.
    UniqueHandle held(CreateFileW(install.Path(L"app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    Launch();
  }
  EXPECT_EQ(Read(L"app.dll"), "old");
  EXPECT_EQ(Read(L"data\\a.txt"), "new a\n");  // the other items still install
}

TEST_F(UpdateInstallTest, NamesLeavingTheInstallFolderAreSkipped) {
  Stage(L"unsafe.zip");
  Launch();
  EXPECT_EQ(Read(L"inside.txt"), "inside\n");
  // The install folder is <scratch>\install: its parent must stay as it was.
  const std::wstring parent = install.path().substr(0, install.path().rfind(L'\\'));
  EXPECT_EQ(GetFileAttributesW((parent + L"\\outside.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW((parent + L"\\outside2.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(UpdateInstallTest, ALaunchStoppedHalfwayLosesNoOldFile) {
  struct Case {
    const char* why;
    const wchar_t* package;
    const char* expected;
  } const cases[] = {
      {"the item installs on the next launch", L"typical.zip", nullptr},
      {"the item fails again: the old file comes back", L"crc.zip", "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    // What a stop between setting the old file aside and finishing the new one leaves.
    install.WriteFile(L"app.dll.old~", "old");
    install.WriteFile(L"app.dll", "half-written");
    Stage(c.package);
    Launch();
    EXPECT_EQ(Read(L"app.dll"), c.expected != nullptr ? c.expected : Repeat("new app.dll\n", 100));
    EXPECT_FALSE(Exists(L"app.dll.old~"));
    install.StopClients();
  }
}

TEST_F(UpdateInstallTest, ADownloadThatCannotBeStagedIsKeptForTheNextLaunch) {
  install.MakeFolder(L"update.zip");  // a folder in the way: the copy fails
  Stage(L"second.zip", L"temp\\update.zip");
  Launch();
  EXPECT_EQ(PackageBytes(L"second.zip"), Read(L"temp\\update.zip"));
  EXPECT_FALSE(Exists(L"app.dll"));
}

TEST_F(UpdateInstallTest, ARunningProgramIsReplacedAndItsOldFileMovedOutOfTheWay) {
  UniqueHandle helper(e2e::StartStandIn(install.MakeFolder(L"helperdir"), L"helper.exe", false));
  ASSERT_TRUE(helper.valid());
  // The running copy is in helperdir; put one in the install folder and run that one.
  ASSERT_TRUE(CopyFileW(install.Path(L"helperdir\\helper.exe").c_str(),
                        install.Path(L"helper.exe").c_str(), FALSE));
  UniqueHandle running(e2e::StartProcess(install.Path(L"helper.exe"), L"", install.path()));
  ASSERT_TRUE(running.valid());
  Stage(L"inuse.zip");
  Launch();
  EXPECT_EQ(Read(L"helper.exe"), "new helper\n");
  EXPECT_FALSE(Exists(L"helper.exe.old~"));
  // Windows refuses to delete a running program's file; other systems may allow it.
  std::printf("old helper.exe: %s\n", Exists(L"helper.exe.del~")
                                          ? "moved to helper.exe.del~, deleted at restart"
                                          : "deleted");
  TerminateProcess(running.get(), 0);
  TerminateProcess(helper.get(), 0);
  WaitForSingleObject(running.get(), 5000);
}

}  // namespace
