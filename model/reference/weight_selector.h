#pragma once

#include "model/constants.h"

namespace bytemix {

// The weight selection read literally, one candidate after the other: the
// plain statement of what every kernel's select_weight computes, bit for
// bit (model/kernels/kernels.h), and the literal model's own selector.
//
// a and b are the probabilities that the two blended predictors gave the
// byte just coded. Candidate i stands for the weight i * kCandidateStep and
// the blend x_i of a and b: x_0 = a, x_i = x_(i-1) + step with
// step = (b - a) * kCandidateStep, each sum rounded, so x_63 is the
// accumulated value, not b. costs[i] holds the candidate's decayed sum of
// -ln x_i over past bytes and is updated in place: decayed by `decay`, then
// charged for this byte (kZeroProbabilityCost for an endpoint whose blend is
// not positive; when a and b are both 0 the costs only decay). Each cost is
// stored as a float, compared as the double before that rounding. Returns
// the weight of the first cheapest candidate, index * kCandidateStep.
struct WeightSelector {
  static double select_weight(float a, float b, float costs[kCandidates], float decay);
};

}  // namespace bytemix
