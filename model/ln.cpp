#include "model/ln.h"

#include <cmath>

namespace bytemix {

double ln(double x) { return std::log(x); }

}  // namespace bytemix
