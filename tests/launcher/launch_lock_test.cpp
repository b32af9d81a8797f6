// The launch lock against the system's real mutexes: one holder at a time, a second launch
// waits and then gets it, and only a lock of a trusted owner is waited for.
#include "launcher/launch_lock.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <optional>
#include <thread>

namespace launcher {
namespace {

// A SID from its string form, freed with LocalFree.
struct Sid {
  explicit Sid(const wchar_t* text) { ConvertStringSidToSidW(text, &sid); }
  ~Sid() { LocalFree(sid); }
  PSID sid = nullptr;
};

TEST(LaunchLockTest, OnlyTheSystemTheAdministratorsOrOurOwnOwnerAreTrusted) {
  const Sid self(L"S-1-5-21-1-2-3-1001");
  struct Row {
    const wchar_t* owner;
    bool trusted;
  } const rows[] = {
      {L"S-1-5-18", true},              // the system
      {L"S-1-5-32-544", true},          // the administrators
      {L"S-1-5-21-1-2-3-1001", true},   // what this launch makes its objects' owner
      {L"S-1-5-21-1-2-3-1002", false},  // another user
      {L"S-1-1-0", false},              // everyone
      {L"S-1-5-32-545", false},         // the users
  };
  for (const Row& row : rows) {
    const Sid owner(row.owner);
    ASSERT_NE(owner.sid, nullptr);
    EXPECT_EQ(IsTrustedLockOwner(owner.sid, self.sid), row.trusted) << row.owner;
  }
  EXPECT_FALSE(IsTrustedLockOwner(nullptr, self.sid));
  const Sid system(L"S-1-5-18");
  EXPECT_TRUE(IsTrustedLockOwner(system.sid, nullptr));
}

TEST(LaunchLockTest, ASecondLaunchWaitsForTheFirst) {
  const std::wstring folder = L"C:\\launch-lock-test\\" + std::to_wstring(GetCurrentProcessId());
  std::optional<LaunchLock> first = LaunchLock::Acquire(folder, 0);
  ASSERT_EQ(first->state(), LaunchLock::State::kHeld);
  // A mutex is its own thread's again: the second launch is another thread here.
  LaunchLock::State waited = LaunchLock::State::kUnguarded;
  LaunchLock::State other = LaunchLock::State::kUnguarded;
  std::thread([&] {
    waited = LaunchLock::Acquire(folder, 50).state();
    // Another folder's lock is another lock.
    other = LaunchLock::Acquire(folder + L"x", 0).state();
  }).join();
  EXPECT_EQ(waited, LaunchLock::State::kTimedOut);
  EXPECT_EQ(other, LaunchLock::State::kHeld);
  // Let go while a second launch waits: it goes on at once.
  std::thread second([&] { waited = LaunchLock::Acquire(folder, 60000).state(); });
  Sleep(50);
  first.reset();
  second.join();
  EXPECT_EQ(waited, LaunchLock::State::kHeld);
}

}  // namespace
}  // namespace launcher
