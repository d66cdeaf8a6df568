#include "model/weight_selector.h"

#include "model/kernels.h"

namespace bytemix {

double WeightSelector::select_weight(float a, float b, float costs[kCandidates], float decay) {
  return kernels::active().select_weight(a, b, costs, decay);
}

}  // namespace bytemix
