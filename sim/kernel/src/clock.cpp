// The one simulated clock: wall-clock or discrete-event time, and the wait
// queue every stand-in blocking call goes through.
#include "kernel/clock.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>

#include "kernel/verifier.h"

namespace korvel::sim {

namespace {

struct Waiter {
  const std::function<bool()>* ready;
  uint64_t deadline;
  bool counted;  // the thread is a simulated one (counts towards runnable)
  bool satisfied = false;
  bool timed_out = false;
  std::condition_variable cv;
};

thread_local bool t_attached = false;

struct ThreadExit {
  ~ThreadExit() {
    if (t_attached) Clock::instance().detach_current_thread();
  }
};
thread_local ThreadExit t_exit_guard;

}  // namespace

struct Clock::Impl {
  std::mutex m;
  ClockMode mode = ClockMode::Virtual;
  uint64_t virtual_now = 0;
  std::chrono::steady_clock::time_point real_start = std::chrono::steady_clock::now();
  int runnable = 0;
  std::list<Waiter*> waiters;
  std::function<void(const std::string&)> stall_handler;

  uint64_t now_locked() const {
    if (mode == ClockMode::Virtual) return virtual_now;
    auto d = std::chrono::steady_clock::now() - real_start;
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
  }

  void wake(Waiter* w) {
    if (w->counted) ++runnable;
    w->cv.notify_one();
  }

  // Offers waiters the signalled state, oldest first.
  void satisfy_waiters() {
    for (Waiter* w : waiters) {
      if (w->satisfied || w->timed_out) continue;
      if ((*w->ready)()) {
        w->satisfied = true;
        wake(w);
      }
    }
  }

  // Virtual mode: when nothing can run, time moves to the next deadline.
  void advance_if_idle(std::unique_lock<std::mutex>& lock) {
    if (mode != ClockMode::Virtual) return;
    while (runnable == 0) {
      uint64_t next = kForever;
      bool any = false;
      for (Waiter* w : waiters) {
        if (w->satisfied || w->timed_out) continue;
        any = true;
        if (w->deadline < next) next = w->deadline;
      }
      if (!any) return;
      if (next == kForever) {
        auto handler = stall_handler;
        lock.unlock();
        if (handler) {
          handler("every simulated thread waits without a time-out");
        } else {
          verifier::fail("every simulated thread waits without a time-out");
        }
        lock.lock();
        return;
      }
      if (next > virtual_now) virtual_now = next;
      for (Waiter* w : waiters) {
        if (w->satisfied || w->timed_out) continue;
        if (w->deadline <= virtual_now) {
          w->timed_out = true;
          wake(w);
        }
      }
    }
  }
};

Clock& Clock::instance() {
  static Clock* clock = new Clock();  // never destroyed: threads may outlive main
  return *clock;
}

Clock::Clock() : impl_(new Impl) {}

void Clock::set_mode(ClockMode mode) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->mode = mode;
  impl_->virtual_now = 0;
  impl_->real_start = std::chrono::steady_clock::now();
}

ClockMode Clock::mode() const {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->mode;
}

uint64_t Clock::now_ns() {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->now_locked();
}

bool Clock::wait(const std::function<bool()>& ready, uint64_t deadline_ns) {
  if (!t_attached) attach_current_thread();
  std::unique_lock<std::mutex> lock(impl_->m);
  if (ready()) return true;
  if (deadline_ns <= impl_->now_locked()) return false;
  Waiter w;
  w.ready = &ready;
  w.deadline = deadline_ns;
  w.counted = t_attached;
  impl_->waiters.push_back(&w);
  if (w.counted) --impl_->runnable;
  impl_->advance_if_idle(lock);
  while (!w.satisfied && !w.timed_out) {
    if (impl_->mode == ClockMode::Virtual) {
      w.cv.wait(lock);
    } else {
      if (w.deadline == kForever) {
        w.cv.wait(lock);
      } else {
        uint64_t now = impl_->now_locked();
        if (now >= w.deadline) {
          w.timed_out = true;
          if (w.counted) ++impl_->runnable;
          break;
        }
        w.cv.wait_for(lock, std::chrono::nanoseconds(w.deadline - now));
      }
    }
  }
  impl_->waiters.remove(&w);
  return w.satisfied;
}

void Clock::sleep_until(uint64_t deadline_ns) {
  static const std::function<bool()> never = [] { return false; };
  wait(never, deadline_ns);
}

void Clock::sleep_for(uint64_t ns) {
  uint64_t now = now_ns();
  sleep_until(ns > kForever - now ? kForever : now + ns);
}

void Clock::signal(const std::function<void()>& change) {
  std::lock_guard<std::mutex> g(impl_->m);
  change();
  impl_->satisfy_waiters();
}

void Clock::locked(const std::function<void()>& read) {
  std::lock_guard<std::mutex> g(impl_->m);
  read();
}

void Clock::attach_current_thread() {
  if (t_attached) return;
  (void)t_exit_guard;  // detaches the thread when it ends
  std::lock_guard<std::mutex> g(impl_->m);
  t_attached = true;
  ++impl_->runnable;
}

void Clock::detach_current_thread() {
  if (!t_attached) return;
  std::unique_lock<std::mutex> lock(impl_->m);
  t_attached = false;
  --impl_->runnable;
  impl_->advance_if_idle(lock);
}

void Clock::thread_created() {
  std::lock_guard<std::mutex> g(impl_->m);
  ++impl_->runnable;
}

void Clock::adopt_current_thread() {
  (void)t_exit_guard;  // make sure the exit guard exists for this thread
  t_attached = true;
}

void Clock::set_stall_handler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->stall_handler = std::move(handler);
}

int Clock::runnable_threads() {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->runnable;
}

int Clock::waiting_threads() {
  std::lock_guard<std::mutex> g(impl_->m);
  return int(impl_->waiters.size());
}

}  // namespace korvel::sim
