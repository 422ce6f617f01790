// Direct mode beside running KS pins: the render pin's audio is mixed into
// the direct-mode render stream, and the capture pin is fed from the
// direct-mode capture stream. With loopback, what the unit returns shows
// both: the pin's signal under the direct client's (silent) data.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "kernel/ks_host.h"
#include "kernel/verifier.h"
#include "quenby.h"
#include "quenby_ioctl.h"
#include "usb/device.h"

using korvel::sim::Clock;
using korvel::sim::Model;
using korvel::sim::Unit;
using korvel::sim::devhost::DriverFile;
using korvel::sim::devhost::DriverStack;
namespace ks = korvel::sim::kernel::ks;

namespace {

// A flag the streaming thread reads and writes with interlocked calls, read
// the same way.
ULONG Flag(const ULONG& flag) {
  return ULONG(InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(const_cast<ULONG*>(&flag)), 0, 0));
}

constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 3;
constexpr uint32_t kFrameBytes = 6;      // 2 channels of 24 bits
constexpr uint32_t kPinSample = 0x1000;  // what the render pin plays on channel 1

// The direct-mode codes of the private interface.
constexpr uint32_t kEnter = IOCTL_QUENBY_ENTER_DIRECT, kLeave = IOCTL_QUENBY_LEAVE_DIRECT,
                   kSetFormats = IOCTL_QUENBY_SET_FORMATS, kStart = IOCTL_QUENBY_START_DIRECT,
                   kStop = IOCTL_QUENBY_STOP_DIRECT, kReadCapture = IOCTL_QUENBY_READ_CAPTURE;
const uint8_t kStereo48k[16] = {2, 0, 2, 0, 24, 0, 24, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0};
const uint8_t kStereo44k[16] = {2, 0, 2, 0, 24, 0, 24, 0, 0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0};

std::vector<uint8_t> intersect(PKSFILTER filter, ULONG pin, uint32_t channels, uint32_t bits, uint32_t rate) {
  KSDATARANGE_AUDIO range{};
  range.DataRange.FormatSize = sizeof(range);
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  range.MaximumChannels = channels;
  range.MinimumBitsPerSample = bits;
  range.MaximumBitsPerSample = bits;
  range.MinimumSampleFrequency = rate;
  range.MaximumSampleFrequency = rate;
  ULONG size = 0;
  if (ks::pin_intersect(filter, pin, &range.DataRange, nullptr, 0, &size) != STATUS_BUFFER_OVERFLOW)
    return {};
  std::vector<uint8_t> format(size);
  if (!NT_SUCCESS(ks::pin_intersect(filter, pin, &range.DataRange, format.data(), size, &size))) return {};
  return format;
}

struct Frame {
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> data;
  explicit Frame(size_t bytes, bool render) : data(bytes, 0) {
    for (size_t o = 0; render && o + kFrameBytes <= bytes; o += kFrameBytes) {
      data[o] = uint8_t(kPinSample);
      data[o + 1] = uint8_t(kPinSample >> 8);
    }
    header.Size = sizeof(KSSTREAM_HEADER);
    header.Data = data.data();
    header.FrameExtent = ULONG(bytes);
    header.DataUsed = render ? ULONG(bytes) : 0;
  }
};

// Frames of `bytes` each (carrying the pin's signal when `render`), made
// and submitted to `pin` `count` at a time.
struct Frames {
  std::vector<std::unique_ptr<Frame>> list;
  void submit_new(PKSPIN pin, size_t bytes, bool render, int count = 1) {
    for (int i = 0; i < count; ++i) {
      list.push_back(std::make_unique<Frame>(bytes, render));
      ks::pin_submit(pin, &list.back()->header);
    }
  }
};

// A pin taken up through ACQUIRE and PAUSE (and RUN), each step succeeding.
void to_pause(PKSPIN pin) {
  for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(pin, s)));
}
void to_run(PKSPIN pin) {
  for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
    ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(pin, s)));
}
// A pin taken down through PAUSE and ACQUIRE to STOP, whatever each step
// answers.
void to_stop(PKSPIN pin) {
  for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) ks::pin_set_state(pin, s);
}

// `body` on a thread of its own that the clock knows; join_on_clock() waits
// for it.
std::thread start_on_clock(std::function<void()> body) {
  Clock& clock = Clock::instance();
  void* ticket = clock.thread_created();
  return std::thread([&clock, ticket, body = std::move(body)] {
    clock.adopt_current_thread(ticket);
    body();
    clock.detach_current_thread();
  });
}
void join_on_clock(std::thread& thread) {
  Clock& clock = Clock::instance();
  clock.detach_current_thread();
  thread.join();
  clock.attach_current_thread();
}

// A GET request of the audio property `id`.
KSPROPERTY audio_get(ULONG id) {
  KSPROPERTY request{};
  request.Set = KSPROPSETID_Audio;
  request.Id = id;
  request.Flags = KSPROPERTY_TYPE_GET;
  return request;
}

// A Tarrow unit with quenby on it, on the clock in `mode`; once open(), a
// driver file on it for a direct client, and a filter of it when a test
// opens one.
struct DirectSession {
  explicit DirectSession(korvel::sim::ClockMode mode) : clock_mode(mode) {}
  // Set first: the unit and the stack run on the clock in that mode.
  struct SetClockMode {
    explicit SetClockMode(korvel::sim::ClockMode mode) { Clock::instance().set_mode(mode); }
  } clock_mode;
  Unit unit{Model::Tarrow, [] { return Clock::instance().now_ns() / 1000; }};
  DriverStack stack{unit, true};
  std::unique_ptr<DriverFile> file;
  PKSFILTER filter = nullptr;

