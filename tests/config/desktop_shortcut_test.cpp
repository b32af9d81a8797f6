// The shortcut refresh against Wine's own shell link object and real .lnk files on the
// prefix's all-users desktop; every link the code writes is read back through IShellLinkW.
#include "config/desktop_shortcut.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/text.h"
#include "platform/win32/resources.h"
#include "tests/config/link_files.h"

namespace {

using linktest::Backdate;
using linktest::Bytes;
using linktest::Exists;
using linktest::FolderPath;
using linktest::LinkInfo;
using linktest::ReadLink;
using linktest::Touch;
using linktest::WrittenSinceBackdate;
using platform::win32::ScopedCoInitialize;

std::string ToNarrow(const std::wstring& text) {
  std::string out;
  platform::WideToNarrow(text, platform::CodePage::kUtf8, out);
  return out;
}

void MakeLink(const std::wstring& path, const LinkInfo& info) {
  ASSERT_TRUE(linktest::WriteLink(path, info)) << ToNarrow(path);
}

class DesktopShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    desktop_ = FolderPath(CSIDL_COMMON_DESKTOPDIRECTORY);
    ASSERT_FALSE(desktop_.empty());
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    scratch_ = std::wstring(temp) + L"cfg-shortcut-" + Wide(info->name());
    RemoveTree(scratch_);
    for (const wchar_t* folder : {L"", L"\\install", L"\\old", L"\\other"}) {
      CreateDirectoryW((scratch_ + folder).c_str(), nullptr);
    }
    launcher_ = scratch_ + L"\\install\\launcher.exe";
    icon_ = scratch_ + L"\\install\\Veltmora.ico";
    oldLauncher_ = scratch_ + L"\\old\\launcher.exe";
    other_ = scratch_ + L"\\other\\other.exe";
    oldIcon_ = scratch_ + L"\\old\\old.ico";
    for (const std::wstring& file : {launcher_, icon_, oldLauncher_, other_, oldIcon_}) {
      Touch(file);
    }
    RemoveTestLinks();
  }

  void TearDown() override {
    RemoveTestLinks();
    RemoveTree(scratch_);
  }

  static std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

  static void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    platform::win32::UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return RemoveDirectoryW(folder.c_str()), void();
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find.get(), &found));
    find.reset();
    RemoveDirectoryW(folder.c_str());
  }

  // Every link these tests make on the shared desktop starts with "CfgTest".
  void RemoveTestLinks() const {
    WIN32_FIND_DATAW found;
    platform::win32::UniqueFindHandle find(
        FindFirstFileW((L"\\\\?\\" + desktop_ + L"\\CfgTest*").c_str(), &found));
    if (!find) return;
    do {
      DeleteFileW((L"\\\\?\\" + desktop_ + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(find.get(), &found));
  }

  int CountTestLinks() const {
    int count = 0;
    WIN32_FIND_DATAW found;
    platform::win32::UniqueFindHandle find(
        FindFirstFileW((L"\\\\?\\" + desktop_ + L"\\CfgTest*").c_str(), &found));
    if (!find) return 0;
    do {
      ++count;
    } while (FindNextFileW(find.get(), &found));
    return count;
  }

  std::wstring Link(const std::wstring& name) const { return desktop_ + L"\\" + name + L".lnk"; }

  // The source links: the old one's arguments tell its copy from a refreshed new link.
  LinkInfo OldLink(const std::wstring& target) const {
    return {target, L"--from-old", scratch_ + L"\\old", L"old description", oldIcon_, 3};
  }
  LinkInfo StaleNewLink() const {
    return {other_, L"--from-new", scratch_ + L"\\other", L"stale", oldIcon_, 5};
  }

  int Update(const wchar_t* current, const wchar_t* newName, const wchar_t* icon = nullptr) {
    return UpdateDesktopShortcut(current, newName, launcher_.c_str(), L"Veltmora",
                                 icon != nullptr ? icon : icon_.c_str(),
                                 (scratch_ + L"\\install").c_str());
  }

  // A link refreshed by the call: ours in every field the call sets, `arguments` kept.
  void ExpectRefreshed(const std::wstring& path, const std::wstring& arguments) const {
    SCOPED_TRACE(path);
    const std::optional<LinkInfo> info = ReadLink(path);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->target, launcher_);
    EXPECT_EQ(info->workingDirectory, scratch_ + L"\\install");
    EXPECT_EQ(info->description, L"Veltmora");
    EXPECT_EQ(info->icon, icon_);
    EXPECT_EQ(info->iconIndex, 0);
    EXPECT_EQ(info->arguments, arguments);
  }

  ScopedCoInitialize com_;
  std::wstring desktop_, scratch_, launcher_, icon_, oldLauncher_, other_, oldIcon_;
};

