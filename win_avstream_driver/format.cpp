// Format negotiation of the streaming pins; see format.h.
#include "format.h"

namespace {

void FillWaveFormat(WAVEFORMATEX* w, WORD tag, ULONG channels, ULONG rate, ULONG bits) {
  w->wFormatTag = tag;
  w->nChannels = (WORD)channels;
  w->nSamplesPerSec = rate;
  w->wBitsPerSample = (WORD)bits;
  w->nBlockAlign = (WORD)(channels * bits / 8);
  w->nAvgBytesPerSec = rate * w->nBlockAlign;
  w->cbSize = 0;
}

// A rate the direction streams now: one its clock offers, or while the
// other direction streams from the same clock, that clock's rate alone.
bool RateAccepted(const FORMAT_CAPS* caps, ULONG rate) {
  if (caps->LockedRate != 0) return rate == caps->LockedRate;
  return RateListOffers(caps->Rates, caps->RateBytes, rate) != 0;
}

// The setting a format streams in: the first usable slot with exactly its
// channels, container and valid bits whose endpoint carries the rate; for
// render, failing that, the narrowest such slot with more channels (at most
// 8 asked, both frames within the conversion buffer), whose further
// channels stay silent. -1 when none; *carried gets the slot's channels.
int FindSetting(const FORMAT_CAPS* caps, ULONG channels, ULONG container, ULONG valid, ULONG rate,
                ULONG* carried) {
  int slot = SlotFindForShape(caps->Slots, channels, container, valid, rate, caps->HighSpeed);
  *carried = channels;
  if (slot >= 0 || caps->Capture || channels > 8) return slot;
  const ULONG bytes = container / 8;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    const AltSettingSlot* s = &caps->Slots[i];
    if (!SlotIsUsable(s) || SlotContainerBits(s) != container || SlotBits(s) != valid) continue;
    if (!SlotCarriesRate(s, rate, caps->HighSpeed)) continue;
    const ULONG c = SlotChannels(s);
    if (c <= channels || (slot >= 0 && c >= *carried)) continue;
    // Frames of differing channel counts go through a 72-byte frame buffer.
    if (channels * bytes > QUENBY_CONVERSION_FRAME || c * bytes > QUENBY_CONVERSION_FRAME) continue;
    slot = i;
    *carried = c;
  }
  return slot;
}

}  // namespace

uint32_t RenderChannelMask(uint32_t channels) {
  switch (channels) {
    case 0:
      return 0;
    case 1:
      return 0x4;
    case 2:
      return 0x3;
    case 4:
      return 0x33;
    case 6:
      return 0x60F;
    case 8:
      return 0x63F;
    default:
      return channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
  }
}

uint32_t CaptureChannelMask(uint32_t channels) {
  return channels == 1 ? 0x4 : channels == 2 ? 0x3 : 0;
}

