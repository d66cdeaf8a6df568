#include "model/context_selections.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif
#if defined(__unix__)
#include <csignal>
#include <pthread.h>
#endif

#include "model/kernels.h"

namespace bytemix {
namespace {

constexpr float kSelectorDecayOrder1 = 0.98828125f;  // 253/256
constexpr float kSelectorDecayFinal = 0.984375f;     // 63/64

// The second thread starts after this many requests: a short file is done
// before a thread would have paid for its start.
constexpr std::uint32_t kInlineRequests = 4096;
// A waiting side spins this many times (a pause takes some 10 to 150
// cycles: about 12 us in all here) before it sleeps until woken: spinning
// answers in nanoseconds when the other side is running, sleeping gives the
// processor back when it is not. The thread's usual wait, between two
// requests, is under a microsecond.
constexpr int kSpins = 512;
// Alone, the owner almost never sleeps on the thread (a few times in a
// million requests). When the processors are busy with other work, the
// thread is often not running when the owner needs it, and the owner sleeps
// often: more than kMaxOwnerSleeps times in kSleepWindow requests, and it
// stops the thread and runs every selection itself, which is then faster.
constexpr std::uint32_t kSleepWindow = 4096;
constexpr std::uint32_t kMaxOwnerSleeps = 16;
// The request that tells the second thread to stop.
constexpr unsigned kStopContext = 256;

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Whether a second thread may help: not if the environment says
// BYTEMIX_THREADS=1, nor if this process may run on one processor only.
bool second_thread_allowed() {
  if (const char* threads = std::getenv("BYTEMIX_THREADS"); threads != nullptr && std::strcmp(threads, "1") == 0)
    return false;
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set) >= 2;
#endif
  return std::thread::hardware_concurrency() >= 2;
}

}  // namespace

// Each side's flag and bell. A side about to sleep sets sleeps and then
// waits on its bell; whoever sees sleeps set after publishing work or a
// result rings the bell. The publisher reads sleeps with a plain load (a
// fence on every request would cost more than the request saves), so it
// may miss a side that has only just gone to sleep; that is made good by
// the check every side makes before it waits itself, a read-modify-write of
// the other's flag, which sees its latest value (and otherwise, the other
// side's own read-modify-write of the flag comes later and sees everything
// this side published before). The owner always waits for the thread in the
// end, and the thread waits whenever it runs out of work, so a sleeper is
// always woken, at worst when the other side next waits.
void ContextSelections::ring(Side& side) {
  side.bell.fetch_add(1, std::memory_order_release);
  side.bell.notify_all();
}

void ContextSelections::wake_other(Side& other) {
  if (other.sleeps.fetch_or(0, std::memory_order_acq_rel) != 0) ring(other);
}

bool ContextSelections::wait_until(const std::atomic<std::uint32_t>& value, std::uint32_t target, Side& self,
                                   Side& other) {
  if (value.load(std::memory_order_acquire) >= target) return false;
  wake_other(other);
  for (int i = 0; i < kSpins; ++i) {
    if (value.load(std::memory_order_acquire) >= target) return false;
    spin_pause();
  }
  for (;;) {
    self.sleeps.exchange(1, std::memory_order_acq_rel);
    const std::uint32_t bell = self.bell.load(std::memory_order_acquire);
    if (value.load(std::memory_order_acquire) >= target) break;
    self.bell.wait(bell, std::memory_order_acquire);
  }
  self.sleeps.store(0, std::memory_order_relaxed);
  return true;
}

ContextSelections::ContextSelections() : may_thread_(second_thread_allowed()) { reset(); }

ContextSelections::~ContextSelections() { stop_worker(); }

// The thread runs every request before the stop request, in order.
void ContextSelections::stop_worker() {
  if (!worker_.joinable()) return;
  Request stop{};
  stop.context = kStopContext;
  enqueue(stop);
  wake_other(worker_side_);
  worker_.join();
}

void ContextSelections::reset() {
  drain();
  for (int c = 0; c < 256; ++c) {
    for (int i = 0; i < kCandidates; ++i) cost_order1_[c][i] = cost_final_[c][i] = 0;
    slots_[c].weights = {0, 0};
    last_request_[c] = 0;
  }
}

