#include "model/context_selections.h"

#include <chrono>
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
// A waiting side spins for a while before it sleeps until woken: spinning
// answers in nanoseconds when the other side is running, sleeping gives the
// processor back when it is not. A sleeper takes some tens of microseconds
// to run again once woken (on a virtual machine an idle processor must be
// given back by the host first), and if each side in turn sleeps while the
// other wakes, the two can stay in that rhythm, a few requests between
// sleeps (book1: 2,080 sleeps in one run, against 0 to 50 in most). So the
// owner, which waits only for a result it needs at once, spins long enough
// to cover the thread's waking up; the thread, whose usual wait between two
// requests is under a microsecond, spins long enough to cover the owner's
// short runs of selections of its own. Spins are timed, since a pause takes
// anything from 10 to 150 cycles on different processors.
constexpr auto kOwnerSpinTime = std::chrono::microseconds(200);
constexpr auto kThreadSpinTime = std::chrono::microseconds(50);
// Pauses between two looks at the clock (under 1 us here).
constexpr int kPausesPerLook = 32;
// Alone, the owner waits for the thread for well under 1 % of its time.
// When the processors are busy with other work, the thread is often not
// running when the owner needs it, and the owner then waits for it for a
// whole time slice of the system's scheduler (some milliseconds). So it
// measures its waits over windows of kWaitWindow requests (about 2 ms of
// work), and when they reach kWaitToJudge and more than 1/kWaitShare of the
// window's time, it stops the thread and runs every selection itself,
// which is then faster. (Two compressors at once on two processors: waits
// of 4 ms in most windows, 60 % of their time. Alone on a virtual machine,
// a window now and then holds one wait of some hundreds of microseconds,
// which is no reason to stop.) It judges as soon as its waits reach
// kWaitToJudge, rather than at the window's end: on busy processors one
// window can take a tenth of a second, most of it waiting.
constexpr std::uint32_t kWaitWindow = 4096;
constexpr int kWaitShare = 4;
constexpr std::chrono::steady_clock::duration kWaitToJudge = std::chrono::milliseconds(1);
// Busy spells pass (on a virtual machine the host may take the second
// processor away for some milliseconds now and then), so a stopped thread
// is started again after kFirstPause requests run alone, and after twice
// as many each time it is stopped again, up to kLongestPause (about a
// second of work alone); a thread that has run kSteadyWindows windows
// without being stopped sets the pause back to kFirstPause. A start costs
// some tens of microseconds, and a thread stopped again has cost at most
// its window's waits.
constexpr std::uint32_t kFirstPause = 1u << 16;
constexpr std::uint32_t kLongestPause = 1u << 21;
constexpr std::uint32_t kSteadyWindows = 64;
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

void ContextSelections::wait_until(const std::atomic<std::uint32_t>& value, std::uint32_t target, Side& self,
                                   Side& other, std::chrono::microseconds spin_time) {
  if (value.load(std::memory_order_acquire) >= target) return;
  wake_other(other);
  const auto give_up = std::chrono::steady_clock::now() + spin_time;
  do {
    for (int i = 0; i < kPausesPerLook; ++i) {
      if (value.load(std::memory_order_acquire) >= target) return;
      spin_pause();
    }
  } while (std::chrono::steady_clock::now() < give_up);
  for (;;) {
    self.sleeps.exchange(1, std::memory_order_acq_rel);
    const std::uint32_t bell = self.bell.load(std::memory_order_acquire);
    if (value.load(std::memory_order_acquire) >= target) break;
    self.bell.wait(bell, std::memory_order_acquire);
  }
  self.sleeps.store(0, std::memory_order_relaxed);
}

ContextSelections::ContextSelections()
    : inline_left_(kInlineRequests), next_pause_(kFirstPause), may_thread_(second_thread_allowed()) {
  reset();
}

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
  if (worker_.joinable()) note_window();
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
  if (!worker_.joinable() && may_thread_ && --inline_left_ == 0) start_worker();
}

// At the end of a window, and after each wait once the owner's waits in it
// have reached kWaitToJudge: stops the thread if the owner has spent too
// much of the window waiting for it, to start it again after a pause (see
// kFirstPause). Between two waits the share of the window spent waiting
// only falls, so a judgement is due only after a wait.
void ContextSelections::note_window() {
  if (++window_requests_ < kWaitWindow && !judgement_due_) return;
  judgement_due_ = false;
  const auto now = std::chrono::steady_clock::now();
  if (window_waited_ >= kWaitToJudge && window_waited_ * kWaitShare > now - window_start_) {
    pause_worker();
    return;
  }
  if (window_requests_ < kWaitWindow) return;
  begin_window(now);
  if (++steady_windows_ == kSteadyWindows) next_pause_ = kFirstPause;
}

void ContextSelections::begin_window(std::chrono::steady_clock::time_point now) {
  window_requests_ = 0;
  window_start_ = now;
  window_waited_ = {};
  judgement_due_ = false;
}

void ContextSelections::pause_worker() {
  if (!worker_.joinable()) return;
  stop_worker();
  ++pauses_;
  inline_left_ = next_pause_;
  next_pause_ = next_pause_ < kLongestPause / 2 ? 2 * next_pause_ : kLongestPause;
}

void ContextSelections::start_worker() {
  begin_window(std::chrono::steady_clock::now());
  steady_windows_ = 0;
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
    wait_until(e.seq, seq, worker_side_, owner_side_, kThreadSpinTime);
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

// The clock is read only when the result is not there yet (some ten times
// in a window when the thread keeps up).
void ContextSelections::owner_wait(const std::atomic<std::uint32_t>& value, std::uint32_t target) const {
  if (value.load(std::memory_order_acquire) >= target) return;
  const auto start = std::chrono::steady_clock::now();
  wait_until(value, target, owner_side_, worker_side_, kOwnerSpinTime);
  window_waited_ += std::chrono::steady_clock::now() - start;
  if (window_waited_ >= kWaitToJudge) judgement_due_ = true;
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
