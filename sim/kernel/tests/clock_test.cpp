// The simulated clock: virtual time advances only when every simulated thread
// waits, to the earliest deadline; waits are satisfied by signals in order.
#include "kernel/clock.h"

#include <gtest/gtest.h>
#include <ntddk.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using korvel::sim::Clock;
using korvel::sim::ClockMode;

namespace {

LARGE_INTEGER relative_ms(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST(Clock, VirtualDelayJumpsToTheDeadline) {
  Clock& c = Clock::instance();
  uint64_t t0 = c.now_ns();
  LARGE_INTEGER d = relative_ms(250);
  ASSERT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
  EXPECT_EQ(c.now_ns() - t0, 250000000u);
}

TEST(Clock, TimeStandsStillWhileAThreadRuns) {
  Clock& c = Clock::instance();
  c.attach_current_thread();
  uint64_t t0 = c.now_ns();
  volatile uint64_t spin = 0;
  for (int i = 0; i < 1000000; ++i) spin = spin + 1;
  EXPECT_EQ(c.now_ns(), t0);
}

TEST(Clock, TimersRunAtTheirDeadlineInTheThreadThatMovesTimeOn) {
  // A timer runs when time reaches it, before a later deadline, and time
  // stands still while it runs; what it signals ends the wait it ran in.
  Clock& c = Clock::instance();
  c.set_mode(ClockMode::Virtual);
  c.attach_current_thread();
  struct State {
    uint64_t fired_at = 0;
    std::thread::id thread;
    bool done = false;
  } state;
  Clock::Timer timer;
  timer.context = &state;
  timer.fire = [](void* context) {
    State* s = static_cast<State*>(context);
    s->fired_at = Clock::instance().now_ns();
    s->thread = std::this_thread::get_id();
    Clock::instance().signal([s] { s->done = true; });
  };
  const uint64_t t0 = c.now_ns();
  c.arm(&timer, t0 + 3000000);
  c.arm(&timer, t0 + 2000000);  // moved earlier
  EXPECT_TRUE(c.wait([&state] { return state.done; }, t0 + 10000000));
  EXPECT_EQ(state.fired_at, t0 + 2000000);
  EXPECT_EQ(c.now_ns(), t0 + 2000000);
  EXPECT_EQ(state.thread, std::this_thread::get_id());
  // Disarmed, it never runs.
  state.done = false;
  c.arm(&timer, c.now_ns() + 1000000);
  c.disarm(&timer);
  EXPECT_FALSE(c.wait([&state] { return state.done; }, c.now_ns() + 5000000));
}

TEST(Clock, EarliestDeadlineWinsAmongThreads) {
  static KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  static std::atomic<uint64_t> woke_at{0};
  HANDLE h;
  uint64_t t0 = Clock::instance().now_ns();
  ASSERT_EQ(PsCreateSystemThread(
                &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID) {
                  LARGE_INTEGER d = relative_ms(10);
                  KeDelayExecutionThread(KernelMode, FALSE, &d);
                  woke_at = Clock::instance().now_ns();
                  KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
                  PsTerminateSystemThread(STATUS_SUCCESS);
                },
                nullptr),
            STATUS_SUCCESS);
  LARGE_INTEGER timeout = relative_ms(1000);
  ASSERT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(woke_at - t0, 10000000u);
  EXPECT_EQ(Clock::instance().now_ns() - t0, 10000000u);
  ASSERT_EQ(ZwWaitForSingleObject(h, FALSE, &timeout), STATUS_SUCCESS);
  ZwClose(h);
}

TEST(Clock, WaitTimesOutAtItsDeadline) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  uint64_t t0 = Clock::instance().now_ns();
  LARGE_INTEGER timeout = relative_ms(15);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(Clock::instance().now_ns() - t0, 15000000u);
}

TEST(Clock, ZeroTimeoutNeverBlocks) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  uint64_t t0 = Clock::instance().now_ns();
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(Clock::instance().now_ns(), t0);
}

TEST(Clock, PerformanceCounterFollowsTheClock) {
  LARGE_INTEGER f;
  LARGE_INTEGER a = KeQueryPerformanceCounter(&f);
  EXPECT_EQ(f.QuadPart, 10000000);
  LARGE_INTEGER d = relative_ms(3);
  KeDelayExecutionThread(KernelMode, FALSE, &d);
  LARGE_INTEGER b = KeQueryPerformanceCounter(nullptr);
  EXPECT_EQ(b.QuadPart - a.QuadPart, 30000);
}

