// quenby: KMDF miniport beside an AVStream minidriver for the KORVEL USB
// Audio 2.0 units. This header holds what the driver's files share: the
// device context, pool tags and the functions of each file.
#ifndef QUENBY_H
#define QUENBY_H

#include <ntifs.h>
#include <windef.h>
#define NOBITMAP
#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdf.h>
#include <wdfminiport.h>
#include <wdfusb.h>

#include "format.h"
#include "stream_logic.h"
#include "topology.h"

// Pool tags "ac2m" (memory objects) and "ac2d" (the framework's driver tag),
// as they read in memory.
#define QUENBY_MEMORY_TAG ((ULONG)'a' | ((ULONG)'c' << 8) | ((ULONG)'2' << 16) | ((ULONG)'m' << 24))
#define QUENBY_DRIVER_TAG ((ULONG)'a' | ((ULONG)'c' << 8) | ((ULONG)'2' << 16) | ((ULONG)'d' << 24))

#define QUENBY_EXTENSION_ID ((PVOID)(ULONG_PTR)0x1100)
#define QUENBY_BUFFER_SIZE 4096
#define QUENBY_TRANSFERS 15
#define QUENBY_STREAMS 3
#define QUENBY_CONTROL_TIMEOUT_SECONDS 3
// Interfaces of the audio function the configuration selection handles
// (the audio function of a composite device, its MIDI or other interfaces
// included).
#define QUENBY_MAX_INTERFACES 32

// Power states as the context keeps them.
#define QUENBY_POWER_D0 1
#define QUENBY_POWER_D3 4
#define QUENBY_POWER_REMOVED 5

typedef enum _QUENBY_STREAM { QuenbyCapture = 0, QuenbyRender = 1, QuenbyFeedback = 2 } QUENBY_STREAM;

// Where start failed (0 = it did not), for diagnostics of a refused device.
typedef enum _QUENBY_START_STEP {
  QuenbyStartOk = 0,
  QuenbyStartNoContext,
  QuenbyStartUsbTarget,
  QuenbyStartInformation,
  QuenbyStartDescriptor,
  QuenbyStartTopology,
  QuenbyStartConfiguration,
  QuenbyStartClocks,
  QuenbyStartRates,
  QuenbyStartLimits,
  QuenbyStartRings,
  QuenbyStartTransfers,
  QuenbyStartFormats,
  QuenbyStartFilter,
  QuenbyStartPowerUp,
} QUENBY_START_STEP;

// The byte ring between the streams and their users.
typedef struct _AudioRing {
  WDFDEVICE Device;
  WDFMEMORY Memory;
  WDFSPINLOCK Lock;
  // The pin the ring feeds or drains: set, cleared (at its close) and
  // asked to process only under Lock, so the pin asked is still open.
  PKSPIN OwnerPin;
  KEVENT Event;
  ULONG Kind;  // 1 capture, 2 render
  ULONG Fill;
  ULONG Size;
  ULONG Limit;  // fill allowed for the running format (bounds the delay); <= Size
  ULONG WriteOffset;
  ULONG ReadOffset;
  ULONG Wanted;
  PUCHAR Buffer;
  ULONG Resets;  // resets so far: what a peek saw may be taken only before the next
} AudioRing;

#define QUENBY_DIRECT_CAPTURE_RUNNING 0x1
#define QUENBY_DIRECT_RENDER_RUNNING 0x2

#define QUENBY_RESUME_CAPTURE 0x1
#define QUENBY_RESUME_RENDER 0x2

#define QUENBY_RING_CAPTURE 1
#define QUENBY_RING_RENDER 2

