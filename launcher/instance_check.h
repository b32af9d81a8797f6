#pragma once

// Makes sure no client is left running. Returns true for the full launch, false when a
// client runs and the user chose to keep it.
bool CheckRunningInstance(bool forceRun);
