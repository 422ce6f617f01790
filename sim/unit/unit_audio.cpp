#include "unit_audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace korvel::sim {
namespace {

constexpr uint64_t kMaxCatchUpFrames = 8000;  // one second of microframes
constexpr unsigned kFifoMs = 50;
constexpr size_t kSineSize = 1024;

const int32_t* sine_table() {
  static int32_t table[kSineSize];
  static bool ready = [] {
    for (size_t i = 0; i < kSineSize; ++i)
      table[i] = int32_t(std::lround(std::sin(2 * M_PI * double(i) / kSineSize) * 0x7FFFFFFF));
    return true;
  }();
  (void)ready;
  return table;
}

}  // namespace

UnitAudio::UnitAudio() {
  configure(true, 48000, 0);
}

void UnitAudio::configure(bool high_speed, uint32_t rate, double drift_ppm) {
  std::lock_guard<std::mutex> l(m_);
  high_speed_ = high_speed;
  drift_ppm_ = drift_ppm;
  rate_ = 0;
  set_rate_locked(rate);
}

void UnitAudio::set_bus_speed(bool high_speed) {
  std::lock_guard<std::mutex> l(m_);
  if (high_speed == high_speed_) return;
  high_speed_ = high_speed;
  uint32_t r = rate_;
  rate_ = 0;
  set_rate_locked(r);
}

void UnitAudio::set_drift_ppm(double drift_ppm) {
  std::lock_guard<std::mutex> l(m_);
  drift_ppm_ = drift_ppm;
  uint32_t r = rate_;
  rate_ = 0;
  set_rate_locked(r);
}

bool UnitAudio::high_speed() const {
  std::lock_guard<std::mutex> l(m_);
  return high_speed_;
}

double UnitAudio::drift_ppm() const {
  std::lock_guard<std::mutex> l(m_);
  return drift_ppm_;
}

void UnitAudio::set_rate(uint32_t rate) {
  std::lock_guard<std::mutex> l(m_);
  set_rate_locked(rate);
}

void UnitAudio::set_rate_locked(uint32_t rate) {
  if (rate == rate_ && step_) return;
  rate_ = rate;
  reset_capture_locked();
  double per_frame = double(rate) * (1.0 + drift_ppm_ * 1e-6) / (high_speed_ ? 8000.0 : 1000.0);
  step_ = uint64_t(std::llround(per_frame * 4294967296.0));
  phase_ = 0;
}

void UnitAudio::set_render_format(const AudioFormat& f) {
  std::lock_guard<std::mutex> l(m_);
  render_ = f;
  size_t frames = size_t(rate_) * kFifoMs / 1000 + 1;
  fifo_.assign(frames * f.frame_bytes(), 0);
  fifo_read_ = fifo_fill_ = 0;
  playing_ = false;
  render_peak_.assign(f.channels, 0);
  render_last_.assign(f.channels, 0);
}

void UnitAudio::set_capture_format(const AudioFormat& f) {
  std::lock_guard<std::mutex> l(m_);
  capture_ = f;
  reset_capture_locked();
  capture_peak_.assign(f.channels, 0);
  capture_last_.assign(f.channels, 0);
}

void UnitAudio::reset_capture_locked() {
  // The ring holds the newest 100 ms; the sine phases start at the frame
  // the generator is at (allocated here, never while streaming).
  captured_capacity_ = std::max<size_t>(1, rate_ / 10);
  captured_.assign(captured_capacity_ * capture_.channels, 0);
  captured_read_ = 0;
  captured_frames_ = 0;
  phases_.resize(capture_.channels);
  const uint64_t rate = rate_ ? rate_ : 48000;
  for (unsigned c = 0; c < capture_.channels; ++c) {
    const uint64_t step = uint64_t(110) * (c + 1) * kSineSize;  // pitch x table size per sample
    const uint64_t q = capture_index_ * step;
    phases_[c] = SinePhase{q / rate, q % rate, step / rate, step % rate};
  }
}

void UnitAudio::set_feedback_wander(double samples) {
  std::lock_guard<std::mutex> l(m_);
  wander_range_ = samples <= 0 ? 0 : uint64_t(samples * 4294967296.0);
  last_offset_ = 0;
}

void UnitAudio::set_render_tap(RenderTap tap) {
  std::lock_guard<std::mutex> l(m_);
  render_tap_ = std::move(tap);
}

void UnitAudio::set_loopback(bool on) {
  std::lock_guard<std::mutex> l(m_);
  loopback_ = on;
}

double UnitAudio::samples_per_frame() const {
  std::lock_guard<std::mutex> l(m_);
  return double(step_) / 4294967296.0;
}

