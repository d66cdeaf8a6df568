#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "bytemix/bytemix.h"

namespace bytemix {

// Progress text of both programs: "\r<done>/<length>", so that the updates
// overwrite each other on one console line.
ProgressFn console_progress(std::FILE* stream);

// Processor time spent since construction, printed as " = <seconds>s\n".
class CodingTimer {
 public:
  CodingTimer() : start_(std::clock()) {}
  void print(std::FILE* stream) const;

 private:
  std::clock_t start_;
};

}  // namespace bytemix
