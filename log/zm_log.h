// The log statement: ZM_LOG(streamlog::kLogInfo) << "text" << wideText;
// The line is completed and delivered to the process logger at the end of the statement.
#pragma once

#include "log/log_message.h"
#include "log/loggers.h"
#include "log/process_logger.h"

#define ZM_LOG(level)                                                                            \
  ::n_log::CustomLogMessage(__FILE__, __func__, __LINE__, (level), ::streamlog::ProcessLogger()) \
      .stream()
