// quenby's pins through the kernel-streaming stand-in on a simulated unit:
// state sequences and what they do to the USB streams, underrun handling
// and priming, capture packets, filter and pin properties.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "driver_fixture.h"
#include "formats.h"
#include "kernel/clock.h"
#include "kernel/ks_host.h"
#include "kernel/ks_position_watch.h"
#include "kernel/verifier.h"
#include "shapes.h"
#include "unit.h"

namespace ks = korvel::sim::kernel::ks;
namespace uac2 = korvel::sim::uac2;
namespace verifier = korvel::sim::verifier;
using korvel::sim::Clock;
using korvel::sim::Model;
using korvel::sim::Unit;
using shapes::ConfigBuilder;

namespace {

// Flags the streaming thread reads and writes with interlocked operations.
ULONG Flag(ULONG& flag) {
  return ULONG(InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&flag), 0, 0));
}

void SleepMs(uint64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -LONGLONG(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

struct Frame {
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> data;
};

// A unit of a model with quenby started on it, its filter open.
class PinFixture : public ::testing::Test {
 protected:
  // The model's own descriptor, or the unit behind `descriptor` (its
  // clocks at 44.1 and 48 kHz).
  void Open(Model model, uint32_t channels, uint32_t bits, bool capture = true,
            std::vector<uint8_t> descriptor = {}) {
    Clock::instance().set_mode(korvel::sim::ClockMode::Virtual);
    unit_ = std::make_unique<Unit>(model, [] { return Clock::instance().now_ns() / 1000; });
    function_ = descriptor.empty() ? uac2::make_unit_function(*unit_)
                                   : uac2::make_unit_function(*unit_, std::move(descriptor),
                                                              korvel::sim::ClockRates({44100, 48000}));
    harness_ = std::make_unique<QuenbyHarness>(function_);
    ASSERT_EQ(harness_->bring_up(), STATUS_SUCCESS);
    ctx_ = harness_->context();
    NTSTATUS status;
    filter_ = ks::filter_create(ks::devices().back(), 0, &status);
    ASSERT_NE(filter_, nullptr);
    render_ = CreatePin(0, channels, bits);
    ASSERT_NE(render_, nullptr);
    if (capture) {
      capture_ = CreatePin(3, channels, bits);
      ASSERT_NE(capture_, nullptr);
    }
  }

  void TearDown() override {
    if (second_ != nullptr) ks::pin_close(second_);
    if (second_filter_ != nullptr) ks::filter_close(second_filter_);
    if (capture_ != nullptr) ks::pin_close(capture_);
    if (render_ != nullptr) ks::pin_close(render_);
    if (filter_ != nullptr) ks::filter_close(filter_);
    capture_ = render_ = second_ = nullptr;
    filter_ = second_filter_ = nullptr;
    frames_.clear();
    watch_.clear();
    harness_.reset();
    function_.reset();
    unit_.reset();
  }

  PKSPIN CreatePin(ULONG id, uint32_t channels, uint32_t bits) {
    KSDATARANGE_AUDIO r = formats::PcmRange(channels, bits, 48000);
    std::vector<uint8_t> format(104);
    ULONG size = 0;
    if (!NT_SUCCESS(ks::pin_intersect(filter_, id, &r.DataRange, format.data(), 104, &size))) return nullptr;
    NTSTATUS status;
    PKSPIN pin = ks::pin_create(filter_, id, reinterpret_cast<KSDATAFORMAT*>(format.data()), &status);
    watch_.erase(pin);
    return pin;
  }

  // The client's state changes and frames, which its position checks follow.
  NTSTATUS SetState(PKSPIN pin, KSSTATE s) {
    const KSSTATE from = pin->DeviceState;
    const NTSTATUS status = ks::pin_set_state(pin, s);
    if (NT_SUCCESS(status)) watch_[pin].state(s, from);
    return status;
  }
  void Submit(PKSPIN pin, KSSTREAM_HEADER* header) {
    watch_[pin].submitted(pin->Id == 0 ? header->DataUsed : header->FrameExtent);
    ks::pin_submit(pin, header);
  }

  void Run(PKSPIN pin) {
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
      ASSERT_EQ(SetState(pin, s), STATUS_SUCCESS);
  }
  void Stop(PKSPIN pin) {
    for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP})
      ASSERT_EQ(SetState(pin, s), STATUS_SUCCESS);
  }

  // Frames of 10 ms on a pin; render frames carry a ramp.
  void Queue(PKSPIN pin, int count) {
    const WAVEFORMATEX* w = reinterpret_cast<const WAVEFORMATEX*>(pin->ConnectionFormat + 1);
    const uint32_t pinChannels =
        pin->Id == 0 ? ctx_->Dir[QUENBY_DIR_RENDER].PinFormat.WaveFormatExt.Format.nChannels : w->nChannels;
    const uint32_t bytes = 480 * pinChannels * (w->wBitsPerSample / 8);
    for (int i = 0; i < count; ++i) {
      auto f = std::make_unique<Frame>();
      f->data.assign(bytes, 0);
      for (size_t k = 0; k < bytes; ++k) f->data[k] = uint8_t(k * 7 + 1);
      f->header.Size = sizeof(KSSTREAM_HEADER);
      f->header.Data = f->data.data();
      f->header.FrameExtent = bytes;
      f->header.DataUsed = pin->Id == 0 ? bytes : 0;
      Submit(pin, &f->header);
      frames_.push_back(std::move(f));
    }
  }

  // Queues 4 frames of 10 ms on `pin` and lets 30 ms pass: the unit
  // received more than `frames` render frames meanwhile.
  ::testing::AssertionResult Plays(PKSPIN pin, uint64_t frames) {
    const uint64_t before = unit_->audio().counters().render_frames_received;
    Queue(pin, 4);
    SleepMs(30);
    const uint64_t after = unit_->audio().counters().render_frames_received;
    if (after > before + frames) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the unit received " << (after - before) << " render frames, not more than " << frames;
  }

  KSAUDIO_POSITION Position(PKSPIN pin) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Audio;
    p.Id = KSPROPERTY_AUDIO_POSITION;
    p.Flags = KSPROPERTY_TYPE_GET;
    KSAUDIO_POSITION position{};
    ULONG bytes = 0;
    EXPECT_EQ(ks::pin_property(pin, &p, sizeof(p), &position, sizeof(position), &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, sizeof(position));
    const std::string broken = watch_[pin].read(position);
    EXPECT_TRUE(broken.empty()) << (pin->Id == 0 ? "render: " : "capture: ") << broken;
    return position;
  }

  // Another client's filter of the unit (closed with the fixture).
  void OpenSecondFilter() {
    NTSTATUS status;
    second_filter_ = ks::filter_create(ks::devices().back(), 0, &status);
    ASSERT_NE(second_filter_, nullptr);
  }

  // The second filter's pin `id` at `format`, asked for while this filter's
  // pin holds the direction: refused as busy.
  void ExpectSecondPinRefused(ULONG id, const KSDATAFORMAT* format) {
    NTSTATUS status;
    second_ = ks::pin_create(second_filter_, id, format, &status);
    EXPECT_EQ(second_, nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    if (second_ != nullptr) {  // its client would play a little and stop
      Run(second_);
      SleepMs(10);
      Stop(second_);
      ks::pin_close(second_);
      second_ = nullptr;
    }
  }

  // Closes this filter's pin `*pin`, then makes the second filter's pin `id`
  // at `format` in the direction it freed.
  void HandOverToSecondPin(PKSPIN* pin, ULONG id, const KSDATAFORMAT* format) {
    ks::pin_close(*pin);
    *pin = nullptr;
    NTSTATUS status;
    second_ = ks::pin_create(second_filter_, id, format, &status);
    ASSERT_NE(second_, nullptr) << std::hex << status;
  }

  std::unique_ptr<Unit> unit_;
  std::shared_ptr<uac2::Uac2Function> function_;
  std::unique_ptr<QuenbyHarness> harness_;
  WDF_DEVICE_CONTEXT* ctx_ = nullptr;
  PKSFILTER filter_ = nullptr;
  PKSPIN render_ = nullptr;
  PKSPIN capture_ = nullptr;
  PKSFILTER second_filter_ = nullptr;
  PKSPIN second_ = nullptr;
  std::vector<std::unique_ptr<Frame>> frames_;
  std::map<PKSPIN, ks::PositionWatch> watch_;
};

// Render and capture on one clock source of bmControls `controls`.
std::vector<uint8_t> OneClock(uint8_t controls) {
  ConfigBuilder b;
  b.configuration(3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(shapes::kClock, 0x03, controls);
  b.input_terminal(1, 0x0101, shapes::kClock, 2).output_terminal(3, 0x0301, 1, shapes::kClock);
  b.input_terminal(4, 0x0201, shapes::kClock, 2).output_terminal(5, 0x0101, 4, shapes::kClock).ac_end();
  shapes::Render(b, 1, 1);
  shapes::Capture(b, 2, 1);
  return b.finish();
}

}  // namespace

// ---------------------------------------------------------------------------
// State sequences
// ---------------------------------------------------------------------------
// The play position is what the unit played of the client's data: it lags
// the write position while audio is on its way, does not jump at PAUSE ->
// RUN, and once everything queued has played it stays at the write
// position while the unit goes on receiving silence.
TEST_F(PinFixture, RenderRunPauseRunKeepsTheStreamAndItsPlayPosition) {
  Open(Model::Tarrow, 2, 24);
  Run(render_);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 1u);  // started with render when nothing used it
  Queue(render_, 4);
  SleepMs(30);
  const KSAUDIO_POSITION running = Position(render_);
  EXPECT_EQ(running.WriteOffset, 4u * 480 * 6);
  EXPECT_GT(running.PlayOffset, 0u);
  EXPECT_LT(running.PlayOffset, running.WriteOffset);
  ASSERT_EQ(SetState(render_, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(Flag(ctx_->Dir[QUENBY_DIR_RENDER].StreamInUse), 0u);
  SleepMs(5);
  ASSERT_EQ(SetState(render_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u);
  const KSAUDIO_POSITION resumed = Position(render_);
  EXPECT_LT(resumed.PlayOffset, resumed.WriteOffset);  // no jump to the write position
  SleepMs(300);
  const KSAUDIO_POSITION drained = Position(render_);
  EXPECT_EQ(drained.PlayOffset, drained.WriteOffset);  // all of it played, the silence after it not counted
  EXPECT_EQ(drained.WriteOffset, 4u * 480 * 6);
  Stop(render_);
}

TEST_F(PinFixture, RenderStopWhileCaptureRunsStopsOnlyRender) {
  Open(Model::Tarrow, 2, 24);
  Run(capture_);
  Run(render_);
  Queue(capture_, 8);
  SleepMs(30);
  EXPECT_GT(Position(capture_).PlayOffset, 0u);  // the capture pin got data
  const uint64_t stopping = Clock::instance().now_ns();
  Stop(render_);
  // The pipes' aborts after their targets stop go out at once: held in the
  // stopped targets' queues each would wait out its 50 ms timeout.
  EXPECT_LT(Clock::instance().now_ns() - stopping, 50000000u);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 0u);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyFeedback].Active), 0u);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 1u);
  const ULONGLONG before = Position(capture_).PlayOffset;
  SleepMs(10);
  EXPECT_GT(Position(capture_).PlayOffset, before);  // still capturing
  Stop(capture_);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 0u);
}

