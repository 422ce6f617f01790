// The unit's audio side: its sample clocks (crystals off by some ppm; one
// for both directions when they share a clock source, one each otherwise),
// the render FIFO its converters play from, the explicit feedback it measures
// from its own consumption, and the capture stream it produces (generated
// input signals, or with loopback render channel k on capture channel k).
// The USB bus calls it once per (micro)frame and endpoint; it keeps no clock
// of its own beyond the frame numbers it is handed.
#ifndef KORVEL_SIM_UNIT_AUDIO_H
#define KORVEL_SIM_UNIT_AUDIO_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace korvel::sim {

struct AudioFormat {
  unsigned channels = 0;       // 0: the interface is idle (alternate setting 0)
  unsigned subslot_bytes = 0;  // bytes per sample on the bus
  unsigned bits = 0;           // valid bits, most significant first
  // Bus intervals from one packet of the data endpoint to the next (its
  // polling period: 2^(bInterval-1) microframes at high speed, 1 frame at
  // full speed).
  unsigned packet_intervals = 1;
  // The data endpoint's synchronization type (bmAttributes D3..2): 0 none,
  // 1 asynchronous (the unit's own crystal), 2 adaptive, 3 synchronous.
  unsigned sync = 1;
  unsigned frame_bytes() const { return channels * subslot_bytes; }
};

struct AudioCounters {
  uint64_t render_frames_received = 0;
  uint64_t render_frames_played = 0;
  uint64_t render_underflows = 0;   // frames the converters needed but the FIFO lacked
  uint64_t render_overflows = 0;    // frames dropped because the FIFO was full
  uint64_t render_bad_packets = 0;  // packets that were not whole frames
  uint64_t capture_frames = 0;
};

// How the unit encodes its explicit feedback value (samples per bus
// interval): as USB 2.0 asks (16.16 at high speed, 10.14 at full speed), or
// one format at either speed, as real units do. Implicit: a unit of a model
// paces render by its capture packets instead (no feedback endpoint).
enum class FeedbackFormat { BusDefault, Q16_16, Q10_14, Implicit };

class UnitAudio {
 public:
  UnitAudio();

  // Bus speed, the clock's nominal rate and its offset in parts per million.
  void configure(bool high_speed, uint32_t rate, double drift_ppm);
  // One clock for both directions at `rate`.
  void set_rate(uint32_t rate);
  // The rates the render and the capture side run at; `shared` when both
  // come from one clock source (they then run in lockstep; otherwise each
  // from its own crystal, and loopback returns the last frame played).
  void set_rates(uint32_t render_rate, uint32_t capture_rate, bool shared);
  uint32_t render_rate() const;
  uint32_t capture_rate() const;
  void set_feedback_format(FeedbackFormat f);
  FeedbackFormat feedback_format() const;
  // The same, one at a time (the rate and the other settings stay).
  void set_bus_speed(bool high_speed);
  void set_drift_ppm(double drift_ppm);
  bool high_speed() const;
  double drift_ppm() const;
  void set_render_format(const AudioFormat& f);
  void set_capture_format(const AudioFormat& f);
  void set_loopback(bool on);
  // Sees every render packet the unit accepts (whole frames of `frame_bytes`),
  // in bus order, under the unit's lock; for checks of what arrived.
  // Each feedback value then wanders by up to `samples` around the true
  // rate (the next value takes the error back), as a unit measuring over
  // windows that do not line up with the bus frames reports. 0: exact.
  void set_feedback_wander(double samples);
  using RenderTap = std::function<void(const uint8_t* data, size_t frames, size_t frame_bytes)>;
  void set_render_tap(RenderTap tap);

  // A render packet that arrived in (micro)frame `frame`.
  void render_packet(uint64_t frame, const uint8_t* data, size_t len);
  // The capture packet of (micro)frame `frame`: whole frames, at most `capacity`
  // bytes. Returns its length.
  size_t capture_packet(uint64_t frame, uint8_t* out, size_t capacity);
  // The explicit feedback of (micro)frame `frame`: samples per (micro)frame
  // of the render clock in the feedback format, little-endian, in `size`
  // bytes (3 or 4: what the endpoint's wMaxPacketSize allows; 0: the
  // format's own size, 4 for 16.16 and 3 for 10.14). Returns the byte count;
  // more than `capacity` means the packet did not fit (nothing written).
  size_t feedback_packet(uint64_t frame, uint8_t* out, size_t capacity, size_t size = 0);

