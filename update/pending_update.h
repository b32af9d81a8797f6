#pragma once

// Both work relative to the current directory, which the launch makes the install folder.
// Clears download leftovers in temp\ and stages temp\update.zip as update.zip.
void StagePendingUpdate();
// Unpacks update.zip over the install folder.
void InstallPendingUpdate();
