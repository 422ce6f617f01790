// USB Audio 2.0 topology of the device, from its configuration descriptor:
// the AudioControl interface and its terminal paths, the streaming
// interfaces with one slot per alternate setting, and the helpers that turn
// slots and clock rate lists into limits and endpoint sizes.
//
// Pure logic on the bytes the device handed us: no kernel or framework call.
// Every walk steps by bLength and stops with an error at a descriptor whose
// bLength is 0, shorter than its type needs, or that runs past the end of the
// configuration (or of the copy, whichever comes first). Runs at any IRQL
// (the clock walk's reader at whatever IRQL it needs).
#ifndef QUENBY_TOPOLOGY_H
#define QUENBY_TOPOLOGY_H

#include <stddef.h>
#include <stdint.h>

#define QUENBY_MAX_SLOTS 8
// GET RANGE of the sampling frequency: wNumSubRanges then 12-byte subranges.
#define QUENBY_MAX_SUBRANGES 170
#define QUENBY_RATE_LIST_BYTES 2048
// The lowest sample rate the streams run at; a clock's lower rates are never
// offered. Feedback is accepted within one sample per bus interval of the
// nominal samples, and a unit's measurement of its rate is off by a fraction
// of a sample whatever the rate. Far below one sample per bus interval that
// error is of the order of the value itself: at high speed feedback is
// refused from about 3000 Hz down, and at 50 Hz render sends several times
// the frames it should (at full speed too). From 4000 Hz up the frames arrive
// whole and in order at both speeds, but below 8000 Hz a high-speed unit
// still runs short of data now and then (5512 Hz in about one 1 s run of
// five). 8000 Hz, the lowest rate most units offer, is the floor: a unit is
// refused rather than glitched.
#define QUENBY_LOWEST_RATE 8000

// How render is paced on a render setting, from its endpoints.
#define QUENBY_PACING_NONE 0      // none the driver can follow: not streamed
#define QUENBY_PACING_FEEDBACK 1  // the explicit feedback endpoint's values
#define QUENBY_PACING_NOMINAL 2   // the nominal rate: an adaptive or synchronous sink follows the host
#define QUENBY_PACING_IMPLICIT 3  // the frames of the capture packets (implicit feedback)

// One alternate setting of a streaming interface. Pointers point into the
// configuration-descriptor copy; a slot without an interface is empty.
typedef struct _AltSettingSlot {
  const uint8_t* Interface;         // standard interface descriptor
  const uint8_t* AsGeneral;         // class-specific AS_GENERAL, PCM only
  const uint8_t* FormatTypeI;       // FORMAT_TYPE_I
  const uint8_t* DataEndpoint;      // isochronous endpoint, usage data
  const uint8_t* DataEndpointCs;    // class-specific data endpoint
  const uint8_t* FeedbackEndpoint;  // isochronous endpoint, usage feedback
  // Position among all the setting's endpoints (any transfer type): the
  // index of the endpoint's pipe in the selected setting.
  uint8_t DataEndpointIndex;
  uint8_t FeedbackEndpointIndex;
  uint8_t RenderPacing;  // render settings: QUENBY_PACING_*, set by the walk
} AltSettingSlot;

// A terminal path: the terminal of the streaming interface and the terminal
// at the other end, joined by a chain of units.
typedef struct _AUDIO_PATH {
  const uint8_t* InputTerminal;
  const uint8_t* OutputTerminal;
  const uint8_t* FeatureUnit;  // render only: the first feature unit after the input terminal, may be absent
  // What the streaming terminal names (the input terminal for render, the
  // output terminal for capture): a clock source, selector or multiplier.
  const uint8_t* ClockEntity;
  // The clock source that entity leads to: the entity itself, or (through
  // selectors and multipliers) what ClockResolve() found at start.
  const uint8_t* ClockSource;
} AUDIO_PATH;

// How a terminal-path search ended.
typedef enum _AUDIO_PATH_STATE {
  AudioPathAbsent = 0,   // no streaming terminal of that direction: no such direction
  AudioPathFound = 1,    // terminals and clock source found
  AudioPathNoClock = 2,  // terminals found, the clock they name leads to no clock source
  // A streaming terminal, but no chain of units joins it to a terminal at the other end.
  AudioPathUnreached = 3,
} AUDIO_PATH_STATE;

