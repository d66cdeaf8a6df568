#include "tools/console.h"

namespace bytemix {

ProgressFn console_progress(std::FILE* stream) {
  return [stream](std::int64_t done, std::int64_t length) {
    std::fprintf(stream, "\r%i/%i", static_cast<int>(done), static_cast<int>(length));
  };
}

void CodingTimer::print(std::FILE* stream) const {
  const double seconds = static_cast<double>(std::clock() - start_) / CLOCKS_PER_SEC;
  std::fprintf(stream, " = %.2fs\n", seconds);
}

}  // namespace bytemix
