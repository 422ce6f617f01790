// The one simulated clock: wall-clock or discrete-event time, and the wait
// queue every stand-in blocking call goes through. Our own design throughout
// (see clock.h); nothing here mirrors a Windows rule.
#include "kernel/clock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/verifier.h"

namespace korvel::sim {

namespace {

// A thread's own sleep, apart from the clock's lock: a futex word that the
// waker sets. Waking costs one system call when the thread sleeps and none
// when it has not gone to sleep yet; sleeping costs one.
class Sleep {
 public:
  // Forgets a wake meant for an earlier wait.
  void reset() { state_.store(kIdle, std::memory_order_relaxed); }
  // Returns once woken, or (timed) once `deadline` has passed.
  void sleep(bool timed, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      uint32_t s = kIdle;
      if (!state_.compare_exchange_strong(s, kSleeping, std::memory_order_acq_rel)) break;  // woken already
      timespec rel{};
      if (timed) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) break;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        rel.tv_sec = time_t(ns / 1000000000);
        rel.tv_nsec = long(ns % 1000000000);
      }
      syscall(SYS_futex, word(), FUTEX_WAIT_PRIVATE, kSleeping, timed ? &rel : nullptr, nullptr, 0);
      if (state_.exchange(kIdle, std::memory_order_acq_rel) == kWoken) return;
      if (timed && std::chrono::steady_clock::now() >= deadline) return;
    }
    state_.store(kIdle, std::memory_order_relaxed);
  }
  void wake() {
    if (state_.exchange(kWoken, std::memory_order_acq_rel) == kSleeping)
      syscall(SYS_futex, word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }

 private:
  enum : uint32_t { kIdle = 0, kWoken = 1, kSleeping = 2 };
  uint32_t* word() { return reinterpret_cast<uint32_t*>(&state_); }
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");
  std::atomic<uint32_t> state_{kIdle};
};

// A thread's wait. The records live as long as the process and are reused
// (one per thread at a time), so that a wake can be delivered after the
// clock's lock is released without the record going away under it.
struct Waiter {
  const std::function<bool()>* ready = nullptr;
  uint64_t deadline = 0;
  bool counted = false;  // the thread is a simulated one (counts towards runnable)
  bool satisfied = false;
  bool timed_out = false;
  bool queued = false;
  Waiter* prev = nullptr;
  Waiter* next = nullptr;
  Waiter* free_next = nullptr;
  Waiter* ready_next = nullptr;  // virtual mode: the queue of threads that may run
  Sleep sleep;
};

thread_local Waiter* t_waiter = nullptr;

thread_local bool t_attached = false;

// The thread runs a timer (real mode): waiters it satisfies are noted.
thread_local bool t_in_timer = false;

// Real mode: how late the clock's own timer thread lets a timer be before
// it runs it itself (normally a waiting thread runs it on time). It wakes
// once per lag while timers are armed, so the lag is what the host pays for
// a safety net that streaming never uses (its threads wait in the clock).
constexpr uint64_t kBackstopLagNs = 200000000;

// When a thread ends: it leaves the simulation, and its record goes back
// to the free list (in that order: leaving hands its turn on).
struct ThreadExit {
  ~ThreadExit();
};
thread_local ThreadExit t_exit_guard;

}  // namespace

struct Clock::Impl {
  std::mutex m;
  // Written under the lock; read without it by now_ns() and mode(), which
  // every stand-in calls often (the performance counter, frame numbers).
  std::atomic<ClockMode> mode{ClockMode::Virtual};
  std::atomic<uint64_t> virtual_now{0};
  std::atomic<std::chrono::steady_clock::time_point> real_start{std::chrono::steady_clock::now()};
  int runnable = 0;
  Waiter* first = nullptr;  // waiters, oldest first
  Waiter* last = nullptr;
  int waiting = 0;
  Timer* timers = nullptr;      // armed timers, unordered
  Waiter* free_list = nullptr;  // records of threads that ended
  // Virtual mode runs one simulated thread at a time, so that a run does
  // not depend on how the host schedules its threads: the thread that holds
  // the turn runs until it waits in the clock (or leaves), then hands the
  // turn to the first thread of the ready queue, in the order they became
  // runnable (woken, timed out, created). Threads that became runnable wait
  // for their turn before they run. Only when nobody is ready does time
  // move on. `holder` is the record of the thread whose turn it is (or
  // kTimerTurn while a timer runs in the thread that moved time on).
  Waiter* holder = nullptr;
  Waiter* ready_first = nullptr;
  Waiter* ready_last = nullptr;
  Waiter timer_turn;
  std::vector<Waiter*> to_wake;  // wakes to deliver once the lock is released
  std::function<void(const std::string&)> stall_handler;
  Counts counts;