typedef enum _TOPOLOGY_RESULT {
  TopologyOk = 0,
  TopologyNoConfiguration,     // no configuration descriptor
  TopologyMalformed,           // bLength 0, too short for its type, or past the end
  TopologyNoControlInterface,  // no AudioControl interface of protocol 0x20
  TopologyNoControlHeader,     // no class-specific AudioControl header
  TopologyNoClockSource,       // both terminal paths lack their clock source
  TopologyTooManySettings,     // more than 8 alternate settings on one interface
  TopologyNoDataEndpoint,      // a streaming interface without data endpoint
  TopologySecondInterface,     // a second streaming interface of the same direction
  TopologyNoRender,            // neither a render nor a capture path with its streaming interface
  TopologyImplicitFeedback,    // render paced by capture packets polled at another interval
  TopologyPeriodUnsupported,   // an endpoint polled less often than every frame
  TopologyRenderUnreached,     // the render streaming terminal reaches no output terminal
  TopologyNoCapturePath,       // a capture interface, but no input terminal reaches its terminal
  TopologyCaptureNoClock,      // a capture interface whose terminal's clock leads to no clock source
  TopologyRenderNoClock,       // the render streaming terminal's clock leads to no clock source
  TopologyDataDirection,       // data endpoints of both directions on one interface
  TopologyNoFeedback,          // asynchronous render with neither explicit nor implicit feedback
  TopologyFeedbackDirection,   // a render feedback endpoint that is not IN
  TopologyFeedbackTooShort,    // a render feedback endpoint of fewer than 3 bytes
  TopologyNoUsableSetting,     // a direction without an alternate setting the driver streams
  TopologyImplicitClock,       // render paced by capture packets of another clock source
} TOPOLOGY_RESULT;

typedef struct _USB_AUDIO_TOPOLOGY {
  const uint8_t* Configuration;
  const uint8_t* ConfigurationEnd;  // start + wTotalLength, never past the copy
  const uint8_t* ControlInterface;
  const uint8_t* ControlHeader;
  const uint8_t* ControlEnd;  // end of the AudioControl block
  AUDIO_PATH CapturePath;
  AUDIO_PATH RenderPath;
  AUDIO_PATH_STATE CapturePathState;
  AUDIO_PATH_STATE RenderPathState;
  AltSettingSlot CaptureSlots[QUENBY_MAX_SLOTS];
  AltSettingSlot RenderSlots[QUENBY_MAX_SLOTS];
  uint32_t AudioInterfaceCount;  // AudioControl and streaming interfaces found
  // Positions of the interfaces among the configuration's interfaces (their
  // index in the framework's interface list); their numbers are in the
  // interface descriptors.
  uint32_t ControlIndex;
  uint32_t CaptureIndex;
  uint32_t RenderIndex;
  uint32_t HasCaptureInterface;
  uint32_t HasRenderInterface;
} USB_AUDIO_TOPOLOGY;

typedef struct _DIRECTION_LIMITS {
  uint32_t MinChannels;
  uint32_t MaxChannels;
  uint32_t MinBits;
  uint32_t MaxBits;
  uint32_t MinRate;
  uint32_t MaxRate;
} DIRECTION_LIMITS;

// Walks `length` bytes of a configuration descriptor copy.
TOPOLOGY_RESULT TopologyDiscover(const uint8_t* config, size_t length, USB_AUDIO_TOPOLOGY* topology);
const char* TopologyResultText(TOPOLOGY_RESULT result);
// TopologyPeriodUnsupported when a data or feedback endpoint of a direction
// polls less often than every frame at that speed (bInterval above 4 at high
// speed; the USB stack polls full-speed ones every frame);
// TopologyImplicitFeedback when render paced by implicit feedback and the
// capture data endpoints that pace it poll at another interval (one capture
// packet paces one render packet); else TopologyOk.
TOPOLOGY_RESULT TopologyCheckPeriods(const USB_AUDIO_TOPOLOGY* topology, int highSpeed);
// Whether the driver can stream what the walk found, per direction that
// exists: for render, a setting it can pace (TopologyNoFeedback), each
// feedback endpoint IN (TopologyFeedbackDirection) and of 3 or more bytes
// (TopologyFeedbackTooShort); at least one setting SlotIsUsable() accepts
// (TopologyNoUsableSetting). TopologyOk otherwise.
TOPOLOGY_RESULT TopologyCheckSettings(const USB_AUDIO_TOPOLOGY* topology);

