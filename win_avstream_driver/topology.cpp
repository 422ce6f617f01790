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
const uint8_t kAcMixerUnit = 0x04;
const uint8_t kAcSelectorUnit = 0x05;
const uint8_t kAcFeatureUnit = 0x06;
const uint8_t kAcEffectUnit = 0x07;
const uint8_t kAcProcessingUnit = 0x08;
const uint8_t kAcExtensionUnit = 0x09;
const uint8_t kAcSampleRateConverter = 0x0D;
const uint8_t kAcClockSource = 0x0A;
const uint8_t kAcClockSelector = 0x0B;
const uint8_t kAcClockMultiplier = 0x0C;
const uint8_t kAcHeaderSize = 9;
const uint8_t kInputTerminalSize = 17;
const uint8_t kOutputTerminalSize = 12;
const uint8_t kFeatureUnitMinSize = 10;
const uint8_t kClockSourceSize = 8;
const uint8_t kClockSelectorMinSize = 7;  // plus one byte per input
const uint8_t kClockMultiplierSize = 7;
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
    case kAcClockSelector:
      return p[0] >= kClockSelectorMinSize && p[0] >= kClockSelectorMinSize + p[4];
    case kAcClockMultiplier:
      return p[0] >= kClockMultiplierSize;
    default:
      return true;
  }
}

bool IsAudioInterface(const uint8_t* p, uint8_t subclass) {
  return p[1] == kInterfaceType && p[5] == 0x01 && p[6] == subclass && p[7] == 0x20;
}

bool IsClockEntity(const uint8_t* p) {
  return p[1] == kCsInterface &&
         (p[2] == kAcClockSource || p[2] == kAcClockSelector || p[2] == kAcClockMultiplier);
}

// Any clock entity (source, selector, multiplier) with that ID.
const uint8_t* FindClock(const uint8_t* block, const uint8_t* blockEnd, uint8_t id) {
  for (const uint8_t* p = block; p < blockEnd; p += p[0]) {
    if (IsClockEntity(p) && p[3] == id) return p;
  }
  return nullptr;
}

const int kClockDepth = 8;

// Whether clock entity `id` leads to a clock source through selector inputs
// and multipliers within kClockDepth entities. Breadth first, every entity
// at most once per search: a selector whose inputs name itself, each other or
// one entity many times costs one look at each entity, never a walk of every
// path (which grows exponentially with the inputs).
bool ReachesSource(const uint8_t* block, const uint8_t* blockEnd, uint8_t id) {
  uint8_t queue[256];  // IDs in the order they are reached; each at most once
  uint8_t seen[32];
  memset(seen, 0, sizeof(seen));
  uint32_t count = 0;
  auto reach = [&](uint8_t x) {
    if ((seen[x / 8] & (1u << (x % 8))) != 0) return;
    seen[x / 8] = (uint8_t)(seen[x / 8] | (1u << (x % 8)));
    queue[count++] = x;
  };
  reach(id);
  uint32_t head = 0, levelEnd = count;
  for (int level = 0; head < count; ++head) {
    if (head == levelEnd) {
      if (++level >= kClockDepth) break;
      levelEnd = count;
    }
    const uint8_t* e = FindClock(block, blockEnd, queue[head]);
    if (e == nullptr) continue;
    if (e[2] == kAcClockSource) return true;
    if (e[2] == kAcClockMultiplier) {
      reach(e[4]);
      continue;
    }
    for (uint8_t i = 0; i < e[4]; ++i) reach(e[5 + i]);
  }
  return false;
}

// The path's clock: the entity the streaming terminal names (`id`), and
// the source when it is one; a path whose clock leads to no source has none.
AUDIO_PATH_STATE SetClock(const uint8_t* block, const uint8_t* blockEnd, uint8_t id, AUDIO_PATH* path) {
  path->ClockEntity = FindClock(block, blockEnd, id);
  path->ClockSource =
      path->ClockEntity != nullptr && path->ClockEntity[2] == kAcClockSource ? path->ClockEntity : nullptr;
  return ReachesSource(block, blockEnd, id) ? AudioPathFound : AudioPathNoClock;
}

