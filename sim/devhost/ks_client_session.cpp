// The session of korvel-devhost's kernel-streaming client: the formats of
// both pins, their states, the frames kept queued on them, and what the
// unit and the driver did meanwhile; see ks_client.h.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "kernel/ks_host.h"
#include "kernel/ks_position_watch.h"
#include "kernel/verifier.h"
#include "ks_client.h"
#include "ks_client_signal.h"
#include "ks_client_wav.h"
#include "quenby.h"
#include "unit.h"
#include "usb/device.h"

namespace korvel::sim::devhost {

namespace {

namespace ks = kernel::ks;

constexpr ULONG kRenderPin = 0;

// The capture streaming pin: the one that gives data out (pin 3 of a
// filter with render, 1 of a capture-only one).
ULONG capture_pin_id(PKSFILTER filter) {
  const KSFILTER_DESCRIPTOR* d = filter->Descriptor;
  for (ULONG i = 0; d != nullptr && i < d->PinDescriptorsCount; ++i) {
    const auto* pin = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const char*>(d->PinDescriptors) + size_t(i) * d->PinDescriptorSize);
    if (pin->PinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT &&
        pin->PinDescriptor.Communication == KSPIN_COMMUNICATION_SINK)
      return i;
  }
  return ULONG(-1);
}
constexpr int kFramesQueued = 4;   // frames kept on each pin
constexpr uint32_t kFrameMs = 10;  // milliseconds of audio per frame

// Frames of audio in one buffer at `rate`: kFrameMs of it, and at least one
// frame (below 100 Hz an empty buffer would complete at once, and the
// virtual clock would never move on).
uint32_t buffer_frames(uint32_t rate) {
  const uint32_t frames = rate * kFrameMs / 1000;
  return frames != 0 ? frames : 1;
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// A queued frame and its buffer (the header first: a completed header is
// its buffer).
struct Buffer {
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> data;
};

// Data intersection of a pin for one PCM format.
NTSTATUS intersect(PKSFILTER filter, ULONG pin, uint32_t channels, uint32_t bits, uint32_t rate,
                   std::vector<uint8_t>* format) {
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
  NTSTATUS status = ks::pin_intersect(filter, pin, &range.DataRange, nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  format->assign(size, 0);
  return ks::pin_intersect(filter, pin, &range.DataRange, format->data(), size, &size);
}

// Whether the pin factory takes a format, as a client checks one before it
// opens a pin with it ("KSPROPERTY_PIN_PROPOSEDATAFORMAT").
NTSTATUS propose(PKSFILTER filter, ULONG pin, std::vector<uint8_t>* format) {
  KSP_PIN request{};
  request.Property.Set = KSPROPSETID_Pin;
  request.Property.Id = KSPROPERTY_PIN_PROPOSEDATAFORMAT;
  request.Property.Flags = KSPROPERTY_TYPE_SET;
  request.PinId = pin;
  ULONG bytes = 0;
  return ks::filter_property(filter, &request, sizeof(request), format->data(), ULONG(format->size()),
                             &bytes);
}

// Why a pin refused a format, with the standard rates it offers for that
// channel count and resolution instead.
std::string refusal(PKSFILTER filter, ULONG pin, const char* side, uint32_t channels, uint32_t bits,
                    uint32_t rate, NTSTATUS status) {
  static const uint32_t kRates[] = {8000,  11025, 16000, 22050,  24000,  32000,  44100, 48000,
                                    64000, 88200, 96000, 176400, 192000, 352800, 384000};
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08X", unsigned(status));
  std::string why = std::string("the ") + side + " pin offers no format for " + std::to_string(channels) +
                    ":" + std::to_string(bits) + ":" + std::to_string(rate) + " (" + code + ")";
  std::string offered;
  std::vector<uint8_t> format;
  for (uint32_t r : kRates) {
    if (r != rate && NT_SUCCESS(intersect(filter, pin, channels, bits, r, &format)))
      offered += (offered.empty() ? "" : ", ") + std::to_string(r);
  }
  if (!offered.empty()) {
    why += "; it offers " + std::to_string(channels) + ":" + std::to_string(bits) + " at " + offered + " Hz";
  }
  return why;
}

// Why a direction offers one rate only, or starts at no other: its clock
// source's sampling frequency is read-only. Empty when the host sets it.
std::string fixed_clock(const WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  if (ctx->Dir[direction].FixedRate == 0) return "";
  const AUDIO_PATH& path =
      direction == QUENBY_DIR_CAPTURE ? ctx->Topology.CapturePath : ctx->Topology.RenderPath;
  std::string why = "clock " + std::to_string(DescriptorClockId(path.ClockSource)) +
                    " has a read-only sampling frequency and ran at " +
                    std::to_string(ctx->Dir[direction].FixedRate) + " Hz at start";
  const ULONG found = ctx->Dir[direction].FixedRateFound;
  if (found != ctx->Dir[direction].FixedRate)
    why += found != 0 ? ", " + std::to_string(found) + " Hz now" : ", and its rate could not be read now";
  return why;
}

// The container and valid bits of a format a pin offered.
bool sample_shape(const std::vector<uint8_t>& offered, uint32_t* bytes, uint32_t* valid) {
  if (offered.size() < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return false;
  const auto* f = reinterpret_cast<const AUDIO_FORMAT*>(offered.data());
  const WAVEFORMATEX& w = f->WaveFormatExt.Format;
  *bytes = w.wBitsPerSample / 8u;
  *valid = offered.size() >= sizeof(AUDIO_FORMAT) && w.wFormatTag == WAVE_FORMAT_EXTENSIBLE
               ? f->WaveFormatExt.Samples.wValidBitsPerSample
               : w.wBitsPerSample;
  return *bytes != 0 && *bytes <= 4 && *valid != 0 && *valid <= *bytes * 8;
}

// Largest channel count of a direction and the largest resolution offered with it.
void largest_format(const AltSettingSlot* slots, uint32_t* channels, uint32_t* bits) {
  *channels = 0;
  *bits = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (!SlotIsUsable(&slots[i])) continue;
    uint32_t c = SlotChannels(&slots[i]), b = SlotBits(&slots[i]);
    if (c > *channels || (c == *channels && b > *bits)) {
      *channels = c;
      *bits = b;
    }
  }
}

// The capture channel count that goes with a format of `bits` (valid bits,
// or the container of a wider one: 32 for 24 bits in 4 bytes): `channels`
// when the unit captures them, else its widest capture setting of that
// width. False when it captures nothing of that width.
bool capture_shape(const AltSettingSlot* slots, uint32_t channels, uint32_t bits, uint32_t* out) {
  uint32_t best = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (!SlotIsUsable(&slots[i]) || (SlotBits(&slots[i]) != bits && SlotContainerBits(&slots[i]) != bits))
      continue;
    uint32_t c = SlotChannels(&slots[i]);
    if (c == channels) {
      *out = c;
      return true;
    }
    if (c > best) best = c;
  }
  *out = best;
  return best != 0;
}

// Steps a pin one state at a time from `from` to `to`, up or down; nothing
// when it is there already. The pin's position checks follow each step.
NTSTATUS set_state(PKSPIN pin, KSSTATE from, KSSTATE to, ks::PositionWatch* watch) {
  NTSTATUS status = STATUS_SUCCESS;
  const int step = to > from ? 1 : -1;
  for (int s = int(from); s != int(to) && NT_SUCCESS(status);) {
    s += step;
    status = ks::pin_set_state(pin, KSSTATE(s));
    if (NT_SUCCESS(status)) watch->state(KSSTATE(s), KSSTATE(s - step));
  }
  return status;
}

// A frame handed to a pin, as its position checks count it.
void submit(PKSPIN pin, KSSTREAM_HEADER* header, ks::PositionWatch* watch) {
  watch->submitted(pin->Id == kRenderPin ? header->DataUsed : header->FrameExtent);
  ks::pin_submit(pin, header);
}

// Reads a pin's KSPROPERTY_AUDIO_POSITION and checks it; empty when it keeps
// the rules (see ks_position_watch.h). `played_limit` is asked after the
// reading: what the device received by then bounds what it had played.
template <typename Limit>
std::string check_position(PKSPIN pin, ks::PositionWatch* watch, Limit played_limit) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Audio;
  p.Id = KSPROPERTY_AUDIO_POSITION;
  p.Flags = KSPROPERTY_TYPE_GET;
  KSAUDIO_POSITION position{};
  ULONG bytes = 0;
  const char* side = pin->Id == kRenderPin ? "render" : "capture";
  if (!NT_SUCCESS(ks::pin_property(pin, &p, sizeof(p), &position, sizeof(position), &bytes)) ||
      bytes != sizeof(position))
    return std::string("the ") + side + " pin's position could not be read";
  const std::string broken = watch->read(position, played_limit());
  return broken.empty() ? broken : std::string("the ") + side + " position: " + broken;
}

class Session {
 public:
  Session(const StreamOptions& o, StreamReport* r) : o_(o), r_(r) {}
  // Streams on a plugged stack, which stays plugged.
  bool run(DriverStack& stack, std::string* error, const std::atomic<bool>* stop);

