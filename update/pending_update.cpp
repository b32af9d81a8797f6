#include "update/pending_update.h"

void StagePendingUpdate() {}

void InstallPendingUpdate() {}
