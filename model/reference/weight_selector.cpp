#include "model/reference/weight_selector.h"

#include "model/ln/ln.h"

namespace bytemix {

double WeightSelector::select_weight(float a, float b, float costs[kCandidates], float decay) {
  const double d = decay;
  const double step = (static_cast<double>(b) - static_cast<double>(a)) * kCandidateStep;
  double best = kInitialBestCost;
  int index = 0;

  if (a == 0 && b == 0) {
    // Neither predictor saw the byte: every blend is 0 and nothing can be
    // charged, so the costs only decay.
    for (int i = 0; i < kCandidates; ++i) {
      const double c = costs[i] * d;
      costs[i] = static_cast<float>(c);
      if (c < best) {
        best = c;
        index = i;
      }
    }
    return index * kCandidateStep;
  }

  // Candidate 0 is predictor a alone, which may have given the byte 0.
  {
    const double e = a > 0 ? -ln(a) : kZeroProbabilityCost;
    const double c = e + costs[0] * d;
    costs[0] = static_cast<float>(c);
    if (c < best) best = c;
  }

  // Interior blends are positive whenever a, b >= 0 are not both 0, so they
  // take the logarithm without a test. x is accumulated step by step, not
  // recomputed, and the last candidate sees the accumulated value.
  double x = a + step;
  for (int i = 1; i < kCandidates - 1; ++i) {
    const double c = costs[i] * d - ln(x);
    costs[i] = static_cast<float>(c);
    if (c < best) {
      best = c;
      index = i;
    }
    x = x + step;
  }

  // Candidate 63: with b = 0 the accumulated x is a rounding residue that may
  // be zero, negative or slightly positive.
  {
    const double e = x > 0 ? -ln(x) : kZeroProbabilityCost;
    const double c = e + costs[kCandidates - 1] * d;
    costs[kCandidates - 1] = static_cast<float>(c);
    if (c < best) index = kCandidates - 1;
  }
  return index * kCandidateStep;
}

}  // namespace bytemix
