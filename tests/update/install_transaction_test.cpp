// The install transaction over a scratch install folder: bad packages leave the old version,
// stops at every step are finished or undone from the journal alone, and files the journal
// does not name are never touched. Runs natively and under Wine.
#include "update/install_transaction.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "tests/zip/test_support.h"
#include "tests/zip/zip_builder.h"
#include "update/journal.h"

namespace {

using namespace std::string_literals;
using namespace ziptest;
using update::FaultAction;
using update::InstallResult;
using update::RecoveryResult;
using update::Step;

struct FileState {
  bool folder = false;
  std::string bytes;
  std::uint32_t attributes = 0;
  platform::FileTime modification = 0;
  bool operator==(const FileState& o) const {
    return folder == o.folder && bytes == o.bytes && attributes == o.attributes &&
           modification == o.modification;
  }
};
using Snapshot = std::map<std::string, FileState>;

std::string Describe(const Snapshot& s) {
  std::string out;
  for (const auto& [name, state] : s) {
    out += name + (state.folder ? "/" : " = " + state.bytes.substr(0, 20)) + "\n";
  }
  return out;
}

Entry File(std::string name, std::string data) {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  return e;
}

Entry ReadOnly(std::string name, std::string data) {
  Entry e = File(std::move(name), std::move(data));
  e.external = 0100444u << 16;
  return e;
}

Entry Folder(std::string name) {
  Entry e = File(std::move(name), "");
  e.method = 0;
  e.external = 040755u << 16;
  return e;
}

// 2019-05-01 12:00:00 UTC: the old version's files carry fixed times, so two copies of it
// made at different moments compare equal.
constexpr platform::FileTime kOldTime = 132011280000000000u;

class InstallTransactionTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    MakeOldVersion(root());
  }

  fs::path root() const { return scratch_ / "root"; }

  static void Put(const fs::path& dir, const std::string& name, const std::string& bytes,
                  std::uint32_t attributes = 0) {
    platform::File f = platform::File::Create(W(dir / fs::u8path(name)), attributes);
    ASSERT_TRUE(f && f.Write(bytes.data(), bytes.size()));
    ASSERT_TRUE(f.SetTimes(platform::FileTimes{kOldTime, kOldTime, kOldTime}) && f.Close());
  }
  void Put(const std::string& name, const std::string& bytes) { Put(root(), name, bytes); }

  // Removes `dir` whole, read-only files included.
  static void Wipe(const fs::path& dir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(dir, ec);
  }

  static void MakeOldVersion(const fs::path& dir) {
    Wipe(dir);
    fs::create_directories(dir / "data");
    fs::create_directories(dir / "empty");
    Put(dir, "app.dll", "old app");
    Put(dir, "client.exe", "old client");
    Put(dir, "data/a.txt", "old a");
    Put(dir, "keep.txt", "not in the package");
    Put(dir, "locked.cfg", "old locked", platform::kAttrReadOnly);
  }

  static Snapshot Take(const fs::path& dir) {
    Snapshot s;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      const std::string rel = fs::relative(entry.path(), dir).generic_u8string();
      FileState state;
      platform::FileInfo info;
      EXPECT_TRUE(platform::GetFileInfo(W(entry.path()), info)) << rel;
      state.folder = (info.attributes & platform::kAttrFolder) != 0;
      state.attributes = info.attributes & platform::kAttrReadOnly;
      if (!state.folder) {
        state.bytes = ReadBytes(entry.path());
        state.modification = info.modification;
      }
      s[rel] = state;
    }
    return s;
  }
  Snapshot Take() const { return Take(root()); }

  // A package that replaces, adds, makes folders and holds a read-only file, so a partial
  // install shows as a mix.
  static Archive Typical() {
    Archive a;
    a.entries = {File("app.dll", "new app"),
                 File("client.exe", "new client"),
                 Folder("logs/"),
                 File("data/a.txt", "new a"),
                 File("data/deep/b.txt", "new b"),
                 ReadOnly("locked.cfg", "new locked"),
                 File("plugins/p.dll", "new p")};
    return a;
  }

  platform::WString Package(const Archive& a, const char* name = "update.zip") {
    const fs::path p = scratch_ / name;
    EXPECT_TRUE(WriteBytes(p, Build(a)));
    return W(p);
  }

  update::InstallOutcome Install(const Archive& a, update::FaultHook fault = nullptr,
                                 const fs::path& dir = {}) {
    update::InstallOptions options;
    options.fault = std::move(fault);
    options.report = [this](const update::ItemReport& r) { reports.push_back(r.result); };
    return update::InstallPackage(Package(a), W(dir.empty() ? root() : dir), options);
  }

  // What a clean install of `a` over a copy of the old version gives.
  Snapshot NewVersion(const Archive& a) {
    const fs::path copy = scratch_ / "copy";
    MakeOldVersion(copy);
    EXPECT_EQ(Install(a, nullptr, copy).result, InstallResult::kInstalled);
    reports.clear();
    return Take(copy);
  }

  std::vector<std::uint32_t> reports;
};