 private:
  bool fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
  }
  // The render format from the options (or the unit's largest) and what
  // the render pin offers for it; false with the reason.
  bool negotiate_render(WDF_DEVICE_CONTEXT* ctx, PKSFILTER filter, std::vector<uint8_t>* format,
                        std::string* error);
  // The capture format asked for and what the capture pin offers for it.
  bool negotiate_capture(WDF_DEVICE_CONTEXT* ctx, PKSFILTER filter, std::vector<uint8_t>* format,
                         std::string* error);
  // STOP -> ACQUIRE -> PAUSE, frames queued; RUN follows separately.
  bool prepare(PKSPIN pin, bool render, std::vector<std::unique_ptr<Buffer>>* buffers);
  ks::PositionWatch* watch(PKSPIN pin) { return pin->Id == kRenderPin ? &render_watch_ : &capture_watch_; }
  void fill_render(Buffer* b);
  void check_capture(const Buffer& b);

  const StreamOptions& o_;
  StreamReport* r_;
  uint32_t ch_ = 0, bits_ = 0, rate_ = 0;
  uint32_t bytes_ = 0;  // container bytes of a sample
  uint32_t valid_ = 0;  // valid bits of a sample
  uint32_t cap_ch_ = 0, cap_bits_ = 0, cap_rate_ = 0, cap_bytes_ = 0;
  // Loopback compares capture with render: same sample width and rate.
  bool loopback_ = false;
  std::vector<uint8_t> expected_;  // one capture frame as it should come back
  Signal signal_;                  // for frames no longer kept
  SignalHistory history_;
  uint64_t render_frame_ = 0;  // next frame of the signal to render
  Wav wav_;
  WavWriter recorder_;
  bool recording_ = false;
  // Loopback check.
  bool capture_started_ = false;
  uint64_t capture_index_ = 0;
  bool mismatch_ = false;
  uint64_t wav_lead_ = 0;  // silent frames at the start of the file to play
  // Silent frames at the start of what is played (the file's, or the
  // generated signal's, which the music-like one has): the unit's check of
  // what it received starts counting after them.
  uint64_t played_lead_ = 0;
  ks::PositionWatch render_watch_, capture_watch_;
};

