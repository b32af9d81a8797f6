#include "log/process_logger.h"

#include "log/loggers.h"

namespace streamlog {
namespace {

// Defined in this order so that the tag exists before the logger and outlives it.
const std::string g_logTag = "ZUD";
ZmLogger g_processLogger("zud.log");

}  // namespace

const std::string& LogTag() { return g_logTag; }

ZmLogger* ProcessLogger() { return &g_processLogger; }

}  // namespace streamlog
