// PCM data ranges and formats as a kernel-streaming client asks for them,
// for the tests.
#ifndef QUENBY_TESTS_FORMATS_H
#define QUENBY_TESTS_FORMATS_H

#include <cstdint>

#include "format.h"

namespace formats {

// A range of one channel count, resolution and rate.
inline KSDATARANGE_AUDIO PcmRange(uint32_t channels, uint32_t bits, uint32_t rate) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof(r);
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = channels;
  r.MinimumBitsPerSample = r.MaximumBitsPerSample = bits;
  r.MinimumSampleFrequency = r.MaximumSampleFrequency = rate;
  return r;
}

// The extensible PCM format of that shape (no channel mask).
inline KSDATAFORMAT_WAVEFORMATEXTENSIBLE PcmFormat(uint32_t channels, uint32_t bits, uint32_t rate) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof(f);
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEX* w = &f.WaveFormatExt.Format;
  w->wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  w->nChannels = WORD(channels);
  w->nSamplesPerSec = rate;
  w->wBitsPerSample = WORD(bits);
  w->nBlockAlign = WORD(channels * bits / 8);
  w->nAvgBytesPerSec = rate * w->nBlockAlign;
  w->cbSize = 22;
  f.WaveFormatExt.Samples.wValidBitsPerSample = WORD(bits);
  f.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

}  // namespace formats

#endif
