// Fast path of bytemix::ln: double-double evaluation with a proven relative
// error bound, followed by Ziv's rounding test.
//
// Notation: u = 2^-53, zeta = max |z| = 3 * 2^-9 < 2^-7.41 (from the table
// generator), y = ln x, and "relative" means relative to |y| unless stated.
//
// 1. Reduction (model/ln/ln_detail.h). z = m r - 1 is computed exactly: r has at
//    most 8 significant bits, so with mh = m with its 8 lowest bits cleared
//    (45 significant bits) and ml = m - mh (exact, at most 8 bits), mh*r and
//    ml*r are exact products, mh*r - 1 is exact by Sterbenz (mh*r in
//    [0.99, 1.01]), and the final sum is exact because its value
//    N * 2^-60 with |N| < 2^53 (checked by the generator) is a double.
//
// 2. Polynomial: p = ph + pl approximates ln(1 + z) by its Taylor polynomial
//    of degree 10,  z - z^2/2 + z^3/3 - ... - z^10/10, evaluated as
//        q = c4 + z (c5 + ... + z c10)                  (double Horner)
//        A = 1/3 + z q                                  (double-double)
//        B = -1/2 + z A                                 (double-double)
//        p = z + (z^2) B                                (double-double)
//    Errors relative to |ln(1+z)| >= |z| (1 - zeta/2):
//    - truncation: |sum_{k>10} (-1)^(k+1) z^k / k| <= zeta^10 |z| / (11 (1-zeta)),
//      relative 2^-77.6;
//    - q: coefficients c5..c10 rounded (<= u/5 each), two roundings per Horner
//      step; |q - (c4 + ... )| <= 0.26u, entering as z^4: relative
//      zeta^3 * 0.26u < 2^-77.2;
//    - fl(z q) rounded once: <= u * zeta * 0.252, entering as z^3: relative
//      zeta^2 * 2^-62.4 < 2^-77.2;
//    - the double-double steps (1/3 stored to 2^-106/3, two_prod exact, the
//      low-order additions) add less than 2^-100.
//    Sum: eps_p <= 2^-75.7.
//
// 3. Reconstruction: K = e' ln2 + L_i as double-double (e' * kLn2Hi exact
//    since kLn2Hi has 42 bits and |e'| <= 1075 < 2^11; L_i = l_hi + l_mid
//    to 2^-106 |L_i|; ln2 to 2^-96 absolute; e' kLn2Lo rounded once), then
//    y = K + p with two_sum and one final fast_two_sum. Three cases:
//    - e' = 0, L_i = 0 (x next to 1): K = 0 exactly and y = p:
//      relative error eps_p + 2^-104.
//    - e' = 0, L_i != 0: |y| >= 2^-9.01 and |ln(1+z)| <= 1.012 |y|
//      (generator), |L_i| < 0.35: relative <= 1.012 eps_p + 2^-97.
//    - e' != 0: |y| >= 0.3437 |e'|, |p| < 0.006: relative
//      <= 0.02 eps_p + 2^-92.
//    Overall the relative error of h + l is below 2^-75.5.
//
// 4. Next to 1 (|x - 1| < 2^-27) the rounding test of step 5 would often
//    fail: z = x - 1 has at most 26 significant bits there, so
//    T = z - z^2/2 is a short number and ln x = T + z^3/3 - ... lies within
//    about z^2/3 (relative) of it; when T happens to be a midpoint, a relative
//    bound of 2^-74 cannot decide. So this band is evaluated differently:
//    z = x - 1 and w = -z^2/2 are exact (z^2 has at most 52 bits), two_sum
//    gives T = h0 + l0 exactly, and only d = ln(1+z) - T is approximated,
//    d' = z^3 (1/3 - z/4), with |d' - d| <= 2^-50 |d| (truncation 0.6 z^2
//    <= 2^-54.7 relative, at most four roundings). With l = fl(l0 + d'),
//        |ln x - (h0 + l)| <= 2^-50 |d| + 2^-53 |l|,
//    and the test below uses err = 2^-48 |d'| + 1.0625 * 2^-52 |l|, which
//    also covers the roundings of l -+ err and of err itself. It fails only
//    if T lies within about 2^-105 |z| of a midpoint, i.e. for a handful of
//    arguments with |z| <= 2^-51.
//
// 5. Rounding test. With err = kFastRelErr * |h| (exact: a power of two times
//    h, and |h| >= 2^-54 so nothing underflows), y lies in
//    [h + l - err', h + l + err'] for err' = 2^-75.5 |y| + 2^-104 |h|, the
//    second term covering the rounding of l -+ err and |y| vs |h|. Since
//    kFastRelErr = 2^-74 exceeds that, fl(h + fl(l - err)) <= RN(y) <=
//    fl(h + fl(l + err)) by monotonicity of rounding, and equality of the two
//    ends proves RN(y). ln x is transcendental for x != 1, so y is never a
//    midpoint. The chance that the test fails is about
//    2 * 2^-74 / 2^-52.5, one call in ~1.5 million.