  // Real mode: who runs the timers. The watcher is a waiting thread that
  // sleeps no later than the earliest timer's deadline and runs what is
  // due when it wakes, as an interrupt runs on whichever processor it
  // finds. The waiter that a timer run satisfied last is favoured: it takes
  // the watch over when it waits again (the thread a timer wakes anyway is
  // the one to wake for it; nobody else has to). The backstop, the clock's
  // own thread, runs a timer that nobody ran for kBackstopLagNs.
  Waiter* watcher = nullptr;
  uint64_t watch_until = kForever;  // when the watcher wakes
  Waiter* favoured = nullptr;
  Waiter* timer_woke = nullptr;  // the first waiter the running timer satisfied
  bool backstop_started = false;
  bool backstop_idle = false;  // sleeps until a timer is armed
  Sleep backstop_sleep;

  void enqueue(Waiter* w) {
    w->prev = last;
    w->next = nullptr;
    if (last != nullptr) {
      last->next = w;
    } else {
      first = w;
    }
    last = w;
    w->queued = true;
    ++waiting;
  }
  void dequeue(Waiter* w) {
    if (!w->queued) return;
    if (w->prev != nullptr) {
      w->prev->next = w->next;
    } else {
      first = w->next;
    }
    if (w->next != nullptr) {
      w->next->prev = w->prev;
    } else {
      last = w->prev;
    }
    w->queued = false;
    --waiting;
  }

  // The wakes collected so far, taken under the lock onto the caller's
  // stack (to_wake keeps its capacity: no allocation per wake). More than
  // fit are delivered at once.
  struct Wakes {
    Waiter* w[32];
    size_t n = 0;
  };
  static void wake_now(Waiter* w) { w->sleep.wake(); }
  void take_wakes(Wakes* out) {
    out->n = 0;
    for (Waiter* w : to_wake) {
      if (out->n < 32) {
        out->w[out->n++] = w;
      } else {
        wake_now(w);
      }
    }
    to_wake.clear();
  }

  // Delivers the wakes collected under the lock; call with it released.
  static void deliver(Wakes& wakes) {
    for (size_t i = 0; i < wakes.n; ++i) wake_now(wakes.w[i]);
    wakes.n = 0;
  }

  uint64_t now() const {
    if (mode.load(std::memory_order_acquire) == ClockMode::Virtual)
      return virtual_now.load(std::memory_order_acquire);
    auto d = std::chrono::steady_clock::now() - real_start.load(std::memory_order_acquire);
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
  }

  void wake(Waiter* w) {
    if (w->counted) ++runnable;
    if (mode == ClockMode::Virtual) {
      push_ready(w);  // it runs in its turn
      return;
    }
    if (t_in_timer && timer_woke == nullptr) timer_woke = w;
    to_wake.push_back(w);
  }

  void push_ready(Waiter* w) {
    w->ready_next = nullptr;
    if (ready_last != nullptr) {
      ready_last->ready_next = w;
    } else {
      ready_first = w;
    }
    ready_last = w;
  }
  // With nobody's turn, the first ready thread's.
  void grant() {
    if (holder != nullptr || ready_first == nullptr) return;
    holder = ready_first;
    ready_first = holder->ready_next;
    if (ready_first == nullptr) ready_last = nullptr;
    holder->ready_next = nullptr;
    to_wake.push_back(holder);
  }
  // The thread whose turn it was waits or leaves: the next ready thread
  // runs; with none, time moves on (`run_timers`: see advance_if_idle).
  void hand_over(std::unique_lock<std::mutex>& lock, bool run_timers) {
    holder = nullptr;
    for (;;) {
      if (ready_first != nullptr) {
        grant();
        return;
      }
      if (runnable != 0) return;
      advance_if_idle(lock, run_timers);
      if (ready_first == nullptr) return;
    }
  }

