// The direct-mode client of quenby's private interface: the part of a
// user-mode audio application that exchanges sample data with the USB streams
// through the driver's two rings instead of through the KS pins. It enters
// direct mode, sets both formats, starts, keeps the render ring topped up from
// one thread while another drains the capture ring, reads the counters and
// the render delay, and leaves direct mode.
#ifndef KORVEL_DEVHOST_DIRECT_CLIENT_H
#define KORVEL_DEVHOST_DIRECT_CLIENT_H

#include <cstdint>
#include <functional>
#include <string>

namespace korvel::devhost {

// One open handle on the private interface ("...\tarrow").
class ControlChannel {
 public:
  virtual ~ControlChannel() = default;
  // A device-control request; returns its NTSTATUS and the byte count.
  virtual uint32_t ioctl(uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
                         uint32_t* information) = 0;
};

struct DirectFormat {
  uint16_t channels = 0;  // 0: the device's largest count
  uint16_t bits = 24;
  uint32_t rate = 48000;
  uint32_t frame_bytes() const { return uint32_t(channels) * (bits / 8u); }
};

// The 16-byte record of the set-formats code.
void encode_format_record(const DirectFormat& capture, const DirectFormat& render, uint8_t out[16]);

struct DirectClientOptions {
  double seconds = 10;
  DirectFormat format;
  bool loopback = false;  // check that capture returns the render stream
  uint32_t lead_ms = 10;  // how far ahead of the device the render ring is kept
  // This long after the first render data the streams are primed: the
  // counters are cleared and the allocation count taken, so both cover the
  // steady state only.
  uint32_t settle_ms = 20;
  // Called on the render thread as the window closes, before writing
  // stops and the rings drain: what the caller counts there (the unit's
  // counters) covers the window only, whatever time stopping then takes.
  std::function<void()> at_window_end;
};

struct DirectClientResult {
  bool ok = false;
  std::string error;
  DirectFormat format;
  uint64_t rendered_frames = 0;
  uint64_t captured_frames = 0;
  uint32_t counters[7] = {};
  uint32_t max_render_delay_frames = 0;
  int loopback_bit_exact = -1;  // -1 not checked
  uint64_t render_full = 0;     // writes that found no room
  uint64_t capture_empty = 0;   // reads that found no data
  // Allocations the driver made between priming and the stop.
  uint64_t allocations_while_streaming = 0;
};

// Runs the client for `seconds` of the given time base. `now_ns` and `sleep_ns`
// come from the clock the driver runs on. The other hooks register the
// client's threads with that clock: `spawning` runs in the creating thread
// before each worker starts (its result goes to that worker's
// `thread_enter`), `thread_enter`/`thread_leave` in each worker around its
// work, and `join_begin`/`join_end` around the calling thread's wait for
// the workers.
struct ClientClock {
  std::function<uint64_t()> now_ns;
  std::function<void(uint64_t)> sleep_ns;
  std::function<void*()> spawning = [] { return static_cast<void*>(nullptr); };
  std::function<void(void*)> thread_enter = [](void*) {};
  std::function<void()> thread_leave = [] {};
  std::function<void()> join_begin = [] {};
  std::function<void()> join_end = [] {};
  // Allocations the driver has made so far (for the steady-state window).
  std::function<uint64_t()> allocations = [] { return uint64_t(0); };
};

DirectClientResult run_direct_client(ControlChannel& channel, const DirectClientOptions& options,
                                     const ClientClock& clock);

// The render test signal: byte p of the interleaved render stream. Never a
// silent first frame, so the loopback checker can find where it starts.
uint8_t test_signal_byte(uint64_t p);

// Checks a capture stream against the render test signal: silence first,
// then the signal byte for byte. Feed captured bytes in order.
class LoopbackChecker {
 public:
  explicit LoopbackChecker(uint32_t frame_bytes) : frame_bytes_(frame_bytes) {}
  void feed(const uint8_t* data, size_t len);
  // True once the signal was seen and every byte since matched.
  bool exact() const { return started_ && !mismatch_; }
  bool started() const { return started_; }
  uint64_t compared() const { return next_; }

 private:
  uint32_t frame_bytes_;
  uint64_t seen_ = 0;  // captured bytes so far
  bool started_ = false;
  bool mismatch_ = false;
  uint64_t next_ = 0;    // render stream position expected next
  std::string pending_;  // bytes of a frame not yet complete while silent
};

}  // namespace korvel::devhost

#endif
