// Pure arithmetic of the streaming engine; see stream_logic.h.
#include "stream_logic.h"

#include <string.h>

void RingCopyIn(uint8_t* ring, uint32_t size, uint32_t* offset, const uint8_t* src, uint32_t n) {
  uint32_t first = size - *offset;
  if (first > n) first = n;
  memcpy(ring + *offset, src, first);
  if (n > first) memcpy(ring, src + first, n - first);
  uint32_t next = *offset + n;
  if (next >= size) next -= size;
  *offset = next;
}

void RingCopyOut(const uint8_t* ring, uint32_t size, uint32_t* offset, uint8_t* dst, uint32_t n) {
  uint32_t first = size - *offset;
  if (first > n) first = n;
  memcpy(dst, ring + *offset, first);
  if (n > first) memcpy(dst + first, ring, n - first);
  uint32_t next = *offset + n;
  if (next >= size) next -= size;
  *offset = next;
}

uint32_t RenderPacketSizes(uint32_t feedback, uint32_t accumulator, int highSpeed, uint32_t blockAlign,
                           uint32_t packets, uint32_t maxPacketBytes, uint32_t bufferBytes, uint32_t* sizes,
                           uint32_t* newAccumulator) {
  uint32_t a = accumulator;
  uint32_t total = 0;
  const uint32_t maxSamples = blockAlign == 0 ? 0 : maxPacketBytes / blockAlign;
  for (uint32_t i = 0; i < packets; ++i) {
    uint32_t samples;
    if (highSpeed) {
      samples = (feedback >> 16) + ((a + (feedback & 0xFFFF)) >> 16);
      a = (a + feedback) & 0xFFFF;
    } else {
      samples = (feedback >> 14) + (((feedback & 0x3FFF) + a) >> 14);
      a = (feedback + a) & 0x3FFF;
    }
    // Never more than the endpoint carries per (micro)frame, nor more than
    // the rest of the transfer buffer holds.
    if (samples > maxSamples) samples = maxSamples;
    uint32_t bytes = samples * blockAlign;
    if (bytes > bufferBytes - total)
      bytes = blockAlign == 0 ? 0 : (bufferBytes - total) / blockAlign * blockAlign;
    sizes[i] = bytes;
    total += bytes;
  }
  *newAccumulator = a;
  return total;
}

uint32_t FeedbackFromPacket(uint32_t word, int highSpeed, uint32_t nominal) {
  uint32_t integer = highSpeed ? word >> 16 : (word >> 14) & 0x3FF;
  if (integer + 1 < nominal || integer > nominal + 1) return 0;
  return highSpeed ? word : word & 0xFFFFFF;
}

uint32_t NominalFeedback(uint32_t rate, int highSpeed, uint32_t* nominal) {
  // x = rate / interval rate; value = integer part and fraction in fixed
  // point, the fraction truncated (exact integer arithmetic of the same).
  const uint64_t per = highSpeed ? 8000 : 1000;
  const uint32_t shift = highSpeed ? 16 : 14;
  *nominal = uint32_t(rate / per);
  return uint32_t(((uint64_t)rate << shift) / per);
}

uint64_t ConvertBytes(uint64_t bytes, const PCM_SHAPE* from, const PCM_SHAPE* to, uint64_t* remainder) {
  // bytes x to.bits x to.rate x to.channels / (from.bits x from.rate x from.channels)
  const uint64_t num = (uint64_t)to->Bits * to->Rate * to->Channels;
  const uint64_t den = (uint64_t)from->Bits * from->Rate * from->Channels;
  if (den == 0) return 0;
  const uint64_t product = bytes * num + *remainder;
  *remainder = product % den;
  return product / den;
}

int32_t ReadSample24(const uint8_t* p) {
  int32_t v = int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16);
  return (v ^ 0x800000) - 0x800000;
}

void WriteSample24(uint8_t* p, int32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
}

int32_t MixSample24(int32_t a, int32_t b) {
  int32_t sum = a + b;
  if (sum > 8388607) return 8388607;
  if (sum < -8388608) return -8388608;
  return sum;
}

int MixSupported(uint32_t pinBits, uint32_t pinRate, uint32_t streamBits, uint32_t streamRate) {
  return pinBits == 24 && streamBits == 24 && pinRate == streamRate && pinRate != 0;
}

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
