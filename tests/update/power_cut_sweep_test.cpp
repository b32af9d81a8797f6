// The install and the staging of a download under a power cut at every call, on the simulated
// disk (tests/update/simulated_disk.h) under its weakest ordering: what was not flushed may
// survive in any part, as on FAT. After each cut every subset of the lost-able operations
// survives in turn when there are at most 8, beyond that all, none, each alone and each
// prefix; a recovery runs on what survived, then a clean second one, and the install folder
// must be the old version or the new one, names, bytes and read-only attribute, with no
// temporary file, no journal and nothing foreign lost. The recovery itself is cut at each of
// its calls too, after a cut of the install (sampled across the cuts where it is slow).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/update/fault_injector.h"
#include "tests/update/simulated_disk.h"
#include "tests/update/sweep_cases.h"
#include "update/install_transaction.h"
#include "update/pending_update.h"

namespace {

using platform::WString;
using updatetest::FaultInjector;
using updatetest::Injection;
using updatetest::SimulatedDisk;
using updatetest::Snapshot;
using updatetest::SweepCase;
using updatetest::UseSimulatedDisk;
using ziptest::W;

// The disks the sweeps run on; each row one the install claims to survive.
struct DiskModel {
  const char* what;
  SimulatedDisk::VolumeFlush volumeFlush;
  // Old folders where another volume begins, in the cases that have them.
  std::vector<std::string> mounted;
};
const DiskModel kModels[] = {
    // A local volume: the install flushes it whole.
    {"any order, the volume flushed", SimulatedDisk::VolumeFlush::kWorks, {}},
    // A network share refuses the volume flush: the install falls back to each file and folder.
    {"any order, no volume flush", SimulatedDisk::VolumeFlush::kRefused, {}},
    // A folder moved to another drive behind a junction: flushing the install folder's volume
    // leaves what was written there unflushed.
    {"any order, sub/ and cfg/ on another volume",
     SimulatedDisk::VolumeFlush::kWorks,
     {"sub", "cfg"}},
};

// No call reaches the system, so under Wine (an optimised build) every recovery call is cut;
// natively, under the sanitizers, every sixth, the offset moving with the install's cut, so
// that each call is cut after one install cut or another.
#ifdef _WIN32
const WString kBase = L"C:\\sim\\";
constexpr std::uint64_t kRecoveryStride = 1;
#else
const WString kBase = W("/sim/");
constexpr std::uint64_t kRecoveryStride = 6;
#endif
const WString kRoot = kBase + W("root") + platform::kPreferredSeparator;
const WString kPackage = kBase + W("update.zip");

// Which lost-able operations survive, one list per survivor state.
std::vector<std::vector<bool>> Survivors(std::size_t n) {
  std::vector<std::vector<bool>> out;
  if (n <= 8) {
    for (std::size_t mask = 0; mask < (std::size_t{1} << n); ++mask) {
      std::vector<bool> keep(n);
      for (std::size_t i = 0; i < n; ++i) keep[i] = (mask >> i) & 1u;
      out.push_back(keep);
    }
    return out;
  }
  out.emplace_back(n, true);
  out.emplace_back(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    out.emplace_back(n, false);
    out.back()[i] = true;
  }
  for (std::size_t length = 1; length < n; ++length) {
    out.emplace_back(n, false);
    for (std::size_t i = 0; i < length; ++i) out.back()[i] = true;
  }
  return out;
}

// Runs `work` on `disk` with the power cut at seam call `cut` (never when it is kNoCut; a cut
// at the number of calls the work makes comes once it is done, before anything more is
// flushed); returns the number of calls it made.
constexpr std::uint64_t kNoCut = ~std::uint64_t{0};
template <typename Work>
std::uint64_t RunOn(SimulatedDisk& disk, std::uint64_t cut, Work work) {
  UseSimulatedDisk use(disk);
  std::vector<Injection> stop;
  if (cut != kNoCut) stop.push_back({cut, updatetest::Fault::kStop});
  FaultInjector injector(std::move(stop));
  work();
  return injector.calls();
}

update::InstallOutcome Install(const SweepCase& c) {
  return update::InstallPackage(kPackage, kRoot, updatetest::SweepOptions(c));
}

class PowerCutSweepTest : public ::testing::Test {
 protected:
  // The disk holding the case's old version and its package beside it, all of it durable.
  SimulatedDisk OldDisk(const SweepCase& c, const DiskModel& model) {
    SimulatedDisk disk(model.volumeFlush);
    disk.MakeFolders(kRoot);
    RunOn(disk, kNoCut, [&] {
      const std::string bytes = updatetest::PackageBytes(c);
      platform::File package = platform::File::Create(kPackage, 0);
      EXPECT_TRUE(package && package.Write(bytes.data(), bytes.size()) && package.Close());
      EXPECT_TRUE(updatetest::WriteOldVersion(c, kRoot));
    });
    disk.Settle();
    for (const std::string& folder : model.mounted) {
      if (disk.Probe(kRoot + W(folder)) == platform::PathKind::kFolder) {
        disk.MountVolumeAt(kRoot + W(folder));
      }
    }
    return disk;
  }

