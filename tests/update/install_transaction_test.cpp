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

#include "tests/update/fault_injector.h"
#include "tests/update/folder_state.h"
#include "tests/zip/test_support.h"
#include "tests/zip/zip_builder.h"
#include "update/journal.h"
#include "update/pending_update.h"

namespace {

using namespace std::string_literals;
using namespace ziptest;
using update::InstallResult;
using update::RecoveryResult;
using updatetest::Describe;
using updatetest::Snapshot;
using updatetest::Wipe;

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

  Snapshot Take() const { return updatetest::Take(root()); }

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

  update::InstallOutcome Install(const Archive& a, const fs::path& dir = {}) {
    update::InstallOptions options;
    options.report = [this](const update::ItemReport& r) { reports.push_back(r.result); };
    return update::InstallPackage(Package(a), W(dir.empty() ? root() : dir), options);
  }

  // What a clean install of `a` over a copy of the old version gives.
  Snapshot NewVersion(const Archive& a) {
    const fs::path copy = scratch_ / "copy";
    MakeOldVersion(copy);
    EXPECT_EQ(Install(a, copy).result, InstallResult::kInstalled);
    reports.clear();
    return updatetest::Take(copy);
  }

  std::vector<std::uint32_t> reports;
};

// Every row is a package or a folder state that must leave the old version byte for byte,
// with no temporary, no journal and no folder of the install's left behind. Faults of the
// system at every call are the sweep's (install_fault_sweep_test.cpp).
struct BadPackage {
  const char* why;
  std::function<void(Archive&)> spoil;
  bool packageAtFault;     // deleted by the launcher, rather than kept for another try
  const char* cause = "";  // what the outcome line names, as pkgtool check does
};

