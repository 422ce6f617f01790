// korvel-devhost --stream as a user runs it: the command line, the formats
// asked of each pin, and the exit status of a run that is not exact.
#include "ks_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "uac2.h"
#include "usb/device.h"

using namespace korvel::sim;
using namespace korvel::sim::devhost;
using korvel::sim::uac2::ConfigBuilder;

namespace {

// Stereo render and capture of `subslot` x `bits`, with one clock for both
// directions or one each.
std::vector<uint8_t> Stereo(uint8_t subslot, uint8_t bits, bool two_clocks) {
  const uint8_t render_clock = 0x29, capture_clock = two_clocks ? 0x2A : 0x29;
  const uint16_t packet = uint16_t(13 * 2 * subslot);  // 96 kHz and one frame more
  ConfigBuilder b;
  b.configuration(3).interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(render_clock);
  if (two_clocks) b.clock_source(capture_clock);
  b.input_terminal(1, 0x0101, render_clock, 2).output_terminal(3, 0x0301, 1, render_clock);
  b.input_terminal(4, 0x0201, capture_clock, 2).output_terminal(5, 0x0101, 4, capture_clock);
  b.ac_end();
  b.interface(1, 0, 0, 1, 2, 0x20);
  b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(subslot, bits);
  b.endpoint(0x01, 0x05, packet, 1).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
  b.interface(2, 0, 0, 1, 2, 0x20);
  b.interface(2, 1, 1, 1, 2, 0x20).as_general(5, 2).format_type_i(subslot, bits);
  b.endpoint(0x82, 0x05, packet, 1).cs_endpoint();
  return b.finish();
}

std::string HexFile(const std::vector<uint8_t>& descriptor, const std::string& name) {
  const std::string file = ::testing::TempDir() + "/" + name;
  std::FILE* f = std::fopen(file.c_str(), "w");
  for (uint8_t byte : descriptor) std::fprintf(f, "%02x ", byte);
  std::fclose(f);
  return file;
}

// run_stream on a command line; the report's one line.
int RunStream(std::vector<std::string> args, std::string* report) {
  const std::string file = ::testing::TempDir() + "/ks_client_report.json";
  std::remove(file.c_str());
  args.insert(args.begin(), "korvel-devhost");
  args.push_back("--report");
  args.push_back(file);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  const int status = run_stream(int(argv.size()), argv.data());
  char line[4096] = {};
  if (std::FILE* f = std::fopen(file.c_str(), "r")) {
    if (std::fgets(line, sizeof line, f) == nullptr) line[0] = 0;
    std::fclose(f);
  }
  *report = line;
  return status;
}

}  // namespace

TEST(StreamCommandLine, TwentyFourBitsInFourByteSubslotsAskedAs32KeepCapture) {
  // The unit's capture carries 24 valid bits in 4 bytes, as its render does:
  // a 32-bit format is offered on both pins, and the loopback returns it.
  std::string report;
  const std::string file = HexFile(Stereo(4, 24, false), "subslot4.hex");
  ASSERT_EQ(
      RunStream({"--stream", "0.5", "--descriptor", file, "--format", "2:32:48000", "--loopback"}, &report),
      0)
      << report;
  EXPECT_NE(report.find("\"capture_channels\": 2"), std::string::npos) << report;
  EXPECT_NE(report.find("\"loopback_bit_exact\": true"), std::string::npos) << report;
  EXPECT_EQ(report.find("\"captured_frames\": 0,"), std::string::npos) << report;
}

TEST(StreamCommandLine, ARunThatIsNotBitExactExitsOne) {
  // Two clocks: capture runs at 44.1 kHz beside render at 48 kHz, so the
  // loopback asked for cannot be exact; the run streams, reports, and fails.
  std::string report;
  const std::string file = HexFile(Stereo(3, 24, true), "two_clocks.hex");
  EXPECT_EQ(RunStream({"--stream", "0.5", "--descriptor", file, "--format", "2:24:48000", "--capture-format",
                       "2:24:44100", "--loopback"},
                      &report),
            1);
  EXPECT_NE(report.find("\"render_bit_exact\": true"), std::string::npos) << report;
  EXPECT_NE(report.find("\"loopback_bit_exact\": false"), std::string::npos) << report;
  // Each side at its own rate: half a second of 44.1 kHz came back.
  EXPECT_NE(report.find("\"capture_format\": {\"channels\": 2, \"bits\": 24, \"rate\": 44100}"),
            std::string::npos)
      << report;
  // The same run without loopback is a clean one.
  EXPECT_EQ(RunStream({"--stream", "0.5", "--descriptor", file, "--format", "2:24:48000", "--capture-format",
                       "2:24:44100"},
                      &report),
            0)
      << report;
}

namespace {

// A session on a stack of the test's own, for tests that change the bus
// before streaming. A run that has not ended after a minute of wall time is
// stopped (the report then shows how far it got).
bool RunSession(DriverStack& stack, const StreamOptions& o, StreamReport* r, std::string* error) {
  std::atomic<bool> stop{false};
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return done; }))
      Clock::instance().signal([&] { stop = true; });
  });
  const bool ok = run_stream_on(stack, o, r, error, &stop);
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_one();
  watchdog.join();
  return ok;
}

}  // namespace

TEST(StreamSession, ARateTheDriverDoesNotOfferEndsTheSessionWithThePinsReason) {
  // 50 Hz: below the lowest rate quenby streams, so its pins never offer
  // it; the session ends at once with the rates they offer instead. (The
  // client's buffers of at least one frame, for rates where ten
  // milliseconds hold none, stay for drivers that offer such rates.)
  Clock::instance().set_mode(ClockMode::Virtual);
  DriverStack stack(Stereo(3, 24, false), ClockRates({50, 48000}), true);
  ASSERT_TRUE(stack.plug());
  StreamOptions o;
  o.seconds = 0.5;
  o.channels = 2;
  o.bits = 24;
  o.rate = 50;
  o.render_only = true;
  StreamReport r;
  std::string error;
  EXPECT_FALSE(RunSession(stack, o, &r, &error));
  EXPECT_NE(error.find("the render pin offers no format for 2:24:50"), std::string::npos) << error;
  EXPECT_NE(error.find("it offers 2:24 at 48000 Hz"), std::string::npos) << error;
  EXPECT_EQ(r.rendered_frames, 0u);
  stack.unplug();
}

TEST(StreamSession, APinThatFailsToStartIsLeftInStopWithoutAStepPastIt) {
  // The unit refuses every alternate-setting selection: the render pin
  // stays in STOP, and the client's cleanup has nothing to step through
  // (the kernel stand-in stops at any state that is not a KSSTATE).
  Clock::instance().set_mode(ClockMode::Virtual);
  DriverStack stack(Stereo(3, 24, false), ClockRates({48000}), true);
  ASSERT_TRUE(stack.plug());
  stack.bus()->stall_next_set_interface(1000);
  StreamOptions o;
  o.seconds = 0.2;
  o.channels = 2;
  o.bits = 24;
  o.render_only = true;
  StreamReport r;
  std::string error;
  EXPECT_FALSE(RunSession(stack, o, &r, &error));
  EXPECT_EQ(error, "a pin state change failed");
  stack.bus()->stall_next_set_interface(0);
  stack.unplug();
}