AudioCounters UnitAudio::counters() const {
  std::lock_guard<std::mutex> l(m_);
  return counters_;
}

int32_t UnitAudio::read_sample(const uint8_t* p, unsigned bytes) {
  // The common widths straight (this runs for every sample the unit moves).
  if (bytes == 3) return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
  if (bytes == 4)
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
  uint32_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v |= uint32_t(p[i]) << (8 * i);
  // Left-justify into 32 bits so every width shares one scale.
  return int32_t(v << (32 - 8 * bytes));
}

void UnitAudio::write_sample(uint8_t* p, unsigned bytes, int32_t v) {
  const uint32_t w = uint32_t(v);
  if (bytes == 3) {
    p[0] = uint8_t(w >> 8);
    p[1] = uint8_t(w >> 16);
    p[2] = uint8_t(w >> 24);
    return;
  }
  uint32_t u = w >> (32 - 8 * bytes);
  for (unsigned i = 0; i < bytes; ++i) p[i] = uint8_t(u >> (8 * i));
}

static uint16_t meter_of(int32_t v) {
  int64_t a = v < 0 ? -int64_t(v) : int64_t(v);
  a >>= 16;
  return uint16_t(a > 32767 ? 32767 : a);
}

void UnitAudio::run_frames(uint64_t n) {
  // The converters: n sample periods of the unit's clock.
  unsigned rb = render_.frame_bytes();
  size_t fifo_frames = rb ? fifo_.size() / rb : 0;
  // Prefill before playing: 1 ms at high speed (eight packets), two
  // packets at full speed, where one packet is the whole millisecond and
  // the FIFO would touch empty before every packet.
  const size_t prefill = std::max<size_t>(1, rate_ / 1000) * (high_speed_ ? 1 : 2);
  const uint32_t window = std::max<uint32_t>(1, rate_ / 10);
  for (uint64_t s = 0; s < n; ++s) {
    bool have = false;
    if (rb) {
      if (!playing_ && fifo_fill_ >= prefill) playing_ = true;
      if (playing_) {
        if (fifo_fill_ > 0) {
          have = true;
        } else {
          ++counters_.render_underflows;
          playing_ = false;  // prefill again before playing on
        }
      }
    }
    const uint8_t* frame = have ? &fifo_[fifo_read_ * rb] : nullptr;
    if (frame) {
      for (unsigned c = 0; c < render_.channels; ++c)
        render_peak_[c] = std::max(
            render_peak_[c], meter_of(read_sample(frame + c * render_.subslot_bytes, render_.subslot_bytes)));
      ++counters_.render_frames_played;
    }
    if (capture_.channels) {
      // Into the ring; when it is full the oldest frame makes room.
      if (captured_frames_ == captured_capacity_) {
        captured_read_ = captured_read_ + 1 == captured_capacity_ ? 0 : captured_read_ + 1;
        --captured_frames_;
      }
      size_t slot = captured_read_ + captured_frames_;
      if (slot >= captured_capacity_) slot -= captured_capacity_;
      int32_t* out = &captured_[slot * capture_.channels];
      const int32_t* sine = sine_table();
      const uint64_t rate = rate_ ? rate_ : 48000;  // hoisted by the compiler
      for (unsigned c = 0; c < capture_.channels; ++c) {
        int32_t v;
        if (loopback_) {
          v = (frame && c < render_.channels)
                  ? read_sample(frame + c * render_.subslot_bytes, render_.subslot_bytes)
                  : 0;
        } else {
          SinePhase& ph = phases_[c];
          v = sine[ph.quotient % kSineSize] / 4;
          ph.quotient += ph.step_quotient;
          ph.remainder += ph.step_remainder;
          if (ph.remainder >= rate) {
            ph.remainder -= rate;
            ++ph.quotient;
          }
        }
        out[c] = v;
        capture_peak_[c] = std::max(capture_peak_[c], meter_of(v));
      }
      ++captured_frames_;
      ++capture_index_;
    }
    if (frame) {
      if (++fifo_read_ == fifo_frames) fifo_read_ = 0;
      --fifo_fill_;
    }
    if (++window_samples_ >= window) {
      window_samples_ = 0;
      render_last_ = render_peak_;
      capture_last_ = capture_peak_;
      std::fill(render_peak_.begin(), render_peak_.end(), 0);
      std::fill(capture_peak_.begin(), capture_peak_.end(), 0);
    }
  }
}