void Session::fill_render(Buffer* b) {
  const uint32_t frame_bytes = ch_ * bytes_;
  const uint32_t frames = buffer_frames(rate_);
  b->data.resize(size_t(frames) * frame_bytes);
  uint8_t* p = b->data.data();
  if (wav_.data.empty()) {
    history_.make(p, frames);
    render_frame_ += frames;
  }
  for (uint32_t f = 0; f < frames && !wav_.data.empty(); ++f, ++render_frame_) {
    const size_t total = wav_.data.size() / frame_bytes;
    std::memcpy(p, wav_.data.data() + size_t(render_frame_ % total) * frame_bytes, frame_bytes);
    p += frame_bytes;
  }
  b->header.Size = sizeof(KSSTREAM_HEADER);
  b->header.Data = b->data.data();
  b->header.FrameExtent = ULONG(b->data.size());
  b->header.DataUsed = ULONG(b->data.size());
}

void Session::check_capture(const Buffer& b) {
  const uint32_t frame_bytes = cap_ch_ * bytes_;
  const uint32_t compared = cap_ch_ < ch_ ? cap_ch_ : ch_;
  const uint32_t render_frame_bytes = ch_ * bytes_;
  for (size_t o = 0; o + frame_bytes <= b.header.DataUsed; o += frame_bytes) {
    const uint8_t* p = b.data.data() + o;
    if (!capture_started_) {
      bool silent = true;
      for (uint32_t i = 0; i < compared * bytes_; ++i) silent = silent && p[i] == 0;
      if (silent) continue;
      capture_started_ = true;
    }
    // Only what has been rendered can come back.
    if (capture_index_ >= render_frame_) break;
    // Whole frames compared at once: the channels both sides have.
    if (!wav_.data.empty()) {
      const size_t total = wav_.data.size() / render_frame_bytes;
      std::memcpy(expected_.data(),
                  wav_.data.data() + size_t((capture_index_ + wav_lead_) % total) * render_frame_bytes,
                  render_frame_bytes);
    } else {
      const uint8_t* kept = history_.frame(capture_index_);
      if (kept != nullptr) {
        std::memcpy(expected_.data(), kept, render_frame_bytes);
      } else {
        signal_.frame(capture_index_, expected_.data());
      }
    }
    if (!mismatch_ && std::memcmp(expected_.data(), p, size_t(compared) * bytes_) != 0) mismatch_ = true;
    ++capture_index_;
  }
}

