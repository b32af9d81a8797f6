// The process-wide log tag and logger, created by static initialisation before the entry
// point runs and kept until the process ends.
#pragma once

#include <string>

namespace streamlog {

class ZmLogger;

// "ZUD".
const std::string& LogTag();

// The logger every ZM_LOG statement addresses: debugger output first, then standard error.
ZmLogger* ProcessLogger();

}  // namespace streamlog
