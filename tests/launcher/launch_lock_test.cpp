// The launch lock against the real file system: one holder at a time, a second launch waits
// and then gets it, every spelling of the folder meets the one lock, and the file grants the
// system and the administrators alone.
#include "launcher/launch_lock.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include "tests/e2e/support/launch_harness.h"

namespace launcher {
namespace {

using platform::win32::UniqueHandle;

// What the file's access list grants a SID: the sum of the allowing entries that name it.
ACCESS_MASK Granted(PACL dacl, PSID sid) {
  ACCESS_MASK granted = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), sid)) granted |= allowed->Mask;
  }
  return granted;
}

// A held lock is a file no other program may read: the file's own access list decides
// (nothing inherited from the folder, where users may read), and Wine keeps none on its files,
// so the list is checked as written.
TEST(LaunchLockTest, TheLockFileGrantsTheSystemAndTheAdministratorsAlone) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      kLaunchLockSecurity, SDDL_REVISION_1, &descriptor, nullptr));
  platform::win32::UniqueLocalMem owned(descriptor);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl != nullptr);  // a null list would grant everyone everything
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the folder's entries would be inherited";
  struct Row {
    const wchar_t* sid;
    bool reads;
  } const rows[] = {
      {L"S-1-5-18", true},              // the system
      {L"S-1-5-32-544", true},          // the administrators
      {L"S-1-5-32-545", false},         // the users: could hold every launch off
      {L"S-1-5-11", false},             // authenticated users
      {L"S-1-1-0", false},              // everyone
      {L"S-1-5-21-1-2-3-1001", false},  // the user the launcher was elevated from
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(e2e::ToUtf8(row.sid));
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(row.sid, &sid));
    platform::win32::UniqueLocalMem ownedSid(sid);
    EXPECT_EQ((Granted(dacl, sid) & FILE_READ_DATA) != 0, row.reads);
  }
}

TEST(LaunchLockTest, ASecondLaunchWaitsForTheFirst) {
  e2e::InstallFolder install(/*withClient=*/false);
  e2e::InstallFolder other(/*withClient=*/false);
  std::optional<LaunchLock> first = LaunchLock::Acquire(install.path(), 0);
  ASSERT_EQ(first->state(), LaunchLock::State::kHeld);
  EXPECT_TRUE(install.Exists(L"launch.lock"));
  // The sharing check is the file's: another thread of one process meets it too.
  LaunchLock::State waited = LaunchLock::State::kUnguarded;
  LaunchLock::State elsewhere = LaunchLock::State::kUnguarded;
  std::thread([&] {
    waited = LaunchLock::Acquire(install.path(), 50).state();
    // Another folder's lock is another lock.
    elsewhere = LaunchLock::Acquire(other.path(), 0).state();
  }).join();
  EXPECT_EQ(waited, LaunchLock::State::kTimedOut);
  EXPECT_EQ(elsewhere, LaunchLock::State::kHeld);
  // Let go while a second launch waits: it goes on at once.
  std::thread second([&] { waited = LaunchLock::Acquire(install.path(), 60000).state(); });
  Sleep(50);
  first.reset();
  second.join();
  EXPECT_EQ(waited, LaunchLock::State::kHeld);
  // Left in place: a file deleted on close would linger while anyone held a handle on it.
  EXPECT_TRUE(install.Exists(L"launch.lock"));
  EXPECT_EQ(LaunchLock::Acquire(install.path(), 0).state(), LaunchLock::State::kHeld);
}

// A launch started through a link, a mapped drive or a short name named the folder otherwise,
// and got a lock of its own: two launches installed into one folder at once. Junctions and
// subst drives reach the same file as these do; Wine 8 makes neither (FSCTL_SET_REPARSE_POINT
// fails, and a DefineDosDeviceW drive finds no path), so they are no rows here.
TEST(LaunchLockTest, EverySpellingOfTheFolderMeetsTheOneLock) {
  e2e::InstallFolder install(/*withClient=*/false, L"Install Folder With A Long Name");
  const std::wstring folder = install.path();
  std::optional<LaunchLock> held = LaunchLock::Acquire(folder, 0);
  ASSERT_EQ(held->state(), LaunchLock::State::kHeld);

  wchar_t shortName[MAX_PATH] = {};
  const DWORD shortUnits = GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
  std::wstring lower = folder;
  for (wchar_t& c : lower) c = c == L'\\' ? L'/' : static_cast<wchar_t>(towlower(c));
  struct Row {
    const char* why;
    std::wstring spelling;
  };
  // Each spelling got a lock of its own when the lock was named after the path's text.
  std::vector<Row> rows = {
      {"the \\\\?\\ form", L"\\\\?\\" + folder},
      {"other letter case and forward slashes", lower},
      {"a trailing separator", folder + L"\\"},
      {"through ..", folder + L"\\..\\" + folder.substr(folder.find_last_of(L'\\') + 1)},
  };
  const std::wstring shortFolder(shortName, shortUnits < MAX_PATH ? shortUnits : 0);
  if (!shortFolder.empty() && shortFolder != folder) {
    rows.push_back({"the short (8.3) name", shortFolder});
  } else {
    std::printf("row skipped: no short name for the folder here\n");
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(LaunchLock::Acquire(row.spelling, 0).state(), LaunchLock::State::kTimedOut);
  }
  held.reset();
  EXPECT_EQ(LaunchLock::Acquire(L"\\\\?\\" + folder, 0).state(), LaunchLock::State::kHeld);
}

// Whatever stands at the lock's name that is not the launcher's own plain file is never
// written through: the launch goes on alone.
TEST(LaunchLockTest, ALockNameThatIsNoPlainFileIsNotUsed) {
  struct Row {
    const char* why;
    bool folderThere;
    bool hardLink;
  } const rows[] = {
      {"a folder of that name", true, false},
      // the access list of the other name's file was rewritten
      {"a second name of another file", false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    e2e::InstallFolder install(/*withClient=*/false);
    if (row.folderThere) install.MakeFolder(L"launch.lock");
    if (row.hardLink) {
      install.WriteFile(L"other.txt", "other");
      if (!CreateHardLinkW(install.Path(L"launch.lock").c_str(), install.Path(L"other.txt").c_str(),
                           nullptr)) {
        std::printf("row skipped: no hard links here (error %lu)\n", GetLastError());
        continue;
      }
    }
    EXPECT_EQ(LaunchLock::Acquire(install.path(), 0).state(), LaunchLock::State::kUnguarded);
    if (row.hardLink) {
      EXPECT_EQ(install.ReadFile(L"other.txt").value_or("<gone>"), "other");
    }
  }
}

}  // namespace
}  // namespace launcher
