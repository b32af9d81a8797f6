// The install transaction under every fault the file seam can show, at every call in turn:
// each call of an install failed alone (a read of the package among them), failed busy (a
// short lock), its file taken away (a scanner's quarantine), its name made first by another
// program, or the process stopped there (a kill); every pair of a failure and a
// later failure or stop in one run; and every such fault followed by a fault at any call of
// the next run's recovery. Each run ends with a recovery of its own, and then the folder must
// be the old version or the new one, byte for byte, with no temporary and no journal left and
// whatever another program wrote still there; an outcome reported as installed must have left
// the new version, one reported as rolled back the old one, and no fault of the system may be
// blamed on the package.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/update/fault_injector.h"
#include "tests/update/folder_state.h"
#include "tests/update/sweep_cases.h"
#include "tests/zip/test_support.h"
#include "tests/zip/zip_builder.h"
#include "update/install_transaction.h"
#include "update/journal.h"
#include "update/pending_update.h"

namespace {

using namespace ziptest;
using update::InstallResult;
using update::RecoveryResult;
using updatetest::Fault;
using updatetest::FaultInjector;
using updatetest::Injection;
using updatetest::Snapshot;

using updatetest::SweepCase;

Snapshot Take(const fs::path& dir) { return updatetest::WithoutTimes(updatetest::Take(dir)); }

fs::path ScratchRoot() {
  // A memory file system where the run offers one: tens of thousands of installs.
  if (const char* dir = std::getenv("SWEEP_SCRATCH"); dir != nullptr && *dir != '\0') {
    std::error_code ec;
    if (fs::is_directory(fs::u8path(dir), ec)) return fs::u8path(dir);
  }
  return fs::temp_directory_path();
}

class InstallFaultSweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = ScratchRoot() / ("sweep-" + std::to_string(platform::UniqueNumber() % 1000000));
    updatetest::Wipe(scratch_);
    fs::create_directories(scratch_);
    root_ = scratch_ / "root";
    package_ = scratch_ / "update.zip";
  }
  void TearDown() override { updatetest::Wipe(scratch_); }

  // The old version in the folder, and the package beside it (a fault may have taken it).
  void MakeOld(const SweepCase& c) {
    updatetest::Wipe(root_);
    fs::create_directories(root_);
    ASSERT_TRUE(WriteBytes(package_, packageBytes_));
    ASSERT_TRUE(updatetest::WriteOldVersion(c, W(root_) + platform::kPreferredSeparator));
  }

  update::InstallOutcome Install(const SweepCase& c) {
    return update::InstallPackage(W(package_), W(root_), updatetest::SweepOptions(c));
  }

  // One scenario: the install with `install` faults, a recovery with `recovery` faults when
  // any are given, then a clean recovery; checks the folder. False when a check failed.
  bool Run(const SweepCase& c, std::vector<Injection> install, std::vector<Injection> recovery,
           bool* secondReached) {
    MakeOld(c);
    update::InstallOutcome outcome;
    std::vector<platform::WString> lost;
    std::vector<platform::WString> atRestart;
    bool killed = false;
    // What listing a folder may take away: a file the install made, not one of the old version.
    auto madeByTheInstall = [this](const platform::WString& path) {
      std::string relative;
      platform::Utf16ToUtf8(path.substr(W(root_).size() + 1), relative);
      for (char& ch : relative) {
        if (ch == '\\') ch = '/';
      }
      return old_.count(relative) == 0;
    };
    // What another program may make: a name in the install folder, not the journal and not
    // one of the install's temporaries, which nobody else would choose.
    auto foreign = [this](const platform::WString& path) {
      const platform::WString root = W(root_);
      return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
             !FaultInjector::IsJournal(path) && path.find(WIDE('~')) == platform::WString::npos;
    };
    const bool singleLose = install.size() == 1 && install[0].fault == Fault::kLose;
    std::vector<platform::WString> appeared;
    {
      FaultInjector injector(std::move(install));
      injector.losable = madeByTheInstall;
      injector.foreign = foreign;
      outcome = Install(c);
      killed = injector.stopped();
      lost = injector.lost;
      appeared = injector.appeared;
      atRestart = injector.atRestart;
      if (secondReached != nullptr && recovery.empty()) *secondReached = injector.reached(1);
    }
    const bool recoveryFaulted = !recovery.empty();
    if (recoveryFaulted) {
      FaultInjector injector(std::move(recovery));
      injector.losable = madeByTheInstall;
      injector.foreign = foreign;
      update::RecoverInterruptedInstall(W(root_));
      lost.insert(lost.end(), injector.lost.begin(), injector.lost.end());
      appeared.insert(appeared.end(), injector.appeared.begin(), injector.appeared.end());
      atRestart.insert(atRestart.end(), injector.atRestart.begin(), injector.atRestart.end());
      if (secondReached != nullptr) *secondReached = injector.reached(0);
    }
    ++runs_;
    if (std::getenv("SWEEP_TRACE"))
      std::printf("%s -> %d killed=%d lost=%zu\n", describe_.c_str(),
                  static_cast<int>(outcome.result), killed, lost.size());
    const update::RecoveryOutcome last = update::RecoverInterruptedInstall(W(root_));
    // The system's next start: a running program's old file, set aside, goes then (on
    // Windows; elsewhere it went at once).
    for (const platform::WString& path : atRestart) platform::RemoveFile(path);
    Snapshot now = Take(root_);

    std::string problem;
    // What another program wrote survives every outcome, and is no part of either version:
    // its files are taken out before the versions are compared, and so are its folders where
    // the new version has none of that name.
    Snapshot withFolders;
    for (const platform::WString& path : appeared) {
      std::string relative;
      platform::Utf16ToUtf8(path.substr(W(root_).size() + 1), relative);
      for (char& ch : relative) {
        if (ch == '\\') ch = '/';
      }
      const auto found = now.find(relative);
      if (found == now.end()) {
        problem = "what another program wrote is gone: " + relative;
        continue;
      }
      if (!found->second.folder && found->second.bytes != updatetest::kForeignBytes) {
        problem = "what another program wrote was overwritten: " + relative;
      }
      if (found->second.folder) withFolders.insert(*found);
      now.erase(found);
    }
    Snapshot nowWithFolders = now;
    for (const auto& entry : withFolders) {
      if (new_.count(entry.first) != 0) nowWithFolders.insert(entry);
    }
    if (last.result == RecoveryResult::kIncomplete || last.result == RecoveryResult::kBusy) {
      problem = "the clean recovery did not end the install";
    }
    // The old version, but for any old file the fault took away: nothing could bring it back,
    // so its name may stand empty, or hold the new file the commit had put there.
    std::set<std::string> lostOld;
    for (const platform::WString& path : lost) {
      std::string relative;
      platform::Utf16ToUtf8(path.substr(W(root_).size() + 1), relative);
      for (char& ch : relative) {
        if (ch == '\\') ch = '/';
      }
      const std::size_t aside = relative.rfind(".old~");
      if (aside != std::string::npos) relative.resize(aside);
      if (old_.count(relative) != 0) lostOld.insert(relative);
    }
    const bool isOld = updatetest::IsOldVersion(now, old_, new_, lostOld);
    const bool isNew = nowWithFolders == new_;
    if (problem.empty() && !isOld && !isNew) problem = "neither the old version nor the new one";
    // What an outcome says is checked where nothing happened after it but a clean recovery:
    // a fault in the next run (a scanner taking a new file before the commit's end was
    // written down) may still, soundly, undo it.
    if (problem.empty() && !killed && !recoveryFaulted) {
      if (outcome.result == InstallResult::kInstalled && !isNew) {
        problem = "reported installed, not the new version";
      }
      if (outcome.result == InstallResult::kRolledBack && !outcome.rollbackIncomplete && !isOld) {
        problem = "reported rolled back, not the old version";
      }
      if (outcome.packageAtFault) problem = "a fault of the system blamed on the package";
      // An old file that is gone has nothing to set aside: no reason to undo the install.
      if (singleLose && !lostOld.empty() && outcome.result != InstallResult::kInstalled) {
        problem = "an old file taken away undid the install";
      }
    }
    if (problem.empty()) return true;
    ADD_FAILURE() << c.what << ": " << problem << "\n"
                  << describe_ << "install outcome " << static_cast<int>(outcome.result)
                  << (killed ? " (killed)" : "") << ", recovery " << static_cast<int>(last.result)
                  << "\nfolder:\n"
                  << updatetest::Describe(now) << "old:\n"
                  << updatetest::Describe(old_) << "new:\n"
                  << updatetest::Describe(new_);
    return false;
  }

  fs::path scratch_, root_, package_;
  std::string packageBytes_;
  Snapshot old_, new_;
  std::string describe_;
  std::uint64_t runs_ = 0;
};

