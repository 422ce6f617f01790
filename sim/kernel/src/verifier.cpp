// Verifier checks and the pool accounting by tag.
#include "kernel/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace korvel::sim::verifier {

namespace {

struct Block {
  uint32_t tag;
  uint64_t bytes;
  bool paged;
};

struct State {
  std::mutex m;
  FailureHandler handler;
  uint64_t failures = 0;
  std::unordered_map<const void*, Block> blocks;
  std::map<uint32_t, TagUsage> usage;
  uint64_t total = 0;
};

std::atomic<uint64_t> g_inject_at{0};  // site number that fails; 0 = disarmed
std::atomic<uint64_t> g_sites{0};

State& state() {
  static State* s = new State();  // outlives every thread that may still report
  return *s;
}

}  // namespace

void fail(const std::string& what) {
  FailureHandler h;
  {
    std::lock_guard<std::mutex> g(state().m);
    ++state().failures;
    h = state().handler;
  }
  if (h) {
    h(what);
    return;
  }
  std::fprintf(stderr, "driver verifier: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

FailureHandler set_failure_handler(FailureHandler handler) {
  std::lock_guard<std::mutex> g(state().m);
  FailureHandler old = std::move(state().handler);
  state().handler = std::move(handler);
  return old;
}

uint64_t failure_count() {
  std::lock_guard<std::mutex> g(state().m);
  return state().failures;
}

// Source: "ExFreePoolWithTag function (wdm.h)" (Microsoft Learn): tag
// characters lie in 0x20 to 0x7E.
std::string tag_name(uint32_t tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return s;
}

TagUsage pool_usage(uint32_t tag) {
  std::lock_guard<std::mutex> g(state().m);
  auto it = state().usage.find(tag);
  return it == state().usage.end() ? TagUsage{} : it->second;
}

std::map<uint32_t, TagUsage> pool_snapshot() {
  std::lock_guard<std::mutex> g(state().m);
  return state().usage;
}

uint64_t pool_allocations_total() {
  std::lock_guard<std::mutex> g(state().m);
  return state().total;
}

void pool_note_alloc(const void* p, uint32_t tag, uint64_t bytes, bool paged) {
  std::lock_guard<std::mutex> g(state().m);
  state().blocks[p] = Block{tag, bytes, paged};
  TagUsage& u = state().usage[tag];
  ++u.outstanding;
  u.outstanding_bytes += bytes;
  ++u.total;
  ++state().total;
}

// Our own choice: a range is in pool only when one outstanding block holds
// it whole (what "MmBuildMdlForNonPagedPool function (wdm.h)" asks of a buffer).
PoolRange pool_range(const void* p, uint64_t bytes) {
  const auto begin = reinterpret_cast<uintptr_t>(p);
  std::lock_guard<std::mutex> g(state().m);
  for (const auto& b : state().blocks) {
    const auto start = reinterpret_cast<uintptr_t>(b.first);
    if (begin >= start && begin - start <= b.second.bytes && bytes <= b.second.bytes - (begin - start)) {
      return b.second.paged ? PoolRange::Paged : PoolRange::NonPaged;
    }
  }
  return PoolRange::Outside;
}

// Source: "ExFreePoolWithTag function (wdm.h)" (Microsoft Learn): a block is
// freed with the tag it was allocated with; freeing one that is not
// outstanding is reported (our own check).
bool pool_note_free(const void* p, uint32_t tag) {
  std::string problem;
  {
    std::lock_guard<std::mutex> g(state().m);
    auto it = state().blocks.find(p);
    if (it == state().blocks.end()) {
      problem = "free of memory that is not an outstanding pool allocation (double free?)";
    } else if (tag != 0 && it->second.tag != tag) {
      problem =
          "pool block of tag \"" + tag_name(it->second.tag) + "\" freed with tag \"" + tag_name(tag) + "\"";
    } else {
      TagUsage& u = state().usage[it->second.tag];
      --u.outstanding;
      u.outstanding_bytes -= it->second.bytes;
      state().blocks.erase(it);
      return true;
    }
  }
  fail(problem);
  return false;
}

void inject_failure_at(uint64_t n) {
  g_sites = 0;
  g_inject_at = n;
}

bool injected_failure() {
  if (g_inject_at.load(std::memory_order_relaxed) == 0) return false;
  const uint64_t site = ++g_sites;
  uint64_t expected = site;
  // Exactly one call fails; the simulation disarms itself with it.
  return g_inject_at.compare_exchange_strong(expected, 0);
}

uint64_t injection_sites_passed() {
  return g_sites.load();
}

}  // namespace korvel::sim::verifier
