// Topology discovery on the configuration descriptor, slots, limits and rate
// lists (pure logic, see topology.h).
#include "topology.h"

#include <string.h>

namespace {

const uint8_t kConfigurationType = 0x02;
const uint8_t kInterfaceType = 0x04;
const uint8_t kEndpointType = 0x05;
const uint8_t kCsInterface = 0x24;
const uint8_t kCsEndpoint = 0x25;

// Class-specific AudioControl subtypes and their sizes in USB Audio 2.0.
const uint8_t kAcHeader = 0x01;
const uint8_t kAcInputTerminal = 0x02;
const uint8_t kAcOutputTerminal = 0x03;
const uint8_t kAcFeatureUnit = 0x06;
const uint8_t kAcClockSource = 0x0A;
const uint8_t kAcHeaderSize = 9;
const uint8_t kInputTerminalSize = 17;
const uint8_t kOutputTerminalSize = 12;
const uint8_t kFeatureUnitMinSize = 10;
const uint8_t kClockSourceSize = 8;
// Class-specific AudioStreaming subtypes.
const uint8_t kAsGeneral = 0x01;
const uint8_t kAsFormatType = 0x02;
const uint8_t kAsGeneralSize = 16;
const uint8_t kFormatTypeISize = 6;
const uint8_t kCsEndpointSize = 8;

const uint16_t kUsbStreaming = 0x0101;

inline uint16_t Le16(const uint8_t* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// The descriptor at p has a header, a bLength of at least 2 and ends at or
// before `end`.
inline bool Fits(const uint8_t* p, const uint8_t* end) {
  return p < end && end - p >= 2 && p[0] >= 2 && (ptrdiff_t)p[0] <= end - p;
}

// Minimum lengths of the standard descriptors the walks read.
inline bool StandardLongEnough(const uint8_t* p) {
  switch (p[1]) {
    case kConfigurationType:
    case kInterfaceType:
      return p[0] >= 9;
    case kEndpointType:
      return p[0] >= 7;
    default:
      return true;
  }
}

bool AcDescriptorLongEnough(const uint8_t* p) {
  if (p[1] != kCsInterface) return StandardLongEnough(p);
  if (p[0] < 3) return false;
  switch (p[2]) {
    case kAcHeader:
      return p[0] >= kAcHeaderSize;
    case kAcInputTerminal:
      return p[0] >= kInputTerminalSize;
    case kAcOutputTerminal:
      return p[0] >= kOutputTerminalSize;
    case kAcFeatureUnit:
      return p[0] >= kFeatureUnitMinSize;
    case kAcClockSource:
      return p[0] >= kClockSourceSize;
    default:
      return true;
  }
}

bool IsAudioInterface(const uint8_t* p, uint8_t subclass) {
  return p[1] == kInterfaceType && p[5] == 0x01 && p[6] == subclass && p[7] == 0x20;
}

const uint8_t* FindClock(const uint8_t* block, const uint8_t* blockEnd, uint8_t id) {
  for (const uint8_t* p = block; p < blockEnd; p += p[0]) {
    if (p[1] == kCsInterface && p[2] == kAcClockSource && p[3] == id) return p;
  }
  return nullptr;
}

// Terminal searches over the AudioControl block [block, blockEnd), whose
// descriptors have all been checked.
void FindCapturePath(const uint8_t* block, const uint8_t* blockEnd, USB_AUDIO_TOPOLOGY* t) {
  for (const uint8_t* it = block; it < blockEnd; it += it[0]) {
    if (it[1] != kCsInterface || it[2] != kAcInputTerminal || it[5] != 0x02) continue;
    for (const uint8_t* ot = block; ot < blockEnd; ot += ot[0]) {
      if (ot[1] != kCsInterface || ot[2] != kAcOutputTerminal) continue;
      if (ot[7] != it[3] || Le16(ot + 4) != kUsbStreaming) continue;
      t->CapturePath.InputTerminal = it;
      t->CapturePath.OutputTerminal = ot;
      t->CapturePath.ClockSource = FindClock(block, blockEnd, ot[8]);
      t->CapturePathState = t->CapturePath.ClockSource != nullptr ? AudioPathFound : AudioPathNoClock;
      return;
    }
  }
  t->CapturePathState = AudioPathAbsent;
}

void FindRenderPath(const uint8_t* block, const uint8_t* blockEnd, USB_AUDIO_TOPOLOGY* t) {
  for (const uint8_t* it = block; it < blockEnd; it += it[0]) {
    if (it[1] != kCsInterface || it[2] != kAcInputTerminal || Le16(it + 4) != kUsbStreaming) continue;
    const uint8_t* fu = nullptr;
    for (const uint8_t* p = block; p < blockEnd; p += p[0]) {
      if (p[1] == kCsInterface && p[2] == kAcFeatureUnit && p[4] == it[3]) {
        fu = p;
        break;
      }
    }
    for (const uint8_t* ot = block; ot < blockEnd; ot += ot[0]) {
      if (ot[1] != kCsInterface || ot[2] != kAcOutputTerminal) continue;
      bool fromTerminal = ot[7] == it[3];
      bool fromUnit = fu != nullptr && ot[7] == fu[3];
      if (!fromTerminal && !fromUnit) continue;
      t->RenderPath.InputTerminal = it;
      t->RenderPath.FeatureUnit = fromTerminal ? nullptr : fu;
      t->RenderPath.OutputTerminal = ot;
      t->RenderPath.ClockSource = FindClock(block, blockEnd, ot[8]);
      t->RenderPathState = t->RenderPath.ClockSource != nullptr ? AudioPathFound : AudioPathNoClock;
      return;
    }
  }
  t->RenderPathState = AudioPathAbsent;
}

// One streaming interface being gathered.
struct StreamingInterface {
  bool active;
  uint8_t number;
  uint8_t alternate;
  int slot;
  uint8_t endpoints;  // endpoints seen in the current alternate setting
  bool dataSeen;
  bool input;  // direction of the first data endpoint
  AltSettingSlot slots[QUENBY_MAX_SLOTS];
};

TOPOLOGY_RESULT FinishInterface(StreamingInterface* s, USB_AUDIO_TOPOLOGY* t) {
  s->active = false;
  if (!s->dataSeen) return TopologyNoDataEndpoint;
  if (s->input) {
    if (t->HasCaptureInterface) return TopologySecondInterface;
    memcpy(t->CaptureSlots, s->slots, sizeof(s->slots));
    t->HasCaptureInterface = 1;
    t->CaptureIndex = t->AudioInterfaceCount++;
  } else {
    if (t->HasRenderInterface) return TopologySecondInterface;
    memcpy(t->RenderSlots, s->slots, sizeof(s->slots));
    t->HasRenderInterface = 1;
    t->RenderIndex = t->AudioInterfaceCount++;
  }
  return TopologyOk;
}

void BeginInterface(StreamingInterface* s, const uint8_t* p) {
  memset(s, 0, sizeof(*s));
  s->active = true;
  s->number = p[2];
  s->alternate = p[3];
  s->slots[0].Interface = p;
}

}  // namespace

TOPOLOGY_RESULT TopologyDiscover(const uint8_t* config, size_t length, USB_AUDIO_TOPOLOGY* t) {
  memset(t, 0, sizeof(*t));
  if (config == nullptr || length < 2) return TopologyNoConfiguration;
  const uint8_t* copyEnd = config + length;

  // 1. The configuration descriptor; its wTotalLength bounds every walk.
  const uint8_t* p = config;
  for (;;) {
    if (p >= copyEnd) return TopologyNoConfiguration;
    if (!Fits(p, copyEnd) || !StandardLongEnough(p)) return TopologyMalformed;
    if (p[1] == kConfigurationType) break;
    p += p[0];
  }
  size_t total = Le16(p + 2);
  if (total < p[0]) return TopologyMalformed;
  const uint8_t* end = total <= (size_t)(copyEnd - p) ? p + total : copyEnd;
  t->Configuration = p;
  t->ConfigurationEnd = end;
  p += p[0];

  // The AudioControl interface of protocol 0x20 and its class-specific header.
  for (;;) {
    if (p >= end) return TopologyNoControlInterface;
    if (!Fits(p, end) || !StandardLongEnough(p)) return TopologyMalformed;
    if (IsAudioInterface(p, 0x01)) break;
    p += p[0];
  }
  t->ControlInterface = p;
  t->ControlIndex = 0;
  t->AudioInterfaceCount = 1;
  p += p[0];
  for (;;) {
    if (p >= end) return TopologyNoControlHeader;
    if (!Fits(p, end) || !AcDescriptorLongEnough(p)) return TopologyMalformed;
    if (p[1] == kInterfaceType) return TopologyNoControlHeader;
    if (p[1] == kCsInterface && p[2] == kAcHeader) break;
    p += p[0];
  }
  t->ControlHeader = p;

  // The AudioControl block ends at the first of: the header's stated end, the
  // next interface descriptor, the end of the configuration. Devices state
  // wrong totals in both directions; the block never reaches past the
  // descriptor boundary before its end.
  size_t stated = Le16(p + 6);
  const uint8_t* statedEnd = stated <= (size_t)(end - p) ? p + stated : end;
  const uint8_t* q = p;
  while (q < statedEnd) {
    if (!Fits(q, end) || !AcDescriptorLongEnough(q)) return TopologyMalformed;
    if (q[1] == kInterfaceType || q[0] > statedEnd - q) break;
    q += q[0];
  }
  t->ControlEnd = q;

  // 2, 3. Terminal paths inside the block.
  FindCapturePath(p, q, t);
  FindRenderPath(p, q, t);
  TOPOLOGY_RESULT pathResult = TopologyOk;
  if (t->CapturePathState == AudioPathNoClock && t->RenderPathState == AudioPathNoClock) {
    pathResult = TopologyNoClockSource;
  }

  // 4, 5. Streaming interfaces from the end of the block to the end of the
  // configuration, one slot per alternate setting.
  StreamingInterface s;
  memset(&s, 0, sizeof(s));
  for (p = q; p < end; p += p[0]) {
    if (!Fits(p, end) || !StandardLongEnough(p)) return TopologyMalformed;
    if (p[1] == kInterfaceType) {
      bool streaming = IsAudioInterface(p, 0x02);
      if (s.active && p[2] != s.number) {
        TOPOLOGY_RESULT r = FinishInterface(&s, t);
        if (r != TopologyOk) return r;
      }
      if (!s.active) {
        if (streaming && p[3] == 0) BeginInterface(&s, p);
        continue;
      }
      if (p[3] != s.alternate) {
        if (++s.slot >= QUENBY_MAX_SLOTS) return TopologyTooManySettings;
        s.alternate = p[3];
        s.slots[s.slot].Interface = p;
        s.endpoints = 0;
      }
      continue;
    }
    if (!s.active) continue;
    AltSettingSlot* slot = &s.slots[s.slot];
    if (p[1] == kCsInterface) {
      if (p[0] < 3) return TopologyMalformed;
      if (p[2] == kAsGeneral) {
        if (p[0] < kAsGeneralSize) return TopologyMalformed;
        if (p[5] == 1 && Le32(p + 6) == 1 && slot->AsGeneral == nullptr) slot->AsGeneral = p;
      } else if (p[2] == kAsFormatType) {
        if (p[0] < 4) return TopologyMalformed;
        if (p[3] == 1) {
          if (p[0] < kFormatTypeISize) return TopologyMalformed;
          if (slot->FormatTypeI == nullptr) slot->FormatTypeI = p;
        }
      }
    } else if (p[1] == kEndpointType) {
      uint8_t usage = p[3] & 0x30;
      if (usage == 0x00 && slot->DataEndpoint == nullptr) {
        slot->DataEndpoint = p;
        slot->DataEndpointIndex = s.endpoints;
        if (!s.dataSeen) {
          s.dataSeen = true;
          s.input = (p[2] & 0x80) != 0;
        }
      } else if (usage == 0x10 && slot->FeedbackEndpoint == nullptr) {
        slot->FeedbackEndpoint = p;
        slot->FeedbackEndpointIndex = s.endpoints;
      }
      s.endpoints++;
    } else if (p[1] == kCsEndpoint) {
      if (p[0] < 3) return TopologyMalformed;
      if (p[2] == 0x01) {
        if (p[0] < kCsEndpointSize) return TopologyMalformed;
        if (slot->DataEndpointCs == nullptr) slot->DataEndpointCs = p;
      }
    }
  }
  if (s.active) {
    TOPOLOGY_RESULT r = FinishInterface(&s, t);
    if (r != TopologyOk) return r;
  }
  if (pathResult != TopologyOk) return pathResult;
  if (!TopologyHasRender(t)) return TopologyNoRender;
  return TopologyOk;
}

const char* TopologyResultText(TOPOLOGY_RESULT result) {
  switch (result) {
    case TopologyOk:
      return "ok";
    case TopologyNoConfiguration:
      return "no configuration descriptor";
    case TopologyMalformed:
      return "malformed descriptor (bLength 0, too short for its type, or past wTotalLength)";
    case TopologyNoControlInterface:
      return "no AudioControl interface of protocol 0x20 (USB Audio 2.0)";
    case TopologyNoControlHeader:
      return "no class-specific AudioControl header";
    case TopologyNoClockSource:
      return "the terminal paths name no clock source";
    case TopologyTooManySettings:
      return "a streaming interface has more than 8 alternate settings";
    case TopologyNoDataEndpoint:
      return "a streaming interface has no data endpoint";
    case TopologySecondInterface:
      return "a second streaming interface of the same direction";
    case TopologyNoRender:
      return "no render path with its streaming interface";
  }
  return "unknown";
}

int TopologyHasCapture(const USB_AUDIO_TOPOLOGY* t) {
  return t->CapturePathState == AudioPathFound && t->HasCaptureInterface;
}

int TopologyHasRender(const USB_AUDIO_TOPOLOGY* t) {
  return t->RenderPathState == AudioPathFound && t->HasRenderInterface;
}

uint8_t DescriptorInterfaceNumber(const uint8_t* d) {
  return d[2];
}
uint8_t DescriptorAlternateSetting(const uint8_t* d) {
  return d[3];
}
uint8_t DescriptorClockId(const uint8_t* d) {
  return d[3];
}
uint8_t DescriptorEndpointAddress(const uint8_t* d) {
  return d[2];
}

uint32_t EndpointBytesPerInterval(const uint8_t* endpoint) {
  if (endpoint == nullptr) return 0;
  uint16_t w = Le16(endpoint + 4);
  return (uint32_t)(w & 0x7FF) * (1 + ((w >> 11) & 3));
}

int SlotIsEmpty(const AltSettingSlot* slot) {
  return slot->Interface == nullptr;
}

int SlotIsPcm(const AltSettingSlot* slot) {
  return slot->Interface != nullptr && slot->AsGeneral != nullptr && slot->FormatTypeI != nullptr;
}

uint32_t SlotChannels(const AltSettingSlot* slot) {
  return slot->AsGeneral != nullptr ? slot->AsGeneral[10] : 0;
}
uint32_t SlotBits(const AltSettingSlot* slot) {
  return slot->FormatTypeI != nullptr ? slot->FormatTypeI[5] : 0;
}
uint32_t SlotSubslotBytes(const AltSettingSlot* slot) {
  return slot->FormatTypeI != nullptr ? slot->FormatTypeI[4] : 0;
}

uint32_t SlotContainerBits(const AltSettingSlot* slot) {
  const uint32_t container = SlotSubslotBytes(slot) * 8;
  return container != 0 && container >= SlotBits(slot) ? container : 0;
}

int SlotCarriesRate(const AltSettingSlot* slot, uint32_t rate, int highSpeed) {
  const uint32_t frameBytes = SlotChannels(slot) * SlotSubslotBytes(slot);
  if (frameBytes == 0 || slot->DataEndpoint == nullptr) return 0;
  const uint32_t perInterval = rate / (highSpeed ? 8000u : 1000u);
  return EndpointBytesPerInterval(slot->DataEndpoint) / frameBytes > perInterval;
}

int SlotFindForShape(const AltSettingSlot* slots, uint32_t channels, uint32_t containerBits,
                     uint32_t validBits, uint32_t rate, int highSpeed) {
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    const AltSettingSlot* s = &slots[i];
    if (!SlotIsPcm(s) || SlotChannels(s) != channels || SlotContainerBits(s) != containerBits) continue;
    if (validBits != 0 && SlotBits(s) != validBits) continue;
    if (SlotCarriesRate(s, rate, highSpeed)) return i;
  }
  return -1;
}

