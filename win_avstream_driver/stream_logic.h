// Pure rules and arithmetic of the streaming engine: ring copies with wrap,
// the shape and schedule of isochronous transfers (packets by the
// endpoint's interval, start frames and late starts), render packet sizes
// from the explicit feedback value, feedback reading, format detection,
// acceptance and averaging, nominal feedback, position conversion between
// formats and 24-bit mixing.
//
// No kernel or framework call: unit tests call these directly. Runs at any IRQL.
#ifndef QUENBY_STREAM_LOGIC_H
#define QUENBY_STREAM_LOGIC_H

#include <stddef.h>
#include <stdint.h>

// Copies n bytes into (out of) a ring of `size` bytes at *offset, wrapping
// at the end; *offset moves on (to 0 when the copy ends exactly at the end).
void RingCopyIn(uint8_t* ring, uint32_t size, uint32_t* offset, const uint8_t* src, uint32_t n);
void RingCopyOut(const uint8_t* ring, uint32_t size, uint32_t* offset, uint8_t* dst, uint32_t n);

// Isochronous packets of one transfer, which covers one 1 ms frame: 8
// divided by the endpoint's period (in microframes) at high speed, 1 at
// full speed; 0 for a period that is not 1, 2, 4 or 8 microframes.
uint32_t TransferPackets(uint32_t period, int highSpeed);

// The start frame of a stream's next transfer. `next` is the frame after
// the stream's last transfer when `scheduled` (a transfer was sent since
// the stream started; any value, 0 included, is then a frame number: the
// bus's 32-bit frame counter wraps), `current` the bus's frame now,
// `inFlight` the stream's transfers in flight. Transfers follow each other
// back to back; a start frame no longer ahead moves to current + 2 and is a
// late start (*late = 1, never for the first transfer); one further ahead
// than the transfers in flight explain (the stack refused some at once)
// also starts over at current + 2, without counting as late.
uint32_t ScheduleStartFrame(uint32_t next, int scheduled, uint32_t current, int32_t inFlight, int* late);

// Render packet sizes of one transfer from the feedback value (samples per
// bus interval: 16.16 at high speed, 10.14 at full speed) and the fraction
// accumulator; each packet carries `period` bus intervals of samples. A
// packet never exceeds `maxPacketBytes` (the endpoint's bytes per packet)
// and the transfer never exceeds `bufferBytes`: an oversized packet is cut
// down to the whole frames that fit. Returns the transfer's byte count; the
// new accumulator goes to *newAccumulator.
uint32_t RenderPacketSizes(uint32_t feedback, uint32_t accumulator, int highSpeed, uint32_t blockAlign,
                           uint32_t packets, uint32_t period, uint32_t maxPacketBytes, uint32_t bufferBytes,
                           uint32_t* sizes, uint32_t* newAccumulator);

// Render packet sizes at the nominal rate, exactly: each packet carries
// `period` bus intervals of `rate` frames per second, the fraction carried
// in *remainder (in 1/8000 s at high speed, 1/1000 s at full speed, below
// one frame). Packets and the transfer are cut as RenderPacketSizes() cuts
// them; the caller stores *remainder only once the transfer is sent.
// Returns the transfer's byte count.
uint32_t NominalPacketSizes(uint32_t rate, int highSpeed, uint32_t blockAlign, uint32_t packets,
                            uint32_t period, uint32_t maxPacketBytes, uint32_t bufferBytes, uint32_t* sizes,
                            uint32_t* remainder);

