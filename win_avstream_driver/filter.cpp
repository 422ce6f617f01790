// The filter description the filter factory publishes: a render streaming pin
// and its bridge, and where the device captures, a capture bridge and
// streaming pin; DAC and ADC nodes; the PCM data ranges completed from the
// device's limits. Built at start into the device's description buffer.
#include "quenby.h"

namespace {

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
  KSDATARANGE_AUDIO RenderRange;
  KSDATARANGE_AUDIO CaptureRange;
  KSDATARANGE BridgeRange;
  QUENBY_ATTRIBUTE_LIST Attributes;
  PKSDATARANGE RenderRanges[2];
  PKSDATARANGE CaptureRanges[2];
  PKSDATARANGE BridgeRanges[2];
  KSALLOCATOR_FRAMING_EX Framing;
} QUENBY_FILTER_DESCRIPTION;
static_assert(sizeof(QUENBY_FILTER_DESCRIPTION) <= QUENBY_BUFFER_SIZE, "filter description fits its buffer");

const KSAUTOMATION_TABLE g_FilterAutomation = {
    0, sizeof(KSPROPERTY_ITEM), nullptr, 0, sizeof(KSMETHOD_ITEM), nullptr, 0, sizeof(KSEVENT_ITEM), nullptr};

const KSTOPOLOGY_CONNECTION g_Connections[] = {
    {KSFILTER_NODE, 0, 0, 1},  // render streaming pin -> DAC
    {0, 0, KSFILTER_NODE, 1},  // DAC -> render bridge
    {KSFILTER_NODE, 2, 1, 1},  // capture bridge -> ADC
    {1, 0, KSFILTER_NODE, 3},  // ADC -> capture streaming pin
};

const ULONG kRenderPinFlags = KSPIN_FLAG_HYPERCRITICAL_PROCESSING | KSPIN_FLAG_ASYNCHRONOUS_PROCESSING |
                              KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_GENERATE_EOS_EVENTS;
const ULONG kCapturePinFlags = KSPIN_FLAG_HYPERCRITICAL_PROCESSING | KSPIN_FLAG_ASYNCHRONOUS_PROCESSING |
                               KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;

void SetStreamingRange(KSDATARANGE_AUDIO* range, const DIRECTION_LIMITS* limits) {
  range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  range->DataRange.Flags = KSDATARANGE_ATTRIBUTES;
  range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range->DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  range->MaximumChannels = limits->MaxChannels;
  range->MinimumBitsPerSample = limits->MinBits;
  range->MaximumBitsPerSample = limits->MaxBits;
  range->MinimumSampleFrequency = limits->MinRate;
  range->MaximumSampleFrequency = limits->MaxRate;
}

void SetPin(KSPIN_DESCRIPTOR_EX* pin, const PKSDATARANGE* ranges, KSPIN_DATAFLOW flow,
            KSPIN_COMMUNICATION communication, const GUID* category, ULONG flags, ULONG instances,
            const KSALLOCATOR_FRAMING_EX* framing) {
  pin->PinDescriptor.DataRangesCount = 2;
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

NTSTATUS QuenbyBuildFilterDescription(WDF_DEVICE_CONTEXT* ctx, const KSFILTER_DESCRIPTOR** descriptor) {
  *descriptor = nullptr;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  PVOID buffer = nullptr;
  NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPoolNx, QUENBY_MEMORY_TAG, QUENBY_BUFFER_SIZE,
                                    &ctx->FilterMemory, &buffer);
  if (!NT_SUCCESS(status)) return status;
  RtlZeroMemory(buffer, QUENBY_BUFFER_SIZE);
  QUENBY_FILTER_DESCRIPTION* d = static_cast<QUENBY_FILTER_DESCRIPTION*>(buffer);
  const bool capture = TopologyHasCapture(&ctx->Topology) != 0;

  // Ranges and the attribute list that follows each of them.
  SetStreamingRange(&d->RenderRange, &ctx->Limits[QUENBY_DIR_RENDER]);
  SetStreamingRange(&d->CaptureRange, &ctx->Limits[QUENBY_DIR_CAPTURE]);
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
  d->RenderRanges[0] = &d->RenderRange.DataRange;
  d->RenderRanges[1] = attributeList;
  d->CaptureRanges[0] = &d->CaptureRange.DataRange;
  d->CaptureRanges[1] = attributeList;
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
  SetPin(&d->Pins[0], d->RenderRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO,
         kRenderPinFlags, 1, &d->Framing);
  SetPin(&d->Pins[1], d->BridgeRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, &KSNODETYPE_SPEAKER, 0,
         0, nullptr);
  SetPin(&d->Pins[2], d->BridgeRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, &KSNODETYPE_MICROPHONE,
         0, 0, nullptr);
  SetPin(&d->Pins[3], d->CaptureRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO,
         kCapturePinFlags, 1, &d->Framing);

  d->Nodes[0].Type = &KSNODETYPE_DAC;
  d->Nodes[1].Type = &KSNODETYPE_ADC;
  d->Categories[0] = KSCATEGORY_AUDIO;
  d->Categories[1] = KSCATEGORY_RENDER;
  d->Categories[2] = KSCATEGORY_CAPTURE;

  KSFILTER_DESCRIPTOR* f = &d->Filter;
  f->Dispatch = nullptr;
  f->AutomationTable = &g_FilterAutomation;
  f->Version = KSFILTER_DESCRIPTOR_VERSION;
  f->Flags = KSFILTER_FLAG_CRITICAL_PROCESSING;
  f->ReferenceGuid = &KSNAME_Filter;
  f->PinDescriptorsCount = capture ? 4 : 2;
  f->PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  f->PinDescriptors = d->Pins;
  f->CategoriesCount = capture ? 3 : 2;
  f->Categories = d->Categories;
  f->NodeDescriptorsCount = capture ? 2 : 1;
  f->NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  f->NodeDescriptors = d->Nodes;
  f->ConnectionsCount = capture ? 4 : 2;
  f->Connections = g_Connections;
  f->ComponentId = nullptr;
  *descriptor = f;
  return STATUS_SUCCESS;
}