void ContextSelections::run(const Request& r) {
  const kernels::Table& k = kernels::active();
  const unsigned c = r.context;
  const double w1 = k.select_weight(r.a1, r.b1, cost_order1_[c], kSelectorDecayOrder1);
  // The final blend sees the order-1 weight as returned (a double).
  const double p1 = ((1 - w1) * r.slow_count) * r.inv_slow + (w1 * r.fast_count) * r.inv_fast;
  const double wf = k.select_weight(r.p0, static_cast<float>(p1), cost_final_[c], kSelectorDecayFinal);
  slots_[c].weights = {static_cast<float>(w1), static_cast<float>(wf)};
}

std::uint32_t ContextSelections::enqueue(const Request& r) {
  const std::uint32_t seq = ++submitted_;
  // The entry is free once the thread has run the request kQueue before.
  // The thread writes finished_ after every request, so reading it costs a
  // transfer between the processors' caches each time: the owner reads it
  // only when the number it saw last is too small (once in some hundreds
  // of requests when the thread keeps up).
  if (seq > kQueue && seq - kQueue > finished_seen_) {
    owner_wait(finished_, seq - kQueue);
    finished_seen_ = finished_.load(std::memory_order_acquire);
  }
  Entry& e = queue_[(seq - 1) % kQueue];
  e.request = r;
  e.seq.store(seq, std::memory_order_release);
  if (worker_side_.sleeps.load(std::memory_order_relaxed)) ring(worker_side_);
  return seq;
}

void ContextSelections::submit(const Request& r, bool needed_soon) {
  const unsigned c = r.context;
  if (worker_.joinable() && ++window_requests_ == kSleepWindow) {
    if (owner_slept_ > kMaxOwnerSleeps) {
      stop_worker();
      may_thread_ = false;
    }
    window_requests_ = owner_slept_ = 0;
  }
  if (worker_.joinable() && !needed_soon) {
    last_request_[c] = enqueue(r);
    return;
  }
  // Here, in this thread: either there is no second thread, or the owner
  // expects to predict in this context again at once and would only wait
  // for the round trip.
  // The thread has nothing of context c in hand (the owner has waited for
  // c's last request before predicting in c), so the two never meet.
  run(r);
  last_request_[c] = 0;
  if (!worker_.joinable() && ++inline_runs_ == kInlineRequests && may_thread_) start_worker();
}

void ContextSelections::start_worker() {
  finished_.store(submitted_, std::memory_order_relaxed);
  finished_seen_ = submitted_;
#if defined(__unix__)
  // The thread takes no signals (it inherits this mask): the process's
  // handlers then always run in the owner's thread, which may block them
  // around work that a handler must not see half done.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
#endif
  try {
    worker_ = std::thread([this] { work(); });
  } catch (const std::system_error&) {
    may_thread_ = false;  // no thread to be had: go on in this one
  }
#if defined(__unix__)
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
}

void ContextSelections::work() {
  for (std::uint32_t seq = finished_.load(std::memory_order_relaxed) + 1;; ++seq) {
    Entry& e = queue_[(seq - 1) % kQueue];
    wait_until(e.seq, seq, worker_side_, owner_side_);
    const Request r = e.request;
    if (r.context == kStopContext) return;
    run(r);
    slots_[r.context].done.store(seq, std::memory_order_release);
    finished_.store(seq, std::memory_order_release);
    if (owner_side_.sleeps.load(std::memory_order_relaxed)) ring(owner_side_);
  }
}

ContextSelections::Weights ContextSelections::weights(unsigned c) {
  const Slot& slot = slots_[c];
  if (last_request_[c] != 0 && worker_.joinable()) owner_wait(slot.done, last_request_[c]);
  return slot.weights;
}

void ContextSelections::prefetch(unsigned c) const { __builtin_prefetch(&slots_[c]); }

void ContextSelections::owner_wait(const std::atomic<std::uint32_t>& value, std::uint32_t target) const {
  if (wait_until(value, target, owner_side_, worker_side_)) ++owner_slept_;
}

void ContextSelections::drain() const {
  if (worker_.joinable()) owner_wait(finished_, submitted_);
}

float ContextSelections::weight_order1(unsigned c) const {
  drain();
  return slots_[c].weights.order1;
}
float ContextSelections::weight_final(unsigned c) const {
  drain();
  return slots_[c].weights.final;
}
float ContextSelections::cost_order1(unsigned c, unsigned i) const {
  drain();
  return cost_order1_[c][i];
}
float ContextSelections::cost_final(unsigned c, unsigned i) const {
  drain();
  return cost_final_[c][i];
}

}  // namespace bytemix