// Under Wine every call crosses to the Wine server, some twenty times slower: every single
// fault still runs there, but of the second faults (in the same run or the recovery) only
// every `stride`-th, from an offset that moves from one first fault to the next, so that each
// second call is met across the first ones. Natively everything runs.
#ifdef _WIN32
constexpr std::uint64_t kPairStride = 23;
constexpr std::uint64_t kRecoveryStride = 5;
#else
constexpr std::uint64_t kPairStride = 1;
constexpr std::uint64_t kRecoveryStride = 1;
#endif

TEST_F(InstallFaultSweepTest, EveryFaultAndEveryPairEndsAsTheOldVersionOrTheNew) {
  std::uint64_t installCalls = 0;
  const updatetest::Shard shard;
  for (const SweepCase& c : updatetest::kSweepCases) {
    SCOPED_TRACE(c.what);
    packageBytes_ = updatetest::PackageBytes(c);
    MakeOld(c);
    old_ = Take(root_);
    std::uint64_t calls = 0;
    {
      FaultInjector counter;
      ASSERT_EQ(Install(c).result, InstallResult::kInstalled);
      calls = counter.calls();
    }
    ASSERT_EQ(update::RecoverInterruptedInstall(W(root_)).result, RecoveryResult::kNothing);
    new_ = Take(root_);
    installCalls += calls;
    int failures = 0;
    auto check = [&](bool ok) { return ok || ++failures < 5; };

    for (std::uint64_t i = 0; i < calls; ++i) {
      if (!shard.Takes(i)) continue;
      for (Fault f : {Fault::kFail, Fault::kBusy, Fault::kLose, Fault::kStop, Fault::kAppear}) {
        describe_ = std::string(Describe(f)) + " at call " + std::to_string(i) + "\n";
        if (!check(Run(c, {{i, f}}, {}, nullptr))) return;
        // The next run's recovery, faulted at each of its calls in turn.
        if (f == Fault::kBusy || f == Fault::kAppear) continue;
        for (std::uint64_t j = kRecoveryStride > 1 ? i % kRecoveryStride : 0;;
             j += kRecoveryStride) {
          bool reached = false;
          for (Fault g : {Fault::kFail, Fault::kLose, Fault::kStop}) {
            describe_ = std::string(Describe(f)) + " at call " + std::to_string(i) + ", then " +
                        Describe(g) + " at recovery call " + std::to_string(j) + "\n";
            if (!check(Run(c, {{i, f}}, {{j, g}}, &reached))) return;
            if (!reached) break;
          }
          if (!reached) break;
        }
      }
      // A failure, then a failure or a stop at any later call of the same run.
      for (std::uint64_t j = i + 1 + (kPairStride > 1 ? i % kPairStride : 0);; j += kPairStride) {
        bool reached = false;
        for (Fault g : {Fault::kFail, Fault::kStop}) {
          describe_ = "fail at call " + std::to_string(i) + ", then " + Describe(g) + " at call " +
                      std::to_string(j) + "\n";
          if (!check(Run(c, {{i, Fault::kFail}, {j, g}}, {}, &reached))) return;
          if (!reached) break;
        }
        if (!reached) break;
      }
    }
  }
  std::printf("[ sweep    ] %llu faulted runs over installs of %llu calls in all\n",
              static_cast<unsigned long long>(runs_),
              static_cast<unsigned long long>(installCalls));
}