bool Session::negotiate_render(WDF_DEVICE_CONTEXT* ctx, PKSFILTER filter, std::vector<uint8_t>* format,
                               std::string* error) {
  ch_ = o_.channels;
  bits_ = o_.bits;
  rate_ = o_.rate;
  if (ch_ == 0) largest_format(ctx->Topology.RenderSlots, &ch_, &bits_);
  if (!wav_.data.empty() && (wav_.channels != ch_ || wav_.bits != bits_ || wav_.rate != rate_)) {
    return fail(error, o_.play + ": the file's format is not the stream's (" + std::to_string(ch_) + ":" +
                           std::to_string(bits_) + ":" + std::to_string(rate_) + ")");
  }
  NTSTATUS status = intersect(filter, kRenderPin, ch_, bits_, rate_, format);
  if (!NT_SUCCESS(status)) {
    const std::string clock = fixed_clock(ctx, QUENBY_DIR_RENDER);
    return fail(error, refusal(filter, kRenderPin, "render", ch_, bits_, rate_, status) +
                           (clock.empty() ? "" : " (" + clock + ")"));
  }
  if (!NT_SUCCESS(propose(filter, kRenderPin, format)))
    return fail(error, "the render pin offered a format it does not take");
  // The format the driver offered may carry the resolution in a wider
  // container (24 valid bits in 32): the pins stream that container.
  if (!sample_shape(*format, &bytes_, &valid_))
    return fail(error, "the render pin offered a format of an unusable sample size");
  return true;
}

bool Session::negotiate_capture(WDF_DEVICE_CONTEXT* ctx, PKSFILTER filter, std::vector<uint8_t>* format,
                                std::string* error) {
  cap_bits_ = o_.capture_bits != 0 ? o_.capture_bits : bits_;
  cap_rate_ = o_.capture_rate != 0 ? o_.capture_rate : rate_;
  cap_ch_ = o_.capture_channels;
  if (cap_ch_ == 0 && !capture_shape(ctx->Topology.CaptureSlots, ch_, cap_bits_, &cap_ch_)) {
    return fail(error, "the unit captures nothing of " + std::to_string(cap_bits_) +
                           " bits (ask another format with --capture-format, or --render-only)");
  }
  NTSTATUS status = intersect(filter, capture_pin_id(filter), cap_ch_, cap_bits_, cap_rate_, format);
  if (!NT_SUCCESS(status)) {
    const std::string clock = fixed_clock(ctx, QUENBY_DIR_CAPTURE);
    return fail(error,
                refusal(filter, capture_pin_id(filter), "capture", cap_ch_, cap_bits_, cap_rate_, status) +
                    (clock.empty() ? "" : " (" + clock + ")"));
  }
  if (!NT_SUCCESS(propose(filter, capture_pin_id(filter), format)))
    return fail(error, "the capture pin offered a format it does not take");
  uint32_t valid = 0;
  if (!sample_shape(*format, &cap_bytes_, &valid))
    return fail(error, "the capture pin offered a format of an unusable sample size");
  return true;
}

bool Session::prepare(PKSPIN pin, bool render, std::vector<std::unique_ptr<Buffer>>* buffers) {
  if (!NT_SUCCESS(set_state(pin, KSSTATE_STOP, KSSTATE_PAUSE, watch(pin)))) return false;
  for (int i = 0; i < kFramesQueued; ++i) {
    buffers->push_back(std::make_unique<Buffer>());
    Buffer* b = buffers->back().get();
    if (render) {
      fill_render(b);
    } else {
      b->data.assign(size_t(buffer_frames(cap_rate_)) * cap_ch_ * cap_bytes_, 0);
      b->header.Size = sizeof(KSSTREAM_HEADER);
      b->header.Data = b->data.data();
      b->header.FrameExtent = ULONG(b->data.size());
    }
    submit(pin, &b->header, watch(pin));
  }
  return true;
}