// Every row is a package or a folder state that must leave the old version byte for byte,
// with no temporary, no journal and no folder of the install's left behind.
struct BadPackage {
  const char* why;
  std::function<void(Archive&)> spoil;
  update::FaultHook fault;
};

TEST_F(InstallTransactionTest, ABadPackageLeavesTheOldVersion) {
  auto at = [](Step step, std::uint32_t entry) -> update::FaultHook {
    return [step, entry](Step s, std::uint32_t e) {
      return s == step && e == entry ? FaultAction::kFail : FaultAction::kGoOn;
    };
  };
  const BadPackage cases[] = {
      // a corrupt last item after every other one was good: items 1 to n-1 must not stay
      {"CRC mismatch in the last item", [](Archive& a) { a.entries.back().crc = 1; }, nullptr},
      {"data cut short in the middle", [](Archive& a) { a.entries[3].keepData = 2; }, nullptr},
      {"unknown method", [](Archive& a) { a.entries[4].localMethod = 12; }, nullptr},
      {"encrypted item", [](Archive& a) { a.entries[1].password = "x"; }, nullptr},
      // a file item where the install folder has a folder
      {"file over a folder", [](Archive& a) { a.entries.push_back(File("empty", "x")); }, nullptr},
      // a folder item where the install folder has a file
      {"folder over a file", [](Archive& a) { a.entries.push_back(Folder("keep.txt/")); }, nullptr},
      {"file under a file", [](Archive& a) { a.entries.push_back(File("keep.txt/x", "x")); },
       nullptr},
      // failures in the commit, after some renames: each must be undone
      {"second old file cannot be set aside", nullptr, at(Step::kSetAside, 1)},
      {"last new file cannot be put in place", nullptr, at(Step::kReplaced, 4)},
      {"staging write fails", nullptr, at(Step::kStaged, 5)},
      {"commit record cannot be written", nullptr, at(Step::kCommitBegun, 0)},
  };
  for (const BadPackage& c : cases) {
    SCOPED_TRACE(c.why);
    const Snapshot before = Take();
    Archive a = Typical();
    if (c.spoil) c.spoil(a);
    const update::InstallOutcome o = Install(a, c.fault);
    EXPECT_EQ(o.result, InstallResult::kRolledBack);
    EXPECT_FALSE(o.rollbackIncomplete);
    const Snapshot after = Take();
    EXPECT_EQ(after, before) << "before:\n" << Describe(before) << "after:\n" << Describe(after);
  }
}