TEST_F(DesktopShortcutTest, EveryCombinationOfOldLinkNewNameAndNewLink) {
  enum OldKind { kNoOld, kOldToOther, kOldToLauncherName, kOldToLauncherOtherCase };
  enum NewName { kNoNewName, kSameOtherCase, kDifferent };
  enum After { kAbsent, kUntouched, kRefreshedFromOld, kRefreshedFromNew };
  struct Row {
    const char* fault;
    OldKind old;
    NewName newName;
    bool newLink;
    int result;
    After oldAfter;
    After newAfter;
  };
  const Row rows[] = {
      {"creates a link from nothing", kNoOld, kNoNewName, false, -3, kAbsent, kAbsent},
      {"creates the new link from nothing", kNoOld, kDifferent, false, -3, kAbsent, kAbsent},
      {"ignores a link that already has the new name", kNoOld, kDifferent, true, 1, kAbsent,
       kRefreshedFromNew},
      {"fails to refresh the link in place", kOldToOther, kNoNewName, false, 1, kRefreshedFromOld,
       kAbsent},
      {"deletes the link it just saved when names differ only in case", kOldToLauncherName,
       kSameOtherCase, true, 1, kRefreshedFromOld, kRefreshedFromOld},
      {"removes a link to another program", kOldToOther, kDifferent, false, 1, kUntouched,
       kRefreshedFromOld},
      {"keeps the stale new link, or removes a foreign old one", kOldToOther, kDifferent, true, 1,
       kUntouched, kRefreshedFromOld},
      {"keeps our old link after the rename", kOldToLauncherName, kDifferent, false, 1, kAbsent,
       kRefreshedFromOld},
      {"compares target names case-sensitively", kOldToLauncherOtherCase, kDifferent, true, 1,
       kAbsent, kRefreshedFromOld},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    RemoveTestLinks();
    const std::wstring current = L"CfgTest product";
    const std::wstring newName = row.newName == kSameOtherCase ? L"CFGTEST PRODUCT"
                                 : row.newName == kDifferent   ? L"CfgTest renamed"
                                                               : L"";
    std::optional<LinkInfo> oldBefore;
    if (row.old != kNoOld) {
      const std::wstring target = row.old == kOldToOther ? other_
                                  : row.old == kOldToLauncherOtherCase
                                      ? scratch_ + L"\\old\\LAUNCHER.EXE"
                                      : oldLauncher_;
      MakeLink(Link(current), OldLink(target));
      oldBefore = ReadLink(Link(current));
    }
    if (row.newLink && row.newName == kDifferent) MakeLink(Link(newName), StaleNewLink());

    EXPECT_EQ(Update(current.c_str(), newName.empty() ? nullptr : newName.c_str()), row.result);

    const auto check = [&](const std::wstring& path, After after) {
      switch (after) {
        case kAbsent:
          EXPECT_FALSE(Exists(path)) << "still there: " << ToNarrow(path);
          break;
        case kUntouched: {
          const std::optional<LinkInfo> now = ReadLink(path);
          ASSERT_TRUE(now.has_value());
          EXPECT_EQ(now->target, oldBefore->target);
          EXPECT_EQ(now->description, oldBefore->description);
          break;
        }
        case kRefreshedFromOld:
          ExpectRefreshed(path, L"--from-old");
          break;
        case kRefreshedFromNew:
          ExpectRefreshed(path, L"--from-new");
          break;
      }
    };
    check(Link(current), row.oldAfter);
    if (row.newName == kDifferent) check(Link(newName), row.newAfter);
    if (row.newName == kNoNewName || row.result == -3) {
      // Nothing but the old link (if any) may be on the desktop.
      EXPECT_EQ(CountTestLinks(), row.oldAfter == kAbsent ? 0 : 1);
    }
  }
}