bool Session::run(DriverStack& stack, std::string* error, const std::atomic<bool>* stop_request) {
  Clock& clock = Clock::instance();
  auto stopped = [stop_request] {
    return stop_request != nullptr && stop_request->load(std::memory_order_relaxed);
  };
  if (!o_.play.empty() && !read_wav(o_.play, &wav_, error)) return false;
  std::vector<PKSDEVICE> devices = ks::devices();
  if (devices.empty()) return fail(error, "no kernel-streaming device");
  PKSDEVICE device = devices.back();
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(device);
  if (ctx == nullptr) return fail(error, "the driver has no device context");

  NTSTATUS status;
  PKSFILTER filter = ks::filter_create(device, 0, &status);
  if (filter == nullptr) return fail(error, "the filter could not be opened");
  struct FilterGuard {
    PKSFILTER filter;
    ~FilterGuard() { ks::filter_close(filter); }  // the stack may outlive the session
  } filter_guard{filter};
  std::vector<uint8_t> render_format, capture_format;
  // Capture alone: asked for, or the unit has no render side.
  const bool rendering = TopologyHasRender(&ctx->Topology) != 0 && !o_.capture_only;
  if (rendering && !negotiate_render(ctx, filter, &render_format, error)) return false;
  if (!rendering) {
    // The stream's format is capture's: as asked, or its largest.
    ch_ = o_.channels;
    bits_ = o_.bits;
    rate_ = o_.rate;
    if (ch_ == 0) largest_format(ctx->Topology.CaptureSlots, &ch_, &bits_);
    if (ch_ == 0 || !TopologyHasCapture(&ctx->Topology)) return fail(error, "the unit streams nothing");
  }
  // The captured stream is matched from its first sound on; so is the file.
  if (!wav_.data.empty()) {
    const size_t frame_bytes = size_t(ch_) * bytes_;
    const size_t total = wav_.data.size() / frame_bytes;
    if (total == 0) return fail(error, o_.play + ": no audio frames");
    while (wav_lead_ < total) {
      bool silent = true;
      for (size_t i = 0; i < frame_bytes && silent; ++i)
        silent = wav_.data[size_t(wav_lead_) * frame_bytes + i] == 0;
      if (!silent) break;
      ++wav_lead_;
    }
  }
  const bool capture = TopologyHasCapture(&ctx->Topology) != 0 && !o_.render_only;
  r_->render_only = !capture;
  r_->capture_only = !rendering;
  // A capture format of the render's width and rate opens beside render,
  // before it runs (so that loopback sees the first frame played); any
  // other opens once render runs, as the audio engine opens a second
  // stream: on a unit with one clock for both directions it is then
  // offered only the rate that clock runs at.
  const bool together = capture && (!rendering || ((o_.capture_bits == 0 || o_.capture_bits == bits_) &&
                                                   (o_.capture_rate == 0 || o_.capture_rate == rate_)));
  if (together && !negotiate_capture(ctx, filter, &capture_format, error)) return false;
  if (!rendering) {
    bytes_ = cap_bytes_;  // the session's sizes are capture's
    valid_ = cap_bytes_ * 8;
  }
  loopback_ = o_.loopback && together && rendering && cap_bytes_ == bytes_;

  expected_.assign(size_t(ch_) * bytes_, 0);
  signal_.reset(o_.music, ch_, bytes_, valid_, rate_);
  played_lead_ = wav_lead_;
  if (wav_.data.empty()) {
    Signal probe = signal_;
    for (; played_lead_ < rate_; ++played_lead_) {
      probe.frame(played_lead_, expected_.data());
      if (std::any_of(expected_.begin(), expected_.end(), [](uint8_t b) { return b != 0; })) break;
    }
  }
  history_.reset(signal_, expected_.size(), rate_);  // one second
  RenderCheck render_check(ch_, bytes_, signal_, &wav_.data, wav_lead_, &history_);
  stack.set_render_tap([&render_check](const uint8_t* data, size_t frames, size_t frame_bytes) {
    render_check.packet(data, frames, frame_bytes);
  });
  struct TapGuard {
    DriverStack& stack;
    ~TapGuard() { stack.set_render_tap(nullptr); }
  } tap_guard{stack};
  PKSPIN render = nullptr;
  if (rendering) {
    render =
        ks::pin_create(filter, kRenderPin, reinterpret_cast<KSDATAFORMAT*>(render_format.data()), &status);
    if (render == nullptr) return fail(error, "the render pin refused its format");
  }
  PKSPIN capture_pin = nullptr;
  if (together) {
    capture_pin = ks::pin_create(filter, capture_pin_id(filter),
                                 reinterpret_cast<KSDATAFORMAT*>(capture_format.data()), &status);
    if (capture_pin == nullptr) {
      if (render != nullptr) ks::pin_close(render);
      return fail(error, "the capture pin refused the format it offered");
    }
  }

  r_->channels = ch_;
  r_->bits = bits_;
  r_->rate = rate_;
  r_->high_speed = o_.high_speed;
  r_->drift_ppm = o_.drift_ppm;
  r_->loopback = o_.loopback && capture && rendering;  // one side alone: nothing to loop back

  bool ok = true;
  std::string why;  // why the run failed, when it did
  std::vector<std::unique_ptr<Buffer>> render_buffers, capture_buffers;
  // Before the streams start (in ACQUIRE): nothing is queued on the bus.
  if (o_.bus_frame) stack.bus()->set_frame_number(*o_.bus_frame);
  if (capture_pin != nullptr && !prepare(capture_pin, false, &capture_buffers)) ok = false;
  if (ok && render != nullptr && !prepare(render, true, &render_buffers)) ok = false;
  const uint64_t rendered_before = render_frame_;
  const double cpu_start = process_cpu_seconds();
  const uint64_t start_ns = clock.now_ns();
  const uint64_t end_ns = o_.seconds > 0 ? start_ns + uint64_t(o_.seconds * 1e9) : Clock::kForever;
  const uint64_t submissions_start = stack.bus()->iso_submissions();
  const uint64_t bad_start_frames_start = stack.bus()->iso_bad_start_frames();
  if (o_.refuse_endpoint != 0)
    stack.bus()->refuse_iso(o_.refuse_endpoint, start_ns + uint64_t(o_.refuse_seconds * 1e9), 1000000);
  if (ok && capture_pin != nullptr &&
      !NT_SUCCESS(set_state(capture_pin, KSSTATE_PAUSE, KSSTATE_RUN, &capture_watch_)))
    ok = false;
  if (ok && render != nullptr && !NT_SUCCESS(set_state(render, KSSTATE_PAUSE, KSSTATE_RUN, &render_watch_)))
    ok = false;
  if (ok && capture && !together) {
    // The second stream, opened while the first one runs.
    if (!negotiate_capture(ctx, filter, &capture_format, &why)) {
      ok = false;
    } else {
      capture_pin = ks::pin_create(filter, capture_pin_id(filter),
                                   reinterpret_cast<KSDATAFORMAT*>(capture_format.data()), &status);
      if (capture_pin == nullptr) {
        ok = false;
        why = "the capture pin refused the format it offered";
      } else if (!prepare(capture_pin, false, &capture_buffers) ||
                 !NT_SUCCESS(set_state(capture_pin, KSSTATE_PAUSE, KSSTATE_RUN, &capture_watch_))) {
        ok = false;
      }
    }
  }
  if (capture_pin != nullptr && !o_.record.empty()) {
    recording_ = recorder_.open(o_.record, cap_ch_, cap_bytes_ * 8, cap_rate_);
    // A recording that cannot be made fails the run before it streams.
    if (!recording_ && ok) {
      ok = false;
      why = "cannot write " + o_.record;
    }
  }
  r_->capture_channels = capture_pin != nullptr ? cap_ch_ : 0;
  r_->capture_bits = capture_pin != nullptr ? cap_bits_ : 0;
  r_->capture_rate = capture_pin != nullptr ? cap_rate_ : 0;
  const uint64_t allocations_start = verifier::pool_allocations_total();
  const Clock::Counts counts_start = clock.counts();
  const uint64_t counted_from_ns = clock.now_ns();

  uint64_t seen_render = 0, seen_capture = 0;
  uint64_t rendered_bytes = 0, captured_bytes = 0;
  bool paused = false, unplugged = false, cycled = false;
  const uint64_t half_ns = start_ns + (end_ns - start_ns) / 2;
  while (ok && clock.now_ns() < end_ns && !stopped()) {
    const bool halfway =
        o_.pause_halfway || o_.unplug_halfway || o_.power_cycle_halfway || o_.sleep_halfway_ms != 0;
    const uint64_t deadline =
        halfway && !paused && !unplugged && !cycled && half_ns > clock.now_ns() ? half_ns : end_ns;
    clock.wait(
        [&] {
          return (render != nullptr && ks::pin_completions(render) != seen_render) ||
                 (capture_pin != nullptr && ks::pin_completions(capture_pin) != seen_capture) || stopped();
        },
        deadline);
    if (render != nullptr) seen_render = ks::pin_completions(render);
    if (capture_pin != nullptr) seen_capture = ks::pin_completions(capture_pin);
    while (KSSTREAM_HEADER* h = render != nullptr ? ks::pin_take_completed(render) : nullptr) {
      rendered_bytes += h->DataUsed;
      Buffer* b = reinterpret_cast<Buffer*>(h);
      fill_render(b);
      submit(render, &b->header, &render_watch_);
    }
    while (capture_pin != nullptr) {
      KSSTREAM_HEADER* h = ks::pin_take_completed(capture_pin);
      if (h == nullptr) break;
      captured_bytes += h->DataUsed;
      Buffer* b = reinterpret_cast<Buffer*>(h);
      if (loopback_) check_capture(*b);
      if (recording_) recorder_.write(b->data.data(), h->DataUsed);
      h->DataUsed = 0;
      submit(capture_pin, h, &capture_watch_);
    }
    // Both positions on every pass, as a client watching them would read
    // them; render's never past what the unit has received of the signal
    // (counted from its first sound on: the silent lead before it).
    if (ok && !unplugged) {
      if (render != nullptr) {
        why = check_position(render, &render_watch_,
                             [&] { return (render_check.received() + played_lead_) * ch_ * bytes_; });
      }
      if (why.empty() && capture_pin != nullptr)
        why = check_position(capture_pin, &capture_watch_, [] { return UINT64_MAX; });
      ok = why.empty();
    }
    const uint64_t delay = QuenbyRenderDelay(ctx);
    if (delay > r_->max_render_delay_frames) r_->max_render_delay_frames = delay;
    if (clock.now_ns() >= half_ns && !paused && o_.pause_halfway && render != nullptr) {
      paused = true;
      ok = NT_SUCCESS(set_state(render, KSSTATE_RUN, KSSTATE_PAUSE, &render_watch_)) &&
           NT_SUCCESS(set_state(render, KSSTATE_PAUSE, KSSTATE_RUN, &render_watch_));
    }
    if (clock.now_ns() >= half_ns && !cycled && o_.power_cycle_halfway) {
      // D3 and back with the pins in RUN: the streams must run again.
      cycled = true;
      ok = NT_SUCCESS(stack.set_power(4)) && NT_SUCCESS(stack.set_power(1));
    }
    if (clock.now_ns() >= half_ns && !cycled && o_.sleep_halfway_ms != 0) {
      cycled = true;
      ok = NT_SUCCESS(stack.system_sleep(o_.sleep_halfway_ms));
      if (!ok) why = "the driver did not power up again after the system sleep";
    }
    if (clock.now_ns() >= half_ns && !unplugged && o_.unplug_halfway) {
      unplugged = true;
      stack.surprise_remove();
    }
  }
  r_->allocations_while_streaming = verifier::pool_allocations_total() - allocations_start;
  r_->iso_submissions = stack.bus()->iso_submissions() - submissions_start;
  r_->iso_bad_start_frames = stack.bus()->iso_bad_start_frames() - bad_start_frames_start;
  r_->simulated_seconds = double(clock.now_ns() - start_ns) / 1e9;
  r_->cpu_seconds = process_cpu_seconds() - cpu_start;
  const Clock::Counts counts_end = clock.counts();
  if (const double counted = double(clock.now_ns() - counted_from_ns) / 1e9; counted > 0) {
    r_->wakeups_per_second = double(counts_end.sleeps - counts_start.sleeps) / counted;
    r_->timer_runs_per_second = double(counts_end.timer_runs - counts_start.timer_runs) / counted;
  }

  // RUN -> PAUSE -> ACQUIRE -> STOP, render first.
  NTSTATUS stop = render != nullptr ? set_state(render, render->DeviceState, KSSTATE_STOP, &render_watch_)
                                    : STATUS_SUCCESS;
  if (capture_pin != nullptr && NT_SUCCESS(stop))
    stop = set_state(capture_pin, capture_pin->DeviceState, KSSTATE_STOP, &capture_watch_);
  if (!NT_SUCCESS(stop) && !unplugged) ok = false;
  while (render != nullptr && ks::pin_take_completed(render) != nullptr) {
  }
  r_->render_pacing = ctx->RenderPacing == QUENBY_PACING_FEEDBACK   ? "feedback"
                      : ctx->RenderPacing == QUENBY_PACING_NOMINAL  ? "nominal"
                      : ctx->RenderPacing == QUENBY_PACING_IMPLICIT ? "implicit"
                                                                    : "";
  r_->rendered_frames = rendered_bytes / (ch_ * bytes_);
  (void)rendered_before;
  r_->captured_frames = capture_pin != nullptr ? captured_bytes / (cap_ch_ * cap_bytes_) : 0;
  r_->underrun_events = ctx->RenderUnderrunEvents;
  const StreamCounters& c = ctx->Counters;
  const uint32_t counters[7] = {c.RenderUnderruns,   c.RenderLateStarts, c.Reserved1,
                                c.CaptureLateStarts, c.Reserved2,        c.FeedbackLateStarts,
                                c.FeedbackRejected};
  std::memcpy(r_->stream_counters, counters, sizeof(counters));
  r_->late_render = c.RenderLateStarts / 8;
  r_->late_capture = c.CaptureLateStarts / 8;
  r_->late_feedback = c.FeedbackLateStarts / 8;
  r_->feedback_rejected = c.FeedbackRejected / 8;
  r_->feedback_validated = ctx->FeedbackAccepted != 0;
  r_->loopback_frames_compared = capture_index_;
  r_->loopback_bit_exact = loopback_ && capture_started_ && capture_index_ > 0 && !mismatch_;
  AudioCounters unit_counters = stack.audio_counters();  // after the unit's last packet
  r_->unit_render_underflows = unit_counters.render_underflows;
  r_->unit_render_overflows = unit_counters.render_overflows;
  r_->unit_bad_packets = unit_counters.render_bad_packets;
  r_->render_bit_exact = render_check.exact() && unit_counters.render_bad_packets == 0;
  r_->unit_received_frames = render_check.received();
  if (!render_check.exact() && render_check.received() != 0)
    r_->render_first_mismatch = render_check.first_mismatch();

  if (capture_pin != nullptr) ks::pin_close(capture_pin);
  if (render != nullptr) ks::pin_close(render);
  if (recording_ && !recorder_.close()) return fail(error, "cannot write " + o_.record);
  if (!ok) {
    if (why.empty() && !unplugged) {
      // A clock the host cannot set that no longer runs at the stream's rate.
      for (ULONG d : {ULONG(QUENBY_DIR_RENDER), ULONG(QUENBY_DIR_CAPTURE)}) {
        if (why.empty() && ctx->Dir[d].FixedRate != 0 && ctx->Dir[d].FixedRateFound != ctx->Dir[d].FixedRate)
          why = "a pin state change failed: " + fixed_clock(ctx, d);
      }
    }
    if (why.empty()) why = unplugged ? "the unit went away" : "a pin state change failed";
    return fail(error, why);
  }
  return true;
}

}  // namespace

