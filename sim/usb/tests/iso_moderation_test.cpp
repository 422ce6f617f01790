// The bus's completion moderation: a client keeps isochronous transfers of
// one frame each queued on an endpoint, resubmitting from each completion,
// on the virtual clock. Moderated, completions come together on a grid of
// bus intervals (never before their transfer ended), the frame timer runs
// once per grid step instead of once per transfer, and an endpoint with
// little queued is not held back.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "kernel/clock.h"
#include "usb/device.h"

namespace usb = korvel::sim::usb;
using korvel::sim::Clock;
using korvel::sim::ClockMode;

namespace {

constexpr uint64_t kIntervalNs = 125000;  // high speed
constexpr uint8_t kEndpoint = 0x01;

// One interface with an isochronous OUT endpoint of 32 bytes polled every
// microframe in alternate setting 1; it notes the interval of every packet.
class OutFunction : public usb::Function {
 public:
  std::vector<uint8_t> configuration_descriptor(usb::Speed) const override {
    return {9, 2, 34,        0,    1,    1,    0, 0x80, 50,  // configuration
            9, 4, 0,         0,    0,    1,    1, 0x20, 0,   // interface 0 alt 0
            9, 4, 0,         1,    1,    1,    2, 0x20, 0,   // interface 0 alt 1
            7, 5, kEndpoint, 0x05, 0x20, 0x00, 1};
  }
  usb::Result control(const usb::Setup&, uint8_t*, uint16_t*) override { return usb::Result::Stall; }
  void iso_out(uint8_t, uint64_t interval, const uint8_t*, size_t) override { intervals.push_back(interval); }
  std::vector<uint64_t> intervals;
};

// Keeps `depth` transfers queued, each one frame (eight packets), the next
// one's start frame right after the last; resubmits from the completion.
class Client {
 public:
  Client(usb::Device& device, size_t depth) : device_(device) {
    for (size_t i = 0; i < depth; ++i) transfers_.push_back(std::make_unique<Transfer>(this));
  }
  void start() {
    next_frame_ = device_.frame_number() + 2;
    for (auto& t : transfers_) submit(t.get());
  }
  void stop() { running_ = false; }

  struct Completion {
    uint64_t at;   // bus interval when it was reported
    uint64_t end;  // the first interval after its last packet
  };
  std::vector<Completion> completions;
  uint64_t refused = 0;

 private:
  struct Transfer : usb::IsoTransfer {
    explicit Transfer(Client* c) : client(c) {
      buffer = data;
      packets = packet_array;
      packet_count = 8;
      for (uint32_t i = 0; i < 8; ++i) packet_array[i].offset = i * 32;
    }
    void iso_complete(usb::IsoOutcome outcome) override {
      client->completions.push_back({Clock::instance().now_ns() / kIntervalNs, (clock_frame + 1) * 8});
      if (outcome == usb::IsoOutcome::Completed && client->running_) client->submit(this);
    }
    Client* client;
    uint64_t clock_frame = 0;  // the clock's millisecond of start_frame
    uint8_t data[8 * 32] = {};
    usb::IsoPacket packet_array[8];
  };
  void submit(Transfer* t) {
    t->endpoint = kEndpoint;
    t->start_frame = next_frame_++;
    // The bus's frame counter does not start at the clock's zero.
    t->clock_frame = Clock::instance().now_ns() / 1000000 + (t->start_frame - device_.frame_number());
    for (auto& p : t->packet_array) p.length = 32;
    if (device_.submit_iso(t) != usb::IsoSubmit::Queued) ++refused;
  }