// Fields of the terminals, whose lengths the block walk checked.
inline bool IsTerminal(const uint8_t* p, uint8_t subtype) {
  return p[1] == kCsInterface && p[2] == subtype;
}
inline uint16_t TerminalType(const uint8_t* terminal) {
  return Le16(terminal + 4);
}
inline uint8_t InputTerminalClock(const uint8_t* it) {
  return it[7];
}
inline uint8_t OutputTerminalSource(const uint8_t* ot) {
  return ot[7];
}
inline uint8_t OutputTerminalClock(const uint8_t* ot) {
  return ot[8];
}

// Whether p is a terminal or a unit: what a path passes through and what
// its source IDs name. Clock entities have IDs of their own.
bool IsPathEntity(const uint8_t* p) {
  if (p[1] != kCsInterface || p[0] < 4) return false;
  switch (p[2]) {
    case kAcInputTerminal:
    case kAcOutputTerminal:
    case kAcMixerUnit:
    case kAcSelectorUnit:
    case kAcFeatureUnit:
    case kAcEffectUnit:
    case kAcProcessingUnit:
    case kAcExtensionUnit:
    case kAcSampleRateConverter:
      return true;
    default:
      return false;
  }
}

// The first terminal or unit with bTerminalID or bUnitID `id`; null when none.
const uint8_t* FindPathEntity(const uint8_t* block, const uint8_t* blockEnd, uint8_t id) {
  for (const uint8_t* p = block; p < blockEnd; p += p[0]) {
    if (IsPathEntity(p) && p[3] == id) return p;
  }
  return nullptr;
}

// The source IDs of a unit: `*count` of them from `*sources`. False for a
// terminal, and for a unit too short to hold the sources it announces.
bool UnitSources(const uint8_t* unit, const uint8_t** sources, uint32_t* count) {
  uint32_t at = 0, n = 1;
  switch (unit[2]) {
    case kAcFeatureUnit:          // bSourceID
    case kAcSampleRateConverter:  // bSourceID
      at = 4;
      break;
    case kAcEffectUnit:  // wEffectType, bSourceID
      at = 6;
      break;
    case kAcMixerUnit:     // bNrInPins, baSourceID[]
    case kAcSelectorUnit:  // bNrInPins, baSourceID[]
      if (unit[0] < 5) return false;
      n = unit[4];
      at = 5;
      break;
    case kAcProcessingUnit:  // wProcessType, bNrInPins, baSourceID[]
    case kAcExtensionUnit:   // wExtensionCode, bNrInPins, baSourceID[]
      if (unit[0] < 7) return false;
      n = unit[6];
      at = 7;
      break;
    default:
      return false;
  }
  if (unit[0] < at + n) return false;
  *sources = unit + at;
  *count = n;
  return true;
}

// Units a path may pass through between its two terminals (the refusal
// texts name the bound).
const int kPathDepth = 16;

