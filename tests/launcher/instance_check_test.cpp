// Finding and terminating clients among real processes of the test's Wine prefix.
#include "launcher/instance_check.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "platform/win32/resources.h"
#include "tests/e2e/support/launch_harness.h"

namespace {

using platform::win32::UniqueHandle;

struct Started {
  std::wstring name;
  UniqueHandle process;
};

class InstanceCheckTest : public ::testing::Test {
 protected:
  // Starts the stand-in as `name` in a folder of its own (names differing only in case would
  // be one file in one folder).
  void Start(const std::wstring& name) {
    const std::wstring folder = install.MakeFolder(L"p" + std::to_wstring(processes.size()));
    UniqueHandle process(e2e::StartStandIn(folder, name, /*serve=*/false));
    ASSERT_TRUE(process.valid()) << "could not start " << e2e::ToUtf8(name);
    processes.push_back({name, std::move(process)});
  }

  static bool Ended(const Started& started, DWORD* exitCode) {
    if (WaitForSingleObject(started.process.get(), e2e::kGenerousWaitMs) != WAIT_OBJECT_0) {
      return false;
    }
    GetExitCodeProcess(started.process.get(), exitCode);
    return true;
  }

  e2e::InstallFolder install{/*withClient=*/false};
  std::vector<Started> processes;
};

TEST_F(InstanceCheckTest, ForceRunTerminatesEveryClientAndOnlyClients) {
  for (const wchar_t* name : {L"Veltmora.exe", L"Veltmora.exe", L"Veltmora.exe", L"veltmora.exe",
                              L"VELTMORA.EXE", L"Veltmora.exe.old", L"MyVeltmora.exe"}) {
    Start(name);
  }
  ASSERT_EQ(e2e::ProcessesNamed(L"Veltmora.exe").size(), 3u);

  EXPECT_TRUE(CheckRunningInstance(/*forceRun=*/true));

  for (const Started& started : processes) {
    SCOPED_TRACE(e2e::ToUtf8(started.name));
    DWORD exitCode = 1;
    if (started.name == L"Veltmora.exe") {
      // Waited for: the update replaces the files of a client that has ended.
      EXPECT_EQ(WaitForSingleObject(started.process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
      ASSERT_TRUE(Ended(started, &exitCode));
      EXPECT_EQ(exitCode, 0u);
    } else {
      // Near-miss names are other programs: left running.
      EXPECT_EQ(WaitForSingleObject(started.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
  }
}

TEST_F(InstanceCheckTest, NoClientRunningMeansFullLaunchWithoutAQuestion) {
  Start(L"MyVeltmora.exe");
  // A question here would need an answer; none comes without a display, so a shown
  // question would turn this into false.
  EXPECT_TRUE(CheckRunningInstance(/*forceRun=*/false));
  EXPECT_TRUE(CheckRunningInstance(/*forceRun=*/true));
  EXPECT_EQ(WaitForSingleObject(processes[0].process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(InstanceCheckTest, MoreClientsThanTheHandleTableAreAllTerminated) {
  for (int i = 0; i < 5; ++i) Start(L"Veltmora.exe");
  EXPECT_TRUE(WaitForProcessesToEnd(KillProcessesByName(L"Veltmora.exe", /*batchSize=*/2), 10000));
  for (const Started& started : processes) {
    DWORD exitCode = 1;
    ASSERT_TRUE(Ended(started, &exitCode));
    EXPECT_EQ(exitCode, 0u);
  }
}

// Whether SeDebugPrivilege is enabled in this process's token.
bool DebugPrivilegeEnabled() {
  UniqueHandle token;
  LUID debug = {};
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()) ||
      !LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug)) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) {
    return false;
  }
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
    if (p.Luid.LowPart == debug.LowPart && p.Luid.HighPart == debug.HighPart) {
      return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  return false;
}

void SetDebugPrivilege(bool enabled) {
  UniqueHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.receive()));
  TOKEN_PRIVILEGES privileges = {1, {{{}, enabled ? SE_PRIVILEGE_ENABLED : 0u}}};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr));
}

// The launch that needs the privilege end to end: LaunchFlowTest's client without it.
TEST(ScopedDebugPrivilegeTest, EnabledInsideAndPutBackAsItWas) {
  struct Row {
    const char* why;
    bool before;
  } const rows[] = {
      // it stayed enabled for the rest of the launch, and the client inherited it
      {"disabled before: disabled again after", false},
      // putting back must not mean switching off what someone else had on
      {"enabled before: still enabled after", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SetDebugPrivilege(row.before);
    ASSERT_EQ(DebugPrivilegeEnabled(), row.before);
    {
      const ScopedDebugPrivilege debug;
      EXPECT_TRUE(debug.enabled());
      EXPECT_TRUE(DebugPrivilegeEnabled());
    }
    EXPECT_EQ(DebugPrivilegeEnabled(), row.before);
  }
  SetDebugPrivilege(false);
}

}  // namespace
