// The test signals of korvel-devhost's kernel-streaming client: the
// deterministic pseudo-random and music-like signals it renders, the history
// of what it rendered, and the check of what the unit received against it.
#ifndef KORVEL_SIM_DEVHOST_KS_CLIENT_SIGNAL_H
#define KORVEL_SIM_DEVHOST_KS_CLIENT_SIGNAL_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korvel::sim::devhost {

// The deterministic test signal: a hash of frame and channel, never 0 so
// that the start of the audio is visible in the captured stream.
uint32_t signal_sample(uint64_t frame, uint32_t channel, uint32_t bits);
// `bytes` little-endian bytes of v.
void put_sample(uint8_t* p, uint32_t bytes, uint32_t v);

// The generated signal, frame by frame: the pseudo-random one, or the
// music-like one. Each frame is a function of its index alone; a Signal
// keeps a little state to make that cheap, so each thread has its own.
class Signal {
 public:
  void reset(bool music, uint32_t channels, uint32_t bytes, uint32_t valid, uint32_t rate);
  // Frame `n`: `valid` bits of each sample, most significant first in its
  // container of `bytes`.
  void frame(uint64_t n, uint8_t* p);
  // Frames n to n + count - 1, one after the other from `p`.
  void frames(uint64_t n, uint32_t count, uint8_t* p);

 private:
  struct Voice {
    double level = 0, pitch = 0, period = 1, decay = 1, offset = 0, swell = 1;
  };
  // The music-like signal is made a block of frames at a time (2.7 ms at
  // 48 kHz): one envelope value and one sine evaluation a channel, then the
  // tones turned frame by frame.
  static constexpr uint64_t kBlock = 128;
  void make_block(uint64_t block);

  bool music_ = false;
  uint32_t ch_ = 0, bytes_ = 0, valid_ = 0, rate_ = 48000;
  std::vector<Voice> voices_;
  std::vector<uint8_t> block_frames_;  // the kBlock frames of block_, as rendered
  uint64_t block_ = UINT64_MAX;
  // Per channel while a block is made: gain, sine and cosine of the tone.
  std::vector<double> gain_, sin_, cos_, step_sin_, step_cos_;
  std::vector<int32_t> samples_;  // one frame, rounded
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
  // Makes the next `count` frames into `out` and keeps them: in runs of
  // slots that no reader may still look at (half the history at most, see
  // frame()), each published once it is written.
  void make(uint8_t* out, uint32_t count) {
    uint64_t n = next_.load(std::memory_order_relaxed);
    const uint64_t longest = frames_ / 2 > 0 ? frames_ / 2 : 1;
    while (count > 0) {
      const size_t at = size_t(n % frames_);
      const uint32_t run = uint32_t(std::min<uint64_t>({count, frames_ - at, longest}));
      uint8_t* slot = &data_[at * frame_];
      signal_.frames(n, run, slot);
      std::memcpy(out, slot, size_t(run) * frame_);
      out += size_t(run) * frame_;
      n += run;
      count -= run;
      next_.store(n, std::memory_order_release);
    }
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
        if (std::memcmp(p, expected(received()), played) != 0 || !silent(p + played, frame_bytes - played)) {
          mismatch_ = true;
          first_mismatch_ = received();
        }
      }
      received_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  bool exact() const { return started_ && received() != 0 && !mismatch_; }
  // Read by the client's thread too (its position checks).
  uint64_t received() const { return received_.load(std::memory_order_relaxed); }
  // The first frame (counted from the first one played) that differed.
  uint64_t first_mismatch() const { return first_mismatch_; }

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
  std::atomic<uint64_t> received_{0};
  uint64_t first_mismatch_ = 0;
};

}  // namespace korvel::sim::devhost

#endif
