#include "tools/console.h"

namespace bytemix {

void CodingTimer::print(std::FILE* stream) const {
  const std::clock_t end = stopped_ ? stop_ : std::clock();
  const double seconds = static_cast<double>(end - start_) / CLOCKS_PER_SEC;
  std::fprintf(stream, " = %.2fs\n", seconds);
}

void RunConsole::start(std::FILE* stream) {
  stream_ = stream;
  timer_ = CodingTimer();
}

ProgressFn RunConsole::progress() {
  return [this](std::int64_t done, std::int64_t length) {
    std::fprintf(stream_, "\r%i/%i", static_cast<int>(done), static_cast<int>(length));
    line_open_ = true;
  };
}

void RunConsole::print_time() {
  timer_.print(stream_);
  line_open_ = false;
}

void RunConsole::end_line() {
  if (line_open_) std::fputc('\n', stream_);
  line_open_ = false;
}

}  // namespace bytemix
