#pragma once

// The 32-bit range coder: RangeEncoder writes a byte stream from (cum, freq,
// total) triples, RangeDecoder reads it back given the same tables.
#include "coder/range_decoder.h"
#include "coder/range_encoder.h"