// A link that already holds what the refresh would give it is not written again (last-write
// time and bytes stay); any field that differs, or a rename, writes it as before.
TEST_F(DesktopShortcutTest, UpToDateLinkIsNotRewritten) {
  const LinkInfo ours{launcher_, L"--from-old", scratch_ + L"\\install", L"Veltmora", icon_, 0};
  const auto with = [&](std::wstring LinkInfo::*field, const std::wstring& value) {
    LinkInfo info = ours;
    info.*field = value;
    return info;
  };
  LinkInfo otherIndex = ours;
  otherIndex.iconIndex = 1;
  const std::wstring missingIcon = scratch_ + L"\\install\\missing.ico";
  struct Row {
    const char* fault;
    LinkInfo link;  // under "CfgTest product", or under `newName` when `underNewName`
    const wchar_t* newName;
    bool underNewName;
    const wchar_t* icon;  // null: the icon file that exists
    bool written;
  };
  const Row rows[] = {
      {"rewrites a link that holds everything", ours, nullptr, false, nullptr, false},
      {"rewrites it when the new name differs only in case", ours, L"CFGTEST PRODUCT", false,
       nullptr, false},
      {"rewrites the up-to-date new link read in place", ours, L"CfgTest renamed", true, nullptr,
       false},
      {"rewrites it for a missing icon file, which keeps the icon", ours, nullptr, false,
       missingIcon.c_str(), false},
      {"skips a target that differs", with(&LinkInfo::target, other_), nullptr, false, nullptr,
       true},
      {"skips a working folder that differs", with(&LinkInfo::workingDirectory, scratch_), nullptr,
       false, nullptr, true},
      {"skips a description that differs", with(&LinkInfo::description, L"Veltmora2"), nullptr,
       false, nullptr, true},
      {"skips an icon location that differs", with(&LinkInfo::icon, oldIcon_), nullptr, false,
       nullptr, true},
      {"skips an icon index that differs", otherIndex, nullptr, false, nullptr, true},
      {"skips the rename", ours, L"CfgTest renamed", false, nullptr, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    RemoveTestLinks();
    const std::wstring path = Link(row.underNewName ? row.newName : L"CfgTest product");
    MakeLink(path, row.link);
    ASSERT_TRUE(Backdate(path));
    const std::string before = Bytes(path);

    EXPECT_EQ(Update(L"CfgTest product", row.newName, row.icon), 1);

    const std::wstring saved = row.newName != nullptr ? Link(row.newName) : path;
    EXPECT_EQ(WrittenSinceBackdate(saved), row.written);
    if (!row.written) {
      EXPECT_EQ(Bytes(path), before);
    }
    ExpectRefreshed(saved, L"--from-old");
  }

  // The link the refresh itself wrote is up to date for the next launch.
  RemoveTestLinks();
  const std::wstring path = Link(L"CfgTest product");
  MakeLink(path, OldLink(other_));
  ASSERT_EQ(Update(L"CfgTest product", nullptr), 1);
  const std::string refreshed = Bytes(path);
  ASSERT_TRUE(Backdate(path));
  EXPECT_EQ(Update(L"CfgTest product", nullptr), 1);
  EXPECT_FALSE(WrittenSinceBackdate(path));
  EXPECT_EQ(Bytes(path), refreshed);
}

TEST_F(DesktopShortcutTest, NullCurrentNameLeavesTheNewLinkAlone) {
  MakeLink(Link(L"CfgTest renamed"), StaleNewLink());
  const std::string before = Bytes(Link(L"CfgTest renamed"));
  EXPECT_EQ(Update(nullptr, L"CfgTest renamed"), -1);
  EXPECT_EQ(Bytes(Link(L"CfgTest renamed")), before);
}

TEST_F(DesktopShortcutTest, IconKeptWhenTheIconFileIsMissing) {
  const std::wstring missing = scratch_ + L"\\install\\missing.ico";
  const struct {
    const char* fault;
    const wchar_t* icon;
    std::wstring wantIcon;
    int wantIndex;
  } cases[] = {
      {"points the link at an icon that is not there", missing.c_str(), oldIcon_, 3},
      {"loses the icon when none is given", L"", oldIcon_, 3},
      {"ignores an icon file that exists", icon_.c_str(), icon_, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    MakeLink(Link(L"CfgTest icon"), OldLink(other_));
    EXPECT_EQ(Update(L"CfgTest icon", nullptr, c.icon), 1);
    const std::optional<LinkInfo> info = ReadLink(Link(L"CfgTest icon"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->icon, c.wantIcon);
    EXPECT_EQ(info->iconIndex, c.wantIndex);
    EXPECT_EQ(info->target, launcher_);
  }
}

// Only the all-users desktop is searched. The user's desktop is moved into the scratch folder
// for the test: in a Wine prefix it is often the Linux home folder itself.
TEST_F(DesktopShortcutTest, LinkOnTheUsersOwnDesktopIsIgnored) {
  const std::wstring userDesktop = scratch_ + L"\\user-desktop";
  CreateDirectoryW(userDesktop.c_str(), nullptr);
  // Wine lacks SHSetFolderPathW; the shell reads the folder from this value.
  platform::win32::UniqueRegKey folders;
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_CURRENT_USER,
                    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                    0, KEY_QUERY_VALUE | KEY_SET_VALUE, folders.receive()),
      ERROR_SUCCESS);
  wchar_t saved[MAX_PATH] = {};
  DWORD savedType = 0;
  DWORD savedSize = sizeof saved - sizeof(wchar_t);
  const bool hadValue =
      RegQueryValueExW(folders.get(), L"Desktop", nullptr, &savedType,
                       reinterpret_cast<BYTE*>(saved), &savedSize) == ERROR_SUCCESS;
  const auto setDesktop = [&](const std::wstring& path) {
    return RegSetValueExW(folders.get(), L"Desktop", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(path.c_str()),
                          static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(setDesktop(userDesktop), ERROR_SUCCESS);
  struct Restore {
    HKEY key;
    bool had;
    DWORD type;
    const wchar_t* value;
    DWORD size;
    ~Restore() {
      if (had) {
        RegSetValueExW(key, L"Desktop", 0, type, reinterpret_cast<const BYTE*>(value), size);
      } else {
        RegDeleteValueW(key, L"Desktop");
      }
    }
  } restore{folders.get(), hadValue, savedType, saved, savedSize};
  ASSERT_EQ(FolderPath(CSIDL_DESKTOPDIRECTORY), userDesktop);

  const std::wstring userLink = userDesktop + L"\\CfgTest mine.lnk";
  MakeLink(userLink, OldLink(oldLauncher_));
  const std::string before = Bytes(userLink);
  EXPECT_EQ(Update(L"CfgTest mine", L"CfgTest renamed"), -3);
  EXPECT_EQ(Bytes(userLink), before);
  EXPECT_EQ(CountTestLinks(), 0);
}

// A link path must fit 259 units; a longer one is never cut to a shorter, different file.
TEST_F(DesktopShortcutTest, LinkPathsThatDoNotFitAreNeverTouched) {
  // desktop + '\' + name + ".lnk": the name that makes exactly 259 and 260 units.
  const std::size_t fitting = 259 - desktop_.size() - 1 - 4;
  ASSERT_GT(fitting, 20u);
  const std::wstring fits = L"CfgTest" + std::wstring(fitting - 7, L'f');
  const std::wstring tooLong = L"CfgTest" + std::wstring(fitting + 1 - 7, L'l');
  const std::wstring longPath = L"\\\\?\\" + desktop_ + L"\\" + tooLong + L".lnk";

  // 259 units: still an ordinary link.
  MakeLink(Link(fits), OldLink(other_));
  EXPECT_EQ(Update(fits.c_str(), nullptr), 1);
  ExpectRefreshed(Link(fits), L"--from-old");

  // 260 units under the current name: as if absent; the file is neither read nor written.
  MakeLink(longPath, OldLink(oldLauncher_));
  const std::string before = Bytes(longPath);
  EXPECT_EQ(Update(tooLong.c_str(), nullptr), -3);
  EXPECT_EQ(Update(tooLong.c_str(), L"CfgTest renamed"), -3);
  EXPECT_EQ(Bytes(longPath), before);
  EXPECT_FALSE(Exists(Link(L"CfgTest renamed")));

  // 260 units under the new name: no rename; the old link is refreshed where it is and kept.
  DeleteFileW(longPath.c_str());
  MakeLink(Link(L"CfgTest product"), OldLink(oldLauncher_));
  EXPECT_EQ(Update(L"CfgTest product", tooLong.c_str()), 1);
  ExpectRefreshed(Link(L"CfgTest product"), L"--from-old");
  EXPECT_FALSE(Exists(longPath));
}

// A name is one file on the desktop: a separator or drive in it must not reach another folder.
TEST_F(DesktopShortcutTest, NamesThatLeaveTheDesktopAreRefused) {
  const std::wstring outside = desktop_ + L"\\..\\CfgTest outside.lnk";
  MakeLink(outside, OldLink(oldLauncher_));
  const std::string before = Bytes(outside);
  const wchar_t* const currentNames[] = {
      L"..\\CfgTest outside",  // backslash climbs out of the desktop
      L"../CfgTest outside",   // so does a forward slash
  };
  for (const wchar_t* name : currentNames) {
    SCOPED_TRACE(ToNarrow(name));
    EXPECT_EQ(Update(name, L"CfgTest renamed"), -3);
    EXPECT_EQ(Bytes(outside), before);
  }
  DeleteFileW(outside.c_str());

  // A new name with a separator: no rename, so nothing is written or deleted elsewhere.
  MakeLink(Link(L"CfgTest product"), OldLink(oldLauncher_));
  EXPECT_EQ(Update(L"CfgTest product", L"..\\CfgTest outside"), 1);
  EXPECT_FALSE(Exists(outside));
  ExpectRefreshed(Link(L"CfgTest product"), L"--from-old");
  EXPECT_EQ(CountTestLinks(), 1);
}

// A file under the link's name that does not load as a link is left as it is.
TEST_F(DesktopShortcutTest, UnreadableLinkIsNeverOverwritten) {
  Touch(Link(L"CfgTest broken"), "not a shell link");
  EXPECT_EQ(Update(L"CfgTest broken", nullptr), 0);
  EXPECT_EQ(Update(L"CfgTest broken", L"CfgTest renamed"), 0);
  EXPECT_EQ(Bytes(Link(L"CfgTest broken")), "not a shell link");
  EXPECT_FALSE(Exists(Link(L"CfgTest renamed")));

  // The same for a broken link under the new name, read when the old one is missing.
  EXPECT_EQ(Update(L"CfgTest missing", L"CfgTest broken"), 0);
  EXPECT_EQ(Bytes(Link(L"CfgTest broken")), "not a shell link");
}

}  // namespace

// A rename whose new name reaches the same file must not delete the old name: that would
// delete the link just saved.
TEST_F(DesktopShortcutTest, OldLinkKeptWhenTheNewNameIsTheSameFile) {
  const std::wstring current = L"CfgTest \u00c4rger product";
  MakeLink(Link(current), OldLink(oldLauncher_));
  wchar_t shortPath[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameW(Link(current).c_str(), shortPath, MAX_PATH), 0u);
  std::wstring alias = std::wstring(shortPath).substr(std::wstring(shortPath).rfind(L'\\') + 1);
  alias.resize(alias.size() - 4);  // ".LNK"

  const struct {
    const char* fault;
    std::wstring newName;
  } cases[] = {
      {"folds only ASCII letters when comparing names", L"CfgTest \u00e4RGER PRODUCT"},
      {"trusts differing names to be different files", alias},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    MakeLink(Link(current), OldLink(oldLauncher_));
    EXPECT_EQ(Update(current.c_str(), c.newName.c_str()), 1);
    EXPECT_TRUE(Exists(Link(current)));
    ExpectRefreshed(Link(c.newName), L"--from-old");
  }
}

// A failed save leaves the old link in place.
TEST_F(DesktopShortcutTest, FailedSaveKeepsTheOldLink) {
  MakeLink(Link(L"CfgTest product"), OldLink(oldLauncher_));
  const std::string before = Bytes(Link(L"CfgTest product"));
  // A folder under the new link's name: it exists, and nothing can be saved over it.
  ASSERT_TRUE(CreateDirectoryW(Link(L"CfgTest renamed").c_str(), nullptr));
  EXPECT_EQ(Update(L"CfgTest product", L"CfgTest renamed"), 1);
  RemoveDirectoryW(Link(L"CfgTest renamed").c_str());
  EXPECT_EQ(Bytes(Link(L"CfgTest product")), before);
}
