// The simulated USB device: standard requests, alternate settings, removal,
// frame numbers, the frame timer's start, the slots of endpoints polled
// less often than every microframe.
#include "usb/device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/clock.h"

namespace usb = korvel::sim::usb;
using korvel::sim::Clock;
using korvel::sim::ClockMode;

namespace {

// Aborts the test program when the test that made it has not ended within
// `seconds` of real time: a bus spinning with its lock held would otherwise
// hang the run instead of failing it.
class Watchdog {
 public:
  explicit Watchdog(int seconds)
      : thread_([this, seconds] {
          std::unique_lock<std::mutex> lock(m_);
          if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: the test still runs after %d s\n", seconds);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(m_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the rest is there
};

// Alternate setting 1 has an isochronous OUT endpoint of bInterval
// `interval`.
class OneSettingFunction : public usb::Function {
 public:
  explicit OneSettingFunction(uint8_t interval = 1) : interval_(interval) {}
  std::vector<uint8_t> configuration_descriptor(usb::Speed) const override {
    return {9, 2, 34,   0,    1,    1,    0,        0x80, 50,  // configuration
            9, 4, 0,    0,    0,    1,    1,        0x20, 0,   // interface 0 alt 0
            9, 4, 0,    1,    1,    1,    2,        0x20, 0,   // interface 0 alt 1
            7, 5, 0x01, 0x05, 0x20, 0x00, interval_};
  }
  usb::Result control(const usb::Setup& s, uint8_t* data, uint16_t* transferred) override {
    ++class_requests;
    return usb::Result::Stall;
  }
  void interface_selected(uint8_t i, uint8_t a) override { last_alt = a; }
  void iso_out(uint8_t, uint64_t interval, const uint8_t*, size_t) override {
    out_intervals.push_back(interval);
  }
  int class_requests = 0;
  int last_alt = -1;
  std::vector<uint64_t> out_intervals;

 private:
  uint8_t interval_;
};

TEST(UsbDevice, StandardRequestsAndSettings) {
  auto f = std::make_shared<OneSettingFunction>();
  usb::Device d(f, usb::Speed::High);
  uint8_t buf[64];
  uint16_t got = 0;
  ASSERT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 9}, buf, &got), usb::Result::Ok);
  EXPECT_EQ(got, 9);
  ASSERT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 64}, buf, &got), usb::Result::Ok);
  EXPECT_EQ(got, 34);
  EXPECT_EQ(d.set_interface(0, 1), usb::Result::Stall) << "not configured yet";
  ASSERT_EQ(d.set_configuration(1), usb::Result::Ok);
  EXPECT_EQ(d.alternate_setting(0), 0);
  EXPECT_EQ(d.set_interface(0, 1), usb::Result::Ok);
  EXPECT_EQ(f->last_alt, 1);
  EXPECT_EQ(d.set_interface(0, 2), usb::Result::Stall);
  EXPECT_EQ(d.alternate_setting(0), 1);
  d.stall_next_set_interface(1);
  EXPECT_EQ(d.set_interface(0, 0), usb::Result::Stall);
  EXPECT_EQ(d.set_interface(0, 0), usb::Result::Ok);
  EXPECT_EQ(d.control_transfer({0x21, 0x01, 0x0100, 0, 0}, buf, &got), usb::Result::Stall);
  EXPECT_EQ(f->class_requests, 1);
}

TEST(UsbDevice, UnplugAndPlug) {
  usb::Device d(std::make_shared<OneSettingFunction>(), usb::Speed::Full);
  EXPECT_EQ(d.speed(), usb::Speed::Full);
  ASSERT_EQ(d.set_configuration(1), usb::Result::Ok);
  d.unplug();
  EXPECT_FALSE(d.connected());
  uint8_t buf[9];
  uint16_t got = 0;
  EXPECT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 9}, buf, &got), usb::Result::NoDevice);
  EXPECT_EQ(d.set_interface(0, 1), usb::Result::NoDevice);
  d.plug();
  EXPECT_EQ(d.configuration(), 0);
  EXPECT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 9}, buf, &got), usb::Result::Ok);
}

TEST(UsbDevice, FrameNumberFollowsTheClock) {
  usb::Device d(std::make_shared<OneSettingFunction>(), usb::Speed::High);
  uint32_t f0 = d.frame_number();
  korvel::sim::Clock::instance().sleep_for(5000000);
  EXPECT_EQ(d.frame_number() - f0, 5u);
}

