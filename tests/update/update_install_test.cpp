// Update installation from the user's side: files in a scratch install folder, then a real
// launch of launcher.exe under Wine, then what the folder holds.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/win32/resources.h"
#include "tests/e2e/support/launch_harness.h"
#include "tests/zip/zip_builder.h"

namespace {

using e2e::InstallFolder;
using platform::win32::UniqueHandle;

// A folder named by an environment variable with a Linux path, as Wine sees it.
std::wstring FolderFromEnvironment(const char* variable) {
  const char* env = std::getenv(variable);
  std::wstring folder = e2e::FromUtf8(env != nullptr ? env : "");
  for (wchar_t& c : folder) {
    if (c == L'/') c = L'\\';
  }
  return folder.empty() || folder[0] != L'\\' ? folder : L"Z:" + folder;
}

// The packages made by make_update_packages.py before this test runs.
std::wstring Packages() { return FolderFromEnvironment("UPDATE_PACKAGES"); }

std::string PackageBytes(const wchar_t* name) {
  return e2e::ReadWholeFile(Packages() + L"\\" + name).value_or("");
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// What identifies one file's state: its bytes (by size and hash), attributes and times.
struct FileState {
  bool folder = false;
  std::uint64_t size = 0;
  std::uint64_t hash = 0;
  DWORD attributes = 0;
  std::uint64_t created = 0;
  std::uint64_t written = 0;
  bool operator==(const FileState& o) const {
    return folder == o.folder && size == o.size && hash == o.hash && attributes == o.attributes &&
           created == o.created && written == o.written;
  }
};
using Snapshot = std::map<std::wstring, FileState>;

std::uint64_t Ticks(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// 64-bit FNV-1a: enough to tell two versions of a file apart.
std::uint64_t HashFile(const std::wstring& path, std::uint64_t& size) {
  std::uint64_t h = 14695981039346656037u;
  size = 0;
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return 0;
  std::vector<unsigned char> buffer(1 << 20);
  DWORD got = 0;
  while (ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
         got > 0) {
    for (DWORD i = 0; i < got; ++i) h = (h ^ buffer[i]) * 1099511628211u;
    size += got;
  }
  return h;
}

// The old launcher.exe of an install that replaced it: the running launcher cannot delete
// its own file, so it is set aside and deleted when the system next starts.
bool IsRunningLaunchersOldFile(const std::wstring& name) {
  return name.rfind(L"launcher.exe.old~", 0) == 0;
}

// Files that belong to the stand-ins, the test and the launch lock (every launch makes it,
// installing or not), not to the install.
bool IsBookkeeping(const std::wstring& name) {
  return name.rfind(L"veltmora-", 0) == 0 || name.rfind(L"standin-", 0) == 0 ||
         name == L"launch.lock" || name == L"update.zip" ||
         (name.size() > 5 && name.substr(name.size() - 5) == L".hold") ||
         IsRunningLaunchersOldFile(name);
}

void Walk(const std::wstring& folder, const std::wstring& prefix,
          const std::function<void(const std::wstring&, const WIN32_FIND_DATAW&)>& visit) {
  WIN32_FIND_DATAW data = {};
  platform::win32::UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    visit(prefix + name, data);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      Walk(folder + L"\\" + name, prefix + name + L"\\", visit);
    }
  } while (FindNextFileW(find.get(), &data));
}

Snapshot Take(const std::wstring& folder) {
  Snapshot s;
  Walk(folder, L"", [&](const std::wstring& relative, const WIN32_FIND_DATAW& data) {
    if (IsBookkeeping(data.cFileName)) return;
    FileState state;
    state.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    state.attributes = data.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
    if (!state.folder) {
      state.hash = HashFile(folder + L"\\" + relative, state.size);
      state.created = Ticks(data.ftCreationTime);
      state.written = Ticks(data.ftLastWriteTime);
    }
    s[relative] = state;
  });
  return s;
}

std::string Describe(const Snapshot& s) {
  std::string out;
  for (const auto& [name, state] : s) {
    out += e2e::ToUtf8(name) + (state.folder ? "\\" : " " + std::to_string(state.size)) + "\n";
  }
  return out;
}

bool IsHex(const std::wstring& text) {
  return text.find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

// The install's own files: its journal, names ending in .new~ or .old~ and its 8-digit id,
// and the short ones ~ID-N.new and ~ID-N.old that stand in where a name is too long for those.
std::vector<std::wstring> Temporaries(const std::wstring& folder) {
  std::vector<std::wstring> found;
  Walk(folder, L"", [&](const std::wstring& relative, const WIN32_FIND_DATAW& data) {
    const std::wstring name = data.cFileName;
    const bool suffixed = name.size() > 13 && IsHex(name.substr(name.size() - 8)) &&
                          (name.compare(name.size() - 13, 5, L".new~") == 0 ||
                           name.compare(name.size() - 13, 5, L".old~") == 0);
    const bool shortForm =
        name.size() > 10 && name[0] == L'~' && IsHex(name.substr(1, 8)) && name[9] == L'-';
    const bool temporary = suffixed || shortForm;
    if ((temporary && !IsRunningLaunchersOldFile(name)) || name == L"update.journal") {
      found.push_back(relative);
    }
  });
  return found;
}

// The files the system deletes at its next start, as MoveFileEx records them, in UTF-8.
std::string PendingDeletions() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return "";
  }
  platform::win32::UniqueRegKey owned(key);
  DWORD size = 0;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return "";
  }
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                   reinterpret_cast<BYTE*>(value.data()), &size);
  for (wchar_t& c : value) {
    if (c == L'\0') c = L'\n';
  }
  return e2e::ToUtf8(value);
}

