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

uint32_t TransferPackets(uint32_t period, int highSpeed) {
  if (!highSpeed) return 1;
  if (period != 1 && period != 2 && period != 4 && period != 8) return 0;
  return 8 / period;
}

uint32_t ScheduleStartFrame(uint32_t next, int scheduled, uint32_t current, int32_t inFlight, int* late) {
  *late = 0;
  if (!scheduled) return current + 2;
  const int32_t ahead = (int32_t)(next - current);
  if (ahead <= 0) {
    *late = 1;
    return current + 2;
  }
  // The schedule moved on over transfers the stack refused at once.
  if (ahead > inFlight + 2) return current + 2;
  return next;
}

uint32_t RenderPacketSizes(uint32_t feedback, uint32_t accumulator, int highSpeed, uint32_t blockAlign,
                           uint32_t packets, uint32_t period, uint32_t maxPacketBytes, uint32_t bufferBytes,
                           uint32_t* sizes, uint32_t* newAccumulator) {
  // Samples of a packet: `period` bus intervals of the feedback value, the
  // fraction carried from packet to packet.
  const uint32_t shift = highSpeed ? 16 : 14;
  const uint64_t fraction = (1ull << shift) - 1;
  const uint64_t perPacket = (uint64_t)feedback * (period == 0 ? 1 : period);
  uint64_t a = accumulator;
  uint32_t total = 0;
  const uint32_t maxSamples = blockAlign == 0 ? 0 : maxPacketBytes / blockAlign;
  for (uint32_t i = 0; i < packets; ++i) {
    const uint64_t sum = a + perPacket;
    uint64_t samples = sum >> shift;
    a = sum & fraction;
    // Never more than the endpoint carries per packet, nor more than the
    // rest of the transfer buffer holds.
    if (samples > maxSamples) samples = maxSamples;
    uint32_t bytes = (uint32_t)samples * blockAlign;
    if (bytes > bufferBytes - total)
      bytes = blockAlign == 0 ? 0 : (bufferBytes - total) / blockAlign * blockAlign;
    sizes[i] = bytes;
    total += bytes;
  }
  *newAccumulator = (uint32_t)a;
  return total;
}

namespace {

// One packet of `frames` frames, cut to what the endpoint and the rest of
// the buffer hold; returns its bytes.
uint32_t CutPacket(uint64_t frames, uint32_t blockAlign, uint32_t maxPacketBytes, uint32_t left) {
  if (blockAlign == 0) return 0;
  const uint64_t maxFrames = maxPacketBytes / blockAlign;
  if (frames > maxFrames) frames = maxFrames;
  uint32_t bytes = (uint32_t)frames * blockAlign;
  if (bytes > left) bytes = left / blockAlign * blockAlign;
  return bytes;
}

// Frames of the next nominal packet; *remainder moves on.
uint32_t NominalFrames(uint32_t rate, int highSpeed, uint32_t period, uint32_t* remainder) {
  const uint64_t intervals = highSpeed ? 8000 : 1000;
  const uint64_t sum = *remainder + (uint64_t)rate * (period == 0 ? 1 : period);
  *remainder = (uint32_t)(sum % intervals);
  return (uint32_t)(sum / intervals);
}

}  // namespace

uint32_t NominalPacketSizes(uint32_t rate, int highSpeed, uint32_t blockAlign, uint32_t packets,
                            uint32_t period, uint32_t maxPacketBytes, uint32_t bufferBytes, uint32_t* sizes,
                            uint32_t* remainder) {
  uint32_t total = 0;
  for (uint32_t i = 0; i < packets; ++i) {
    sizes[i] = CutPacket(NominalFrames(rate, highSpeed, period, remainder), blockAlign, maxPacketBytes,
                         bufferBytes - total);
    total += sizes[i];
  }
  return total;
}

void ImplicitQueueReset(IMPLICIT_QUEUE* queue) {
  memset(queue, 0, sizeof(*queue));
}

void ImplicitQueuePush(IMPLICIT_QUEUE* queue, uint32_t frames) {
  if (queue->GuessCount != 0) {  // it paces a packet sent already at a guess
    queue->Balance += (int32_t)queue->Guesses[queue->GuessHead] - (int32_t)frames;
    queue->GuessHead = (queue->GuessHead + 1) % QUENBY_IMPLICIT_PACKETS;
    --queue->GuessCount;
    return;
  }
  if (queue->Count == QUENBY_IMPLICIT_PACKETS) {
    queue->Head = (queue->Head + 1) % QUENBY_IMPLICIT_PACKETS;
    --queue->Count;
  }
  queue->Frames[(queue->Head + queue->Count) % QUENBY_IMPLICIT_PACKETS] = frames;
  ++queue->Count;
}