  // Plugs the unit in and opens the file.
  void open() {
    ASSERT_TRUE(stack.plug());
    ASSERT_EQ(0, stack.open(u"\\tarrow", &file));
  }
  void open_filter() {
    NTSTATUS status;
    filter = ks::filter_create(ks::devices().back(), 0, &status);
    ASSERT_NE(nullptr, filter);
  }
  // The filter's pin `id` at `format` (none without a format).
  PKSPIN create_pin(ULONG id, const std::vector<uint8_t>& format) {
    if (format.empty()) return nullptr;
    NTSTATUS status;
    return ks::pin_create(filter, id, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &status);
  }
  // ... at 2 channels of 24 bits at `rate`.
  PKSPIN create_pin(ULONG id, uint32_t rate) { return create_pin(id, intersect(filter, id, 2, 24, rate)); }
  // open(), open_filter() and that pin in *pin.
  void open_with_pin(ULONG id, uint32_t rate, PKSPIN* pin) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(open_filter());
    *pin = create_pin(id, rate);
    ASSERT_NE(nullptr, *pin);
  }
  // Closes the filter (its pins closed before), then the file, and unplugs
  // the unit.
  void close_filter() {
    ks::filter_close(filter);
    filter = nullptr;
  }
  void unplug() {
    file.reset();
    stack.unplug();
  }
  void close() {
    close_filter();
    unplug();
  }
  WDF_DEVICE_CONTEXT* context() const { return QuenbyContextFromKsDevice(ks::devices().back()); }

  int32_t call(uint32_t code, const void* in = nullptr, uint32_t in_len = 0, void* out = nullptr,
               uint32_t out_len = 0, uint64_t* info = nullptr) {
    uint64_t got = 0;
    int32_t s = file->ioctl(code, in, in_len, out, out_len, &got);
    if (info != nullptr) *info = got;
    return s;
  }
  // Enters direct mode at `formats` and (when `start`) starts its streams.
  void enter(const uint8_t* formats = kStereo48k, bool start = true) {
    ASSERT_EQ(0, call(kEnter));
    ASSERT_EQ(0, call(kSetFormats, formats, 16));
    if (start) {
      ASSERT_EQ(0, call(kStart));
    }
  }
  // Stops the streams and leaves direct mode, whatever the codes answer.
  void leave() {
    call(kStop);
    call(kLeave);
  }
  // One capture read of 1 ms; the byte count read.
  uint64_t read_capture() {
    uint8_t buf[288];
    uint64_t got = 0;
    call(kReadCapture, nullptr, 0, buf, sizeof buf, &got);
    return got;
  }
};

int32_t sample(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16) << 8 >> 8;
}

struct Result {
  int mixed = 0;        // frames returned by the unit that carry the pin's signal
  int pin_fed = 0;      // capture-pin frames that carry it
  int pin_frames = 0;   // capture-pin frames completed at all
  int after_leave = 0;  // capture-pin frames completed in the 100 ms after direct mode
};

// Runs a direct client (48 kHz, rendering silence) beside both KS pins at
// `pin_rate` for 300 ms and counts where the render pin's signal shows up.
void run_beside_pins(uint32_t pin_rate, Result* out) {
  Result& result = *out;
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  d.stack.set_loopback(true);
  ASSERT_NO_FATAL_FAILURE(d.open());
  auto call = [&d](uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len) {
    uint64_t info = 0;
    int32_t s = d.call(code, in, in_len, out, out_len, &info);
    return s < 0 ? -1 : int64_t(info);
  };

  ASSERT_NO_FATAL_FAILURE(d.open_filter());
  auto render_format = intersect(d.filter, kRenderPin, 2, 24, pin_rate);
  auto capture_format = intersect(d.filter, kCapturePin, 2, 24, pin_rate);
  ASSERT_FALSE(render_format.empty());
  ASSERT_FALSE(capture_format.empty());
  PKSPIN render = d.create_pin(kRenderPin, render_format);
  PKSPIN capture = d.create_pin(kCapturePin, capture_format);
  ASSERT_NE(nullptr, render);
  ASSERT_NE(nullptr, capture);

  // Direct mode first, with the same format as the pins.
  ASSERT_EQ(0, call(kEnter, nullptr, 0, nullptr, 0));
  ASSERT_EQ(0, call(kSetFormats, kStereo48k, 16, nullptr, 0));
  ASSERT_EQ(0, call(kStart, nullptr, 0, nullptr, 0));

  // Both pins run with frames of 10 ms queued.
  const size_t frame_bytes = pin_rate / 100 * kFrameBytes;
  Frames frames;
  for (PKSPIN pin : {capture, render}) ASSERT_NO_FATAL_FAILURE(to_pause(pin));
  for (int i = 0; i < 4; ++i) {
    frames.submit_new(render, frame_bytes, true);
    frames.submit_new(capture, frame_bytes, false);
  }
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(capture, KSSTATE_RUN)));
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN)));

  // The direct client renders silence and reads what comes back.
  std::vector<uint8_t> silence(48 * kFrameBytes, 0), back(48 * kFrameBytes);
  int mixed = 0, pin_fed = 0;
  for (int ms = 0; ms < 300; ++ms) {
    call(IOCTL_QUENBY_WRITE_RENDER, silence.data(), uint32_t(silence.size()), nullptr, 0);
    if (call(kReadCapture, nullptr, 0, back.data(), uint32_t(back.size())) > 0) {
      for (size_t o = 0; o < back.size(); o += kFrameBytes)
        if (sample(&back[o]) == int32_t(kPinSample) && sample(&back[o + 3]) == 0) ++mixed;
    }
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(render)) ks::pin_submit(render, h);
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(capture)) {
      const uint8_t* data = static_cast<const uint8_t*>(h->Data);
      ++result.pin_frames;
      for (size_t o = 0; o + kFrameBytes <= h->DataUsed; o += kFrameBytes)
        if (sample(data + o) == int32_t(kPinSample)) ++pin_fed;
      h->DataUsed = 0;
      ks::pin_submit(capture, h);
    }
    clock.sleep_for(1000000);
  }
  result.mixed = mixed;
  result.pin_fed = pin_fed;
  call(kStop, nullptr, 0, nullptr, 0);
  call(kLeave, nullptr, 0, nullptr, 0);
  // The pins go on alone.
  for (int ms = 0; ms < 100; ++ms) {
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(render)) ks::pin_submit(render, h);
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(capture)) {
      ++result.after_leave;
      h->DataUsed = 0;
      ks::pin_submit(capture, h);
    }
    clock.sleep_for(1000000);
  }
  ks::pin_close(render);
  ks::pin_close(capture);
  d.close_filter();
  d.file.reset();
}

