// The KS client's music-like signal: made a block of frames at a time, each
// frame still a function of its index alone, and the tones it turns frame by
// frame stay on the sine they stand for.
#include "ks_client_signal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

using korvel::sim::devhost::Signal;
using korvel::sim::devhost::SignalHistory;

namespace {

std::vector<uint8_t> Frame(Signal& s, uint64_t n, size_t frame_bytes) {
  std::vector<uint8_t> f(frame_bytes);
  s.frame(n, f.data());
  return f;
}

int32_t Sample(const std::vector<uint8_t>& f, uint32_t channel, uint32_t bytes, uint32_t valid) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < bytes; ++i) v |= uint32_t(f[channel * bytes + i]) << (8 * i);
  return int32_t(v << (32 - 8 * bytes)) >> (32 - valid);  // sign-extended valid bits
}

TEST(MusicSignal, EveryFrameIsTheSameInAnyOrderOfAsking) {
  const uint32_t channels = 24, bytes = 4, valid = 24;
  Signal in_order, backwards;
  in_order.reset(true, channels, bytes, valid, 48000);
  backwards.reset(true, channels, bytes, valid, 48000);
  std::vector<std::vector<uint8_t>> frames;
  for (uint64_t n = 0; n < 200; ++n) frames.push_back(Frame(in_order, n, channels * bytes));
  for (uint64_t n = 200; n-- > 0;) EXPECT_EQ(Frame(backwards, n, channels * bytes), frames[n]) << n;
  // Far on (an hour folds the time), asked alone or after its neighbours.
  const uint64_t later = 48000ull * 3600 * 2 + 12345;
  const std::vector<uint8_t> alone = Frame(backwards, later, channels * bytes);
  Frame(in_order, later - 1, channels * bytes);
  EXPECT_EQ(Frame(in_order, later, channels * bytes), alone);
}

TEST(TestSignals, FramesAskedInRunsAreTheFramesAskedOneByOne) {
  // Runs that start inside a block and end inside a later one, a run of one,
  // and a history (kept for 300 frames) that wraps during a run: both
  // signals, and what the history keeps of each frame.
  for (bool music : {false, true}) {
    const uint32_t channels = 6, bytes = 3, frame_bytes = channels * bytes;
    Signal one, runs;
    one.reset(music, channels, bytes, 24, 44100);
    runs.reset(music, channels, bytes, 24, 44100);
    SignalHistory history;
    history.reset(runs, frame_bytes, 300);
    uint64_t n = 0;
    for (uint32_t count : {100u, 1u, 250u, 127u, 129u, 480u, 3u}) {
      std::vector<uint8_t> bulk(size_t(count) * frame_bytes);
      history.make(bulk.data(), count);
      for (uint32_t k = 0; k < count; ++k) {
        const std::vector<uint8_t> expected = Frame(one, n + k, frame_bytes);
        ASSERT_EQ(std::vector<uint8_t>(bulk.begin() + k * frame_bytes, bulk.begin() + (k + 1) * frame_bytes),
                  expected)
            << "music " << music << " frame " << n + k;
        const uint8_t* kept = history.frame(n + k);
        if (n + count - (n + k) <= 150) {
          ASSERT_NE(kept, nullptr) << "frame " << n + k;
          EXPECT_EQ(std::vector<uint8_t>(kept, kept + frame_bytes), expected) << "kept frame " << n + k;
        }
      }
      n += count;
      EXPECT_EQ(history.frame(n), nullptr) << "not made yet";
    }
  }
}

TEST(MusicSignal, TonesStayWithinOneStepOfTheirSine) {
  // Channel c: a tone of 110 x (1 + (c % 7) / 2) Hz at phase 0.5 + c, under
  // an envelope that stays one value for 32 frames at least (from a frame
  // whose index is a multiple of 32): every sample of such a run lies within
  // one step of gain x sin(...), the gain being the one that fits the run's
  // sample of the largest sine.
  const uint32_t channels = 8, bytes = 3, valid = 24;
  const double rate = 44100, two_pi = 6.283185307179586;
  Signal s;
  s.reset(true, channels, bytes, valid, uint32_t(rate));
  for (uint64_t block : {0ull, 1ull, 977ull, 44100ull * 600 / 32}) {
    std::vector<std::vector<uint8_t>> frames;
    for (uint64_t k = 0; k < 32; ++k) frames.push_back(Frame(s, block * 32 + k, channels * bytes));
    for (uint32_t c = 0; c < channels; ++c) {
      const double pitch = 110.0 * (1.0 + 0.5 * double(c % 7));
      auto sine = [&](uint64_t n) {
        return std::sin(two_pi * pitch * double(n % uint64_t(rate * 3600)) / rate + 0.5 + double(c));
      };
      // The gain from the sample with the largest sine in the block.
      uint64_t best = 0;
      for (uint64_t k = 1; k < 32; ++k)
        if (std::fabs(sine(block * 32 + k)) > std::fabs(sine(block * 32 + best))) best = k;
      const double gain = Sample(frames[best], c, bytes, valid) / sine(block * 32 + best);
      ASSERT_GT(std::fabs(gain), 1000.0) << "channel " << c << " is silent";
      for (uint64_t k = 0; k < 32; ++k) {
        const double expected = gain * sine(block * 32 + k);
        EXPECT_NEAR(Sample(frames[k], c, bytes, valid), expected, 1.5)
            << "block " << block << " frame " << k << " channel " << c;
      }
    }
  }
}

TEST(TestSignals, ValidBitsStandMostSignificantFirstInTheirContainer) {
  // 24 valid bits in 4-byte containers: the lowest byte of every sample is
  // zero, the sample itself is not; in 3-byte containers the low byte
  // carries audio too. Both signals, frames across block boundaries.
  for (bool music : {false, true}) {
    for (uint32_t bytes : {3u, 4u}) {
      Signal s;
      s.reset(music, 6, bytes, 24, 48000);
      bool low_byte_used = false;
      for (uint64_t n = 100; n < 400; ++n) {
        const std::vector<uint8_t> f = Frame(s, n, 6 * bytes);
        for (uint32_t c = 0; c < 6; ++c) {
          const uint8_t* p = &f[c * bytes];
          if (bytes == 4) {
            EXPECT_EQ(p[0], 0) << "music " << music << " frame " << n;
          }
          low_byte_used = low_byte_used || p[0] != 0;
          if (!music) {
            EXPECT_NE(Sample(f, c, bytes, 24), 0) << "the pseudo-random signal is never 0";
          }
        }
      }
      EXPECT_EQ(low_byte_used, bytes == 3) << "music " << music;
    }
  }
}

}  // namespace
