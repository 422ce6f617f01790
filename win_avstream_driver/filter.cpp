// The filter description the filter factory publishes: a render streaming pin
// and its bridge, and where the device captures, a capture bridge and
// streaming pin; DAC and ADC nodes; the PCM data ranges of the device's
// alternate settings. Built at start into the device's description buffer.
// Also the streaming pins' data intersection handlers and the filter
// properties (proposed formats, signal-processing modes, jack descriptions).
#include "quenby.h"

namespace {

// Audio signal processing modes came with Windows 8.1 ("Audio Signal
// Processing Modes"), and the headers declare their identifiers from
// NTDDI_WINBLUE on. quenby is one binary for Windows 7 and later, so a build
// for Windows 7 carries its own copies, with the values ksmedia.h gives them,
// and answers the same on every version: Windows 7's audio stack never asks
// for the modes, and the mode attribute on the data ranges is an optional one
// (KSATTRIBUTE: without KSATTRIBUTE_REQUIRED an attribute is optional), which
// a KS client that does not know it passes over.
#if NTDDI_VERSION < NTDDI_WINBLUE
const GUID AUDIO_SIGNALPROCESSINGMODE_RAW = {
    0x9e90ea20, 0xb493, 0x4fd1, {0xa1, 0xa8, 0x7e, 0x13, 0x61, 0xa9, 0x56, 0xcf}};
const GUID KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE = {
    0xe1f89eb5, 0x5f46, 0x419b, {0x96, 0x7b, 0xff, 0x67, 0x70, 0xb9, 0x84, 0x01}};
const GUID KSPROPSETID_AudioSignalProcessing = {
    0x4f67b528, 0x30c9, 0x40de, {0xb2, 0xfb, 0x85, 0x9d, 0xdd, 0x1f, 0x34, 0x70}};
const ULONG KSPROPERTY_AUDIOSIGNALPROCESSING_MODES = 0;
#endif

// One attribute list shared by every range: the signal-processing mode.
typedef struct _QUENBY_ATTRIBUTE_LIST {
  KSMULTIPLE_ITEM Header;
  KSATTRIBUTE Attribute;
} QUENBY_ATTRIBUTE_LIST;

typedef struct _QUENBY_FILTER_DESCRIPTION {
  KSFILTER_DESCRIPTOR Filter;
  KSPIN_DESCRIPTOR_EX Pins[4];
  KSNODE_DESCRIPTOR Nodes[2];
  GUID Categories[3];
  KSDATARANGE_AUDIO RenderRange[QUENBY_MAX_PIN_RANGES];
  KSDATARANGE_AUDIO CaptureRange[QUENBY_MAX_PIN_RANGES];
  KSDATARANGE BridgeRange;
  QUENBY_ATTRIBUTE_LIST Attributes;
  // Each range followed by its attribute list.
  PKSDATARANGE RenderRanges[2 * QUENBY_MAX_PIN_RANGES];
  PKSDATARANGE CaptureRanges[2 * QUENBY_MAX_PIN_RANGES];
  PKSDATARANGE BridgeRanges[2];
  KSALLOCATOR_FRAMING_EX Framing;
} QUENBY_FILTER_DESCRIPTION;

// The pins of the filter for a unit that renders (and captures): 0 render
// streaming, 1 render bridge, 2 capture bridge, 3 capture streaming. A unit
// that only captures has a filter of the capture pins alone: 0 capture
// bridge, 1 capture streaming. Requests name pins by their index in the
// filter; the code below by these roles.
const ULONG kRenderPinId = 0;
const ULONG kRenderBridgeId = 1;
const ULONG kCaptureBridgeId = 2;
const ULONG kCapturePinId = 3;
const ULONG kNoPin = 0xFFFFFFFF;

bool CaptureOnly(WDF_DEVICE_CONTEXT* ctx) {
  return TopologyHasRender(&ctx->Topology) == 0;
}

// The role of the filter's pin `pinId`; kNoPin for none.
ULONG PinRole(WDF_DEVICE_CONTEXT* ctx, ULONG pinId) {
  if (CaptureOnly(ctx)) return pinId == 0 ? kCaptureBridgeId : pinId == 1 ? kCapturePinId : kNoPin;
  return pinId <= kCapturePinId ? pinId : kNoPin;
}

// ---------------------------------------------------------------------------
// Data intersection of the streaming pins
// ---------------------------------------------------------------------------
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS Intersect(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                   PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize,
                   ULONG direction) {
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Pin);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromObject(Context);
  if (ctx == nullptr || DataRange == nullptr || MatchingDataRange == nullptr || DataSize == nullptr)
    return STATUS_UNSUCCESSFUL;
  FORMAT_CAPS caps = QuenbyFormatCaps(ctx, direction);
  return QuenbyIntersectFormat(&caps, reinterpret_cast<const KSDATARANGE_AUDIO*>(DataRange),
                               DataRange->FormatSize, MatchingDataRange->FormatSize, DataBufferSize, Data,
                               DataSize);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RenderIntersect(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                         PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize) {
  return Intersect(Context, Irp, Pin, DataRange, MatchingDataRange, DataBufferSize, Data, DataSize,
                   QUENBY_DIR_RENDER);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CaptureIntersect(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                          PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize) {
  return Intersect(Context, Irp, Pin, DataRange, MatchingDataRange, DataBufferSize, Data, DataSize,
                   QUENBY_DIR_CAPTURE);
}

// ---------------------------------------------------------------------------
// Filter properties
// ---------------------------------------------------------------------------
ULONG OutputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// The pin a KSP_PIN request names, when that pin exists in this filter.
bool PinExists(WDF_DEVICE_CONTEXT* ctx, ULONG pinId) {
  if (pinId == kRenderPinId || pinId == kRenderBridgeId) return TopologyHasRender(&ctx->Topology) != 0;
  if (pinId == kCaptureBridgeId || pinId == kCapturePinId) return TopologyHasCapture(&ctx->Topology) != 0;
  return false;
}

struct ModesReply {
  KSMULTIPLE_ITEM Header;
  GUID Mode;
};

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetModes(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PKSFILTER filter = KsGetFilterFromIrp(Irp);
  WDF_DEVICE_CONTEXT* ctx = filter != nullptr ? QuenbyContextFromObject(filter) : nullptr;
  if (ctx == nullptr) return STATUS_NOT_SUPPORTED;
  const ULONG pinId = PinRole(ctx, reinterpret_cast<PKSP_PIN>(Request)->PinId);
  if (!PinExists(ctx, pinId)) return STATUS_NOT_SUPPORTED;
  // Streaming pins run in raw mode; bridge pins have no modes and answer an
  // empty list (KSPROPERTY_AUDIOSIGNALPROCESSING_MODES).
  const bool streaming = pinId == kRenderPinId || pinId == kCapturePinId;
  const ULONG size = streaming ? sizeof(ModesReply) : sizeof(KSMULTIPLE_ITEM);
  const ULONG length = OutputLength(Irp);
  if (length == 0) {
    Irp->IoStatus.Information = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length < size) return STATUS_BUFFER_TOO_SMALL;
  ModesReply* reply = static_cast<ModesReply*>(Data);
  reply->Header.Size = size;
  reply->Header.Count = streaming ? 1 : 0;
  if (streaming) reply->Mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
  Irp->IoStatus.Information = size;
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SupportModes(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PKSFILTER filter = KsGetFilterFromIrp(Irp);
  WDF_DEVICE_CONTEXT* ctx = filter != nullptr ? QuenbyContextFromObject(filter) : nullptr;
  if (ctx == nullptr) return STATUS_NOT_SUPPORTED;
  const ULONG pinId = PinRole(ctx, reinterpret_cast<PKSP_PIN>(Request)->PinId);
  if ((pinId != kRenderPinId && pinId != kCapturePinId) || !PinExists(ctx, pinId))
    return STATUS_NOT_SUPPORTED;
  const ULONG length = OutputLength(Irp);
  const ULONG full = sizeof(KSPROPERTY_DESCRIPTION);
  if (length == 0) {
    Irp->IoStatus.Information = full;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length < sizeof(ULONG)) {
    Irp->IoStatus.Information = full;
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (length < full) {
    *static_cast<ULONG*>(Data) = KSPROPERTY_TYPE_GET;
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  KSPROPERTY_DESCRIPTION* d = static_cast<KSPROPERTY_DESCRIPTION*>(Data);
  RtlZeroMemory(d, full);
  d->AccessFlags = KSPROPERTY_TYPE_GET;
  d->DescriptionSize = full;
  d->PropTypeSet.Set = KSPROPSETID_AudioSignalProcessing;
  d->PropTypeSet.Id = KSPROPERTY_AUDIOSIGNALPROCESSING_MODES;
  d->PropTypeSet.Flags = 1;
  d->MembersListCount = 0;
  Irp->IoStatus.Information = full;
  return STATUS_SUCCESS;
}

// KSPROPERTY_PIN_PROPOSEDATAFORMAT (set): success when a pin of the factory
// can be set to or opened with the format, STATUS_NO_MATCH when not; the
// same check as set-format's. Nothing changes.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ProposeFormat(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PKSFILTER filter = KsGetFilterFromIrp(Irp);
  WDF_DEVICE_CONTEXT* ctx = filter != nullptr ? QuenbyContextFromObject(filter) : nullptr;
  if (ctx == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG pinId = PinRole(ctx, reinterpret_cast<PKSP_PIN>(Request)->PinId);
  if (!PinExists(ctx, pinId)) return STATUS_NOT_SUPPORTED;
  if (pinId != kRenderPinId && pinId != kCapturePinId) return STATUS_NO_MATCH;  // bridges carry no PCM
  Irp->IoStatus.Information = 0;
  FORMAT_CAPS caps = QuenbyFormatCaps(ctx, pinId == kCapturePinId ? QUENBY_DIR_CAPTURE : QUENBY_DIR_RENDER);
  return QuenbyCheckFormat(&caps, static_cast<const KSDATAFORMAT*>(Data), OutputLength(Irp), nullptr,
                           nullptr);
}

// Jack rows of a bridge pin: channel mappings by channel count.
ULONG JackMapping(bool render, ULONG channels, ULONG index) {
  static const ULONG kFour[] = {0x1, 0x2, 0x10, 0x20};
  static const ULONG kSix[] = {0x1, 0x2, 0x4, 0x8, 0x200, 0x400};
  static const ULONG kEight[] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x200, 0x400};
  if (channels == 1) return 0x4;
  if (channels == 2) return index == 0 ? 0x1 : 0x2;
  if (!render) return 0;
  if (channels == 4) return kFour[index];
  if (channels == 6) return kSix[index];
  if (channels == 8) return kEight[index];
  return 0;
}

// Pins 1 and 2 only; their channel count; false for any other pin.
bool BridgeChannels(PIRP Irp, PKSIDENTIFIER Request, ULONG* channels, bool* render) {
  PKSFILTER filter = KsGetFilterFromIrp(Irp);
  WDF_DEVICE_CONTEXT* ctx = filter != nullptr ? QuenbyContextFromObject(filter) : nullptr;
  if (ctx == nullptr) return false;
  const ULONG pinId = PinRole(ctx, reinterpret_cast<PKSP_PIN>(Request)->PinId);
  if ((pinId != kRenderBridgeId && pinId != kCaptureBridgeId) || !PinExists(ctx, pinId)) return false;
  *render = pinId == kRenderBridgeId;
  *channels = ctx->Dir[*render ? QUENBY_DIR_RENDER : QUENBY_DIR_CAPTURE].Limits.MaxChannels;
  return true;
}

// Sizes a KSMULTIPLE_ITEM reply of `count` rows of `rowSize` bytes. Without
// an output buffer the size is reported (STATUS_BUFFER_OVERFLOW), a short
// buffer is refused; otherwise *header is the filled-in header.
NTSTATUS PrepareMultipleItem(PIRP Irp, PVOID Data, ULONG count, ULONG rowSize, KSMULTIPLE_ITEM** header) {
  *header = nullptr;
  const ULONG size = sizeof(KSMULTIPLE_ITEM) + count * rowSize;
  const ULONG length = OutputLength(Irp);
  if (length == 0) {
    Irp->IoStatus.Information = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length < size) return STATUS_BUFFER_TOO_SMALL;
  *header = static_cast<KSMULTIPLE_ITEM*>(Data);
  (*header)->Size = size;
  (*header)->Count = count;
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetJackDescription(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  ULONG channels = 0;
  bool render = false;
  if (!BridgeChannels(Irp, Request, &channels, &render)) return STATUS_NOT_SUPPORTED;
  // Beyond 32 channels the rows are those of the 32-entry table.
  const ULONG count = channels > 32 ? 32 : channels;
  KSMULTIPLE_ITEM* header = nullptr;
  NTSTATUS status = PrepareMultipleItem(Irp, Data, count, sizeof(KSJACK_DESCRIPTION), &header);
  if (header == nullptr) return status;
  KSJACK_DESCRIPTION* rows = reinterpret_cast<KSJACK_DESCRIPTION*>(header + 1);
  for (ULONG i = 0; i < count; ++i) {
    rows[i].ChannelMapping = JackMapping(render, channels, i);
    rows[i].Color = (i % 2) == 0 ? 0xFFFFFF : 0xFF0000;
    rows[i].ConnectionType = eConnTypeQuarter;
    rows[i].GeoLocation = eGeoLocRear;
    rows[i].GenLocation = eGenLocPrimaryBox;
    rows[i].PortConnection = ePortConnJack;
    rows[i].IsConnected = 1;
  }
  Irp->IoStatus.Information = header->Size;
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetJackDescription2(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  ULONG channels = 0;
  bool render = false;
  if (!BridgeChannels(Irp, Request, &channels, &render)) return STATUS_NOT_SUPPORTED;
  const ULONG count = channels > 32 ? 32 : channels;
  KSMULTIPLE_ITEM* header = nullptr;
  NTSTATUS status = PrepareMultipleItem(Irp, Data, count, sizeof(KSJACK_DESCRIPTION2), &header);
  if (header == nullptr) return status;
  KSJACK_DESCRIPTION2* rows = reinterpret_cast<KSJACK_DESCRIPTION2*>(header + 1);
  for (ULONG i = 0; i < count; ++i) {
    rows[i].DeviceStateInfo = 0;
    rows[i].JackCapabilities = JACKDESC2_PRESENCE_DETECT_CAPABILITY;
  }
  Irp->IoStatus.Information = header->Size;
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM g_SignalProcessingProperties[] = {
    {KSPROPERTY_AUDIOSIGNALPROCESSING_MODES,
     {GetModes},
     sizeof(KSP_PIN),
     0,
     {nullptr},
     nullptr,
     0,
     nullptr,
     SupportModes,
     0},
};

const KSPROPERTY_ITEM g_JackProperties[] = {
    {KSPROPERTY_JACK_DESCRIPTION,
     {GetJackDescription},
     sizeof(KSP_PIN),
     0,
     {nullptr},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
    {KSPROPERTY_JACK_DESCRIPTION2,
     {GetJackDescription2},
     sizeof(KSP_PIN),
     0,
     {nullptr},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};

const KSPROPERTY_ITEM g_PinFactoryProperties[] = {
    {KSPROPERTY_PIN_PROPOSEDATAFORMAT,
     {nullptr},
     sizeof(KSP_PIN),
     sizeof(KSDATAFORMAT),
     {ProposeFormat},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};

const KSPROPERTY_SET g_FilterPropertySets[] = {
    {&KSPROPSETID_Pin, SIZEOF_ARRAY(g_PinFactoryProperties), g_PinFactoryProperties, 0, nullptr},
    {&KSPROPSETID_AudioSignalProcessing, SIZEOF_ARRAY(g_SignalProcessingProperties),
     g_SignalProcessingProperties, 0, nullptr},
    {&KSPROPSETID_Jack, SIZEOF_ARRAY(g_JackProperties), g_JackProperties, 0, nullptr},
};

const KSAUTOMATION_TABLE g_FilterAutomation = {SIZEOF_ARRAY(g_FilterPropertySets),
                                               sizeof(KSPROPERTY_ITEM),
                                               g_FilterPropertySets,
                                               0,
                                               sizeof(KSMETHOD_ITEM),
                                               nullptr,
                                               0,
                                               sizeof(KSEVENT_ITEM),
                                               nullptr};

const KSTOPOLOGY_CONNECTION g_Connections[] = {
    {KSFILTER_NODE, 0, 0, 1},  // render streaming pin -> DAC
    {0, 0, KSFILTER_NODE, 1},  // DAC -> render bridge
    {KSFILTER_NODE, 2, 1, 1},  // capture bridge -> ADC
    {1, 0, KSFILTER_NODE, 3},  // ADC -> capture streaming pin
};
// The capture-only filter: its pins and its one node numbered from 0.
const KSTOPOLOGY_CONNECTION g_CaptureConnections[] = {
    {KSFILTER_NODE, 0, 0, 1},  // capture bridge -> ADC
    {0, 0, KSFILTER_NODE, 1},  // ADC -> capture streaming pin
};

const ULONG kRenderPinFlags = KSPIN_FLAG_HYPERCRITICAL_PROCESSING | KSPIN_FLAG_ASYNCHRONOUS_PROCESSING |
                              KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_GENERATE_EOS_EVENTS;
const ULONG kCapturePinFlags = KSPIN_FLAG_HYPERCRITICAL_PROCESSING | KSPIN_FLAG_ASYNCHRONOUS_PROCESSING |
                               KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;

// A streaming pin's ranges, one for each setting and rate (format.h), each
// followed by the attribute list; returns the count of entries.
ULONG SetStreamingRanges(WDF_DEVICE_CONTEXT* ctx, ULONG direction, KSDATARANGE_AUDIO* ranges,
                         PKSDATARANGE* entries, PKSDATARANGE attributeList) {
  FORMAT_CAPS caps = QuenbyFormatCaps(ctx, direction);
  const uint32_t count = QuenbyPinRanges(&caps, ranges, QUENBY_MAX_PIN_RANGES);
  for (size_t i = 0; i < count; ++i) {
    ranges[i].DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    entries[2 * i] = &ranges[i].DataRange;
    entries[2 * i + 1] = attributeList;
  }
  return 2 * count;
}

void SetPin(KSPIN_DESCRIPTOR_EX* pin, const PKSDATARANGE* ranges, ULONG rangeEntries, KSPIN_DATAFLOW flow,
            KSPIN_COMMUNICATION communication, const GUID* category, ULONG flags, ULONG instances,
            const KSALLOCATOR_FRAMING_EX* framing, const KSPIN_DISPATCH* dispatch,
            PFNKSINTERSECTHANDLEREX intersect) {
  pin->Dispatch = dispatch;
  pin->AutomationTable = dispatch != nullptr ? &g_PinAutomation : nullptr;
  pin->IntersectHandler = intersect;
  pin->PinDescriptor.DataRangesCount = rangeEntries;
  pin->PinDescriptor.DataRanges = ranges;
  pin->PinDescriptor.DataFlow = flow;
  pin->PinDescriptor.Communication = communication;
  pin->PinDescriptor.Category = category;
  pin->Flags = flags;
  pin->InstancesPossible = instances;
  pin->InstancesNecessary = 0;
  pin->AllocatorFraming = framing;
}

}  // namespace

_Use_decl_annotations_
WDF_DEVICE_CONTEXT* QuenbyContextFromObject(PVOID ksObject) {
  return ksObject == nullptr ? nullptr : QuenbyContextFromKsDevice(KsGetDevice(ksObject));
}

_Use_decl_annotations_
NTSTATUS QuenbyBuildFilterDescription(WDF_DEVICE_CONTEXT* ctx, const KSFILTER_DESCRIPTOR** descriptor) {
  *descriptor = nullptr;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  PVOID buffer = nullptr;
  // A start after a stop builds the description again in the same buffer.
  if (ctx->FilterMemory != nullptr) {
    buffer = WdfMemoryGetBuffer(ctx->FilterMemory, nullptr);
  } else {
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, QUENBY_MEMORY_TAG,
                                      sizeof(QUENBY_FILTER_DESCRIPTION), &ctx->FilterMemory, &buffer);
    if (!NT_SUCCESS(status)) return status;
  }
  RtlZeroMemory(buffer, sizeof(QUENBY_FILTER_DESCRIPTION));
  QUENBY_FILTER_DESCRIPTION* d = static_cast<QUENBY_FILTER_DESCRIPTION*>(buffer);
  const bool capture = TopologyHasCapture(&ctx->Topology) != 0;

  // Ranges and the attribute list that follows each of them.
  d->BridgeRange.FormatSize = sizeof(KSDATARANGE);
  d->BridgeRange.Flags = KSDATARANGE_ATTRIBUTES;
  d->BridgeRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  d->BridgeRange.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
  d->BridgeRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  d->Attributes.Header.Size = sizeof(QUENBY_ATTRIBUTE_LIST);
  d->Attributes.Header.Count = 1;
  d->Attributes.Attribute.Size = sizeof(KSATTRIBUTE);
  d->Attributes.Attribute.Flags = 0;
  d->Attributes.Attribute.Attribute = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
  PKSDATARANGE attributeList = reinterpret_cast<PKSDATARANGE>(&d->Attributes);
  const ULONG renderEntries =
      SetStreamingRanges(ctx, QUENBY_DIR_RENDER, d->RenderRange, d->RenderRanges, attributeList);
  const ULONG captureEntries =
      capture ? SetStreamingRanges(ctx, QUENBY_DIR_CAPTURE, d->CaptureRange, d->CaptureRanges, attributeList)
              : 0;
  d->BridgeRanges[0] = &d->BridgeRange;
  d->BridgeRanges[1] = attributeList;

  // Framing of both streaming pins.
  KS_FRAMING_ITEM* item = &d->Framing.FramingItem[0];
  d->Framing.CountItems = 1;
  d->Framing.OutputCompression.RatioNumerator = 1;
  d->Framing.OutputCompression.RatioDenominator = 1;
  item->MemoryType = KSMEMORY_TYPE_KERNEL_NONPAGED;
  item->Flags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
  item->Frames = 5;
  item->FileAlignment = FILE_LONG_ALIGNMENT;
  item->PhysicalRange.MinFrameSize = 0;
  item->PhysicalRange.MaxFrameSize = 0xFFFFFFFF;
  item->PhysicalRange.Stepping = 1;
  item->FramingRange.Range.MinFrameSize = 4096;
  item->FramingRange.Range.MaxFrameSize = 4096;
  item->FramingRange.Range.Stepping = 1;

  // Pins: 0 render streaming, 1 render bridge, 2 capture bridge, 3 capture streaming.
  SetPin(&d->Pins[0], d->RenderRanges, renderEntries, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK,
         &KSCATEGORY_AUDIO, kRenderPinFlags, 1, &d->Framing, &g_RenderPinDispatch, RenderIntersect);
  SetPin(&d->Pins[1], d->BridgeRanges, 2, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, &KSNODETYPE_SPEAKER,
         0, 0, nullptr, nullptr, nullptr);
  SetPin(&d->Pins[2], d->BridgeRanges, 2, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE,
         &KSNODETYPE_MICROPHONE, 0, 0, nullptr, nullptr, nullptr);
  SetPin(&d->Pins[3], d->CaptureRanges, captureEntries, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK,
         &KSCATEGORY_AUDIO, kCapturePinFlags, 1, &d->Framing, &g_CapturePinDispatch, CaptureIntersect);

  d->Nodes[0].Type = &KSNODETYPE_DAC;
  d->Nodes[1].Type = &KSNODETYPE_ADC;
  d->Categories[0] = KSCATEGORY_AUDIO;
  d->Categories[1] = CaptureOnly(ctx) ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER;
  d->Categories[2] = KSCATEGORY_CAPTURE;

  KSFILTER_DESCRIPTOR* f = &d->Filter;
  f->Dispatch = nullptr;
  f->AutomationTable = &g_FilterAutomation;
  f->Version = KSFILTER_DESCRIPTOR_VERSION;
  f->Flags = KSFILTER_FLAG_CRITICAL_PROCESSING;
  f->ReferenceGuid = &KSNAME_Filter;
  // Three shapes: render and capture (4 pins), render alone (the first 2),
  // capture alone (the last 2).
  const bool captureOnly = CaptureOnly(ctx);
  f->PinDescriptorsCount = capture && !captureOnly ? 4 : 2;
  f->PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  f->PinDescriptors = captureOnly ? &d->Pins[2] : d->Pins;
  f->CategoriesCount = capture && !captureOnly ? 3 : 2;
  f->Categories = d->Categories;
  f->NodeDescriptorsCount = capture && !captureOnly ? 2 : 1;
  f->NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  f->NodeDescriptors = captureOnly ? &d->Nodes[1] : d->Nodes;
  f->ConnectionsCount = captureOnly ? 2 : capture ? 4 : 2;
  f->Connections = captureOnly ? g_CaptureConnections : g_Connections;
  f->ComponentId = nullptr;
  *descriptor = f;
  return STATUS_SUCCESS;
}
