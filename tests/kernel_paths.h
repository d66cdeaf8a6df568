#pragma once

// The kernel paths this build and this processor can run, for tests that
// check every path against the literal steps.
#include <vector>

#include "model/kernels/kernels.h"

namespace bytemix {

inline std::vector<const kernels::Table*> kernel_paths() {
  std::vector<const kernels::Table*> v;
  for (auto isa : {kernels::Isa::portable, kernels::Isa::avx2, kernels::Isa::avx512})
    if (const kernels::Table* t = kernels::for_isa(isa)) v.push_back(t);
  return v;
}

}  // namespace bytemix