// Implicit feedback: the frames of the capture packets in arrival order,
// each pacing one render packet (USB 2.0, 5.12.4.3). A render packet sent
// while no capture packet was queued goes at the nominal rate, a guess the
// next capture packet to come settles: what render sent beyond or short of
// what capture carried (Balance, in frames) comes off or onto the
// following render packets, a frame a packet, so that render carries what
// capture did however late capture packets come. A full queue drops its
// oldest entry. Callers hold one lock around every operation.
#define QUENBY_IMPLICIT_PACKETS 64
typedef struct _IMPLICIT_QUEUE {
  uint32_t Frames[QUENBY_IMPLICIT_PACKETS];  // capture packets not yet used
  uint32_t Head;
  uint32_t Count;
  uint32_t Guesses[QUENBY_IMPLICIT_PACKETS];  // nominal render packets not yet settled
  uint32_t GuessHead;
  uint32_t GuessCount;
  int32_t Balance;
} IMPLICIT_QUEUE;
// What one transfer's packets took of the queue, to commit once it is sent.
typedef struct _IMPLICIT_USE {
  uint32_t Used;        // queued capture packets it read
  uint32_t Guesses[8];  // the nominal frames of the packets no capture packet paced
  uint32_t GuessCount;
  int32_t Balance;  // the change of the queue's balance
} IMPLICIT_USE;
void ImplicitQueueReset(IMPLICIT_QUEUE* queue);
// A capture packet's frames: they settle the oldest guess, else are queued.
void ImplicitQueuePush(IMPLICIT_QUEUE* queue, uint32_t frames);
// Takes what a sent transfer used.
void ImplicitQueueCommit(IMPLICIT_QUEUE* queue, const IMPLICIT_USE* use);
// Render packet sizes of one transfer (at most 8 packets) from the queued
// capture packets, oldest first, else at the nominal rate as
// NominalPacketSizes() sizes them (from *remainder), each corrected by the
// balance; nothing is taken (*use: what to commit once it is sent). Cut as
// RenderPacketSizes() cuts. Returns the byte count.
uint32_t ImplicitPacketSizes(const IMPLICIT_QUEUE* queue, uint32_t rate, int highSpeed, uint32_t blockAlign,
                             uint32_t packets, uint32_t period, uint32_t maxPacketBytes, uint32_t bufferBytes,
                             uint32_t* sizes, uint32_t* remainder, IMPLICIT_USE* use);

// Render delay in frames: what the ring holds, and the frames of the bus
// frames from now to the stream's next start frame when one is scheduled
// ahead (`framesAhead`), else the two frames of scheduling lead; frames of
// a 1 ms bus frame counted exactly (44.1 at 44100 Hz, not 44).
uint32_t RenderDelayFrames(uint32_t ringFrames, int scheduledAhead, uint32_t framesAhead, uint32_t rate);

// The direct-mode capture credit a running KS capture pin is owed, grown by
// `add` bytes of the pin's format: at most `cap` (what the pin could have
// taken while it had no buffers is lost, as a ring's oldest data is; never
// a burst of the past when buffers return).
uint32_t CaptureCreditAdd(uint32_t credit, uint64_t add, uint32_t cap);

// The value of a feedback packet of `length` bytes: its first three or four
// bytes, little-endian; 0 for a packet shorter than 3 bytes.
uint32_t FeedbackWord(const uint8_t* packet, uint32_t length);

// Formats a unit may send its feedback in, whatever the bus speed.
#define QUENBY_FEEDBACK_UNKNOWN 0
#define QUENBY_FEEDBACK_16_16 1
#define QUENBY_FEEDBACK_10_14 2

// The format of a feedback word: the one whose reading lies nearest the
// nominal value (given in the stream's own format: 16.16 at high speed,
// 10.14 at full speed), when that reading's integer part lies within
// nominal - 1 .. nominal + 1; QUENBY_FEEDBACK_UNKNOWN otherwise.
uint32_t FeedbackDetectFormat(uint32_t word, int highSpeed, uint32_t nominalValue);

// A feedback word read in `format` as a value of the stream's own format.
uint32_t FeedbackToNative(uint32_t word, uint32_t format, int highSpeed);

// The feedback value to store for a value of the stream's own format, or 0
// when its integer part lies outside nominal - 1 .. nominal + 1 (ignored).
uint32_t FeedbackFromPacket(uint32_t value, int highSpeed, uint32_t nominal);

// Nominal samples per (micro)frame and its fixed-point feedback value.
uint32_t NominalFeedback(uint32_t rate, int highSpeed, uint32_t* nominal);

// The mean of the last accepted feedback values, which render paces by: a
// unit's measurement wanders around the true rate and takes the wander back
// in the next value, and transfers that complete in batches would otherwise
// use some values twice and others not at all.
#define QUENBY_FEEDBACK_AVERAGED 8
typedef struct _FEEDBACK_AVERAGE {
  uint32_t Values[QUENBY_FEEDBACK_AVERAGED];
  uint64_t Sum;
  uint32_t Count;  // values held, at most QUENBY_FEEDBACK_AVERAGED
  uint32_t Next;   // where the next value goes
} FEEDBACK_AVERAGE;
// Empties the average.
void FeedbackAverageReset(FEEDBACK_AVERAGE* average);
// Adds a value, dropping the oldest of a full average.
void FeedbackAverageAdd(FEEDBACK_AVERAGE* average, uint32_t value);
// The mean of the values held (rounded), or `otherwise` when it holds none.
uint32_t FeedbackAverageValue(const FEEDBACK_AVERAGE* average, uint32_t otherwise);