TEST_F(InstallTransactionTest, ABadPackageLeavesTheOldVersion) {
  const BadPackage cases[] = {
      // a corrupt last item after every other one was good: items 1 to n-1 must not stay
      {"CRC mismatch in the last item", [](Archive& a) { a.entries.back().crc = 1; }, true},
      {"data cut short in the middle", [](Archive& a) { a.entries[3].keepData = 2; }, true},
      {"local header's method unlike the directory's",
       [](Archive& a) { a.entries[4].localMethod = 12; }, true, "unreadable"},
      {"unsupported method", [](Archive& a) { a.entries[4].method = 12; }, true,
       "unsupported method 12"},
      // the data would be read under one name and installed under another
      {"a local header naming another file",
       [](Archive& a) { a.entries[1].localName = "evil__.exe"; }, true,
       "the local header names another file"},
      {"encrypted item", [](Archive& a) { a.entries[1].password = "x"; }, true, "encrypted"},
      // a file item where the old version has a folder, or a folder where it has a file:
      // installing it would lose what the old version keeps there, at every launch again
      {"file over a folder", [](Archive& a) { a.entries.push_back(File("empty", "x")); }, true},
      {"folder over a file", [](Archive& a) { a.entries.push_back(Folder("keep.txt/")); }, true},
      {"file under a file", [](Archive& a) { a.entries.push_back(File("keep.txt/x", "x")); }, true},
      // the package clashes with itself, whatever the folder holds
      {"a file and a folder of one name",
       [](Archive& a) { a.entries.push_back(File("plugins/p.dll/x", "x")); }, true},
      {"a folder and a file of one name, as Windows compares them",
       [](Archive& a) { a.entries.push_back(File("LOGS", "x")); }, true},
#ifdef _WIN32
      // two names NTFS keeps apart that this file system takes for one (Wine folds Georgian
      // Mkhedruli to Mtavruli, as newer Unicode does)
      {"two items one file on this disk",
       [](Archive& a) {
         a.entries.push_back(File("\xe1\x83\x90.txt", "mkhedruli"));
         a.entries.push_back(File("\xe1\xb2\x90.txt", "mtavruli"));
       },
       true, ""},
#endif
  };
  for (const BadPackage& c : cases) {
    SCOPED_TRACE(c.why);
    const Snapshot before = Take();
    Archive a = Typical();
    if (c.spoil) c.spoil(a);
    const update::InstallOutcome o = Install(a);
    EXPECT_EQ(o.result, InstallResult::kRolledBack);
    EXPECT_FALSE(o.rollbackIncomplete);
    EXPECT_EQ(o.packageAtFault, c.packageAtFault);
    EXPECT_NE(o.failedCause.find(c.cause), std::string::npos) << o.failedCause;
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
  // A package cannot name its own release: only the signature checked says which it is.
  a.entries.push_back(File("Update.Sequence", "99\n"));
  // The launcher holds its lock file open without sharing through the install.
  a.entries.push_back(File("launch.LOCK", "x"));
  const update::InstallOutcome o = Install(a);
  ASSERT_EQ(o.result, InstallResult::kInstalled);
  EXPECT_EQ(o.skipped, 5u);
  EXPECT_EQ(reports.size(), 5u);
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
  EXPECT_EQ(Install(fresh, scratch_ / "fresh").result, InstallResult::kInstalled);
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

// A journal of many records, written in more than one piece: a stop late in the staging or
// the commit is undone or finished like one early on.
TEST_F(InstallTransactionTest, AStopLateInALargeInstallIsFinishedOrUndone) {
  Archive a = Typical();
  // Long names, so that 700 records outgrow the journal's first piece of 64 KiB.
  char name[80];
  for (int i = 0; i < 700; ++i) {
    std::snprintf(name, sizeof name, "%s%04d.txt", std::string(60, 'f').c_str(), i);
    a.entries.push_back(File(name, name));
  }
  const Snapshot old = Take();
  const Snapshot installed = NewVersion(a);
  // The calls of a whole install, to stop at the 650th file made and the 650th rename.
  std::vector<platform::FileCall> calls;
  {
    updatetest::FaultInjector counter;
    counter.recordCalls = true;
    ASSERT_EQ(Install(a).result, InstallResult::kInstalled);
    calls = counter.kinds;
  }
  MakeOldVersion(root());
  auto nth = [&](platform::FileCall kind, int n) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i] == kind && --n == 0) return static_cast<std::uint64_t>(i);
    }
    return std::uint64_t{0};
  };
  struct Stop {
    platform::FileCall call;
    bool becomesNew;
  } const stops[] = {{platform::FileCall::kCreateNew, false}, {platform::FileCall::kRename, true}};
  for (const Stop& stop : stops) {
    SCOPED_TRACE(platform::DescribeFileCall(stop.call));
    {
      updatetest::FaultInjector injector({{nth(stop.call, 650), updatetest::Fault::kStop}});
      Install(a);
      ASSERT_TRUE(injector.reached(0));
    }
    EXPECT_EQ(update::RecoverInterruptedInstall(W(root())).result,
              stop.becomesNew ? RecoveryResult::kRolledForward : RecoveryResult::kRolledBack);
    EXPECT_EQ(Take(), stop.becomesNew ? installed : old);
    if (stop.becomesNew) MakeOldVersion(root());
  }
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

