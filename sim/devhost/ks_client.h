// The kernel-streaming client of korvel-devhost: plays the Windows audio
// engine against quenby's filter on the simulated clock. It negotiates the
// formats of the render and capture pins (data intersection, set-format),
// takes the pins through STOP, ACQUIRE, PAUSE and RUN and back, keeps
// frames queued on both pins (a deterministic pseudo-random or music-like
// signal or a WAV file to play; captured audio checked against it with
// loopback or written to a WAV file), and reports what happened. It runs on
// a stack of its own (--stream) or on the serving host's (--play-audio).
#ifndef KORVEL_SIM_DEVHOST_KS_CLIENT_H
#define KORVEL_SIM_DEVHOST_KS_CLIENT_H

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "unit_audio.h"
#include "unit_clock.h"

namespace korvel::sim::devhost {

class DriverStack;

struct StreamOptions {
  double seconds = 1;
  std::string model = "Tarrow";
  bool high_speed = true;
  // 0: the render side's largest channel count at the largest bit depth it
  // offers with that many channels; rate 48000.
  uint32_t channels = 0, bits = 0, rate = 48000;
  // The format asked of the capture pin; 0: as render's (channels: the
  // same when the unit captures them, else its widest capture setting).
  uint32_t capture_channels = 0, capture_bits = 0, capture_rate = 0;
  std::string play;  // WAV to play (looped), empty: a generated signal
  // The generated signal: full-scale pseudo-random samples, or a music-like
  // one (a tone on each channel at a level of its own, in beats that swell
  // and fade) that moves meters.
  bool music = false;
  std::string record;  // WAV to write the captured audio to
  double drift_ppm = 0;
  bool loopback = false;
  // Optional extras for tests: take the render pin RUN -> PAUSE -> RUN
  // halfway, or surprise-remove the unit halfway.
  bool pause_halfway = false;
  bool unplug_halfway = false;
  // A unit whose USB function is built from this configuration descriptor
  // (empty: the model's own); its clock sources offer `rates` (empty: 44100,
  // 48000).
  std::vector<uint8_t> descriptor;
  ClockRates rates;
  // How the unit encodes its explicit feedback.
  FeedbackFormat feedback_format = FeedbackFormat::BusDefault;
  // The unit's message firmware with quirks, by this seed (--unit-quirks).
  bool unit_quirks = false;
  uint64_t quirks_seed = 0;
  // Render alone (implied when the device has no capture interface), or
  // capture alone (implied when it has no render interface).
  bool render_only = false;
  bool capture_only = false;
  // Power the device down to D3 and up again halfway, pins running.
  bool power_cycle_halfway = false;
  // A system sleep of this many milliseconds halfway, pins running (0: none).
  uint32_t sleep_halfway_ms = 0;
  // The host controller refuses the transfers of this endpoint (0: none)
  // for the first `refuse_seconds` of streaming.
  uint8_t refuse_endpoint = 0;
  double refuse_seconds = 0;
  // The bus's frame counter reads this as the streams start (unset: as the
  // bus has it), e.g. just before its wrap at 2^32 frames.
  std::optional<uint32_t> bus_frame;
};

struct StreamReport {
  double simulated_seconds = 0;
  uint32_t channels = 0, bits = 0, rate = 0;
  uint32_t capture_channels = 0, capture_bits = 0, capture_rate = 0;
  bool high_speed = true;
  double drift_ppm = 0;
  uint64_t rendered_frames = 0;
  uint64_t captured_frames = 0;
  uint64_t underrun_events = 0;
  uint64_t late_render = 0, late_capture = 0, late_feedback = 0;
  // Whether the driver accepted any of the unit's feedback values (else
  // render ran open loop), and how many feedback packets it refused.
  bool feedback_validated = false;
  uint64_t feedback_rejected = 0;
  uint32_t stream_counters[7] = {};
  uint64_t allocations_while_streaming = 0;
  bool loopback = false;
  bool loopback_bit_exact = false;
  uint64_t loopback_frames_compared = 0;
  uint64_t max_render_delay_frames = 0;
  double cpu_seconds = 0;
  // What the unit saw.
  uint64_t unit_render_underflows = 0;
  uint64_t unit_render_overflows = 0;
  // The unit received exactly the frames played, in order, after priming.
  bool render_bit_exact = false;
  uint64_t unit_received_frames = 0;            // frames it received from the first played one on
  uint64_t render_first_mismatch = UINT64_MAX;  // the first received frame that differed
  bool render_only = false;
  bool capture_only = false;  // no render stream: its fields are null in the JSON
  // How render was paced: "feedback", "nominal" or "implicit" (empty: no render).
  std::string render_pacing;
  // Bus packets the unit received that were not whole frames of its format.
  uint64_t unit_bad_packets = 0;
  // Isochronous transfers the driver submitted, accepted or refused.
  uint64_t iso_submissions = 0;
  // Of those, the ones the bus refused for their start frame.
  uint64_t iso_bad_start_frames = 0;
  // What streaming cost the host in wake-ups, per second of streaming:
  // times a thread went to sleep in the clock (each a wake-up later), and
  // runs of the clock's timers (the bus's frame timer).
  double wakeups_per_second = 0;
  double timer_runs_per_second = 0;
};

// Runs one session on a unit and stack of its own; false with *error when
// something failed (the driver refused the unit or a format, a state change
// failed).
bool run_stream_session(const StreamOptions& options, StreamReport* report, std::string* error);

// The same session on `stack`, which the caller has plugged and keeps until
// this returns (it stays plugged). The unit options of `options` (model,
// speed, descriptor, rates, drift, loopback) are the stack's business.
// seconds <= 0 plays until *stop is set; set it inside Clock::signal() so
// that the session's wait sees it at once.
bool run_stream_on(DriverStack& stack, const StreamOptions& options, StreamReport* report, std::string* error,
                   const std::atomic<bool>* stop = nullptr);

// The report as the command-line contract fixes it (one JSON object, one
// line).
std::string stream_report_json(const StreamReport& report);

// Why a run did not deliver exactly what was played (render not bit-exact,
// or loopback asked for and not bit-exact); empty when it did.
std::string exactness_failure(const StreamReport& report);

// korvel-devhost --stream SECONDS [--format CH:BITS:RATE]
// [--capture-format CH:BITS:RATE] [--play IN.wav] [--record OUT.wav]
// [--drift-ppm P] [--loopback] [--render-only] [--report FILE] with --model
// or --descriptor FILE [--rates R1,...] [--rate-range MIN:MAX:RES],
// --speed, --clock and --feedback-format. Exit status 0, 1 on any failure
// (a refused unit or format, a run that was not bit-exact), 2 on bad options.
int run_stream(int argc, char** argv);

}  // namespace korvel::sim::devhost

#endif
