#pragma once

// Signed fixed-point numbers with 224 bits, 200 of them after the binary
// point, stored as seven 32-bit limbs in two's complement (least significant
// first). Only integer operations are used, with 32x32->64-bit products, so
// results are identical on every target, 32-bit ones included.
//
// Range: |v| < 2^23; unit (one least significant bit) 2^-200. Operations are
// exact except where a truncation is documented.

#include <bit>
#include <cstdint>

namespace bytemix::wide {

inline constexpr int kLimbs = 7;
inline constexpr int kFracBits = 200;

struct Fixed {
  uint32_t w[kLimbs] = {};
};

constexpr bool is_negative(const Fixed& a) { return (a.w[kLimbs - 1] >> 31) != 0; }

constexpr void add_to(Fixed& a, const Fixed& b) {
  uint64_t carry = 0;
  for (int j = 0; j < kLimbs; ++j) {
    uint64_t s = uint64_t(a.w[j]) + b.w[j] + carry;
    a.w[j] = uint32_t(s);
    carry = s >> 32;
  }
}

constexpr void sub_from(Fixed& a, const Fixed& b) {
  uint64_t borrow = 0;
  for (int j = 0; j < kLimbs; ++j) {
    uint64_t d = uint64_t(a.w[j]) - b.w[j] - borrow;
    a.w[j] = uint32_t(d);
    borrow = (d >> 32) & 1;
  }
}

constexpr Fixed negated(const Fixed& a) {
  Fixed r;
  sub_from(r, a);
  return r;
}

constexpr Fixed magnitude(const Fixed& a) { return is_negative(a) ? negated(a) : a; }

// mag * 2^shift units, i.e. mag * 2^(shift - 200). For shift < 0 the bits
// below the unit are dropped (truncation toward zero, error < 1 unit). The
// caller keeps the value inside the range.
constexpr Fixed from_scaled(uint64_t mag, int shift) {
  Fixed r;
  if (shift < 0) {
    if (shift <= -64) return r;
    mag >>= -shift;
    shift = 0;
  }
  const int q = shift / 32, b = shift % 32;
  const uint64_t lo = mag << b;                         // bits b .. 63 of mag << b
  const uint64_t hi = b == 0 ? 0 : mag >> (64 - b);     // bits that moved past 64
  const uint32_t parts[4] = {uint32_t(lo), uint32_t(lo >> 32), uint32_t(hi), 0};
  for (int k = 0; k < 3 && q + k < kLimbs; ++k) r.w[q + k] = parts[k];
  return r;
}

// 2^200 / d truncated (error < 1 unit), for 0 < d < 2^32.
constexpr Fixed reciprocal(uint32_t d) {
  Fixed r;
  uint64_t rem = 0;
  for (int j = kLimbs - 1; j >= 0; --j) {
    const uint64_t digit = j == kFracBits / 32 ? (uint64_t{1} << (kFracBits % 32)) : 0;
    const uint64_t cur = (rem << 32) | digit;
    r.w[j] = uint32_t(cur / d);
    rem = cur % d;
  }
  return r;
}

// a * n / 2^s with |n| < 2^63 and 0 <= s < 64, the magnitude truncated (error
// < 1 unit). The caller keeps |a * n / 2^s| inside the range.
constexpr Fixed mul_int_shift(const Fixed& a, int64_t n, int s) {
  const bool neg = is_negative(a) != (n < 0);
  const Fixed m = magnitude(a);
  const uint64_t un = n < 0 ? uint64_t(0) - uint64_t(n) : uint64_t(n);
  const uint32_t n_part[2] = {uint32_t(un), uint32_t(un >> 32)};

  uint32_t prod[kLimbs + 3] = {};
  for (int k = 0; k < 2; ++k) {
    uint64_t carry = 0;
    for (int j = 0; j < kLimbs; ++j) {
      uint64_t t = uint64_t(m.w[j]) * n_part[k] + prod[j + k] + carry;
      prod[j + k] = uint32_t(t);
      carry = t >> 32;
    }
    for (int j = kLimbs + k; carry != 0 && j < kLimbs + 3; ++j) {
      uint64_t t = uint64_t(prod[j]) + carry;
      prod[j] = uint32_t(t);
      carry = t >> 32;
    }
  }

  Fixed r;
  const int q = s / 32, b = s % 32;
  for (int j = 0; j < kLimbs; ++j) {
    uint64_t pair = uint64_t(prod[j + q]) | (uint64_t(prod[j + q + 1]) << 32);
    r.w[j] = uint32_t(pair >> b);
  }
  return neg ? negated(r) : r;
}

// The double nearest to the value (ties to even), for values whose magnitude
// is 0 or in [2^-1022, 2^23).
inline double to_double_rn(const Fixed& a) {
  const bool neg = is_negative(a);
  const Fixed m = magnitude(a);
  int top = kLimbs - 1;
  while (top >= 0 && m.w[top] == 0) --top;
  if (top < 0) return 0.0;
  const int msb = top * 32 + 31 - std::countl_zero(m.w[top]);  // bit index of the leading 1

  // Bit k of the magnitude.
  auto bit = [&m](int k) -> uint64_t { return k < 0 ? 0 : (m.w[k / 32] >> (k % 32)) & 1; };
  // Any bit set strictly below position k?
  auto sticky_below = [&m](int k) {
    if (k <= 0) return false;
    const int q = k / 32, b = k % 32;
    for (int j = 0; j < q; ++j)
      if (m.w[j] != 0) return true;
    return b != 0 && (m.w[q] & ((uint32_t{1} << b) - 1)) != 0;
  };

  uint64_t mant = 0;  // the 53 bits msb .. msb-52
  for (int k = msb; k > msb - 53; --k) mant = (mant << 1) | bit(k);
  const uint64_t round = bit(msb - 53);
  const bool sticky = sticky_below(msb - 53);
  int exp = msb - kFracBits;  // value = mant * 2^(exp - 52) + rest
  if (round && (sticky || (mant & 1))) {
    if (++mant == (uint64_t{1} << 53)) {
      mant >>= 1;
      ++exp;
    }
  }
  const uint64_t bits = (uint64_t(neg) << 63) | (uint64_t(exp + 1023) << 52) |
                        (mant & ((uint64_t{1} << 52) - 1));
  return std::bit_cast<double>(bits);
}

}  // namespace bytemix::wide
