// Driver-Verifier-like checks of the kernel stand-in: pool allocations
// counted by tag, blocking calls at dispatch level, IRPs completed twice,
// locks released by the wrong thread and the like. A failed check calls the
// failure handler; the default prints the reason and aborts, which fails the
// test that caused it. Each check names its source where it is made; stopping
// the run at the first failure stands for Driver Verifier's bug check (our own
// choice: no crash dump, the reason on stderr).
#ifndef KORVEL_SIM_KERNEL_VERIFIER_H
#define KORVEL_SIM_KERNEL_VERIFIER_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace korvel::sim::verifier {

using FailureHandler = std::function<void(const std::string& what)>;

// Reports a failed check.
void fail(const std::string& what);
// Replaces the failure handler; returns the previous one.
FailureHandler set_failure_handler(FailureHandler handler);
// Number of failed checks since the start of the process.
uint64_t failure_count();

// Pool tags as written in source ('ac2m' is stored so that memory reads "ac2m").
// Source: "ExFreePoolWithTag function (wdm.h)" (Microsoft Learn): one to four
// ASCII characters 0x20 to 0x7E; tag_name() shows others as '.'.
constexpr uint32_t tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}
std::string tag_name(uint32_t tag);

struct TagUsage {
  uint64_t outstanding = 0;        // allocations not yet freed
  uint64_t outstanding_bytes = 0;  // their size
  uint64_t total = 0;              // allocations ever made
};

// Current usage of one tag and of every tag seen (our own choice).
TagUsage pool_usage(uint32_t tag);
std::map<uint32_t, TagUsage> pool_snapshot();
// Allocations of every tag ever made (to detect allocations in a window).
uint64_t pool_allocations_total();

// Bookkeeping used by the stand-in itself (memory it allocates on behalf of a
// driver: pool blocks, framework objects, MDLs, IRPs).
void pool_note_alloc(const void* p, uint32_t tag, uint64_t bytes, bool paged = false);
// Where [p, p + bytes) lies: wholly inside one outstanding allocation of
// non-paged or of paged pool, or not (outside any, or across the end of one).
enum class PoolRange { Outside, NonPaged, Paged };
PoolRange pool_range(const void* p, uint64_t bytes);
// Returns false (after reporting) when `p` is not an outstanding allocation
// or was allocated with another tag (tag 0 = any, as ExFreePool frees).
// Source: "ExFreePoolWithTag function (wdm.h)" (Microsoft Learn): the tag the
// block was allocated with.
bool pool_note_free(const void* p, uint32_t tag);

// Low-resources simulation, as Driver Verifier's ("Systematic Low Resource
// Simulation", Microsoft Learn: failures injected predictably, so that a run
// repeats; which call fails is our own choice): once armed, the n-th call
// from now on of the sites that can fail for want of resources (pool
// allocations, MDLs, framework objects, system threads) fails (1 = the
// next). 0 disarms. Counting runs only while armed.
void inject_failure_at(uint64_t n);
// Called by the stand-in at each such site: true when this call is to fail.
bool injected_failure();
// Sites passed since the last inject_failure_at() (armed or not yet hit).
uint64_t injection_sites_passed();

}  // namespace korvel::sim::verifier

#endif