  // The cut of the install at call `install` that a failing state followed, and whether the
  // recovery was cut too.
  struct Cut {
    std::uint64_t install = 0;
    bool recovery = false;
  };

  // A recovery and a clean second one on `disk`, then the check; false when the folder is
  // neither version. `where` names the cuts before, `how` what the disk lost.
  bool RecoverAndCheck(SimulatedDisk disk, Cut cut, const std::string& where,
                       const std::string& how) {
    update::RecoveryOutcome last;
    RunOn(disk, kNoCut, [&] {
      update::RecoverInterruptedInstall(kRoot);
      last = update::RecoverInterruptedInstall(kRoot);
    });
    ++states_;
    const Snapshot now = updatetest::WithoutTimes(disk.Take(kRoot));
    const bool ended = last.result != update::RecoveryResult::kIncomplete &&
                       last.result != update::RecoveryResult::kBusy;
    if (ended && (now == new_ || updatetest::IsOldVersion(now, old_, new_))) return true;
    // Every failing cut is listed at the end; the first ones of a case are told whole.
    Failed& failed = failed_[what_];
    (cut.recovery ? failed.thenRecovery : failed.install).insert(cut.install);
    if (++failed.states > 2) return false;
    ADD_FAILURE() << "[the install's fault, not the harness's] " << what_ << "\n"
                  << where << "\nthe operations not flushed, '+' kept:\n"
                  << how
                  << (ended ? "neither the old version nor the new one"
                            : "the clean recovery did not end the install")
                  << "\nfolder:\n"
                  << updatetest::Describe(now) << "old:\n"
                  << updatetest::Describe(old_) << "new:\n"
                  << updatetest::Describe(new_);
    return false;
  }

  // Every survivor of the power cut that left `crashed`, up to the first that fails.
  void EverySurvivor(const SimulatedDisk& crashed, Cut cut, const std::string& where) {
    for (const std::vector<bool>& keep : Survivors(crashed.Unflushed())) {
      if (!RecoverAndCheck(crashed.AfterPowerCut(keep), cut, where,
                           crashed.DescribeUnflushed(keep))) {
        return;
      }
    }
  }

  // One line per case and disk that failed, naming its failing cuts.
  void PrintFailures() const {
    auto list = [](const std::set<std::uint64_t>& calls) {
      std::string out;
      for (const std::uint64_t call : calls) out += " " + std::to_string(call);
      return out.empty() ? std::string(" none") : out;
    };
    for (const auto& [what, failed] : failed_) {
      std::printf(
          "[ power    ] the install's fault: %s: install cut at calls%s; a recovery cut "
          "failing after the install cut at calls%s\n",
          what.c_str(), list(failed.install).c_str(), list(failed.thenRecovery).c_str());
    }
  }