// Staging the download under every single fault at every call, then a clean launch's staging:
// the package ends up staged whole, with nothing of the copy left, unless the fault took the
// download itself away; a failed staging keeps the download for that next launch.
TEST_F(InstallFaultSweepTest, EveryFaultOfStagingEndsWithThePackageStagedWhole) {
  const std::string bytes = updatetest::PackageBytes(updatetest::kSweepCases[0]);
  const updatetest::Shard shard;
  const fs::path temp = root_ / "temp";
  const platform::WString folder = W(root_) + platform::kPreferredSeparator;
  auto prepare = [&](const updatetest::StagingCase& c) {
    updatetest::Wipe(root_);
    fs::create_directories(temp);
    ASSERT_TRUE(WriteBytes(temp / "update.zip", bytes));
    ASSERT_TRUE(WriteBytes(temp / "update.td", "piece"));
    if (c.olderStaged) {
      ASSERT_TRUE(WriteBytes(root_ / "update.zip", "older"));
    }
    if (c.stoppedCopy) {
      ASSERT_TRUE(WriteBytes(root_ / "update.zip.copy", "stu"));
    }
  };
  for (const updatetest::StagingCase& c : updatetest::kStagingCases) {
    SCOPED_TRACE(c.what);
    prepare(c);
    std::uint64_t calls = 0;
    {
      FaultInjector counter;
      update::StageIn(folder);
      calls = counter.calls();
    }
    ASSERT_EQ(ReadBytes(root_ / "update.zip"), bytes);
    for (std::uint64_t i = 0; i < calls; ++i) {
      if (!shard.Takes(i)) continue;
      for (Fault f : {Fault::kFail, Fault::kBusy, Fault::kLose, Fault::kStop}) {
        SCOPED_TRACE(std::string(Describe(f)) + " at call " + std::to_string(i));
        prepare(c);
        bool downloadLost = false;
        {
          FaultInjector injector({{i, f}});
          update::StageIn(folder);
          for (const platform::WString& path : injector.lost) {
            downloadLost = downloadLost || path == W(temp / "update.zip");
          }
          if (!fs::exists(temp / "update.zip")) {
            // Gone only once the staged package is whole.
            EXPECT_TRUE(downloadLost || ReadBytes(root_ / "update.zip") == bytes);
          }
        }
        ++runs_;
        update::StageIn(folder);
        EXPECT_FALSE(fs::exists(root_ / "update.zip.copy"));
        EXPECT_FALSE(fs::exists(temp / "update.zip"));
        if (!downloadLost) {
          EXPECT_EQ(ReadBytes(root_ / "update.zip"), bytes);
        }
      }
    }
  }
}

}  // namespace