bool run_stream_on(DriverStack& stack, const StreamOptions& options, StreamReport* report, std::string* error,
                   const std::atomic<bool>* stop) {
  Session s(options, report);
  return s.run(stack, error, stop);
}

bool run_stream_session(const StreamOptions& options, StreamReport* report, std::string* error) {
  Model model;
  if (!model_from_name(options.model, &model)) {
    *error = "unknown model \"" + options.model + "\"";
    return false;
  }
  auto unit = std::make_shared<Unit>(model, [] { return Clock::instance().now_ns() / 1000; });
  unit->audio().set_feedback_format(options.feedback_format);
  if (options.unit_quirks) unit->set_quirks(options.quirks_seed, false);
  std::unique_ptr<DriverStack> stack =
      options.descriptor.empty()
          ? std::make_unique<DriverStack>(*unit, options.high_speed)
          : std::make_unique<DriverStack>(*unit, options.high_speed, options.descriptor, options.rates);
  stack->set_drift_ppm(options.drift_ppm);
  stack->set_loopback(options.loopback);
  std::string why;
  if (!stack->plug(&why)) {
    *error = "quenby refused the unit: " + why;
    return false;
  }
  const bool ok = run_stream_on(*stack, options, report, error);
  stack->unplug();
  return ok;
}

}  // namespace korvel::sim::devhost
