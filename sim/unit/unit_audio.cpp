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

uint64_t UnitAudio::SampleClock::tick() {
  phase += step;
  const uint64_t n = phase >> 32;
  phase &= 0xFFFFFFFFull;
  return n;
}

void UnitAudio::configure(bool high_speed, uint32_t rate, double drift_ppm) {
  std::lock_guard<std::mutex> l(m_);
  high_speed_ = high_speed;
  drift_ppm_ = drift_ppm;
  render_clock_.step = capture_clock_.step = 0;
  set_rates_locked(rate, rate, true);
}

void UnitAudio::set_bus_speed(bool high_speed) {
  std::lock_guard<std::mutex> l(m_);
  if (high_speed == high_speed_) return;
  high_speed_ = high_speed;
  retune_locked(&render_clock_, render_clock_.rate, true);
  retune_locked(&capture_clock_, capture_clock_.rate, true);
}

void UnitAudio::set_drift_ppm(double drift_ppm) {
  std::lock_guard<std::mutex> l(m_);
  drift_ppm_ = drift_ppm;
  retune_locked(&render_clock_, render_clock_.rate, true);
  retune_locked(&capture_clock_, capture_clock_.rate, true);
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
  set_rates_locked(rate, rate, true);
}

void UnitAudio::set_rates(uint32_t render_rate, uint32_t capture_rate, bool shared) {
  std::lock_guard<std::mutex> l(m_);
  set_rates_locked(render_rate, shared ? render_rate : capture_rate, shared);
}

uint32_t UnitAudio::render_rate() const {
  std::lock_guard<std::mutex> l(m_);
  return render_clock_.rate;
}

uint32_t UnitAudio::capture_rate() const {
  std::lock_guard<std::mutex> l(m_);
  return capture_clock_.rate;
}

void UnitAudio::set_feedback_format(FeedbackFormat f) {
  std::lock_guard<std::mutex> l(m_);
  feedback_format_ = f;
}

FeedbackFormat UnitAudio::feedback_format() const {
  std::lock_guard<std::mutex> l(m_);
  return feedback_format_;
}

void UnitAudio::retune_locked(SampleClock* c, uint32_t rate, bool force) {
  if (!force && rate == c->rate && c->step != 0) return;
  c->rate = rate;
  const double drift = c->locked ? 0 : drift_ppm_ * 1e-6;
  const double per_frame = double(rate) * (1.0 + drift) / (high_speed_ ? 8000.0 : 1000.0);
  c->base = c->step = uint64_t(std::llround(per_frame * 4294967296.0));
  c->phase = 0;
}

void UnitAudio::update_sync_locked() {
  // USB 2.0, 5.12.4.1: a synchronous endpoint's clock is the bus's frame
  // clock, an adaptive source's too (the host's rate); an adaptive sink
  // follows the data rate it receives; an asynchronous one runs from the
  // unit's crystal. One clock source behind both directions is one clock.
  const bool render_on = render_.channels != 0, capture_on = capture_.channels != 0;
  bool render_locked = render_on && render_.sync == 3;
  bool capture_locked = capture_on && (capture_.sync == 3 || capture_.sync == 2);
  if (shared_) render_locked = capture_locked = render_locked || capture_locked;
  follows_host_ = render_on && !render_locked && (render_.sync == 2 || render_.sync == 0);
  SampleClock* clocks[2] = {&render_clock_, &capture_clock_};
  const bool locks[2] = {render_locked, capture_locked};
  for (int i = 0; i < 2; ++i) {
    if (clocks[i]->locked == locks[i]) continue;
    clocks[i]->locked = locks[i];
    retune_locked(clocks[i], clocks[i]->rate, true);
  }
  if (shared_) capture_clock_.phase = render_clock_.phase;
}

void UnitAudio::follow_host_locked() {
  // The working level as for the explicit feedback below; 1/4096 of the
  // rate faster per frame above it (slower below), at most 1/256: about
  // four frames off it at 1000 ppm.
  if (!follows_host_ || !playing_) return;
  const int64_t error = int64_t(fifo_fill_) - int64_t(prefill_frames()) * 3 / 2;
  const int64_t base = int64_t(render_clock_.base);
  const int64_t limit = base / 256;
  const int64_t correction = std::max(-limit, std::min(limit, error * base / 4096));
  render_clock_.step = uint64_t(base + correction);
}