// Context of each isochronous transfer object. The transfers of a stream are
// kept in intrusive lists (free, and for capture completed) so that moving
// one between lists never allocates.
typedef struct _WDF_OBJECT_CONTEXT {
  struct _WDF_OBJECT_CONTEXT* Next;  // link of the list the transfer is on
  ULONG Stream;                      // QUENBY_STREAM
  ULONG Index;                       // 0..14 within its stream
  WDFDEVICE Device;
  WDFMEMORY UrbMemory;
  WDFREQUEST Request;
  PMDL Mdl;
  PURB Urb;
  PUCHAR Buffer;
  ULONG BufferLength;
  ULONG ValidBytes;
  // Render: ring bytes the transfer carries, taken from the ring only once
  // it is sent (a transfer the stack refuses at once leaves them there).
  ULONG Taken;
  ULONG TakenResets;
  // Render paced by implicit feedback (ImplicitUsed): what the transfer's
  // packets took of the capture packets' queue, committed once it is sent.
  ULONG ImplicitUsed;
  IMPLICIT_USE Implicit;
  LONG Submitting;  // set around the send
  LONG Refused;     // failed while being sent: nothing of it went out
} WDF_OBJECT_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WDF_OBJECT_CONTEXT, GetTransferContext)

// Context of each transfer's request.
typedef struct _WDF_REQUEST_CONTEXT {
  WDFDEVICE Device;
  WDFOBJECT Transfer;
} WDF_REQUEST_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WDF_REQUEST_CONTEXT, GetRequestContext)

// A FIFO of transfers, guarded by the spin lock that goes with it.
typedef struct _QUENBY_TRANSFER_LIST {
  WDF_OBJECT_CONTEXT* Head;
  WDF_OBJECT_CONTEXT* Tail;
  ULONG Count;
} QUENBY_TRANSFER_LIST;

// Clone stream pointers a pin's data is held in (direct mode): a FIFO.
#define QUENBY_RENDER_CLONES 50
#define QUENBY_CAPTURE_CLONES 10

typedef struct _StreamCounters {
  ULONG RenderUnderruns;
  ULONG RenderLateStarts;
  ULONG Reserved1;
  ULONG CaptureLateStarts;
  ULONG Reserved2;
  ULONG FeedbackLateStarts;
  // Feedback packets whose value was not accepted (too short, another
  // format, outside nominal +-1), 8 each: a stream that counts these and
  // accepts none runs open loop.
  ULONG FeedbackRejected;
} StreamCounters;

// The exchange lock of the unit's answer queue (exchange.cpp): which
// private file object holds it, since when, and the sessions whose programs
// wait for it, each with the time it began to wait (all under Mutex).
#define QUENBY_EXCHANGE_SESSIONS 8
typedef struct _QUENBY_EXCHANGE_WAITER {
  ULONG Used;
  ULONG Session;
  ULONGLONG First;  // interrupt time of its first ask since its session last held the lock
  ULONGLONG Last;   // interrupt time of its latest ask
} QUENBY_EXCHANGE_WAITER;
typedef struct _QUENBY_EXCHANGE {
  KMUTEX Mutex;
  PFILE_OBJECT Holder;
  ULONG HolderProcess;
  ULONG HolderSession;
  ULONGLONG HeldSince;
  ULONG TakenOver;  // the last holder ended inside its exchange (closed, or held too long)
  QUENBY_EXCHANGE_WAITER Waiting[QUENBY_EXCHANGE_SESSIONS];
} QUENBY_EXCHANGE;

// One endpoint stream: capture, render or feedback (the device context's
// Streams, indexed by QUENBY_STREAM).
typedef struct _QUENBY_STREAM_STATE {
  // Transfer bookkeeping.
  WDFOBJECT Transfers[QUENBY_TRANSFERS];
  WDFREQUEST Requests[QUENBY_TRANSFERS];
  WDFMEMORY DataMemory[QUENBY_TRANSFERS];
  PMDL Mdls[QUENBY_TRANSFERS];
  WDFMEMORY UrbMemory[QUENBY_TRANSFERS];
  QUENBY_TRANSFER_LIST FreeList;
  WDFSPINLOCK FreeLock;  // of FreeList
  WDFWAITLOCK SubmitLock;
  WDFUSBPIPE Pipe;
  USBD_PIPE_HANDLE PipeHandle;
  WDF_USB_PIPE_INFORMATION PipeInfo;
  KEVENT IdleEvent;

  // Flags and counters.
  ULONG Active;
  ULONG InFlightLimit;
  ULONG ConfiguredInFlight;
  LONG InFlight;
  // The frame after the stream's last transfer sent, valid once
  // StartFrameSet is 1 (every value is a frame: the bus's counter wraps).
  ULONG NextStartFrame;
  ULONG StartFrameSet;
  ULONG PacketsPerTransfer;
  ULONG TransferSize;
  ULONG MaxPacket;  // bytes per packet of the running endpoint
  ULONG Period;     // bus intervals from one packet to the next
} QUENBY_STREAM_STATE;

