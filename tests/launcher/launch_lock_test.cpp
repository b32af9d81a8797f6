// The launch lock against the real file system: one holder at a time, a second launch waits
// and then gets it, every spelling of the folder meets the one lock, and the file grants the
// system and the administrators alone.
#include "launcher/launch_lock.h"

#include <windows.h>
#include <sddl.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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

// Makes `link` a junction (mount point) to `target`. False where the system makes none.
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  UniqueHandle folder(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
  if (!folder) return false;
  const std::wstring substitute = L"\\??\\" + target;
  const std::size_t substituteBytes = (substitute.size() + 1) * sizeof(wchar_t);
  const std::size_t printBytes = (target.size() + 1) * sizeof(wchar_t);
  // Tag, data length, reserved; then the four offsets and lengths and the two names.
  std::vector<BYTE> data(8 + 8 + substituteBytes + printBytes);
  auto put16 = [&](std::size_t at, std::size_t value) {
    const auto v = static_cast<USHORT>(value);
    std::memcpy(&data[at], &v, sizeof v);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&data[0], &tag, sizeof tag);
  put16(4, data.size() - 8);
  put16(8, 0);
  put16(10, substituteBytes - sizeof(wchar_t));
  put16(12, substituteBytes);
  put16(14, printBytes - sizeof(wchar_t));
  std::memcpy(&data[16], substitute.c_str(), substituteBytes);
  std::memcpy(&data[16 + substituteBytes], target.c_str(), printBytes);
  DWORD returned = 0;
  return DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, data.data(),
                         static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr) &&
         (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A launch started through a link, a mapped drive or a short name named the folder otherwise,
// and got a lock of its own: two launches installed into one folder at once.
TEST(LaunchLockTest, EverySpellingOfTheFolderMeetsTheOneLock) {
  e2e::InstallFolder install(/*withClient=*/false, L"Install Folder With A Long Name");
  const std::wstring folder = install.path();
  std::optional<LaunchLock> held = LaunchLock::Acquire(folder, 0);
  ASSERT_EQ(held->state(), LaunchLock::State::kHeld);

  wchar_t shortName[MAX_PATH] = {};
  const DWORD shortUnits = GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
  std::wstring lower = folder;
  for (wchar_t& c : lower) c = c == L'\\' ? L'/' : static_cast<wchar_t>(towlower(c));
  const std::wstring parent = folder.substr(0, folder.find_last_of(L'\\'));
  const std::wstring junction = parent + L"\\junction";
  const bool junctionMade = MakeJunction(junction, folder);
  wchar_t drive[] = L"Q:";
  for (;
       drive[0] > L'K' && GetDriveTypeW((std::wstring(drive) + L"\\").c_str()) != DRIVE_NO_ROOT_DIR;
       --drive[0]) {
  }
  const bool substMade =
      DefineDosDeviceW(0, drive, folder.c_str()) &&
      GetFileAttributesW((std::wstring(drive) + L"\\").c_str()) != INVALID_FILE_ATTRIBUTES;
  struct Row {
    const char* why;
    std::wstring spelling;
    bool available;
    const char* unavailable;  // why this system cannot make the spelling
  } const rows[] = {
      {"the \\\\?\\ form", L"\\\\?\\" + folder, true, nullptr},
      {"other letter case and forward slashes", lower, true, nullptr},
      {"a trailing separator", folder + L"\\", true, nullptr},
      {"through .. ", folder + L"\\..\\" + folder.substr(folder.find_last_of(L'\\') + 1), true,
       nullptr},
      {"the short (8.3) name", std::wstring(shortName, shortUnits),
       shortUnits > 0 && std::wstring(shortName, shortUnits) != folder,
       "no short name for the folder"},
      // Wine 8: FSCTL_SET_REPARSE_POINT fails and the folder stays a plain one.
      {"a junction", junction, junctionMade, "no junctions"},
      // Wine 8: DefineDosDeviceW succeeds, and the drive then finds no path.
      {"a subst drive", drive, substMade, "no subst drives"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    if (!row.available) {
      std::printf("row \"%s\" skipped: this system makes %s\n", row.why, row.unavailable);
      continue;
    }
    EXPECT_EQ(LaunchLock::Acquire(row.spelling, 0).state(), LaunchLock::State::kTimedOut);
  }
  if (substMade) DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive, folder.c_str());
  if (junctionMade) RemoveDirectoryW(junction.c_str());
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
