#include "model/kernels/selection_settle.h"

#include <limits>

namespace bytemix::kernels {

namespace {

// The exact costs of a set of candidates: the accumulated blends (once),
// their logarithms by bytemix::ln, and the selector's own formula.
struct ExactCosts {
  float a, b;
  const float* costs;
  double decay;
  double x[kCandidates];
  bool have_blends = false;

  // c[i] = the exact cost of candidate i, for i in which[0..n).
  void take(const int* which, int n, double* c) {
    // Both probabilities 0: the costs only decay.
    if (a == 0 && b == 0) {
      for (int j = 0; j < n; ++j) c[which[j]] = costs[which[j]] * decay;
      return;
    }
    if (!have_blends) {
      accumulate_candidates(a, b, x);
      have_blends = true;
    }
    for (int j = 0; j < n; ++j) {
      const int i = which[j];
      const double y = (i == 0 || i == kCandidates - 1) && !(x[i] > 0) ? -kZeroProbabilityCost : ln(x[i]);
      c[i] = costs[i] * decay - y;
    }
  }
};

}  // namespace

double settle_selection(float a, float b, float* costs, float decay, double* c, double* err) {
  ExactCosts exact{a, b, costs, decay, {}};
  int which[kCandidates];
  // Takes the costs of which[0..n) exactly. A cost that is not a number (a
  // negative blend, which the model never forms) defeats the bounds: then
  // every cost is taken exactly.
  auto make_exact = [&](int n) {
    exact.take(which, n, c);
    bool not_a_number = false;
    for (int j = 0; j < n; ++j) err[which[j]] = 0, not_a_number |= c[which[j]] != c[which[j]];
    if (!not_a_number) return false;
    int m = 0;
    for (int i = 0; i < kCandidates; ++i)
      if (err[i] != 0) which[m++] = i;
    exact.take(which, m, c);
    for (int j = 0; j < m; ++j) err[which[j]] = 0;
    return true;
  };

  // Make exact every candidate that could hold the smallest cost.
  bool all_exact = false;
  for (bool again = true; again && !all_exact;) {
    double upper = std::numeric_limits<double>::infinity();
    for (int i = 0; i < kCandidates; ++i) {
      const double hi = c[i] + err[i];
      if (hi < upper) upper = hi;
    }
    int n = 0;
    for (int i = 0; i < kCandidates; ++i)
      if (err[i] != 0 && c[i] - err[i] <= upper) which[n++] = i;
    again = n > 0;
    if (again) all_exact = make_exact(n);
  }
  // And every candidate whose float is not decided.
  if (!all_exact) {
    int n = 0;
    for (int i = 0; i < kCandidates; ++i)
      if (err[i] != 0 && static_cast<float>(c[i] - err[i]) != static_cast<float>(c[i] + err[i]))
        which[n++] = i;
    if (n > 0) make_exact(n);
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