TEST(DirectMixing, EqualFormatsMixTheRenderPinAndFeedTheCapturePin) {
  Result r;
  run_beside_pins(48000, &r);
  // Most of the 300 ms carried the pin's signal through the direct stream,
  // and the capture pin saw the same data as the direct client.
  EXPECT_GT(r.mixed, 48 * 100);
  EXPECT_GT(r.pin_fed, 48 * 100);
  EXPECT_GE(r.after_leave, 8);  // 10 ms frames
}

TEST(DirectMixing, DifferentRatesNeitherMixNorCopy) {
  Result r;
  run_beside_pins(44100, &r);
  EXPECT_EQ(0, r.mixed);
  EXPECT_EQ(0, r.pin_fed);
  EXPECT_GT(r.pin_frames, 10);  // the capture pin still runs, on silence
  // Once direct mode ends, the capture pin that waited for direct-mode
  // credit is fed from the ring again (10 ms frames).
  EXPECT_GE(r.after_leave, 8);
}

}  // namespace

TEST(DirectModePower, StreamsStartOnlyInD0AndRunAgainAfterAPowerCycle) {
  DirectSession d(korvel::sim::ClockMode::Virtual);
  ASSERT_NO_FATAL_FAILURE(d.open());
  ASSERT_NO_FATAL_FAILURE(d.enter(kStereo48k, false));
  // Powered down: the start code starts nothing on the bus (the device
  // refuses transfers in D3); the streams start with the power-up.
  ASSERT_EQ(0, d.stack.set_power(4));
  EXPECT_EQ(0, d.call(kStart));
  EXPECT_EQ(d.stack.bus()->iso_queued(), 0u);
  ASSERT_EQ(0, d.stack.set_power(1));
  Clock::instance().sleep_for(20000000);
  EXPECT_EQ(d.read_capture(), 288u);
  // Powered down and up while streaming: capture flows again.
  ASSERT_EQ(0, d.stack.set_power(4));
  EXPECT_EQ(d.stack.bus()->iso_queued(), 0u);
  ASSERT_EQ(0, d.stack.set_power(1));
  Clock::instance().sleep_for(20000000);
  EXPECT_EQ(d.read_capture(), 288u);
  EXPECT_EQ(0, d.call(kStop));
  EXPECT_EQ(0, d.call(kLeave));
  d.unplug();
}

TEST(DirectModeRaces, DirectCodesAndPinStateChangesFromTwoThreads) {
  // The direct-mode codes and the pins' STOP/ACQUIRE start and stop the same
  // streams and select the same settings from their own threads; they must
  // never leave a stream on a deleted pipe or race on the context (TSan).
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 48000, &render));

  std::thread pins = start_on_clock([&] {
    for (int i = 0; i < 30; ++i) {
      ks::pin_set_state(render, KSSTATE_ACQUIRE);
      clock.sleep_for(300000);
      ks::pin_set_state(render, KSSTATE_STOP);
    }
  });
  for (int i = 0; i < 30; ++i) {
    d.call(kEnter);
    d.call(kSetFormats, kStereo48k, sizeof kStereo48k);
    d.call(kStart);
    clock.sleep_for(200000);
    d.leave();
  }
  join_on_clock(pins);
  ks::pin_close(render);
  d.close();
}

TEST(DirectModeRaces, RenderDelayAskedWhileAnotherClientChangesFormats) {
  // One client changes the formats (each change restarts the streams) while
  // another asks for the render delay, which reads the running format: the
  // two must not race on it (TSan).
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Real);
  ASSERT_NO_FATAL_FAILURE(d.open());
  std::unique_ptr<DriverFile> other;
  ASSERT_EQ(0, d.stack.open(u"\\tarrow", &other));
  ASSERT_EQ(0, d.call(kEnter));
  ASSERT_EQ(0, d.call(kStart));
  std::atomic<bool> done{false};
  std::thread asker = start_on_clock([&] {
    while (!done) {
      uint32_t delay = 0;
      uint64_t info = 0;
      EXPECT_EQ(0, other->ioctl(IOCTL_QUENBY_RENDER_DELAY, nullptr, 0, &delay, sizeof delay, &info));
    }
  });
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(0, d.call(kSetFormats, i % 2 ? kStereo48k : kStereo44k, 16));
    clock.sleep_for(200000);
  }
  done = true;
  join_on_clock(asker);
  d.leave();
  other.reset();
  d.unplug();
}