  struct Failed {
    std::set<std::uint64_t> install, thenRecovery;
    std::size_t states = 0;
  };
  std::map<std::string, Failed> failed_;
  std::string what_;
  Snapshot old_, new_;
  std::uint64_t runs_ = 0, cuts_ = 0, states_ = 0;
};

TEST_F(PowerCutSweepTest, EveryCutOfAnInstallAndItsRecoveryEndsAsTheOldVersionOrTheNew) {
  const updatetest::Shard shard;
  for (const DiskModel& model : kModels) {
    for (const SweepCase& c : updatetest::kSweepCases) {
      what_ = std::string(c.what) + ", on a disk of " + model.what;
      SCOPED_TRACE(what_);
      const SimulatedDisk old = OldDisk(c, model);
      old_ = updatetest::WithoutTimes(old.Take(kRoot));
      SimulatedDisk clean = old;
      update::InstallResult result = update::InstallResult::kNotStarted;
      const std::uint64_t calls = RunOn(clean, kNoCut, [&] { result = Install(c).result; });
      ASSERT_EQ(result, update::InstallResult::kInstalled);
      new_ = updatetest::WithoutTimes(clean.Take(kRoot));
      for (std::uint64_t i = 0; i <= calls; ++i) {
        if (!shard.Takes(i)) continue;
        SimulatedDisk cut = old;
        RunOn(cut, i, [&] { Install(c); });
        ++runs_;
        ++cuts_;
        const std::string where = "install cut at call " + std::to_string(i);
        EverySurvivor(cut, {i, false}, where);
        // The recovery cut at each of its calls, on the state where everything not flushed
        // survived and the one where nothing did, every kRecoveryStride-th call from an offset
        // that moves with the install's cut.
        for (const bool kept : {true, false}) {
          const SimulatedDisk after = cut.AfterPowerCut(std::vector<bool>(cut.Unflushed(), kept));
          SimulatedDisk probe = after;
          const std::uint64_t recoveryCalls =
              RunOn(probe, kNoCut, [] { update::RecoverInterruptedInstall(kRoot); });
          // The cut once the recovery is done is always among them.
          for (std::uint64_t j = std::min(i % kRecoveryStride, recoveryCalls);;
               j = std::min(j + kRecoveryStride, recoveryCalls)) {
            SimulatedDisk again = after;
            RunOn(again, j, [] { update::RecoverInterruptedInstall(kRoot); });
            ++runs_;
            ++cuts_;
            EverySurvivor(again, {i, true},
                          where + (kept ? ", all" : ", none") +
                              " of it kept, recovery cut at call " + std::to_string(j));
            if (j == recoveryCalls) break;
          }
        }
      }
    }
  }
  PrintFailures();
  std::printf("[ power    ] %llu runs, %llu cut points, %llu survivor states recovered\n",
              static_cast<unsigned long long>(runs_), static_cast<unsigned long long>(cuts_),
              static_cast<unsigned long long>(states_));
}

// Staging the download: whatever a power cut keeps, a valid download or a valid staged package
// is there for the next launch.
TEST_F(PowerCutSweepTest, EveryCutOfStagingKeepsADownloadOrAStagedPackage) {
  const std::string bytes = updatetest::PackageBytes(updatetest::kSweepCases[0]);
  const WString temp = kRoot + W("temp") + platform::kPreferredSeparator;
  const WString download = temp + W("update.zip");
  const WString staged = kRoot + W("update.zip");
  for (const updatetest::StagingCase& c : updatetest::kStagingCases) {
    for (const DiskModel& model : kModels) {
      what_ = std::string("staging ") + c.what + ", on a disk of " + model.what;
      SCOPED_TRACE(what_);
      SimulatedDisk before(model.volumeFlush);
      before.MakeFolders(temp);
      RunOn(before, kNoCut, [&] {
        const auto write = [](const WString& path, const std::string& text) {
          platform::File file = platform::File::Create(path, 0);
          EXPECT_TRUE(file && file.Write(text.data(), text.size()) && file.Close());
        };
        write(download, bytes);
        write(temp + W("update.td"), "piece");
        if (c.olderStaged) write(staged, "older");
        if (c.stoppedCopy) write(kRoot + W("update.zip.copy"), "stu");
      });
      before.Settle();
      SimulatedDisk clean = before;
      const std::uint64_t calls = RunOn(clean, kNoCut, [&] { update::StageIn(kRoot); });
      ASSERT_EQ(clean.Take(kRoot).count("temp/update.zip"), 0u);
      ASSERT_EQ(clean.Take(kRoot).count("update.zip.copy"), 0u);
      ASSERT_EQ(clean.Take(kRoot)["update.zip"].bytes, bytes);
      for (std::uint64_t i = 0; i <= calls; ++i) {
        SimulatedDisk cut = before;
        RunOn(cut, i, [&] { update::StageIn(kRoot); });
        ++cuts_;
        bool failed = false;
        for (const std::vector<bool>& keep : Survivors(cut.Unflushed())) {
          SimulatedDisk after = cut.AfterPowerCut(keep);
          ++states_;
          const Snapshot now = after.Take(kRoot);
          const auto has = [&](const char* name) {
            const auto found = now.find(name);
            return found != now.end() && found->second.bytes == bytes;
          };
          if (has("update.zip") || has("temp/update.zip")) continue;
          ADD_FAILURE() << "[the install's fault, not the harness's] " << what_
                        << ": neither a valid download nor a valid staged package\npower cut at "
                           "staging call "
                        << i << "\nthe operations not flushed, '+' kept:\n"
                        << cut.DescribeUnflushed(keep) << "folder:\n"
                        << updatetest::Describe(now);
          failed = true;
          break;
        }
        if (failed) break;
      }
    }
  }
  std::printf("[ power    ] staging: %llu cut points, %llu survivor states\n",
              static_cast<unsigned long long>(cuts_), static_cast<unsigned long long>(states_));
}

}  // namespace
