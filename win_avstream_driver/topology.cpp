// Topology discovery on the configuration descriptor, slots, limits and rate
// lists (pure logic, see topology.h).
#include "topology.h"

#include <string.h>

#include "usb_audio_descriptors.h"

namespace {

// The least a descriptor of each class-specific AudioControl type the walks
// read holds: its record, with the fixed bytes after a variable part.
const uint8_t kClockSelectorMinSize = sizeof(Uac2ClockSelectorDescriptor) + kUac2ClockSelectorTrailer;
const uint8_t kFeatureUnitMinSize = sizeof(Uac2FeatureUnitDescriptor) + kUac2FeatureUnitTrailer;

// The fields every descriptor, every class-specific one and every entity
// (terminal, unit, clock) starts with.
inline uint8_t Length(const uint8_t* p) {
  return DescriptorAs<UsbDescriptorHeader>(p)->bLength;
}
inline uint8_t Type(const uint8_t* p) {
  return DescriptorAs<UsbDescriptorHeader>(p)->bDescriptorType;
}
inline uint8_t Subtype(const uint8_t* p) {
  return DescriptorAs<Uac2CsDescriptorHeader>(p)->bDescriptorSubtype;
}
inline uint8_t EntityId(const uint8_t* p) {
  return DescriptorAs<Uac2EntityHeader>(p)->bEntityID;
}
inline const UsbEndpointDescriptor* Endpoint(const uint8_t* p) {
  return DescriptorAs<UsbEndpointDescriptor>(p);
}

// The descriptor at p has a header, a bLength of at least 2 and ends at or
// before `end`.
inline bool Fits(const uint8_t* p, const uint8_t* end) {
  return p < end && end - p >= 2 && Length(p) >= 2 && (ptrdiff_t)Length(p) <= end - p;
}

// Minimum lengths of the standard descriptors the walks read.
inline bool StandardLongEnough(const uint8_t* p) {
  switch (Type(p)) {
    case kUsbConfigurationType:
      return Length(p) >= sizeof(UsbConfigurationDescriptor);
    case kUsbInterfaceType:
      return Length(p) >= sizeof(UsbInterfaceDescriptor);
    case kUsbEndpointType:
      return Length(p) >= sizeof(UsbEndpointDescriptor);
    default:
      return true;
  }
}

bool AcDescriptorLongEnough(const uint8_t* p) {
  if (Type(p) != kUac2CsInterface) return StandardLongEnough(p);
  const uint8_t length = Length(p);
  if (length < sizeof(Uac2CsDescriptorHeader)) return false;
  switch (Subtype(p)) {
    case kUac2AcHeader:
      return length >= sizeof(Uac2AcHeaderDescriptor);
    case kUac2InputTerminal:
      return length >= sizeof(Uac2InputTerminalDescriptor);
    case kUac2OutputTerminal:
      return length >= sizeof(Uac2OutputTerminalDescriptor);
    case kUac2FeatureUnit:
      return length >= kFeatureUnitMinSize;
    case kUac2ClockSource:
      return length >= sizeof(Uac2ClockSourceDescriptor);
    case kUac2ClockSelector:
      return length >= kClockSelectorMinSize &&
             length >= kClockSelectorMinSize + DescriptorAs<Uac2ClockSelectorDescriptor>(p)->bNrInPins;
    case kUac2ClockMultiplier:
      return length >= sizeof(Uac2ClockMultiplierDescriptor);
    default:
      return true;
  }
}

bool IsAudioInterface(const uint8_t* p, uint8_t subclass) {
  if (Type(p) != kUsbInterfaceType) return false;
  const UsbInterfaceDescriptor* d = DescriptorAs<UsbInterfaceDescriptor>(p);
  return d->bInterfaceClass == kUac2AudioClass && d->bInterfaceSubClass == subclass &&
         d->bInterfaceProtocol == kUac2Protocol;
}

bool IsClockEntity(const uint8_t* p) {
  return Type(p) == kUac2CsInterface && (Subtype(p) == kUac2ClockSource || Subtype(p) == kUac2ClockSelector ||
                                         Subtype(p) == kUac2ClockMultiplier);
}

// Any clock entity (source, selector, multiplier) with that ID.
const uint8_t* FindClock(const uint8_t* block, const uint8_t* blockEnd, uint8_t id) {
  for (const uint8_t* p = block; p < blockEnd; p += Length(p)) {
    if (IsClockEntity(p) && EntityId(p) == id) return p;
  }
  return nullptr;
}

// The input pins of a clock selector (bNrInPins of them), whose length the
// block walk checked.
inline const uint8_t* ClockSelectorSources(const uint8_t* selector) {
  return selector + sizeof(Uac2ClockSelectorDescriptor);
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
    if (Subtype(e) == kUac2ClockSource) return true;
    if (Subtype(e) == kUac2ClockMultiplier) {
      reach(DescriptorAs<Uac2ClockMultiplierDescriptor>(e)->bCSourceID);
      continue;
    }
    const uint8_t pins = DescriptorAs<Uac2ClockSelectorDescriptor>(e)->bNrInPins;
    for (uint8_t i = 0; i < pins; ++i) reach(ClockSelectorSources(e)[i]);
  }
  return false;
}