// A terminal path of one direction, searched upstream (breadth first, so
// the shortest) from the output terminals at the far end of that direction
// through units to an input terminal at the near end. Render runs from a
// USB-streaming input terminal to an output terminal that is not USB
// streaming; capture from an input terminal that is not USB streaming to a
// USB-streaming output terminal. Every ID is visited once, so loops end;
// paths longer than kPathDepth units are not followed. Fills the path's
// terminals (and, for render, its first feature unit) when found.
bool FindTerminalPath(const uint8_t* block, const uint8_t* blockEnd, bool render, AUDIO_PATH* path) {
  uint8_t queue[256];  // IDs in the order they are reached; each at most once
  uint8_t next[256];   // per ID reached: the ID it feeds towards the output terminal, 0 for that terminal
  uint8_t seen[32];
  memset(next, 0, sizeof(next));
  memset(seen, 0, sizeof(seen));
  auto reach = [&](uint8_t id) {
    if (id == 0 || (seen[id / 8] & (1u << (id % 8))) != 0) return false;
    seen[id / 8] = (uint8_t)(seen[id / 8] | (1u << (id % 8)));
    return true;
  };
  uint32_t count = 0;
  for (const uint8_t* ot = block; ot < blockEnd; ot += ot[0]) {
    if (!IsTerminal(ot, kAcOutputTerminal) || (TerminalType(ot) == kUsbStreaming) == render) continue;
    // An output terminal whose ID an earlier entity took is no path's end.
    if (FindPathEntity(block, blockEnd, ot[3]) != ot || !reach(ot[3])) continue;
    queue[count++] = ot[3];
  }
  uint32_t head = 0, levelEnd = count;
  for (int level = 0; head < count; ++head) {
    if (head == levelEnd) {
      if (++level > kPathDepth + 1) break;
      levelEnd = count;
    }
    const uint8_t id = queue[head];
    const uint8_t* e = FindPathEntity(block, blockEnd, id);
    if (e == nullptr) continue;
    if (level > 0 && IsTerminal(e, kAcInputTerminal)) {
      if ((TerminalType(e) == kUsbStreaming) != render) continue;
      // Found: from the input terminal downstream to the output terminal.
      path->InputTerminal = e;
      path->FeatureUnit = nullptr;
      for (uint8_t down = next[id];; down = next[down]) {
        const uint8_t* d = FindPathEntity(block, blockEnd, down);
        if (next[down] == 0) {
          path->OutputTerminal = d;
          break;
        }
        if (render && path->FeatureUnit == nullptr && d[2] == kAcFeatureUnit) path->FeatureUnit = d;
      }
      return true;
    }
    const uint8_t* sources = nullptr;
    uint32_t n = 0;
    uint8_t terminalSource = 0;
    if (level == 0) {
      terminalSource = OutputTerminalSource(e);
      sources = &terminalSource;
      n = 1;
    } else if (!UnitSources(e, &sources, &n)) {
      continue;
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (!reach(sources[i])) continue;
      next[sources[i]] = id;
      queue[count++] = sources[i];
    }
  }
  return false;
}

// Whether the block has the streaming terminal of a direction: a
// USB-streaming input terminal for render, output terminal for capture.
bool HasStreamingTerminal(const uint8_t* block, const uint8_t* blockEnd, bool render) {
  const uint8_t subtype = render ? kAcInputTerminal : kAcOutputTerminal;
  for (const uint8_t* p = block; p < blockEnd; p += p[0]) {
    if (IsTerminal(p, subtype) && TerminalType(p) == kUsbStreaming) return true;
  }
  return false;
}