// The counter starts where a test sets it and wraps after 2^32 frames, as a
// host controller's does: transfers scheduled across the wrap are taken back
// to back and run in consecutive microframes, and the start-frame checks
// (begun, too far ahead, overlapping) hold on both sides of it.
TEST(UsbDevice, TransfersScheduledAcrossTheFrameCounterWrapRunBackToBack) {
  Watchdog watchdog(30);
  Clock& clock = Clock::instance();
  clock.set_mode(ClockMode::Virtual);
  clock.attach_current_thread();
  struct Transfer : usb::IsoTransfer {
    void iso_complete(usb::IsoOutcome o) override { outcomes.push_back(o); }
    uint8_t data[8 * 32] = {};
    usb::IsoPacket packet_array[8];
    std::vector<usb::IsoOutcome> outcomes;
  };
  auto f = std::make_shared<OneSettingFunction>();
  usb::Device d(f, usb::Speed::High);
  ASSERT_EQ(d.set_configuration(1), usb::Result::Ok);
  ASSERT_EQ(d.set_interface(0, 1), usb::Result::Ok);
  clock.sleep_until((clock.now_ns() / 1000000 + 1) * 1000000 + 100000);  // early in a frame
  d.set_frame_number(0xFFFFFFFEu);
  EXPECT_EQ(d.frame_number(), 0xFFFFFFFEu);
  const uint64_t first_ms = clock.now_ns() / 1000000 + 1;  // the clock's frame of 0xFFFFFFFF
  Transfer t[4];
  auto prepare = [](Transfer* x, uint32_t frame) {
    x->endpoint = 0x01;
    x->start_frame = frame;
    x->buffer = x->data;
    x->packets = x->packet_array;
    x->packet_count = 8;
    for (uint32_t i = 0; i < 8; ++i) x->packet_array[i] = {i * 32, 32, usb::IsoPacketStatus::Late};
  };
  prepare(&t[0], 0xFFFFFFFFu);
  prepare(&t[1], 0);
  prepare(&t[2], 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(d.submit_iso(&t[i]), usb::IsoSubmit::Queued) << i;
  // The frame under way, one already queued (on either side of the wrap),
  // and one more than 1024 frames ahead are refused.
  for (uint32_t frame : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 0xFFFFFFFEu + 1025u}) {
    prepare(&t[3], frame);
    EXPECT_EQ(d.submit_iso(&t[3]), usb::IsoSubmit::BadStartFrame) << frame;
  }
  prepare(&t[3], 0xFFFFFFFEu + 1024u);
  EXPECT_EQ(d.submit_iso(&t[3]), usb::IsoSubmit::Queued);
  EXPECT_TRUE(d.cancel_iso(&t[3]));
  clock.sleep_for(5000000);
  EXPECT_EQ(d.frame_number(), 3u);
  std::vector<uint64_t> expected;
  for (uint64_t i = 0; i < 24; ++i) expected.push_back(first_ms * 8 + i);
  EXPECT_EQ(f->out_intervals, expected);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(t[i].outcomes.size(), 1u) << i;
    EXPECT_EQ(t[i].outcomes[0], usb::IsoOutcome::Completed);
  }
}

