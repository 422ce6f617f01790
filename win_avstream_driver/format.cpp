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

NTSTATUS QuenbyIntersectFormat(const FORMAT_CAPS* caps, const KSDATARANGE_AUDIO* caller, ULONG callerSize,
                               ULONG pinRangeSize, ULONG bufferSize, PVOID data, PULONG dataSize) {
  if (caller == nullptr || callerSize < QUENBY_RANGE_AUDIO_SIZE || pinRangeSize < QUENBY_RANGE_AUDIO_SIZE)
    return STATUS_NO_MATCH;
  const ULONG maxChannels = caller->MaximumChannels;
  const DIRECTION_LIMITS* l = caps->Limits;
  const ULONG minBits = caller->MinimumBitsPerSample;
  if (maxChannels == 0 || minBits < l->MinBits || caller->MaximumBitsPerSample > l->MaxBits ||
      caller->MaximumBitsPerSample < minBits || caller->MaximumSampleFrequency == 0)
    return STATUS_NO_MATCH;
  // The rate: the range's lowest, which the clock must offer; while the
  // other direction streams from the same clock, that clock's rate when it
  // lies in the range.
  ULONG rate = caller->MinimumSampleFrequency;
  if (caps->LockedRate != 0) {
    if (caps->LockedRate < caller->MinimumSampleFrequency ||
        caps->LockedRate > caller->MaximumSampleFrequency)
      return STATUS_NO_MATCH;
    rate = caps->LockedRate;
  }
  if (!RateAccepted(caps, rate)) return STATUS_NO_MATCH;
  // Render offers at most 8 channels of a wider range that is not a single rate.
  ULONG channels = maxChannels;
  if (!caps->Capture && channels > 8 && caller->MinimumSampleFrequency != caller->MaximumSampleFrequency)
    channels = 8;
  // A slot of the caller's resolution (the valid bits, or the container of
  // a wider one: 24 bits in a 4-byte subslot), offered only as set-format
  // would accept it: one rule for both.
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    const AltSettingSlot* s = &caps->Slots[i];
    if (!SlotIsUsable(s)) continue;
    const ULONG container = SlotContainerBits(s), valid = SlotBits(s);
    if (container == 0 || (valid != minBits && container != minBits)) continue;
    const bool extensible = maxChannels > 2 || caller->MaximumBitsPerSample > 16 || container != valid;
    const ULONG size = extensible ? QUENBY_FORMAT_EXTENSIBLE_SIZE : QUENBY_FORMAT_EX_SIZE;
    AUDIO_FORMAT offer;
    RtlZeroMemory(&offer, sizeof(offer));
    offer.DataFormat.FormatSize = size;
    offer.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    offer.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    offer.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    offer.DataFormat.SampleSize = channels * container / 8;
    if (extensible) {
      FillWaveFormat(&offer.WaveFormatExt.Format, WAVE_FORMAT_EXTENSIBLE, channels, rate, container);
      offer.WaveFormatExt.Format.cbSize = 22;
      offer.WaveFormatExt.Samples.wValidBitsPerSample = (WORD)valid;
      offer.WaveFormatExt.dwChannelMask =
          caps->Capture ? CaptureChannelMask(channels) : RenderChannelMask(channels);
      offer.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    } else {
      FillWaveFormat(&offer.WaveFormatExt.Format, WAVE_FORMAT_PCM, channels, rate, container);
    }
    if (!NT_SUCCESS(QuenbyCheckFormat(caps, &offer.DataFormat, size, nullptr, nullptr))) continue;
    if (bufferSize == 0) {
      *dataSize = size;
      return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < size) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(data, &offer, size);
    *dataSize = size;
    return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
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