TEST(Clock, ManyThreadsWakeInDeadlineOrder) {
  static std::vector<int> order;
  static KSPIN_LOCK lock;
  order.clear();
  KeInitializeSpinLock(&lock);
  std::vector<HANDLE> handles;
  for (int i = 5; i >= 1; --i) {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(
                  &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID ctx) {
                    int n = int(reinterpret_cast<intptr_t>(ctx));
                    LARGE_INTEGER d = relative_ms(n);
                    KeDelayExecutionThread(KernelMode, FALSE, &d);
                    KIRQL old;
                    KeAcquireSpinLock(&lock, &old);
                    order.push_back(n);
                    KeReleaseSpinLock(&lock, old);
                    PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  reinterpret_cast<PVOID>(intptr_t(i))),
              STATUS_SUCCESS);
    handles.push_back(h);
  }
  for (HANDLE h : handles) {
    ASSERT_EQ(ZwWaitForSingleObject(h, FALSE, nullptr), STATUS_SUCCESS);
    ZwClose(h);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(ClockReal, FollowsTheWallClock) {
  Clock& c = Clock::instance();
  c.set_mode(ClockMode::Real);
  uint64_t t0 = c.now_ns();
  c.sleep_for(2000000);
  EXPECT_GE(c.now_ns() - t0, 2000000u);
  c.set_mode(ClockMode::Virtual);
}

TEST(ClockReal, SignalsEndWaitsAndDeadlinesEndTheRest) {
  // Each round one thread waits for a flag with a long deadline and another
  // sets it, before or after the wait went to sleep: every wait ends by the
  // signal, none by its deadline; a wait nothing satisfies ends at its
  // deadline.
  Clock& c = Clock::instance();
  c.set_mode(ClockMode::Real);
  constexpr int kRounds = 200;
  int flag = 0;  // guarded by the clock
  std::atomic<int> satisfied{0};
  std::atomic<bool> ended{false};
  std::thread waiter([&] {
    for (int i = 1; i <= kRounds; ++i) {
      const uint64_t deadline = c.now_ns() + 5000000000ull;
      if (!c.wait([&] { return flag >= i; }, deadline) || c.now_ns() >= deadline) break;
      ++satisfied;
    }
    ended = true;
  });
  for (int i = 1; i <= kRounds && !ended; ++i) {
    if (i % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    c.signal([&] { flag = i; });
    while (satisfied.load() < i && i % 3 != 0 && !ended) std::this_thread::yield();
  }
  waiter.join();
  EXPECT_EQ(satisfied.load(), kRounds);
  const uint64_t t0 = c.now_ns();
  EXPECT_FALSE(c.wait([] { return false; }, t0 + 3000000));
  EXPECT_GE(c.now_ns() - t0, 3000000u);
  c.set_mode(ClockMode::Virtual);
}

// A timer's record for the real-mode tests: when and in which thread it ran.
struct RealRun {
  std::atomic<int> runs{0};
  std::atomic<uint64_t> at{0};
  std::thread::id thread;
  Clock::Timer timer;
  RealRun() {
    timer.context = this;
    timer.fire = [](void* context) {
      RealRun* r = static_cast<RealRun*>(context);
      r->at = Clock::instance().now_ns();
      r->thread = std::this_thread::get_id();
      Clock::instance().signal([r] { ++r->runs; });
    };
  }
};

TEST(ClockReal, AWaitingThreadRunsATimerWhenItIsDue) {
  // The timer wakes another thread; it runs in the thread that waits in the
  // clock meanwhile, at its deadline.
  Clock& c = Clock::instance();
  c.set_mode(ClockMode::Real);
  RealRun run;
  std::atomic<bool> woken{false};
  std::thread other(
      [&] { woken = c.wait([&] { return run.runs.load() >= 1; }, c.now_ns() + 5000000000ull); });
  const uint64_t deadline = c.now_ns() + 5000000;
  c.arm(&run.timer, deadline);
  EXPECT_TRUE(c.wait([&] { return run.runs.load() >= 1; }, c.now_ns() + 5000000000ull));
  const std::thread::id other_id = other.get_id();
  other.join();
  EXPECT_TRUE(woken);
  EXPECT_GE(run.at.load(), deadline);
  EXPECT_TRUE(run.thread == std::this_thread::get_id() || run.thread == other_id);
  c.set_mode(ClockMode::Virtual);
}

TEST(ClockReal, AnEarlierDeadlineWakesTheThreadThatWatches) {
  // The waiting thread sleeps for a timer due in 2 s; moved to 5 ms from
  // now by another thread, it runs long before the first deadline.
  Clock& c = Clock::instance();
  c.set_mode(ClockMode::Real);
  RealRun run;
  const uint64_t t0 = c.now_ns();
  c.arm(&run.timer, t0 + 2000000000ull);
  std::thread mover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the main thread sleeps by then
    c.arm(&run.timer, c.now_ns() + 5000000);
  });
  EXPECT_TRUE(c.wait([&] { return run.runs.load() >= 1; }, t0 + 5000000000ull));
  mover.join();
  EXPECT_LT(run.at.load() - t0, 1000000000u) << "ran at its first deadline";
  EXPECT_EQ(run.thread, std::this_thread::get_id()) << "left to the clock's own thread";
  c.set_mode(ClockMode::Virtual);
}

TEST(ClockReal, WithNobodyWaitingTheClocksOwnThreadRunsTheTimer) {
  Clock& c = Clock::instance();
  c.set_mode(ClockMode::Real);
  RealRun run;
  c.arm(&run.timer, c.now_ns() + 1000000);
  for (int i = 0; i < 500 && run.runs.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(run.runs.load(), 1);
  EXPECT_NE(run.thread, std::this_thread::get_id());
  c.set_mode(ClockMode::Virtual);
}

}  // namespace
