#pragma once

// Read-only access to a ByteModel's state, for tests and benchmarks, which
// compare it with the literal model's (the same names) or check the facts
// the fast model relies on. Reflects the model as it is at each call.
#include <cstdint>

#include "model/byte_model.h"

namespace bytemix {

class ByteModelView {
 public:
  explicit ByteModelView(const ByteModel& model) : m_(model) {}

  unsigned context() const { return m_.context_; }
  float weight_order0() const { return m_.weight_order0_; }
  float weight_order1(unsigned c) const { return m_.weight_order1_[c]; }
  float weight_final(unsigned c) const { return m_.weight_final_[c]; }
  float order0_slow(unsigned k) const { return m_.order0_slow_[k]; }
  float order0_fast(unsigned k) const { return m_.order0_fast_[k]; }
  float order1_slow(unsigned c, unsigned k) const { return m_.order1_slow_[c][k]; }
  float order1_fast(unsigned c, unsigned k) const { return m_.order1_fast_[c][k]; }
  float mixed(unsigned k) const { return m_.mixed_[m_.side_][k]; }
  // The row sums that update() keeps.
  double sum_order0_slow() const { return m_.sum_order0_slow_; }
  double sum_order0_fast() const { return m_.sum_order0_fast_; }
  double sum_order1_slow(unsigned c) const { return m_.sum_order1_slow_[c]; }
  double sum_order1_fast(unsigned c) const { return m_.sum_order1_fast_[c]; }
  float cost_order0(unsigned i) const { return m_.cost_order0_[i]; }
  float cost_order1(unsigned c, unsigned i) const { return m_.cost_order1_[c][i]; }
  float cost_final(unsigned c, unsigned i) const { return m_.cost_final_[c][i]; }
  std::uint16_t occupied(unsigned c) const { return m_.occupied_[c]; }
  std::uint16_t order0_equal() const { return m_.order0_equal_; }

 private:
  const ByteModel& m_;
};

}  // namespace bytemix
