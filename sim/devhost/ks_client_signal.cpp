// The test signals of korvel-devhost's kernel-streaming client; see
// ks_client_signal.h.
#include "ks_client_signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace korvel::sim::devhost {

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

void Signal::reset(bool music, uint32_t channels, uint32_t bytes, uint32_t valid, uint32_t rate) {
  music_ = music;
  ch_ = channels;
  bytes_ = bytes;
  valid_ = valid;
  rate_ = rate == 0 ? 48000 : rate;
  voices_.clear();
  block_frames_.assign(music ? size_t(kBlock) * channels * bytes : 0, 0);
  const size_t padded = (size_t(channels) + 3) / 4 * 4;
  gain_.assign(padded, 0);
  sin_.assign(padded, 0);
  cos_.assign(padded, 0);
  step_sin_.assign(padded, 0);
  step_cos_.assign(padded, 1);
  samples_.assign(padded, 0);
  block_ = UINT64_MAX;
  // Levels step down from -3 dB by 5 dB a channel (eight steps, then
  // again); pitches, tempi, decays and swells differ from channel to channel.
  constexpr double kTwoPi = 6.283185307179586;
  for (uint32_t c = 0; c < channels; ++c) {
    Voice v;
    v.level = std::pow(10.0, (-3.0 - 5.0 * double(c % 8)) / 20.0);
    v.pitch = 110.0 * (1.0 + 0.5 * double(c % 7));
    v.period = 60.0 / (80.0 + 9.0 * double(c % 6));
    v.decay = 0.12 + 0.05 * double(c % 4);
    v.offset = 0.11 * double(c);
    v.swell = 4.0 + double(c % 5);
    step_cos_[c] = std::cos(kTwoPi * v.pitch / rate_);
    step_sin_[c] = std::sin(kTwoPi * v.pitch / rate_);
    voices_.push_back(v);
  }
}

void Signal::make_block(uint64_t block) {
  constexpr double kTwoPi = 6.283185307179586;
  block_ = block;
  // Time folds every hour, so that the phases keep their precision (every
  // pitch makes whole turns in an hour: the fold is seamless).
  const uint64_t hour = uint64_t(rate_) * 3600;
  const double tb0 = double((block * kBlock) % hour) / rate_;
  const uint32_t shift = bytes_ * 8 - valid_;
  const double full = double((uint64_t(1) << (valid_ - 1)) - 1);
  const uint32_t mask = valid_ >= 32 ? 0xFFFFFFFFu : (1u << valid_) - 1;
  for (uint32_t c = 0; c < ch_; ++c) {
    const Voice& v = voices_[c];
    const double tb = std::fmod(tb0 + v.offset, v.period);
    const double beat = tb < 0.005 ? tb / 0.005 : std::exp(-(tb - 0.005) / v.decay);
    const double swell = 0.6 + 0.4 * std::sin(kTwoPi * tb0 / v.swell + double(c));
    gain_[c] = v.level * (0.15 + 0.85 * beat) * swell * full;
    const double phase = kTwoPi * v.pitch * tb0 + 0.5 + double(c);
    sin_[c] = std::sin(phase);
    cos_[c] = std::cos(phase);
  }
  const size_t frame_bytes = size_t(ch_) * bytes_;
  uint8_t* out = block_frames_.data();
  double* __restrict gain = gain_.data();
  double* __restrict sn = sin_.data();
  double* __restrict cs = cos_.data();
  const double* __restrict step_sin = step_sin_.data();
  const double* __restrict step_cos = step_cos_.data();
  int32_t* __restrict samples = samples_.data();
  for (uint64_t k = 0; k < kBlock; ++k, out += frame_bytes) {
    // Four channels at a time (the arrays are padded to whole fours).
    for (uint32_t c0 = 0; c0 < ch_; c0 += 4) {
      for (uint32_t c = c0; c < c0 + 4; ++c) {
        const double a = gain[c] * sn[c];
        samples[c] = int32_t(a + std::copysign(0.5, a));  // rounded half away from zero
        const double next_sin = sn[c] * step_cos[c] + cs[c] * step_sin[c];
        cs[c] = cs[c] * step_cos[c] - sn[c] * step_sin[c];
        sn[c] = next_sin;
      }
    }
    // Little-endian samples of the container's width (the common ones unrolled).
    uint8_t* p = out;
    switch (bytes_) {
      case 3:
        for (uint32_t c = 0; c < ch_; ++c, p += 3) {
          const uint32_t v = (uint32_t(samples[c]) & mask) << shift;
          p[0] = uint8_t(v);
          p[1] = uint8_t(v >> 8);
          p[2] = uint8_t(v >> 16);
        }
        break;
      case 4:
        for (uint32_t c = 0; c < ch_; ++c, p += 4) {
          const uint32_t v = (uint32_t(samples[c]) & mask) << shift;
          p[0] = uint8_t(v);
          p[1] = uint8_t(v >> 8);
          p[2] = uint8_t(v >> 16);
          p[3] = uint8_t(v >> 24);
        }
        break;
      default:
        for (uint32_t c = 0; c < ch_; ++c, p += bytes_)
          put_sample(p, bytes_, (uint32_t(samples[c]) & mask) << shift);
    }
  }
}

void Signal::frame(uint64_t n, uint8_t* p) {
  if (!music_) {
    const uint32_t shift = bytes_ * 8 - valid_;
    if (bytes_ == 3) {
      for (uint32_t c = 0; c < ch_; ++c, p += 3) {
        const uint32_t v = signal_sample(n, c, valid_) << shift;
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v >> 16);
      }
    } else {
      for (uint32_t c = 0; c < ch_; ++c, p += bytes_)
        put_sample(p, bytes_, signal_sample(n, c, valid_) << shift);
    }
    return;
  }
  frames(n, 1, p);
}

void Signal::frames(uint64_t n, uint32_t count, uint8_t* p) {
  const size_t frame_bytes = size_t(ch_) * bytes_;
  if (!music_) {
    for (; count > 0; --count, ++n, p += frame_bytes) frame(n, p);
    return;
  }
  // Whole runs of a block at a time.
  while (count > 0) {
    if (n / kBlock != block_) make_block(n / kBlock);
    const uint32_t run = uint32_t(std::min<uint64_t>(count, kBlock - n % kBlock));
    std::memcpy(p, &block_frames_[size_t(n % kBlock) * frame_bytes], run * frame_bytes);
    p += run * frame_bytes;
    n += run;
    count -= run;
  }
}

}  // namespace korvel::sim::devhost
