// The running-client check before a full launch, and the termination of old clients.
#pragma once

#include <cstddef>
#include <string>

// Makes sure no client is left running. Returns true for the full launch (no client ran, or
// every client process was told to terminate), false when a client runs and the user chose to
// keep it. With `forceRun` the question is skipped and the clients are terminated.
bool CheckRunningInstance(bool forceRun);

// Terminates every process whose executable file name equals `name` exactly (case-sensitive),
// with exit code 0, without waiting. Handles are gathered in batches of `batchSize` before
// they are terminated, so any number of processes is caught.
void KillProcessesByName(std::wstring name, std::size_t batchSize = 1024);

// Enables SeDebugPrivilege in the launcher's own token, so that clients of other sessions or
// users can be opened.
void EnableDebugPrivilege();
