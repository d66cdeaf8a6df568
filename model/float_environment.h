#pragma once

// Build-time checks for the floating-point environment that the model's
// bit-exactness rests on: every double operation rounded once, to 53 bits.
#include <cfloat>

// -ffast-math lets the compiler reassociate sums, drop the rounding of
// intermediates and contract multiply-adds: the decoder's frequencies would
// then drift from the encoder's.
#if defined(__FAST_MATH__)
#error "bytemix must not be built with -ffast-math: compressed files would not decode"
#endif

// x87 arithmetic keeps intermediates in 80-bit registers and rounds them to
// double only when they are spilled, at places that depend on the optimiser:
// two builds would disagree. 32-bit x86 must use -msse2 -mfpmath=sse.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "bytemix needs double arithmetic evaluated in double precision (on 32-bit x86: -msse2 -mfpmath=sse, not x87)"
#endif
