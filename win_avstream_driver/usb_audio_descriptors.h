// The USB 2.0 and USB Audio 2.0 descriptors a configuration descriptor
// holds, as records laid out byte for byte as they come from the device
// (packed, little-endian fields), the codes that tell them apart, and the
// reply of a sampling frequency's RANGE request: the one home of these
// layouts for the driver's walks (topology.cpp) and the stand-ins' parsers,
// builders and request handlers.
//
// A record is a view of bytes a device sent, never a promise that they are
// all there: read a field only once the descriptor's bLength and the bytes
// of the copy are known to hold it. A descriptor with a variable part (a
// list of source IDs or per-channel controls) has its fixed part here; the
// variable part starts right after it. Every host the driver runs on is
// little-endian, so a multi-byte field reads as the device sent it.
//
// Layouts: USB 2.0, 9.6 (standard descriptors) and the Interface Association
// Descriptor ECN; USB Audio 2.0, 4.7 (AudioControl), 4.9 and 4.10
// (AudioStreaming), 5.2.3.3 (layout 3 parameter block), and the Frmts 2.0
// document, 2.3.1.6 (Type I format).
#ifndef QUENBY_USB_AUDIO_DESCRIPTORS_H
#define QUENBY_USB_AUDIO_DESCRIPTORS_H

#include <stddef.h>
#include <stdint.h>

// Descriptor types (bDescriptorType).
constexpr uint8_t kUsbConfigurationType = 0x02;
constexpr uint8_t kUsbInterfaceType = 0x04;
constexpr uint8_t kUsbEndpointType = 0x05;
constexpr uint8_t kUsbAssociationType = 0x0B;
constexpr uint8_t kUac2CsInterface = 0x24;
constexpr uint8_t kUac2CsEndpoint = 0x25;

// The audio interface class, its subclasses and the protocol of version 2.0.
constexpr uint8_t kUac2AudioClass = 0x01;
constexpr uint8_t kUac2AudioControl = 0x01;
constexpr uint8_t kUac2AudioStreaming = 0x02;
constexpr uint8_t kUac2Protocol = 0x20;  // IP_VERSION_02_00

// Class-specific AudioControl descriptor subtypes (bDescriptorSubtype).
constexpr uint8_t kUac2AcHeader = 0x01;
constexpr uint8_t kUac2InputTerminal = 0x02;
constexpr uint8_t kUac2OutputTerminal = 0x03;
constexpr uint8_t kUac2MixerUnit = 0x04;
constexpr uint8_t kUac2SelectorUnit = 0x05;
constexpr uint8_t kUac2FeatureUnit = 0x06;
constexpr uint8_t kUac2EffectUnit = 0x07;
constexpr uint8_t kUac2ProcessingUnit = 0x08;
constexpr uint8_t kUac2ExtensionUnit = 0x09;
constexpr uint8_t kUac2ClockSource = 0x0A;
constexpr uint8_t kUac2ClockSelector = 0x0B;
constexpr uint8_t kUac2ClockMultiplier = 0x0C;
constexpr uint8_t kUac2SampleRateConverter = 0x0D;
// Class-specific AudioStreaming descriptor subtypes, and the format type.
constexpr uint8_t kUac2AsGeneral = 0x01;
constexpr uint8_t kUac2FormatType = 0x02;
constexpr uint8_t kUac2FormatTypeI = 0x01;
// Class-specific endpoint descriptor subtype.
constexpr uint8_t kUac2EpGeneral = 0x01;
// Terminal type of a USB-streaming terminal (wTerminalType).
constexpr uint16_t kUac2UsbStreaming = 0x0101;
// AS_GENERAL bmFormats of format type I: D0, PCM.
constexpr uint32_t kUac2FormatPcm = 0x00000001;

// Endpoint fields: bEndpointAddress D7 the direction; bmAttributes D1..0
// the transfer type, D3..2 the synchronization type, D5..4 the usage.
constexpr uint8_t kUsbEndpointIn = 0x80;
constexpr uint8_t kUsbTransferTypeMask = 0x03;
constexpr uint8_t kUsbIsochronous = 0x01;
constexpr uint8_t kUsbSyncTypeShift = 2;
constexpr uint8_t kUsbSyncTypeMask = 0x03;  // after the shift
constexpr uint8_t kUsbUsageMask = 0x30;
constexpr uint8_t kUsbUsageData = 0x00;
constexpr uint8_t kUsbUsageFeedback = 0x10;
constexpr uint8_t kUsbUsageImplicitFeedbackData = 0x20;
// wMaxPacketSize: D10..0 the size, D12..11 the additional transactions.
constexpr uint16_t kUsbPacketSizeMask = 0x07FF;
constexpr uint8_t kUsbTransactionsShift = 11;
constexpr uint8_t kUsbTransactionsMask = 0x03;  // after the shift

#pragma pack(push, 1)

// What every descriptor starts with.
struct UsbDescriptorHeader {
  uint8_t bLength;
  uint8_t bDescriptorType;
};