// temp\ is the download's: a name there that leads elsewhere (a hard link, a symbolic link) is
// left alone, and so is what it leads to, whether it is the download or a leftover.
TEST_F(InstallTransactionTest, StagingFollowsNoLinkInTemp) {
  const fs::path temp = root() / "temp";
  const fs::path victim = scratch_ / "victim.dll";
  const std::string package = Build(Typical());
  enum class Link { kNone, kHard, kSymbolic, kTempSymbolic };
  struct Case {
    const char* why;
    const char* name;  // the name in the temp folder
    Link link;
    bool staged;
  } const cases[] = {
      {"a plain download", "update.zip", Link::kNone, true},
      // staging or deleting through the link would read or delete the file it names
      {"the download a hard link of another file", "update.zip", Link::kHard, false},
      {"the download a symbolic link to another file", "update.zip", Link::kSymbolic, false},
      // a leftover is deleted at every launch: never through a link
      {"a leftover a hard link of another file", "update.td", Link::kHard, false},
      {"a leftover a symbolic link to another file", "Updater.exe", Link::kSymbolic, false},
      // every name below a linked temp folder leads elsewhere, plain files or not
      {"the temp folder a symbolic link to another", "update.zip", Link::kTempSymbolic, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Wipe(temp);
    fs::remove(root() / "update.zip");
    fs::create_directories(temp);
    ASSERT_TRUE(WriteBytes(victim, package));
    std::error_code ec;
    if (c.link == Link::kNone) {
      ASSERT_TRUE(WriteBytes(temp / c.name, package));
    }
    if (c.link == Link::kHard) fs::create_hard_link(victim, temp / c.name, ec);
    if (c.link == Link::kSymbolic) fs::create_symlink(victim, temp / c.name, ec);
    if (c.link == Link::kTempSymbolic) {
      const fs::path elsewhere = scratch_ / "elsewhere";
      fs::remove_all(temp);
      fs::create_directories(elsewhere);
      ASSERT_TRUE(WriteBytes(elsewhere / c.name, package));
      fs::create_directory_symlink(elsewhere, temp, ec);
    }
#ifdef _WIN32
    // No symbolic link here: MinGW's library makes none, Wine 8's CreateSymbolicLinkW makes
    // nothing, and Windows refuses them to users without the privilege. The handle test for
    // one is the junction's too: a Windows machine shows it.
    if (ec && (c.link == Link::kSymbolic || c.link == Link::kTempSymbolic)) continue;
#endif
    ASSERT_FALSE(ec) << ec.message();
    update::StageIn(W(root()) + platform::kPreferredSeparator);
    EXPECT_EQ(ReadBytes(root() / "update.zip"), c.staged ? package : "<missing>");
    EXPECT_EQ(fs::exists(fs::symlink_status(temp / c.name)), !c.staged);
    EXPECT_EQ(ReadBytes(victim), package);
    EXPECT_FALSE(fs::exists(root() / "update.zip.copy"));
  }
}

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
      // a phase that does not follow the one before ends the journal there
      {"commit after a rollback", "update journal\t2\t0000abcd\nphase\trollback\nphase\tcommit\n",
       RecoveryResult::kRolledBack},
      {"rollback in a journal of the first format",
       "update journal\t1\t0000abcd\nphase\tcommit\nphase\trollback\n",
       RecoveryResult::kRolledForward},
      // only a name of the install's own may be deleted at the next start
      {"restart of a file of the user's",
       "update journal\t2\t0000abcd\nphase\tcommit\nphase\tcommitted\nrestart\tkeep.txt\n",
       RecoveryResult::kRolledForward},
      {"format 4, a later launcher's: left for it", "update journal\t4\t0000abcd\n",
       RecoveryResult::kIncomplete},
      {"format 0: damage", "update journal\t0\t0000abcd\n", RecoveryResult::kDiscarded},
      // a file written under its own name was an earlier launcher's way, not this one's
      {"own name in format 3", "update journal\t3\t0000abcd\nfolder\tnew\nnew\tnew\n",
       RecoveryResult::kRolledBack},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const Snapshot before = Take();
    Put("update.journal", c.journal);
    EXPECT_EQ(update::RecoverInterruptedInstall(W(root())).result, c.result);
    // Nothing is touched where the journal cannot be read: not even the journal.
    if (c.result == RecoveryResult::kIncomplete) {
      EXPECT_EQ(ReadBytes(root() / "update.journal"), c.journal);
      fs::remove(root() / "update.journal");
    }
    EXPECT_EQ(Take(), before);
  }
}

// The journal names files with the system's separator.
#ifdef _WIN32
const std::string kSeparator = "\\";
#else
const std::string kSeparator = "/";
#endif

