#pragma once

namespace bytemix {

// Natural logarithm used by the byte model. Every weight the model chooses,
// and so every frequency it hands to the coder, depends on these results to
// the last bit, so encoder and decoder must share this one function.
//
// The result is ln(x) correctly rounded to nearest (ties to even) for every
// positive double, subnormals included, and so the same on every target that
// evaluates doubles in IEEE binary64 without contraction. ln(1) = +0,
// ln(+-0) = -inf, ln(+inf) = +inf, NaN for x < 0 and for NaN.
// Internals: model/ln/ln_detail.h.
double ln(double x);

}  // namespace bytemix