TEST_F(PinFixture, CaptureStopWhileRenderIsInUseLeavesCaptureRunning) {
  Open(Model::Tarrow, 2, 24);
  Run(capture_);
  Run(render_);
  Stop(capture_);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 1u);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u);
  Stop(render_);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 0u);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 0u);
}

// A pin out of STOP keeps the stream it started, whatever the other pin
// does: a STOP of the other pin while this one waits in ACQUIRE or PAUSE
// must not end it (RUN would then succeed on a stream that does not play).
TEST_F(PinFixture, AStopOfOnePinLeavesTheStreamOfAPinInAcquireOrPause) {
  Open(Model::Tarrow, 2, 24);
  for (KSSTATE waiting : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
    // Render waits; capture comes and goes.
    ASSERT_EQ(SetState(render_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    if (waiting == KSSTATE_PAUSE) {
      ASSERT_EQ(SetState(render_, KSSTATE_PAUSE), STATUS_SUCCESS);
    }
    ASSERT_EQ(SetState(capture_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(SetState(capture_, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u) << waiting;
    if (waiting == KSSTATE_ACQUIRE) {
      ASSERT_EQ(SetState(render_, KSSTATE_PAUSE), STATUS_SUCCESS);
    }
    ASSERT_EQ(SetState(render_, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_TRUE(Plays(render_, 960)) << waiting;
    Stop(render_);

    // Capture waits; render comes and goes.
    ASSERT_EQ(SetState(capture_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    if (waiting == KSSTATE_PAUSE) {
      ASSERT_EQ(SetState(capture_, KSSTATE_PAUSE), STATUS_SUCCESS);
    }
    ASSERT_EQ(SetState(render_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(SetState(render_, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 1u) << waiting;
    if (waiting == KSSTATE_ACQUIRE) {
      ASSERT_EQ(SetState(capture_, KSSTATE_PAUSE), STATUS_SUCCESS);
    }
    ASSERT_EQ(SetState(capture_, KSSTATE_RUN), STATUS_SUCCESS);
    const uint64_t completed = ks::pin_completions(capture_);
    Queue(capture_, 2);
    SleepMs(40);
    EXPECT_EQ(ks::pin_completions(capture_), completed + 2) << waiting;
    Stop(capture_);
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 0u);
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 0u);
  }
}

// After a surprise removal no step up succeeds, from any state (the unit
// cannot play what the client would then queue); steps down still do.
TEST_F(PinFixture, AfterSurpriseRemovalEveryStepUpFailsAndStepsDownSucceed) {
  Open(Model::Tarrow, 2, 24);
  ASSERT_EQ(SetState(render_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  Run(capture_);
  ASSERT_EQ(SetState(capture_, KSSTATE_PAUSE), STATUS_SUCCESS);
  harness_->device().unplug();
  ASSERT_EQ(harness_->node().surprise_remove(), STATUS_SUCCESS);
  EXPECT_EQ(SetState(render_, KSSTATE_PAUSE), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(SetState(capture_, KSSTATE_RUN), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(SetState(capture_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(SetState(render_, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(SetState(render_, KSSTATE_ACQUIRE), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(SetState(capture_, KSSTATE_STOP), STATUS_SUCCESS);
}

// A stream start that fails (for want of resources at any site, or a unit
// that stalls its setting selection) leaves nothing behind: no stream runs
// for a pin that stayed in STOP, capture started beside render included,
// and both interfaces are idle again.
TEST_F(PinFixture, AFailedStreamStartLeavesNoStreamRunningAndTheInterfacesIdle) {
  Open(Model::Tarrow, 2, 24);
  auto expect_at_rest = [&](const char* what, uint64_t n) {
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 0u) << what << n;
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 0u) << what << n;
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyFeedback].Active), 0u) << what << n;
    EXPECT_EQ(harness_->device().alternate_setting(1), 0) << what << n;
    EXPECT_EQ(harness_->device().alternate_setting(2), 0) << what << n;
  };
  int failed = 0;
  for (PKSPIN pin : {render_, capture_}) {
    for (uint64_t site = 1;; ++site) {
      verifier::inject_failure_at(site);
      const NTSTATUS status = SetState(pin, KSSTATE_ACQUIRE);
      const bool hit = verifier::injection_sites_passed() >= site;
      verifier::inject_failure_at(0);
      if (NT_SUCCESS(status)) {
        ASSERT_EQ(SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
      } else {
        ++failed;
        expect_at_rest(pin == render_ ? "render site " : "capture site ", site);
      }
      if (!hit) break;
      ASSERT_LT(site, 200u);
    }
  }
  for (uint32_t stalls = 1; stalls < 40; ++stalls) {
    harness_->device().stall_next_set_interface(stalls);
    const NTSTATUS status = SetState(render_, KSSTATE_ACQUIRE);
    harness_->device().stall_next_set_interface(0);
    if (NT_SUCCESS(status)) {
      ASSERT_EQ(SetState(render_, KSSTATE_STOP), STATUS_SUCCESS);
    } else {
      ++failed;
      expect_at_rest("stalls ", stalls);
    }
  }
  EXPECT_GT(failed, 0);
  // And the pin starts and plays afterwards.
  Run(render_);
  EXPECT_TRUE(Plays(render_, 960));
  Stop(render_);
}

// A clock source without a signal (an external clock with nothing plugged
// in) reads invalid: a start on it fails, says which clock, and leaves no
// stream running; once the clock has its signal a new start streams.
TEST_F(PinFixture, AStartOnAClockThatReadsInvalidFailsAndOnceValidStreams) {
  ASSERT_NO_FATAL_FAILURE(Open(Model::Tarrow, 2, 24, true, OneClock(0x07)));
  ASSERT_TRUE(function_->set_clock_valid(shapes::kClock, false));
  const uint64_t received = unit_->audio().counters().render_frames_received;
  for (PKSPIN pin : {render_, capture_}) {
    const ULONG direction = pin == render_ ? QUENBY_DIR_RENDER : QUENBY_DIR_CAPTURE;
    EXPECT_EQ(SetState(pin, KSSTATE_ACQUIRE), STATUS_DEVICE_NOT_READY) << direction;
    EXPECT_EQ(ctx_->Dir[direction].InvalidClockId, shapes::kClock) << direction;
    for (QUENBY_STREAM s : {QuenbyRender, QuenbyFeedback, QuenbyCapture})
      EXPECT_EQ(Flag(ctx_->Streams[s].Active), 0u) << direction << " " << s;
  }
  Queue(render_, 4);
  SleepMs(30);
  EXPECT_EQ(unit_->audio().counters().render_frames_received, received);
  EXPECT_EQ(harness_->device().alternate_setting(1), 0);
  EXPECT_EQ(harness_->device().alternate_setting(2), 0);

  ASSERT_TRUE(function_->set_clock_valid(shapes::kClock, true));
  Run(render_);
  SleepMs(30);
  EXPECT_GT(unit_->audio().counters().render_frames_received, received + 960);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].InvalidClockId, 0u);
  Stop(render_);
  Run(capture_);
  Queue(capture_, 2);
  SleepMs(30);
  EXPECT_GT(Position(capture_).PlayOffset, 0u);
  Stop(capture_);
}

// A clock source that does not announce its validity readable streams as
// it always did, whatever its signal: the driver does not ask (the unit
// would stall the read). One that announces it and then stalls the read
// says nothing about its clock and streams too.
TEST_F(PinFixture, AClockWithoutAValidityReadStreams) {
  for (const bool announced : {false, true}) {
    SCOPED_TRACE(announced ? "announced, read stalls" : "not announced");
    TearDown();
    ASSERT_NO_FATAL_FAILURE(Open(Model::Tarrow, 2, 24, true, OneClock(announced ? 0x07 : 0x03)));
    ASSERT_TRUE(function_->set_clock_valid(shapes::kClock, false));
    if (announced) {
      ASSERT_TRUE(function_->stall_clock_valid_reads(shapes::kClock, true));
    }
    const uint64_t received = unit_->audio().counters().render_frames_received;
    Run(render_);
    Queue(render_, 4);
    SleepMs(30);
    EXPECT_GT(unit_->audio().counters().render_frames_received, received + 960);
    EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].InvalidClockId, 0u);
    Stop(render_);
    Run(capture_);
    Queue(capture_, 2);
    SleepMs(30);
    EXPECT_GT(Position(capture_).PlayOffset, 0u);
    Stop(capture_);
  }
}

// A capture setting whose interrupt endpoint comes before its isochronous
// data endpoint: the data endpoint's pipe (index 1) is the one streamed, and
// never a pipe of another type.
TEST_F(PinFixture, CaptureStreamsFromTheDataEndpointAfterAnInterruptEndpoint) {
  ASSERT_NO_FATAL_FAILURE(Open(Model::Tarrow, 2, 24, true, shapes::CaptureAfterInterruptEndpoint()));
  Run(capture_);
  Queue(capture_, 2);
  SleepMs(30);
  EXPECT_EQ(ctx_->Streams[QuenbyCapture].PipeInfo.EndpointAddress, 0x82);
  EXPECT_GT(Position(capture_).PlayOffset, 0u);
  Stop(capture_);
  // A slot naming the interrupt endpoint's pipe: the stream does not start
  // on a pipe that is not its isochronous endpoint.
  ctx_->Topology.CaptureSlots[1].DataEndpointIndex = 0;
  EXPECT_NE(SetState(capture_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 0u);
  ctx_->Topology.CaptureSlots[1].DataEndpointIndex = 1;
}

// Settings the driver cannot stream are never offered: render without a
// feedback endpoint and 8-bit PCM; the setting it can stream does.
TEST_F(PinFixture, SettingsTheDriverCannotStreamAreNotOfferedAndTheOtherStreams) {
  ASSERT_NO_FATAL_FAILURE(Open(Model::Tarrow, 2, 24, true, shapes::UnusableSettings()));
  for (auto [pin, bits] : {std::pair<PKSPIN, uint32_t>{render_, 16}, {render_, 8}, {capture_, 8}}) {
    KSDATARANGE_AUDIO r = formats::PcmRange(2, bits, 48000);
    std::vector<uint8_t> format(104);
    ULONG size = 0;
    EXPECT_EQ(ks::pin_intersect(filter_, pin->Id, &r.DataRange, format.data(), 104, &size), STATUS_NO_MATCH)
        << pin->Id << " " << bits;
    const KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = formats::PcmFormat(2, bits, 48000);
    EXPECT_NE(ks::pin_set_format(pin, &f.DataFormat), STATUS_SUCCESS) << pin->Id << " " << bits;
  }
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].Limits.MinBits, 24u);
  Run(render_);
  Queue(render_, 4);
  SleepMs(30);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyFeedback].Active), 1u);
  EXPECT_GT(Position(render_).PlayOffset, 0u);
  EXPECT_GT(ctx_->FeedbackAccepted, 0u);
  Stop(render_);
}

// ---------------------------------------------------------------------------
// Underruns and priming
// ---------------------------------------------------------------------------
TEST_F(PinFixture, AnEmptyRingBeforeTheFirstDataGivesSilenceCountedByEight) {
  Open(Model::Tarrow, 2, 24);
  Run(render_);
  SleepMs(20);
  QuenbyStopThread(ctx_);  // the thread's counters are read after it ended
  EXPECT_EQ(Flag(ctx_->RenderPrimed), 0u);
  EXPECT_GE(ctx_->Counters.RenderUnderruns, 8u * 15);
  EXPECT_EQ(ctx_->Counters.RenderUnderruns % 8, 0u);
  EXPECT_EQ(ctx_->RenderUnderrunEvents, 0u);  // not primed yet: not an underrun event
  ASSERT_EQ(QuenbyStartThread(ctx_), STATUS_SUCCESS);
  Queue(render_, 4);
  SleepMs(20);
  EXPECT_EQ(Flag(ctx_->RenderPrimed), 1u);
  Stop(render_);
}

TEST_F(PinFixture, WithFourRenderTransfersInFlightAnEmptyPrimedRingSubmitsNothing) {
  Open(Model::Tarrow, 2, 24);
  Run(render_);
  Queue(render_, 1);
  SleepMs(5);
  ASSERT_EQ(Flag(ctx_->RenderPrimed), 1u);
  QuenbyStopThread(ctx_);
  SleepMs(30);  // everything in flight completes
  ASSERT_EQ(InterlockedCompareExchange(&ctx_->Streams[QuenbyRender].InFlight, 0, 0), 0);
  QuenbyRingReset(&ctx_->Dir[QUENBY_DIR_RENDER].Ring);
  const ULONG counter = ctx_->Counters.RenderUnderruns;
  const ULONG events = ctx_->RenderUnderrunEvents;
  const ULONG free = ctx_->Streams[QuenbyRender].FreeList.Count;
  InterlockedExchange(&ctx_->Streams[QuenbyRender].InFlight, 4);
  EXPECT_FALSE(NT_SUCCESS(QuenbyServiceRender(ctx_)));
  EXPECT_EQ(ctx_->Streams[QuenbyRender].FreeList.Count, free);
  EXPECT_EQ(ctx_->Counters.RenderUnderruns, counter);
  EXPECT_EQ(ctx_->RenderUnderrunEvents, events);
  // Nothing in flight and long since the last submission: silence goes out.
  InterlockedExchange(&ctx_->Streams[QuenbyRender].InFlight, 0);
  EXPECT_TRUE(NT_SUCCESS(QuenbyServiceRender(ctx_)));
  EXPECT_EQ(ctx_->Counters.RenderUnderruns, counter + 8);
  EXPECT_EQ(ctx_->RenderUnderrunEvents, events + 1);
  // At once again: one in flight but no time passed, so nothing.
  EXPECT_FALSE(NT_SUCCESS(QuenbyServiceRender(ctx_)));
  SleepMs(5);
  QuenbyStartThread(ctx_);
  Stop(render_);
}

TEST_F(PinFixture, ACapturePacketThatIsNotWholeFramesIsDropped) {
  Open(Model::Tarrow, 2, 24);
  Run(capture_);
  SleepMs(5);
  QuenbyStopThread(ctx_);
  SleepMs(30);
  // Drain what completed meanwhile.
  while (NT_SUCCESS(QuenbyServiceCapture(ctx_)) && ctx_->CompletedWaiting != 0) {
  }
  QuenbyStopThread(ctx_);
  SleepMs(30);
  QuenbyRingReset(&ctx_->Dir[QUENBY_DIR_CAPTURE].Ring);
  ctx_->Dir[QUENBY_DIR_CAPTURE].Ring.OwnerPin = nullptr;
  const ULONG blockAlign = ctx_->Dir[QUENBY_DIR_CAPTURE].StreamFormat.WaveFormatExt.Format.nBlockAlign;
  ASSERT_EQ(blockAlign, 6u);
  // A completed transfer as the bus hands it back: packet 1 is torn.
  WdfSpinLockAcquire(ctx_->Streams[QuenbyCapture].FreeLock);
  WDF_OBJECT_CONTEXT* t = ctx_->Streams[QuenbyCapture].FreeList.Head;
  ctx_->Streams[QuenbyCapture].FreeList.Head = t->Next;
  if (ctx_->Streams[QuenbyCapture].FreeList.Head == nullptr)
    ctx_->Streams[QuenbyCapture].FreeList.Tail = nullptr;
  --ctx_->Streams[QuenbyCapture].FreeList.Count;
  WdfSpinLockRelease(ctx_->Streams[QuenbyCapture].FreeLock);
  struct _URB_ISOCH_TRANSFER* urb = &t->Urb->UrbIsochronousTransfer;
  urb->NumberOfPackets = 8;
  for (ULONG i = 0; i < 8; ++i) {
    urb->IsoPacket[i].Offset = i * ctx_->Streams[QuenbyCapture].MaxPacket;
    urb->IsoPacket[i].Length = 36;
    urb->IsoPacket[i].Status = USBD_STATUS_SUCCESS;
  }
  urb->IsoPacket[1].Length = 37;
  urb->IsoPacket[2].Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
  t->Next = nullptr;
  InterlockedIncrement(&ctx_->Streams[QuenbyCapture].InFlight);
  ctx_->CaptureCompleted.Head = ctx_->CaptureCompleted.Tail = t;
  ctx_->CaptureCompleted.Count = 1;
  InterlockedIncrement(&ctx_->CompletedWaiting);
  ctx_->Streams[QuenbyCapture].Active = 1;
  EXPECT_TRUE(NT_SUCCESS(QuenbyServiceCapture(ctx_)));
  EXPECT_EQ(QuenbyRingFill(&ctx_->Dir[QUENBY_DIR_CAPTURE].Ring), 6u * 36);  // six good packets
  QuenbyStartThread(ctx_);
  Stop(capture_);
}

// ---------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------
namespace {

KSP_PIN PinRequest(const GUID& set, ULONG id, ULONG flags, ULONG pin) {
  KSP_PIN p{};
  p.Property.Set = set;
  p.Property.Id = id;
  p.Property.Flags = flags;
  p.PinId = pin;
  return p;
}

}  // namespace

TEST_F(PinFixture, JackDescriptionsOfAFourChannelUnit) {
  Open(Model::FarLink, 4, 24);
  KSP_PIN req = PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, 1);
  ULONG bytes = 0;
  EXPECT_EQ(ks::filter_property(filter_, &req, sizeof(req), nullptr, 0, &bytes), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(bytes, 8u + 4 * 28);
  std::vector<uint8_t> reply(bytes);
  ASSERT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply.data(), bytes, &bytes), STATUS_SUCCESS);
  const KSJACK_DESCRIPTION* rows = reinterpret_cast<const KSJACK_DESCRIPTION*>(reply.data() + 8);
  const ULONG render[] = {0x1, 0x2, 0x10, 0x20};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rows[i].ChannelMapping, render[i]);
    EXPECT_EQ(rows[i].Color, i % 2 == 0 ? 0xFFFFFFu : 0xFF0000u);
    EXPECT_EQ(rows[i].ConnectionType, eConnTypeQuarter);
    EXPECT_EQ(rows[i].GeoLocation, eGeoLocRear);
    EXPECT_EQ(rows[i].IsConnected, 1);
  }
  req.PinId = 2;
  ASSERT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply.data(), ULONG(reply.size()), &bytes),
            STATUS_SUCCESS);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rows[i].ChannelMapping, 0u);
  req.PinId = 0;
  EXPECT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply.data(), ULONG(reply.size()), &bytes),
            STATUS_NOT_SUPPORTED);
  KSP_PIN req2 = PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, KSPROPERTY_TYPE_GET, 1);
  std::vector<uint8_t> reply2(8 + 4 * 8);
  ASSERT_EQ(ks::filter_property(filter_, &req2, sizeof(req2), reply2.data(), ULONG(reply2.size()), &bytes),
            STATUS_SUCCESS);
  const KSJACK_DESCRIPTION2* rows2 = reinterpret_cast<const KSJACK_DESCRIPTION2*>(reply2.data() + 8);
  EXPECT_EQ(rows2[3].JackCapabilities, JACKDESC2_PRESENCE_DETECT_CAPABILITY);
}

