// Format negotiation of the streaming pins: the data ranges a pin publishes,
// the format it offers for a client's data range (data intersection) and
// the checks of a format a client sets or proposes, with the render channel
// rewrite. One rule decides them all: a format is published and offered
// only when set-format accepts it.
//
// No kernel or framework call: the records are the Windows ones, the
// decisions read only the topology, limits and rate list found at start.
// Runs at any IRQL.
#ifndef QUENBY_FORMAT_H
#define QUENBY_FORMAT_H

#include <ntifs.h>
#include <windef.h>
#ifndef NOBITMAP
#define NOBITMAP
#endif
#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>

#include "topology.h"

// A format record as the pins and the device keep it: KSDATAFORMAT followed
// by WAVEFORMATEXTENSIBLE (104 bytes).
typedef struct _AUDIO_FORMAT {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEXTENSIBLE WaveFormatExt;
} AUDIO_FORMAT;

// Which side a negotiation is about.
typedef struct _FORMAT_CAPS {
  const AltSettingSlot* Slots;  // 8 slots
  const DIRECTION_LIMITS* Limits;
  const uint8_t* Rates;  // GET RANGE reply
  size_t RateBytes;
  int HighSpeed;
  int Capture;
  // Non-zero while the other direction streams from the same clock at
  // this rate: the only rate offered and accepted.
  uint32_t LockedRate;
  // The rate the direction's clock runs at now: the one intersection
  // prefers.
  uint32_t CurrentRate;
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

// The most data ranges a streaming pin publishes.
#define QUENBY_MAX_PIN_RANGES 64

// The data ranges a pin publishes: one for each usable alternate setting and
// each rate its clock offers that the setting carries (the setting's
// channels, its container bits, that rate), in setting order, each naming a
// format set-format accepts. Writes at most `max`; returns how many.
uint32_t QuenbyPinRanges(const FORMAT_CAPS* caps, KSDATARANGE_AUDIO* ranges, uint32_t max);

// Data intersection: the format offered for the caller's range into `data`
// (STATUS_SUCCESS), its size alone for bufferSize 0 (STATUS_BUFFER_OVERFLOW),
// STATUS_BUFFER_TOO_SMALL, or STATUS_NO_MATCH when nothing the pin would
// accept lies in the range. A range of one resolution and one rate names
// its channel count exactly (MaximumChannels, all of them or, for render,
// at most 8 carried in a wider setting); any other range, a range that is
// not a KSDATARANGE_AUDIO (a wildcard) included, gets the format inside it
// at the clock's current rate if it can, then of the most (valid) bits,
// then of the channel count it asks for where a setting has it (else of the
// most channels).
NTSTATUS QuenbyIntersectFormat(const FORMAT_CAPS* caps, const KSDATARANGE_AUDIO* caller, ULONG callerSize,
                               ULONG pinRangeSize, ULONG bufferSize, PVOID data, PULONG dataSize);
// Whether two formats carry the same PCM stream: channels, rate, container
// and valid bits (not the channel mask, which only names the speakers).
int QuenbySamePcm(const AUDIO_FORMAT* a, const AUDIO_FORMAT* b);
// Set-format (and the pin factory's KSPROPERTY_PIN_PROPOSEDATAFORMAT, with
// both outputs null): STATUS_SUCCESS with the connection format the device
// streams (render: possibly in a wider setting) and the pin's own format, or
// STATUS_NO_MATCH.
NTSTATUS QuenbyCheckFormat(const FORMAT_CAPS* caps, const KSDATAFORMAT* format, ULONG formatSize,
                           AUDIO_FORMAT* connection, AUDIO_FORMAT* pinFormat);

#endif