// Clock entities of the AudioControl block.
typedef enum _CLOCK_KIND {
  ClockKindNone = 0,
  ClockKindSource,
  ClockKindSelector,
  ClockKindMultiplier
} CLOCK_KIND;
CLOCK_KIND ClockEntityKind(const uint8_t* entity);
// The clock entity with bClockID `id` (a source, selector or multiplier); null when none.
const uint8_t* TopologyFindClock(const USB_AUDIO_TOPOLOGY* topology, uint8_t id);
// A selector's input `pin` (1-based) as a clock ID; 0 when the selector has no such input.
uint8_t ClockSelectorInput(const uint8_t* selector, uint32_t pin);
// Control selectors of the clock entities (USB Audio 2.0).
#define QUENBY_CS_SAM_FREQ_CONTROL 0x01
#define QUENBY_CS_CLOCK_VALID_CONTROL 0x02
#define QUENBY_CX_CLOCK_SELECTOR_CONTROL 0x01
#define QUENBY_CM_NUMERATOR_CONTROL 0x01
#define QUENBY_CM_DENOMINATOR_CONTROL 0x02
// Reads the current value of `control` of clock entity `entity` (GET CUR);
// false when it cannot be read.
typedef int (*CLOCK_READ)(void* context, uint8_t entity, uint8_t control, uint32_t* value);
typedef enum _CLOCK_RESULT {
  ClockResolved = 0,
  ClockNoEntity,          // an ID names no clock entity
  ClockLoop,              // the chain runs longer than the entities (a loop)
  ClockSelectorUnread,    // a selector's current input could not be read
  ClockSelectorInvalid,   // a selector reports an input it does not have
  ClockMultiplierUnread,  // a multiplier's ratio could not be read
  ClockRatioNotOne,       // a multiplier whose ratio is not 1:1
  // Of the clock source reached (named by the start that found it): one
  // whose sampling frequency the host cannot set ...
  ClockFixedRateUnread,      // ... did not report the rate it runs at
  ClockFixedRateNotCarried,  // ... runs at a rate no setting of its interface carries
} CLOCK_RESULT;
// Follows clock entity `id` to its clock source: a selector through its
// current input, a multiplier to its source when its ratio is 1:1 (each
// read with `read`). *source gets the clock source when ClockResolved.
CLOCK_RESULT ClockResolve(const USB_AUDIO_TOPOLOGY* topology, uint8_t id, CLOCK_READ read, void* context,
                          const uint8_t** source);
const char* ClockResultText(CLOCK_RESULT result);

// Whether a render setting is paced by the capture packets (implicit feedback).
int TopologyRendersImplicitly(const USB_AUDIO_TOPOLOGY* topology);

// A direction exists when its terminal path with its clock source and its
// streaming interface were both found.
int TopologyHasCapture(const USB_AUDIO_TOPOLOGY* topology);
int TopologyHasRender(const USB_AUDIO_TOPOLOGY* topology);

// Fields of descriptors the walk accepted.
uint8_t DescriptorInterfaceNumber(const uint8_t* interfaceDescriptor);
uint8_t DescriptorAlternateSetting(const uint8_t* interfaceDescriptor);
uint8_t DescriptorClockId(const uint8_t* clockSource);
// Whether the host may set a clock source's sampling frequency: its
// bmControls D1..0 are 11b (01b: read-only, as a fixed or external clock).
int ClockSourceRateSettable(const uint8_t* clockSource);
// Whether the host may read a clock source's validity: its bmControls D3..2
// announce the control readable (D2 set).
int ClockSourceValidityReadable(const uint8_t* clockSource);
uint8_t DescriptorEndpointAddress(const uint8_t* endpoint);
// Synchronization type of an isochronous endpoint (bmAttributes D3..2).
#define QUENBY_SYNC_NONE 0
#define QUENBY_SYNC_ASYNCHRONOUS 1
#define QUENBY_SYNC_ADAPTIVE 2
#define QUENBY_SYNC_SYNCHRONOUS 3
uint32_t EndpointSyncType(const uint8_t* endpoint);
// How a render setting is paced: by its explicit feedback endpoint; by the
// nominal rate when its data endpoint is adaptive, synchronous or without
// synchronization (the sink follows the host); by the capture packets when
// it is asynchronous and `implicitSource` (a capture data endpoint of
// implicit-feedback usage) says the unit paces it so; else not at all.
uint32_t RenderPacing(const uint8_t* dataEndpoint, const uint8_t* feedbackEndpoint, int implicitSource);
// Bytes per (micro)frame of an endpoint: the size bits of wMaxPacketSize
// times one plus its additional-transaction bits.
uint32_t EndpointBytesPerInterval(const uint8_t* endpoint);
// Bus intervals from one packet of an isochronous endpoint to the next, as
// the USB stack polls it: 2^(bInterval-1) microframes at high speed (bInterval
// 0 read as 1), one frame at full speed; 0 for a high-speed bInterval above 4.
uint32_t EndpointPeriod(const uint8_t* endpoint, int highSpeed);