// One direction of the unit: capture or render (the device context's Dir,
// indexed by QUENBY_DIR_CAPTURE and QUENBY_DIR_RENDER). What only one
// direction has (render's clones, feedback and pacing, capture's clones and
// completed transfers, the positions) stays in the context.
typedef struct _QUENBY_DIRECTION_STATE {
  WDFUSBINTERFACE Interface;
  ULONG Index;  // the audio interface's index among the function's interfaces
  LONG SelectedSlot;
  // The rate the direction's clock source runs at when the host cannot set
  // that clock (a read-only sampling frequency: a fixed clock, or an
  // external one a selector stands on), read at start: the one rate the
  // direction offers. 0: the host sets the rate.
  ULONG FixedRate;
  // Diagnostics: what such a clock reported at the last stream start or
  // power-up that checked it (a stream starts only at the rate it runs at).
  ULONG FixedRateFound;
  // Diagnostics: the clock source whose validity read invalid at the last
  // start of the direction's stream, which that start refused (0: none).
  ULONG InvalidClockId;

  // Limits.
  DIRECTION_LIMITS Limits;
  ULONG RateListBytes;

  // Formats.
  AUDIO_FORMAT DeviceFormat;
  AUDIO_FORMAT StreamFormat;
  AUDIO_FORMAT SavedFormat;
  AUDIO_FORMAT PinFormat;

  AudioRing Ring;
  // Held around the direction's positions (in the context) and formats.
  WDFSPINLOCK PositionLock;

  PKSPIN Pin;
  // The pin created for the direction, on whichever filter instance: one
  // per direction on the unit; a pin closed frees it (stream-control lock).
  PKSPIN OpenPin;
  ULONG PinRunning;
  // A pin of the direction is out of STOP (ACQUIRE, PAUSE or RUN): the
  // stream it started stays while the other direction's pin stops.
  ULONG PinAcquired;
  ULONG StreamInUse;

  // Tried with a zero time-out only.
  KMUTEX StartMutex;
} QUENBY_DIRECTION_STATE;

