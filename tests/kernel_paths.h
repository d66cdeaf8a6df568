#pragma once

// The vector path a test runs on. ctest runs the model's tests once per path,
// each with BYTEMIX_SIMD naming it; a path this processor cannot run is
// skipped with that reason, and a name that is no path of this build fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "model/kernels/kernels.h"

namespace bytemix::test {

// Call from SetUp().
inline void require_requested_path() {
  const char* requested = std::getenv("BYTEMIX_SIMD");
  if (requested == nullptr) return;
  if (kernels::find(requested) != nullptr) {
    ASSERT_STREQ(kernels::active().name, requested);
    return;
  }
  const std::string problem = kernels::requested_path_problem();
  if (problem.find("cannot run") != std::string::npos) GTEST_SKIP() << problem;
  FAIL() << problem;
}

}  // namespace bytemix::test
