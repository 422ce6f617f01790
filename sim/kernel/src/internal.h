// Shared internals of the kernel stand-in.
#ifndef KORVEL_SIM_KERNEL_INTERNAL_H
#define KORVEL_SIM_KERNEL_INTERNAL_H

#include <ntddk.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace korvel::sim::kernel {

// Dispatcher object types kept in DISPATCHER_HEADER::Type.
enum : UCHAR {
  kNotificationEvent = 0,
  kSynchronizationEvent = 1,
  kMutant = 2,
  kThread = 6,
};

// Converts a kernel time-out (NULL = none, negative = relative, positive =
// absolute system time, 100 ns units) to a clock deadline.
uint64_t deadline_from_timeout(const LARGE_INTEGER* timeout);
// Reports a verifier failure when a blocking wait happens at DISPATCH_LEVEL or above.
void check_may_block(const char* what, const LARGE_INTEGER* timeout);
// KeWaitForSingleObject without its IRQL checks, for callers that made
// their own (stricter) ones.
NTSTATUS wait_for_object(PVOID object, const LARGE_INTEGER* timeout);

// Whether the thread holds the filter control mutex of a KS filter.
bool holds_filter_control();

// Whether the simulated Windows version has no-execute non-paged pool
// (Windows 8, 6.2, and later), and the non-paged pool type the system
// itself allocates from on it.
bool os_has_nx_pool();
POOL_TYPE system_nonpaged_pool();

// System time base (100 ns units) of the simulated clock's zero.
constexpr LONGLONG kSystemTimeBase = 133000000000000000LL;

}  // namespace korvel::sim::kernel

// The stand-in's thread object.
struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
  std::atomic<int> references{1};
  KPRIORITY priority = 8;
  bool system_thread = false;
  PKSTART_ROUTINE routine = nullptr;
  PVOID context = nullptr;
};

#endif
