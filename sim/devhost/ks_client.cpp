// The kernel-streaming client of korvel-devhost; see ks_client.h.
#include "ks_client.h"

#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "kernel/ks_host.h"
#include "kernel/verifier.h"
#include "options.h"
#include "quenby.h"
#include "unit.h"
#include "usb/device.h"

namespace korvel::sim::devhost {

namespace {

namespace ks = kernel::ks;

constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 3;
constexpr int kFramesQueued = 4;   // frames kept on each pin
constexpr uint32_t kFrameMs = 10;  // milliseconds of audio per frame

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The deterministic test signal: a hash of frame and channel, never 0 so
// that the start of the audio is visible in the captured stream.
uint32_t signal_sample(uint64_t frame, uint32_t channel, uint32_t bits) {
  uint64_t x = frame * 0x9E3779B97F4A7C15ull + (uint64_t(channel) + 1) * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 31;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 29;
  uint32_t v = uint32_t(x) & (bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1));
  return v == 0 ? 1 : v;
}

void put_sample(uint8_t* p, uint32_t bytes, uint32_t v) {
  for (uint32_t i = 0; i < bytes; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The generated signal, frame by frame: the pseudo-random one, or the
// music-like one. Each frame is a function of its index alone; a Signal
// keeps a little state to make that cheap, so each thread has its own.
class Signal {
 public:
  void reset(bool music, uint32_t channels, uint32_t bytes, uint32_t valid, uint32_t rate) {
    music_ = music;
    ch_ = channels;
    bytes_ = bytes;
    valid_ = valid;
    rate_ = rate == 0 ? 48000 : rate;
    voices_.clear();
    gain_.assign(channels, 0);
    block_ = UINT64_MAX;
    // Levels step down from -3 dB by 5 dB a channel (eight steps, then
    // again); pitches, tempi, decays and swells differ from channel to channel.
    for (uint32_t c = 0; c < channels; ++c) {
      Voice v;
      v.level = std::pow(10.0, (-3.0 - 5.0 * double(c % 8)) / 20.0);
      v.pitch = 110.0 * (1.0 + 0.5 * double(c % 7));
      v.period = 60.0 / (80.0 + 9.0 * double(c % 6));
      v.decay = 0.12 + 0.05 * double(c % 4);
      v.offset = 0.11 * double(c);
      v.swell = 4.0 + double(c % 5);
      voices_.push_back(v);
    }
  }
  // Frame `n`: `valid` bits of each sample, most significant first in its
  // container of `bytes`.
  void frame(uint64_t n, uint8_t* p) {
    const uint32_t shift = bytes_ * 8 - valid_;
    if (!music_) {
      for (uint32_t c = 0; c < ch_; ++c, p += bytes_)
        put_sample(p, bytes_, signal_sample(n, c, valid_) << shift);
      return;
    }
    constexpr double kTwoPi = 6.283185307179586;
    constexpr uint64_t kBlock = 32;  // frames that share one envelope value
    // Time folds every hour, so that the phases keep their precision.
    const uint64_t hour = uint64_t(rate_) * 3600;
    const uint64_t block = n / kBlock;
    if (block != block_) {
      block_ = block;
      const double tb0 = double((block * kBlock) % hour) / rate_;
      for (uint32_t c = 0; c < ch_; ++c) {
        const Voice& v = voices_[c];
        const double tb = std::fmod(tb0 + v.offset, v.period);
        const double beat = tb < 0.005 ? tb / 0.005 : std::exp(-(tb - 0.005) / v.decay);
        const double swell = 0.6 + 0.4 * std::sin(kTwoPi * tb0 / v.swell + double(c));
        gain_[c] = v.level * (0.15 + 0.85 * beat) * swell;
      }
    }
    const double t = double(n % hour) / rate_;
    const double full = double((uint64_t(1) << (valid_ - 1)) - 1);
    const uint32_t mask = valid_ >= 32 ? 0xFFFFFFFFu : (1u << valid_) - 1;
    for (uint32_t c = 0; c < ch_; ++c, p += bytes_) {
      const double a = gain_[c] * std::sin(kTwoPi * voices_[c].pitch * t + 0.5 + double(c));
      const uint32_t v = uint32_t(int32_t(std::lround(a * full))) & mask;
      put_sample(p, bytes_, v << shift);
    }
  }

 private:
  struct Voice {
    double level = 0, pitch = 0, period = 1, decay = 1, offset = 0, swell = 1;
  };
  bool music_ = false;
  uint32_t ch_ = 0, bytes_ = 0, valid_ = 0, rate_ = 48000;
  std::vector<Voice> voices_;
  std::vector<double> gain_;  // of each channel in block_
  uint64_t block_ = UINT64_MAX;
};

// The test signal as rendered: each frame is made once, kept for a second,
// and compared from here by the checks (whole frames, no second hashing).
// The client thread writes frame n long before the bus delivers it, and a
// slot is reused only a second later.
class SignalHistory {
 public:
  void reset(const Signal& signal, size_t frame_bytes, uint32_t frames) {
    signal_ = signal;
    frame_ = frame_bytes;
    frames_ = frames == 0 ? 1 : frames;
    data_.assign(frames_ * frame_, 0);
    next_ = 0;
  }
  // Makes the next frame into `out` and keeps it.
  void make(uint8_t* out) {
    const uint64_t n = next_.load(std::memory_order_relaxed);
    uint8_t* slot = &data_[size_t(n % frames_) * frame_];
    signal_.frame(n, slot);
    std::memcpy(out, slot, frame_);
    next_.store(n + 1, std::memory_order_release);
  }
  // Frame `index` as rendered, or null when it is not (or no longer) kept.
  const uint8_t* frame(uint64_t index) const {
    const uint64_t n = next_.load(std::memory_order_acquire);
    if (index >= n || n - index > frames_ / 2) return nullptr;
    return &data_[size_t(index % frames_) * frame_];
  }

 private:
  Signal signal_;
  size_t frame_ = 0, frames_ = 1;
  std::vector<uint8_t> data_;
  std::atomic<uint64_t> next_{0};
};

// What the unit received, checked frame by frame against what was played:
// after the priming silence, every frame in order, nothing missing, nothing
// inserted. Fed on the bus's thread under the unit's lock.
class RenderCheck {
 public:
  RenderCheck(uint32_t channels, uint32_t bytes, const Signal& signal, const std::vector<uint8_t>* wav,
              uint64_t lead, const SignalHistory* history)
      : ch_(channels),
        bytes_(bytes),
        signal_(signal),
        wav_(wav),
        lead_(lead),
        history_(history),
        expected_(channels * bytes) {}

  void packet(const uint8_t* data, size_t frames, size_t frame_bytes) {
    const size_t played = size_t(ch_) * bytes_;
    if (frame_bytes < played) {
      mismatch_ = true;
      return;
    }
    for (size_t f = 0; f < frames; ++f) {
      const uint8_t* p = data + f * frame_bytes;
      if (!started_) {
        if (silent(p, frame_bytes)) continue;
        started_ = true;
      }
      if (!mismatch_) {
        // The pin's channels as played, the device's further channels silent.
        if (std::memcmp(p, expected(received_), played) != 0 || !silent(p + played, frame_bytes - played))
          mismatch_ = true;
      }
      ++received_;
    }
  }
  bool exact() const { return started_ && received_ != 0 && !mismatch_; }
  uint64_t received() const { return received_; }

 private:
  static bool silent(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (p[i] != 0) return false;
    }
    return true;
  }
  const uint8_t* expected(uint64_t index) {
    if (wav_ != nullptr && !wav_->empty()) {
      const size_t frame = expected_.size();
      const size_t total = wav_->size() / frame;
      return wav_->data() + size_t((index + lead_) % total) * frame;
    }
    if (const uint8_t* kept = history_->frame(index)) return kept;
    signal_.frame(index, expected_.data());
    return expected_.data();
  }

  uint32_t ch_, bytes_;
  Signal signal_;  // the bus thread's own
  const std::vector<uint8_t>* wav_;
  uint64_t lead_;
  const SignalHistory* history_;
  std::vector<uint8_t> expected_;
  bool started_ = false;
  bool mismatch_ = false;
  uint64_t received_ = 0;
};

struct Wav {
  uint32_t channels = 0, bits = 0, rate = 0;
  std::vector<uint8_t> data;
};

bool read_wav(const std::string& path, Wav* wav, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u16 = [&](size_t o) { return uint32_t(b[o] | b[o + 1] << 8); };
  auto u32 = [&](size_t o) {
    return uint32_t(b[o] | b[o + 1] << 8 | b[o + 2] << 16 | uint32_t(b[o + 3]) << 24);
  };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
    *error = path + ": not a RIFF WAVE file";
    return false;
  }
  bool fmt = false;
  for (size_t o = 12; o + 8 <= b.size();) {
    uint32_t size = u32(o + 4);
    if (size > b.size() - o - 8) size = uint32_t(b.size() - o - 8);
    if (std::memcmp(b.data() + o, "fmt ", 4) == 0 && size >= 16) {
      uint32_t tag = u16(o + 8);
      if (tag != 1 && tag != 0xFFFE) {
        *error = path + ": only PCM WAVE files can be played";
        return false;
      }
      wav->channels = u16(o + 10);
      wav->rate = u32(o + 12);
      wav->bits = u16(o + 22);
      fmt = true;
    } else if (std::memcmp(b.data() + o, "data", 4) == 0 && fmt) {
      wav->data.assign(b.begin() + long(o + 8), b.begin() + long(o + 8 + size));
      return true;
    }
    o += 8 + size + (size & 1);
  }
  *error = path + ": no format or data chunk";
  return false;
}

class WavWriter {
 public:
  bool open(const std::string& path, uint32_t channels, uint32_t bits, uint32_t rate) {
    out_.open(path, std::ios::binary | std::ios::trunc);
    channels_ = channels;
    bits_ = bits;
    rate_ = rate;
    header(0);
    return bool(out_);
  }
  void write(const uint8_t* p, size_t n) {
    out_.write(reinterpret_cast<const char*>(p), std::streamsize(n));
    bytes_ += n;
  }
  bool close() {
    if (!out_.is_open()) return true;
    out_.seekp(0);
    header(bytes_);
    out_.close();
    return !out_.fail();
  }