// The path of a direction and its clock: the one the streaming terminal
// names, since that clock paces the streaming interface.
AUDIO_PATH_STATE FindPath(const uint8_t* block, const uint8_t* blockEnd, bool render, AUDIO_PATH* path) {
  if (!FindTerminalPath(block, blockEnd, render, path)) {
    return HasStreamingTerminal(block, blockEnd, render) ? AudioPathUnreached : AudioPathAbsent;
  }
  const uint8_t clock =
      render ? InputTerminalClock(path->InputTerminal) : OutputTerminalClock(path->OutputTerminal);
  return SetClock(block, blockEnd, clock, path);
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

// bmAttributes transfer type, and usage of isochronous endpoints.
const uint8_t kIsochronous = 0x01;
const uint8_t kUsageData = 0x00;
const uint8_t kUsageFeedback = 0x10;
const uint8_t kUsageImplicitFeedbackData = 0x20;

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

// The position of interface `number` among the configuration's interfaces
// in the order of their first descriptors: the index the framework's
// interface objects have (WdfUsbTargetDeviceGetInterface).
uint32_t InterfacePosition(const uint8_t* config, const uint8_t* end, uint8_t number) {
  uint8_t seen[32];
  memset(seen, 0, sizeof(seen));
  uint32_t position = 0;
  for (const uint8_t* p = config; Fits(p, end); p += p[0]) {
    if (p[1] != kInterfaceType || p[0] < 9) continue;
    const uint8_t n = p[2];
    if (n == number) return position;
    if ((seen[n / 8] & (1u << (n % 8))) == 0) {
      seen[n / 8] = (uint8_t)(seen[n / 8] | (1u << (n % 8)));
      ++position;
    }
  }
  return position;
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
  t->CapturePathState = FindPath(p, q, false, &t->CapturePath);
  t->RenderPathState = FindPath(p, q, true, &t->RenderPath);
  TOPOLOGY_RESULT pathResult = TopologyOk;
  if (t->CapturePathState == AudioPathNoClock && t->RenderPathState == AudioPathNoClock) {
    pathResult = TopologyNoClockSource;
  }

  // 4, 5. Streaming interfaces from the end of the block to the end of the
  // configuration, one slot per alternate setting.
  StreamingInterface s;
  memset(&s, 0, sizeof(s));
  // A capture data endpoint of implicit-feedback usage: the unit paces
  // render by the packets it sends (when render has no explicit feedback).
  bool implicitSource = false, bothDirections = false;
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
      // Only isochronous endpoints carry audio or feedback; an interrupt or
      // bulk endpoint of the setting is none of them, but still has a pipe
      // and so counts for the index of those after it.
      if ((p[3] & 0x03) == kIsochronous) {
        uint8_t usage = p[3] & 0x30;
        // A data endpoint that also paces the other direction (implicit
        // feedback) still carries this interface's data.
        if (usage == kUsageImplicitFeedbackData) {
          if ((p[2] & 0x80) != 0) implicitSource = true;
          usage = kUsageData;
        }
        if (usage == kUsageData) {
          // Every data endpoint of an interface goes the way its first does.
          const bool input = (p[2] & 0x80) != 0;
          if (s.dataSeen && input != s.input) bothDirections = true;
          if (!s.dataSeen) {
            s.dataSeen = true;
            s.input = input;
          }
          if (slot->DataEndpoint == nullptr) {
            slot->DataEndpoint = p;
            slot->DataEndpointIndex = s.endpoints;
          }
        } else if (usage == kUsageFeedback && slot->FeedbackEndpoint == nullptr) {
          slot->FeedbackEndpoint = p;
          slot->FeedbackEndpointIndex = s.endpoints;
        }
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
  t->ControlIndex = InterfacePosition(t->Configuration, end, DescriptorInterfaceNumber(t->ControlInterface));
  if (t->HasCaptureInterface)
    t->CaptureIndex =
        InterfacePosition(t->Configuration, end, DescriptorInterfaceNumber(t->CaptureSlots[0].Interface));
  if (t->HasRenderInterface)
    t->RenderIndex =
        InterfacePosition(t->Configuration, end, DescriptorInterfaceNumber(t->RenderSlots[0].Interface));
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    AltSettingSlot* r = &t->RenderSlots[i];
    if (r->DataEndpoint != nullptr)
      r->RenderPacing = (uint8_t)RenderPacing(r->DataEndpoint, r->FeedbackEndpoint,
                                              implicitSource && t->HasCaptureInterface);
  }
  if (bothDirections) return TopologyDataDirection;
  if (pathResult != TopologyOk) return pathResult;
  // Every streaming interface is served or the unit refused: never one
  // direction alone while the other stays silent.
  if (t->HasRenderInterface && !TopologyHasRender(t)) {
    if (t->RenderPathState == AudioPathUnreached) return TopologyRenderUnreached;
    if (t->RenderPathState == AudioPathNoClock) return TopologyRenderNoClock;
    return TopologyNoRender;
  }
  if (t->HasCaptureInterface && t->CapturePathState != AudioPathFound) {
    return t->CapturePathState == AudioPathNoClock ? TopologyCaptureNoClock : TopologyNoCapturePath;
  }
  // A unit that captures only is served; one that streams nothing is not.
  if (!TopologyHasRender(t) && !TopologyHasCapture(t)) return TopologyNoRender;
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
      return "a streaming interface has no isochronous data endpoint";
    case TopologySecondInterface:
      return "a second streaming interface of the same direction";
    case TopologyNoRender:
      return "no render or capture path with its streaming interface";
    case TopologyImplicitFeedback:
      return "render is paced by implicit feedback, but the capture data endpoint that paces it polls at "
             "another interval than the render data endpoint (one capture packet paces one render packet)";
    case TopologyPeriodUnsupported:
      return "a data or feedback endpoint polls less often than every frame (bInterval above 4 at high "
             "speed)";
    case TopologyRenderUnreached:
      return "the render streaming interface's input terminal reaches no output terminal through the units "
             "followed (feature, selector, mixer, processing, extension, effect, sample-rate converter; at "
             "most 16)";
    case TopologyNoCapturePath:
      return "a capture streaming interface, but no input terminal reaches a USB-streaming output terminal "
             "through the units followed (feature, selector, mixer, processing, extension, effect, "
             "sample-rate converter; at most 16)";
    case TopologyCaptureNoClock:
      return "the capture streaming terminal's clock leads to no clock source";
    case TopologyRenderNoClock:
      return "the render streaming terminal's clock leads to no clock source";
    case TopologyDataDirection:
      return "a streaming interface has data endpoints of both directions";
    case TopologyNoFeedback:
      return "an asynchronous render endpoint without a feedback endpoint, and no capture endpoint of "
             "implicit-feedback usage paces it (adaptive and synchronous render need neither)";
    case TopologyFeedbackDirection:
      return "a render feedback endpoint is an OUT endpoint; feedback must come IN from the device";
    case TopologyFeedbackTooShort:
      return "a render feedback endpoint has a wMaxPacketSize below 3 bytes (no 10.14 or 16.16 value fits)";
    case TopologyImplicitClock:
      return "render is paced by implicit feedback, but the capture endpoint that paces it runs from another "
             "clock source";
    case TopologyNoUsableSetting:
      return "a streaming interface has no alternate setting this driver streams (PCM with a 2- to 4-byte "
             "subslot holding its resolution, and for render a way to pace it; 8-bit PCM is not offered)";
  }
  return "unknown";
}