void UnitAudio::set_rates_locked(uint32_t render_rate, uint32_t capture_rate, bool shared) {
  const bool capture_changed = capture_rate != capture_clock_.rate || capture_clock_.step == 0;
  retune_locked(&render_clock_, render_rate, false);
  retune_locked(&capture_clock_, capture_rate, false);
  if (shared) capture_clock_.phase = render_clock_.phase;
  shared_ = shared;
  update_sync_locked();
  if (capture_changed) reset_capture_locked();
}

void UnitAudio::set_render_format(const AudioFormat& f) {
  std::lock_guard<std::mutex> l(m_);
  render_ = f;
  update_sync_locked();
  size_t frames = size_t(render_clock_.rate) * kFifoMs / 1000 + 1;
  fifo_.assign(frames * f.frame_bytes(), 0);
  last_played_.assign(f.frame_bytes(), 0);
  fifo_read_ = fifo_fill_ = 0;
  playing_ = false;
  render_peak_.reset(f.channels);
  render_last_.assign(f.channels, 0);
}

void UnitAudio::set_capture_format(const AudioFormat& f) {
  std::lock_guard<std::mutex> l(m_);
  capture_ = f;
  update_sync_locked();
  reset_capture_locked();
  capture_peak_.reset(f.channels);
  capture_last_.assign(f.channels, 0);
}

void UnitAudio::reset_capture_locked() {
  // The ring holds the newest 100 ms; the sine phases start at the frame
  // the generator is at (allocated here, never while streaming).
  captured_capacity_ = std::max<size_t>(1, capture_clock_.rate / 10);
  captured_.assign(captured_capacity_ * capture_.channels, 0);
  captured_read_ = 0;
  captured_frames_ = 0;
  phases_.resize(capture_.channels);
  const uint64_t rate = capture_clock_.rate ? capture_clock_.rate : 48000;
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
  return double(render_clock_.step) / 4294967296.0;
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

void UnitAudio::Extremes::close(std::vector<uint16_t>* last) {
  // The meter value grows with the magnitude on either side of zero: the
  // window's peak is that of its highest or of its lowest sample.
  for (size_t c = 0; c < high.size() && c < last->size(); ++c)
    (*last)[c] = std::max(meter_of(high[c]), meter_of(low[c]));
  std::fill(high.begin(), high.end(), 0);
  std::fill(low.begin(), low.end(), 0);
}

size_t UnitAudio::prefill_frames() const {
  // 1 ms, and never less than two packets: packet sizes vary by a frame as
  // the host paces them, and a FIFO started on one packet of a data
  // endpoint served once a millisecond (every frame at full speed, every
  // eighth microframe at high speed) would touch empty before every packet.
  const size_t per_ms = high_speed_ ? 8 : 1;  // bus intervals
  const size_t span = std::max<size_t>(per_ms, 2 * size_t(std::max(1u, render_.packet_intervals)));
  return std::max<size_t>(1, render_clock_.rate / 1000) * span / per_ms;
}

const uint8_t* UnitAudio::play_one() {
  // The converters take one frame from the FIFO once it holds the prefill.
  const unsigned rb = render_.frame_bytes();
  const uint8_t* frame = nullptr;
  if (rb) {
    const size_t prefill = prefill_frames();
    if (!playing_ && fifo_fill_ >= prefill) playing_ = true;
    if (playing_) {
      if (fifo_fill_ > 0) {
        frame = &fifo_[fifo_read_ * rb];
      } else {
        ++counters_.render_underflows;
        playing_ = false;  // prefill again before playing on
      }
    }
  }
  if (frame) {
    // The extremes of each channel (this runs for every sample played: the
    // common sample widths without a call per sample).
    const unsigned n = render_.channels, bytes = render_.subslot_bytes;
    int32_t* high = render_peak_.high.data();
    int32_t* low = render_peak_.low.data();
    const uint8_t* p = frame;
    if (bytes == 3) {
      for (unsigned c = 0; c < n; ++c, p += 3) {
        const int32_t v = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
        high[c] = std::max(high[c], v);
        low[c] = std::min(low[c], v);
      }
    } else {
      for (unsigned c = 0; c < n; ++c, p += bytes) {
        const int32_t v = read_sample(p, bytes);
        high[c] = std::max(high[c], v);
        low[c] = std::min(low[c], v);
      }
    }
    ++counters_.render_frames_played;
  }
  if (++render_window_ >= std::max<uint32_t>(1, render_clock_.rate / 10)) {
    render_window_ = 0;
    render_peak_.close(&render_last_);
  }
  return frame;
}

void UnitAudio::capture_one(const uint8_t* frame) {
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
    const uint64_t rate = capture_clock_.rate ? capture_clock_.rate : 48000;  // hoisted by the compiler
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
      capture_peak_.high[c] = std::max(capture_peak_.high[c], v);
      capture_peak_.low[c] = std::min(capture_peak_.low[c], v);
    }
    ++captured_frames_;
    ++capture_index_;
  }
  if (++capture_window_ >= std::max<uint32_t>(1, capture_clock_.rate / 10)) {
    capture_window_ = 0;
    capture_peak_.close(&capture_last_);
  }
}