namespace {

// "KSDATARANGE_AUDIO": (ULONG)-1 channels means no limit.
const ULONG kAnyChannels = 0xFFFFFFFFu;

// What a caller's range holds: a KSDATARANGE_AUDIO's limits, or none for a
// range of another kind (a wildcard KSDATARANGE), which every PCM format
// lies in. False for a range that holds nothing.
struct RangeLimits {
  ULONG MaxChannels, MinBits, MaxBits, MinRate, MaxRate;
};

bool LimitsOf(const KSDATARANGE_AUDIO* r, ULONG size, RangeLimits* l) {
  if (size < QUENBY_RANGE_AUDIO_SIZE) {
    *l = {kAnyChannels, 0, 0xFFFFFFFFu, 0, 0xFFFFFFFFu};
    return true;
  }
  *l = {r->MaximumChannels, r->MinimumBitsPerSample, r->MaximumBitsPerSample, r->MinimumSampleFrequency,
        r->MaximumSampleFrequency};
  return l->MaxChannels != 0 && l->MinBits <= l->MaxBits && l->MinRate <= l->MaxRate && l->MaxRate != 0;
}

// The offer of one PCM shape: WAVEFORMATEXTENSIBLE (104 bytes) or, when
// `extensible` is false, WAVEFORMATEX (82 bytes). Returns the size.
ULONG MakeOffer(const FORMAT_CAPS* caps, ULONG channels, ULONG rate, ULONG container, ULONG valid,
                bool extensible, AUDIO_FORMAT* offer) {
  const ULONG size = extensible ? QUENBY_FORMAT_EXTENSIBLE_SIZE : QUENBY_FORMAT_EX_SIZE;
  RtlZeroMemory(offer, sizeof(*offer));
  offer->DataFormat.FormatSize = size;
  offer->DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  offer->DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  offer->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  offer->DataFormat.SampleSize = channels * container / 8;
  if (extensible) {
    FillWaveFormat(&offer->WaveFormatExt.Format, WAVE_FORMAT_EXTENSIBLE, channels, rate, container);
    offer->WaveFormatExt.Format.cbSize = 22;
    offer->WaveFormatExt.Samples.wValidBitsPerSample = (WORD)valid;
    offer->WaveFormatExt.dwChannelMask =
        caps->Capture ? CaptureChannelMask(channels) : RenderChannelMask(channels);
    offer->WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  } else {
    FillWaveFormat(&offer->WaveFormatExt.Format, WAVE_FORMAT_PCM, channels, rate, container);
  }
  return size;
}

bool Settable(const FORMAT_CAPS* caps, const AUDIO_FORMAT* offer, ULONG size) {
  return NT_SUCCESS(QuenbyCheckFormat(caps, &offer->DataFormat, size, nullptr, nullptr));
}

// A range of one resolution and one rate: the channels it asks for, the
// rate, a setting of the resolution (its valid bits or, 24 bits in a 4-byte
// subslot, its container), in setting order; render offers at most 8
// channels in a wider setting.
NTSTATUS IntersectExact(const FORMAT_CAPS* caps, const RangeLimits& l, AUDIO_FORMAT* offer, ULONG* size) {
  const ULONG maxChannels = l.MaxChannels;
  const DIRECTION_LIMITS* d = caps->Limits;
  const ULONG bits = l.MinBits;
  if (bits < d->MinBits || bits > d->MaxBits) return STATUS_NO_MATCH;
  // The rate, which the clock must offer; while the other direction streams
  // from the same clock, that clock's rate alone.
  const ULONG rate = l.MinRate;
  if (caps->LockedRate != 0 && caps->LockedRate != rate) return STATUS_NO_MATCH;
  if (!RateAccepted(caps, rate)) return STATUS_NO_MATCH;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    const AltSettingSlot* s = &caps->Slots[i];
    if (!SlotIsUsable(s)) continue;
    const ULONG container = SlotContainerBits(s), valid = SlotBits(s);
    if (container == 0 || (valid != bits && container != bits)) continue;
    const bool extensible = maxChannels > 2 || bits > 16 || container != valid;
    *size = MakeOffer(caps, maxChannels, rate, container, valid, extensible, offer);
    if (Settable(caps, offer, *size)) return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
}

// How good a candidate is, compared field by field: the clock's current
// rate; then the range's lowest rate, or else the lowest rate; then the
// most valid bits, a container inside the range; then the channel count
// asked for, else the most channels.
struct Score {
  ULONG values[7];
  bool Beats(const Score& o) const {
    for (int i = 0; i < 7; ++i) {
      if (values[i] != o.values[i]) return values[i] > o.values[i];
    }
    return false;  // a tie keeps the earlier setting
  }
};

NTSTATUS IntersectRange(const FORMAT_CAPS* caps, const RangeLimits& l, AUDIO_FORMAT* best, ULONG* bestSize) {
  uint32_t rates[QUENBY_MAX_PIN_RANGES];
  uint32_t count = 1;
  if (caps->LockedRate != 0) {
    rates[0] = caps->LockedRate;
  } else {
    count = RateListOffered(caps->Rates, caps->RateBytes, rates, QUENBY_MAX_PIN_RANGES);
    if (count > QUENBY_MAX_PIN_RANGES) count = QUENBY_MAX_PIN_RANGES;
  }
  bool found = false;
  Score top = {};
  for (uint32_t k = 0; k < count; ++k) {
    const ULONG rate = rates[k];
    if (rate < l.MinRate || rate > l.MaxRate) continue;
    for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
      const AltSettingSlot* s = &caps->Slots[i];
      if (!SlotIsUsable(s)) continue;
      const ULONG container = SlotContainerBits(s), valid = SlotBits(s);
      const bool containerInside = container >= l.MinBits && container <= l.MaxBits;
      if (container == 0 || (!containerInside && (valid < l.MinBits || valid > l.MaxBits))) continue;
      // The setting's channels, or fewer where the range asks fewer: render
      // carries at most 8 in the wider setting; capture has no such path.
      ULONG channels = SlotChannels(s);
      if (channels > l.MaxChannels) {
        if (caps->Capture) continue;
        channels = l.MaxChannels > 8 ? 8 : l.MaxChannels;
      }
      AUDIO_FORMAT offer;
      const bool extensible = channels > 2 || container > 16 || container != valid;
      const ULONG size = MakeOffer(caps, channels, rate, container, valid, extensible, &offer);
      if (!Settable(caps, &offer, size)) continue;
      const Score score = {{rate == caps->CurrentRate ? 1u : 0u, rate == l.MinRate ? 1u : 0u,
                            0xFFFFFFFFu - rate, valid, containerInside ? 1u : 0u,
                            channels == l.MaxChannels ? 1u : 0u, channels}};
      if (!found || score.Beats(top)) {
        found = true;
        top = score;
        *best = offer;
        *bestSize = size;
      }
    }
  }
  return found ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

}  // namespace