TEST_F(PinFixture, SignalProcessingModes) {
  Open(Model::FarLink, 4, 24);
  KSP_PIN req = PinRequest(KSPROPSETID_AudioSignalProcessing, KSPROPERTY_AUDIOSIGNALPROCESSING_MODES,
                           KSPROPERTY_TYPE_GET, 0);
  ULONG bytes = 0;
  EXPECT_EQ(ks::filter_property(filter_, &req, sizeof(req), nullptr, 0, &bytes), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(bytes, 24u);
  uint8_t reply[40] = {};
  EXPECT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply, 20, &bytes), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply, 24, &bytes), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(*reinterpret_cast<GUID*>(reply + 8), AUDIO_SIGNALPROCESSINGMODE_RAW));
  req.PinId = 1;  // a bridge pin: an empty list
  ASSERT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply, 24, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(reinterpret_cast<KSMULTIPLE_ITEM*>(reply)->Count, 0u);
  req.Property.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
  req.PinId = 1;
  EXPECT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply, 8, &bytes), STATUS_NOT_SUPPORTED);
  req.PinId = 3;
  EXPECT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply, 8, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(ks::filter_property(filter_, &req, sizeof(req), reply, 40, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 40u);
}

// The pin factory's proposed-format property accepts what a pin was created
// with and refuses what set-format refuses, and anything for a bridge pin. A
// wildcard range gets a format the pin takes; a bridge pin, which has no
// intersect handler, answers with its own range.
TEST_F(PinFixture, WildcardsAndProposedFormatsAgreeWithSetFormat) {
  Open(Model::Tarrow, 2, 24);
  auto propose = [this](ULONG pin, const KSDATAFORMAT* f) {
    KSP_PIN req = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET, pin);
    ULONG bytes = 0;
    return ks::filter_property(filter_, &req, sizeof(req), const_cast<KSDATAFORMAT*>(f), f->FormatSize,
                               &bytes);
  };
  EXPECT_EQ(propose(0, render_->ConnectionFormat), STATUS_SUCCESS);
  EXPECT_EQ(propose(3, capture_->ConnectionFormat), STATUS_SUCCESS);
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE ten = formats::PcmFormat(10, 24, 48000);
  EXPECT_EQ(propose(0, &ten.DataFormat), STATUS_NO_MATCH);
  EXPECT_EQ(propose(1, render_->ConnectionFormat), STATUS_NO_MATCH);

  KSDATARANGE any{};
  any.FormatSize = sizeof(any);
  any.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;  // sub-format and specifier wildcards
  std::vector<uint8_t> format(104);
  ULONG size = 0;
  ASSERT_EQ(ks::pin_intersect(filter_, 0, &any, format.data(), ULONG(format.size()), &size), STATUS_SUCCESS);
  EXPECT_EQ(propose(0, reinterpret_cast<KSDATAFORMAT*>(format.data())), STATUS_SUCCESS);
  any.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
  ASSERT_EQ(ks::pin_intersect(filter_, 1, &any, format.data(), ULONG(format.size()), &size), STATUS_SUCCESS);
  EXPECT_TRUE(
      IsEqualGUID(reinterpret_cast<KSDATAFORMAT*>(format.data())->Specifier, KSDATAFORMAT_SPECIFIER_NONE));
}