// The path's clock: the entity the streaming terminal names (`id`), and
// the source when it is one; a path whose clock leads to no source has none.
AUDIO_PATH_STATE SetClock(const uint8_t* block, const uint8_t* blockEnd, uint8_t id, AUDIO_PATH* path) {
  path->ClockEntity = FindClock(block, blockEnd, id);
  path->ClockSource = path->ClockEntity != nullptr && Subtype(path->ClockEntity) == kUac2ClockSource
                          ? path->ClockEntity
                          : nullptr;
  return ReachesSource(block, blockEnd, id) ? AudioPathFound : AudioPathNoClock;
}

// Fields of the terminals, whose lengths the block walk checked.
inline bool IsTerminal(const uint8_t* p, uint8_t subtype) {
  return Type(p) == kUac2CsInterface && Subtype(p) == subtype;
}
inline uint16_t TerminalType(const uint8_t* terminal) {
  // wTerminalType has one place in input and output terminals alike.
  static_assert(offsetof(Uac2InputTerminalDescriptor, wTerminalType) ==
                    offsetof(Uac2OutputTerminalDescriptor, wTerminalType),
                "terminal layout");
  return Subtype(terminal) == kUac2InputTerminal
             ? DescriptorAs<Uac2InputTerminalDescriptor>(terminal)->wTerminalType
             : DescriptorAs<Uac2OutputTerminalDescriptor>(terminal)->wTerminalType;
}
inline uint8_t InputTerminalClock(const uint8_t* it) {
  return DescriptorAs<Uac2InputTerminalDescriptor>(it)->bCSourceID;
}
inline uint8_t OutputTerminalSource(const uint8_t* ot) {
  return DescriptorAs<Uac2OutputTerminalDescriptor>(ot)->bSourceID;
}
inline uint8_t OutputTerminalClock(const uint8_t* ot) {
  return DescriptorAs<Uac2OutputTerminalDescriptor>(ot)->bCSourceID;
}

// Whether p is a terminal or a unit: what a path passes through and what
// its source IDs name. Clock entities have IDs of their own.
bool IsPathEntity(const uint8_t* p) {
  if (Type(p) != kUac2CsInterface || Length(p) < sizeof(Uac2EntityHeader)) return false;
  switch (Subtype(p)) {
    case kUac2InputTerminal:
    case kUac2OutputTerminal:
    case kUac2MixerUnit:
    case kUac2SelectorUnit:
    case kUac2FeatureUnit:
    case kUac2EffectUnit:
    case kUac2ProcessingUnit:
    case kUac2ExtensionUnit:
    case kUac2SampleRateConverter:
      return true;
    default:
      return false;
  }
}

// The first terminal or unit with bTerminalID or bUnitID `id`; null when none.
const uint8_t* FindPathEntity(const uint8_t* block, const uint8_t* blockEnd, uint8_t id) {
  for (const uint8_t* p = block; p < blockEnd; p += Length(p)) {
    if (IsPathEntity(p) && EntityId(p) == id) return p;
  }
  return nullptr;
}

// A unit whose bNrInPins source IDs (baSourceID[]) follow its fixed part T:
// their count and where they start. False when the unit is shorter than T.
template <typename T>
bool SourcePins(const uint8_t* unit, uint32_t* n, uint32_t* at) {
  if (Length(unit) < sizeof(T)) return false;
  *n = DescriptorAs<T>(unit)->bNrInPins;
  *at = sizeof(T);
  return true;
}