TEST_F(InstallTransactionTest, ACleanInstallLeavesExactlyTheNewFiles) {
  Archive a = Typical();
  a.entries.push_back(File("app.dll", "newer app"));  // a duplicate name: the later one wins
  a.entries.push_back(File("../outside.txt", "x"));   // refused, skipped, not a failure
  a.entries.push_back(File("update.journal", "x"));   // the install's own names are kept
  a.entries.push_back(File("UPDATE.ZIP", "x"));
  const update::InstallOutcome o = Install(a);
  ASSERT_EQ(o.result, InstallResult::kInstalled);
  EXPECT_EQ(o.skipped, 3u);
  EXPECT_EQ(reports.size(), 3u);
  const Snapshot s = Take();
  std::vector<std::string> names;
  for (const auto& [name, state] : s) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"app.dll", "client.exe", "data", "data/a.txt",
                                             "data/deep", "data/deep/b.txt", "empty", "keep.txt",
                                             "locked.cfg", "logs", "plugins", "plugins/p.dll"}));
  EXPECT_EQ(s.at("app.dll").bytes, "newer app");
  EXPECT_EQ(s.at("locked.cfg").bytes, "new locked");
  EXPECT_EQ(s.at("locked.cfg").attributes, platform::kAttrReadOnly);
  EXPECT_FALSE(fs::exists(scratch_ / "outside.txt"));

  // Into a folder the install makes itself (pkgtool's DEST), with a folder item after the
  // file that made its folder, as some tools order them.
  Archive fresh;
  fresh.entries = {File("q/x.txt", "x"), File("r/y.txt", "y"), Folder("q/"), File("top.txt", "t")};
  EXPECT_EQ(Install(fresh, nullptr, scratch_ / "fresh").result, InstallResult::kInstalled);
  EXPECT_EQ(ReadBytes(scratch_ / "fresh" / "q" / "x.txt"), "x");
}