// Recovery does what the journal's last phase says, file record by file record, whatever
// temporary names happen to exist.
TEST_F(InstallTransactionTest, RecoveryFollowsTheRecordedPhase) {
  const std::string header = "update journal\t2\t0000abcd\n";
  const std::string header3 = "update journal\t3\t0000abcd\n";
  const std::string app = "replace\tapp.dll\tapp.dll.new~0000abcd\tapp.dll.old~0000abcd\n";
  const std::string client =
      "replace\tclient.exe\tclient.exe.new~0000abcd\tclient.exe.old~0000abcd\n";
  struct Case {
    const char* why;
    std::string journal;
    std::map<std::string, std::string> present;  // besides the old version
    RecoveryResult result;
    std::map<std::string, std::string> expected;  // what differs from the old version
  } const cases[] = {
      {"commit stopped after the first file",
       header + app + client + "phase\tcommit\n",
       {{"app.dll", "new app"},
        {"app.dll.old~0000abcd", "old app"},
        {"client.exe.new~0000abcd", "new client"}},
       RecoveryResult::kRolledForward,
       {{"app.dll", "new app"}, {"client.exe", "new client"}}},
      // the rollback was written down: never rolled forward, though every staged file is there
      {"rollback stopped after the first file",
       header + app + client + "phase\tcommit\nphase\trollback\n",
       {{"app.dll", "new app"},
        {"app.dll.old~0000abcd", "old app"},
        {"client.exe.new~0000abcd", "new client"}},
       RecoveryResult::kRolledBack,
       {}},
      // a scanner took the staged file: the old one stays, the install is undone
      {"staged file gone before its rename",
       header + app + client + "phase\tcommit\n",
       {{"app.dll", "new app"}, {"app.dll.old~0000abcd", "old app"}},
       RecoveryResult::kRolledBack,
       {}},
      {"staged file gone after the old one was set aside",
       header + app + "phase\tcommit\n",
       {{"app.dll.old~0000abcd", "old app"}},
       RecoveryResult::kRolledBack,
       {}},
      // a file written under its own name in a folder of the install's, then a stop
      {"stage stopped in a new folder",
       header + "folder\tnew\nnew\tnew" + kSeparator + "f.txt\n",
       {{"new/f.txt", "f"}},
       RecoveryResult::kRolledBack,
       {}},
      // a folder the install makes stands under its temporary name until the commit renames it
      {"stage stopped in a new folder, format 3",
       header3 + "folder\tnew\tnew.dir~0000abcd\nnew\tnew" + kSeparator + "f.txt\n",
       {{"new.dir~0000abcd/f.txt", "f"}},
       RecoveryResult::kRolledBack,
       {}},
      {"commit stopped before the new folder went in place",
       header3 + "folder\tnew\tnew.dir~0000abcd\nnew\tnew" + kSeparator + "f.txt\nphase\tcommit\n",
       {{"new.dir~0000abcd/f.txt", "f"}},
       RecoveryResult::kRolledForward,
       {{"new/f.txt", "f"}}},
      // what another program wrote into the folder once it had its name stays, and so does
      // the folder
      {"undone after the new folder went in place and another program wrote into it",
       header3 + "folder\tnew\tnew.dir~0000abcd\nnew\tnew" + kSeparator +
           "f.txt\nphase\tcommit\nphase\trollback\n",
       {{"new/f.txt", "f"}, {"new/theirs.ini", "theirs"}},
       RecoveryResult::kRolledBack,
       {{"new/theirs.ini", "theirs"}}},
      // the set-aside files go; one already arranged for the next start is passed over
      {"committed, one old file left",
       header + app + client +
           "phase\tcommit\nphase\tcommitted\nrestart\tclient.exe.old~0000abcd\n",
       {{"app.dll", "new app"},
        {"app.dll.old~0000abcd", "old app"},
        {"client.exe", "new client"},
        {"client.exe.old~0000abcd", "old client"}},
       RecoveryResult::kRolledForward,
       {{"app.dll", "new app"},
        {"client.exe", "new client"},
        {"client.exe.old~0000abcd", "old client"}}},
      // an earlier launcher's journal is still finished
      {"format 1, commit stopped",
       "update journal\t1\t0000abcd\n" + app + "phase\tcommit\n",
       {{"app.dll.new~0000abcd", "new app"}},
       RecoveryResult::kRolledForward,
       {{"app.dll", "new app"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    MakeOldVersion(root());
    std::map<std::string, std::string> expected;
    for (const auto& [name, state] : Take()) {
      if (!state.folder) expected[name] = state.bytes;
    }
    for (const auto& [name, bytes] : c.expected) expected[name] = bytes;
    for (const auto& [name, bytes] : c.present) {
      fs::create_directories((root() / fs::u8path(name)).parent_path());
      // A name present in the old version but not listed is as the old version has it; the
      // listed ones are put, and a set-aside or renamed old file leaves its name empty.
      Put(name, bytes);
    }
    if (c.present.count("app.dll") == 0 && c.present.count("app.dll.old~0000abcd") != 0) {
      fs::remove(root() / "app.dll");
    }
    Put("update.journal", c.journal);
    EXPECT_EQ(update::RecoverInterruptedInstall(W(root())).result, c.result);
    std::map<std::string, std::string> found;
    for (const auto& [name, state] : Take()) {
      if (!state.folder) found[name] = state.bytes;
    }
    EXPECT_EQ(found, expected);
  }
}

// One path rule for every item, and temporary names that never break it: an item within 259
// units always installs, whatever its temporaries need; one past it is skipped, in a folder
// the install makes as in an old one.
TEST_F(InstallTransactionTest, ThePathRuleHoldsForEveryItemAndNeverForTheTemporaries) {
  const std::size_t folder = W(root()).size() + 1;
  ASSERT_LT(folder + 20, zip::kMaxPathUnits);
  const std::string replaced(zip::kMaxPathUnits - folder, 'r');  // 259 units in all
  Put(replaced, "old");
  const std::string fits = "nn/" + std::string(zip::kMaxPathUnits - folder - 3, 'f');
  const std::string past = "mm/" + std::string(zip::kMaxPathUnits - folder - 2, 'p');
  Archive a;
  a.entries = {File(replaced, "new r"), File(fits, "new f"), File(past, "new p"),
               File("past-old/" + std::string(zip::kMaxPathUnits - folder - 8, 'q'), "q")};
  fs::create_directories(root() / "past-old");
  std::vector<bool> tooLong;
  update::InstallOptions options;
  options.report = [&](const update::ItemReport& r) {
    tooLong.push_back(r.fate == update::ItemFate::kTooLong);
  };
  const update::InstallOutcome o = update::InstallPackage(Package(a), W(root()), options);
  EXPECT_EQ(o.result, InstallResult::kInstalled);
  EXPECT_EQ(o.skipped, 2u);
  EXPECT_EQ(tooLong, (std::vector<bool>{true, true}));
  EXPECT_EQ(ReadBytes(root() / replaced), "new r");
  EXPECT_EQ(ReadBytes(root() / fs::u8path(fits)), "new f");
  EXPECT_FALSE(fs::exists(root() / "mm"));
  EXPECT_TRUE(fs::is_empty(root() / "past-old"));
}

// What a waiting user's bar is fed: nothing done of a known total first, then only growth,
// and the whole total exactly when the new version is in place, never for one rolled back.
TEST_F(InstallTransactionTest, ProgressReachesItsTotalOnlyWhenTheNewVersionIsInPlace) {
  constexpr std::uint64_t kTypicalBytes = 7 + 10 + 5 + 5 + 10 + 5;  // its six files
  struct Case {
    const char* why;
    std::function<void(Archive&)> change;
    InstallResult result;
    std::uint64_t total;
  } const cases[] = {
      {"replaced files, new ones, files in folders the install makes", nullptr,
       InstallResult::kInstalled, kTypicalBytes + 6 * update::kCommitStepUnits},
      // staged once, under the earlier item's record, with the later one's bytes
      {"a later item of the same name",
       [](Archive& a) { a.entries.push_back(File("app.dll", "newer app!")); },
       InstallResult::kInstalled, kTypicalBytes + 3 + 6 * update::kCommitStepUnits},
      // staging fails at the end: the bar must not have been full
      {"a corrupt last item", [](Archive& a) { a.entries.back().crc = 1; },
       InstallResult::kRolledBack, kTypicalBytes + 6 * update::kCommitStepUnits},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    MakeOldVersion(root());
    Archive a = Typical();
    if (c.change) c.change(a);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> heard;
    update::InstallOptions options;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
      heard.emplace_back(done, total);
    };
    EXPECT_EQ(update::InstallPackage(Package(a), W(root()), options).result, c.result);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front(), std::make_pair(std::uint64_t{0}, c.total));
    for (std::size_t i = 1; i < heard.size(); ++i) {
      EXPECT_EQ(heard[i].second, c.total);
      EXPECT_GE(heard[i].first, heard[i - 1].first);
      EXPECT_LE(heard[i].first, c.total);
    }
    EXPECT_EQ(heard.back().first == c.total, c.result == InstallResult::kInstalled);
  }
}

// The launch starts the client only over one version whole: not while an interrupted install
// could not be ended (its journal cannot be read, or another install holds it).
TEST_F(InstallTransactionTest, TheClientMayStartOnlyOverAWholeVersion) {
  struct Case {
    const char* why;
    bool package;
    std::function<void(const fs::path&)> journal;  // what stands at the journal's name
    bool mayStart;
  } const cases[] = {
      {"nothing to install", false, nullptr, true},
      {"a package installed", true, nullptr, true},
      {"a journal that cannot be read, no package", false,
       [](const fs::path& p) { fs::create_directories(p); }, false},
      {"a journal that cannot be read, and a package", true,
       [](const fs::path& p) { fs::create_directories(p); }, false},
      // damaged before its header was whole: nothing had been done yet
      {"a journal cut short in its header", true,
       [](const fs::path& p) { ASSERT_TRUE(WriteBytes(p, "update jou")); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    MakeOldVersion(root());
    if (c.package) {
      ASSERT_TRUE(WriteBytes(root() / "update.zip", Build(Typical())));
    }
    if (c.journal) c.journal(root() / "update.journal");
    EXPECT_EQ(update::InstallIn(W(root()) + platform::kPreferredSeparator), c.mayStart);
    fs::remove_all(root() / "update.journal");
  }
  // Held by an install that runs now: its folder is in the middle of a change.
  MakeOldVersion(root());
  Put("update.journal", "update journal\t1\t0000abcd\n");
  platform::File held = platform::File::OpenExclusive(W(root() / "update.journal"));
  ASSERT_TRUE(held);
  EXPECT_FALSE(update::InstallIn(W(root()) + platform::kPreferredSeparator));
}

// A step too long to take ".new~" and the id within 255 units gets a short name of its
// record's own beside it; the journal takes no other name for it.
TEST(JournalNamesTest, TemporaryNamesFitEveryStep) {
  const platform::WString id = WIDE("0000abcd");
  const platform::WString sep(1, platform::kPreferredSeparator);
  struct Row {
    const char* why;
    platform::WString target;
    std::uint32_t number;
    platform::WString staged, aside;
  } const rows[] = {
      {"a plain name", WIDE("a.dll"), 3, WIDE("a.dll.new~0000abcd"), WIDE("a.dll.old~0000abcd")},
      {"a step of 242 units still takes the suffix", platform::WString(242, WIDE('x')), 0,
       platform::WString(242, WIDE('x')) + WIDE(".new~0000abcd"),
       platform::WString(242, WIDE('x')) + WIDE(".old~0000abcd")},
      {"one of 243 does not", WIDE("d") + sep + platform::WString(243, WIDE('x')), 7,
       WIDE("d") + sep + WIDE("~0000abcd-7.new"), WIDE("d") + sep + WIDE("~0000abcd-7.old")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_TRUE(update::StagedName(row.target, id, row.number) == row.staged);
    EXPECT_TRUE(update::AsideName(row.target, id, row.number) == row.aside);
    // No item may take such a name: it is kept for the install's own files.
    const std::size_t cut = row.staged.find_last_of(platform::kPreferredSeparator);
    EXPECT_TRUE(update::IsTemporaryName(
        row.staged.substr(cut == platform::WString::npos ? 0 : cut + 1), id));
  }
  EXPECT_FALSE(update::IsTemporaryName(WIDE("~0000abce-1.new"), id));
  EXPECT_FALSE(update::IsTemporaryName(WIDE("a.dll.new~"), id));
}

}  // namespace