  // A record: one an ended thread left, or a new one.
  Waiter* new_record() {
    Waiter* w = free_list;
    if (w != nullptr) {
      free_list = w->free_next;
    } else {
      w = new Waiter();
    }
    return w;
  }
  // The calling thread's record (made once per thread).
  Waiter* record() {
    if (t_waiter != nullptr) return t_waiter;
    (void)t_exit_guard;  // gives the record back when the thread ends
    t_waiter = new_record();
    return t_waiter;
  }
  // A thread that takes part from now runs at once when nobody does, else
  // after the threads ready before it.
  void join_turns(Waiter* me, std::unique_lock<std::mutex>& lock) {
    if (holder == nullptr && ready_first == nullptr) {
      holder = me;
      return;
    }
    me->sleep.reset();
    push_ready(me);
    grant();
    await_turn(me, lock);
  }
  // Sleeps (lock released) until it is the thread's turn.
  void await_turn(Waiter* w, std::unique_lock<std::mutex>& lock) {
    while (holder != w) {
      Wakes wakes;
      take_wakes(&wakes);
      lock.unlock();
      deliver(wakes);
      w->sleep.sleep(false, {});
      lock.lock();
    }
  }

  // Offers waiters the signalled state, oldest first.
  void satisfy_waiters() {
    for (Waiter* w = first; w != nullptr; w = w->next) {
      if (w->satisfied || w->timed_out) continue;
      if ((*w->ready)()) {
        w->satisfied = true;
        wake(w);
      }
    }
  }

  Timer* earliest_timer() const {
    Timer* best = nullptr;
    for (Timer* t = timers; t != nullptr; t = t->next) {
      if (best == nullptr || t->deadline < best->deadline) best = t;
    }
    return best;
  }
  void unlink(Timer* t) {
    if (!t->armed) return;
    if (t->prev != nullptr) {
      t->prev->next = t->next;
    } else {
      timers = t->next;
    }
    if (t->next != nullptr) t->next->prev = t->prev;
    t->prev = t->next = nullptr;
    t->armed = false;
  }

  // Virtual mode: when nothing can run, time moves to the next deadline.
  // `run_timers`: false in a thread that is ending; a due timer then makes
  // the oldest waiter look again, and it runs the timer.
  void advance_if_idle(std::unique_lock<std::mutex>& lock, bool run_timers = true) {
    if (mode != ClockMode::Virtual) return;
    while (runnable == 0) {
      uint64_t next = kForever;
      bool any = false;
      for (Waiter* w = first; w != nullptr; w = w->next) {
        if (w->satisfied || w->timed_out) continue;
        any = true;
        if (w->deadline < next) next = w->deadline;
      }
      Timer* timer = earliest_timer();
      if (timer != nullptr && (!any || timer->deadline <= next) && !run_timers) {
        for (Waiter* w = first; w != nullptr; w = w->next) {
          if (!w->satisfied && !w->timed_out) {
            if (holder == nullptr) holder = w;  // its turn, to move time on
            to_wake.push_back(w);
            break;
          }
        }
        return;
      }
      if (timer != nullptr && (!any || timer->deadline <= next)) {
        // The timer runs here, in the thread that moves time on; nobody
        // else moves it meanwhile (it counts as runnable while it runs).
        if (timer->deadline > virtual_now) virtual_now = timer->deadline;
        unlink(timer);
        timer->running = true;
        ++counts.timer_runs;
        ++runnable;
        Waiter* turn = holder;
        holder = &timer_turn;  // what the timer wakes runs after it
        Wakes wakes;
        take_wakes(&wakes);
        lock.unlock();
        deliver(wakes);
        timer->fire(timer->context);
        lock.lock();
        holder = turn;
        timer->running = false;
        --runnable;
        satisfy_waiters();  // whoever waits for the run to end
        continue;
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
      for (Waiter* w = first; w != nullptr; w = w->next) {
        if (w->satisfied || w->timed_out) continue;
        if (w->deadline <= virtual_now) {
          w->timed_out = true;
          wake(w);
        }
      }
    }
  }

  static std::chrono::nanoseconds ns(uint64_t n) { return std::chrono::nanoseconds(int64_t(n)); }

  // Real mode: runs the timers whose deadline lies `lag` or more behind,
  // each in the calling thread with the lock released. Returns whether it
  // ran any.
  bool run_due_timers(std::unique_lock<std::mutex>& lock, uint64_t lag) {
    bool ran = false;
    for (;;) {
      Timer* t = earliest_timer();
      const uint64_t at = now();
      if (t == nullptr || t->deadline > at || at - t->deadline < lag) return ran;
      unlink(t);
      t->running = true;
      ++counts.timer_runs;
      timer_woke = nullptr;
      Wakes wakes;
      take_wakes(&wakes);
      lock.unlock();
      deliver(wakes);
      t_in_timer = true;
      t->fire(t->context);
      t_in_timer = false;
      lock.lock();
      t->running = false;
      if (timer_woke != nullptr) favoured = timer_woke;
      satisfy_waiters();  // whoever waits for the run to end
      ran = true;
    }
  }

  // Real mode: a wait until satisfied or its deadline; the thread runs the
  // timers that are due whenever it wakes, and sleeps no later than the
  // earliest timer while it watches them.
  void wait_real(Waiter* w, std::unique_lock<std::mutex>& lock) {
    while (!w->satisfied && !w->timed_out) {
      if (run_due_timers(lock, 0)) continue;
      if (w->deadline != kForever && now() >= w->deadline) {
        w->timed_out = true;
        if (w->counted) ++runnable;
        break;
      }
      uint64_t until = w->deadline;
      if (Timer* t = earliest_timer()) {
        if (watcher == nullptr || w == favoured) watcher = w;
        if (watcher == w) {
          until = std::min(until, t->deadline);
          watch_until = until;
        }
      }
      ++counts.sleeps;
      const auto wake_at = real_start.load() + ns(until);  // read under the lock
      Wakes wakes;
      take_wakes(&wakes);
      lock.unlock();
      deliver(wakes);
      w->sleep.sleep(until != kForever, wake_at);
      lock.lock();
    }
    if (watcher == w) {
      watcher = nullptr;
      watch_until = kForever;
    }
  }

  // The backstop thread (real mode).
  void backstop() {
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
      if (mode == ClockMode::Real) run_due_timers(lock, kBackstopLagNs);
      Timer* t = mode == ClockMode::Real ? earliest_timer() : nullptr;
      backstop_idle = t == nullptr;
      const uint64_t until = t == nullptr ? kForever : t->deadline + kBackstopLagNs;
      const auto wake_at = real_start.load() + ns(until);  // read under the lock
      Wakes wakes;
      take_wakes(&wakes);
      lock.unlock();
      deliver(wakes);
      backstop_sleep.sleep(until != kForever, wake_at);
      lock.lock();
    }
  }
};