TEST(DirectModeRaces, CapturePinProcessesWhileAnotherClientChangesFormats) {
  // The capture pin runs beside direct mode at 44.1 kHz while a direct
  // client switches the streams between 44.1 and 48 kHz: the pin's
  // processing (clones at the same rate, credit at another) reads the
  // running capture format that each change rewrites (TSan).
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Real);
  PKSPIN capture = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kCapturePin, 44100, &capture));
  ASSERT_NO_FATAL_FAILURE(d.enter(kStereo44k));
  Frames frames;
  ASSERT_NO_FATAL_FAILURE(to_pause(capture));
  frames.submit_new(capture, 44 * kFrameBytes, false, 8);
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(capture, KSSTATE_RUN)));
  std::atomic<bool> done{false};
  std::thread client = start_on_clock([&] {
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(0, d.call(kSetFormats, i % 2 ? kStereo44k : kStereo48k, 16));
      clock.sleep_for(4000000);
    }
    done = true;
  });
  // Frames come back and go again, and new ones keep coming (each asks the
  // pin to process), also while a change restarts the streams.
  while (!done) {
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(capture)) {
      h->DataUsed = 0;
      ks::pin_submit(capture, h);
    }
    if (frames.list.size() < 4000) frames.submit_new(capture, 44 * kFrameBytes, false);
    clock.sleep_for(100000);
  }
  join_on_clock(client);
  to_stop(capture);
  ks::pin_close(capture);
  d.close_filter();
  d.leave();
  d.unplug();
}

TEST(DirectModeRaces, RenderLatencyAskedWhileAnotherClientChangesFormats) {
  // The render pin's latency property reads the running render format and
  // the ring's limit, which each format change of a direct client rewrites;
  // AVStream may call it holding the filter's control mutex, so it must
  // neither race on them (TSan) nor wait for a format change's requests to
  // the unit.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Real);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 48000, &render));
  ASSERT_NO_FATAL_FAILURE(d.enter());
  std::atomic<bool> done{false};
  std::thread asker = start_on_clock([&] {
    while (!done) {
      KSPROPERTY request = audio_get(KSPROPERTY_AUDIO_LATENCY);
      KSTIME latency{};
      ULONG bytes = 0;
      EXPECT_TRUE(
          NT_SUCCESS(ks::pin_property(render, &request, sizeof request, &latency, sizeof latency, &bytes)));
      // At either rate: the ring's 50 ms and the transfers ahead, never
      // a value of neither format.
      EXPECT_GT(latency.Time, 500000);
      EXPECT_LT(latency.Time, 1000000);
    }
  });
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(0, d.call(kSetFormats, i % 2 ? kStereo48k : kStereo44k, 16));
    clock.sleep_for(200000);
  }
  done = true;
  join_on_clock(asker);
  ks::pin_close(render);
  d.close_filter();
  d.leave();
  d.unplug();
}

TEST(PinStart, FailedRenderStartLeavesTheCaptureStreamAsItWas) {
  // The render pin's start runs capture beside it, on one clock for both at
  // the pin's rate (48 kHz; capture was at 44.1). When the render stream
  // then fails to start (here its interface cannot be selected), the pin
  // stays in STOP and nothing started or moved for it stays: capture would
  // otherwise hold the one clock at 48 kHz, and a render pin at 44.1 kHz be
  // refused.
  DirectSession d(korvel::sim::ClockMode::Virtual);
  ASSERT_TRUE(d.stack.plug());
  WDF_DEVICE_CONTEXT* ctx = d.context();
  ASSERT_NE(0u, ctx->SharedClock);
  ASSERT_EQ(44100u, ctx->Dir[QUENBY_DIR_CAPTURE].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
  ASSERT_NO_FATAL_FAILURE(d.open_filter());
  PKSPIN render = d.create_pin(kRenderPin, 48000);
  ASSERT_NE(nullptr, render);
  WDFUSBINTERFACE renderInterface = ctx->Dir[QUENBY_DIR_RENDER].Interface;
  ctx->Dir[QUENBY_DIR_RENDER].Interface = nullptr;
  EXPECT_FALSE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_ACQUIRE)));
  ctx->Dir[QUENBY_DIR_RENDER].Interface = renderInterface;
  EXPECT_EQ(0u, Flag(ctx->Streams[QuenbyCapture].Active));
  EXPECT_EQ(0u, Flag(ctx->Streams[QuenbyRender].Active));
  EXPECT_EQ(44100u, ctx->Dir[QUENBY_DIR_CAPTURE].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
  EXPECT_EQ(44100u, ctx->Dir[QUENBY_DIR_CAPTURE].StreamFormat.WaveFormatExt.Format.nSamplesPerSec);
  EXPECT_FALSE(intersect(d.filter, kRenderPin, 2, 24, 44100).empty());
  // Tried again, the pin starts both streams at its rate.
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_ACQUIRE)));
  EXPECT_NE(0u, Flag(ctx->Streams[QuenbyRender].Active));
  EXPECT_EQ(48000u, d.unit.audio().render_rate());
  ks::pin_set_state(render, KSSTATE_STOP);
  ks::pin_close(render);
  d.close();
}

