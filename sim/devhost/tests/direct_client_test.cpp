// The direct-mode client's own logic: the format record, the loopback check,
// and a run against a toy driver that loops render back into capture.
#include "direct_client.h"

#include <gtest/gtest.h>
#include <winioctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "quenby_ioctl.h"

using namespace korvel::devhost;
using korvel::sim::Clock;
using korvel::sim::ClockMode;

namespace {

TEST(DirectClient, FormatRecordLayout) {
  uint8_t rec[16];
  encode_format_record(DirectFormat{2, 16, 44100}, DirectFormat{24, 24, 48000}, rec);
  const uint8_t want[16] = {2, 0, 24, 0, 16, 0, 24, 0, 0x44, 0xAC, 0, 0, 0x80, 0xBB, 0, 0};
  EXPECT_EQ(0, std::memcmp(want, rec, 16));
}

TEST(DirectClient, LoopbackCheckerSkipsLeadingSilenceAndCatchesOneWrongByte) {
  std::vector<uint8_t> stream(6 * 5, 0);  // five silent frames of 6 bytes
  for (uint64_t p = 0; p < 600; ++p) stream.push_back(test_signal_byte(p));
  LoopbackChecker ok(6);
  for (size_t i = 0; i < stream.size(); i += 7)
    ok.feed(stream.data() + i, std::min<size_t>(7, stream.size() - i));
  EXPECT_TRUE(ok.exact());
  EXPECT_EQ(600u, ok.compared());

  stream[6 * 5 + 333] ^= 1;
  LoopbackChecker bad(6);
  bad.feed(stream.data(), stream.size());
  EXPECT_TRUE(bad.started());
  EXPECT_FALSE(bad.exact());

  LoopbackChecker silent(6);
  std::vector<uint8_t> zeros(60, 0);
  silent.feed(zeros.data(), zeros.size());
  EXPECT_FALSE(silent.exact());
}

// Render bytes go into a queue and come back as capture 2 ms later; the
// codes follow the driver's buffer and status rules.
class ToyDriver : public ControlChannel {
 public:
  bool direct = false, running = false;
  std::vector<uint32_t> codes;
  uint32_t ioctl(uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
                 uint32_t* information) override {
    std::unique_lock<std::mutex> l(m_);
    codes.push_back(code);
    *information = 0;
    switch (code) {
      case IOCTL_QUENBY_MAX_CHANNELS:
        if (out_len < 4) return 0xC000009A;
        *static_cast<uint32_t*>(out) = (4u << 16) | 4u;
        *information = 4;
        return 0;
      case IOCTL_QUENBY_ENTER_DIRECT:
        direct = true;
        return 0;
      case IOCTL_QUENBY_LEAVE_DIRECT:
        direct = false;
        return 0;
      case IOCTL_QUENBY_SET_FORMATS:
        return direct && in_len >= 16 ? 0 : 0xC0000001;
      case IOCTL_QUENBY_START_DIRECT:
        running = direct;
        return direct ? 0 : 0xC0000001;
      case IOCTL_QUENBY_STOP_DIRECT:
        running = false;
        return 0;
      case IOCTL_QUENBY_RENDER_DELAY:
        *static_cast<uint32_t*>(out) = uint32_t(ring_.size() / 12);
        *information = 4;
        return 0;
      case IOCTL_QUENBY_WRITE_RENDER:
        if (ring_.size() + in_len > 12 * 2400) return 0;  // no room: success, 0 bytes
        ring_.insert(ring_.end(), static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + in_len);
        *information = in_len;
        return 0;
      case IOCTL_QUENBY_READ_CAPTURE: {
        if (ring_.size() < out_len) return 0;
        std::copy(ring_.begin(), ring_.begin() + out_len, static_cast<uint8_t*>(out));
        ring_.erase(ring_.begin(), ring_.begin() + out_len);
        *information = out_len;
        return 0;
      }
      case IOCTL_QUENBY_COUNTERS:
        std::memset(out, 0, out_len);
        *information = 28;
        return 0;
      default:
        return 0;
    }
  }

 private:
  std::mutex m_;
  std::deque<uint8_t> ring_;
};

TEST(DirectClient, RunsTheSequenceAndChecksLoopback) {
  ToyDriver toy;
  // The simulated clock in virtual mode: time moves only when both client
  // threads sleep, so the run is the same however loaded the machine is.
  Clock& sim = Clock::instance();
  sim.set_mode(ClockMode::Virtual);
  sim.attach_current_thread();
  ClientClock clock = korvel::sim::devhost::simulated_client_clock();
  DirectClientOptions o;
  o.seconds = 1.0;
  o.format = DirectFormat{4, 24, 48000};
  o.loopback = true;
  DirectClientResult r = run_direct_client(toy, o, clock);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(1, r.loopback_bit_exact);
  // The toy plays nothing out, so the client tops its lead up every
  // millisecond: at least a second of audio goes out, and all of it comes
  // back but what is still in the queue when the window ends.
  EXPECT_GE(r.rendered_frames, 48000u);
  EXPECT_LE(r.rendered_frames - r.captured_frames, 2 * 48000u * o.lead_ms / 1000)
      << r.captured_frames << " captured, " << r.rendered_frames << " rendered, " << r.capture_empty
      << " empty reads, " << r.render_full << " full";
  EXPECT_EQ(IOCTL_QUENBY_MAX_CHANNELS, toy.codes.front());
  EXPECT_EQ(IOCTL_QUENBY_LEAVE_DIRECT, toy.codes.back());
  EXPECT_FALSE(toy.direct);

  // Asking for more channels than the device has is refused before direct mode.
  ToyDriver small;
  o.format.channels = 8;
  r = run_direct_client(small, o, clock);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(small.direct);
  sim.detach_current_thread();
}

}  // namespace