TOPOLOGY_RESULT TopologyCheckPeriods(const USB_AUDIO_TOPOLOGY* t, int highSpeed) {
  const AltSettingSlot* sides[2] = {TopologyHasCapture(t) ? t->CaptureSlots : nullptr,
                                    TopologyHasRender(t) ? t->RenderSlots : nullptr};
  for (const AltSettingSlot* slots : sides) {
    for (int i = 0; slots != nullptr && i < QUENBY_MAX_SLOTS; ++i) {
      const uint8_t* endpoints[2] = {slots[i].DataEndpoint, slots[i].FeedbackEndpoint};
      for (const uint8_t* e : endpoints) {
        if (e != nullptr && EndpointPeriod(e, highSpeed) == 0) return TopologyPeriodUnsupported;
      }
    }
  }
  for (int r = 0; sides[0] != nullptr && sides[1] != nullptr && r < QUENBY_MAX_SLOTS; ++r) {
    if (t->RenderSlots[r].RenderPacing != QUENBY_PACING_IMPLICIT) continue;
    const uint32_t period = EndpointPeriod(t->RenderSlots[r].DataEndpoint, highSpeed);
    for (int c = 0; c < QUENBY_MAX_SLOTS; ++c) {
      const uint8_t* e = t->CaptureSlots[c].DataEndpoint;
      if (e != nullptr && (e[3] & 0x30) == kUsageImplicitFeedbackData &&
          EndpointPeriod(e, highSpeed) != period)
        return TopologyImplicitFeedback;
    }
  }
  return TopologyOk;
}

