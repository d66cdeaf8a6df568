#include "model/selection_settle.h"

#include <limits>

#include "model/ln.h"

namespace bytemix::kernels {

namespace {

// Candidate i's exact cost, given the accumulated blends x; memo keeps the
// last logarithm, as runs of equal blends (step 0) are common.
struct ExactCosts {
  float a, b;
  const float* costs;
  double decay;
  double x[kCandidates];
  bool have_blends = false;
  double memo_x = 0, memo_y = 0;
  bool have_memo = false;

  double cost(int i) {
    // Both probabilities 0: the costs only decay.
    if (a == 0 && b == 0) return costs[i] * decay;
    if (!have_blends) {
      accumulate_candidates(a, b, x);
      have_blends = true;
    }
    double y;
    if ((i == 0 || i == kCandidates - 1) && !(x[i] > 0)) {
      y = -kZeroProbabilityCost;
    } else if (have_memo && x[i] == memo_x) {
      y = memo_y;
    } else {
      y = ln(x[i]);
      memo_x = x[i];
      memo_y = y;
      have_memo = true;
    }
    return costs[i] * decay - y;
  }
};

}  // namespace

double settle_selection(float a, float b, float* costs, float decay, double* c, double* err) {
  ExactCosts exact{a, b, costs, decay, {}};
  bool all_exact = false;
  auto make_exact = [&](int i) {
    c[i] = exact.cost(i);
    err[i] = 0;
    // A cost that is not a number (a negative blend, which the model never
    // forms) defeats the bounds: then every cost is taken exactly.
    if (c[i] != c[i] && !all_exact) {
      all_exact = true;
      for (int j = 0; j < kCandidates; ++j)
        if (err[j] != 0) c[j] = exact.cost(j), err[j] = 0;
    }
  };

  // Make exact every candidate that could hold the smallest cost.
  for (bool again = true; again && !all_exact;) {
    double upper = std::numeric_limits<double>::infinity();
    for (int i = 0; i < kCandidates; ++i) {
      const double hi = c[i] + err[i];
      if (hi < upper) upper = hi;
    }
    again = false;
    for (int i = 0; i < kCandidates && !all_exact; ++i) {
      if (err[i] != 0 && c[i] - err[i] <= upper) {
        make_exact(i);
        again = true;
      }
    }
  }
  // And every candidate whose float is not decided.
  for (int i = 0; i < kCandidates && !all_exact; ++i) {
    if (err[i] != 0 && static_cast<float>(c[i] - err[i]) != static_cast<float>(c[i] + err[i]))
      make_exact(i);
  }

  // The selector's own loop. An inexact cost lies above the smallest exact
  // one, so it never replaces the best.
  double best = kInitialBestCost;
  int index = 0;
  for (int i = 0; i < kCandidates; ++i) {
    costs[i] = static_cast<float>(c[i]);
    if (c[i] < best) {
      best = c[i];
      index = i;
    }
  }
  return index * kCandidateStep;
}

}  // namespace bytemix::kernels