namespace {
Clock::Impl* g_impl = nullptr;
}

ThreadExit::~ThreadExit() {
  if (t_attached) Clock::instance().detach_current_thread();
  if (t_waiter == nullptr || g_impl == nullptr) return;
  std::lock_guard<std::mutex> g(g_impl->m);
  t_waiter->free_next = g_impl->free_list;
  g_impl->free_list = t_waiter;
  t_waiter = nullptr;
}

Clock& Clock::instance() {
  static Clock* clock = new Clock();  // never destroyed: threads may outlive main
  return *clock;
}

Clock::Clock() : impl_(new Impl) {
  g_impl = impl_;
}

void Clock::set_mode(ClockMode mode) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->mode = mode;
  impl_->virtual_now = 0;
  impl_->real_start = std::chrono::steady_clock::now();
  // Nobody waits: the turn is the caller's when it takes part.
  impl_->ready_first = impl_->ready_last = nullptr;
  impl_->holder = t_attached && mode == ClockMode::Virtual ? impl_->record() : nullptr;
}

ClockMode Clock::mode() const {
  return impl_->mode.load(std::memory_order_acquire);
}

uint64_t Clock::now_ns() {
  return impl_->now();  // the time, at one moment (no lock: see Impl)
}

bool Clock::wait(const std::function<bool()>& ready, uint64_t deadline_ns) {
  if (!t_attached) attach_current_thread();
  std::unique_lock<std::mutex> lock(impl_->m);
  if (ready()) return true;
  if (deadline_ns <= impl_->now()) return false;
  Waiter* w = impl_->record();
  w->ready = &ready;
  w->deadline = deadline_ns;
  w->counted = t_attached;
  w->satisfied = false;
  w->timed_out = false;
  w->sleep.reset();
  impl_->enqueue(w);
  if (w->counted) --impl_->runnable;
  if (impl_->mode == ClockMode::Real) {
    impl_->wait_real(w, lock);
  } else {
    if (impl_->holder == w || impl_->holder == nullptr) impl_->hand_over(lock, true);
    for (;;) {
      if (impl_->holder == w) {
        if (w->satisfied || w->timed_out) break;
        // Its turn without being satisfied: time moves on here (an ending
        // thread left a due timer to the oldest waiter).
        impl_->hand_over(lock, true);
        continue;
      }
      ++impl_->counts.sleeps;
      Impl::Wakes wakes;
      impl_->take_wakes(&wakes);
      lock.unlock();
      Impl::deliver(wakes);
      w->sleep.sleep(false, {});
      lock.lock();
    }
  }
  impl_->dequeue(w);
  const bool satisfied = w->satisfied;
  Impl::Wakes wakes;
  impl_->take_wakes(&wakes);
  lock.unlock();
  Impl::deliver(wakes);
  return satisfied;
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
  Impl::Wakes wakes;
  {
    std::lock_guard<std::mutex> g(impl_->m);
    change();
    impl_->satisfy_waiters();
    // From a thread outside the simulation while every simulated one waits.
    if (impl_->mode == ClockMode::Virtual) impl_->grant();
    impl_->take_wakes(&wakes);
  }
  // Woken threads find the clock's lock free.
  Impl::deliver(wakes);
}