typedef struct _PCM_SHAPE {
  uint32_t Channels;
  uint32_t Bits;
  uint32_t Rate;
} PCM_SHAPE;

// Converts a byte count of format `from` into bytes of format `to` (bits,
// rate, and the channel ratio to / from), carrying the remainder of the
// division in *remainder so that nothing is lost over many calls.
uint64_t ConvertBytes(uint64_t bytes, const PCM_SHAPE* from, const PCM_SHAPE* to, uint64_t* remainder);

// 24-bit little-endian signed samples.
int32_t ReadSample24(const uint8_t* p);
void WriteSample24(uint8_t* p, int32_t v);
// a + b clamped to -8388608..8388607.
int32_t MixSample24(int32_t a, int32_t b);
// Whether a KS render pin's audio is mixed into direct-mode render: only
// 24-bit samples on both sides at the same rate (no conversion is made).
int MixSupported(uint32_t pinBits, uint32_t pinRate, uint32_t streamBits, uint32_t streamRate);

// Which streams run, and at which rate, when a pin or the direct-mode
// client asks for them. Both directions on one clock source (SharedClock)
// run at one rate: while one streams the other starts only at that rate,
// and capture no pin holds runs beside render only at render's rate.
typedef enum _STREAM_ASK {
  StreamAskCapturePin = 0,  // a capture pin leaves STOP
  StreamAskRenderPin,       // a render pin leaves STOP
  StreamAskDirectStart,     // the direct-mode client starts both directions
  StreamAskDirectFormats,   // the direct-mode client sets both directions' formats
  StreamAskLeaveDirect,     // direct mode ends; pins out of STOP keep their streams
  StreamAskCaptureStream,   // the capture stream itself starts
  StreamAskRenderStream,    // the render stream itself starts
} STREAM_ASK;
// Per direction: [0] capture, [1] render.
typedef struct _STREAM_REQUEST {
  uint32_t Ask;        // STREAM_ASK
  int Direct;          // direct mode is on
  int Powered;         // the device is in D0; otherwise a start runs at power-up
  int HasCapture;      // the unit has a capture stream
  int SharedClock;     // both directions run from one clock source
  uint32_t Rate[2];    // the rate each direction asks (a capture pin: its pin format's)
  uint32_t OtherRate;  // a stream's start: the rate the other direction's stream runs at (0: stopped)
  int Running[2];      // the direction's stream runs
  int InUse[2];        // a pin in RUN or the direct-mode client uses the stream
  int Kept[2];         // a pin out of STOP holds the direction (leaving direct mode: or in RUN)
  // Capture's format has a setting at the rate it would move to: the
  // capture pin's (a capture pin's start), render's (otherwise).
  int CaptureCarries;
} STREAM_REQUEST;
typedef enum _STREAM_REFUSAL {
  StreamAllowed = 0,
  StreamRefusedCaptureRate,  // the capture format has no setting at the pin's rate
  StreamRefusedClockRate,    // the one clock for both would run at two rates
} STREAM_REFUSAL;
typedef struct _STREAM_PLAN {
  uint32_t Refusal;      // STREAM_REFUSAL: when refused, nothing else is set
  uint32_t CaptureRate;  // the rate capture's format moves to first (0: it stays)
  int StopRenderFirst;   // render stops before the starts: the one clock is free for a new rate
  int RenderFirst;       // render restarts before capture
  int StartCapture;      // capture (re)starts (powered down: runs at power-up)
  int StartRender;       // render (re)starts, its feedback with it where its setting has one
  int StopCapture;       // capture stops instead (leaving direct mode)
  int KeepCapture;       // leaving direct mode: capture runs on afterwards
  int KeepRender;        // leaving direct mode: render runs on afterwards
} STREAM_PLAN;
STREAM_PLAN PlanStreams(const STREAM_REQUEST* request);

#endif