// A transfer submitted while the frame timer is idle, whose submitter is
// held up between choosing its slot and starting the timer until its first
// packet's interval (or the whole transfer) has passed: its packets still run
// in their own intervals, once each, and it completes; the bus does not spin
// for ever behind a packet it skipped.
TEST(UsbDevice, ATimerStartedLateStillRunsThePacketsQueuedBeforeIt) {
  Watchdog watchdog(30);
  Clock& clock = Clock::instance();
  clock.set_mode(ClockMode::Virtual);
  clock.attach_current_thread();
  struct Transfer : usb::IsoTransfer {
    void iso_complete(usb::IsoOutcome o) override { outcomes.push_back(o); }
    uint8_t data[16 * 32] = {};
    usb::IsoPacket packet_array[16];
    std::vector<usb::IsoOutcome> outcomes;
  };
  // 400 us: into the transfer's first frame; 3 ms: past its end.
  for (uint64_t delay_ns : {400000ull, 3000000ull}) {
    SCOPED_TRACE(delay_ns);
    auto f = std::make_shared<OneSettingFunction>();
    usb::Device d(f, usb::Speed::High);
    ASSERT_EQ(d.set_configuration(1), usb::Result::Ok);
    ASSERT_EQ(d.set_interface(0, 1), usb::Result::Ok);
    clock.sleep_until((clock.now_ns() / 1000000 + 1) * 1000000 + 900000);  // late in a frame
    Transfer t;
    t.endpoint = 0x01;
    t.start_frame = d.frame_number() + 1;
    const uint64_t start_ms = clock.now_ns() / 1000000 + 1;  // the clock's frame of start_frame
    t.buffer = t.data;
    t.packets = t.packet_array;
    t.packet_count = 16;
    for (uint32_t i = 0; i < 16; ++i) t.packet_array[i] = {i * 32, 32, usb::IsoPacketStatus::Late};
    d.delay_next_timer_start(delay_ns);
    ASSERT_EQ(d.submit_iso(&t), usb::IsoSubmit::Queued);
    clock.sleep_for(5000000);
    ASSERT_EQ(t.outcomes.size(), 1u);
    EXPECT_EQ(t.outcomes[0], usb::IsoOutcome::Completed);
    for (const usb::IsoPacket& p : t.packet_array) EXPECT_EQ(p.status, usb::IsoPacketStatus::Ok);
    std::vector<uint64_t> expected;
    for (uint64_t i = 0; i < 16; ++i) expected.push_back(start_ms * 8 + i);
    EXPECT_EQ(f->out_intervals, expected);
    EXPECT_EQ(d.iso_queued(), 0u);
  }
}

// A high-speed endpoint polled every 2, 4 or 8 microframes has its slot
// where the controller's schedule puts it, which the driver does not choose:
// the bus gives it the last microframe of each period, so that its packets
// run, and its transfers complete, as late in their frames as a real
// controller may have them. Two frames of packets from the start frame on.
TEST(UsbDevice, AnEndpointPolledLessOftenThanEveryMicroframeRunsLateInItsPeriod) {
  Watchdog watchdog(30);
  Clock& clock = Clock::instance();
  clock.set_mode(ClockMode::Virtual);
  clock.attach_current_thread();
  struct Transfer : usb::IsoTransfer {
    void iso_complete(usb::IsoOutcome o) override { outcomes.push_back(o); }
    uint8_t data[8 * 32] = {};
    usb::IsoPacket packet_array[8];
    std::vector<usb::IsoOutcome> outcomes;
  };
  for (uint8_t interval : {2, 3, 4}) {
    SCOPED_TRACE(int(interval));
    const uint32_t period = 1u << (interval - 1);
    auto f = std::make_shared<OneSettingFunction>(interval);
    usb::Device d(f, usb::Speed::High);
    ASSERT_EQ(d.set_configuration(1), usb::Result::Ok);
    ASSERT_EQ(d.set_interface(0, 1), usb::Result::Ok);
    Transfer t;
    t.endpoint = 0x01;
    t.start_frame = d.frame_number() + 2;
    const uint64_t start_ms = clock.now_ns() / 1000000 + 2;  // the clock's frame of start_frame
    t.buffer = t.data;
    t.packets = t.packet_array;
    t.packet_count = 2 * 8 / period;
    for (uint32_t i = 0; i < t.packet_count; ++i)
      t.packet_array[i] = {i * 32, 32, usb::IsoPacketStatus::Late};
    ASSERT_EQ(d.submit_iso(&t), usb::IsoSubmit::Queued);
    // Until the end of the second frame's second-last microframe: the last
    // packet has not run, and the transfer is not complete.
    const uint64_t end_ns = (start_ms + 2) * 1000000;
    clock.sleep_until(end_ns - 125000);
    EXPECT_TRUE(t.outcomes.empty());
    clock.sleep_until(end_ns + 1000000);
    ASSERT_EQ(t.outcomes.size(), 1u);
    EXPECT_EQ(t.outcomes[0], usb::IsoOutcome::Completed);
    std::vector<uint64_t> expected;
    for (uint64_t k = 0; k < t.packet_count; ++k) expected.push_back(start_ms * 8 + period - 1 + k * period);
    EXPECT_EQ(f->out_intervals, expected);
  }
}

}  // namespace
