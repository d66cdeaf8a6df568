#pragma once

// Internals of bytemix::ln shared by the scalar entry point, the tests and any
// future vectorised caller.
//
// ln(x) = ln_fast(x) when its rounding test passes (all but about one call in
// 10^6), else ln_accurate(x). Both paths use the same argument reduction:
//
//   x = 2^e * m,  m = M * 2^-52,  M in [2^52, 2^53)        (subnormals normalised)
//   i = ((M - 2^52) + 2^44) >> 45                         (0..128, see kTable)
//   e' = e + (i >= kSplitIndex)
//   z = m * r_i - 1 = N * 2^-60,  N = M * R_i - 2^60,  |z| <= 3 * 2^-9
//   ln x = e' ln2 + L_i + ln(1 + z)
//
// so that e' = 0 for x in [0.705, 1.41) and, on the intervals touching 1
// (i = 0 with e = 0, i = 127 or 128 with e = -1), L_i = 0 and ln x = ln(1 + z)
// with z = x - 1 computed exactly: relative accuracy holds right up to 1.
//
// A vectorised caller can run ln_fast's arithmetic in lanes (the table is a
// gather on i, everything else is lane-wise double and integer work) and call
// ln_accurate for the lanes whose test failed.

#include <bit>
#include <cstdint>
#include <limits>

#include "model/ln/ln_table.h"

namespace bytemix::ln_detail {

inline constexpr uint64_t kFracMask = (uint64_t{1} << 52) - 1;

// Relative error bound used by ln_fast's rounding test (see ln_fast.cpp for
// the derivation; the derived bound is 2^-75.5).
inline constexpr double kFastRelErr = 0x1p-74;

// For positive, finite, nonzero x: sets x = 2^e * (1 + frac * 2^-52) with
// frac < 2^52 and returns true. Subnormals are normalised with integer
// operations, so a flush-to-zero mode cannot change anything. Returns false
// for zeros, negatives, infinities and NaN.
inline bool decompose(double x, int& e, uint64_t& frac) {
  const uint64_t u = std::bit_cast<uint64_t>(x);
  if (u - 0x0010000000000000u < 0x7fe0000000000000u) {  // positive normal
    e = int(u >> 52) - 1023;
    frac = u & kFracMask;
    return true;
  }
  if (u != 0 && u < 0x0010000000000000u) {  // positive subnormal, x = u * 2^-1074
    const int shift = std::countl_zero(u) - 11;  // moves the leading 1 to bit 52
    frac = (u << shift) & kFracMask;
    e = -1022 - shift;
    return true;
  }
  return false;
}

// ln of the arguments decompose() rejects.
inline double special_value(double x) {
  if (x != x) return x + x;                                      // NaN stays NaN
  if (x == 0) return -std::numeric_limits<double>::infinity();   // ln(+-0) = -inf
  if (x < 0) return std::numeric_limits<double>::quiet_NaN();
  return x;                                                      // ln(+inf) = +inf
}

// Table index for the fraction bits of m.
inline int table_index(uint64_t frac) { return int((frac + (uint64_t{1} << 44)) >> 45); }

// Returns true and sets result to the correctly rounded ln(x) when the fast
// evaluation's rounding test passes (or x is a special value); returns false,
// leaving result unspecified, otherwise.
bool ln_fast(double x, double& result);


// Correctly rounded ln(x) for every x, by a slow multi-word evaluation.
double ln_accurate(double x);

}  // namespace bytemix::ln_detail
