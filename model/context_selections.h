#pragma once

// The order-1 and final weight selections of one context, and where they
// run. After a byte in context c the model re-chooses two weights of c, but
// reads them only at the next prediction in context c, usually several bytes
// later; and the two selections touch nothing but c's own cost rows. So they
// can run on a second processor while the model goes on, as long as the
// model waits for context c's results before it predicts in c again. One
// thread runs the requests, in the order they were submitted.
//
// On one processor, or with BYTEMIX_THREADS=1 in the environment, the
// selections run in submit() itself. Either way the weights and costs are
// the same bits: the second thread runs the same kernels on the same inputs.
//
// Usage: the owner calls submit() after each byte and weights() before each
// prediction, both from one thread. The read-only views (costs, weights) wait
// for every outstanding request first.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "model/weight_selector.h"

namespace bytemix {

class ContextSelections {
 public:
  // What the two selections of context `context` need from the byte just
  // coded: the order-1 probabilities a1, b1 (as floats), the order-0 blend
  // p0 (its float), and the byte's order-1 counts and the rows' inverse
  // sums from the prediction, for the order-1 blend p1.
  struct Request {
    unsigned context;
    float a1, b1, p0;
    float slow_count, fast_count;
    double inv_slow, inv_fast;
  };

  struct Weights {
    float order1, final;
  };

  ContextSelections();
  ~ContextSelections();
  ContextSelections(const ContextSelections&) = delete;
  ContextSelections& operator=(const ContextSelections&) = delete;

  // Every weight and cost to 0. Waits for outstanding requests first.
  void reset();

  // Re-chooses the two weights of r.context, now or on the second thread.
  // needed_soon: the owner expects to predict in r.context again within a
  // byte or so (then this thread runs it at once rather than wait for the
  // round trip, and c's cost rows stay in this processor's cache).
  void submit(const Request& r, bool needed_soon);

  // The weights of context c after every request submitted for it.
  Weights weights(unsigned c);

  // Hints that context c comes next: its weights start on their way to
  // this processor's cache.
  void prefetch(unsigned c) const;

  // Read-only views for tests and diagnostics (they wait for every request).
  float weight_order1(unsigned c) const;
  float weight_final(unsigned c) const;
  float cost_order1(unsigned c, unsigned i) const;
  float cost_final(unsigned c, unsigned i) const;
  // True while the selections run on a second thread.
  bool threaded() const { return worker_.joinable(); }
  // Stops the thread, as the owner does when it has waited for it too long;
  // the thread starts again after a pause (tests call it too).
  void pause_worker();
  // The times the thread was stopped so.
  std::uint32_t pauses() const { return pauses_; }

 private:
  // A context's weights with the number of the queued request that set
  // them: the owner reads them once done has reached the number of its last
  // queued request for that context (last_request_). One cache line each,
  // so that the second thread's writes to one context never disturb the
  // owner's reads of another.
  struct alignas(64) Slot {
    std::atomic<std::uint32_t> done{0};
    Weights weights{0, 0};
  };
  // A request in the queue, published by its number (seq) being stored last.
  struct alignas(64) Entry {
    std::atomic<std::uint32_t> seq{0};
    Request request;
  };
  // Requests in flight at most; the owner waits for the second thread
  // before reusing an entry (only if that thread has fallen this far behind).
  static constexpr std::uint32_t kQueue = 512;

  struct alignas(64) Side {
    std::atomic<std::uint32_t> sleeps{0};
    std::atomic<std::uint32_t> bell{0};
  };
  // Waits until value >= target: spins for spin_time first, then sleeps on
  // self's bell.
  static void wait_until(const std::atomic<std::uint32_t>& value, std::uint32_t target, Side& self, Side& other,
                         std::chrono::microseconds spin_time);
  static void ring(Side& side);
  // Rings other's bell if it sleeps.
  static void wake_other(Side& other);

  void run(const Request& r);
  std::uint32_t enqueue(const Request& r);
  void start_worker();
  void stop_worker();
  // wait_until for the owner, adding the time to window_waited_.
  void owner_wait(const std::atomic<std::uint32_t>& value, std::uint32_t target) const;
  void work();
  void drain() const;

  alignas(64) float cost_order1_[256][kCandidates];
  alignas(64) float cost_final_[256][kCandidates];
  Slot slots_[256];
  Entry queue_[kQueue];
  // The owner's side: requests queued so far, and per context the number
  // of its last queued request (0: none since reset, or its last request
  // ran in the owner's thread).
  std::uint32_t submitted_ = 0;
  // finished_ as the owner last read it.
  std::uint32_t finished_seen_ = 0;
  std::uint32_t last_request_[256];
  // Requests still to run in the owner's thread before the second thread
  // starts (again), and that number after the next pause.
  std::uint32_t inline_left_;
  std::uint32_t next_pause_;
  std::uint32_t pauses_ = 0;
  bool may_thread_;
  // Requests since the window began, when it began and the owner's waits
  // for the thread in it; windows since the thread last started.
  std::uint32_t window_requests_ = 0;
  std::chrono::steady_clock::time_point window_start_;
  mutable std::chrono::steady_clock::duration window_waited_{};
  // Set by a wait that leaves the window's waits at kWaitToJudge or more.
  mutable bool judgement_due_ = false;
  std::uint32_t steady_windows_ = 0;
  void note_window();
  void begin_window(std::chrono::steady_clock::time_point now);
  // The second thread's side: the number of the last request it has run.
  alignas(64) std::atomic<std::uint32_t> finished_{0};
  // The two sides' sleep flags and bells (see wait_until).
  mutable Side owner_side_, worker_side_;
  std::thread worker_;
};

}  // namespace bytemix