TEST(DirectModeClock, LeavingDirectModeGivesTheOneClockBackToThePinsRate) {
  // Both pins run at 44.1 kHz on a unit with one clock for both directions;
  // direct mode runs both streams at 48 kHz. Leaving it, the streams run
  // again for the pins at their rate: neither restart may meet the other
  // stream still at direct mode's rate.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 44100, &render));
  PKSPIN capture = d.create_pin(kCapturePin, 44100);
  ASSERT_NE(nullptr, capture);
  for (PKSPIN pin : {capture, render}) ASSERT_NO_FATAL_FAILURE(to_run(pin));
  EXPECT_EQ(d.unit.audio().render_rate(), 44100u);
  ASSERT_NO_FATAL_FAILURE(d.enter());
  clock.sleep_for(10000000);
  EXPECT_EQ(d.unit.audio().render_rate(), 48000u);
  EXPECT_EQ(0, d.call(kStop));
  EXPECT_EQ(0, d.call(kLeave));
  const WDF_DEVICE_CONTEXT* ctx = d.context();
  EXPECT_EQ(d.unit.audio().render_rate(), 44100u);
  EXPECT_EQ(ctx->Dir[QUENBY_DIR_CAPTURE].StreamFormat.WaveFormatExt.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(ctx->Dir[QUENBY_DIR_RENDER].StreamFormat.WaveFormatExt.Format.nSamplesPerSec, 44100u);
  EXPECT_NE(Flag(ctx->Streams[QuenbyCapture].Active), 0u);
  EXPECT_NE(Flag(ctx->Streams[QuenbyRender].Active), 0u);
  for (PKSPIN pin : {render, capture}) {
    to_stop(pin);
    ks::pin_close(pin);
  }
  d.close();
}

TEST(DirectModeLeave, AFailedRestartForTheRunningPinIsReportedAndDirectModeEndsAllTheSame) {
  // The render pin runs at 44.1 kHz; direct mode runs the streams at 48.
  // Leaving it, the unit stalls every SET_INTERFACE: the streams cannot run
  // again for the pin, and the client hears so. Direct mode is over all
  // the same: its codes fail, nothing is in use for it, and the saved
  // formats are back; the pin starts its streams again once the unit
  // answers.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 44100, &render));
  WDF_DEVICE_CONTEXT* ctx = d.context();
  ASSERT_NO_FATAL_FAILURE(to_run(render));
  ASSERT_NO_FATAL_FAILURE(d.enter());
  clock.sleep_for(10000000);
  ASSERT_EQ(0, d.call(kStop));
  d.stack.bus()->stall_next_set_interface(1000);
  EXPECT_GT(0, d.call(kLeave));
  d.stack.bus()->stall_next_set_interface(0);
  EXPECT_EQ(0u, ctx->DirectMode);
  EXPECT_EQ(0u, ctx->DirectStreamFlags);
  EXPECT_EQ(0u, ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse);
  EXPECT_EQ(1u, ctx->Dir[QUENBY_DIR_RENDER].StreamInUse);  // the running pin's
  for (int dir : {QUENBY_DIR_CAPTURE, QUENBY_DIR_RENDER}) {
    EXPECT_EQ(44100u, ctx->Dir[dir].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
    EXPECT_EQ(44100u, ctx->Dir[dir].StreamFormat.WaveFormatExt.Format.nSamplesPerSec);
  }
  EXPECT_GT(0, d.call(kStart));
  EXPECT_GT(0, d.call(kSetFormats, kStereo48k, sizeof kStereo48k));
  // The pin runs its streams again through STOP.
  to_stop(render);
  ASSERT_NO_FATAL_FAILURE(to_run(render));
  EXPECT_NE(0u, Flag(ctx->Streams[QuenbyRender].Active));
  EXPECT_EQ(44100u, d.unit.audio().render_rate());
  // Left again with a unit that answers: no failure to report.
  ASSERT_EQ(0, d.call(kEnter));
  EXPECT_EQ(0, d.call(kLeave));
  to_stop(render);
  ks::pin_close(render);
  d.close();
}

TEST(PinStart, FailedCaptureStartLeavesTheCaptureStreamBesideRenderRunning) {
  // The render pin's start runs capture beside it. A capture pin's start
  // restarts that stream for itself; when the start fails (the unit stalls
  // the SET_INTERFACE requests of it), the pin stays in STOP and the
  // stream runs on as before, for render's sake; the start tried again
  // succeeds.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  ASSERT_TRUE(d.stack.plug());
  WDF_DEVICE_CONTEXT* ctx = d.context();
  ASSERT_NO_FATAL_FAILURE(d.open_filter());
  PKSPIN render = d.create_pin(kRenderPin, 48000);
  ASSERT_NE(nullptr, render);
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_ACQUIRE)));
  ASSERT_NE(0u, Flag(ctx->Streams[QuenbyCapture].Active));
  PKSPIN capture = d.create_pin(kCapturePin, 48000);
  ASSERT_NE(nullptr, capture);
  d.stack.bus()->stall_next_set_interface(10);  // every attempt of the first selection
  EXPECT_FALSE(NT_SUCCESS(ks::pin_set_state(capture, KSSTATE_ACQUIRE)));
  d.stack.bus()->stall_next_set_interface(0);
  EXPECT_NE(0u, Flag(ctx->Streams[QuenbyCapture].Active));
  EXPECT_EQ(48000u, ctx->Dir[QUENBY_DIR_CAPTURE].StreamFormat.WaveFormatExt.Format.nSamplesPerSec);
  clock.sleep_for(20000000);
  EXPECT_LT(0, ctx->Streams[QuenbyCapture].InFlight);  // its transfers go out
  EXPECT_NE(0u, Flag(ctx->Streams[QuenbyRender].Active));
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(capture, KSSTATE_ACQUIRE)));
  EXPECT_EQ(capture, QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring));
  ks::pin_set_state(capture, KSSTATE_STOP);
  ks::pin_set_state(render, KSSTATE_STOP);
  ks::pin_close(capture);
  ks::pin_close(render);
  d.close();
}

