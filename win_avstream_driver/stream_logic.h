// Pure arithmetic of the streaming engine and the format negotiation: ring
// copies with wrap, render packet sizes from the explicit feedback value,
// feedback acceptance, nominal feedback, position conversion between
// formats, 24-bit mixing, data intersection and the set-format checks.
//
// No kernel or framework call: unit tests call these directly.
#ifndef QUENBY_STREAM_LOGIC_H
#define QUENBY_STREAM_LOGIC_H

#include <stddef.h>
#include <stdint.h>

#include "topology.h"

// Copies n bytes into (out of) a ring of `size` bytes at *offset, wrapping
// at the end; *offset moves on (to 0 when the copy ends exactly at the end).
void RingCopyIn(uint8_t* ring, uint32_t size, uint32_t* offset, const uint8_t* src, uint32_t n);
void RingCopyOut(const uint8_t* ring, uint32_t size, uint32_t* offset, uint8_t* dst, uint32_t n);

// Render packet sizes of one transfer from the feedback value (16.16 at high
// speed, 10.14 at full speed) and the fraction accumulator. A packet never
// exceeds `maxPacketBytes` (the endpoint's bytes per (micro)frame) and the
// transfer never exceeds `bufferBytes`: an oversized packet is cut down to
// the whole frames that fit. Returns the transfer's byte count; the new
// accumulator goes to *newAccumulator.
uint32_t RenderPacketSizes(uint32_t feedback, uint32_t accumulator, int highSpeed, uint32_t blockAlign,
                           uint32_t packets, uint32_t maxPacketBytes, uint32_t bufferBytes, uint32_t* sizes,
                           uint32_t* newAccumulator);

// The feedback value to store for a received feedback word, or 0 when its
// integer part lies outside nominal - 1 .. nominal + 1 (ignored).
uint32_t FeedbackFromPacket(uint32_t word, int highSpeed, uint32_t nominal);

// Nominal samples per (micro)frame and its fixed-point feedback value.
uint32_t NominalFeedback(uint32_t rate, int highSpeed, uint32_t* nominal);

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

// Which side a negotiation is about.
typedef struct _FORMAT_CAPS {
  const AltSettingSlot* Slots;  // 8 slots
  const DIRECTION_LIMITS* Limits;
  const uint8_t* Rates;  // GET RANGE reply
  size_t RateBytes;
  int HighSpeed;
  int Capture;
} FORMAT_CAPS;

// The 104-byte and 82-byte format records as the KS client receives them
// (KSDATAFORMAT + WAVEFORMATEXTENSIBLE or + WAVEFORMATEX).
#define QUENBY_FORMAT_EXTENSIBLE_SIZE 104
#define QUENBY_FORMAT_EX_SIZE 82
#define QUENBY_RANGE_AUDIO_SIZE 88
// Frame buffer of the render channel conversion.
#define QUENBY_CONVERSION_FRAME 72

// Channel mask of an offered format.
uint32_t RenderChannelMask(uint32_t channels);
uint32_t CaptureChannelMask(uint32_t channels);

#endif
