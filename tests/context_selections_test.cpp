// The order-1 and final selections of a context on a second thread: the same
// weights and costs, bit for bit, as the literal selector run in order, with
// the thread running, asleep, reset or stopped with requests outstanding.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>


#include "model/context_selections.h"
#include "tests/literal_model/literal_byte_model.h"

namespace bytemix {
namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The literal reading of the two selections of one context.
struct ReferenceContext {
  float cost_order1[kCandidates] = {}, cost_final[kCandidates] = {};
  float weight_order1 = 0, weight_final = 0;

  void apply(const ContextSelections::Request& r) {
    const double w1 = LiteralByteModel::select_weight(r.a1, r.b1, cost_order1, 0.98828125f);
    const double p1 = ((1 - w1) * r.slow_count) * r.inv_slow + (w1 * r.fast_count) * r.inv_fast;
    weight_order1 = static_cast<float>(w1);
    weight_final = static_cast<float>(
        LiteralByteModel::select_weight(r.p0, static_cast<float>(p1), cost_final, 0.984375f));
  }
};

// Requests shaped like the model's: a few busy contexts, probabilities that
// are often 0 or equal, counts and inverse sums of plausible size.
class RequestStream {
 public:
  explicit RequestStream(unsigned seed) : rng_(seed) {}

  ContextSelections::Request next() {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    ContextSelections::Request r{};
    r.context = rng_() % 4 == 0 ? rng_() % 256 : rng_() % 8;
    r.a1 = unit(rng_);
    r.b1 = unit(rng_);
    switch (rng_() % 6) {
      case 0: r.a1 = r.b1 = 0; break;
      case 1: r.b1 = r.a1; break;
      case 2: r.b1 = 0; break;
      default: break;
    }
    r.p0 = unit(rng_);
    r.slow_count = unit(rng_) * 40;
    r.fast_count = unit(rng_) * 10;
    r.inv_slow = 1 / (r.slow_count + 100.0);
    r.inv_fast = 1 / (r.fast_count + 10.0);
    return r;
  }

 private:
  std::mt19937 rng_;
};

// A ContextSelections beside the literal reference, driven as the model
// drives it: the weights of a context are read before its next request, and
// a request is needed next now and then. Every weight read is checked, and
// check() compares every weight and cost.
struct Driven {
  explicit Driven(unsigned seed) : stream(seed), rng(seed + 1) {}

  void drive(int n) {
    for (int step = 0; step < n; ++step) {
      const ContextSelections::Request r = stream.next();
      const ContextSelections::Weights w = s->weights(r.context);
      ASSERT_TRUE(same_bits(w.order1, ref[r.context].weight_order1)) << "step " << step;
      ASSERT_TRUE(same_bits(w.final, ref[r.context].weight_final)) << "step " << step;
      ref[r.context].apply(r);
      s->submit(r, rng() % 16 == 0);
    }
  }

  void check() const {
    for (unsigned c = 0; c < 256; ++c) {
      ASSERT_TRUE(same_bits(s->weight_order1(c), ref[c].weight_order1)) << "context " << c;
      ASSERT_TRUE(same_bits(s->weight_final(c), ref[c].weight_final)) << "context " << c;
      for (unsigned i = 0; i < kCandidates; ++i) {
        ASSERT_TRUE(same_bits(s->cost_order1(c, i), ref[c].cost_order1[i])) << "context " << c << " i " << i;
        ASSERT_TRUE(same_bits(s->cost_final(c, i), ref[c].cost_final[i])) << "context " << c << " i " << i;
      }
    }
  }