TEST(PinStart, RenderPinStartReportsRendersOwnStatus) {
  // A direct client set the formats: render runs (for nobody yet) and
  // capture is stopped. A render pin's start starts capture beside the
  // running render stream; capture's start fails (its interface cannot be
  // selected), render is fine: the pin's start succeeds and it runs.
  DirectSession d(korvel::sim::ClockMode::Virtual);
  ASSERT_NO_FATAL_FAILURE(d.open());
  WDF_DEVICE_CONTEXT* ctx = d.context();
  ASSERT_NO_FATAL_FAILURE(d.enter(kStereo48k, false));
  QuenbyLockStreamControl(ctx);
  QuenbyStopCapture(ctx, TRUE);
  QuenbyUnlockStreamControl(ctx);
  ASSERT_NE(0u, Flag(ctx->Streams[QuenbyRender].Active));
  ASSERT_NO_FATAL_FAILURE(d.open_filter());
  PKSPIN render = d.create_pin(kRenderPin, 48000);
  ASSERT_NE(nullptr, render);
  WDFUSBINTERFACE captureInterface = ctx->Dir[QUENBY_DIR_CAPTURE].Interface;
  ctx->Dir[QUENBY_DIR_CAPTURE].Interface = nullptr;
  EXPECT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_ACQUIRE)));
  ctx->Dir[QUENBY_DIR_CAPTURE].Interface = captureInterface;
  EXPECT_EQ(0u, Flag(ctx->Streams[QuenbyCapture].Active));
  EXPECT_NE(0u, Flag(ctx->Streams[QuenbyRender].Active));
  EXPECT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_PAUSE)));
  EXPECT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN)));
  EXPECT_EQ(1u, ctx->Dir[QUENBY_DIR_RENDER].PinRunning);
  to_stop(render);
  EXPECT_EQ(0, d.call(kLeave));
  ks::pin_close(render);
  d.close();
}

TEST(DirectModeRaces, PinFormatAndRateWhileAnotherClientChangesFormats) {
  // A render pin in STOP has its format set and its sampling rate asked
  // (the device rate) while a direct client enters direct mode, changes
  // the formats and leaves it, which saves, rewrites and restores the
  // device formats the pin's format handler writes: no race on them
  // (TSan), and the rate asked is always one of the two formats'.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Real);
  ASSERT_NO_FATAL_FAILURE(d.open());
  ASSERT_NO_FATAL_FAILURE(d.open_filter());
  auto format48 = intersect(d.filter, kRenderPin, 2, 24, 48000);
  auto format44 = intersect(d.filter, kRenderPin, 2, 24, 44100);
  ASSERT_FALSE(format44.empty());
  PKSPIN render = d.create_pin(kRenderPin, format48);
  ASSERT_NE(nullptr, render);
  std::atomic<bool> done{false};
  std::thread asker = start_on_clock([&] {
    for (unsigned i = 0; !done; ++i) {
      // Refused while direct mode holds the one clock at the other rate.
      ks::pin_set_format(render, reinterpret_cast<KSDATAFORMAT*>((i % 2 ? format48 : format44).data()));
      KSPROPERTY request = audio_get(KSPROPERTY_AUDIO_SAMPLING_RATE);
      ULONG rate = 0, bytes = 0;
      EXPECT_TRUE(NT_SUCCESS(ks::pin_property(render, &request, sizeof request, &rate, sizeof rate, &bytes)));
      EXPECT_TRUE(rate == 44100 || rate == 48000) << rate;
    }
  });
  for (int i = 0; i < 100; ++i) {
    d.call(kEnter);
    d.call(kSetFormats, i % 2 ? kStereo48k : kStereo44k, 16);
    clock.sleep_for(100000);
    d.call(kLeave);
  }
  done = true;
  join_on_clock(asker);
  ks::pin_close(render);
  d.close();
}

TEST(DirectModeClones, AStoppedRenderPinHoldsNoFrameWhileTheMixingHeldItsClones) {
  // In direct mode the render pin's frames are held (cloned) for the
  // streaming thread to mix. If the mixing holds them as the pin goes down
  // through PAUSE and ACQUIRE, those steps cannot delete them; the pin must
  // still hold none once it is in STOP (AVStream's flush finds them).
  Clock& clock = Clock::instance();
  auto failures = std::make_shared<std::vector<std::string>>();
  auto previous = korvel::sim::verifier::set_failure_handler(
      [failures](const std::string& what) { failures->push_back(what); });
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 48000, &render));
  WDF_DEVICE_CONTEXT* ctx = d.context();
  ASSERT_NO_FATAL_FAILURE(d.enter());

  Frames frames;
  ASSERT_NO_FATAL_FAILURE(to_pause(render));
  frames.submit_new(render, 480 * kFrameBytes, true, 4);
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN)));
  clock.sleep_for(3000000);
  ASSERT_NE(0u, ctx->RenderCloneCount) << "the pin's frames are held for mixing";

  // The "mixing" (another thread) holds the clones for 20 ms.
  std::atomic<bool> held{false};
  std::thread mixer = start_on_clock([&] {
    KeWaitForSingleObject(&ctx->RenderCloneMutex, Executive, KernelMode, FALSE, nullptr);
    held = true;
    clock.sleep_for(20000000);
    KeReleaseMutex(&ctx->RenderCloneMutex, FALSE);
  });
  while (!held) clock.sleep_for(100000);
  for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP})
    EXPECT_TRUE(NT_SUCCESS(ks::pin_set_state(render, s)));
  EXPECT_EQ(0u, ctx->RenderCloneCount);
  join_on_clock(mixer);
  EXPECT_TRUE(failures->empty()) << failures->front();

  d.leave();
  ks::pin_close(render);
  d.close();
  korvel::sim::verifier::set_failure_handler(previous);
}

TEST(DirectModeRaces, CapturePinFormatSetWhileDirectCaptureRuns) {
  // The streaming thread reads the capture pin's format for every packet
  // of a running direct-mode capture (to count the pin's position), while
  // a capture pin in STOP has its format set: no race on it (TSan).
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Real);
  ASSERT_NO_FATAL_FAILURE(d.open());
  ASSERT_NO_FATAL_FAILURE(d.open_filter());
  auto stereo = intersect(d.filter, kCapturePin, 2, 24, 48000);
  auto wide = intersect(d.filter, kCapturePin, 24, 24, 48000);
  ASSERT_FALSE(stereo.empty());
  ASSERT_FALSE(wide.empty());
  PKSPIN capture = d.create_pin(kCapturePin, stereo);
  ASSERT_NE(nullptr, capture);
  ASSERT_NO_FATAL_FAILURE(d.enter());
  for (int i = 0; i < 200; ++i) {
    EXPECT_TRUE(NT_SUCCESS(
        ks::pin_set_format(capture, reinterpret_cast<KSDATAFORMAT*>((i % 2 ? stereo : wide).data()))));
    d.read_capture();
    clock.sleep_for(200000);
  }
  d.leave();
  ks::pin_close(capture);
  d.close();
}

