// One step of the launch flow. Each step's failure is silent and the later steps run all the
// same; running out of memory inside a step is one more such failure, where uncaught it
// would end the launcher through std::terminate before the client starts.
#pragma once

#include <new>

namespace launcher {

// Runs `step` and returns its result, or `fallback` when it ran out of memory.
template <typename Result, typename Step>
Result RunStep(Result fallback, Step&& step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return fallback;
  }
}

// Runs a step that has no result.
template <typename Step>
void RunStep(Step&& step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace launcher
