#pragma once

#include <cstdint>

#include "model/frequency_table.h"
#include "model/reference/weight_selector.h"

namespace bytemix {

// The byte model read literally: every sum, mix, decay and candidate cost is
// computed one scalar step at a time, in index order, exactly as the model is
// defined. This and weight_selector.h are the plain statement of the model's
// arithmetic, the place to learn the algorithm; the fast ByteModel must
// produce the same frequency tables bit for bit (the differential tests check
// it), and the benchmarks take this as their baseline. Same interface as
// ByteModel: reset(), then strictly alternating predict() and update(x).
class LiteralByteModel {
 public:
  LiteralByteModel() { reset(); }

  void reset();
  // Fills freq and total; cum is filled by a plain running sum so that the
  // table can be handed to the same coder driver as the fast model's.
  const FrequencyTable& predict();
  void update(unsigned x);

  unsigned context() const { return context_; }
  float weight_order0() const { return weight_order0_; }
  float weight_order1(unsigned c) const { return weight_order1_[c]; }
  float weight_final(unsigned c) const { return weight_final_[c]; }
  float order0_slow(unsigned k) const { return order0_slow_[k]; }
  float order0_fast(unsigned k) const { return order0_fast_[k]; }
  float order1_slow(unsigned c, unsigned k) const { return order1_slow_[c][k]; }
  float order1_fast(unsigned c, unsigned k) const { return order1_fast_[c][k]; }
  float cost_order0(unsigned i) const { return cost_order0_[i]; }
  float cost_order1(unsigned c, unsigned i) const { return cost_order1_[c][i]; }
  float cost_final(unsigned c, unsigned i) const { return cost_final_[c][i]; }
  float mixed(unsigned k) const { return mixed_[k]; }

 private:
  float order0_slow_[256];
  float order0_fast_[256];
  float order1_slow_[256][256];
  float order1_fast_[256][256];
  float weight_order0_;
  float weight_order1_[256];
  float weight_final_[256];
  float cost_order0_[kCandidates];
  float cost_order1_[256][kCandidates];
  float cost_final_[256][kCandidates];
  float mixed_[256];

  unsigned context_;
  double inv_order0_slow_, inv_order0_fast_, inv_order1_slow_, inv_order1_fast_;
  FrequencyTable table_;
};

}  // namespace bytemix