void ImplicitQueueCommit(IMPLICIT_QUEUE* queue, const IMPLICIT_USE* use) {
  const uint32_t used = use->Used < queue->Count ? use->Used : queue->Count;
  queue->Head = (queue->Head + used) % QUENBY_IMPLICIT_PACKETS;
  queue->Count -= used;
  for (uint32_t i = 0; i < use->GuessCount && i < 8; ++i) {
    // A guess that finds no room is taken as right.
    if (queue->GuessCount == QUENBY_IMPLICIT_PACKETS) continue;
    queue->Guesses[(queue->GuessHead + queue->GuessCount) % QUENBY_IMPLICIT_PACKETS] = use->Guesses[i];
    ++queue->GuessCount;
  }
  queue->Balance += use->Balance;
}

uint32_t ImplicitPacketSizes(const IMPLICIT_QUEUE* queue, uint32_t rate, int highSpeed, uint32_t blockAlign,
                             uint32_t packets, uint32_t period, uint32_t maxPacketBytes, uint32_t bufferBytes,
                             uint32_t* sizes, uint32_t* remainder, IMPLICIT_USE* use) {
  uint32_t total = 0;
  int32_t balance = queue->Balance;
  use->Used = use->GuessCount = 0;
  for (uint32_t i = 0; i < packets && i < 8; ++i) {
    uint32_t frames;
    if (use->Used < queue->Count) {
      frames = queue->Frames[(queue->Head + use->Used) % QUENBY_IMPLICIT_PACKETS];
      ++use->Used;
    } else {
      frames = NominalFrames(rate, highSpeed, period, remainder);
      use->Guesses[use->GuessCount++] = frames;
    }
    // Balance > 0: render sent more than capture carried.
    if (balance > 0 && frames > 0) {
      --frames;
      --balance;
    } else if (balance < 0) {
      ++frames;
      ++balance;
    }
    const uint32_t bytes = CutPacket(frames, blockAlign, maxPacketBytes, bufferBytes - total);
    if (blockAlign != 0) balance -= (int32_t)(frames - bytes / blockAlign);  // frames cut off are not sent
    sizes[i] = bytes;
    total += bytes;
  }
  use->Balance = balance - queue->Balance;
  return total;
}

uint32_t RenderDelayFrames(uint32_t ringFrames, int scheduledAhead, uint32_t framesAhead, uint32_t rate) {
  const uint64_t frames = scheduledAhead ? framesAhead : 2;
  const uint64_t delay = ringFrames + frames * rate / 1000;
  return delay > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)delay;
}

uint32_t CaptureCreditAdd(uint32_t credit, uint64_t add, uint32_t cap) {
  const uint64_t sum = (uint64_t)credit + add;
  return sum > cap ? cap : (uint32_t)sum;
}

uint32_t FeedbackWord(const uint8_t* packet, uint32_t length) {
  if (length < 3) return 0;
  const uint32_t bytes = length < 4 ? length : 4;
  uint32_t word = 0;
  for (uint32_t b = 0; b < bytes; ++b) word |= (uint32_t)packet[b] << (8 * b);
  return word;
}

namespace {

// Samples per bus interval of a word read in `format`, in 16.16; 10.14 is
// a 24-bit format (its upper byte, when sent, carries nothing).
uint64_t FeedbackAs16(uint32_t word, uint32_t format) {
  return format == QUENBY_FEEDBACK_10_14 ? (uint64_t)(word & 0xFFFFFF) << 2 : word;
}

uint64_t Distance(uint64_t a, uint64_t b) {
  return a > b ? a - b : b - a;
}

}  // namespace

uint32_t FeedbackDetectFormat(uint32_t word, int highSpeed, uint32_t nominalValue) {
  const uint64_t nominal = highSpeed ? nominalValue : (uint64_t)nominalValue << 2;  // in 16.16
  const uint64_t as16 = FeedbackAs16(word, QUENBY_FEEDBACK_16_16);
  const uint64_t as14 = FeedbackAs16(word, QUENBY_FEEDBACK_10_14);
  const uint32_t format =
      Distance(as16, nominal) <= Distance(as14, nominal) ? QUENBY_FEEDBACK_16_16 : QUENBY_FEEDBACK_10_14;
  const uint64_t reading = format == QUENBY_FEEDBACK_16_16 ? as16 : as14;
  const uint64_t integer = reading >> 16, nominalInteger = nominal >> 16;
  if (integer + 1 < nominalInteger || integer > nominalInteger + 1) return QUENBY_FEEDBACK_UNKNOWN;
  return format;
}

uint32_t FeedbackToNative(uint32_t word, uint32_t format, int highSpeed) {
  const uint64_t as16 = FeedbackAs16(word, format);
  return highSpeed ? (uint32_t)as16 : (uint32_t)(as16 >> 2) & 0xFFFFFF;
}