uint32_t EndpointPacketsPerFrame(const uint8_t* endpoint, int highSpeed) {
  if (endpoint == nullptr || !highSpeed) return 1;
  uint32_t interval = endpoint[6];
  if (interval < 1) interval = 1;
  if (interval > 4) return 1;
  return 8u >> (interval - 1);
}

int SlotFindForFormat(const AltSettingSlot* slots, uint32_t channels, uint32_t bits) {
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (SlotIsPcm(&slots[i]) && SlotChannels(&slots[i]) == channels && SlotBits(&slots[i]) == bits) return i;
  }
  return -1;
}

int SlotDefaultFormat(const AltSettingSlot* slots, uint32_t minChannels, uint32_t minBits, uint32_t* channels,
                      uint32_t* bits) {
  int best = SlotFindForFormat(slots, minChannels, minBits);
  if (best < 0) {
    for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
      if (!SlotIsPcm(&slots[i])) continue;
      if (best < 0 || SlotChannels(&slots[i]) < SlotChannels(&slots[best]) ||
          (SlotChannels(&slots[i]) == SlotChannels(&slots[best]) &&
           SlotBits(&slots[i]) < SlotBits(&slots[best])))
        best = i;
    }
  }
  if (best >= 0) {
    *channels = SlotChannels(&slots[best]);
    *bits = SlotBits(&slots[best]);
  }
  return best;
}