struct UsbConfigurationDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t wTotalLength;
  uint8_t bNumInterfaces;
  uint8_t bConfigurationValue;
  uint8_t iConfiguration;
  uint8_t bmAttributes;
  uint8_t bMaxPower;
};

struct UsbInterfaceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
};

struct UsbEndpointDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bEndpointAddress;  // D7: direction (1: IN)
  uint8_t bmAttributes;      // D1..0 transfer type, D3..2 synchronization, D5..4 usage
  uint16_t wMaxPacketSize;   // D10..0 size, D12..11 additional transactions per microframe
  uint8_t bInterval;
};

struct UsbInterfaceAssociationDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bFirstInterface;
  uint8_t bInterfaceCount;
  uint8_t bFunctionClass;
  uint8_t bFunctionSubClass;
  uint8_t bFunctionProtocol;
  uint8_t iFunction;
};

// What every class-specific descriptor starts with.
struct Uac2CsDescriptorHeader {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
};

// What every terminal, unit and clock entity starts with: its ID
// (bTerminalID, bUnitID or bClockID) follows the subtype.
struct Uac2EntityHeader {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bEntityID;
};

struct Uac2AcHeaderDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint16_t bcdADC;
  uint8_t bCategory;
  uint16_t wTotalLength;  // this header and the units, terminals and clock entities after it
  uint8_t bmControls;
};

struct Uac2ClockSourceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bClockID;
  uint8_t bmAttributes;  // D1..0: external, internal fixed, variable or programmable
  uint8_t bmControls;    // D1..0 sampling frequency, D3..2 validity
  uint8_t bAssocTerminal;
  uint8_t iClockSource;
};

// Fixed part; then baCSourceID[bNrInPins], bmControls, iClockSelector.
struct Uac2ClockSelectorDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bClockID;
  uint8_t bNrInPins;
};
// The bytes after the input pins: bmControls, iClockSelector.
constexpr uint8_t kUac2ClockSelectorTrailer = 2;

struct Uac2ClockMultiplierDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bClockID;
  uint8_t bCSourceID;
  uint8_t bmControls;  // D1..0 numerator, D3..2 denominator
  uint8_t iClockMultiplier;
};

struct Uac2InputTerminalDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bTerminalID;
  uint16_t wTerminalType;
  uint8_t bAssocTerminal;
  uint8_t bCSourceID;
  uint8_t bNrChannels;
  uint32_t bmChannelConfig;
  uint8_t iChannelNames;
  uint16_t bmControls;
  uint8_t iTerminal;
};

struct Uac2OutputTerminalDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bTerminalID;
  uint16_t wTerminalType;
  uint8_t bAssocTerminal;
  uint8_t bSourceID;
  uint8_t bCSourceID;
  uint16_t bmControls;
  uint8_t iTerminal;
};

// Fixed part; then baSourceID[bNrInPins], the cluster, the mixer controls.
struct Uac2MixerUnitDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bUnitID;
  uint8_t bNrInPins;
};

// Fixed part; then baSourceID[bNrInPins], bmControls, iSelector.
struct Uac2SelectorUnitDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bUnitID;
  uint8_t bNrInPins;
};

// Fixed part; then bmaControls[channels + 1] (4 bytes each, the master
// first) and iFeature.
struct Uac2FeatureUnitDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bUnitID;
  uint8_t bSourceID;
};
// The bytes of bmaControls(0) (the master channel's) and of iFeature: the
// least a feature unit holds after its fixed part.
constexpr uint8_t kUac2FeatureUnitTrailer = 4 + 1;

// Fixed part; then bmaControls per channel and iEffects.
struct Uac2EffectUnitDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bUnitID;
  uint16_t wEffectType;
  uint8_t bSourceID;
};

// Fixed part; then baSourceID[bNrInPins], the cluster, the controls.
struct Uac2ProcessingUnitDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bUnitID;
  uint16_t wProcessType;
  uint8_t bNrInPins;
};

// Fixed part; then baSourceID[bNrInPins], the cluster, the controls.
struct Uac2ExtensionUnitDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bUnitID;
  uint16_t wExtensionCode;
  uint8_t bNrInPins;
};

struct Uac2SampleRateConverterDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bUnitID;
  uint8_t bSourceID;
  uint8_t bCSourceInID;
  uint8_t bCSourceOutID;
  uint8_t iSRC;
};

// The class-specific AudioStreaming interface descriptor (AS_GENERAL).
struct Uac2AsGeneralDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bTerminalLink;
  uint8_t bmControls;
  uint8_t bFormatType;
  uint32_t bmFormats;  // of format type I, D0: PCM
  uint8_t bNrChannels;
  uint32_t bmChannelConfig;
  uint8_t iChannelNames;
};

// What every format type descriptor starts with.
struct Uac2FormatTypeHeader {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bFormatType;
};