uint32_t FeedbackFromPacket(uint32_t value, int highSpeed, uint32_t nominal) {
  uint32_t integer = highSpeed ? value >> 16 : (value >> 14) & 0x3FF;
  if (integer + 1 < nominal || integer > nominal + 1) return 0;
  return highSpeed ? value : value & 0xFFFFFF;
}

uint32_t NominalFeedback(uint32_t rate, int highSpeed, uint32_t* nominal) {
  // x = rate / interval rate; value = integer part and fraction in fixed
  // point, the fraction truncated (exact integer arithmetic of the same).
  const uint64_t per = highSpeed ? 8000 : 1000;
  const uint32_t shift = highSpeed ? 16 : 14;
  *nominal = uint32_t(rate / per);
  return uint32_t(((uint64_t)rate << shift) / per);
}

void FeedbackAverageReset(FEEDBACK_AVERAGE* average) {
  memset(average, 0, sizeof(*average));
}

void FeedbackAverageAdd(FEEDBACK_AVERAGE* average, uint32_t value) {
  if (average->Count == QUENBY_FEEDBACK_AVERAGED) {
    average->Sum -= average->Values[average->Next];
  } else {
    ++average->Count;
  }
  average->Values[average->Next] = value;
  average->Sum += value;
  average->Next = (average->Next + 1) % QUENBY_FEEDBACK_AVERAGED;
}

uint32_t FeedbackAverageValue(const FEEDBACK_AVERAGE* average, uint32_t otherwise) {
  if (average->Count == 0) return otherwise;
  return (uint32_t)((average->Sum + average->Count / 2) / average->Count);
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

STREAM_PLAN PlanStreams(const STREAM_REQUEST* r) {
  const int C = 0, R = 1;
  STREAM_PLAN p = {};
  // Capture no pin holds may move to render's rate; on one clock for both
  // it runs beside render only if it can.
  const int captureFree = !r->Kept[C] && !r->InUse[C];
  const int followsRender = !r->SharedClock || r->CaptureCarries;
  const int moves = r->SharedClock && r->CaptureCarries;
  switch (r->Ask) {
    case StreamAskCapturePin:
      // A KS pin runs capture at its own rate (and fails while render holds
      // the one clock at another); direct mode keeps the client's format.
      if (!r->Direct && !r->CaptureCarries) p.Refusal = StreamRefusedCaptureRate;
      p.CaptureRate = r->Direct ? 0 : r->Rate[C];
      p.StartCapture = 1;
      break;
    case StreamAskRenderPin:
      p.CaptureRate = captureFree && moves ? r->Rate[R] : 0;
      p.StartCapture =
          r->HasCapture && !r->InUse[C] && captureFree && followsRender && (!r->Powered || !r->Running[C]);
      p.StartRender = !r->Powered || (!r->InUse[R] && !r->Running[R]);
      break;
    case StreamAskDirectFormats:
    case StreamAskDirectStart:
      if (r->Ask == StreamAskDirectFormats && r->HasCapture && r->SharedClock && r->Rate[C] != r->Rate[R])
        p.Refusal = StreamRefusedClockRate;
      p.StopRenderFirst = r->SharedClock && r->Powered;
      p.StartCapture = r->HasCapture;
      p.StartRender = 1;
      break;
    case StreamAskLeaveDirect: {
      // Pins held at two rates on one clock cannot both stream: render's
      // runs, and capture's restart is what fails.
      const int restart = r->Kept[C] || !r->Kept[R] || followsRender;
      p.StopRenderFirst = r->SharedClock && r->Powered;
      p.RenderFirst = r->SharedClock && r->Kept[C] && r->Kept[R] && r->Rate[C] != r->Rate[R];
      p.CaptureRate = r->HasCapture && !r->Kept[C] && r->Kept[R] && moves ? r->Rate[R] : 0;
      p.StartCapture = r->HasCapture && restart;
      p.StopCapture = r->HasCapture && !restart;
      p.StartRender = 1;
      p.KeepCapture = r->Kept[C] || r->Kept[R];  // capture runs on beside a held render
      p.KeepRender = r->Kept[R];
      break;
    }
    case StreamAskCaptureStream:
    case StreamAskRenderStream: {
      const int d = r->Ask == StreamAskCaptureStream ? C : R;
      if (r->SharedClock && r->OtherRate != 0 && r->OtherRate != r->Rate[d])
        p.Refusal = StreamRefusedClockRate;
      p.StartCapture = d == C;
      p.StartRender = d == R;
      break;
    }
    default:
      p.Refusal = StreamRefusedClockRate;
      break;
  }
  if (p.Refusal != StreamAllowed) {
    STREAM_PLAN refused = {};
    refused.Refusal = p.Refusal;
    return refused;
  }
  return p;
}