int SlotIsEmpty(const AltSettingSlot* slot);
int SlotIsPcm(const AltSettingSlot* slot);  // interface, AS_GENERAL and FORMAT_TYPE_I
// A PCM slot the driver streams: an alternate setting other than 0, a
// subslot of 2 to 4 bytes holding 1 or more bits (8-bit PCM is signed on the
// bus and unsigned in Windows; subslots above 4 bytes are no USB Audio 2.0
// format), a data endpoint and, for an OUT data endpoint (render), a way to
// pace it (RenderPacing). Formats are matched, offered and limited over
// these slots only.
int SlotIsUsable(const AltSettingSlot* slot);
uint32_t SlotChannels(const AltSettingSlot* slot);  // 0 without AS_GENERAL
uint32_t SlotBits(const AltSettingSlot* slot);      // 0 without FORMAT_TYPE_I
uint32_t SlotSubslotBytes(const AltSettingSlot* slot);
// Bits of the sample container on the bus (bSubslotSize x 8); 0 without
// FORMAT_TYPE_I or when the subslot cannot hold the resolution.
uint32_t SlotContainerBits(const AltSettingSlot* slot);
// Whether the slot's data endpoint carries `rate` frames per second: one
// frame more than the nominal frames of a packet (the endpoint's period
// of bus intervals) must fit the packet; a synchronous endpoint carries
// exactly the nominal frames (the whole ones of packets that carry a
// fraction more), so those must fit.
int SlotCarriesRate(const AltSettingSlot* slot, uint32_t rate, int highSpeed);
// First usable slot with `channels`, the container and valid bits (a valid
// bit count of 0 takes any) whose endpoint carries `rate`; -1 when none.
int SlotFindForShape(const AltSettingSlot* slots, uint32_t channels, uint32_t containerBits,
                     uint32_t validBits, uint32_t rate, int highSpeed);

// First usable slot (0..7) whose channel count and bit resolution match;
// -1 when none.
int SlotFindForFormat(const AltSettingSlot* slots, uint32_t channels, uint32_t bits);
// The default format of a direction: the smallest channel count with the
// smallest resolution when one alternate setting carries both; otherwise the
// alternate setting with the fewest channels (the smallest resolution among
// those), so that a device whose smallest channel count and smallest
// resolution sit in different alternate settings still gets a format it
// offers. Returns the slot, -1 when no slot is usable.
int SlotDefaultFormat(const AltSettingSlot* slots, uint32_t minChannels, uint32_t minBits, uint32_t* channels,
                      uint32_t* bits);
// Largest data and feedback endpoint sizes (bytes per interval) over the slots.
uint32_t SlotsMaxDataPacket(const AltSettingSlot* slots);
uint32_t SlotsMaxFeedbackPacket(const AltSettingSlot* slots);

// A rate list as the clock's GET RANGE reply stores it: wNumSubRanges, then
// subranges of dMIN, dMAX, dRES. `bytes` is the number of valid bytes;
// subranges beyond it are not read.
uint32_t RateListCount(const uint8_t* list, size_t bytes);
// dMIN of subrange `index`, 0 beyond the list.
uint32_t RateListRate(const uint8_t* list, size_t bytes, uint32_t index);
// Whether the clock offers `rate`: the dMIN of a subrange, or a standard
// rate (8000 to 384000 Hz) inside a subrange with dMIN below dMAX and on its
// grid (dRES; 0 or 1: every rate). Never below QUENBY_LOWEST_RATE.
int RateListOffers(const uint8_t* list, size_t bytes, uint32_t rate);
// The rates the clock offers, ascending, at most `max` of them into `rates`;
// returns how many there are.
uint32_t RateListOffered(const uint8_t* list, size_t bytes, uint32_t* rates, uint32_t max);

// Channel and bit limits over the usable slots (the smallest valid
// resolution, the largest container), rate limits over the rates the list
// offers. Zero where nothing counts (rate limits of 0: no rate the streams
// run at).
void ComputeLimits(const AltSettingSlot* slots, const uint8_t* rateList, size_t rateListBytes,
                   DIRECTION_LIMITS* limits);

#endif