  usb::Device& device_;
  std::vector<std::unique_ptr<Transfer>> transfers_;
  uint32_t next_frame_ = 0;
  bool running_ = true;
};

struct Bus {
  explicit Bus(uint32_t moderation, uint32_t guard, uint32_t latency = 8) {
    Clock::instance().set_mode(ClockMode::Virtual);
    Clock::instance().attach_current_thread();
    function = std::make_shared<OutFunction>();
    device = std::make_unique<usb::Device>(function, usb::Speed::High);
    EXPECT_EQ(device->set_configuration(1), usb::Result::Ok);
    EXPECT_EQ(device->set_interface(0, 1), usb::Result::Ok);
    device->set_completion_latency(7, latency);
    device->set_completion_moderation(moderation, guard);
  }
  // Streams for `ms` of virtual time; returns the frame timer's runs.
  uint64_t stream(Client& client, uint64_t ms) {
    const uint64_t runs = Clock::instance().counts().timer_runs;
    client.start();
    Clock::instance().sleep_for(ms * 1000000);
    return Clock::instance().counts().timer_runs - runs;
  }
  // Stops the client and takes back what it has queued; what ran to its end
  // is reported meanwhile.
  void drain(Client& client) {
    client.stop();
    device->cancel_iso_endpoint(kEndpoint);
    Clock::instance().sleep_for(10000000);
    EXPECT_EQ(device->iso_queued(), 0u);
  }
  // Every interval from the first packet to the last had its packet, once.
  bool gapless() const {
    const auto& v = function->intervals;
    for (size_t i = 1; i < v.size(); ++i) {
      if (v[i] != v[i - 1] + 1) return false;
    }
    return !v.empty();
  }
  std::shared_ptr<OutFunction> function;
  std::unique_ptr<usb::Device> device;
};

TEST(IsoModeration, DeepQueuesCompleteInBatchesOnTheGridAndTheTimerRunsOncePerStep) {
  Bus bus(32, 16);  // every 4 ms, while 2 ms stay queued
  Client client(*bus.device, 15);
  const uint64_t runs = bus.stream(client, 1000);
  bus.drain(client);
  EXPECT_EQ(client.refused, 0u);
  EXPECT_TRUE(bus.gapless());
  std::set<uint64_t> moments;
  for (const auto& c : client.completions) {
    if (c.at * kIntervalNs >= 1000000000ull) break;  // the cancel at the end
    EXPECT_GE(c.at, c.end);
    EXPECT_EQ(c.at % 32, 0u) << "reported off the grid at " << c.at;
    moments.insert(c.at);
  }
  EXPECT_GE(client.completions.size(), 990u);
  EXPECT_LE(moments.size(), 251u);
  EXPECT_LE(runs, 252u);
  // The same stream unmoderated: a run for nearly every transfer.
  Bus plain(0, 0);
  Client each(*plain.device, 15);
  EXPECT_GE(plain.stream(each, 1000), 900u);
  plain.drain(each);
}

TEST(IsoModeration, AShallowQueueIsNotHeldBack) {
  // Three transfers queued: each completion is needed within its latency,
  // or the next start frame passes and the stream breaks.
  Bus bus(32, 16);
  Client client(*bus.device, 3);
  bus.stream(client, 500);
  bus.drain(client);
  EXPECT_EQ(client.refused, 0u);
  EXPECT_TRUE(bus.gapless());
  EXPECT_GE(bus.function->intervals.size(), 3900u);
}

TEST(IsoModeration, WhatACancelLeavesIsReportedAtItsOwnTime) {
  // Transfers that ran to their end just before a cancel but are not due
  // yet (latency) are reported when due, not at the next grid step: an
  // endpoint with nothing queued is not moderated.
  Bus bus(32, 16, 8);
  Client client(*bus.device, 15);
  bus.stream(client, 100);
  client.stop();
  const uint64_t grid_ns = 32 * kIntervalNs;
  Clock& clock = Clock::instance();
  clock.sleep_until((clock.now_ns() / grid_ns + 1) * grid_ns + kIntervalNs);  // just past a grid step
  const uint64_t cancelled_at = clock.now_ns() / kIntervalNs;
  const size_t before = client.completions.size();
  bus.device->cancel_iso_endpoint(kEndpoint);
  clock.sleep_for(grid_ns);
  ASSERT_GT(client.completions.size(), before);
  for (size_t i = before; i < client.completions.size(); ++i)
    EXPECT_LE(client.completions[i].at, cancelled_at + 9) << "held for the grid";
  EXPECT_EQ(bus.device->iso_queued(), 0u);
}

}  // namespace
