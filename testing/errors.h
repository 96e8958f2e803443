#pragma once

#include <gtest/gtest.h>

#include "base/run_error.h"

namespace quorvex {

// The RunError that `act` raises; a test failure when it raises none.
template <typename Act>
RunError RunErrorOf(Act act) {
  try {
    act();
  } catch (const RunError& error) {
    return error;
  }
  ADD_FAILURE() << "no run error";
  return RunError(0, "");
}

}  // namespace quorvex