TEST_F(PinFixture, SamplingRateSetIsAcceptedAndChangesNothing) {
  Open(Model::Tarrow, 2, 24);
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Audio;
  p.Id = KSPROPERTY_AUDIO_SAMPLING_RATE;
  p.Flags = KSPROPERTY_TYPE_SET;
  ULONG rate = 44100, bytes = 0;
  EXPECT_EQ(ks::pin_property(render_, &p, sizeof(p), &rate, sizeof(rate), &bytes), STATUS_SUCCESS);
  p.Flags = KSPROPERTY_TYPE_GET;
  ASSERT_EQ(ks::pin_property(render_, &p, sizeof(p), &rate, sizeof(rate), &bytes), STATUS_SUCCESS);
  EXPECT_EQ(rate, 48000u);
  p.Id = KSPROPERTY_AUDIO_LATENCY;
  KSTIME latency{};
  ASSERT_EQ(ks::pin_property(capture_, &p, sizeof(p), &latency, sizeof(latency), &bytes), STATUS_SUCCESS);
  EXPECT_GT(latency.Time, 0);
  EXPECT_EQ(latency.Numerator, 1u);
  EXPECT_EQ(latency.Denominator, 1u);
  // Render: the 50 ms ring limit of the format and the transfers ahead,
  // never the ring sized for the widest format (the delay is told truly).
  ASSERT_EQ(ks::pin_property(render_, &p, sizeof(p), &latency, sizeof(latency), &bytes), STATUS_SUCCESS);
  EXPECT_GE(latency.Time, 500000);
  EXPECT_LE(latency.Time, 800000);
  p.Id = KSPROPERTY_AUDIO_POSITIONEX;
  KSAUDIO_POSITIONEX ex{};
  ASSERT_EQ(ks::pin_property(render_, &p, sizeof(p), &ex, sizeof(ex), &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 40u);
  EXPECT_GT(ex.TimerFrequency.QuadPart, 0);
  EXPECT_LE(ex.TimeStamp1.QuadPart, ex.TimeStamp2.QuadPart);
}

TEST(PinFilter, ModesForPinThreeOfATwoPinFilterAreNotSupported) {
  Clock::instance().set_mode(korvel::sim::ClockMode::Virtual);
  QuenbyHarness h(RawDevice(shapes::Basic(false)));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  NTSTATUS status;
  PKSFILTER filter = ks::filter_create(ks::devices().back(), 0, &status);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->Descriptor->PinDescriptorsCount, 2u);
  KSP_PIN req = PinRequest(KSPROPSETID_AudioSignalProcessing, KSPROPERTY_AUDIOSIGNALPROCESSING_MODES,
                           KSPROPERTY_TYPE_GET, 3);
  uint8_t reply[24];
  ULONG bytes = 0;
  EXPECT_EQ(ks::filter_property(filter, &req, sizeof(req), reply, sizeof(reply), &bytes),
            STATUS_NOT_SUPPORTED);
  req.PinId = 0;
  EXPECT_EQ(ks::filter_property(filter, &req, sizeof(req), reply, sizeof(reply), &bytes), STATUS_SUCCESS);
  ks::filter_close(filter);
}