void UnitAudio::run_frames(uint64_t n, bool render, bool capture) {
  // n sample periods of the converters. A shared clock plays and captures
  // in the same period, so loopback returns the very frame played; across
  // separate clocks the capture side returns the last frame played.
  const unsigned rb = render_.frame_bytes();
  const size_t fifo_frames = rb ? fifo_.size() / rb : 0;
  for (uint64_t s = 0; s < n; ++s) {
    const uint8_t* frame = nullptr;
    if (render) {
      frame = play_one();
      if (frame != nullptr && !capture && last_played_.size() == rb)
        std::memcpy(last_played_.data(), frame, rb);
    } else if (loopback_ && last_played_.size() == rb && rb != 0) {
      frame = last_played_.data();
    }
    if (capture) capture_one(frame);
    if (render && frame) {
      if (++fifo_read_ == fifo_frames) fifo_read_ = 0;
      --fifo_fill_;
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
    follow_host_locked();
    if (shared_) {
      const uint64_t n = render_clock_.tick();
      capture_clock_.phase = render_clock_.phase;
      run_frames(n, true, true);
    } else {
      run_frames(render_clock_.tick(), true, false);
      run_frames(capture_clock_.tick(), false, true);
    }
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

size_t UnitAudio::feedback_packet(uint64_t frame, uint8_t* out, size_t capacity, size_t size) {
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
  int64_t measured = int64_t(render_clock_.step) + offset - last_offset_;
  last_offset_ = offset;
  // Such a unit keeps its FIFO centred, as asynchronous units do: a FIFO
  // below its working level asks for a little more (1/256 sample a frame
  // for each frame missing, at most half a sample), above it for less.
  const unsigned rb = render_.frame_bytes();
  if (range != 0 && playing_ && rb != 0) {
    const int64_t prefill = int64_t(prefill_frames());
    const int64_t error = prefill * 3 / 2 - int64_t(fifo_fill_);
    int64_t correction = error * (int64_t(1) << 24);
    const int64_t half = int64_t(1) << 31;
    correction = std::max(-half, std::min(half, correction));
    measured += correction;
  }
  const bool q16 = feedback_format_ == FeedbackFormat::Q16_16 ||
                   (feedback_format_ != FeedbackFormat::Q10_14 && high_speed_);
  // 32.32 samples: 16.16 keeps 16 bits of the fraction, 10.14 keeps 14.
  const uint32_t v = q16 ? uint32_t(measured >> 16) : uint32_t(measured >> 18) & 0xFFFFFF;
  const size_t bytes = size == 0 ? (q16 ? 4 : 3) : std::max<size_t>(3, std::min<size_t>(4, size));
  if (capacity < bytes) return bytes;
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
