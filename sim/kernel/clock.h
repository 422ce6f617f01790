// The one simulated clock. Performance counter, waits with time-outs, delays,
// USB frame numbers and the unit's sample clock all read it.
//
// Real mode follows the wall clock. Virtual mode (the default) is a
// discrete-event clock: time stands still while any simulated thread is
// runnable and jumps to the earliest pending deadline when every simulated
// thread waits inside a stand-in call. It also runs one simulated thread at
// a time, each until it waits in the clock, in the order the threads became
// runnable: a virtual run does not depend on how the host schedules its
// threads, so the same run gives the same result every time. A simulated
// thread therefore never blocks outside the clock on another one (a join
// waits in the clock for the thread's end first). A simulated thread is one created by
// the stand-in (PsCreateSystemThread) or one that called attach_current_thread()
// or blocked in a stand-in wait once.
//
// All stand-in dispatcher state (events, mutexes, thread objects) is guarded
// by the clock's lock: state changes go through signal(), blocking through
// wait().
//
// Our own choice, all of it: Windows has no such clock. The rules the waits
// themselves keep (time-outs, what satisfies a wait) are the kernel's and are
// sourced where they are made (ke.cpp).
#ifndef KORVEL_SIM_KERNEL_CLOCK_H
#define KORVEL_SIM_KERNEL_CLOCK_H

#include <cstdint>
#include <functional>
#include <string>

namespace korvel::sim {

enum class ClockMode { Virtual, Real };

class Clock {
 public:
  static constexpr uint64_t kForever = UINT64_MAX;

  static Clock& instance();

  // Switches mode and restarts time at zero. Only while no thread waits.
  void set_mode(ClockMode mode);
  ClockMode mode() const;

  // Nanoseconds since the clock started.
  uint64_t now_ns();

  // Blocks the calling thread until `ready` returns true or the clock reaches
  // `deadline_ns`. `ready` runs with the clock lock held and, when it returns
  // true, takes whatever the caller waits for (it is then not called again for
  // this wait). Returns true when satisfied, false on time-out.
  bool wait(const std::function<bool()>& ready, uint64_t deadline_ns);

  // Sleeps until the given time (a wait that nothing satisfies).
  void sleep_until(uint64_t deadline_ns);
  void sleep_for(uint64_t ns);

  // Runs `change` with the clock lock held, then offers every waiter (oldest
  // first) the chance to be satisfied.
  void signal(const std::function<void()>& change);

  // Runs `read` with the clock lock held.
  void locked(const std::function<void()>& read);

  // A timer: `fire(context)` runs once the clock reaches the deadline it was
  // armed with, in a thread that waits in the clock then, as an interrupt
  // runs on whichever processor it finds; it must not block. Virtual mode:
  // the thread that moves time on (the last one to wait), while time stands
  // still. Real mode: a waiting thread that watches the timers (it sleeps no
  // later than the earliest deadline; the thread a timer run woke takes the
  // watch over), else, when no thread waits for a while, the clock's own
  // timer thread. Arming an armed timer moves its deadline.
  struct Timer {
    void (*fire)(void* context) = nullptr;
    void* context = nullptr;
    // The clock's own (under its lock).
    uint64_t deadline = kForever;
    bool armed = false;
    bool running = false;
    Timer* prev = nullptr;
    Timer* next = nullptr;
  };
  void arm(Timer* timer, uint64_t deadline_ns);
  // Disarms; returns once a run under way has ended (never from inside it).
  void disarm(Timer* timer);

  // Thread accounting.
  void attach_current_thread();
  void detach_current_thread();
  // Called by the creator of a simulated thread before the thread runs; the
  // new thread then calls adopt_current_thread() first thing, with the
  // ticket thread_created() returned (virtual mode: the thread's turns come
  // in the order of creation, whenever the host starts it; without the
  // ticket, in the order it adopts).
  [[nodiscard]] void* thread_created();
  void adopt_current_thread(void* ticket = nullptr);

  // Called (with the reason) when every simulated thread waits without any
  // deadline in virtual mode. The default reports a verifier failure.
  void set_stall_handler(std::function<void(const std::string&)> handler);

  // What the clock did so far: times a thread went to sleep in a wait (each
  // a wake-up later), and timer runs.
  struct Counts {
    uint64_t sleeps = 0;
    uint64_t timer_runs = 0;
  };
  Counts counts();

  // Diagnostics for tests.
  int runnable_threads();
  int waiting_threads();

  struct Impl;  // opaque

 private:
  Clock();
  Impl* impl_;
};

}  // namespace korvel::sim

#endif
