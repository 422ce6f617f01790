// Fuzzes quenby's private device-control dispatch through the I/O manager:
// arbitrary sequences of codes (the interface's own and any other), transfer
// methods, buffer lengths and contents on a private handle of a started
// Tarrow. Every request must complete with a status, never read or write
// past the buffers it was handed, and leave the driver able to go on.
#include <winioctl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "quenby_ioctl.h"
#include "quiet.h"

using korvel::sim::Clock;
using korvel::sim::devhost::DriverFile;
using korvel::sim::devhost::DriverStack;

namespace {

const uint32_t kCodes[] = {
    IOCTL_QUENBY_TUNNEL,        IOCTL_QUENBY_ENTER_DIRECT,   IOCTL_QUENBY_LEAVE_DIRECT,
    IOCTL_QUENBY_RESET_CAPTURE, IOCTL_QUENBY_RESET_RENDER,   IOCTL_QUENBY_RESET_BOTH,
    IOCTL_QUENBY_COUNTERS,      IOCTL_QUENBY_CLEAR_COUNTERS, IOCTL_QUENBY_IN_FLIGHT,
    IOCTL_QUENBY_RENDER_DELAY,  IOCTL_QUENBY_SET_FORMATS,    IOCTL_QUENBY_START_DIRECT,
    IOCTL_QUENBY_STOP_DIRECT,   IOCTL_QUENBY_MAX_CHANNELS,   IOCTL_QUENBY_READ_CAPTURE,
    IOCTL_QUENBY_WRITE_RENDER,  IOCTL_QUENBY_NOTHING,        IOCTL_QUENBY_SET_IN_FLIGHT};

struct Target {
  std::unique_ptr<korvel::sim::Unit> unit;
  std::unique_ptr<DriverStack> stack;
  std::unique_ptr<DriverFile> file;
  Target() {
    Clock::instance().set_mode(korvel::sim::ClockMode::Virtual);
    unit = std::make_unique<korvel::sim::Unit>(korvel::sim::Model::Tarrow,
                                               [] { return Clock::instance().now_ns() / 1000; });
    stack = std::make_unique<DriverStack>(*unit, true);
    stack->set_loopback(true);
    if (!stack->plug() || stack->open(u"\\tarrow", &file) < 0) __builtin_trap();
  }
};

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool more() const { return off_ < n_; }
  uint32_t take(size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= uint32_t(off_ < n_ ? p_[off_++] : 0) << (8 * i);
    return v;
  }
  void fill(uint8_t* out, size_t len) {
    for (size_t i = 0; i < len; ++i) out[i] = uint8_t(take(1));
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t off_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvel::fuzz::quiet_diagnostics();
  // Destroyed at exit, before the leak check: the USB stand-in's frame-timer
  // thread, which ends whenever nothing is queued, is joined with it.
  static Target target;
  Target* t = &target;
  Reader r(data, size);
  for (int calls = 0; r.more() && calls < 16; ++calls) {
    uint32_t selector = r.take(1);
    uint32_t code = selector < 0xF0 ? kCodes[selector % (sizeof kCodes / sizeof kCodes[0])] : r.take(4);
    uint32_t in_len = r.take(2) % 600;
    uint32_t out_len = r.take(2) % 4100;
    // Exact-size heap buffers, so a read or write past either is caught.
    std::unique_ptr<uint8_t[]> in(in_len ? new uint8_t[in_len] : nullptr);
    std::unique_ptr<uint8_t[]> out(out_len ? new uint8_t[out_len] : nullptr);
    if (in_len) r.fill(in.get(), in_len);
    uint64_t information = 0;
    int32_t status = t->file->ioctl(code, in.get(), in_len, out.get(), out_len, &information);
    if (status == 0x103) __builtin_trap();  // STATUS_PENDING never reaches the caller
  }
  // Leave the driver as the next input expects it.
  uint64_t information = 0;
  t->file->ioctl(IOCTL_QUENBY_STOP_DIRECT, nullptr, 0, nullptr, 0, &information);
  t->file->ioctl(IOCTL_QUENBY_LEAVE_DIRECT, nullptr, 0, nullptr, 0, &information);
  return 0;
}