void UnitAudio::advance_to(uint64_t frame) {
  if (!clock_started_) {
    clock_started_ = true;
    clock_frame_ = frame;
    return;
  }
  if (frame <= clock_frame_) return;
  uint64_t frames = frame - clock_frame_;
  if (frames > kMaxCatchUpFrames) frames = kMaxCatchUpFrames;  // a long idle gap: the past is silence anyway
  clock_frame_ = frame;
  for (uint64_t f = 0; f < frames; ++f) {
    phase_ += step_;
    uint64_t n = phase_ >> 32;
    phase_ &= 0xFFFFFFFFull;
    run_frames(n);
  }
}

void UnitAudio::render_packet(uint64_t frame, const uint8_t* data, size_t len) {
  std::lock_guard<std::mutex> l(m_);
  advance_to(frame);
  unsigned rb = render_.frame_bytes();
  if (!rb) return;
  if (len % rb) {
    ++counters_.render_bad_packets;
    return;
  }
  size_t fifo_frames = fifo_.size() / rb;
  size_t n = len / rb;
  counters_.render_frames_received += n;
  if (render_tap_ && n != 0) render_tap_(data, n, rb);
  for (size_t i = 0; i < n; ++i) {
    if (fifo_fill_ == fifo_frames) {
      counters_.render_overflows += n - i;
      break;
    }
    size_t w = (fifo_read_ + fifo_fill_) % fifo_frames;
    std::memcpy(&fifo_[w * rb], data + i * rb, rb);
    ++fifo_fill_;
  }
}

size_t UnitAudio::capture_packet(uint64_t frame, uint8_t* out, size_t capacity) {
  std::lock_guard<std::mutex> l(m_);
  advance_to(frame);
  unsigned cb = capture_.frame_bytes();
  if (!cb) return 0;
  size_t n = std::min(captured_frames_, capacity / cb);
  const unsigned bytes = capture_.subslot_bytes;
  for (size_t i = 0; i < n; ++i) {
    const int32_t* in = &captured_[captured_read_ * capture_.channels];
    uint8_t* p = out + i * cb;
    for (unsigned c = 0; c < capture_.channels; ++c, p += bytes) write_sample(p, bytes, in[c]);
    captured_read_ = captured_read_ + 1 == captured_capacity_ ? 0 : captured_read_ + 1;
  }
  captured_frames_ -= n;
  counters_.capture_frames += n;
  return n * cb;
}

size_t UnitAudio::feedback_packet(uint64_t frame, uint8_t* out, size_t capacity) {
  std::lock_guard<std::mutex> l(m_);
  advance_to(frame);
  // The rate the converters consume at, measured against the bus clock, as
  // a real unit measures it: over a window that does not line up with the
  // frames, so each value wanders around the true rate by up to a quarter
  // sample (when wander is on). The wander of one value is taken back by the
  // next (the values sum to the true consumption).
  const uint64_t range = wander_range_;  // 32.32 fraction of a sample
  int64_t offset = 0;
  if (range != 0) {
    wander_ = wander_ * 6364136223846793005ull + 1442695040888963407ull;
    offset = int64_t((wander_ >> 33) % (2 * range + 1)) - int64_t(range);
  }
  int64_t measured = int64_t(step_) + offset - last_offset_;
  last_offset_ = offset;
  // Such a unit keeps its FIFO centred, as asynchronous units do: a FIFO
  // below its working level asks for a little more (1/256 sample a frame
  // for each frame missing, at most half a sample), above it for less.
  const unsigned rb = render_.frame_bytes();
  if (range != 0 && playing_ && rb != 0) {
    const int64_t prefill = int64_t(std::max<size_t>(1, rate_ / 1000) * (high_speed_ ? 1 : 2));
    const int64_t error = prefill * 3 / 2 - int64_t(fifo_fill_);
    int64_t correction = error * (int64_t(1) << 24);
    const int64_t half = int64_t(1) << 31;
    correction = std::max(-half, std::min(half, correction));
    measured += correction;
  }
  uint32_t v = high_speed_ ? uint32_t(measured >> 16) : uint32_t(measured >> 18) & 0xFFFFFF;
  size_t bytes = high_speed_ ? 4 : 3;
  if (capacity < bytes) return 0;
  for (size_t i = 0; i < bytes; ++i) out[i] = uint8_t(v >> (8 * i));
  return bytes;
}

int UnitAudio::render_level(unsigned channel) const {
  std::lock_guard<std::mutex> l(m_);
  if (channel >= render_last_.size() || !playing_) return -1;
  return render_last_[channel];
}

int UnitAudio::capture_level(unsigned channel) const {
  std::lock_guard<std::mutex> l(m_);
  if (channel >= capture_last_.size()) return -1;
  return capture_last_[channel];
}

}  // namespace korvel::sim