 private:
  void header(uint64_t data) {
    uint8_t h[44] = {'R', 'I', 'F', 'F', 0,   0,  0, 0, 'W', 'A', 'V',
                     'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,   1,   0};
    auto p32 = [&](int o, uint32_t v) { put_sample(h + o, 4, v); };
    auto p16 = [&](int o, uint32_t v) { put_sample(h + o, 2, v); };
    p32(4, uint32_t(36 + data));
    p16(22, channels_);
    p32(24, rate_);
    p32(28, rate_ * channels_ * bits_ / 8);
    p16(32, channels_ * bits_ / 8);
    p16(34, bits_);
    std::memcpy(h + 36, "data", 4);
    p32(40, uint32_t(data));
    out_.write(reinterpret_cast<const char*>(h), 44);
  }
  std::ofstream out_;
  uint32_t channels_ = 0, bits_ = 0, rate_ = 0;
  uint64_t bytes_ = 0;
};

// A queued frame and its buffer (the header first: a completed header is
// its buffer).
struct Buffer {
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> data;
};

struct Formats {
  std::vector<uint8_t> render, capture;
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

// Largest channel count of a direction and the largest resolution offered with it.
void largest_format(const AltSettingSlot* slots, uint32_t* channels, uint32_t* bits) {
  *channels = 0;
  *bits = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (!SlotIsPcm(&slots[i])) continue;
    uint32_t c = SlotChannels(&slots[i]), b = SlotBits(&slots[i]);
    if (c > *channels || (c == *channels && b > *bits)) {
      *channels = c;
      *bits = b;
    }
  }
}

// The capture format that goes with a render format: the same channel
// count and resolution when the unit captures it, else its widest capture
// format of that resolution.
bool capture_shape(const AltSettingSlot* slots, uint32_t channels, uint32_t bits, uint32_t* out) {
  uint32_t best = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (!SlotIsPcm(&slots[i]) || SlotBits(&slots[i]) != bits) continue;
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

NTSTATUS set_state(PKSPIN pin, KSSTATE from, KSSTATE to) {
  NTSTATUS status = STATUS_SUCCESS;
  int step = to > from ? 1 : -1;
  for (int s = int(from) + step; NT_SUCCESS(status); s += step) {
    status = ks::pin_set_state(pin, KSSTATE(s));
    if (s == int(to)) break;
  }
  return status;
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
  void fill_render(Buffer* b);
  void check_capture(const Buffer& b);
  void feed_frames(PKSPIN pin, std::vector<std::unique_ptr<Buffer>>* buffers, bool render);

  const StreamOptions& o_;
  StreamReport* r_;
  uint32_t ch_ = 0, bits_ = 0, rate_ = 0, cap_ch_ = 0;
  uint32_t bytes_ = 0;             // container bytes of a sample
  uint32_t valid_ = 0;             // valid bits of a sample
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
};

void Session::fill_render(Buffer* b) {
  const uint32_t frame_bytes = ch_ * bytes_;
  const uint32_t frames = rate_ * kFrameMs / 1000;
  b->data.resize(size_t(frames) * frame_bytes);
  uint8_t* p = b->data.data();
  for (uint32_t f = 0; f < frames; ++f, ++render_frame_) {
    if (!wav_.data.empty()) {
      const size_t total = wav_.data.size() / frame_bytes;
      std::memcpy(p, wav_.data.data() + size_t(render_frame_ % total) * frame_bytes, frame_bytes);
      p += frame_bytes;
      continue;
    }
    history_.make(p);
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

  // Formats.
  ch_ = o_.channels;
  bits_ = o_.bits;
  rate_ = o_.rate;
  if (ch_ == 0) largest_format(ctx->Topology.RenderSlots, &ch_, &bits_);
  if (!wav_.data.empty() && (wav_.channels != ch_ || wav_.bits != bits_ || wav_.rate != rate_)) {
    return fail(error, o_.play + ": the file's format is not the stream's (" + std::to_string(ch_) + ":" +
                           std::to_string(bits_) + ":" + std::to_string(rate_) + ")");
  }
  bytes_ = bits_ / 8;
  valid_ = bits_;
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
  if (capture && !capture_shape(ctx->Topology.CaptureSlots, ch_, bits_, &cap_ch_)) cap_ch_ = 0;
  NTSTATUS status;
  PKSFILTER filter = ks::filter_create(device, 0, &status);
  if (filter == nullptr) return fail(error, "the filter could not be opened");
  Formats formats;
  status = intersect(filter, kRenderPin, ch_, bits_, rate_, &formats.render);
  if (!NT_SUCCESS(status)) {
    ks::filter_close(filter);
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", unsigned(status));
    return fail(error, "the render pin offers no format for " + std::to_string(ch_) + ":" +
                           std::to_string(bits_) + ":" + std::to_string(rate_) + " (" + code + ")");
  }
  if (cap_ch_ != 0 && !NT_SUCCESS(intersect(filter, kCapturePin, cap_ch_, bits_, rate_, &formats.capture)))
    cap_ch_ = 0;
  // The format the driver offered may carry the resolution in a wider
  // container (24 valid bits in 32): the pins stream that container.
  {
    const auto* offered = reinterpret_cast<const AUDIO_FORMAT*>(formats.render.data());
    const WAVEFORMATEX& w = offered->WaveFormatExt.Format;
    bytes_ = w.wBitsPerSample / 8u;
    valid_ = formats.render.size() >= sizeof(AUDIO_FORMAT) && w.wFormatTag == WAVE_FORMAT_EXTENSIBLE
                 ? offered->WaveFormatExt.Samples.wValidBitsPerSample
                 : w.wBitsPerSample;
    if (bytes_ == 0 || bytes_ > 4 || valid_ == 0 || valid_ > bytes_ * 8) {
      ks::filter_close(filter);  // the stack may outlive the session
      return fail(error, "the render pin offered a format of an unusable sample size");
    }
  }
  expected_.assign(size_t(ch_) * bytes_, 0);
  signal_.reset(o_.music, ch_, bytes_, valid_, rate_);
  history_.reset(signal_, expected_.size(), rate_);  // one second
  RenderCheck render_check(ch_, bytes_, signal_, &wav_.data, wav_lead_, &history_);
  stack.set_render_tap([&render_check](const uint8_t* data, size_t frames, size_t frame_bytes) {
    render_check.packet(data, frames, frame_bytes);
  });
  struct TapGuard {
    DriverStack& stack;
    ~TapGuard() { stack.set_render_tap(nullptr); }
  } tap_guard{stack};
  PKSPIN render =
      ks::pin_create(filter, kRenderPin, reinterpret_cast<KSDATAFORMAT*>(formats.render.data()), &status);
  if (render == nullptr) {
    ks::filter_close(filter);
    return fail(error, "the render pin refused its format");
  }
  PKSPIN capture_pin = nullptr;
  if (cap_ch_ != 0) {
    capture_pin =
        ks::pin_create(filter, kCapturePin, reinterpret_cast<KSDATAFORMAT*>(formats.capture.data()), &status);
    if (capture_pin == nullptr) cap_ch_ = 0;
  }
  if (!o_.record.empty() && cap_ch_ != 0) recording_ = recorder_.open(o_.record, cap_ch_, bits_, rate_);

  r_->channels = ch_;
  r_->bits = bits_;
  r_->rate = rate_;
  r_->capture_channels = cap_ch_;
  r_->high_speed = o_.high_speed;
  r_->drift_ppm = o_.drift_ppm;
  r_->loopback = o_.loopback;

  // STOP -> ACQUIRE -> PAUSE; frames queued; RUN.
  bool ok = true;
  if (capture_pin != nullptr && !NT_SUCCESS(set_state(capture_pin, KSSTATE_STOP, KSSTATE_PAUSE))) ok = false;
  if (ok && !NT_SUCCESS(set_state(render, KSSTATE_STOP, KSSTATE_PAUSE))) ok = false;
  std::vector<std::unique_ptr<Buffer>> render_buffers, capture_buffers;
  for (int i = 0; ok && i < kFramesQueued; ++i) {
    render_buffers.push_back(std::make_unique<Buffer>());
    fill_render(render_buffers.back().get());
    ks::pin_submit(render, &render_buffers.back()->header);
    if (capture_pin != nullptr) {
      auto b = std::make_unique<Buffer>();
      b->data.assign(size_t(rate_) * kFrameMs / 1000 * cap_ch_ * bytes_, 0);
      b->header.Size = sizeof(KSSTREAM_HEADER);
      b->header.Data = b->data.data();
      b->header.FrameExtent = ULONG(b->data.size());
      ks::pin_submit(capture_pin, &b->header);
      capture_buffers.push_back(std::move(b));
    }
  }
  const uint64_t rendered_before = render_frame_;
  const double cpu_start = process_cpu_seconds();
  const uint64_t start_ns = clock.now_ns();
  const uint64_t end_ns = o_.seconds > 0 ? start_ns + uint64_t(o_.seconds * 1e9) : Clock::kForever;
  const uint64_t submissions_start = stack.bus()->iso_submissions();
  if (o_.refuse_endpoint != 0)
    stack.bus()->refuse_iso(o_.refuse_endpoint, start_ns + uint64_t(o_.refuse_seconds * 1e9), 1000000);
  if (ok && capture_pin != nullptr && !NT_SUCCESS(ks::pin_set_state(capture_pin, KSSTATE_RUN))) ok = false;
  if (ok && !NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN))) ok = false;
  const uint64_t allocations_start = verifier::pool_allocations_total();

  uint64_t seen_render = 0, seen_capture = 0;
  uint64_t rendered_bytes = 0, captured_bytes = 0;
  bool paused = false, unplugged = false, cycled = false;
  const uint64_t half_ns = start_ns + (end_ns - start_ns) / 2;
  while (ok && clock.now_ns() < end_ns && !stopped()) {
    const uint64_t deadline = (o_.pause_halfway || o_.unplug_halfway || o_.power_cycle_halfway) && !paused &&
                                      !unplugged && !cycled && half_ns > clock.now_ns()
                                  ? half_ns
                                  : end_ns;
    clock.wait(
        [&] {
          return ks::pin_completions(render) != seen_render ||
                 (capture_pin != nullptr && ks::pin_completions(capture_pin) != seen_capture) || stopped();
        },
        deadline);
    seen_render = ks::pin_completions(render);
    if (capture_pin != nullptr) seen_capture = ks::pin_completions(capture_pin);
    while (KSSTREAM_HEADER* h = ks::pin_take_completed(render)) {
      rendered_bytes += h->DataUsed;
      Buffer* b = reinterpret_cast<Buffer*>(h);
      fill_render(b);
      ks::pin_submit(render, &b->header);
    }
    while (capture_pin != nullptr) {
      KSSTREAM_HEADER* h = ks::pin_take_completed(capture_pin);
      if (h == nullptr) break;
      captured_bytes += h->DataUsed;
      Buffer* b = reinterpret_cast<Buffer*>(h);
      if (o_.loopback) check_capture(*b);
      if (recording_) recorder_.write(b->data.data(), h->DataUsed);
      h->DataUsed = 0;
      ks::pin_submit(capture_pin, h);
    }
    const uint64_t delay = QuenbyRenderDelay(ctx);
    if (delay > r_->max_render_delay_frames) r_->max_render_delay_frames = delay;
    if (clock.now_ns() >= half_ns && !paused && o_.pause_halfway) {
      paused = true;
      ok = NT_SUCCESS(ks::pin_set_state(render, KSSTATE_PAUSE)) &&
           NT_SUCCESS(ks::pin_set_state(render, KSSTATE_RUN));
    }
    if (clock.now_ns() >= half_ns && !cycled && o_.power_cycle_halfway) {
      // D3 and back with the pins in RUN: the streams must run again.
      cycled = true;
      ok = NT_SUCCESS(stack.set_power(4)) && NT_SUCCESS(stack.set_power(1));
    }
    if (clock.now_ns() >= half_ns && !unplugged && o_.unplug_halfway) {
      unplugged = true;
      stack.surprise_remove();
    }
  }
  r_->allocations_while_streaming = verifier::pool_allocations_total() - allocations_start;
  r_->iso_submissions = stack.bus()->iso_submissions() - submissions_start;
  r_->simulated_seconds = double(clock.now_ns() - start_ns) / 1e9;
  r_->cpu_seconds = process_cpu_seconds() - cpu_start;

  // RUN -> PAUSE -> ACQUIRE -> STOP, render first.
  NTSTATUS stop = set_state(render, render->DeviceState, KSSTATE_STOP);
  if (capture_pin != nullptr && NT_SUCCESS(stop))
    stop = set_state(capture_pin, capture_pin->DeviceState, KSSTATE_STOP);
  if (!NT_SUCCESS(stop) && !unplugged) ok = false;
  while (ks::pin_take_completed(render) != nullptr) {
  }
  r_->rendered_frames = rendered_bytes / (ch_ * bytes_);
  (void)rendered_before;
  r_->captured_frames = cap_ch_ != 0 ? captured_bytes / (cap_ch_ * bytes_) : 0;
  r_->underrun_events = ctx->RenderUnderrunEvents;
  const StreamCounters& c = ctx->Counters;
  const uint32_t counters[7] = {c.RenderUnderruns, c.RenderLateStarts,   c.Reserved1, c.CaptureLateStarts,
                                c.Reserved2,       c.FeedbackLateStarts, c.Reserved3};
  std::memcpy(r_->stream_counters, counters, sizeof(counters));
  r_->late_render = c.RenderLateStarts / 8;
  r_->late_capture = c.CaptureLateStarts / 8;
  r_->late_feedback = c.FeedbackLateStarts / 8;
  r_->loopback_frames_compared = capture_index_;
  r_->loopback_bit_exact = o_.loopback && capture_started_ && capture_index_ > 0 && !mismatch_;
  AudioCounters unit_counters = stack.audio_counters();  // after the unit's last packet
  r_->unit_render_underflows = unit_counters.render_underflows;
  r_->unit_render_overflows = unit_counters.render_overflows;
  r_->unit_bad_packets = unit_counters.render_bad_packets;
  r_->render_bit_exact = render_check.exact() && unit_counters.render_bad_packets == 0;
  r_->unit_received_frames = render_check.received();

  if (capture_pin != nullptr) ks::pin_close(capture_pin);
  ks::pin_close(render);
  ks::filter_close(filter);
  if (recording_ && !recorder_.close()) return fail(error, "cannot write " + o_.record);
  if (!ok) return fail(error, unplugged ? "the unit went away" : "a pin state change failed");
  return true;
}

std::string number(double v) {
  char b[32];
  std::snprintf(b, sizeof(b), "%.6g", v);
  return b;
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

std::string stream_report_json(const StreamReport& r) {
  std::string j = "{";
  j += "\"simulated_seconds\": " + number(r.simulated_seconds);
  j += ", \"format\": {\"channels\": " + std::to_string(r.channels) +
       ", \"bits\": " + std::to_string(r.bits) + ", \"rate\": " + std::to_string(r.rate) + "}";
  j += std::string(", \"speed\": \"") + (r.high_speed ? "high" : "full") + "\"";
  j += ", \"drift_ppm\": " + number(r.drift_ppm);
  j += ", \"rendered_frames\": " + std::to_string(r.rendered_frames);
  j += ", \"captured_frames\": " + std::to_string(r.captured_frames);
  j += ", \"underrun_events\": " + std::to_string(r.underrun_events);
  j += ", \"late_starts\": {\"render\": " + std::to_string(r.late_render) +
       ", \"capture\": " + std::to_string(r.late_capture) +
       ", \"feedback\": " + std::to_string(r.late_feedback) + "}";
  j += ", \"stream_counters\": [";
  for (int i = 0; i < 7; ++i) j += (i ? ", " : "") + std::to_string(r.stream_counters[i]);
  j += "]";
  j += ", \"allocations_while_streaming\": " + std::to_string(r.allocations_while_streaming);
  j += std::string(", \"loopback_bit_exact\": ") +
       (r.loopback ? (r.loopback_bit_exact ? "true" : "false") : "null");
  j += ", \"max_render_delay_frames\": " + std::to_string(r.max_render_delay_frames);
  j += ", \"cpu_seconds\": " + number(r.cpu_seconds);
  j += ", \"capture_channels\": " + std::to_string(r.capture_channels);
  j += ", \"loopback_frames_compared\": " + std::to_string(r.loopback_frames_compared);
  j += ", \"unit_render_underflows\": " + std::to_string(r.unit_render_underflows);
  j += std::string(", \"render_bit_exact\": ") + (r.render_bit_exact ? "true" : "false");
  j += ", \"unit_received_frames\": " + std::to_string(r.unit_received_frames);
  j += std::string(", \"render_only\": ") + (r.render_only ? "true" : "false");
  j += "}";
  return j;
}

int run_stream(int argc, char** argv) {
  StreamOptions o;
  std::string report_file;
  UnitOptions unit;
  auto bad = [](const std::string& why) {
    std::fprintf(stderr, "korvel-devhost: %s\n", why.c_str());
    return 2;
  };
  ArgReader args(argc, argv);
  std::string v;
  while (args.next()) {
    const std::string& a = args.arg();
    if (a == "--stream") {
      if (!args.value(&v)) break;
      char* end = nullptr;
      o.seconds = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != 0 || !(o.seconds > 0) || o.seconds > 86400)
        return bad("--stream wants seconds");
    } else if (a == "--format") {
      if (!args.value(&v) || std::sscanf(v.c_str(), "%u:%u:%u", &o.channels, &o.bits, &o.rate) != 3 ||
          o.channels == 0 || o.bits == 0 || o.bits % 8 != 0 || o.bits > 32 || o.rate == 0) {
        return bad("--format wants CH:BITS:RATE, e.g. 2:24:48000");
      }
    } else if (a == "--play") {
      args.value(&o.play);
    } else if (a == "--record") {
      args.value(&o.record);
    } else if (a == "--drift-ppm") {
      if (!args.value(&v)) break;
      char* end = nullptr;
      o.drift_ppm = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != 0 || o.drift_ppm < -10000 || o.drift_ppm > 10000)
        return bad("--drift-ppm wants parts per million");
    } else if (a == "--loopback") {
      o.loopback = true;
    } else if (a == "--render-only") {
      o.render_only = true;
    } else if (a == "--report") {
      args.value(&report_file);
    } else if (!args.shared(&unit)) {
      return bad("unknown option " + a + " for --stream");
    }
  }
  if (args.failed()) return bad(args.error());
  std::string why;
  if (!unit.descriptor_file.empty() && !load_descriptor(&unit, &why)) return bad(why);
  o.model = unit.model;
  o.high_speed = unit.high_speed;
  o.descriptor = unit.descriptor;
  o.rates = unit.rates;
  const std::string clock_mode = unit.clock.empty() ? "virtual" : unit.clock;
  Clock::instance().set_mode(clock_mode == "real" ? ClockMode::Real : ClockMode::Virtual);
  StreamReport report;
  std::string error;
  const bool ok = run_stream_session(o, &report, &error);
  if (!ok) std::fprintf(stderr, "korvel-devhost: %s\n", error.c_str());
  const std::string json = stream_report_json(report) + "\n";
  if (report_file.empty()) {
    std::fputs(json.c_str(), stdout);
  } else {
    std::ofstream out(report_file, std::ios::trunc);
    out << json;
    if (!out) {
      std::fprintf(stderr, "korvel-devhost: cannot write %s\n", report_file.c_str());
      return 1;
    }
  }
  return ok ? 0 : 1;
}

}  // namespace korvel::sim::devhost