std::string JournalText(const InstallFolder& install) {
  return install.ReadFile(L"update.journal").value_or("");
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

// pack_update_package.py packed the difference of two release folders with `pkgtool pack`: it
// installs through the launcher like any package.
TEST_F(UpdateInstallTest, APackageThatPackWroteInstallsTheNewVersion) {
  install.WriteFile(L"app.dll", "old app\n");
  install.MakeFolder(L"data");
  install.WriteFile(L"data\\a.txt", "old a\n");
  install.WriteFile(L"keep.txt", "same\n");
  Stage(L"packed.zip");
  Launch();
  EXPECT_EQ(Read(L"app.dll"), Repeat("packed app.dll\n", 50));
  EXPECT_EQ(Read(L"data\\a.txt"), "packed a\n");
  EXPECT_EQ(Read(L"keep.txt"), "same\n");
  EXPECT_EQ(Read(L"\u65b0\\\u8bf4\u660e.txt"), "packed wide\n");
  const DWORD readOnly = GetFileAttributesW(install.Path(L"readonly.cfg").c_str());
  ASSERT_NE(readOnly, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(readOnly & FILE_ATTRIBUTE_READONLY);
  const DWORD logs = GetFileAttributesW(install.Path(L"logs").c_str());
  EXPECT_TRUE(logs != INVALID_FILE_ATTRIBUTES && (logs & FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FALSE(Exists(L"update.zip"));
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

// launcher-testkey.exe is launcher.exe built with the throwaway product key;
// sign_update_packages.py signed typical.zip with `pkgtool sign` and changed single bytes of
// the signed copy afterwards.
TEST_F(UpdateInstallTest, ALauncherWithAKeyInstallsOnlyPackagesSignedByIt) {
  const std::string installed = "update installed: 8 of 8 items";
  const std::string notOurs =
      "update not installed: the package is not signed by this product's key";
  const std::string changed = "update not installed: its signature does not match";
  struct Case {
    const char* why;
    const wchar_t* package;
    const std::string& withKey;  // the line the keyed launcher logs
    bool installsWithoutKey;     // false: the change breaks the archive itself
  } const cases[] = {
      {"signed with the product key", L"signed.zip", installed, true},
      {"unsigned", L"typical.zip", notOurs, true},
      {"signed with another key", L"other-key.zip", notOurs, true},
      {"a local header's time changed after signing", L"altered-local.zip", changed, true},
      {"an item's data changed after signing", L"altered-data.zip", changed, false},
      {"a directory record changed after signing", L"altered-directory.zip", changed, true},
      {"the end record changed after signing", L"altered-end.zip", changed, false},
      {"the signature changed", L"altered-signature.zip", changed, true},
  };
  for (const bool keyed : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(keyed ? "with the key: " : "without a key: ") + c.why);
      InstallFolder folder(true, L"install");
      if (keyed) {
        ASSERT_TRUE(CopyFileW((e2e::BinFolder() + L"\\launcher-testkey.exe").c_str(),
                              folder.launcher().c_str(), FALSE));
      }
      folder.WriteFile(L"app.dll", "old");
      folder.WriteFile(L"update.zip", PackageBytes(c.package));
      const e2e::LaunchResult result = folder.Launch(L"forcerun:");
      ASSERT_FALSE(result.timedOut);
      EXPECT_TRUE(folder.WaitForFile(L"veltmora-params.txt").has_value()) << "client not started";
      const bool isNew = folder.ReadFile(L"app.dll") == Repeat("new app.dll\n", 100);
      if (keyed) {
        EXPECT_NE(result.standardError.find(c.withKey), std::string::npos) << result.standardError;
        EXPECT_EQ(isNew, &c.withKey == &installed);
      } else if (c.installsWithoutKey) {
        EXPECT_NE(result.standardError.find(installed), std::string::npos) << result.standardError;
        EXPECT_TRUE(isNew);
      }
      // Refused or installed, the package has had its one try.
      EXPECT_FALSE(folder.Exists(L"update.zip"));
    }
  }
}

// Releases in order over one install folder of the keyed launcher: sign_update_packages.py
// signed release-N.zip as release N, and unnumbered.zip in the first layout, as packages were
// signed before releases were numbered.
TEST_F(UpdateInstallTest, ALauncherWithAKeyRefusesOlderReleasesItHasSeen) {
  struct Step {
    const char* why;
    const wchar_t* package;
    const char* line;    // what the launcher logs
    const char* appDll;  // app.dll afterwards
    const char* record;  // update.sequence afterwards
  } const steps[] = {
      {"release 2", L"release-2.zip", "update installed: 1 of 1 items", "release 2\n", "2\n"},
      // A replayed older release would bring its files, and their flaws, back.
      {"release 1 replayed", L"release-1.zip",
       "update not installed: package 1 is older than the installed 2", "release 2\n", "2\n"},
      {"an unnumbered package after a numbered one", L"unnumbered.zip",
       "update not installed: package 0 (unnumbered) is older than the installed 2", "release 2\n",
       "2\n"},
      {"release 3", L"release-3.zip", "update installed: 1 of 1 items", "release 3\n", "3\n"},
  };
  InstallFolder folder(true, L"install");
  ASSERT_TRUE(CopyFileW((e2e::BinFolder() + L"\\launcher-testkey.exe").c_str(),
                        folder.launcher().c_str(), FALSE));
  folder.WriteFile(L"app.dll", "old");
  for (const Step& step : steps) {
    SCOPED_TRACE(step.why);
    folder.WriteFile(L"update.zip", PackageBytes(step.package));
    const e2e::LaunchResult result = folder.Launch(L"forcerun:");
    ASSERT_FALSE(result.timedOut);
    EXPECT_NE(result.standardError.find(step.line), std::string::npos) << result.standardError;
    EXPECT_EQ(folder.ReadFile(L"app.dll"), step.appDll);
    EXPECT_EQ(folder.ReadFile(L"update.sequence"), step.record);
    // Installed or refused as older, the package is the package's fault: gone.
    EXPECT_FALSE(folder.Exists(L"update.zip"));
  }
}

TEST_F(UpdateInstallTest, AnItemThatFailsRollsTheWholePackageBack) {
  install.WriteFile(L"app.dll", "old");
  Stage(L"crc.zip");
  Launch();
  EXPECT_EQ(Read(L"app.dll"), "old");  // bad CRC-32: the old file stays
  EXPECT_FALSE(Exists(L"good.txt"));   // and the good item goes with the package
  EXPECT_FALSE(Exists(L"update.journal"));
  EXPECT_FALSE(Exists(L"update.zip"));
}

// A file that a scanner or an ending program holds: for a moment, it is waited out; all the
// time, the update is undone and its package kept, and the next launch installs it.
TEST_F(UpdateInstallTest, AFileHeldForAMomentIsWaitedOutOneHeldThroughoutKeepsThePackage) {
  install.WriteFile(L"first.txt", "old first");
  install.WriteFile(L"app.dll", "old");
  Stage(L"moment.zip");
  {
    // Open without sharing deletion: the file can be neither renamed nor deleted. Let go
    // 300 ms after the install began, while the launcher's plan asks for it again.
    UniqueHandle held(CreateFileW(install.Path(L"app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    UniqueHandle launcher(e2e::StartProcess(install.launcher(), L"forcerun:", install.path()));
    ASSERT_TRUE(launcher.valid());
    // The journal is made before the plan looks at any file.
    bool planning = false;
    for (int i = 0; i < 120000 && !planning; ++i) {
      if (WaitForSingleObject(launcher.get(), 0) == WAIT_OBJECT_0) break;
      planning = Exists(L"update.journal");
      if (!planning) Sleep(1);
    }
    ASSERT_TRUE(planning) << "the launcher ended before its install";
    Sleep(300);
    held.reset();
    ASSERT_EQ(WaitForSingleObject(launcher.get(), e2e::kGenerousWaitMs), WAIT_OBJECT_0);
  }
  EXPECT_EQ(Read(L"app.dll"), Repeat("new app.dll\n", 100));
  EXPECT_FALSE(Exists(L"update.zip"));
  EXPECT_FALSE(Exists(L"update.journal"));
  ASSERT_TRUE(install.WaitForFile(L"veltmora-params.txt").has_value());
  install.StopClients();

  install.WriteFile(L"app.dll", "old");
  Stage(L"typical.zip");
  {
    UniqueHandle held(CreateFileW(install.Path(L"app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    Launch();
  }
  EXPECT_EQ(Read(L"app.dll"), "old");
  EXPECT_FALSE(Exists(L"data\\a.txt"));  // no other item of the package stays either
  EXPECT_FALSE(Exists(L"update.journal"));
  // The machine was at fault, not the package: it stays, and the next launch installs it.
  EXPECT_TRUE(Exists(L"update.zip"));
  install.StopClients();
  Launch();
  EXPECT_EQ(Read(L"app.dll"), Repeat("new app.dll\n", 100));
  EXPECT_FALSE(Exists(L"update.zip"));
}

// Two launches at once over a large pending update: the second waits for the first to have
// installed it and started its client, then finds that client running and hands its link
// over. Exactly one client ever starts, and only after the install.
TEST_F(UpdateInstallTest, TwoLaunchesAtOnceStartOneClientAfterTheInstall) {
  const std::wstring big = Packages() + L"\\big.zip";
  ASSERT_TRUE(CopyFileW(big.c_str(), install.Path(L"update.zip").c_str(), FALSE));
  // Without a display the restart question returns at once, not as OK: the client stays and
  // the second launch hands the link over.
  UniqueHandle first(e2e::StartProcess(install.launcher(), L"\"quorvane://one\"", install.path()));
  UniqueHandle second(e2e::StartProcess(install.launcher(), L"\"quorvane://two\"", install.path()));
  ASSERT_TRUE(first.valid() && second.valid());
  ASSERT_EQ(WaitForSingleObject(first.get(), e2e::kGenerousWaitMs), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(second.get(), e2e::kGenerousWaitMs), WAIT_OBJECT_0);
  ASSERT_TRUE(install.WaitForFile(L"veltmora-starts.txt").has_value());
  // One start record, by the client of the new version's folder, and no install left.
  const std::string starts = Read(L"veltmora-starts.txt");
  EXPECT_EQ(std::count(starts.begin(), starts.end(), '\n'), 1) << starts;
  EXPECT_FALSE(Exists(L"update.zip"));
  EXPECT_FALSE(Exists(L"update.journal"));
  EXPECT_TRUE(install.WaitForFile(L"veltmora-pipe-1.bin").has_value()) << "no hand-off";
}

// One path rule for every item: a file whose full path would pass 259 units is skipped (a
// system without long-path support could not open it), in a new folder as in an old one; a
// file within it always installs, though its temporary names are longer. pkgtool says the
// same of the package for this folder. (Wine opens paths of any length: the rule is the code's,
// and shows by its result.)
TEST_F(UpdateInstallTest, ItemsPastThePathLimitAreSkippedOnesWithinItInstall) {
  const std::size_t folder = install.path().size() + 1;  // with its separator
  ASSERT_LT(folder, 200u);
  // A replaced file of exactly 259 units: its staged and set-aside names have 272.
  const std::string replaced(259 - folder, 'r');
  install.WriteFile(e2e::FromUtf8(replaced), "old");
  // In a folder the install makes: one file of 259 units, one of 260.
  const std::string fits = std::string(250 - folder, 'N') + "/fits.txt";
  const std::string past = std::string(251 - folder, 'L') + "/eeee.txt";
  ziptest::Archive a;
  for (const std::string& name : {replaced, fits, past}) {
    ziptest::Entry e;
    e.name = name;
    e.data = "new " + name.substr(name.size() - 4);
    a.entries.push_back(e);
  }
  install.WriteFile(L"update.zip", ziptest::Build(a));
  install.WriteFile(L"check.zip", ziptest::Build(a));

  const e2e::LaunchResult check = e2e::RunProgram(
      e2e::BinFolder() + L"\\pkgtool.exe",
      L"check --install-folder \"" + install.path() + L"\" \"" + install.Path(L"check.zip") + L"\"",
      install.path());
  EXPECT_EQ(check.exitCode, 1u);
  EXPECT_NE(check.standardError.find("item 2 " + std::string(251 - folder, 'L') +
                                     "/eeee.txt: path too long: 260 units"),
            std::string::npos)
      << check.standardError;
  EXPECT_EQ(check.standardError.find("item 0"), std::string::npos) << check.standardError;
  EXPECT_EQ(check.standardError.find("item 1"), std::string::npos) << check.standardError;

  Launch();
  auto windowsName = [](std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return e2e::FromUtf8(name);
  };
  EXPECT_EQ(Read(windowsName(replaced)), "new rrrr");
  EXPECT_EQ(Read(windowsName(fits)), "new .txt");
  EXPECT_FALSE(Exists(windowsName(past)));
  EXPECT_FALSE(Exists(windowsName(past.substr(0, past.find('/')))));
  EXPECT_FALSE(Exists(L"update.zip"));
  EXPECT_EQ(Temporaries(install.path()), std::vector<std::wstring>{});
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

TEST_F(UpdateInstallTest, FilesNamedLikeOldCopiesAreTheUsers) {
  struct Case {
    const char* why;
    const wchar_t* package;
    const char* expected;
  } const cases[] = {
      {"the package installs beside it", L"typical.zip", nullptr},
      {"the package fails: nothing named like an old copy comes back", L"crc.zip", "current"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    // What an earlier kind of install would have left: never taken for an old file now.
    install.WriteFile(L"app.dll.old~", "stale");
    install.WriteFile(L"app.dll", "current");
    Stage(c.package);
    Launch();
    EXPECT_EQ(Read(L"app.dll"), c.expected != nullptr ? c.expected : Repeat("new app.dll\n", 100));
    EXPECT_EQ(Read(L"app.dll.old~"), "stale");
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

// temp\ is the download's, and the launcher acts there as administrator: a name there that is
// another file's second name, or a link to it, is logged and left alone, and so is that file,
// whether the name is the download or a leftover that every launch deletes.
TEST_F(UpdateInstallTest, ADownloadOrLeftoverThatIsALinkIsLeftAloneAndSoIsItsFile) {
  enum class Link { kHard, kSymbolic };
  struct Case {
    const char* why;
    const wchar_t* name;  // in the temp folder
    Link link;
    const char* logged;
  } const cases[] = {
      // staging would copy the other file's bytes in, and delete it
      {"the download a hard link", L"temp\\update.zip", Link::kHard,
       "update.zip is a file with 2 names (a hard link); it is left alone"},
      {"a leftover a hard link", L"temp\\update.td", Link::kHard,
       "update.td is a file with 2 names (a hard link); it is left alone"},
      {"the download a symbolic link", L"temp\\update.zip", Link::kSymbolic,
       "update.zip is a link (symbolic link, junction or other reparse point); it is left alone"},
  };
  const std::string victimBytes = PackageBytes(L"second.zip");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    InstallFolder folder(true, L"install");
    folder.MakeFolder(L"temp");
    folder.WriteFile(L"app.dll", "old");
    // Another file of the machine, signed or not: its bytes are a package.
    folder.WriteFile(L"victim.zip", victimBytes);
    const std::wstring link = folder.Path(c.name);
    const std::wstring victim = folder.Path(L"victim.zip");
    if (c.link == Link::kHard) {
      ASSERT_TRUE(CreateHardLinkW(link.c_str(), victim.c_str(), nullptr));
    } else {
      // Wine 8's CreateSymbolicLinkW reports success and makes nothing, and it makes no
      // junction (FSCTL_SET_REPARSE_POINT: ERROR_NOT_SUPPORTED); a Unix link made beside Wine
      // shows as the plain file it names, and Wine deletes that file through a handle opened
      // on the link: what the launcher does with a link is shown on Windows and, on the
      // POSIX link, by the portable staging test.
      const DWORD attributes = CreateSymbolicLinkW(link.c_str(), victim.c_str(), 0)
                                   ? GetFileAttributesW(link.c_str())
                                   : INVALID_FILE_ATTRIBUTES;
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        continue;
      }
    }
    const e2e::LaunchResult result = folder.Launch(L"forcerun:");
    ASSERT_FALSE(result.timedOut);
    EXPECT_TRUE(folder.WaitForFile(L"veltmora-params.txt").has_value()) << "client not started";
    EXPECT_NE(result.standardError.find(c.logged), std::string::npos) << result.standardError;
    EXPECT_EQ(folder.ReadFile(L"victim.zip"), victimBytes);
    EXPECT_TRUE(folder.Exists(c.name));
    EXPECT_EQ(folder.ReadFile(L"app.dll"), "old");
    EXPECT_FALSE(folder.Exists(L"update.zip"));
  }
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
  // Windows refuses to delete a running program's file: it is set aside under a name of the
  // install's own and deleted at the next start. Wine deletes it at once.
  const std::vector<std::wstring> left = Temporaries(install.path());
  std::printf("old helper.exe: %s\n", left.empty() ? "deleted" : "set aside, deleted at restart");
  for (const std::wstring& name : left) {
    EXPECT_EQ(name.rfind(L"helper.exe.old~", 0), 0u);
    EXPECT_NE(PendingDeletions().find(e2e::ToUtf8(install.Path(name))), std::string::npos)
        << "not scheduled for deletion at the next start";
  }
  TerminateProcess(running.get(), 0);
  TerminateProcess(helper.get(), 0);
  WaitForSingleObject(running.get(), 5000);
}

// A package that must leave a real install folder as it was: several files, one read-only,
// one held open by a running program without delete sharing, one running program.
TEST_F(UpdateInstallTest, ABadPackageLeavesTheInstallFolderAsItWas) {
  const std::wstring smallDisk = FolderFromEnvironment("SMALL_DISK");
  const bool haveSmallDisk =
      GetFileAttributesW((smallDisk + L"\\.small-disk").c_str()) != INVALID_FILE_ATTRIBUTES;
  struct Case {
    const char* why;
    const wchar_t* package;
    bool onSmallDisk;
  } const cases[] = {
      {"corrupt last item: the items before it must go again", L"corrupt-last.zip", false},
      {"truncated package: not an archive, nothing touched", L"truncated.zip", false},
      {"a target held open cannot be set aside: the renames before it are undone", L"held.zip",
       false},
      {"the disk fills up while the package is staged", L"diskfull.zip", true},
      {"the package's files cannot fit the disk: refused before a byte is written", L"noroom.zip",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.onSmallDisk && !haveSmallDisk) {
      std::printf("skipped \"%s\": no small file system was mounted (the set-up needs root)\n",
                  c.why);
      continue;
    }
    InstallFolder folder(true, L"install", c.onSmallDisk ? smallDisk : L"");
    folder.WriteFile(L"app.dll", "old app");
    folder.WriteFile(L"readonly.cfg", "old locked");
    ASSERT_TRUE(SetFileAttributesW(folder.Path(L"readonly.cfg").c_str(), FILE_ATTRIBUTE_READONLY));
    folder.WriteFile(L"held.dat", "old held");
    folder.MakeFolder(L"data");
    folder.WriteFile(L"data\\keep.txt", "kept");
    const std::wstring tools = folder.MakeFolder(L"tools");
    ASSERT_TRUE(CopyFileW((e2e::BinFolder() + L"\\Veltmora.exe").c_str(),
                          (tools + L"\\helper.exe").c_str(), FALSE));
    folder.WriteFile(L"tools\\helper.exe.hold", "..\\held.dat");
    folder.WriteFile(L"tools\\standin-nopipe", "");
    UniqueHandle helper(e2e::StartProcess(tools + L"\\helper.exe", L"", tools));
    ASSERT_TRUE(helper.valid());
    ASSERT_TRUE(folder.WaitForFile(L"tools\\veltmora-starts.txt").has_value());
    const Snapshot before = Take(folder.path());

    folder.WriteFile(L"update.zip", PackageBytes(c.package));
    const e2e::LaunchResult result = folder.Launch(L"forcerun:");
    ASSERT_FALSE(result.timedOut);
    EXPECT_TRUE(folder.WaitForFile(L"veltmora-params.txt").has_value()) << "client not started";
    std::printf("%s", result.standardError.c_str());

    const Snapshot after = Take(folder.path());
    EXPECT_EQ(after, before) << "before:\n" << Describe(before) << "after:\n" << Describe(after);
    EXPECT_EQ(Temporaries(folder.path()), std::vector<std::wstring>{});
    // A package that failed for the machine's sake (no room, a full disk, a file held
    // throughout) stays for the next launch; a damaged one goes.
    const std::wstring package = c.package;
    EXPECT_EQ(folder.Exists(L"update.zip"),
              package != L"corrupt-last.zip" && package != L"truncated.zip");
    TerminateProcess(helper.get(), 0);
    WaitForSingleObject(helper.get(), 5000);
  }
}

// Waits, polling the install folder, until `reached` holds or the launcher has ended.
bool KillWhen(HANDLE launcher, const std::function<bool()>& reached) {
  for (int i = 0; i < 120000; ++i) {
    if (WaitForSingleObject(launcher, 0) == WAIT_OBJECT_0) return false;
    if (reached()) {
      TerminateProcess(launcher, 9);
      WaitForSingleObject(launcher, 10000);
      return true;
    }
    Sleep(i < 1000 ? 0 : 1);
  }
  return false;
}

// A launch killed at any moment of a large install: the next launch, without the package,
// ends with the old version or the new one, file by file, and the launcher is never broken.
TEST_F(UpdateInstallTest, ALaunchKilledAtAnyMomentEndsAsTheOldVersionOrTheNew) {
  const std::wstring old = Packages() + L"\\big-old";
  auto makeOldVersion = [&](InstallFolder& folder) {
    Walk(old, L"", [&](const std::wstring& relative, const WIN32_FIND_DATAW&) {
      ASSERT_TRUE(
          CopyFileW((old + L"\\" + relative).c_str(), folder.Path(relative).c_str(), FALSE));
    });
  };
  const std::string oldLauncher = e2e::ReadWholeFile(e2e::BinFolder() + L"\\launcher.exe").value();
  const std::string newLauncher = oldLauncher + "new launcher overlay";

  // The two versions a stop may end in.
  Snapshot oldVersion, newVersion;
  {
    InstallFolder folder(true, L"install");
    makeOldVersion(folder);
    oldVersion = Take(folder.path());
    ASSERT_TRUE(
        CopyFileW((Packages() + L"\\big.zip").c_str(), folder.Path(L"update.zip").c_str(), FALSE));
    const e2e::LaunchResult clean = folder.Launch(L"forcerun:", 120000);
    ASSERT_EQ(clean.exitCode, 0u);
    newVersion = Take(folder.path());
    ASSERT_TRUE(folder.ReadFile(L"launcher.exe").value_or("") == newLauncher)
        << clean.standardError;
    ASSERT_EQ(newVersion.size(), oldVersion.size() + 61);  // more\ and its 60 files
  }

  auto countStaged = [](const std::wstring& folder) {
    int n = 0;
    Walk(folder, L"", [&](const std::wstring&, const WIN32_FIND_DATAW& data) {
      if (std::wstring(data.cFileName).find(L".new~") != std::wstring::npos) ++n;
    });
    return n;
  };
  // The journal is held exclusively while the install runs: the moments are told by the
  // names on disk.
  auto exists = [](const InstallFolder& f, const wchar_t* pattern) {
    WIN32_FIND_DATAW data = {};
    return platform::win32::UniqueFindHandle(FindFirstFileW(f.Path(pattern).c_str(), &data))
        .valid();
  };
  struct Moment {
    const char* what;
    std::function<bool(const InstallFolder&)> reached;
  } const moments[] = {
      {"the journal is made", [](const InstallFolder& f) { return f.Exists(L"update.journal"); }},
      {"the new launcher is being staged",
       [&](const InstallFolder& f) { return exists(f, L"launcher.exe.new~*"); }},
      {"half the items are staged",
       [&](const InstallFolder& f) { return countStaged(f.path()) >= 80; }},
      {"the commit has begun",
       [&](const InstallFolder& f) { return exists(f, L"f000.bin.old~*"); }},
      {"half the old files are set aside",
       [&](const InstallFolder& f) { return exists(f, L"f050.bin.old~*"); }},
      {"the old files are being dropped",
       [&](const InstallFolder& f) {
         return exists(f, L"f099.bin.old~*") && countStaged(f.path()) == 0;
       }},
  };
  for (const Moment& m : moments) {
    SCOPED_TRACE(m.what);
    InstallFolder folder(true, L"install");
    makeOldVersion(folder);
    ASSERT_TRUE(
        CopyFileW((Packages() + L"\\big.zip").c_str(), folder.Path(L"update.zip").c_str(), FALSE));
    UniqueHandle launcher(e2e::StartProcess(folder.launcher(), L"forcerun:", e2e::BinFolder()));
    ASSERT_TRUE(launcher.valid());
    const bool killed = KillWhen(launcher.get(), [&] { return m.reached(folder); });
    const std::string journal = JournalText(folder);
    const bool commitBegun = journal.find("phase\tcommit") != std::string::npos;
    std::printf("%s: %s, journal %s\n", m.what, killed ? "killed" : "missed (install ended)",
                journal.empty() ? "absent"
                : commitBegun   ? "in the commit"
                                : "in the stage");
    // The program that recovers is always there, whole.
    const std::string launcherBytes = folder.ReadFile(L"launcher.exe").value_or("");
    EXPECT_TRUE(launcherBytes == oldLauncher || launcherBytes == newLauncher);

    // The next launch comes without the package: only the journal can finish or undo.
    DeleteFileW(folder.Path(L"update.zip").c_str());
    folder.StopClients();
    const e2e::LaunchResult next = folder.Launch(L"forcerun:", 120000);
    ASSERT_EQ(next.exitCode, 0u);
    const Snapshot after = Take(folder.path());
    if (!killed || commitBegun) {
      EXPECT_EQ(after, newVersion) << Describe(after);
    } else if (!journal.empty()) {
      EXPECT_EQ(after, oldVersion) << Describe(after);
    } else {
      EXPECT_TRUE(after == oldVersion || after == newVersion) << Describe(after);
    }
    EXPECT_EQ(Temporaries(folder.path()), std::vector<std::wstring>{});
  }
}

// The client (or the user) writes a file into a folder the install is making, and the launch
// is killed: the next launch's undo leaves that file and its folder, and the package installs
// at the launch after, around it.
TEST_F(UpdateInstallTest, AFileWrittenIntoANewFolderSurvivesAKillAndTheNextInstall) {
  Stage(L"big.zip");
  UniqueHandle launcher(e2e::StartProcess(install.launcher(), L"forcerun:", e2e::BinFolder()));
  ASSERT_TRUE(launcher.valid());
  bool wrote = false;
  const bool killed = KillWhen(launcher.get(), [&] {
    // The install's new folder: the client's settings go in the moment it is there.
    if (GetFileAttributesW(install.Path(L"more").c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    wrote = e2e::WriteWholeFile(install.Path(L"more\\settings.ini"), "mine");
    return true;
  });
  ASSERT_TRUE(wrote) << "the install ended before its folder could be written into";
  std::printf("killed: %s\n", killed ? "yes" : "no (the install ended first)");
  DeleteFileW(install.Path(L"update.zip").c_str());
  install.StopClients();
  Launch();
  EXPECT_EQ(Read(L"more\\settings.ini"), "mine");
  EXPECT_FALSE(Exists(L"update.journal"));
  EXPECT_EQ(Temporaries(install.path()), std::vector<std::wstring>{});

  install.StopClients();
  DeleteFileW(install.Path(L"veltmora-params.txt").c_str());
  Stage(L"big.zip");
  Launch();
  EXPECT_FALSE(Exists(L"update.zip"));
  EXPECT_TRUE(Exists(L"more\\m000.bin")) << "the next package did not install";
  EXPECT_EQ(Read(L"more\\settings.ini"), "mine");
  EXPECT_EQ(Temporaries(install.path()), std::vector<std::wstring>{});
}

TEST_F(UpdateInstallTest, ATerminatedClientIsWaitedForSoItsFilesCanBeReplaced) {
  install.WriteFile(L"client.dat", "old client data");
  install.WriteFile(L"Veltmora.exe.hold", "client.dat");
  install.WriteFile(L"standin-nopipe", "");
  UniqueHandle client(e2e::StartProcess(install.Path(L"Veltmora.exe"), L"", install.path()));
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(install.WaitForFile(L"veltmora-starts.txt").has_value());
  DeleteFileW(install.Path(L"veltmora-params.txt").c_str());
  Stage(L"client-data.zip");
  Launch();
  EXPECT_EQ(WaitForSingleObject(client.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(Read(L"client.dat"), "new client data\n");
  EXPECT_EQ(Temporaries(install.path()), std::vector<std::wstring>{});
}

}  // namespace