struct Uac2FormatTypeIDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bFormatType;
  uint8_t bSubslotSize;  // bytes of one sample in the stream
  uint8_t bBitResolution;
};

// The class-specific isochronous audio data endpoint descriptor (EP_GENERAL).
struct Uac2AsIsoEndpointDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bDescriptorSubtype;
  uint8_t bmAttributes;
  uint8_t bmControls;
  uint8_t bLockDelayUnits;
  uint16_t wLockDelay;
};

// The parameter block of a RANGE request to a 4-byte control (layout 3, as
// the sampling frequency's): wNumSubRanges, then that many subranges. A
// reply is outside input like a descriptor: read a subrange only inside the
// bytes that arrived.
struct Uac2Range32Header {
  uint16_t wNumSubRanges;
};
struct Uac2Range32Subrange {
  uint32_t dMIN;
  uint32_t dMAX;
  uint32_t dRES;
};

#pragma pack(pop)

static_assert(sizeof(UsbDescriptorHeader) == 2, "descriptor layout");
static_assert(sizeof(UsbConfigurationDescriptor) == 9, "descriptor layout");
static_assert(sizeof(UsbInterfaceDescriptor) == 9, "descriptor layout");
static_assert(sizeof(UsbEndpointDescriptor) == 7, "descriptor layout");
static_assert(sizeof(UsbInterfaceAssociationDescriptor) == 8, "descriptor layout");
static_assert(sizeof(Uac2CsDescriptorHeader) == 3, "descriptor layout");
static_assert(sizeof(Uac2EntityHeader) == 4, "descriptor layout");
static_assert(sizeof(Uac2AcHeaderDescriptor) == 9, "descriptor layout");
static_assert(sizeof(Uac2ClockSourceDescriptor) == 8, "descriptor layout");
static_assert(sizeof(Uac2ClockSelectorDescriptor) == 5, "descriptor layout");
static_assert(sizeof(Uac2ClockMultiplierDescriptor) == 7, "descriptor layout");
static_assert(sizeof(Uac2InputTerminalDescriptor) == 17, "descriptor layout");
static_assert(sizeof(Uac2OutputTerminalDescriptor) == 12, "descriptor layout");
static_assert(sizeof(Uac2MixerUnitDescriptor) == 5, "descriptor layout");
static_assert(sizeof(Uac2SelectorUnitDescriptor) == 5, "descriptor layout");
static_assert(sizeof(Uac2FeatureUnitDescriptor) == 5, "descriptor layout");
static_assert(sizeof(Uac2EffectUnitDescriptor) == 7, "descriptor layout");
static_assert(sizeof(Uac2ProcessingUnitDescriptor) == 7, "descriptor layout");
static_assert(sizeof(Uac2ExtensionUnitDescriptor) == 7, "descriptor layout");
static_assert(sizeof(Uac2SampleRateConverterDescriptor) == 8, "descriptor layout");
static_assert(sizeof(Uac2AsGeneralDescriptor) == 16, "descriptor layout");
static_assert(sizeof(Uac2FormatTypeHeader) == 4, "descriptor layout");
static_assert(sizeof(Uac2FormatTypeIDescriptor) == 6, "descriptor layout");
static_assert(sizeof(Uac2AsIsoEndpointDescriptor) == 8, "descriptor layout");
static_assert(sizeof(Uac2Range32Header) == 2, "parameter block layout");
static_assert(sizeof(Uac2Range32Subrange) == 12, "parameter block layout");

// Offsets the walks rely on, as USB Audio 2.0 places the fields.
static_assert(offsetof(Uac2AcHeaderDescriptor, wTotalLength) == 6, "descriptor layout");
static_assert(offsetof(Uac2ClockSourceDescriptor, bClockID) == offsetof(Uac2EntityHeader, bEntityID) &&
                  offsetof(Uac2ClockSelectorDescriptor, bClockID) == offsetof(Uac2EntityHeader, bEntityID) &&
                  offsetof(Uac2ClockMultiplierDescriptor, bClockID) == offsetof(Uac2EntityHeader, bEntityID),
              "descriptor layout");
static_assert(offsetof(Uac2InputTerminalDescriptor, bCSourceID) == 7, "descriptor layout");
static_assert(offsetof(Uac2OutputTerminalDescriptor, bCSourceID) == 8, "descriptor layout");
static_assert(offsetof(Uac2EffectUnitDescriptor, bSourceID) == 6, "descriptor layout");
static_assert(offsetof(Uac2AsGeneralDescriptor, bNrChannels) == 10, "descriptor layout");
static_assert(offsetof(UsbEndpointDescriptor, wMaxPacketSize) == 4, "descriptor layout");

// The descriptor at `p` seen as a T. T is packed (alignment 1), so any
// address holds one; read only the fields that lie inside the bLength the
// caller checked and inside the bytes there are.
template <typename T>
inline const T* DescriptorAs(const uint8_t* p) {
  return reinterpret_cast<const T*>(p);
}

#endif