TEST(DirectModeLeave, APinOutOfStopKeepsItsStreamWhenDirectModeEnds) {
  // A render pin taken to PAUSE while direct mode ran, and run after it
  // ended, plays: leaving direct mode keeps the streams of pins out of
  // STOP, not only of pins in RUN.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 48000, &render));
  WDF_DEVICE_CONTEXT* ctx = d.context();
  ASSERT_NO_FATAL_FAILURE(d.enter());
  ASSERT_NO_FATAL_FAILURE(to_pause(render));
  clock.sleep_for(5000000);
  ASSERT_EQ(0, d.call(kStop));
  ASSERT_EQ(0, d.call(kLeave));
  EXPECT_NE(0u, Flag(ctx->Streams[QuenbyRender].Active));

  Frames frames;
  frames.submit_new(render, 480 * kFrameBytes, true, 4);
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN)));
  int completed = 0;
  for (int ms = 0; ms < 100; ++ms) {
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(render)) {
      ++completed;
      ks::pin_submit(render, h);
    }
    clock.sleep_for(1000000);
  }
  EXPECT_GE(completed, 8) << "10 ms frames played in 100 ms";
  to_stop(render);
  ks::pin_close(render);
  d.close();
}

TEST(DirectModeOwner, RunningPinsPlayOnThroughEveryResetRestartAndTheOwnersEnd) {
  // Windows audio plays a render pin with frames queued (in direct mode
  // mixed into the client's render stream, which the client feeds). A
  // direct client empties its rings, restarts the streams and then ends
  // without leaving (its handle closes): after each step the pin is asked
  // to process, and goes on completing frames; codes from another handle
  // change nothing.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 48000, &render));
  std::unique_ptr<DriverFile> other;
  ASSERT_EQ(0, d.stack.open(u"\\tarrow", &other));
  Frames frames;
  ASSERT_NO_FATAL_FAILURE(to_pause(render));
  frames.submit_new(render, 480 * kFrameBytes, true, 8);  // more than the ring holds: the pin waits for room
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN)));
  std::vector<uint8_t> silence(48 * kFrameBytes, 0);
  auto played = [&](int ms, bool feed = false) {
    int completed = 0;
    for (int i = 0; i < ms; ++i) {
      if (feed) d.call(IOCTL_QUENBY_WRITE_RENDER, silence.data(), uint32_t(silence.size()));
      while (KSSTREAM_HEADER* h = ks::pin_take_completed(render)) {
        ++completed;
        ks::pin_submit(render, h);
      }
      clock.sleep_for(1000000);
    }
    return completed;
  };
  ASSERT_GE(played(50), 4);
  uint64_t info = 0;
  for (uint32_t code : {IOCTL_QUENBY_RESET_RENDER, IOCTL_QUENBY_LEAVE_DIRECT})
    EXPECT_NE(0, other->ioctl(code, nullptr, 0, nullptr, 0, &info)) << std::hex << code;
  EXPECT_GE(played(50), 4) << "after another handle's reset and leave";
  ASSERT_NO_FATAL_FAILURE(d.enter());
  const struct {
    uint32_t code;
    const uint8_t* in;
  } steps[] = {{IOCTL_QUENBY_RESET_RENDER, nullptr},
               {IOCTL_QUENBY_RESET_BOTH, nullptr},
               {kSetFormats, kStereo48k},
               {kStart, nullptr}};
  for (const auto& step : steps) {
    EXPECT_EQ(0, d.call(step.code, step.in, step.in ? 16 : 0)) << std::hex << step.code;
    EXPECT_GE(played(50, true), 4) << "after " << std::hex << step.code;
  }
  d.file.reset();  // the client ends inside direct mode
  EXPECT_EQ(0u, Flag(d.context()->DirectMode));
  EXPECT_GE(played(50), 4) << "after the owner's end";
  other.reset();
  to_stop(render);
  ks::pin_close(render);
  d.close();
}

namespace {

// Capture-pin frames completed so far (taken, not given back).
int TakeCompleted(PKSPIN pin) {
  int n = 0;
  while (ks::pin_take_completed(pin) != nullptr) ++n;
  return n;
}

}  // namespace