TEST_F(PinFixture, AClosedPinIsForgotten) {
  // Leave-direct restarts render for the pin it knows: a closed one must not
  // be that pin, nor the ring's owner.
  Open(Model::Tarrow, 2, 24);
  Queue(render_, 4);
  Run(render_);
  SleepMs(20);
  Stop(render_);
  ks::pin_close(render_);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].Pin, nullptr);
  EXPECT_EQ(QuenbyRingOwner(&ctx_->Dir[QUENBY_DIR_RENDER].Ring), nullptr);
  render_ = nullptr;
  ks::pin_close(capture_);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_CAPTURE].Pin, nullptr);
  EXPECT_EQ(QuenbyRingOwner(&ctx_->Dir[QUENBY_DIR_CAPTURE].Ring), nullptr);
  capture_ = nullptr;
}

TEST_F(PinFixture, APowerUpWhileStreamsRunRestartsThemOnTheNewSettings) {
  // A power-up (D0 again, or after D3) selects idle settings: streams that
  // ran are stopped first, never left on deleted pipes, and run again after.
  Open(Model::Tarrow, 2, 24);
  Queue(render_, 4);
  Queue(capture_, 4);
  Run(capture_);
  Run(render_);
  SleepMs(20);
  for (DEVICE_POWER_STATE to : {PowerDeviceD0, PowerDeviceD3, PowerDeviceD0}) {
    ASSERT_EQ(harness_->node().set_power(to), STATUS_SUCCESS);
    const ULONG expected = to == PowerDeviceD0 ? 1u : 0u;
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), expected) << int(to);
    EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), expected) << int(to);
  }
  EXPECT_TRUE(Plays(render_, 480));
  EXPECT_EQ(harness_->device().alternate_setting(1), ctx_->Dir[QUENBY_DIR_RENDER].SelectedSlot);
  Stop(render_);
  Stop(capture_);
}