typedef struct _WDF_DEVICE_CONTEXT {
  // Handles.
  PKSDEVICE KsDevice;
  WDFDRIVER WdfDriver;
  WDFDEVICE WdfDevice;
  WDFUSBDEVICE UsbDevice;
  WDFMEMORY ConfigMemory;
  WDFMEMORY ControlMemory;
  WDFMEMORY RateMemory;
  WDFMEMORY FilterMemory;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;

  // Transfer bookkeeping, per stream (capture, render, feedback).
  QUENBY_STREAM_STATE Streams[QUENBY_STREAMS];
  QUENBY_TRANSFER_LIST CaptureCompleted;
  WDFSPINLOCK CaptureCompletedLock;
  WDFSPINLOCK ThreadLock;
  WDFUSBINTERFACE ControlInterface;

  // Settings, formats, ring and pins, per direction (capture, render).
  QUENBY_DIRECTION_STATE Dir[2];

  // Events and the streaming thread.
  KEVENT WakeEvent;
  HANDLE ThreadHandle;

  // Topology (pointers into the configuration copy).
  USB_AUDIO_TOPOLOGY Topology;
  ULONG TopologyResult;
  // How following the terminals' clock selectors and multipliers, and
  // reading a clock source whose rate the host cannot set, ended
  // (CLOCK_RESULT), and whether both directions run from one clock source:
  // then while one streams the other takes only the rate it runs at.
  ULONG ClockResult;
  ULONG SharedClock;
  // The clock source a ClockResult about one clock source names (0: none).
  ULONG ClockResultId;

  // Timing.
  LONGLONG TicksPer10us;
  LONGLONG LastRenderSubmit;
  LONGLONG RenderAttempt;

  // Flags and counters.
  ULONG HighSpeed;
  ULONG Windows8Usb;
  ULONG AudioInterfaceCount;
  ULONG ControlIndex;
  ULONG PowerState;
  ULONG SurpriseRemoved;
  ULONG ThreadRunning;
  LONG CompletedWaiting;
  ULONG NominalSamples;
  ULONG NominalFeedbackValue;
  LONG FeedbackValue;  // the last accepted value
  // The format the unit's feedback came in (QUENBY_FEEDBACK_*), the mean
  // render paces by (under FeedbackLock), and values accepted this stream.
  ULONG FeedbackFormat;
  FEEDBACK_AVERAGE FeedbackAverage;
  WDFSPINLOCK FeedbackLock;
  ULONG FeedbackAccepted;
  StreamCounters Counters;
  // How the running render stream is paced (QUENBY_PACING_* of its
  // setting): its feedback values, the nominal rate, or the capture
  // packets' frames, queued in ImplicitQueue (under FeedbackLock) by the
  // capture processing.
  ULONG RenderPacing;
  IMPLICIT_QUEUE ImplicitQueue;
  // The packet-size fraction of render: of the feedback value, or (nominal
  // and implicit pacing) the remainder of the exact nominal rate.
  ULONG RenderAccumulator;
  ULONG RenderPrimed;
  ULONG DirectMode;
  ULONG DirectStreamFlags;  // QUENBY_DIRECT_CAPTURE_RUNNING | QUENBY_DIRECT_RENDER_RUNNING
  // The private file object that entered direct mode: its client alone
  // runs the mode and the rings (stream-control lock).
  PFILE_OBJECT DirectOwner;
  ULONG CaptureWaiting;
  ULONG CaptureCredit;

  // Positions in bytes of the pin formats (capture position lock, render
  // position lock) and the remainders of their rate conversions.
  ULONGLONG CaptureDevicePosition;
  ULONGLONG CapturePinPosition;
  ULONGLONG RenderPlayPosition;
  ULONGLONG RenderWritePosition;
  ULONGLONG CaptureRemainder;
  ULONGLONG RenderRemainder;
  // What the pins' positions report (KSAUDIO_POSITION): render, what the
  // unit has played of the client's data (silence sent meanwhile does not
  // count); capture, the bytes of clones taken that are not filled yet.
  ULONGLONG RenderPlayed;
  ULONGLONG RenderPlayedRemainder;
  ULONGLONG CaptureCloneOwed;

  // Clone stream pointers (direct mode), oldest first.
  PKSSTREAM_POINTER RenderClones[QUENBY_RENDER_CLONES];
  ULONG RenderCloneHead;
  ULONG RenderCloneCount;
  ULONG RenderCloneFrames;  // frames consumed of the oldest render clone
  ULONG RenderCloneOffset;  // byte offset in it
  PKSSTREAM_POINTER CaptureClones[QUENBY_CAPTURE_CLONES];
  ULONG CaptureCloneHead;
  ULONG CaptureCloneCount;
  ULONG CaptureCloneFill;  // bytes written into the oldest capture clone

  // Diagnostics: render transfers after priming that carried silence or
  // partial data (each also counted in Counters.RenderUnderruns).
  ULONG RenderUnderrunEvents;

  // Held (waited for) by every path that starts or stops streams or selects
  // settings: pin state changes, the direct-mode codes, power and remove.
  // Lock order: AVStream calls the pins' create, state, format and close
  // dispatches holding the filter's control mutex (each filter instance
  // has its own), and power and remove holding the device mutex; they take
  // this lock inside those. The private codes take it holding none. Under
  // it: the start mutexes (only tried), the render-clone mutex (its other
  // holders only try it), the submit locks (timed), spin locks last; never
  // a KS mutex (pins are asked to process asynchronously). It is held across requests to the unit, so neither
  // the pins' process dispatches (under AVStream's process mutex) nor their
  // property handlers wait for it: they read the running format whole
  // under the direction's position lock (QuenbyStreamFormat), and the
  // device rate there too (QuenbyDeviceRate).
  KMUTEX StreamControlMutex;
  QUENBY_EXCHANGE Exchange;
  // Streams that ran when the device powered down; they run again at power-up.
  ULONG ResumeStreams;  // QUENBY_RESUME_*
  // Failed feedback or render submissions in a row (completion refused at
  // once); the thread then waits a frame before it submits again.
  LONG SubmitFailures;
  // The bring-up of start completed; a start after a stop reuses it.
  ULONG BroughtUp;

  // Tried with a zero time-out only (as are the directions' start mutexes).
  KMUTEX RenderCloneMutex;

  // Diagnostics: the step at which the last start failed.
  ULONG StartFailure;
} WDF_DEVICE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WDF_DEVICE_CONTEXT, GetDeviceContext)