void Clock::arm(Timer* t, uint64_t deadline_ns) {
  Sleep* wake = nullptr;
  bool start_backstop = false;
  {
    std::lock_guard<std::mutex> g(impl_->m);
    if (t->armed) impl_->unlink(t);
    t->deadline = deadline_ns;
    t->prev = nullptr;
    t->next = impl_->timers;
    if (impl_->timers != nullptr) impl_->timers->prev = t;
    impl_->timers = t;
    t->armed = true;
    if (impl_->mode == ClockMode::Real) {
      // A watcher that sleeps past the new deadline looks again; so does an
      // idle backstop (once started).
      if (impl_->watcher != nullptr && deadline_ns < impl_->watch_until) {
        wake = &impl_->watcher->sleep;
        impl_->watch_until = deadline_ns;
      }
      if (!impl_->backstop_started) {
        impl_->backstop_started = start_backstop = true;
      } else if (impl_->backstop_idle) {
        impl_->backstop_idle = false;
        impl_->backstop_sleep.wake();
      }
    }
  }
  if (wake != nullptr) wake->wake();  // the record outlives its thread's wait
  if (start_backstop) std::thread([impl = impl_] { impl->backstop(); }).detach();
}

void Clock::disarm(Timer* t) {
  {
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->unlink(t);
    if (!t->running) return;
  }
  wait([t] { return !t->running; }, kForever);
}

void Clock::locked(const std::function<void()>& read) {
  std::lock_guard<std::mutex> g(impl_->m);
  read();
}

void Clock::attach_current_thread() {
  if (t_attached) return;
  (void)t_exit_guard;  // detaches the thread when it ends
  std::unique_lock<std::mutex> lock(impl_->m);
  t_attached = true;
  ++impl_->runnable;
  if (impl_->mode != ClockMode::Virtual) return;
  impl_->join_turns(impl_->record(), lock);
}

void Clock::detach_current_thread() {
  if (!t_attached) return;
  std::unique_lock<std::mutex> lock(impl_->m);
  t_attached = false;
  --impl_->runnable;
  if (impl_->mode == ClockMode::Virtual && t_waiter != nullptr && impl_->holder == t_waiter) {
    impl_->hand_over(lock, false);
  } else {
    impl_->advance_if_idle(lock, false);
  }
  Impl::Wakes wakes;
  impl_->take_wakes(&wakes);
  lock.unlock();
  Impl::deliver(wakes);
}

void* Clock::thread_created() {
  std::lock_guard<std::mutex> g(impl_->m);
  ++impl_->runnable;
  if (impl_->mode != ClockMode::Virtual) return nullptr;
  // The new thread's record, ready from now: its turn comes in the order
  // of its creation, however late the host starts it.
  Waiter* w = impl_->new_record();
  w->sleep.reset();
  impl_->push_ready(w);
  return w;
}

void Clock::adopt_current_thread(void* ticket) {
  (void)t_exit_guard;  // make sure the exit guard exists for this thread
  t_attached = true;
  std::unique_lock<std::mutex> lock(impl_->m);
  if (impl_->mode != ClockMode::Virtual) {
    if (ticket != nullptr && t_waiter == nullptr) t_waiter = static_cast<Waiter*>(ticket);
    return;
  }
  if (ticket == nullptr || t_waiter != nullptr) {
    impl_->join_turns(impl_->record(), lock);  // created without a ticket: ready from now
    return;
  }
  t_waiter = static_cast<Waiter*>(ticket);
  impl_->await_turn(t_waiter, lock);
}

void Clock::set_stall_handler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->stall_handler = std::move(handler);
}

Clock::Counts Clock::counts() {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->counts;
}

int Clock::runnable_threads() {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->runnable;
}

int Clock::waiting_threads() {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->waiting;
}

}  // namespace korvel::sim