// The source IDs of a unit: `*count` of them from `*sources`. False for a
// terminal, and for a unit too short to hold the sources it announces.
bool UnitSources(const uint8_t* unit, const uint8_t** sources, uint32_t* count) {
  uint32_t at = 0, n = 1;
  switch (Subtype(unit)) {
    case kUac2FeatureUnit:
      at = offsetof(Uac2FeatureUnitDescriptor, bSourceID);
      break;
    case kUac2SampleRateConverter:
      at = offsetof(Uac2SampleRateConverterDescriptor, bSourceID);
      break;
    case kUac2EffectUnit:
      at = offsetof(Uac2EffectUnitDescriptor, bSourceID);
      break;
    case kUac2MixerUnit:
      if (!SourcePins<Uac2MixerUnitDescriptor>(unit, &n, &at)) return false;
      break;
    case kUac2SelectorUnit:
      if (!SourcePins<Uac2SelectorUnitDescriptor>(unit, &n, &at)) return false;
      break;
    case kUac2ProcessingUnit:
      if (!SourcePins<Uac2ProcessingUnitDescriptor>(unit, &n, &at)) return false;
      break;
    case kUac2ExtensionUnit:
      if (!SourcePins<Uac2ExtensionUnitDescriptor>(unit, &n, &at)) return false;
      break;
    default:
      return false;
  }
  if (Length(unit) < at + n) return false;
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
  for (const uint8_t* ot = block; ot < blockEnd; ot += Length(ot)) {
    if (!IsTerminal(ot, kUac2OutputTerminal) || (TerminalType(ot) == kUac2UsbStreaming) == render) continue;
    // An output terminal whose ID an earlier entity took is no path's end.
    if (FindPathEntity(block, blockEnd, EntityId(ot)) != ot || !reach(EntityId(ot))) continue;
    queue[count++] = EntityId(ot);
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
    if (level > 0 && IsTerminal(e, kUac2InputTerminal)) {
      if ((TerminalType(e) == kUac2UsbStreaming) != render) continue;
      // Found: from the input terminal downstream to the output terminal.
      path->InputTerminal = e;
      path->FeatureUnit = nullptr;
      for (uint8_t down = next[id];; down = next[down]) {
        const uint8_t* d = FindPathEntity(block, blockEnd, down);
        if (next[down] == 0) {
          path->OutputTerminal = d;
          break;
        }
        if (render && path->FeatureUnit == nullptr && Subtype(d) == kUac2FeatureUnit) path->FeatureUnit = d;
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
  const uint8_t subtype = render ? kUac2InputTerminal : kUac2OutputTerminal;
  for (const uint8_t* p = block; p < blockEnd; p += Length(p)) {
    if (IsTerminal(p, subtype) && TerminalType(p) == kUac2UsbStreaming) return true;
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

// The walk over the streaming interfaces: the interface being gathered, and
// what the endpoints seen so far tell of both directions.
struct StreamingWalk {
  StreamingInterface s;
  // A capture data endpoint of implicit-feedback usage: the unit paces
  // render by the packets it sends (when render has no explicit feedback).
  bool implicitSource;
  bool bothDirections;  // an interface with data endpoints of both directions
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

// The position of interface `number` among the configuration's interfaces
// in the order of their first descriptors: the index the framework's
// interface objects have (WdfUsbTargetDeviceGetInterface).
uint32_t InterfacePosition(const uint8_t* config, const uint8_t* end, uint8_t number) {
  uint8_t seen[32];
  memset(seen, 0, sizeof(seen));
  uint32_t position = 0;
  for (const uint8_t* p = config; Fits(p, end); p += Length(p)) {
    if (Type(p) != kUsbInterfaceType || Length(p) < sizeof(UsbInterfaceDescriptor)) continue;
    const uint8_t n = DescriptorAs<UsbInterfaceDescriptor>(p)->bInterfaceNumber;
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
  s->number = DescriptorAs<UsbInterfaceDescriptor>(p)->bInterfaceNumber;
  s->alternate = DescriptorAs<UsbInterfaceDescriptor>(p)->bAlternateSetting;
  s->slots[0].Interface = p;
}

// 1. The configuration descriptor, the first of the copy's descriptors of
// its type; its wTotalLength bounds every walk. *next gets the descriptor
// after it.
TOPOLOGY_RESULT FindConfiguration(const uint8_t* config, const uint8_t* copyEnd, USB_AUDIO_TOPOLOGY* t,
                                  const uint8_t** next) {
  const uint8_t* p = config;
  for (;;) {
    if (p >= copyEnd) return TopologyNoConfiguration;
    if (!Fits(p, copyEnd) || !StandardLongEnough(p)) return TopologyMalformed;
    if (Type(p) == kUsbConfigurationType) break;
    p += Length(p);
  }
  const size_t total = DescriptorAs<UsbConfigurationDescriptor>(p)->wTotalLength;
  if (total < Length(p)) return TopologyMalformed;
  t->Configuration = p;
  t->ConfigurationEnd = total <= (size_t)(copyEnd - p) ? p + total : copyEnd;
  *next = p + Length(p);
  return TopologyOk;
}

// The AudioControl interface of protocol 0x20 from `p` on, and its
// class-specific header before the next interface.
TOPOLOGY_RESULT FindControlHeader(const uint8_t* p, USB_AUDIO_TOPOLOGY* t) {
  const uint8_t* end = t->ConfigurationEnd;
  for (;;) {
    if (p >= end) return TopologyNoControlInterface;
    if (!Fits(p, end) || !StandardLongEnough(p)) return TopologyMalformed;
    if (IsAudioInterface(p, kUac2AudioControl)) break;
    p += Length(p);
  }
  t->ControlInterface = p;
  t->ControlIndex = 0;
  t->AudioInterfaceCount = 1;
  p += Length(p);
  for (;;) {
    if (p >= end) return TopologyNoControlHeader;
    if (!Fits(p, end) || !AcDescriptorLongEnough(p)) return TopologyMalformed;
    if (Type(p) == kUsbInterfaceType) return TopologyNoControlHeader;
    if (Type(p) == kUac2CsInterface && Subtype(p) == kUac2AcHeader) break;
    p += Length(p);
  }
  t->ControlHeader = p;
  return TopologyOk;
}

// The end of the AudioControl block: the first of the header's stated end,
// the next interface descriptor, the end of the configuration. Devices state
// wrong totals in both directions; the block never reaches past the
// descriptor boundary before its end. Checks the length of each of its
// descriptors.
TOPOLOGY_RESULT FindControlEnd(USB_AUDIO_TOPOLOGY* t) {
  const uint8_t* header = t->ControlHeader;
  const uint8_t* end = t->ConfigurationEnd;
  const size_t stated = DescriptorAs<Uac2AcHeaderDescriptor>(header)->wTotalLength;
  const uint8_t* statedEnd = stated <= (size_t)(end - header) ? header + stated : end;
  const uint8_t* q = header;
  while (q < statedEnd) {
    if (!Fits(q, end) || !AcDescriptorLongEnough(q)) return TopologyMalformed;
    if (Type(q) == kUsbInterfaceType || Length(q) > statedEnd - q) break;
    q += Length(q);
  }
  t->ControlEnd = q;
  return TopologyOk;
}

// 2, 3. The terminal paths inside the block; TopologyNoClockSource when
// the clocks of both lead to no clock source.
TOPOLOGY_RESULT FindPaths(USB_AUDIO_TOPOLOGY* t) {
  t->CapturePathState = FindPath(t->ControlHeader, t->ControlEnd, false, &t->CapturePath);
  t->RenderPathState = FindPath(t->ControlHeader, t->ControlEnd, true, &t->RenderPath);
  if (t->CapturePathState == AudioPathNoClock && t->RenderPathState == AudioPathNoClock)
    return TopologyNoClockSource;
  return TopologyOk;
}

// An interface descriptor after the AudioControl block: one of another
// number finishes the interface being gathered; alternate setting 0 of an
// AudioStreaming interface begins one; each further alternate setting of it
// takes the next slot.
TOPOLOGY_RESULT StreamingInterfaceDescriptor(const uint8_t* p, StreamingWalk* w, USB_AUDIO_TOPOLOGY* t) {
  StreamingInterface* s = &w->s;
  const UsbInterfaceDescriptor* d = DescriptorAs<UsbInterfaceDescriptor>(p);
  if (s->active && d->bInterfaceNumber != s->number) {
    TOPOLOGY_RESULT r = FinishInterface(s, t);
    if (r != TopologyOk) return r;
  }
  if (!s->active) {
    if (IsAudioInterface(p, kUac2AudioStreaming) && d->bAlternateSetting == 0) BeginInterface(s, p);
    return TopologyOk;
  }
  if (d->bAlternateSetting != s->alternate) {
    if (++s->slot >= QUENBY_MAX_SLOTS) return TopologyTooManySettings;
    s->alternate = d->bAlternateSetting;
    s->slots[s->slot].Interface = p;
    s->endpoints = 0;
  }
  return TopologyOk;
}

// A class-specific interface descriptor of a setting: the first AS_GENERAL
// of format type I that carries PCM alone, and the first FORMAT_TYPE_I.
TOPOLOGY_RESULT StreamingClassDescriptor(const uint8_t* p, AltSettingSlot* slot) {
  if (Length(p) < sizeof(Uac2CsDescriptorHeader)) return TopologyMalformed;
  if (Subtype(p) == kUac2AsGeneral) {
    if (Length(p) < sizeof(Uac2AsGeneralDescriptor)) return TopologyMalformed;
    const Uac2AsGeneralDescriptor* g = DescriptorAs<Uac2AsGeneralDescriptor>(p);
    if (g->bFormatType == kUac2FormatTypeI && g->bmFormats == kUac2FormatPcm && slot->AsGeneral == nullptr)
      slot->AsGeneral = p;
  } else if (Subtype(p) == kUac2FormatType) {
    if (Length(p) < sizeof(Uac2FormatTypeHeader)) return TopologyMalformed;
    if (DescriptorAs<Uac2FormatTypeHeader>(p)->bFormatType == kUac2FormatTypeI) {
      if (Length(p) < sizeof(Uac2FormatTypeIDescriptor)) return TopologyMalformed;
      if (slot->FormatTypeI == nullptr) slot->FormatTypeI = p;
    }
  }
  return TopologyOk;
}

// An endpoint descriptor of a setting. Only isochronous endpoints carry
// audio or feedback; an interrupt or bulk endpoint of the setting is none of
// them, but still has a pipe and so counts for the index of those after it.
void StreamingEndpoint(const uint8_t* p, StreamingWalk* w) {
  StreamingInterface* s = &w->s;
  AltSettingSlot* slot = &s->slots[s->slot];
  const UsbEndpointDescriptor* e = Endpoint(p);
  if ((e->bmAttributes & kUsbTransferTypeMask) == kUsbIsochronous) {
    const bool input = (e->bEndpointAddress & kUsbEndpointIn) != 0;
    uint8_t usage = e->bmAttributes & kUsbUsageMask;
    // A data endpoint that also paces the other direction (implicit
    // feedback) still carries this interface's data.
    if (usage == kUsbUsageImplicitFeedbackData) {
      if (input) w->implicitSource = true;
      usage = kUsbUsageData;
    }
    if (usage == kUsbUsageData) {
      // Every data endpoint of an interface goes the way its first does.
      if (s->dataSeen && input != s->input) w->bothDirections = true;
      if (!s->dataSeen) {
        s->dataSeen = true;
        s->input = input;
      }
      if (slot->DataEndpoint == nullptr) {
        slot->DataEndpoint = p;
        slot->DataEndpointIndex = s->endpoints;
      }
    } else if (usage == kUsbUsageFeedback && slot->FeedbackEndpoint == nullptr) {
      slot->FeedbackEndpoint = p;
      slot->FeedbackEndpointIndex = s->endpoints;
    }
  }
  s->endpoints++;
}

// A class-specific endpoint descriptor of a setting: the first EP_GENERAL.
TOPOLOGY_RESULT StreamingClassEndpoint(const uint8_t* p, AltSettingSlot* slot) {
  if (Length(p) < sizeof(Uac2CsDescriptorHeader)) return TopologyMalformed;
  if (Subtype(p) == kUac2EpGeneral) {
    if (Length(p) < sizeof(Uac2AsIsoEndpointDescriptor)) return TopologyMalformed;
    if (slot->DataEndpointCs == nullptr) slot->DataEndpointCs = p;
  }
  return TopologyOk;
}

// 4, 5. The streaming interfaces from the end of the AudioControl block to
// the end of the configuration, one slot per alternate setting.
TOPOLOGY_RESULT WalkStreamingInterfaces(USB_AUDIO_TOPOLOGY* t, StreamingWalk* w) {
  memset(w, 0, sizeof(*w));
  const uint8_t* end = t->ConfigurationEnd;
  for (const uint8_t* p = t->ControlEnd; p < end; p += Length(p)) {
    if (!Fits(p, end) || !StandardLongEnough(p)) return TopologyMalformed;
    TOPOLOGY_RESULT r = TopologyOk;
    if (Type(p) == kUsbInterfaceType) {
      r = StreamingInterfaceDescriptor(p, w, t);
    } else if (w->s.active) {
      AltSettingSlot* slot = &w->s.slots[w->s.slot];
      if (Type(p) == kUac2CsInterface) {
        r = StreamingClassDescriptor(p, slot);
      } else if (Type(p) == kUsbEndpointType) {
        StreamingEndpoint(p, w);
      } else if (Type(p) == kUac2CsEndpoint) {
        r = StreamingClassEndpoint(p, slot);
      }
    }
    if (r != TopologyOk) return r;
  }
  return w->s.active ? FinishInterface(&w->s, t) : TopologyOk;
}

// The positions of the interfaces found among the configuration's
// interfaces, and how each render setting is paced.
void PlaceInterfaces(USB_AUDIO_TOPOLOGY* t, bool implicitSource) {
  const uint8_t* end = t->ConfigurationEnd;
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
}

// What a walk that read the whole configuration found: refused for data
// endpoints of both directions on one interface, for paths without a
// clock source (`pathResult`), and unless every streaming interface is
// served and one is.
TOPOLOGY_RESULT TopologyVerdict(const USB_AUDIO_TOPOLOGY* t, bool bothDirections,
                                TOPOLOGY_RESULT pathResult) {
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

}  // namespace

TOPOLOGY_RESULT TopologyDiscover(const uint8_t* config, size_t length, USB_AUDIO_TOPOLOGY* t) {
  memset(t, 0, sizeof(*t));
  if (config == nullptr || length < 2) return TopologyNoConfiguration;
  const uint8_t* next = nullptr;
  TOPOLOGY_RESULT r = FindConfiguration(config, config + length, t, &next);
  if (r == TopologyOk) r = FindControlHeader(next, t);
  if (r == TopologyOk) r = FindControlEnd(t);
  if (r != TopologyOk) return r;
  const TOPOLOGY_RESULT pathResult = FindPaths(t);
  StreamingWalk w;
  r = WalkStreamingInterfaces(t, &w);
  if (r != TopologyOk) return r;
  PlaceInterfaces(t, w.implicitSource);
  return TopologyVerdict(t, w.bothDirections, pathResult);
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
      if (e != nullptr && (Endpoint(e)->bmAttributes & kUsbUsageMask) == kUsbUsageImplicitFeedbackData &&
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
        if ((Endpoint(f)->bEndpointAddress & kUsbEndpointIn) == 0) return TopologyFeedbackDirection;
        // The value is 3 bytes (10.14) or 4 (16.16), in one transaction.
        if ((Endpoint(f)->wMaxPacketSize & kUsbPacketSizeMask) < 3) return TopologyFeedbackTooShort;
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
  switch (Subtype(e)) {
    case kUac2ClockSource:
      return ClockKindSource;
    case kUac2ClockSelector:
      return ClockKindSelector;
    case kUac2ClockMultiplier:
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
  if (pin < 1 || pin > DescriptorAs<Uac2ClockSelectorDescriptor>(selector)->bNrInPins) return 0;
  return ClockSelectorSources(selector)[pin - 1];
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
        id = DescriptorAs<Uac2ClockMultiplierDescriptor>(e)->bCSourceID;
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
  return DescriptorAs<UsbInterfaceDescriptor>(d)->bInterfaceNumber;
}
uint8_t DescriptorAlternateSetting(const uint8_t* d) {
  return DescriptorAs<UsbInterfaceDescriptor>(d)->bAlternateSetting;
}
uint8_t DescriptorClockId(const uint8_t* d) {
  return EntityId(d);  // bClockID, of a source, selector or multiplier alike
}
int ClockSourceRateSettable(const uint8_t* d) {
  return d != nullptr && (DescriptorAs<Uac2ClockSourceDescriptor>(d)->bmControls & 0x03) == 0x03;
}
int ClockSourceValidityReadable(const uint8_t* d) {
  return d != nullptr && (DescriptorAs<Uac2ClockSourceDescriptor>(d)->bmControls & 0x04) != 0;
}
uint8_t DescriptorEndpointAddress(const uint8_t* d) {
  return Endpoint(d)->bEndpointAddress;
}

uint32_t EndpointSyncType(const uint8_t* endpoint) {
  return endpoint == nullptr
             ? QUENBY_SYNC_NONE
             : (uint32_t)(Endpoint(endpoint)->bmAttributes >> kUsbSyncTypeShift) & kUsbSyncTypeMask;
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
  const uint16_t w = Endpoint(endpoint)->wMaxPacketSize;
  return (uint32_t)(w & kUsbPacketSizeMask) * (1 + ((w >> kUsbTransactionsShift) & kUsbTransactionsMask));
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
  const bool render = (DescriptorEndpointAddress(slot->DataEndpoint) & kUsbEndpointIn) == 0;
  return !render || slot->RenderPacing != QUENBY_PACING_NONE;
}

uint32_t SlotChannels(const AltSettingSlot* slot) {
  return slot->AsGeneral != nullptr ? DescriptorAs<Uac2AsGeneralDescriptor>(slot->AsGeneral)->bNrChannels : 0;
}
uint32_t SlotBits(const AltSettingSlot* slot) {
  return slot->FormatTypeI != nullptr
             ? DescriptorAs<Uac2FormatTypeIDescriptor>(slot->FormatTypeI)->bBitResolution
             : 0;
}
uint32_t SlotSubslotBytes(const AltSettingSlot* slot) {
  return slot->FormatTypeI != nullptr
             ? DescriptorAs<Uac2FormatTypeIDescriptor>(slot->FormatTypeI)->bSubslotSize
             : 0;
}

uint32_t SlotContainerBits(const AltSettingSlot* slot) {
  const uint32_t container = SlotSubslotBytes(slot) * 8;
  return container != 0 && container >= SlotBits(slot) ? container : 0;
}

uint32_t EndpointPeriod(const uint8_t* endpoint, int highSpeed) {
  if (endpoint == nullptr || !highSpeed) return 1;
  const uint8_t bInterval = Endpoint(endpoint)->bInterval;
  uint32_t interval = bInterval < 1 ? 1 : bInterval;
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

namespace {

// Subrange `index` of a rate list, which RateListCount() counts.
inline const Uac2Range32Subrange* Subrange(const uint8_t* list, uint32_t index) {
  return DescriptorAs<Uac2Range32Subrange>(list + sizeof(Uac2Range32Header) +
                                           sizeof(Uac2Range32Subrange) * (size_t)index);
}

}  // namespace

uint32_t RateListCount(const uint8_t* list, size_t bytes) {
  if (list == nullptr || bytes < sizeof(Uac2Range32Header)) return 0;
  uint32_t stated = DescriptorAs<Uac2Range32Header>(list)->wNumSubRanges;
  uint32_t present = (uint32_t)((bytes - sizeof(Uac2Range32Header)) / sizeof(Uac2Range32Subrange));
  return stated < present ? stated : present;
}

uint32_t RateListRate(const uint8_t* list, size_t bytes, uint32_t index) {
  if (index >= RateListCount(list, bytes)) return 0;
  return Subrange(list, index)->dMIN;
}

namespace {

// The rates a subrange with dMIN below dMAX offers besides dMIN.
const uint32_t kStandardRates[] = {8000,  11025, 16000, 22050,  24000,  32000,  44100, 48000,
                                   64000, 88200, 96000, 176400, 192000, 352800, 384000};

bool SubrangeHolds(const Uac2Range32Subrange* subrange, uint32_t rate) {
  const uint32_t min = subrange->dMIN, max = subrange->dMAX, res = subrange->dRES;
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
    if (SubrangeHolds(Subrange(list, i), rate)) return 1;
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