// Direction index of the per-direction arrays.
#define QUENBY_DIR_CAPTURE 0
#define QUENBY_DIR_RENDER 1

// Flags and counters of the context that the streaming thread, the pins and
// the private interface share are read and written with interlocked
// operations, from every file.
inline ULONG ReadFlag(ULONG* flag) {
  return (ULONG)InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(flag), 0, 0);
}

inline void WriteFlag(ULONG* flag, ULONG value) {
  InterlockedExchange(reinterpret_cast<LONG volatile*>(flag), (LONG)value);
}

// device.cpp
_IRQL_requires_(PASSIVE_LEVEL)
extern "C" DRIVER_INITIALIZE DriverEntry;
_IRQL_requires_max_(DISPATCH_LEVEL)
WDF_DEVICE_CONTEXT* QuenbyContextFromKsDevice(PKSDEVICE KsDevice);

// usbaudio.cpp: class requests, configuration and settings.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyGetRange(WDF_DEVICE_CONTEXT* ctx, UCHAR clockId, PUCHAR buffer, ULONG length);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbySetSampleRate(WDF_DEVICE_CONTEXT* ctx, UCHAR clockId, ULONG rate);
// GET CUR of a clock source's sampling frequency.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyGetSampleRate(WDF_DEVICE_CONTEXT* ctx, UCHAR clockId, PULONG rate);
// A direction's clock at `rate` before its interface streams: SET CUR when
// the host sets that clock; a clock whose rate is read-only is only read,
// and fails unless it runs at `rate`.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyClockToRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG rate);
// After the rate is set for a stream's start: whether the direction's clock
// source has a signal to run from. STATUS_DEVICE_NOT_READY (and the clock
// in InvalidClockId) when its validity control reads invalid.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyClockCheckValid(WDF_DEVICE_CONTEXT* ctx, ULONG direction);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbySelectConfiguration(WDF_DEVICE_CONTEXT* ctx);
// Follows each direction's clock through its selectors (their current
// input) and multipliers to the clock source whose rate it sets; notes a
// clock shared by both directions, and the rate of a clock source whose
// rate the host cannot set. Needs the configuration selected.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyResolveClocks(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyReadRates(WDF_DEVICE_CONTEXT* ctx);
// The rate the other direction holds the shared clock at while it streams;
// 0 when the clock is free for `direction` (separate clocks, or nothing else
// streaming).
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG QuenbyClockHeldRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction);
// Whether a direction's device format is at `rate` or a setting of its
// shape carries that rate.
BOOLEAN QuenbyCarriesRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG rate);
// Moves a direction's device format to `rate` when a setting of its shape
// carries that rate; false (format unchanged) otherwise.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN QuenbyDeviceFormatAtRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG rate);
// What PlanStreams decides from for `ask`, as the context stands: the
// device formats' rates (a capture pin's: its pin format's), the streams
// running, in use and held by pins out of STOP, the rate the other
// direction holds the one clock at. Stream-control lock held.
_IRQL_requires_max_(DISPATCH_LEVEL)
STREAM_REQUEST QuenbyStreamRequest(WDF_DEVICE_CONTEXT* ctx, STREAM_ASK ask);
// The status a refusal of PlanStreams (STREAM_REFUSAL) is reported with.
NTSTATUS QuenbyRefusalStatus(ULONG refusal);
// Whether capture may run beside render: always on separate clocks; on one
// clock for both only at render's rate, to which capture's device format
// then moves (QuenbyDeviceFormatAtRate).
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN QuenbyCaptureFollowsRender(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyComputeLimits(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbySetDefaultFormats(WDF_DEVICE_CONTEXT* ctx);
// A direction's device format (DeviceFormat): written under the
// stream-control lock and, for the readers that may not wait for that lock
// (the sampling-rate property), under the direction's position lock too;
// such a reader takes the rate under the position lock alone.
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyPutDeviceFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction, const AUDIO_FORMAT* format);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG QuenbyDeviceRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction);
// A PCM format as the device formats keep it (WAVEFORMATEXTENSIBLE).
void QuenbySetFormat(AUDIO_FORMAT* format, ULONG channels, ULONG rate, ULONG bits);
// The same with a container wider than the valid bits (24 bits in 32).
void QuenbySetFormatValid(AUDIO_FORMAT* format, ULONG channels, ULONG rate, ULONG bits, ULONG validBits);
// wValidBitsPerSample of an extensible format, else wBitsPerSample.
ULONG QuenbyValidBits(const AUDIO_FORMAT* format);
// A direction's device format for the sample width the caller names (direct
// mode), with the valid bits of the setting that has that container.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbySetDeviceFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG channels, ULONG rate,
                               ULONG bits);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbySelectAltSetting(WDF_DEVICE_CONTEXT* ctx, WDFUSBINTERFACE usbInterface, UCHAR setting);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbySelectSlotForFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction);