uint32_t QuenbyPinRanges(const FORMAT_CAPS* caps, KSDATARANGE_AUDIO* ranges, uint32_t max) {
  // What the pin can do, whatever the other direction runs now.
  FORMAT_CAPS all = *caps;
  all.LockedRate = 0;
  uint32_t rates[QUENBY_MAX_PIN_RANGES];
  uint32_t count = RateListOffered(caps->Rates, caps->RateBytes, rates, QUENBY_MAX_PIN_RANGES);
  if (count > QUENBY_MAX_PIN_RANGES) count = QUENBY_MAX_PIN_RANGES;
  uint32_t written = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    const AltSettingSlot* s = &caps->Slots[i];
    if (!SlotIsUsable(s)) continue;
    const ULONG channels = SlotChannels(s), container = SlotContainerBits(s), valid = SlotBits(s);
    for (uint32_t k = 0; k < count && written < max; ++k) {
      AUDIO_FORMAT offer;
      if (!Settable(&all, &offer, MakeOffer(&all, channels, rates[k], container, valid, true, &offer)))
        continue;
      KSDATARANGE_AUDIO r;
      RtlZeroMemory(&r, sizeof(r));
      r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
      r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
      r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
      r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
      r.MaximumChannels = channels;
      r.MinimumBitsPerSample = r.MaximumBitsPerSample = container;
      r.MinimumSampleFrequency = r.MaximumSampleFrequency = rates[k];
      // Two settings of one shape publish it once.
      bool seen = false;
      for (uint32_t j = 0; j < written && !seen; ++j) {
        seen = ranges[j].MaximumChannels == channels && ranges[j].MaximumBitsPerSample == container &&
               ranges[j].MinimumSampleFrequency == rates[k];
      }
      if (!seen) ranges[written++] = r;
    }
  }
  return written;
}

NTSTATUS QuenbyIntersectFormat(const FORMAT_CAPS* caps, const KSDATARANGE_AUDIO* caller, ULONG callerSize,
                               ULONG pinRangeSize, ULONG bufferSize, PVOID data, PULONG dataSize) {
  RangeLimits l;
  if (caller == nullptr || callerSize < sizeof(KSDATARANGE) || pinRangeSize < QUENBY_RANGE_AUDIO_SIZE ||
      !LimitsOf(caller, callerSize, &l))
    return STATUS_NO_MATCH;
  const bool exact = callerSize >= QUENBY_RANGE_AUDIO_SIZE && l.MinBits == l.MaxBits &&
                     l.MinRate == l.MaxRate && l.MaxChannels != kAnyChannels;
  AUDIO_FORMAT offer;
  ULONG size = 0;
  const NTSTATUS status =
      exact ? IntersectExact(caps, l, &offer, &size) : IntersectRange(caps, l, &offer, &size);
  if (!NT_SUCCESS(status)) return status;
  if (bufferSize == 0) {
    *dataSize = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < size) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(data, &offer, size);
  *dataSize = size;
  return STATUS_SUCCESS;
}

