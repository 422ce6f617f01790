// Meter signals of the simulated unit.
//
// Every analog input plays its own piece (input 1 a lead that clips on its
// downbeats, input 2 drums, input 3 speech, the one before the last a quiet
// room microphone): beats at a tempo of its own, each
// beat an attack followed by an exponential decay, accents on the downbeats,
// louder and quieter sections of eight beats, short rests, and a fine grain of
// +-1 dB every 10 ms over a low noise floor. Input 1 is driven 2.3 dB over full
// scale on its downbeats (it clips now and then), the last input carries
// nothing. The other
// blocks are what the mixer makes of the inputs: channel strips after their
// faders, the feeds to the computer (each channel with some of its
// neighbour), the recorder returns (the channel 250 ms later), and the buses
// (power sums of the unmuted inputs). Everything is computed from the time and
// the channel alone, so two units agree at the same instant.
#include "unit_meters.h"

#include <algorithm>
#include <cmath>

namespace korvel::sim {

const std::vector<MeterBlock>& meter_layout(Model m) {
  static const std::vector<MeterBlock> tarrow{{4, 22}, {7, 24}, {3, 22}, {6, 22}, {2, 6}, {8, 1}};
  static const std::vector<MeterBlock> quenby{{4, 22}, {2, 4}, {7, 24}, {3, 22}, {6, 22}};
  static const std::vector<MeterBlock> pellin{{4, 14}, {2, 4}, {7, 16}, {3, 14}, {6, 14}};
  static const std::vector<MeterBlock> dorrit{{4, 10}, {7, 12}, {3, 10}, {6, 10}, {2, 10}, {8, 10}};
  static const std::vector<MeterBlock> farlink{{4, 24}, {7, 24}, {3, 24}, {6, 24}};
  switch (m) {
    case Model::Tarrow:
      return tarrow;
    case Model::Quenby:
      return quenby;
    case Model::Pellin:
      return pellin;
    case Model::Dorrit:
      return dorrit;
    case Model::FarLink:
      break;
  }
  return farlink;
}

int meter_record_count(Model m) {
  int n = 0;
  for (const MeterBlock& b : meter_layout(m)) n += b.count;
  return n;
}

namespace detail {
namespace {

constexpr double kAttack = 0.008;       // seconds from silence to the beat's peak
constexpr double kReturnDelay = 0.25;   // recorder return behind its channel
constexpr double kNoiseFloor = 0.0015;  // about -56 dB
constexpr double kClipDrive = 1.3;      // +2.3 dB over full scale on the clipping input
constexpr double kGrainDb = 1.0;        // +-1 dB every 10 ms

uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Uniform in [0, 1) from two keys.
double rnd(uint64_t a, int64_t b) {
  return static_cast<double>(mix64(mix64(a) ^ static_cast<uint64_t>(b)) >> 11) * 0x1.0p-53;
}

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

double db(double v) {
  return std::pow(10.0, v / 20.0);
}

// Speech: syllables of 120 to 280 ms at 3 to 6 per second, words of two to
// five syllables, pauses between phrases; peaks around -14 dBFS.
double speech_amp(uint64_t seed, double t) {
  constexpr double kSlot = 0.2;  // one syllable slot
  const int64_t slot = static_cast<int64_t>(std::floor(t / kSlot));
  const double ts = t - static_cast<double>(slot) * kSlot;
  const int64_t phrase = floor_div(slot, 24);  // about 5 s
  const int64_t in_phrase = slot - phrase * 24;
  const int64_t words_end = 16 + static_cast<int64_t>(6.0 * rnd(seed + 71, phrase));
  const bool voiced = in_phrase < words_end && rnd(seed + 73, slot) > 0.22;
  const double floor_amp = kNoiseFloor * 0.5;
  if (!voiced) return floor_amp;
  const double len = 0.12 + 0.16 * rnd(seed + 79, slot);
  if (ts > len) return floor_amp;
  const double shape = std::sin(3.14159265358979 * ts / len);  // rise and fall of a syllable
  const double level = db(-20.0 + 9.0 * rnd(seed + 83, slot));
  return level * (0.35 + 0.65 * shape) + floor_amp;
}

// Amplitude (1.0 = full scale, may exceed it) of analog input k at time t.
// Input 1 is a loud lead whose downbeats drive it over full scale now and
// then, input 2 a drum kit (short, punchy hits on eighths), input 3 a
// speaking voice, the input before the last a quiet room microphone, the
// last input nothing; the others play their own pieces.
double input_amp(Model m, int k, double t) {
  if (k < 1 || k > analog_inputs(m) || k == silent_input(m)) return 0.0;
  const uint64_t seed = 0x4B4F52ull * 131 + static_cast<uint64_t>(k);
  if (k == 3) return speech_amp(seed, t);
  const double bpm = 76.0 + 68.0 * rnd(seed, 1);
  const double period = 60.0 / bpm;
  const double x = t / period + rnd(seed, 2);
  const double beat_floor = std::floor(x);
  const int64_t beat = static_cast<int64_t>(beat_floor);
  const double tb = (x - beat_floor) * period;
  const bool clip = k == clipping_input(m);
  const bool drums = k == 2;
  const double tau = clip ? 0.3 : drums ? 0.045 : 0.05 + 0.4 * rnd(seed, 3);
  const double env = tb < kAttack ? tb / kAttack : std::exp(-(tb - kAttack) / tau);
  const int64_t slice = static_cast<int64_t>(std::floor(t * 100.0));
  const double grain = db((2.0 * rnd(seed + 17, slice) - 1.0) * kGrainDb);
  const int64_t bar_beat = ((beat % 4) + 4) % 4;
  if (clip) {
    // Over full scale on the downbeats, a few dB under it otherwise.
    const double drive = bar_beat == 0 ? kClipDrive : db(-4.0 - 3.0 * rnd(seed + 5, beat));
    return drive * env * grain;
  }
  if (drums) {
    // Kick and snare on the beats, hats between: two hits per beat.
    const double half = period / 2;
    const double th = tb < half ? tb : tb - half;
    const double hit_env = th < kAttack ? th / kAttack : std::exp(-(th - kAttack) / tau);
    const double hit =
        tb < half ? db(-6.0 - 2.0 * rnd(seed + 7, beat)) : db(-16.0 - 4.0 * rnd(seed + 11, beat));
    return hit * hit_env * grain + kNoiseFloor;
  }
  if (k == silent_input(m) - 1) {
    // Room microphone: a steady murmur around -40 dBFS.
    return db(-42.0 + 4.0 * rnd(seed + 13, static_cast<int64_t>(std::floor(t * 8.0)))) * grain;
  }

  const double peak = db(-24.0 + 20.0 * rnd(seed, 4));
  const double accent = bar_beat == 0 ? 1.0 : 0.45 + 0.45 * rnd(seed + 29, beat);
  const int64_t section = floor_div(beat, 8);
  const double r = rnd(seed + 41, section);
  const double section_gain = r < 0.12 ? 0.06 : 0.4 + 0.6 * rnd(seed + 53, section);
  const double floor_amp = kNoiseFloor * (0.6 + 0.8 * rnd(seed + 67, slice));
  return peak * accent * section_gain * env * grain + floor_amp;
}

// Input k as it reaches the mixes: muted inputs contribute nothing; channel
// numbers beyond the inputs wrap around.
double routed(Model m, int k, double t, uint32_t muted) {
  const int n = analog_inputs(m);
  k = ((k - 1) % n + n) % n + 1;
  if (k <= 32 && (muted >> (k - 1) & 1u)) return 0.0;
  return std::min(input_amp(m, k, t), 1.0);
}

// A bus: power sum of the inputs with per-bus weights; odd bus numbers lean
// left, even ones right.
double bus(Model m, uint64_t key, int number, double t, uint32_t muted) {
  const int n = analog_inputs(m);
  double power = 0.0;
  for (int k = 1; k <= n; ++k) {
    const double pan = (k % 2 == number % 2) ? 0.8 : 0.45;
    const double w = pan * (0.5 + 0.5 * rnd(key * 977 + static_cast<uint64_t>(number), k));
    const double a = routed(m, k, t, muted) * w;
    power += a * a;
  }
  return 0.75 * std::sqrt(power);
}

}  // namespace

int analog_inputs(Model m) {
  return meter_layout(m).front().count;
}
int silent_input(Model m) {
  return analog_inputs(m);
}
int clipping_input(Model) {
  return 1;
}

uint16_t meter_level(Model m, uint8_t type, uint8_t number, uint64_t t_us, uint32_t muted_inputs) {
  const double t = static_cast<double>(t_us) / 1e6;
  const int no = number;
  const int inputs = analog_inputs(m);
  double a = 0.0;
  switch (type) {
    case 4:  // analog inputs, before any mute
      a = input_amp(m, no, t);
      break;
    case 6: {  // channel strips after their faders, with a little crosstalk
      const double own = routed(m, no, t, muted_inputs) * (0.8 + 0.2 * rnd(6, no));
      const double next = routed(m, no + 1, t, muted_inputs) * 0.05;
      a = std::sqrt(own * own + next * next);
      break;
    }
    case 3: {  // feeds to the computer
      const double own = routed(m, no, t, muted_inputs) * 0.8;
      const double next = routed(m, no + 1, t, muted_inputs) * 0.4;
      a = std::sqrt(own * own + next * next);
      break;
    }
    case 7:  // recorder returns (with the tape's crosstalk); numbers past the inputs return the main pair
      if (no <= inputs) {
        const double own = 0.9 * routed(m, no, t - kReturnDelay, muted_inputs);
        const double next = 0.04 * routed(m, no + 1, t - kReturnDelay, muted_inputs);
        a = std::sqrt(own * own + next * next);
      } else {
        a = bus(m, 2, no, t - kReturnDelay, muted_inputs);
      }
      break;
    case 2:
    case 8:
      a = bus(m, type, no, t, muted_inputs);
      break;
    default:
      return 0;
  }
  a = std::clamp(a, 0.0, 1.0);
  return static_cast<uint16_t>(std::lround(a * kMeterFullScale));
}

}  // namespace detail
}  // namespace korvel::sim
