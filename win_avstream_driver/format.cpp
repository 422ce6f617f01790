// Format negotiation of the streaming pins: data intersection (the format
// the driver offers for a client's range) and the checks of a format the
// client sets, with the render channel rewrite. Reads only the topology,
// limits and rate list found at start.
#include "quenby.h"

namespace {

ULONG IntervalsPerSecond(const FORMAT_CAPS* caps) {
  return caps->HighSpeed ? 8000 : 1000;
}

bool SlotHasChannels(const AltSettingSlot* slots, ULONG channels) {
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (!SlotIsEmpty(&slots[i]) && slots[i].AsGeneral != nullptr && SlotChannels(&slots[i]) == channels)
      return true;
  }
  return false;
}

void FillWaveFormat(WAVEFORMATEX* w, WORD tag, ULONG channels, ULONG rate, ULONG bits) {
  w->wFormatTag = tag;
  w->nChannels = (WORD)channels;
  w->nSamplesPerSec = rate;
  w->wBitsPerSample = (WORD)bits;
  w->nBlockAlign = (WORD)(channels * bits / 8);
  w->nAvgBytesPerSec = rate * w->nBlockAlign;
  w->cbSize = 0;
}

}  // namespace

NTSTATUS QuenbyIntersectFormat(const FORMAT_CAPS* caps, const KSDATARANGE_AUDIO* caller, ULONG callerSize,
                               ULONG pinRangeSize, ULONG bufferSize, PVOID data, PULONG dataSize) {
  if (caller == nullptr || callerSize < QUENBY_RANGE_AUDIO_SIZE || pinRangeSize < QUENBY_RANGE_AUDIO_SIZE)
    return STATUS_NO_MATCH;
  const ULONG maxChannels = caller->MaximumChannels;
  // 1. A slot with the caller's channel count; render also takes up to 8
  // channels that the device carries in a wider slot.
  if (!SlotHasChannels(caps->Slots, maxChannels) && (caps->Capture || maxChannels > 8))
    return STATUS_NO_MATCH;
  // 2. Size of the result.
  // 3. Bits and rates.
  const DIRECTION_LIMITS* l = caps->Limits;
  const ULONG minBits = caller->MinimumBitsPerSample;
  if (minBits < l->MinBits || caller->MaximumBitsPerSample > l->MaxBits ||
      caller->MaximumBitsPerSample < minBits || caller->MaximumSampleFrequency == 0 ||
      !RateListContains(caps->Rates, caps->RateBytes, caller->MinimumSampleFrequency)) {
    return STATUS_NO_MATCH;
  }
  // 4. A slot that carries the format within its endpoint's packet size. The
  // caller's resolution may name the valid bits of a wider container (24
  // bits in a 4-byte subslot): the format then has that container.
  const ULONG rate = caller->MinimumSampleFrequency;
  bool found = false;
  ULONG container = minBits;
  ULONG valid = minBits;
  for (int i = 0; i < QUENBY_MAX_SLOTS && !found; ++i) {
    const AltSettingSlot* s = &caps->Slots[i];
    if (SlotIsEmpty(s) || s->AsGeneral == nullptr || s->FormatTypeI == nullptr || s->DataEndpoint == nullptr)
      continue;
    const ULONG channels = SlotChannels(s);
    if (caps->Capture ? channels != maxChannels : channels < maxChannels) continue;
    const ULONG slotContainer = SlotContainerBits(s);
    if (slotContainer == 0 || (SlotBits(s) != minBits && slotContainer != minBits)) continue;
    const ULONGLONG perInterval = (ULONGLONG)rate * channels * slotContainer / 8 / IntervalsPerSecond(caps);
    if (perInterval < EndpointBytesPerInterval(s->DataEndpoint)) {
      found = true;
      container = slotContainer;
      valid = SlotBits(s);
    }
  }
  if (!found) return STATUS_NO_MATCH;
  // 5. Size of the result (the extensible form carries valid bits).
  const bool extensible = maxChannels > 2 || caller->MaximumBitsPerSample > 16 || container != valid;
  const ULONG size = extensible ? QUENBY_FORMAT_EXTENSIBLE_SIZE : QUENBY_FORMAT_EX_SIZE;
  if (bufferSize == 0) {
    *dataSize = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < size) return STATUS_BUFFER_TOO_SMALL;
  // 6. The format.
  RtlZeroMemory(data, size);
  KSDATAFORMAT* f = static_cast<KSDATAFORMAT*>(data);
  f->FormatSize = size;
  f->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  ULONG channels = maxChannels;
  if (extensible) {
    if (!caps->Capture && channels > 8 && caller->MinimumSampleFrequency != caller->MaximumSampleFrequency)
      channels = 8;
    AUDIO_FORMAT* x = static_cast<AUDIO_FORMAT*>(data);
    FillWaveFormat(&x->WaveFormatExt.Format, WAVE_FORMAT_EXTENSIBLE, channels, rate, container);
    x->WaveFormatExt.Format.cbSize = 22;
    x->WaveFormatExt.Samples.wValidBitsPerSample = (WORD)valid;
    x->WaveFormatExt.dwChannelMask =
        caps->Capture ? CaptureChannelMask(channels) : RenderChannelMask(channels);
    x->WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  } else {
    // KSDATAFORMAT followed by a WAVEFORMATEX (82 bytes).
    WAVEFORMATEX* w = reinterpret_cast<WAVEFORMATEX*>(f + 1);
    FillWaveFormat(w, WAVE_FORMAT_PCM, channels, rate, container);
  }
  f->SampleSize = channels * container / 8;
  *dataSize = size;
  return STATUS_SUCCESS;
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
      !RateListContains(caps->Rates, caps->RateBytes, w->nSamplesPerSec)) {
    return STATUS_NO_MATCH;
  }
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
  AUDIO_FORMAT device = requested;
  if (SlotFindForShape(caps->Slots, channels, w->wBitsPerSample, valid, w->nSamplesPerSec, caps->HighSpeed) <
      0) {
    if (caps->Capture || channels > 8) return STATUS_NO_MATCH;
    // Carried in the narrowest slot of this resolution that has room for
    // every channel; the channels beyond the pin's are silent.
    ULONG best = 0;
    for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
      const AltSettingSlot* s = &caps->Slots[i];
      if (!SlotIsPcm(s) || SlotContainerBits(s) != w->wBitsPerSample || SlotBits(s) != valid) continue;
      if (!SlotCarriesRate(s, w->nSamplesPerSec, caps->HighSpeed)) continue;
      const ULONG c = SlotChannels(s);
      if (c > channels && (best == 0 || c < best)) best = c;
    }
    if (best == 0) return STATUS_NO_MATCH;
    // Frames of differing channel counts go through a 72-byte frame buffer.
    if (channels * bytesPerSample > QUENBY_CONVERSION_FRAME ||
        best * bytesPerSample > QUENBY_CONVERSION_FRAME)
      return STATUS_NO_MATCH;
    WAVEFORMATEX* d = &device.WaveFormatExt.Format;
    d->nChannels = (WORD)best;
    d->nBlockAlign = (WORD)(best * bytesPerSample);
    d->nAvgBytesPerSec = d->nSamplesPerSec * d->nBlockAlign;
    if (d->wFormatTag == WAVE_FORMAT_EXTENSIBLE) device.WaveFormatExt.dwChannelMask = 0;
  }
  if (connection != nullptr) *connection = device;
  if (pinFormat != nullptr) *pinFormat = requested;
  return STATUS_SUCCESS;
}
