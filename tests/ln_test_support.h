#pragma once

// What the logarithm's tests share: bit views of doubles and the arguments
// known to be hardest to round.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bytemix::test {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline double from_bits(std::uint64_t u) { return std::bit_cast<double>(u); }

inline std::string hex(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", x);
  return buf;
}

// Arguments whose logarithm lies extremely close to a rounding midpoint,
// and three on which two builds of a common library log disagree.
inline const std::vector<double>& ln_hard_cases() {
  static const std::vector<double> cases = {
      0x1.62a88613629b6p+678, 0x1.fd15daa6ce332p+732, 0x1.d6a413a59c7eap+502,
      0x1.be87838f1a47cp+774, 0x1.b7f71a488641ap+340, 0x1.9476e304cd7c7p-384,
      0x1.613955dc802f8p-35,  0x1.10cdb4aa1770bp-9,   0x1.089ddea776f11p-27,
      0x1.ffffffffffffep-1,   0x1.fe5755f3a16e2p-1,   0x1.c7e1077f9aec2p-1,
      0x1.b9f1fa4587967p+0,   0x1.789e95b11578cp+0,   0x1.b2b6e194a4479p-1,
      0x1.7a1cf45360edp-3,    0x1.c6c3588bad9c3p-1,
  };
  return cases;
}

}  // namespace bytemix::test

namespace bytemix::ln_detail {

// The fast path's unrounded result (model/ln/ln_fast.cpp): ln x = h + l
// within relative 2^-75.5, for positive finite x.
void ln_fast_eval(double x, double& h, double& l);

}  // namespace bytemix::ln_detail
