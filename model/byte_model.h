#pragma once

#include <cstdint>

#include "model/frequency_table.h"
#include "model/kernels/ordered_total.h"
#include "model/constants.h"

namespace bytemix {

// Adaptive byte model: order-0 and order-1 counts, each kept at a slow and a
// fast rate of decay, blended by three weights that are re-chosen after every
// byte. Its plain statement, one scalar step at a time, is the literal model
// (model/reference/literal_byte_model.h); this one gives the same bits
// faster. Counts, weights and costs are stored as floats, all arithmetic is
// done in doubles rounded after every operation, so that two instances fed
// the same bytes produce bit-identical frequency tables on every machine.
//
// Usage: reset(), then strictly alternating predict() and update(x) for each
// byte. No memory is allocated after construction (the object is about 660 KiB;
// keep it off small stacks).
//
// The loops over 256 counts and 64 candidates run in the vector kernels of
// model/kernels/kernels.h, chosen once per run; all of them give the same bits.
class ByteModel {
 public:
  ByteModel() { reset(); }

  // Sets every table, weight and cost to its initial value, context to 0.
  void reset();

  // Frequencies for the next byte in the current context. Also keeps the
  // mixed values and inverse sums that the following update() needs.
  const FrequencyTable& predict();

  // Learns the byte x (0..255) that followed the last predict() (or
  // predict_lagged()) and makes it the next context.
  void update(unsigned x);

  // predict() for a coder that can take a byte's table one byte later.
  // Where the model needs its index-order total (a chain of 256 dependent
  // additions) for some frequency, it leaves this byte's table open and
  // adds the total's blocks a few at a time over the work that follows (the
  // next update()'s order-0 selection and decay, the next prediction's
  // mix), which does not depend on it; the next
  // predict_lagged() returns the table settled. The tables are predict()'s,
  // bit for bit.
  //
  // Usage: predict_lagged(), then the byte x and update(x), and so on; the
  // table of a byte is in `current` at once, or in `settled_previous` of the
  // next predict_lagged(), or from settle() after the last update(). While
  // a table is open (before update()), open_estimate() and settle() may be
  // called.
  struct LaggedTables {
    const FrequencyTable* settled_previous;  // the last byte's, if it was open
    const FrequencyTable* current;           // this byte's, or nullptr: open
  };
  LaggedTables predict_lagged();

  // Settles the open table now and returns it; nullptr if none is open.
  const FrequencyTable* settle();

  // The open table as estimated, before update(): total and block_cum are
  // those of its frequencies, and the settled table differs from it at
  // most by one at each byte marked in open (bit k % 64 of open[k / 64])
  // and nowhere else.
  const FrequencyTable& open_estimate(const std::uint64_t*& open) const;

 private:
  // Reads the state for the tests and benchmarks (tests/model_view.h).
  friend class ByteModelView;

  alignas(64) float order0_slow_[256];
  alignas(64) float order0_fast_[256];
  alignas(64) float order1_slow_[256][256];
  alignas(64) float order1_fast_[256][256];
  float weight_order0_;
  float weight_order1_[256];
  float weight_final_[256];
  alignas(64) float cost_order0_[kCandidates];
  alignas(64) float cost_order1_[256][kCandidates];
  alignas(64) float cost_final_[256][kCandidates];
  // The mixed values, the same before rounding to float (for the
  // index-order total) and the table, twice: predictions alternate between
  // the two sides, so that an open table's values stay while the next
  // prediction fills the other side.
  alignas(64) float mixed_[2][256];
  alignas(64) double mixed_unrounded_[2][256];
  FrequencyTable tables_[2];
  std::uint64_t undecided_[2][4];
  unsigned side_ = 0;
  // The open table (on side open_side_) and its index-order total, in
  // progress.
  bool open_ = false;
  unsigned open_side_ = 0;
  kernels::OrderedTotal open_total_;
  const FrequencyTable& settle_open();

  // The sums of the four kinds of row, kept up to date by update() rather
  // than recomputed by predict(). A row's sum is exact in double whatever
  // the order of addition, so these equal the index-order sums.
  double sum_order0_slow_, sum_order0_fast_;
  double sum_order1_slow_[256], sum_order1_fast_[256];
  // Per context, the blocks of bytes where its order-1 counts may be
  // nonzero (kernels::occupancy_bit); the kernels skip the others.
  std::uint16_t occupied_[256];
  // The order-0 blocks that the decay visits. A count at or below the floor
  // keeps its value until its byte comes, so a block whose counts in both
  // order-0 rows all lie there (bytes not seen for a long while, or never)
  // is frozen: left out of the decay, its sums kept aside, until its next
  // byte comes. Blocks are frozen every kFreezeInterval bytes.
  std::uint16_t order0_live_;
  // The frozen blocks whose sixteen slow counts are one value, and sixteen
  // fast counts too: bytes never seen, or not for a long while, all decayed
  // alike to the floor. In a context without order-1 counts there, the
  // block's mixed values are equal, and the kernels compute one of them
  // (and add sixteen of them to the total in one step where that is exact).
  std::uint16_t order0_equal_;
  double frozen_order0_slow_, frozen_order0_fast_;
  unsigned bytes_to_freeze_;
  void freeze_order0_blocks();
  void thaw_order0_block(unsigned byte);

  unsigned context_;
  // Inverse sums of the four count rows at the last predict(): 1/S, or 0 for
  // an empty row.
  double inv_order0_slow_, inv_order0_fast_, inv_order1_slow_, inv_order1_fast_;
};

}  // namespace bytemix