TOPOLOGY_RESULT TopologyCheckSettings(const USB_AUDIO_TOPOLOGY* t) {
  for (int render = 0; render <= 1; ++render) {
    if (render ? !TopologyHasRender(t) : !TopologyHasCapture(t)) continue;
    const AltSettingSlot* slots = render ? t->RenderSlots : t->CaptureSlots;
    bool paced = false, usable = false;
    for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
      const uint8_t* f = slots[i].FeedbackEndpoint;
      if (render && f != nullptr) {
        if ((f[2] & 0x80) == 0) return TopologyFeedbackDirection;
        // The value is 3 bytes (10.14) or 4 (16.16), in one transaction.
        if ((Le16(f + 4) & 0x7FF) < 3) return TopologyFeedbackTooShort;
      }
      paced = paced || slots[i].RenderPacing != QUENBY_PACING_NONE;
      usable = usable || SlotIsUsable(&slots[i]);
    }
    if (render && !paced) return TopologyNoFeedback;
    if (!usable) return TopologyNoUsableSetting;
  }
  return TopologyOk;
}

CLOCK_KIND ClockEntityKind(const uint8_t* e) {
  if (e == nullptr) return ClockKindNone;
  switch (e[2]) {
    case kAcClockSource:
      return ClockKindSource;
    case kAcClockSelector:
      return ClockKindSelector;
    case kAcClockMultiplier:
      return ClockKindMultiplier;
    default:
      return ClockKindNone;
  }
}

const uint8_t* TopologyFindClock(const USB_AUDIO_TOPOLOGY* t, uint8_t id) {
  if (t->ControlHeader == nullptr) return nullptr;
  return FindClock(t->ControlHeader, t->ControlEnd, id);
}

uint8_t ClockSelectorInput(const uint8_t* selector, uint32_t pin) {
  if (pin < 1 || pin > selector[4]) return 0;
  return selector[4 + pin];
}

CLOCK_RESULT ClockResolve(const USB_AUDIO_TOPOLOGY* t, uint8_t id, CLOCK_READ read, void* context,
                          const uint8_t** source) {
  *source = nullptr;
  for (int depth = 0; depth < kClockDepth; ++depth) {
    const uint8_t* e = TopologyFindClock(t, id);
    uint32_t value = 0;
    switch (ClockEntityKind(e)) {
      case ClockKindSource:
        *source = e;
        return ClockResolved;
      case ClockKindSelector:
        if (!read(context, id, QUENBY_CX_CLOCK_SELECTOR_CONTROL, &value)) return ClockSelectorUnread;
        id = ClockSelectorInput(e, value);
        if (id == 0) return ClockSelectorInvalid;
        break;
      case ClockKindMultiplier: {
        uint32_t denominator = 0;
        if (!read(context, id, QUENBY_CM_NUMERATOR_CONTROL, &value) ||
            !read(context, id, QUENBY_CM_DENOMINATOR_CONTROL, &denominator))
          return ClockMultiplierUnread;
        // The rate at the terminal would be the source's times this ratio.
        if (value != denominator || value == 0) return ClockRatioNotOne;
        id = e[4];
        break;
      }
      default:
        return ClockNoEntity;
    }
  }
  return ClockLoop;
}

const char* ClockResultText(CLOCK_RESULT result) {
  switch (result) {
    case ClockResolved:
      return "ok";
    case ClockNoEntity:
      return "a clock selector or multiplier names no clock entity";
    case ClockLoop:
      return "the clock selectors and multipliers form a loop";
    case ClockSelectorUnread:
      return "a clock selector's current input could not be read";
    case ClockSelectorInvalid:
      return "a clock selector reports an input it does not have";
    case ClockMultiplierUnread:
      return "a clock multiplier's ratio could not be read";
    case ClockRatioNotOne:
      return "a clock multiplier between a terminal and its clock source has a ratio other than 1:1";
    case ClockFixedRateUnread:
      return "its sampling frequency is not host-programmable (read-only), and it did not report the rate "
             "it runs at";
    case ClockFixedRateNotCarried:
      return "its sampling frequency is not host-programmable (read-only), and no alternate setting of its "
             "streaming interface carries the rate it runs at";
  }
  return "unknown";
}