TEST(DirectModeCredit, ACapturePinFedOnCreditIsPacedFromItsRunAndItsCreditNeverWraps) {
  // Direct mode captures at 48 kHz; the KS capture pin runs at 44.1 kHz, so
  // it is fed silence paced by the credit the direct stream's data earns in
  // the pin's format (2646 bytes per 10 ms frame).
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN capture = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kCapturePin, 44100, &capture));
  WDF_DEVICE_CONTEXT* ctx = d.context();
  ASSERT_NO_FATAL_FAILURE(d.enter());
  ASSERT_NO_FATAL_FAILURE(to_pause(capture));
  const size_t frame_bytes = 441 * kFrameBytes;
  std::vector<std::unique_ptr<Frame>> frames;
  for (int i = 0; i < 4; ++i) frames.push_back(std::make_unique<Frame>(frame_bytes, false));
  // The direct client reads its capture every millisecond: the data goes on
  // flowing (and earning the pin credit).
  auto stream_ms = [&](int ms) {
    for (int i = 0; i < ms; ++i) {
      d.read_capture();
      clock.sleep_for(1000000);
    }
  };

  // Two seconds in PAUSE earn the pin nothing: from RUN on it is fed at its
  // rate, not a burst of what streamed while it waited.
  stream_ms(2000);
  for (auto& f : frames) ks::pin_submit(capture, &f->header);
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(capture, KSSTATE_RUN)));
  stream_ms(3);
  EXPECT_EQ(TakeCompleted(capture), 0);
  stream_ms(47);
  const int paced = TakeCompleted(capture);
  EXPECT_GE(paced, 3);
  EXPECT_LE(paced, 4);

  // A running pin starved of buffers for hours (at its largest formats,
  // minutes) is owed what its count reached then, not that count wrapped
  // past 2^32 bytes to a few frames' worth.
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  ctx->CaptureCredit = 0xFFFFFFFFu - 100;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  stream_ms(2);
  for (auto& f : frames) {
    f->header.DataUsed = 0;
    ks::pin_submit(capture, &f->header);
  }
  stream_ms(1);
  EXPECT_EQ(TakeCompleted(capture), 4);

  ks::pin_set_state(capture, KSSTATE_STOP);
  ks::pin_close(capture);
  d.close_filter();
  d.leave();
  d.unplug();
}

TEST(DirectMixing, TheRenderPinsAudioARefusedTransferMixedStaysForTheNextOne) {
  // The pin's audio mixed into direct-mode render, the controller refusing
  // render transfers for 200 ms: what a refused one mixed in goes with the
  // next, and every frame the pin played reaches the unit.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN render = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kRenderPin, 48000, &render));
  uint64_t at_unit = 0;  // frames the unit received that carry the pin's signal
  d.stack.set_render_tap([&at_unit](const uint8_t* data, size_t frames, size_t frame_bytes) {
    for (size_t f = 0; f < frames; ++f) at_unit += sample(data + f * frame_bytes) == int32_t(kPinSample);
  });
  ASSERT_NO_FATAL_FAILURE(d.enter());
  Frames frames;
  ASSERT_NO_FATAL_FAILURE(to_pause(render));
  const size_t frame_bytes = 480 * kFrameBytes;
  frames.submit_new(render, frame_bytes, true, 4);
  ASSERT_TRUE(NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN)));
  std::vector<uint8_t> silence(48 * kFrameBytes, 0);
  uint64_t played = 0;  // frames of the pin's completed buffers
  for (int ms = 0; ms < 600; ++ms) {
    if (ms == 200) d.stack.bus()->refuse_iso(0x01, clock.now_ns() + 200000000, 1000000);
    d.call(0x22A041, silence.data(), uint32_t(silence.size()));
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(render)) {
      played += 480;
      ks::pin_submit(render, h);
    }
    clock.sleep_for(1000000);
  }
  d.leave();
  to_stop(render);
  d.stack.set_render_tap(nullptr);
  EXPECT_GT(played, 48u * 300);
  // All of it but what the last transfers, queued ahead, still held.
  EXPECT_GE(at_unit + 48 * 20, played) << "the unit got " << at_unit << " of " << played;
  ks::pin_close(render);
  d.close();
}

TEST(DirectMixing, AStarvedCapturePinIsOwedNoBurstWhenItsBuffersReturn) {
  // A capture pin at 44.1 kHz beside direct mode at 48 (fed on credit)
  // without buffers for half a second: of ten returned it fills at most
  // the 50 ms of credit it keeps, not the half second at once.
  Clock& clock = Clock::instance();
  DirectSession d(korvel::sim::ClockMode::Virtual);
  PKSPIN capture = nullptr;
  ASSERT_NO_FATAL_FAILURE(d.open_with_pin(kCapturePin, 44100, &capture));
  ASSERT_NO_FATAL_FAILURE(d.enter());
  Frames frames;
  ASSERT_NO_FATAL_FAILURE(to_run(capture));
  for (int ms = 0; ms < 500; ++ms) {
    d.read_capture();
    clock.sleep_for(1000000);
  }
  frames.submit_new(capture, 441 * kFrameBytes, false, 10);
  clock.sleep_for(1000000);
  int completed = 0;
  while (ks::pin_take_completed(capture) != nullptr) ++completed;
  EXPECT_LE(completed, 6) << "buffers filled at once from credit of the starved time";
  EXPECT_GE(completed, 1);
  d.leave();
  to_stop(capture);
  ks::pin_close(capture);
  d.close();
}

TEST(DirectModeLeave, PinsAtTwoRatesOnOneClockKeepRendersStream) {
  // Pins set in direct mode (no stream running) to 44.1 kHz for render and
  // 48 for capture cannot both stream on one clock: leaving, render's runs
  // (as beside capture anywhere) and capture's failed restart is reported.
  DirectSession d(korvel::sim::ClockMode::Virtual);
  ASSERT_NO_FATAL_FAILURE(d.open());
  ASSERT_NO_FATAL_FAILURE(d.open_filter());
  ASSERT_EQ(0, d.call(kEnter));
  PKSPIN render = d.create_pin(kRenderPin, 44100);
  PKSPIN capture = d.create_pin(kCapturePin, 48000);
  ASSERT_NE(nullptr, render);
  ASSERT_NE(nullptr, capture);
  WDF_DEVICE_CONTEXT* ctx = d.context();
  for (PKSPIN pin : {render, capture}) ASSERT_NO_FATAL_FAILURE(to_pause(pin));
  EXPECT_GT(0, d.call(kLeave));
  EXPECT_NE(0u, Flag(ctx->Streams[QuenbyRender].Active));
  EXPECT_EQ(44100u, d.unit.audio().render_rate());
  to_stop(capture);
  to_stop(render);
  ks::pin_close(capture);
  ks::pin_close(render);
  d.close();
}