int QuenbySamePcm(const AUDIO_FORMAT* a, const AUDIO_FORMAT* b) {
  const WAVEFORMATEX* x = &a->WaveFormatExt.Format;
  const WAVEFORMATEX* y = &b->WaveFormatExt.Format;
  return x->nChannels == y->nChannels && x->nSamplesPerSec == y->nSamplesPerSec &&
         x->wBitsPerSample == y->wBitsPerSample &&
         a->WaveFormatExt.Samples.wValidBitsPerSample == b->WaveFormatExt.Samples.wValidBitsPerSample;
}

NTSTATUS QuenbyCheckFormat(const FORMAT_CAPS* caps, const KSDATAFORMAT* format, ULONG formatSize,
                           AUDIO_FORMAT* connection, AUDIO_FORMAT* pinFormat) {
  if (format == nullptr || formatSize < QUENBY_FORMAT_EX_SIZE) return STATUS_NO_MATCH;
  if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) return STATUS_NO_MATCH;
  if (format->FormatSize != QUENBY_FORMAT_EX_SIZE && format->FormatSize != QUENBY_FORMAT_EXTENSIBLE_SIZE)
    return STATUS_NO_MATCH;
  if (formatSize < format->FormatSize) return STATUS_NO_MATCH;
  // The record zero-extended to the 104-byte layout.
  AUDIO_FORMAT requested;
  RtlZeroMemory(&requested, sizeof(requested));
  RtlCopyMemory(&requested, format, format->FormatSize);
  requested.DataFormat.FormatSize = sizeof(AUDIO_FORMAT);
  WAVEFORMATEX* w = &requested.WaveFormatExt.Format;
  if (w->wFormatTag != WAVE_FORMAT_PCM && w->wFormatTag != WAVE_FORMAT_EXTENSIBLE) return STATUS_NO_MATCH;
  const DIRECTION_LIMITS* l = caps->Limits;
  if (w->wBitsPerSample < l->MinBits || w->wBitsPerSample > l->MaxBits ||
      !RateAccepted(caps, w->nSamplesPerSec))
    return STATUS_NO_MATCH;
  const ULONG channels = w->nChannels;
  const ULONG bytesPerSample = w->wBitsPerSample / 8;
  // Every field must agree: a block align, byte rate, valid-bit count or
  // sub-format that contradicts the rest would have the unit receive a
  // fraction of the frames the client plays.
  if (channels == 0 || w->wBitsPerSample == 0 || w->wBitsPerSample % 8 != 0) return STATUS_NO_MATCH;
  if (w->nBlockAlign != channels * bytesPerSample) return STATUS_NO_MATCH;
  if ((ULONGLONG)w->nBlockAlign * w->nSamplesPerSec != w->nAvgBytesPerSec) return STATUS_NO_MATCH;
  ULONG valid = w->wBitsPerSample;
  if (w->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    const WAVEFORMATEXTENSIBLE* x = &requested.WaveFormatExt;
    if (format->FormatSize != QUENBY_FORMAT_EXTENSIBLE_SIZE || w->cbSize < 22) return STATUS_NO_MATCH;
    if (!IsEqualGUID(x->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return STATUS_NO_MATCH;
    valid = x->Samples.wValidBitsPerSample;
    if (valid == 0 || valid > w->wBitsPerSample) return STATUS_NO_MATCH;
  } else {
    requested.WaveFormatExt.Samples.wValidBitsPerSample = (WORD)valid;
  }
  ULONG carried = 0;
  if (FindSetting(caps, channels, w->wBitsPerSample, valid, w->nSamplesPerSec, &carried) < 0)
    return STATUS_NO_MATCH;
  AUDIO_FORMAT device = requested;
  if (carried != channels) {
    // Carried in a wider setting; the channels beyond the pin's are silent.
    WAVEFORMATEX* d = &device.WaveFormatExt.Format;
    d->nChannels = (WORD)carried;
    d->nBlockAlign = (WORD)(carried * bytesPerSample);
    d->nAvgBytesPerSec = d->nSamplesPerSec * d->nBlockAlign;
    if (d->wFormatTag == WAVE_FORMAT_EXTENSIBLE) device.WaveFormatExt.dwChannelMask = 0;
  }
  if (connection != nullptr) *connection = device;
  if (pinFormat != nullptr) *pinFormat = requested;
  return STATUS_SUCCESS;
}
