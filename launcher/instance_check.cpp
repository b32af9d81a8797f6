#include "launcher/instance_check.h"

bool CheckRunningInstance(bool /*forceRun*/) { return true; }