TEST_F(PinFixture, ARenderPinAcquiredWhilePoweredDownRunsAtPowerUpBesideAnIdleCaptureOfAnotherRate) {
  // Render acquired in D3 starts at the power-up. Capture nobody uses runs
  // beside it only at render's rate (one clock): the idle capture pin's
  // 44.1 kHz must not take the clock first and keep render from starting.
  Open(Model::Tarrow, 2, 24);
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE f441 = formats::PcmFormat(2, 24, 44100);
  ASSERT_EQ(ks::pin_set_format(capture_, &f441.DataFormat), STATUS_SUCCESS);
  ASSERT_EQ(harness_->node().set_power(PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(SetState(render_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(harness_->node().set_power(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u);
  EXPECT_EQ(unit_->audio().render_rate(), 48000u);
  ASSERT_EQ(SetState(render_, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(SetState(render_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(Plays(render_, 960));
  Stop(render_);
}

TEST_F(PinFixture, APowerUpRunsCaptureBesideRenderOnlyAtRendersRate) {
  // Render ran with capture beside it at 48 kHz when the device powered
  // down; meanwhile the idle capture pin was set to 44.1 kHz. The power-up
  // must start render again, not capture first at 44.1 kHz on the one clock.
  Open(Model::Tarrow, 2, 24);
  ASSERT_EQ(SetState(render_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 1u);
  ASSERT_EQ(harness_->node().set_power(PowerDeviceD3), STATUS_SUCCESS);
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE f441 = formats::PcmFormat(2, 24, 44100);
  ASSERT_EQ(ks::pin_set_format(capture_, &f441.DataFormat), STATUS_SUCCESS);
  ASSERT_EQ(harness_->node().set_power(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u);
  EXPECT_EQ(unit_->audio().render_rate(), 48000u);
  ASSERT_EQ(SetState(render_, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(SetState(render_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(Plays(render_, 960));
  Stop(render_);
  // The capture pin records at its own rate afterwards.
  Run(capture_);
  EXPECT_EQ(unit_->audio().capture_rate(), 44100u);
  Stop(capture_);
}

TEST_F(PinFixture, AnIdleCapturePinKeepsItsRateWhenRenderStartsAtAnother) {
  // Render at 48 kHz takes capture (nobody's) along at its rate. The idle
  // capture pin set to 44.1 kHz before must not then record 48 kHz audio
  // labelled 44.1 kHz: while render holds the one clock its start fails,
  // and once render stopped it records at its own rate, which render's
  // start then leaves alone.
  Open(Model::Tarrow, 2, 24);
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE f441 = formats::PcmFormat(2, 24, 44100);
  ASSERT_EQ(ks::pin_set_format(capture_, &f441.DataFormat), STATUS_SUCCESS);
  Run(render_);
  EXPECT_NE(SetState(capture_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u);
  Stop(render_);
  Run(capture_);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_CAPTURE].StreamFormat.WaveFormatExt.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(unit_->audio().capture_rate(), 44100u);
  // Now capture holds the clock: render's start at 48 kHz fails and leaves
  // the running capture's rate as it is.
  EXPECT_NE(SetState(render_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_CAPTURE].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 1u);
  Stop(capture_);
}

// ---------------------------------------------------------------------------
// Formats while streams run
// ---------------------------------------------------------------------------
using formats::PcmFormat;

TEST_F(PinFixture, AFormatChangeIsRefusedUnlessThePinIsStopped) {
  // A running stream keeps the format it started with: a set-format in
  // ACQUIRE or PAUSE would change what the pin and the device call the
  // format while the stream carries the old one.
  Open(Model::Tarrow, 2, 24);
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE same = PcmFormat(2, 24, 48000);
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE other = PcmFormat(2, 16, 48000);
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    ASSERT_EQ(SetState(render_, state), STATUS_SUCCESS);
    EXPECT_NE(ks::pin_set_format(render_, &other.DataFormat), STATUS_SUCCESS) << state;
    EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format.wBitsPerSample, 24) << state;
    EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].PinFormat.WaveFormatExt.Format.wBitsPerSample, 24) << state;
    EXPECT_EQ(ks::pin_set_format(render_, &same.DataFormat), STATUS_SUCCESS) << "the format it has";
  }
  Stop(render_);
  EXPECT_EQ(ks::pin_set_format(render_, &other.DataFormat), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format.wBitsPerSample, 16);
}

TEST_F(PinFixture, OneClockForBothDirectionsOffersTheSecondOnlyTheRunningRate) {
  // Every model clocks render and capture from one clock source. Render runs
  // at 48 kHz; the capture pin is then offered and accepts 48 kHz only (the
  // audio engine converts), and the unit keeps the rate render runs at.
  Open(Model::Quenby, 2, 24, false);
  Run(render_);
  EXPECT_EQ(unit_->audio().render_rate(), 48000u);
  KSDATARANGE_AUDIO r = formats::PcmRange(2, 24, 44100);
  std::vector<uint8_t> format(104);
  ULONG size = 0;
  EXPECT_EQ(ks::pin_intersect(filter_, 3, &r.DataRange, format.data(), 104, &size), STATUS_NO_MATCH);
  r.MaximumSampleFrequency = 48000;
  ASSERT_EQ(ks::pin_intersect(filter_, 3, &r.DataRange, format.data(), 104, &size), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(format.data())
                ->WaveFormatExt.Format.nSamplesPerSec,
            48000u);
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE f441 = PcmFormat(2, 24, 44100);
  NTSTATUS status;
  EXPECT_EQ(ks::pin_create(filter_, 3, &f441.DataFormat, &status), nullptr);
  capture_ = ks::pin_create(filter_, 3, reinterpret_cast<KSDATAFORMAT*>(format.data()), &status);
  ASSERT_NE(capture_, nullptr);
  Run(capture_);
  EXPECT_EQ(unit_->audio().render_rate(), 48000u);
  EXPECT_EQ(unit_->audio().capture_rate(), 48000u);
  Stop(capture_);
  Stop(render_);
  // With nothing running both rates are offered again.
  EXPECT_EQ(ks::pin_set_format(capture_, &f441.DataFormat), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Pins on more than one filter instance
// ---------------------------------------------------------------------------
namespace {

bool SameFormat(const AUDIO_FORMAT& a, const AUDIO_FORMAT& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// A direction's formats in quenby's context: the device's, the pin's and the
// one saved for the device.
struct DirectionFormats {
  AUDIO_FORMAT device;
  AUDIO_FORMAT pin;
  AUDIO_FORMAT saved;
};

const AUDIO_FORMAT& PinFormatOf(const WDF_DEVICE_CONTEXT* ctx, int dir) {
  return dir == QUENBY_DIR_RENDER ? ctx->Dir[QUENBY_DIR_RENDER].PinFormat
                                  : ctx->Dir[QUENBY_DIR_CAPTURE].PinFormat;
}

DirectionFormats FormatsOf(const WDF_DEVICE_CONTEXT* ctx, int dir) {
  return {ctx->Dir[dir].DeviceFormat, PinFormatOf(ctx, dir), ctx->Dir[dir].SavedFormat};
}

void ExpectFormatsKept(const WDF_DEVICE_CONTEXT* ctx, int dir, const DirectionFormats& before) {
  EXPECT_TRUE(SameFormat(ctx->Dir[dir].DeviceFormat, before.device));
  EXPECT_TRUE(SameFormat(PinFormatOf(ctx, dir), before.pin));
  EXPECT_TRUE(SameFormat(ctx->Dir[dir].SavedFormat, before.saved));
}

}  // namespace

// Every client opens a filter of its own, and the pin limit is per filter:
// the unit still has one stream per direction. A render pin on a second
// filter is refused at creation and changes nothing of the first pin's
// stream, which plays on exactly what it was given; once the first pin is
// closed the second filter's pin plays.
TEST_F(PinFixture, ARenderPinOnASecondFilterIsRefusedWhileTheFirstPlays) {
  Open(Model::Tarrow, 2, 24, false);
  const DirectionFormats before = FormatsOf(ctx_, QUENBY_DIR_RENDER);
  // What the unit receives: the pin's two 24-bit channels of each frame.
  std::vector<uint8_t> received;
  std::mutex received_m;
  unit_->audio().set_render_tap([&](const uint8_t* data, size_t frames, size_t frame_bytes) {
    std::lock_guard<std::mutex> g(received_m);
    for (size_t i = 0; i < frames; ++i)
      received.insert(received.end(), data + i * frame_bytes, data + i * frame_bytes + 6);
  });
  // Frames of 10 ms, each pin frame numbered from 1 on (never silence).
  uint32_t next = 1;
  for (int block = 0; block < 30; ++block) {
    auto f = std::make_unique<Frame>();
    for (int i = 0; i < 480; ++i, ++next) {
      const uint32_t second = next ^ 0xA5A5A5u;
      for (uint32_t v : {next, second})
        for (int b = 0; b < 3; ++b) f->data.push_back(uint8_t(v >> (8 * b)));
    }
    f->header.Size = sizeof(KSSTREAM_HEADER);
    f->header.Data = f->data.data();
    f->header.FrameExtent = f->header.DataUsed = ULONG(f->data.size());
    Submit(render_, &f->header);
    frames_.push_back(std::move(f));
  }
  Run(render_);
  SleepMs(50);

  ASSERT_NO_FATAL_FAILURE(OpenSecondFilter());
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE other = formats::PcmFormat(2, 16, 48000);
  ExpectSecondPinRefused(0, &other.DataFormat);
  ExpectFormatsKept(ctx_, QUENBY_DIR_RENDER, before);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].Pin, render_);
  EXPECT_EQ(unit_->audio().render_rate(), 48000u);

  SleepMs(150);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyRender].Active), 1u);
  Stop(render_);
  unit_->audio().set_render_tap(nullptr);
  // Past the silence of priming, the unit got the numbered frames in order,
  // every one, bit for bit.
  size_t start = 0;
  while (start + 6 <= received.size() &&
         std::all_of(received.begin() + long(start), received.begin() + long(start) + 6,
                     [](uint8_t b) { return b == 0; }))
    start += 6;
  uint32_t expected = 1;
  for (size_t at = start; at + 6 <= received.size(); at += 6, ++expected) {
    const uint8_t* f = &received[at];
    const uint32_t first = f[0] | uint32_t(f[1]) << 8 | uint32_t(f[2]) << 16;
    const uint32_t other_channel = f[3] | uint32_t(f[4]) << 8 | uint32_t(f[5]) << 16;
    if (first == 0 && other_channel == 0 && expected >= next) break;  // silence once all was played
    ASSERT_EQ(first, expected) << "frame " << (at - start) / 6;
    ASSERT_EQ(other_channel, (expected ^ 0xA5A5A5u) & 0xFFFFFFu) << "frame " << (at - start) / 6;
  }
  EXPECT_GE(expected, 480u * 12);  // 120 ms or more of it played

  // The direction is free once the first pin is closed: the second filter's
  // pin takes it with its own format and plays.
  ASSERT_NO_FATAL_FAILURE(HandOverToSecondPin(&render_, 0, &other.DataFormat));
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].PinFormat.WaveFormatExt.Format.wBitsPerSample, 16);
  Run(second_);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_RENDER].StreamFormat.WaveFormatExt.Format.wBitsPerSample, 16);
  EXPECT_TRUE(Plays(second_, 480));
  Stop(second_);
}

// The same for capture: the second filter's capture pin is refused and the
// first records on at its format; closed, it leaves the direction free.
TEST_F(PinFixture, ACapturePinOnASecondFilterIsRefusedWhileTheFirstRecords) {
  Open(Model::Tarrow, 2, 24);
  const DirectionFormats before = FormatsOf(ctx_, QUENBY_DIR_CAPTURE);
  Queue(capture_, 30);
  Run(capture_);
  SleepMs(30);
  ASSERT_NO_FATAL_FAILURE(OpenSecondFilter());
  const KSDATAFORMAT_WAVEFORMATEXTENSIBLE other = formats::PcmFormat(2, 24, 44100);
  ExpectSecondPinRefused(3, &other.DataFormat);
  ExpectFormatsKept(ctx_, QUENBY_DIR_CAPTURE, before);
  EXPECT_EQ(ctx_->Dir[QUENBY_DIR_CAPTURE].Pin, capture_);
  const ULONGLONG filled = Position(capture_).PlayOffset;
  SleepMs(50);
  EXPECT_EQ(Flag(ctx_->Streams[QuenbyCapture].Active), 1u);
  EXPECT_GE(Position(capture_).PlayOffset, filled + 4u * 480 * 6);  // still recording at 48 kHz
  EXPECT_EQ(unit_->audio().capture_rate(), 48000u);
  Stop(capture_);
  ASSERT_NO_FATAL_FAILURE(HandOverToSecondPin(&capture_, 3, &other.DataFormat));
  Queue(second_, 4);
  Run(second_);
  EXPECT_EQ(unit_->audio().capture_rate(), 44100u);
  SleepMs(30);
  EXPECT_GT(Position(second_).PlayOffset, 0u);
  Stop(second_);
}