uint32_t SlotsMaxDataPacket(const AltSettingSlot* slots) {
  uint32_t max = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    uint32_t n = EndpointBytesPerInterval(slots[i].DataEndpoint);
    if (n > max) max = n;
  }
  return max;
}

uint32_t SlotsMaxFeedbackPacket(const AltSettingSlot* slots) {
  uint32_t max = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    uint32_t n = EndpointBytesPerInterval(slots[i].FeedbackEndpoint);
    if (n > max) max = n;
  }
  return max;
}

uint32_t RateListCount(const uint8_t* list, size_t bytes) {
  if (list == nullptr || bytes < 2) return 0;
  uint32_t stated = Le16(list);
  uint32_t present = (uint32_t)((bytes - 2) / 12);
  return stated < present ? stated : present;
}

uint32_t RateListRate(const uint8_t* list, size_t bytes, uint32_t index) {
  if (index >= RateListCount(list, bytes)) return 0;
  return Le32(list + 2 + 12 * (size_t)index);
}

int RateListContains(const uint8_t* list, size_t bytes, uint32_t rate) {
  uint32_t n = RateListCount(list, bytes);
  for (uint32_t i = 0; i < n; ++i) {
    if (RateListRate(list, bytes, i) == rate) return 1;
  }
  return 0;
}

void ComputeLimits(const AltSettingSlot* slots, const uint8_t* rateList, size_t rateListBytes,
                   DIRECTION_LIMITS* limits) {
  memset(limits, 0, sizeof(*limits));
  bool channels = false, bits = false;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (slots[i].Interface == nullptr) continue;
    if (slots[i].AsGeneral != nullptr) {
      uint32_t c = SlotChannels(&slots[i]);
      if (!channels || c < limits->MinChannels) limits->MinChannels = c;
      if (!channels || c > limits->MaxChannels) limits->MaxChannels = c;
      channels = true;
    }
    if (slots[i].FormatTypeI != nullptr) {
      uint32_t b = SlotBits(&slots[i]);
      uint32_t container = SlotContainerBits(&slots[i]);
      if (container < b) container = b;
      if (!bits || b < limits->MinBits) limits->MinBits = b;
      if (!bits || container > limits->MaxBits) limits->MaxBits = container;
      bits = true;
    }
  }
  uint32_t n = RateListCount(rateList, rateListBytes);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t r = RateListRate(rateList, rateListBytes, i);
    if (i == 0 || r < limits->MinRate) limits->MinRate = r;
    if (i == 0 || r > limits->MaxRate) limits->MaxRate = r;
  }
}
