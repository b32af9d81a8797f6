// A counting fault injector at the file seam: every call of the seam is numbered from 0 once
// it is armed, and chosen calls fail with a chosen error, lose the file they name first (as a
// scanner's quarantine would take it), or stop everything (as a kill would: from that call on
// the file system stays as it is, every call fails and does nothing).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_fault.h"
#include "platform/file_system.h"
#include "update/journal.h"

namespace updatetest {

enum class Fault {
  kFail,
  kBusy,
  kLose,
  kStop,
  // Another program makes the name first: a folder being made appears with a file of its
  // own in it, and a name probed while missing appears as that program's file, though the
  // probe still says it is missing (it looked an instant before).
  kAppear,
};

// What another program writes where it appears.
inline constexpr char kForeignBytes[] = "written by another program";
inline constexpr char kForeignName[] = "theirs.txt";

inline const char* Describe(Fault f) {
  switch (f) {
    case Fault::kFail:
      return "fail";
    case Fault::kBusy:
      return "busy";
    case Fault::kLose:
      return "lose";
    case Fault::kStop:
      return "stop";
    case Fault::kAppear:
      return "appear";
  }
  return "?";
}

struct Injection {
  std::uint64_t at = 0;  // the call's number
  Fault fault = Fault::kFail;
  bool reached = false;  // set when the call was made
};

class FaultInjector : public platform::FileCallHook {
 public:
  // Installs itself for its lifetime.
  explicit FaultInjector(std::vector<Injection> injections = {})
      : injections_(std::move(injections)) {
    platform::SetFileCallHook(this);
  }
  ~FaultInjector() override { platform::SetFileCallHook(nullptr); }
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  platform::FileError Before(platform::FileCall call, const platform::WString* path) override {
    if (stopped_) return platform::FileError::kOther;
    const std::uint64_t n = calls_++;
    if (recordCalls) kinds.push_back(call);
    for (Injection& i : injections_) {
      if (i.at != n) continue;
      i.reached = true;
      switch (i.fault) {
        case Fault::kFail:
          return platform::FileError::kOther;
        case Fault::kBusy:
          return platform::FileError::kBusy;
        case Fault::kStop:
          stopped_ = true;
          return platform::FileError::kOther;
        case Fault::kAppear:
          if (path != nullptr && Appear(call, *path)) {
            if (call == platform::FileCall::kProbe) return platform::FileError::kNotFound;
          }
          break;
        case Fault::kLose:
          // Listing a folder: one file of it that `losable` allows is taken away first, as a
          // scanner would take a new program while the install looks elsewhere.
          if (call == platform::FileCall::kListFolder && path != nullptr) {
            LoseOneIn(*path);
            break;
          }
          // Only a file is taken away; a call about a name that holds none goes on as it is.
          // The journal is the one record of an install, and no scheme outlives its loss (a
          // database's hot journal neither): a scanner takes programs, not that text file.
          if (path != nullptr && !IsJournal(*path) &&
              platform::Probe(*path) == platform::PathKind::kFile && platform::RemoveFile(*path)) {
            lost.push_back(*path);
          }
          break;
      }
    }
    if (call == platform::FileCall::kRemoveAtRestart && path != nullptr) {
      atRestart.push_back(*path);
    }
    return platform::FileError::kNone;
  }
  void Pause(unsigned milliseconds) override { paused += milliseconds; }

  static bool IsJournal(const platform::WString& path) {
    const platform::WString name = update::kJournalName;
    return path.size() >= name.size() &&
           path.compare(path.size() - name.size(), name.size(), name) == 0;
  }

  std::uint64_t calls() const { return calls_; }
  bool stopped() const { return stopped_; }
  bool reached(std::size_t i) const { return injections_[i].reached; }

  // Which files listing a folder may take away (full paths); none without it.
  std::function<bool(const platform::WString&)> losable;
  // Which names another program may make (full paths); none without it.
  std::function<bool(const platform::WString&)> foreign;
  bool recordCalls = false;
  std::vector<platform::FileCall> kinds;    // with recordCalls, every call in order
  std::vector<platform::WString> lost;      // files taken away
  std::vector<platform::WString> appeared;  // files and folders another program made
  // Files the system was asked to delete when it next starts (where they are asked for
  // first: the request itself may still fail).
  std::vector<platform::WString> atRestart;
  unsigned paused = 0;  // milliseconds retries would have slept

 private:
  void LoseOneIn(const platform::WString& folder) {
    if (!losable) return;
    platform::WString chosen;
    platform::ListFolder(folder,
                         [&](const platform::WString& name, const platform::FileInfo& info) {
                           platform::WString path = folder;
                           if (!path.empty() && path.back() != platform::kPreferredSeparator) {
                             path += platform::kPreferredSeparator;
                           }
                           path += name;
                           if (!(info.attributes & platform::kAttrFolder) && !IsJournal(path) &&
                               losable(path) && (chosen.empty() || path < chosen)) {
                             chosen = path;
                           }
                         });
    if (!chosen.empty() && platform::RemoveFile(chosen)) lost.push_back(chosen);
  }

  // Makes what another program would at `path`; false when the call is not about a missing
  // name of the install folder (`foreign` says which names may appear).
  bool Appear(platform::FileCall call, const platform::WString& path) {
    if ((call != platform::FileCall::kProbe && call != platform::FileCall::kCreateFolder) ||
        !foreign || !foreign(path) || platform::Probe(path) != platform::PathKind::kMissing) {
      return false;
    }
    platform::WString file = path;
    // A name probed for a folder of the package (no dot in its last step, in the sweep's
    // cases) appears as a folder that holds a file of that program's.
    const std::size_t last = path.find_last_of(platform::kPreferredSeparator);
    const bool folderName =
        call == platform::FileCall::kCreateFolder ||
        path.find(WIDE('.'), last == platform::WString::npos ? 0 : last) == platform::WString::npos;
    if (folderName) {
      if (!platform::CreateFolder(path)) return false;
      appeared.push_back(path);
      file += platform::kPreferredSeparator;
      for (const char* c = kForeignName; *c; ++c) file += static_cast<platform::WChar>(*c);
    }
    platform::File f = platform::File::Create(file, 0);
    if (!f || !f.Write(kForeignBytes, sizeof kForeignBytes - 1) || !f.Close()) return false;
    appeared.push_back(file);
    return true;
  }

  std::vector<Injection> injections_;
  std::uint64_t calls_ = 0;
  bool stopped_ = false;
};

}  // namespace updatetest
