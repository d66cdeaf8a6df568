#include "model/ln/ln.h"

#include "model/ln/ln_detail.h"

namespace bytemix {

double ln(double x) {
  double result;
  if (ln_detail::ln_fast(x, result)) return result;
  return ln_detail::ln_accurate(x);
}

}  // namespace bytemix
