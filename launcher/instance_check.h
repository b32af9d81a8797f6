// The running-client check before a full launch, and the termination of old clients.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32/resources.h"

// Makes sure no client is left running. Returns true for the full launch (no client ran, or
// every client process was terminated and has ended, or a few seconds have passed), false
// when a client runs and the user chose to keep it. With `forceRun` the question is skipped
// and the clients are terminated.
bool CheckRunningInstance(bool forceRun);

// The same in its steps, for a launch that must let go of the launch lock while the question
// is open (the user may leave it for any time).
enum class ClientCheck {
  kNone,     // no client runs
  kRunning,  // a client runs
  kUnknown,  // the processes could not be listed: taken as a running client without a question
};
ClientCheck FindRunningClient();
// The restart question, in the user's language. True for OK.
bool AskToRestart();
// Terminates every client and waits a few seconds at most for them to end, so that their
// files are free for the update.
void EndRunningClients();

// Terminates every process whose executable file name equals `name` exactly (case-sensitive),
// with exit code 0. Handles are gathered in batches of `batchSize` before they are
// terminated, so any number of processes is caught. Returns the handles of the processes told
// to terminate: termination only begins the end, and their files stay in use until it is done.
std::vector<platform::win32::UniqueHandle> KillProcessesByName(std::wstring name,
                                                               std::size_t batchSize = 1024);

// Waits until every process of `processes` has ended, or `timeoutMs` in all has passed.
// True when all ended in time.
bool WaitForProcessesToEnd(const std::vector<platform::win32::UniqueHandle>& processes,
                           unsigned long timeoutMs);

// Holds SeDebugPrivilege enabled in the launcher's own token for its lifetime, so that a
// client of another session or user can be opened, and puts the privilege back as it was when
// it goes: every program the launcher starts later (the client, elevated) copies the token.
// enabled() is false when the token could not be opened or lacks the privilege; then nothing
// is put back either.
class ScopedDebugPrivilege {
 public:
  ScopedDebugPrivilege();
  ~ScopedDebugPrivilege();
  ScopedDebugPrivilege(const ScopedDebugPrivilege&) = delete;
  ScopedDebugPrivilege& operator=(const ScopedDebugPrivilege&) = delete;

  bool enabled() const { return enabled_; }

 private:
  platform::win32::UniqueHandle token_;
  // What AdjustTokenPrivileges changed, as it was before: one privilege at most.
  TOKEN_PRIVILEGES previous_ = {};
  bool enabled_ = false;
};
