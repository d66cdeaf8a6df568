#pragma once

// The byte model's constants, each stated once. The fast model
// (model/byte_model.h), its kernels and the literal model
// (model/reference/literal_byte_model.h) all read them here: a file decodes
// only with the constants it was encoded with.

namespace bytemix {

// Counts. Every order-0 slow count starts at kInitialOrder0SlowCount, every
// other count at 0. After each byte every count above kDecayFloor (compared
// in double) is multiplied by its row's decay, and the coded byte's counts
// gain kCountIncrement. A count at or below the floor stays as it is, so a
// count once raised never returns to 0, and an order-1 count of exactly 0
// means that byte never followed that context.
inline constexpr float kInitialOrder0SlowCount = 0.25f;
inline constexpr double kSlowDecay = 0.99951171875;  // 2047/2048
inline constexpr double kFastDecay = 0.9033203125;   // 925/1024
inline constexpr double kDecayFloor = 0.001;
inline constexpr double kCountIncrement = 1.0;

// Frequencies are scaled to total about 2^23, which leaves the 32-bit range
// coder at least 2^24 / 2^23 = 2 units per frequency step after normalising.
inline constexpr double kTargetTotal = 8388608.0;

// The weight selectors choose among kCandidates weights i/63, formed as the
// product index * kCandidateStep (the double nearest 1/63), not the quotient
// index/63, which differs in the last bit for some indices: encoder and
// decoder must agree on which.
inline constexpr int kCandidates = 64;
inline constexpr double kCandidateStep = 1.0 / 63;

// Charged to an endpoint candidate whose blended probability is not
// positive: large enough that such a candidate is never chosen while any
// other has a finite history, small enough to keep the float costs finite.
inline constexpr double kZeroProbabilityCost = 65535.0;
// Start of the minimum search; every real cost is below it.
inline constexpr double kInitialBestCost = 1e10;

// How fast each selector forgets the costs of past bytes.
inline constexpr float kSelectorDecayOrder0 = 0.9765625f;  // 125/128
inline constexpr float kSelectorDecayOrder1 = 0.98828125f;  // 253/256
inline constexpr float kSelectorDecayFinal = 0.984375f;     // 63/64

}  // namespace bytemix