#include <bit>
#include <cstdint>

#include "model/ln/double_double.h"
#include "model/ln/ln_detail.h"

namespace bytemix::ln_detail {

namespace {

// Taylor coefficients c_k = (-1)^(k+1) / k, rounded to double at compile time.
constexpr double kC4 = -0.25;
constexpr double kC5 = 1.0 / 5;
constexpr double kC6 = -1.0 / 6;
constexpr double kC7 = 1.0 / 7;
constexpr double kC8 = -0.125;
constexpr double kC9 = 1.0 / 9;
constexpr double kC10 = -0.1;

inline double with_frac(uint64_t frac) {  // 1 + frac * 2^-52
  return std::bit_cast<double>(0x3ff0000000000000u | frac);
}

inline double abs_value(double v) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & 0x7fffffffffffffffu);
}

// Steps 1 to 3 for x = 2^e (1 + frac 2^-52): ln x ~ h + l, |l| <= ulp(h)/2.
inline void evaluate(int e, uint64_t frac, double& h, double& l) {
  const int i = table_index(frac);
  const TableEntry& t = kTable[i];
  const double ep = double(e + (i >= kSplitIndex ? 1 : 0));

  // z = m r - 1, exact (step 1).
  const double m = with_frac(frac);
  const double mh = with_frac(frac & ~uint64_t{0xff});
  const double ml = m - mh;
  const double z = (mh * t.r - 1.0) + ml * t.r;

  // ln(1 + z) as ph + pl (step 2).
  using namespace dd;
  double zh, zl;
  split(z, zh, zl);
  double q = kC10;
  q = kC9 + z * q;
  q = kC8 + z * q;
  q = kC7 + z * q;
  q = kC6 + z * q;
  q = kC5 + z * q;
  q = kC4 + z * q;
  double ah, al;
  two_sum(kThirdHi, z * q, ah, al);
  al += kThirdLo;
  double ahh, ahl;
  split(ah, ahh, ahl);
  double zah, zal;
  two_prod_split(z, zh, zl, ah, ahh, ahl, zah, zal);
  zal += z * al;
  double bh, bl;
  fast_two_sum(-0.5, zah, bh, bl);
  bl += zal;
  double sh, sl;  // z^2
  two_prod_split(z, zh, zl, z, zh, zl, sh, sl);
  double ch, cl;
  two_prod(sh, bh, ch, cl);
  cl += sh * bl + sl * bh;
  double ph, pl;
  fast_two_sum(z, ch, ph, pl);
  pl += cl;

  // y = e' ln2 + L_i + p (step 3).
  double kh, kl;
  two_sum(ep * kLn2Hi, t.l_hi, kh, kl);
  kl += t.l_mid + ep * kLn2Lo;
  double yh, yl;
  two_sum(kh, ph, yh, yl);
  yl += kl + pl;
  fast_two_sum(yh, yl, h, l);
}

}  // namespace

// The fast path's unrounded result for positive finite x: ln x = h + l
// within relative 2^-75.5. Declared where the tests of that bound need it
// (tests/ln_test_support.h), not in a header of the library's.
void ln_fast_eval(double x, double& h, double& l) {
  int e = 0;
  uint64_t frac = 0;
  decompose(x, e, frac);
  evaluate(e, frac, h, l);
}

bool ln_fast(double x, double& result) {
  if (x > 1 - 0x1p-27 && x < 1 + 0x1p-27) {  // step 4
    using namespace dd;
    const double z = x - 1;      // exact (Sterbenz)
    const double w = -0.5 * z * z;  // exact, z has <= 26 significant bits
    double h0, l0;
    two_sum(z, w, h0, l0);
    const double d = z * z * z * (kThirdHi + kC4 * z);
    const double l = l0 + d;
    const double err = 0x1p-48 * abs_value(d) + 0x1.1p-52 * abs_value(l);
    const double lo = h0 + (l - err);
    const double hi = h0 + (l + err);
    result = lo;
    return lo == hi;
  }
  int e;
  uint64_t frac;
  if (!decompose(x, e, frac)) {
    result = special_value(x);
    return true;
  }
  double h, l;
  evaluate(e, frac, h, l);

  // Rounding test (step 5).
  const double err = kFastRelErr * abs_value(h);
  const double lo = h + (l - err);
  const double hi = h + (l + err);
  result = lo;
  return lo == hi;
}

}  // namespace bytemix::ln_detail
