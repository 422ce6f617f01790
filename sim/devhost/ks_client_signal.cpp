// The test signals of korvel-devhost's kernel-streaming client; see
// ks_client_signal.h.
#include "ks_client_signal.h"

#include <cmath>

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

void Signal::frame(uint64_t n, uint8_t* p) {
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

}  // namespace korvel::sim::devhost
