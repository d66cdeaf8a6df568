#pragma once

namespace bytemix {

// Natural logarithm used by the byte model. Every weight the model chooses,
// and so every frequency it hands to the coder, depends on these results to
// the last bit, so encoder and decoder must share this one function.
double ln(double x);

}  // namespace bytemix