// Files named like the temporaries of some install are the user's: only what the journal of
// this install names is ever renamed or deleted.
TEST_F(InstallTransactionTest, FilesNamedLikeTemporariesAreOrdinaryFiles) {
  struct Case {
    const char* why;
    std::vector<std::pair<std::string, std::string>> present;
    std::vector<Entry> items;
    InstallResult result;
    std::map<std::string, std::string> expected;
  } const cases[] = {
      // a stale old copy beside the current file must not come back when an item fails
      {"stale aside beside a failing item",
       {{"foo.dll", "v2"}, {"foo.dll.old~", "v1"}},
       {[] {
         Entry e = File("foo.dll", "v3");
         e.crc = 7;
         return e;
       }()},
       InstallResult::kRolledBack,
       {{"foo.dll", "v2"}, {"foo.dll.old~", "v1"}}},
      // a successful install must not delete a file of the same shape it never named
      {"unrelated aside-shaped file",
       {{"notes.txt.old~", "mine"}},
       {File("app.dll", "new app")},
       InstallResult::kInstalled,
       {{"notes.txt.old~", "mine"}, {"app.dll", "new app"}}},
      // an item named like an aside, then a failing item of that name: the user's file stays
      {"package item named like an aside",
       {{"bar.txt", "user's bar"}},
       {File("bar.txt.old~", "package bytes"),
        [] {
          Entry e = File("bar.txt", "new bar");
          e.keepData = 1;
          return e;
        }()},
       InstallResult::kRolledBack,
       {{"bar.txt", "user's bar"}}},
      {"package item named like a staged file",
       {{"baz.txt", "user's baz"}},
       {File("baz.txt.new~00000000", "package bytes"), File("baz.txt", "new baz")},
       InstallResult::kInstalled,
       {{"baz.txt", "new baz"}, {"baz.txt.new~00000000", "package bytes"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Wipe(root());
    fs::create_directories(root());
    for (const auto& [name, bytes] : c.present) Put(name, bytes);
    Archive a;
    a.entries = c.items;
    EXPECT_EQ(Install(a).result, c.result);
    std::map<std::string, std::string> found;
    for (const auto& [name, state] : Take()) found[name] = state.bytes;
    EXPECT_EQ(found, c.expected);
  }
}

// A launch stopped at any step: the next one, with no package or another one, finishes or
// undoes it from the journal alone, file for file.
TEST_F(InstallTransactionTest, AStopAtAnyStepIsFinishedOrUndoneByTheNextLaunch) {
  const Archive a = Typical();
  const Snapshot old = Take();
  const Snapshot installed = NewVersion(a);
  struct Stop {
    Step step;
    std::uint32_t entry;
    bool becomesNew;  // the commit had begun: rolled forward
  } const stops[] = {
      {Step::kJournalMade, 0, false}, {Step::kStaged, 0, false},     {Step::kStaged, 4, false},
      {Step::kStaged, 6, false},      {Step::kCommitBegun, 0, true}, {Step::kSetAside, 0, true},
      {Step::kReplaced, 0, true},     {Step::kSetAside, 4, true},    {Step::kReplaced, 4, true},
      {Step::kCommitted, 0, true},    {Step::kDropped, 0, true},     {Step::kDropped, 4, true},
  };
  for (const bool withAnotherPackage : {false, true}) {
    for (const Stop& stop : stops) {
      SCOPED_TRACE(testing::Message() << "step " << static_cast<int>(stop.step) << " entry "
                                      << stop.entry << (withAnotherPackage ? " then another" : ""));
      const update::InstallOutcome stopped = Install(a, [&](Step s, std::uint32_t e) {
        return s == stop.step && e == stop.entry ? FaultAction::kStop : FaultAction::kGoOn;
      });
      ASSERT_EQ(stopped.result, InstallResult::kStopped);
      ASSERT_TRUE(fs::exists(root() / "update.journal"));
      if (withAnotherPackage) {
        Archive other;
        other.entries = {File("other.txt", "other")};
        const update::InstallOutcome o = Install(other);
        EXPECT_EQ(o.recovery.result,
                  stop.becomesNew ? RecoveryResult::kRolledForward : RecoveryResult::kRolledBack);
        EXPECT_EQ(o.result, InstallResult::kInstalled);
        ASSERT_TRUE(fs::remove(root() / "other.txt"));
      } else {
        const update::RecoveryOutcome r = update::RecoverInterruptedInstall(W(root()));
        EXPECT_EQ(r.result,
                  stop.becomesNew ? RecoveryResult::kRolledForward : RecoveryResult::kRolledBack);
      }
      const Snapshot after = Take();
      EXPECT_EQ(after, stop.becomesNew ? installed : old) << Describe(after);
      // Back to the old version for the next row.
      if (stop.becomesNew) MakeOldVersion(root());
    }
  }
}

// A journal longer than the window it is written through: the records behind the window's
// first move are followed like the others.
TEST_F(InstallTransactionTest, AStopLateInALargeInstallIsFinishedOrUndone) {
  Archive a = Typical();
  char name[16];
  for (int i = 0; i < 2500; ++i) {
    std::snprintf(name, sizeof name, "f%04d.txt", i);
    a.entries.push_back(File(name, name));
  }
  const Snapshot old = Take();
  const Snapshot installed = NewVersion(a);
  struct Stop {
    Step step;
    std::uint32_t entry;
    bool becomesNew;
  } const stops[] = {{Step::kStaged, 2400, false}, {Step::kReplaced, 2400, true}};
  for (const Stop& stop : stops) {
    SCOPED_TRACE(testing::Message() << "step " << static_cast<int>(stop.step));
    ASSERT_EQ(Install(a,
                      [&](Step s, std::uint32_t e) {
                        return s == stop.step && e == stop.entry ? FaultAction::kStop
                                                                 : FaultAction::kGoOn;
                      })
                  .result,
              InstallResult::kStopped);
    EXPECT_EQ(update::RecoverInterruptedInstall(W(root())).result,
              stop.becomesNew ? RecoveryResult::kRolledForward : RecoveryResult::kRolledBack);
    EXPECT_EQ(Take(), stop.becomesNew ? installed : old);
    if (stop.becomesNew) MakeOldVersion(root());
  }
}

TEST_F(InstallTransactionTest, ARecoveryStoppedInTurnIsFinishedByTheNextOne) {
  const Archive a = Typical();
  const Snapshot installed = NewVersion(a);
  auto stopAt = [](Step step, std::uint32_t entry) -> update::FaultHook {
    return [step, entry](Step s, std::uint32_t e) {
      return s == step && e == entry ? FaultAction::kStop : FaultAction::kGoOn;
    };
  };
  ASSERT_EQ(Install(a, stopAt(Step::kReplaced, 2)).result, InstallResult::kStopped);
  EXPECT_EQ(update::RecoverInterruptedInstall(W(root()), stopAt(Step::kReplaced, 4)).result,
            RecoveryResult::kStopped);
  EXPECT_EQ(update::RecoverInterruptedInstall(W(root())).result, RecoveryResult::kRolledForward);
  EXPECT_EQ(Take(), installed);
  EXPECT_EQ(update::RecoverInterruptedInstall(W(root())).result, RecoveryResult::kNothing);
}

// A package whose items cannot fit the free space is refused before a byte is written.
TEST_F(InstallTransactionTest, APackageThatCannotFitIsRefusedWhole) {
  Archive a = Typical();
  for (int i = 0; i < 2000; ++i) {
    Entry huge = File("huge" + std::to_string(i), "x");
    huge.size = 0xFFFFFFFFu;  // 8 TB declared in all: more than any disk here has free
    a.entries.push_back(huge);
  }
  const Snapshot before = Take();
  const update::InstallOutcome o = Install(a);
  EXPECT_EQ(o.result, InstallResult::kNoRoom);
  EXPECT_GT(o.needed, o.available);
  EXPECT_EQ(Take(), before);
}

#ifndef _WIN32
// A symbolic link inside the install folder is never followed: the item would land outside.
TEST_F(InstallTransactionTest, ALinkInsideTheFolderIsNeverFollowed) {
  fs::create_directories(scratch_ / "outside");
  fs::create_directory_symlink(scratch_ / "outside", root() / "lnk");
  fs::create_directories(root() / "real");
  fs::create_directory_symlink(scratch_ / "outside", root() / "real" / "deeper");
  for (const char* name : {"lnk/evil.txt", "real/deeper/evil.txt", "real/deeper/more/evil.txt"}) {
    SCOPED_TRACE(name);
    Archive a;
    a.entries = {File("app.dll", "new app"), File(name, "evil")};
    const Snapshot before = Take();
    EXPECT_EQ(Install(a).result, InstallResult::kRolledBack);
    EXPECT_EQ(Take(), before);
    EXPECT_TRUE(fs::is_empty(scratch_ / "outside"));
  }
}
#endif

// Two launchers at once: the second finds the journal held and leaves the folder alone.
TEST_F(InstallTransactionTest, AnInstallThatIsRunningIsNotDisturbed) {
  Put("update.journal", "update journal\t1\t0000abcd\n");
  platform::File held = platform::File::OpenExclusive(W(root() / "update.journal"));
  ASSERT_TRUE(held);
  const Snapshot before = Take();
  const update::InstallOutcome o = Install(Typical());
  EXPECT_EQ(o.result, InstallResult::kBusy);
  EXPECT_EQ(Take(), before);
}

// A journal that is damaged or names anything but its own temporaries is not followed.
TEST_F(InstallTransactionTest, AJournalIsTrustedOnlyAsFarAsItChecks) {
  struct Case {
    const char* why;
    std::string journal;
    RecoveryResult result;
  } const cases[] = {
      {"cut inside the header", "update jour", RecoveryResult::kDiscarded},
      {"empty", "", RecoveryResult::kDiscarded},
      {"temporary name of another file",
       "update journal\t1\t0000abcd\nreplace\tapp.dll\tkeep.txt\tapp.dll.old~0000abcd\n"
       "phase\tcommit\n",
       RecoveryResult::kRolledBack},
      {"name outside the folder",
       "update journal\t1\t0000abcd\nadd\t..\\keep.txt\t..\\keep.txt.new~0000abcd\nphase\tcommit\n",
       RecoveryResult::kRolledBack},
      // a file written under its own name must lie in a folder the journal says it made
      {"own name outside a folder of the install's", "update journal\t1\t0000abcd\nnew\tkeep.txt\n",
       RecoveryResult::kRolledBack},
      // as a stop leaves it: a record cut short, then the zeros the file was extended with
      {"zeros after a cut record",
       "update journal\t1\t0000abcd\nphase\tcommit\nadd\tkeep.t"s + std::string(70000, '\0'),
       RecoveryResult::kRolledForward},
      {"records after the commit",
       "update journal\t1\t0000abcd\nphase\tcommit\nadd\tkeep.txt\t"
       "keep.txt.new~0000abcd\n",
       RecoveryResult::kRolledForward},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const Snapshot before = Take();
    Put("update.journal", c.journal);
    EXPECT_EQ(update::RecoverInterruptedInstall(W(root())).result, c.result);
    EXPECT_EQ(Take(), before);
  }
}

}  // namespace
