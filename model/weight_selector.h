#pragma once

namespace bytemix {

// Number of candidate weights i/63, i = 0..63, among which a selector chooses.
inline constexpr int kCandidates = 64;

// The double nearest 1/63. Candidate weights are index * kCandidateStep, the
// product and not the quotient index/63, which differs in the last bit for
// some indices; encoder and decoder must agree on which.
inline constexpr double kCandidateStep = 1.0 / 63;

// Re-chooses a blending weight after a byte has been coded.
//
// a and b are the probabilities that the two blended predictors gave the byte
// just coded. Candidate i stands for the weight i/63, that is the blend
// (1 - i/63) * a + (i/63) * b; costs[i] holds its decayed sum of -ln of the
// blend over past bytes and is updated in place (decayed by `decay`, then
// charged for this byte). Returns the cheapest candidate's weight; ties go
// to the lower index.
struct WeightSelector {
  static double select_weight(float a, float b, float costs[kCandidates], float decay);
};

}  // namespace bytemix
