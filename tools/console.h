#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "bytemix/bytemix.h"

namespace bytemix {

// Processor time spent since construction, printed as " = <seconds>s\n".
class CodingTimer {
 public:
  CodingTimer() : start_(std::clock()) {}

  // Freezes the time that print() prints; without it, print() prints the
  // time until the call.
  void stop() {
    stop_ = std::clock();
    stopped_ = true;
  }

  void print(std::FILE* stream) const;

 private:
  std::clock_t start_;
  std::clock_t stop_ = 0;
  bool stopped_ = false;
};

// The console text of one coding run. While coding, "\r<done>/<length>"
// before every 16384th byte, so that the updates overwrite each other on one
// line; once the run has succeeded, the coding time as CodingTimer prints
// it. A run that failed prints no time: it only ends a progress line with
// "\n", so that the error message starts a line of its own.
class RunConsole {
 public:
  // Starts the clock; the text goes to `stream`.
  void start(std::FILE* stream);

  // The progress text, for the library's coding functions.
  ProgressFn progress();

  // Stops the clock at the end of the coding.
  void stop() { timer_.stop(); }

  // After a run that succeeded: the time from start() to stop().
  void print_time();

  // After a run that failed.
  void end_line();

 private:
  std::FILE* stream_ = nullptr;
  CodingTimer timer_;
  bool line_open_ = false;  // progress text without its line end
};

}  // namespace bytemix