int TopologyRendersImplicitly(const USB_AUDIO_TOPOLOGY* t) {
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (t->RenderSlots[i].RenderPacing == QUENBY_PACING_IMPLICIT) return 1;
  }
  return 0;
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
int ClockSourceRateSettable(const uint8_t* d) {
  return d != nullptr && (d[5] & 0x03) == 0x03;  // bmControls, inside the 8 bytes the walk checked
}
int ClockSourceValidityReadable(const uint8_t* d) {
  return d != nullptr && (d[5] & 0x04) != 0;  // bmControls, inside the 8 bytes the walk checked
}
uint8_t DescriptorEndpointAddress(const uint8_t* d) {
  return d[2];
}

uint32_t EndpointSyncType(const uint8_t* endpoint) {
  return endpoint == nullptr ? QUENBY_SYNC_NONE : (uint32_t)(endpoint[3] >> 2) & 3;
}

uint32_t RenderPacing(const uint8_t* dataEndpoint, const uint8_t* feedbackEndpoint, int implicitSource) {
  if (dataEndpoint == nullptr) return QUENBY_PACING_NONE;
  if (feedbackEndpoint != nullptr) return QUENBY_PACING_FEEDBACK;
  // USB 2.0, 5.12.4.1: an adaptive sink follows the data rate it gets, a
  // synchronous one the bus's frame clock, which the host's nominal packets
  // follow; so does a sink without synchronization. An asynchronous one
  // needs feedback: explicit, or implicit (USB 2.0, 5.12.4.3).
  if (EndpointSyncType(dataEndpoint) != QUENBY_SYNC_ASYNCHRONOUS) return QUENBY_PACING_NOMINAL;
  return implicitSource ? QUENBY_PACING_IMPLICIT : QUENBY_PACING_NONE;
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

int SlotIsUsable(const AltSettingSlot* slot) {
  // Alternate setting 0 is the idle one streams stop in, whatever it lists.
  if (!SlotIsPcm(slot) || slot->DataEndpoint == nullptr || DescriptorAlternateSetting(slot->Interface) == 0)
    return 0;
  const uint32_t bytes = SlotSubslotBytes(slot), bits = SlotBits(slot);
  if (bytes < 2 || bytes > 4 || bits == 0 || bits > 8 * bytes) return 0;
  const bool render = (slot->DataEndpoint[2] & 0x80) == 0;
  return !render || slot->RenderPacing != QUENBY_PACING_NONE;
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

uint32_t EndpointPeriod(const uint8_t* endpoint, int highSpeed) {
  if (endpoint == nullptr || !highSpeed) return 1;
  uint32_t interval = endpoint[6] < 1 ? 1 : endpoint[6];
  return interval > 4 ? 0 : 1u << (interval - 1);
}

int SlotCarriesRate(const AltSettingSlot* slot, uint32_t rate, int highSpeed) {
  const uint32_t frameBytes = SlotChannels(slot) * SlotSubslotBytes(slot);
  const uint32_t period = EndpointPeriod(slot->DataEndpoint, highSpeed);
  if (frameBytes == 0 || slot->DataEndpoint == nullptr || period == 0) return 0;
  const uint64_t intervals = highSpeed ? 8000u : 1000u;
  const uint64_t frames = EndpointBytesPerInterval(slot->DataEndpoint) / frameBytes;
  if (EndpointSyncType(slot->DataEndpoint) == QUENBY_SYNC_SYNCHRONOUS)
    return frames >= ((uint64_t)rate * period + intervals - 1) / intervals;
  return frames > (uint64_t)rate * period / intervals;
}

int SlotFindForShape(const AltSettingSlot* slots, uint32_t channels, uint32_t containerBits,
                     uint32_t validBits, uint32_t rate, int highSpeed) {
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    const AltSettingSlot* s = &slots[i];
    if (!SlotIsUsable(s) || SlotChannels(s) != channels || SlotContainerBits(s) != containerBits) continue;
    if (validBits != 0 && SlotBits(s) != validBits) continue;
    if (SlotCarriesRate(s, rate, highSpeed)) return i;
  }
  return -1;
}

int SlotFindForFormat(const AltSettingSlot* slots, uint32_t channels, uint32_t bits) {
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (SlotIsUsable(&slots[i]) && SlotChannels(&slots[i]) == channels && SlotBits(&slots[i]) == bits)
      return i;
  }
  return -1;
}