  // Peak level of a channel over the last 100 ms on the 0..32767 meter scale,
  // or -1 while the direction is idle.
  int render_level(unsigned channel) const;
  int capture_level(unsigned channel) const;
  AudioCounters counters() const;
  // Samples per (micro)frame of the unit's render clock, as a real number.
  double samples_per_frame() const;

 private:
  // One crystal: its nominal rate, samples per bus interval (32.32 fixed
  // point, drift included) and the fraction of a sample it is at.
  struct SampleClock {
    uint32_t rate = 0;
    uint64_t step = 0;
    uint64_t phase = 0;
    // Samples per bus interval of the crystal (or, locked, of the bus's
    // frame clock: no drift); `step` moves from it while following the host.
    uint64_t base = 0;
    bool locked = false;
    uint64_t tick();  // whole samples of the next bus interval
  };
  // Which clocks are locked to the bus's frame clock (a synchronous
  // endpoint's, an adaptive source's) and whether render follows the data
  // rate the host sends (an adaptive sink); retunes what changed.
  void update_sync_locked();
  // An adaptive sink's converters follow the host: their rate moves with
  // the FIFO's distance from its working level.
  void follow_host_locked();
  bool follows_host_ = false;
  void set_rates_locked(uint32_t render_rate, uint32_t capture_rate, bool shared);
  // Frames the render FIFO holds before the converters start.
  size_t prefill_frames() const;
  void retune_locked(SampleClock* c, uint32_t rate, bool force);
  void advance_to(uint64_t frame);  // runs the converters up to `frame`
  // n sample periods of the render side, the capture side, or both (a
  // shared clock).
  void run_frames(uint64_t n, bool render, bool capture);
  const uint8_t* play_one();               // the render frame played now, or null
  void capture_one(const uint8_t* frame);  // one frame into the capture ring
  // Samples are left-justified in 32 bits whatever their width on the bus.
  static int32_t read_sample(const uint8_t* p, unsigned bytes);
  static void write_sample(uint8_t* p, unsigned bytes, int32_t v);

  mutable std::mutex m_;
  bool high_speed_ = true;
  double drift_ppm_ = 0;
  SampleClock render_clock_, capture_clock_;
  bool shared_ = true;
  FeedbackFormat feedback_format_ = FeedbackFormat::BusDefault;
  uint64_t clock_frame_ = 0;  // first frame not yet run
  bool clock_started_ = false;
  AudioFormat render_, capture_;
  bool loopback_ = false;

  // Render FIFO of received frames, in the render format.
  std::vector<uint8_t> fifo_;
  size_t fifo_read_ = 0, fifo_fill_ = 0;
  bool playing_ = false;              // the converters start once the FIFO holds the prefill
  std::vector<uint8_t> last_played_;  // loopback across separate clocks
  // Samples the ADC produced and the bus has not fetched yet, interleaved:
  // a ring of the newest 100 ms (older frames are overwritten).
  std::vector<int32_t> captured_;
  size_t captured_capacity_ = 0;  // frames
  size_t captured_read_ = 0;      // frame index of the oldest
  size_t captured_frames_ = 0;
  uint64_t capture_index_ = 0;  // sample index of the next generated frame
  // Each channel's sine position for capture_index_: quotient and remainder
  // of index x pitch x table size / rate, advanced without a division.
  struct SinePhase {
    uint64_t quotient, remainder, step_quotient, step_remainder;
  };
  std::vector<SinePhase> phases_;
  void reset_capture_locked();

  // The running 100 ms window's highest and lowest sample of each channel
  // (its peak is the larger meter value of the two), and the peaks of the
  // last complete window.
  struct Extremes {
    std::vector<int32_t> high, low;
    void reset(size_t channels) {
      high.assign(channels, 0);
      low.assign(channels, 0);
    }
    // The window's peaks into `last`, and a new window.
    void close(std::vector<uint16_t>* last);
  };
  Extremes render_peak_, capture_peak_;
  std::vector<uint16_t> render_last_, capture_last_;
  uint32_t render_window_ = 0, capture_window_ = 0;  // samples into the meter windows
  AudioCounters counters_;
  RenderTap render_tap_;
  uint64_t wander_ = 0x2545F4914F6CDD1Dull;  // feedback measurement jitter, deterministic
  int64_t last_offset_ = 0;
  uint64_t wander_range_ = 0;
};

}  // namespace korvel::sim

#endif
