// The run-time error a step raises, for tests that need nothing of the platform.
#ifndef PLOTSPOOL_TESTS_ERROR_NUMBER_H_
#define PLOTSPOOL_TESTS_ERROR_NUMBER_H_

#include <functional>

#include "base/error.h"

namespace plotspool::testing {

// The error number `step` raises; 0 when it raises none.
inline int ErrorNumberOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const RuntimeError& error) {
    return error.number();
  }
  return 0;
}

}  // namespace plotspool::testing

#endif  // PLOTSPOOL_TESTS_ERROR_NUMBER_H_