int SlotDefaultFormat(const AltSettingSlot* slots, uint32_t minChannels, uint32_t minBits, uint32_t* channels,
                      uint32_t* bits) {
  int best = SlotFindForFormat(slots, minChannels, minBits);
  if (best < 0) {
    for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
      if (!SlotIsUsable(&slots[i])) continue;
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

namespace {

// The rates a subrange with dMIN below dMAX offers besides dMIN.
const uint32_t kStandardRates[] = {8000,  11025, 16000, 22050,  24000,  32000,  44100, 48000,
                                   64000, 88200, 96000, 176400, 192000, 352800, 384000};

bool SubrangeHolds(const uint8_t* subrange, uint32_t rate) {
  const uint32_t min = Le32(subrange), max = Le32(subrange + 4), res = Le32(subrange + 8);
  if (rate < QUENBY_LOWEST_RATE) return false;
  if (rate == min) return true;
  if (min >= max || rate < min || rate > max) return false;
  bool standard = false;
  for (uint32_t r : kStandardRates) standard = standard || r == rate;
  return standard && (res <= 1 || (rate - min) % res == 0);
}

}  // namespace

int RateListOffers(const uint8_t* list, size_t bytes, uint32_t rate) {
  uint32_t n = RateListCount(list, bytes);
  for (uint32_t i = 0; i < n && rate != 0; ++i) {
    if (SubrangeHolds(list + 2 + 12 * (size_t)i, rate)) return 1;
  }
  return 0;
}

namespace {

// The smallest rate above `last` the list offers (a dMIN, or a standard rate
// a subrange holds, from QUENBY_LOWEST_RATE up); 0 when none.
uint32_t OfferedAfter(const uint8_t* list, size_t bytes, uint32_t last) {
  uint32_t next = 0;
  const uint32_t n = RateListCount(list, bytes);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t r = RateListRate(list, bytes, i);
    if (r >= QUENBY_LOWEST_RATE && r > last && (next == 0 || r < next)) next = r;
  }
  for (uint32_t r : kStandardRates) {
    if (r > last && (next == 0 || r < next) && RateListOffers(list, bytes, r)) next = r;
  }
  return next;
}

}  // namespace

uint32_t RateListOffered(const uint8_t* list, size_t bytes, uint32_t* rates, uint32_t max) {
  uint32_t count = 0;
  for (uint32_t r = OfferedAfter(list, bytes, 0); r != 0; r = OfferedAfter(list, bytes, r)) {
    if (count < max) rates[count] = r;
    ++count;
  }
  return count;
}

void ComputeLimits(const AltSettingSlot* slots, const uint8_t* rateList, size_t rateListBytes,
                   DIRECTION_LIMITS* limits) {
  memset(limits, 0, sizeof(*limits));
  bool any = false;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (!SlotIsUsable(&slots[i])) continue;
    const uint32_t c = SlotChannels(&slots[i]), b = SlotBits(&slots[i]);
    const uint32_t container = SlotContainerBits(&slots[i]);
    if (!any || c < limits->MinChannels) limits->MinChannels = c;
    if (!any || c > limits->MaxChannels) limits->MaxChannels = c;
    if (!any || b < limits->MinBits) limits->MinBits = b;
    if (!any || container > limits->MaxBits) limits->MaxBits = container;
    any = true;
  }
  for (uint32_t r = OfferedAfter(rateList, rateListBytes, 0); r != 0;
       r = OfferedAfter(rateList, rateListBytes, r)) {
    if (limits->MinRate == 0) limits->MinRate = r;
    limits->MaxRate = r;
  }
}