  std::unique_ptr<ContextSelections> s = std::make_unique<ContextSelections>();
  std::vector<ReferenceContext> ref = std::vector<ReferenceContext>(256);
  RequestStream stream;
  std::mt19937 rng;
};

bool second_thread_expected() {
  const char* threads = std::getenv("BYTEMIX_THREADS");
  return std::thread::hardware_concurrency() >= 2 && !(threads != nullptr && std::strcmp(threads, "1") == 0);
}

TEST(ContextSelections, SameBitsAsTheLiteralSelectorsInOrder) {
  Driven d(5);
  d.drive(4200);
  // The thread has started (and busy processors may have stopped it again).
  if (second_thread_expected()) {
    EXPECT_TRUE(d.s->threaded() || d.s->pauses() > 0);
  }
  d.drive(40000);
  d.check();
}

TEST(ContextSelections, ASleepingThreadIsWokenByTheNextRequest) {
  Driven d(7);
  for (int round = 0; round < 4; ++round) {
    d.drive(6000);
    // Long enough for the thread to stop spinning and sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  d.check();
}

// Other threads keep every processor busy: the owner often finds the thread
// not running, waits, and after a while stops it and goes on alone (and
// starts it again later).
TEST(ContextSelections, SameBitsWhileOtherWorkKeepsTheProcessorsBusy) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < 4; ++i)
    busy.emplace_back([&stop] {
      volatile std::uint64_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) n = n + 1;
    });
  Driven d(12);
  d.drive(30000);
  stop = true;
  for (std::thread& t : busy) t.join();
  d.check();
}

// A thread stopped for waiting too long starts again after a pause, in
// which the owner runs every selection itself; the bits stay the same across
// the stop and the new start.
TEST(ContextSelections, AStoppedThreadStartsAgainAfterAPause) {
  Driven d(15);
  // Up to the thread's start (a slow run may have it stopped soon after).
  for (int step = 0; step < 4200 && !d.s->threaded(); ++step) d.drive(1);
  if (!d.s->threaded()) GTEST_SKIP() << "no second thread here";
  const std::uint32_t before = d.s->pauses();
  d.s->pause_worker();
  EXPECT_FALSE(d.s->threaded());
  EXPECT_EQ(d.s->pauses(), before + 1);
  d.drive(60000);
  // Still within the first pause (65,536 requests).
  EXPECT_FALSE(d.s->threaded());
  d.drive(10000);
  // Started again, unless busy processors have stopped it once more.
  EXPECT_TRUE(d.s->threaded() || d.s->pauses() > before + 1);
  d.check();
}

TEST(ContextSelections, ResetWaitsForOutstandingRequestsThenClears) {
  Driven d(9);
  d.drive(10000);
  d.s->reset();
  d.ref.assign(256, ReferenceContext{});
  d.check();
  // And it goes on from the cleared state.
  d.drive(10000);
  d.check();
}

#if defined(__linux__)
// The second thread blocks every signal, so that the programs' handlers run
// in the owner's thread, which blocks them around its critical sections.
std::set<std::string> thread_ids() {
  std::set<std::string> ids;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(task.path().filename().string());
  return ids;
}

TEST(ContextSelections, TheThreadTakesNoSignals) {
  // The threads that were there before (a sanitizer may run its own).
  const std::set<std::string> before = thread_ids();
  auto s = std::make_unique<ContextSelections>();
  RequestStream stream(14);
  // Up to the thread's start, and no further: a slow run (under a
  // sanitizer) may have the owner stop the thread again soon after.
  for (int step = 0; step < 4200 && !s->threaded(); ++step) {
    const ContextSelections::Request r = stream.next();
    s->weights(r.context);
    s->submit(r, false);
  }
  if (!s->threaded()) GTEST_SKIP() << "no second thread here";
  int started = 0;
  for (const std::string& id : thread_ids()) {
    if (before.count(id) != 0) continue;
    ++started;
    std::ifstream status("/proc/self/task/" + id + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigBlk:", 0) != 0) continue;
      // Every signal blocked but those that cannot be (SIGKILL, SIGSTOP)
      // and the two that glibc keeps for itself (32 and 33).
      constexpr unsigned long long kUnblockable = 1ull << (SIGKILL - 1) | 1ull << (SIGSTOP - 1) | 3ull << 31;
      const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
      EXPECT_EQ(blocked | kUnblockable, ~0ull) << line;
      EXPECT_NE(blocked & (1ull << (SIGINT - 1)), 0u) << line;
    }
  }
  EXPECT_EQ(started, 1);
}
#endif

TEST(ContextSelections, StopsWithRequestsOutstanding) {
  RequestStream stream(11);
  for (int trial = 0; trial < 20; ++trial) {
    auto s = std::make_unique<ContextSelections>();
    for (int step = 0; step < 4096 + 600; ++step) {
      const ContextSelections::Request r = stream.next();
      s->weights(r.context);
      s->submit(r, false);
    }
  }
}

}  // namespace
}  // namespace bytemix
