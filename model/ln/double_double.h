#pragma once

// Error-free transformations on IEEE binary64, round to nearest.
//
// They are exact only if every operation is rounded on its own: the build
// passes -ffp-contract=off (a fused a*b-p would break two_prod's algebra) and
// doubles must not be evaluated in extended precision (x87), which the check
// below rejects. No FMA is used on purpose, so x86-64, 32-bit x86 with SSE2
// and aarch64 execute exactly the same operations.

#include <cfloat>

#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "bytemix needs doubles evaluated in double precision (on 32-bit x86 use -msse2 -mfpmath=sse)"
#endif

namespace bytemix::dd {

// s + t = a + b exactly, s = fl(a + b). No condition on a, b (Knuth).
inline void two_sum(double a, double b, double& s, double& t) {
  s = a + b;
  double bb = s - a;
  t = (a - (s - bb)) + (b - bb);
}

// s + t = a + b exactly, s = fl(a + b), provided a == 0 or the exponent of a
// is at least that of b (in particular if |a| >= |b|) (Dekker).
inline void fast_two_sum(double a, double b, double& s, double& t) {
  s = a + b;
  t = b - (s - a);
}

// hi + lo = a, both with at most 26 significant bits (Veltkamp), for
// |a| < 2^995 so that the scaled value cannot overflow.
inline void split(double a, double& hi, double& lo) {
  double c = 0x1.0000002p+27 * a;  // 2^27 + 1
  hi = c - (c - a);
  lo = a - hi;
}

// p + e = a * b exactly, p = fl(a * b), given the halves of a and b from
// split(), as long as a * b neither overflows nor comes within 2^106 of the
// subnormal range (Dekker). The callers here stay far from both limits.
inline void two_prod_split(double a, double ah, double al, double b, double bh, double bl,
                           double& p, double& e) {
  p = a * b;
  e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

inline void two_prod(double a, double b, double& p, double& e) {
  double ah, al, bh, bl;
  split(a, ah, al);
  split(b, bh, bl);
  two_prod_split(a, ah, al, b, bh, bl, p, e);
}

}  // namespace bytemix::dd