_IRQL_requires_max_(DISPATCH_LEVEL)
PUCHAR QuenbyRateList(WDF_DEVICE_CONTEXT* ctx, ULONG direction);

// ring.cpp: the byte rings.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyRingWrite(AudioRing* ring, const UCHAR* data, ULONG length);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyRingRead(AudioRing* ring, PUCHAR data, ULONG length, PULONG fillBefore, PULONG fillAfter);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyRingWriteWait(AudioRing* ring, const UCHAR* data, ULONG length);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyRingReadWait(AudioRing* ring, PUCHAR data, ULONG length);
// Copies `length` bytes from the read position without taking them (fails
// when fewer are stored); *generation identifies the ring's contents.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyRingPeek(AudioRing* ring, PUCHAR data, ULONG length, PULONG generation);
// Takes `length` bytes a peek saw, as a read would (the waiting writer's
// event, or the owner pin, learns of the room); nothing when the ring was
// reset since the peek.
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyRingConsume(AudioRing* ring, ULONG length, ULONG generation, BOOLEAN waiting);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyRingReset(AudioRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyRingResetWithOwner(AudioRing* ring, PKSPIN owner);
// Bounds the ring's fill to `bytes` (whole frames of the running format).
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyRingSetLimit(AudioRing* ring, ULONG bytes);
// The fill allowed for the running format (read under the ring's lock).
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG QuenbyRingLimit(AudioRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL)
PKSPIN QuenbyRingOwner(AudioRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG QuenbyRingFill(AudioRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyCreateRing(WDF_DEVICE_CONTEXT* ctx, AudioRing* ring, ULONG kind,
                          const DIRECTION_LIMITS* limits);

// direct_mix.cpp: the KS pins beside direct mode.
// Where mixing the held render clones into a transfer ends: clones used up,
// and the byte offset and frames into the next one.
typedef struct _RENDER_MIX_END {
  ULONG Clones;
  ULONG Offset;
  ULONG Frames;
} RENDER_MIX_END;
// Adds the KS render pin's held audio into a render buffer of `bytes`,
// taking nothing of it (*end: where it ended). Under the render-clone mutex.
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyMixRenderClones(WDF_DEVICE_CONTEXT* ctx, PUCHAR buffer, ULONG bytes, RENDER_MIX_END* end);
// Takes what a mixing ending at *end used, once its transfer went out
// (still under the mutex the mixing held): a transfer the USB stack
// refuses leaves the pin's audio for the next one, as it leaves the ring's.
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyConsumeRenderClones(WDF_DEVICE_CONTEXT* ctx, const RENDER_MIX_END* end);
// Copies captured packet data into the KS capture pin's held clones.
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyFeedCaptureClones(WDF_DEVICE_CONTEXT* ctx, const UCHAR* data, ULONG length);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyDeleteClones(WDF_DEVICE_CONTEXT* ctx, ULONG direction);

// stream.cpp: transfers, the streaming thread, stream control.
// Render delay of the running format in frames at its most: the ring's
// limit and the transfers scheduled ahead; *rate gets that format's rate.
// Waits for no lock but spin locks (the latency property calls it).
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG QuenbyRenderDelayBound(WDF_DEVICE_CONTEXT* ctx, PULONG rate);
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyLockStreamControl(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyUnlockStreamControl(WDF_DEVICE_CONTEXT* ctx);
// Frees the rings, transfers and MDLs of a bring-up that failed.
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyReleaseBringUp(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyStartCapture(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyStartRender(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin);
// The streams again after a power-down, their rings as they were (the audio
// queued for render, what capture took that its pin has not): nothing a
// client handed over or the unit sent is lost. A format that changed
// meanwhile empties its ring.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyResumeCapture(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyResumeRender(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyStopCapture(WDF_DEVICE_CONTEXT* ctx, BOOLEAN selectIdle);
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyStopRender(WDF_DEVICE_CONTEXT* ctx, BOOLEAN selectIdle);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG QuenbyRenderDelay(WDF_DEVICE_CONTEXT* ctx);
// A direction's running format (StreamFormat): set by a stream start under
// the stream-control lock and, for its readers that may not wait for that
// lock, under the direction's position lock too; read whole under the
// position lock alone.
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbySetStreamFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction, const AUDIO_FORMAT* format);
// The direction's position lock, which also guards its formats for the
// readers that may not wait for the stream-control lock.
WDFSPINLOCK QuenbyPositionLock(WDF_DEVICE_CONTEXT* ctx, ULONG direction);
_IRQL_requires_max_(DISPATCH_LEVEL)
WAVEFORMATEX QuenbyStreamFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction);
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN QuenbyTryMutex(PKMUTEX mutex);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyAllocateTransfers(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyFreeMdls(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyStartThread(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyStopThread(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyWakeThread(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyStopStream(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream);
// As QuenbyStopStream, but the transfers sent complete as the bus runs them
// rather than being cancelled (a power-down: their audio left the ring).
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyDrainStream(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream);
_IRQL_requires_max_(DISPATCH_LEVEL)
void QuenbyComputeNominalFeedback(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyServiceCapture(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyServiceRender(WDF_DEVICE_CONTEXT* ctx);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyServiceFeedback(WDF_DEVICE_CONTEXT* ctx);

// filter.cpp: the filter description, intersection and filter properties.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QuenbyBuildFilterDescription(WDF_DEVICE_CONTEXT* ctx, const KSFILTER_DESCRIPTOR** descriptor);
_IRQL_requires_max_(DISPATCH_LEVEL)
WDF_DEVICE_CONTEXT* QuenbyContextFromObject(PVOID ksObject);

// pin.cpp: what a direction's negotiation reads (format.h has the rules).
_IRQL_requires_max_(DISPATCH_LEVEL)
FORMAT_CAPS QuenbyFormatCaps(WDF_DEVICE_CONTEXT* ctx, ULONG direction);

// private.cpp: the private control interface (handles ending in "\tarrow").
#define QUENBY_PRIVATE_MARKER ((PVOID)(ULONG_PTR)0x1100)
// A request of a hooked major function: served when it opens or concerns a
// private file object, else passed to `next` (the kernel-streaming class).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyPrivateDispatch(PDEVICE_OBJECT deviceObject, PIRP irp, PDRIVER_DISPATCH next);
// The control codes of private file object `file` on a context (no IRP):
// the buffers as the transfer method gives them. Returns the status and sets
// *information.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyPrivateControl(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, ULONG code, PVOID in,
                              ULONG inLength, PVOID out, ULONG outLength, ULONG_PTR* information);
// The last handle of private file object `file` closed (IRP_MJ_CLEANUP):
// what it owned is given back.
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyPrivateCleanup(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file);

// exchange.cpp: the exchange lock's two codes for private file object
// `file` of process `process` in session `session`; `out` the caller's
// output buffer. Cleanup: the file object's last handle closed.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyExchangeControl(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, ULONG code, ULONG process,
                               ULONG session, PVOID out, ULONG outLength, ULONG_PTR* information);
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyExchangeCleanup(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file);

// pin.cpp: pin dispatch (format, state, process) and pin properties.
extern const KSPIN_DISPATCH g_RenderPinDispatch;
extern const KSPIN_DISPATCH g_CapturePinDispatch;
extern const KSAUTOMATION_TABLE g_PinAutomation;

#endif
