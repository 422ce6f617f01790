// USB Audio 2.0 requests and settings: clock GET RANGE and SET CUR,
// configuration selection, sample-rate lists, limits, default formats, and
// alternate-setting selection with its retries.
#include "quenby.h"

namespace {

const UCHAR kRequestCur = 0x01;
const UCHAR kRequestRange = 0x02;
const USHORT kSamplingFrequencyControl = 0x0100;
const ULONG kRateListHalf = QUENBY_RATE_LIST_BYTES;
const ULONG kSelectAttempts = 10;
const USHORT kClockValidControl = QUENBY_CS_CLOCK_VALID_CONTROL << 8;
// Reads of a clock's validity before a start gives up on it: a unit may
// take a moment to lock to a rate just set, and each read is a bus round
// trip of its own.
const ULONG kValidityReads = 4;

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ClassRequest(WDF_DEVICE_CONTEXT* ctx, WDF_USB_BMREQUEST_DIRECTION direction, UCHAR request,
                      USHORT value, USHORT index, PVOID buffer, ULONG length, PULONG transferred) {
  WDF_USB_CONTROL_SETUP_PACKET packet;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&packet, direction, BmRequestToInterface, request, value, index);
  WDF_MEMORY_DESCRIPTOR memory;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, buffer, length);
  WDF_REQUEST_SEND_OPTIONS options;
  WDF_REQUEST_SEND_OPTIONS_INIT(&options,
                                WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
  WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(QUENBY_CONTROL_TIMEOUT_SECONDS));
  return WdfUsbTargetDeviceSendControlTransferSynchronously(ctx->UsbDevice, WDF_NO_HANDLE, &options, &packet,
                                                            &memory, transferred);
}

USHORT ClockIndex(WDF_DEVICE_CONTEXT* ctx, UCHAR clockId) {
  return (USHORT)((clockId << 8) | DescriptorInterfaceNumber(ctx->Topology.ControlInterface));
}

_IRQL_requires_max_(DISPATCH_LEVEL)
PUCHAR ControlBuffer(WDF_DEVICE_CONTEXT* ctx) {
  return static_cast<PUCHAR>(WdfMemoryGetBuffer(ctx->ControlMemory, nullptr));
}

const AltSettingSlot* Slots(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  return direction == QUENBY_DIR_CAPTURE ? ctx->Topology.CaptureSlots : ctx->Topology.RenderSlots;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SelectOnce(WDFUSBINTERFACE usbInterface, UCHAR setting) {
  WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
  WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, setting);
  return WdfUsbInterfaceSelectSetting(usbInterface, WDF_NO_OBJECT_ATTRIBUTES, &params);
}

void PutLe32(PUCHAR p, ULONG value) {
  p[0] = (UCHAR)value;
  p[1] = (UCHAR)(value >> 8);
  p[2] = (UCHAR)(value >> 16);
  p[3] = (UCHAR)(value >> 24);
}

// Reads one clock's rate list into its half of the rate-list buffer. A
// clock whose rate the host cannot set offers the one rate it runs at.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadRateList(WDF_DEVICE_CONTEXT* ctx, ULONG direction, const uint8_t* clockSource) {
  if (clockSource == nullptr) return STATUS_UNSUCCESSFUL;
  if (ctx->Dir[direction].FixedRate != 0) {
    PUCHAR list = QuenbyRateList(ctx, direction);
    list[0] = 1;
    list[1] = 0;
    PutLe32(list + 2, ctx->Dir[direction].FixedRate);  // dMIN
    PutLe32(list + 6, ctx->Dir[direction].FixedRate);  // dMAX
    PutLe32(list + 10, 0);                             // dRES
    ctx->Dir[direction].RateListBytes = 14;
    return STATUS_SUCCESS;
  }
  PUCHAR control = ControlBuffer(ctx);
  UCHAR clockId = DescriptorClockId(clockSource);
  NTSTATUS status = QuenbyGetRange(ctx, clockId, control, 14);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = (ULONG)(control[0] | (control[1] << 8));
  if (count == 0 || count > QUENBY_MAX_SUBRANGES) return STATUS_UNSUCCESSFUL;
  ULONG length = count * 12 + 2;
  status = QuenbyGetRange(ctx, clockId, control, length);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(QuenbyRateList(ctx, direction), control, length);
  ctx->Dir[direction].RateListBytes = length;
  return STATUS_SUCCESS;
}

// GET CUR of a clock selector's or multiplier's control, for ClockResolve():
// 1 byte for the selector's input, 2 for a multiplier's terms.
_IRQL_requires_max_(PASSIVE_LEVEL)
int ReadClockControl(void* context, uint8_t entity, uint8_t control, uint32_t* value) {
  WDF_DEVICE_CONTEXT* ctx = static_cast<WDF_DEVICE_CONTEXT*>(context);
  const uint8_t* e = TopologyFindClock(&ctx->Topology, entity);
  const ULONG length = ClockEntityKind(e) == ClockKindSelector ? 1 : 2;
  PUCHAR buffer = ControlBuffer(ctx);
  ULONG transferred = 0;
  NTSTATUS status = ClassRequest(ctx, BmRequestDeviceToHost, kRequestCur, (USHORT)(control << 8),
                                 ClockIndex(ctx, entity), buffer, length, &transferred);
  if (!NT_SUCCESS(status) || transferred != length) return 0;
  *value = length == 1 ? buffer[0] : (ULONG)(buffer[0] | (buffer[1] << 8));
  return 1;
}

}  // namespace

void QuenbySetFormat(AUDIO_FORMAT* format, ULONG channels, ULONG rate, ULONG bits) {
  QuenbySetFormatValid(format, channels, rate, bits, bits);
}

void QuenbySetFormatValid(AUDIO_FORMAT* format, ULONG channels, ULONG rate, ULONG bits, ULONG validBits) {
  RtlZeroMemory(format, sizeof(*format));
  format->DataFormat.FormatSize = sizeof(AUDIO_FORMAT);
  format->DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format->DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE* w = &format->WaveFormatExt;
  w->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  w->Format.nChannels = (WORD)channels;
  w->Format.nSamplesPerSec = rate;
  w->Format.wBitsPerSample = (WORD)bits;
  w->Format.nBlockAlign = (WORD)(channels * bits / 8);
  w->Format.nAvgBytesPerSec = rate * w->Format.nBlockAlign;
  w->Format.cbSize = 22;
  w->Samples.wValidBitsPerSample = (WORD)validBits;
  w->dwChannelMask = 0;
  w->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
}

_Use_decl_annotations_
PUCHAR QuenbyRateList(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  if (ctx->RateMemory == nullptr) return nullptr;
  return static_cast<PUCHAR>(WdfMemoryGetBuffer(ctx->RateMemory, nullptr)) + direction * kRateListHalf;
}

_Use_decl_annotations_
NTSTATUS QuenbyGetRange(WDF_DEVICE_CONTEXT* ctx, UCHAR clockId, PUCHAR buffer, ULONG length) {
  ULONG transferred = 0;
  NTSTATUS status = ClassRequest(ctx, BmRequestDeviceToHost, kRequestRange, kSamplingFrequencyControl,
                                 ClockIndex(ctx, clockId), buffer, length, &transferred);
  if (!NT_SUCCESS(status)) return status;
  return transferred == length ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

_Use_decl_annotations_
NTSTATUS QuenbySetSampleRate(WDF_DEVICE_CONTEXT* ctx, UCHAR clockId, ULONG rate) {
  PUCHAR control = ControlBuffer(ctx);
  PutLe32(control, rate);
  ULONG transferred = 0;
  NTSTATUS status = ClassRequest(ctx, BmRequestHostToDevice, kRequestCur, kSamplingFrequencyControl,
                                 ClockIndex(ctx, clockId), control, 4, &transferred);
  if (!NT_SUCCESS(status)) return status;
  return transferred == 4 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

_Use_decl_annotations_
NTSTATUS QuenbyGetSampleRate(WDF_DEVICE_CONTEXT* ctx, UCHAR clockId, PULONG rate) {
  PUCHAR control = ControlBuffer(ctx);
  ULONG transferred = 0;
  NTSTATUS status = ClassRequest(ctx, BmRequestDeviceToHost, kRequestCur, kSamplingFrequencyControl,
                                 ClockIndex(ctx, clockId), control, 4, &transferred);
  if (!NT_SUCCESS(status)) return status;
  if (transferred != 4) return STATUS_UNSUCCESSFUL;
  *rate =
      (ULONG)control[0] | ((ULONG)control[1] << 8) | ((ULONG)control[2] << 16) | ((ULONG)control[3] << 24);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS QuenbyClockToRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG rate) {
  const AUDIO_PATH* path =
      direction == QUENBY_DIR_CAPTURE ? &ctx->Topology.CapturePath : &ctx->Topology.RenderPath;
  const UCHAR clockId = DescriptorClockId(path->ClockSource);
  if (ctx->Dir[direction].FixedRate == 0) return QuenbySetSampleRate(ctx, clockId, rate);
  // The device stalls SET CUR of a read-only frequency: read what the
  // clock runs at (an external clock may have moved since start).
  ULONG now = 0;
  NTSTATUS status = QuenbyGetSampleRate(ctx, clockId, &now);
  ctx->Dir[direction].FixedRateFound = NT_SUCCESS(status) ? now : 0;
  if (!NT_SUCCESS(status)) return status;
  return now == rate ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

_Use_decl_annotations_
NTSTATUS QuenbyClockCheckValid(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  const AUDIO_PATH* path =
      direction == QUENBY_DIR_CAPTURE ? &ctx->Topology.CapturePath : &ctx->Topology.RenderPath;
  ctx->Dir[direction].InvalidClockId = 0;
  // A clock source that does not announce its validity readable is taken
  // as valid, as it always was.
  if (!ClockSourceValidityReadable(path->ClockSource)) return STATUS_SUCCESS;
  const UCHAR clockId = DescriptorClockId(path->ClockSource);
  PUCHAR control = ControlBuffer(ctx);
  for (ULONG i = 0; i < kValidityReads; ++i) {
    ULONG transferred = 0;
    const NTSTATUS status = ClassRequest(ctx, BmRequestDeviceToHost, kRequestCur, kClockValidControl,
                                         ClockIndex(ctx, clockId), control, 1, &transferred);
    // A unit that stalls the read it announced (or answers no byte) says
    // nothing about its clock: taken as valid, as before it was asked.
    if (!NT_SUCCESS(status) || transferred != 1) return STATUS_SUCCESS;
    if (control[0] != 0) return STATUS_SUCCESS;
  }
  ctx->Dir[direction].InvalidClockId = clockId;
  return STATUS_DEVICE_NOT_READY;
}

_Use_decl_annotations_
NTSTATUS QuenbySelectConfiguration(WDF_DEVICE_CONTEXT* ctx) {
  const USB_AUDIO_TOPOLOGY* t = &ctx->Topology;
  // On a composite device the framework's interfaces are those of the audio
  // function (its MIDI or other interfaces among them), numbered as the
  // device numbers them. Every one is selected at its setting 0; the audio
  // ones are found by their numbers.
  const UCHAR count = WdfUsbTargetDeviceGetNumInterfaces(ctx->UsbDevice);
  if (count == 0 || count > QUENBY_MAX_INTERFACES) return STATUS_UNSUCCESSFUL;
  const bool capture = TopologyHasCapture(t) != 0;
  const bool render = TopologyHasRender(t) != 0;
  const UCHAR control = DescriptorInterfaceNumber(t->ControlInterface);
  const UCHAR captureNumber = capture ? DescriptorInterfaceNumber(t->CaptureSlots[0].Interface) : 0;
  const UCHAR renderNumber = render ? DescriptorInterfaceNumber(t->RenderSlots[0].Interface) : 0;
  WDF_USB_INTERFACE_SETTING_PAIR pairs[QUENBY_MAX_INTERFACES];
  ctx->ControlInterface = ctx->Dir[QUENBY_DIR_CAPTURE].Interface = ctx->Dir[QUENBY_DIR_RENDER].Interface =
      nullptr;
  for (UCHAR i = 0; i < count; ++i) {
    WDFUSBINTERFACE usbInterface = WdfUsbTargetDeviceGetInterface(ctx->UsbDevice, i);
    if (usbInterface == nullptr) return STATUS_UNSUCCESSFUL;
    pairs[i].UsbInterface = usbInterface;
    pairs[i].SettingIndex = 0;
    const UCHAR number = WdfUsbInterfaceGetInterfaceNumber(usbInterface);
    if (number == control) ctx->ControlInterface = usbInterface;
    if (capture && number == captureNumber) ctx->Dir[QUENBY_DIR_CAPTURE].Interface = usbInterface;
    if (render && number == renderNumber) ctx->Dir[QUENBY_DIR_RENDER].Interface = usbInterface;
  }
  if (ctx->ControlInterface == nullptr || (capture && ctx->Dir[QUENBY_DIR_CAPTURE].Interface == nullptr) ||
      (render && ctx->Dir[QUENBY_DIR_RENDER].Interface == nullptr))
    return STATUS_UNSUCCESSFUL;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, count, pairs);
  NTSTATUS status = WdfUsbTargetDeviceSelectConfig(ctx->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
  if (!NT_SUCCESS(status)) return status;
  ctx->Dir[QUENBY_DIR_CAPTURE].SelectedSlot = 0;
  ctx->Dir[QUENBY_DIR_RENDER].SelectedSlot = 0;
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS QuenbyResolveClocks(WDF_DEVICE_CONTEXT* ctx) {
  USB_AUDIO_TOPOLOGY* t = &ctx->Topology;
  AUDIO_PATH* paths[2] = {TopologyHasCapture(t) ? &t->CapturePath : nullptr,
                          TopologyHasRender(t) ? &t->RenderPath : nullptr};
  ctx->ClockResult = ClockResolved;
  ctx->ClockResultId = 0;
  for (AUDIO_PATH* path : paths) {
    if (path == nullptr || path->ClockSource != nullptr) continue;
    const CLOCK_RESULT result =
        ClockResolve(t, DescriptorClockId(path->ClockEntity), ReadClockControl, ctx, &path->ClockSource);
    if (result != ClockResolved) {
      ctx->ClockResult = result;
      return STATUS_UNSUCCESSFUL;
    }
  }
  // A clock source whose rate the host cannot set streams at the rate it
  // runs at, which a setting of the direction must carry.
  for (ULONG d = QUENBY_DIR_CAPTURE; d <= QUENBY_DIR_RENDER; ++d) {
    ctx->Dir[d].FixedRate = 0;
    ctx->Dir[d].FixedRateFound = 0;
    if (paths[d] == nullptr || ClockSourceRateSettable(paths[d]->ClockSource)) continue;
    const UCHAR clockId = DescriptorClockId(paths[d]->ClockSource);
    ULONG rate = 0;
    CLOCK_RESULT result = ClockResolved;
    if (!NT_SUCCESS(QuenbyGetSampleRate(ctx, clockId, &rate)) || rate == 0) {
      result = ClockFixedRateUnread;
    } else {
      result = ClockFixedRateNotCarried;
      const AltSettingSlot* slots = Slots(ctx, d);
      for (int i = 0; i < QUENBY_MAX_SLOTS && result != ClockResolved; ++i) {
        if (SlotIsPcm(&slots[i]) && SlotCarriesRate(&slots[i], rate, ctx->HighSpeed)) result = ClockResolved;
      }
    }
    ctx->Dir[d].FixedRateFound = rate;
    if (result != ClockResolved) {
      ctx->ClockResult = result;
      ctx->ClockResultId = clockId;
      return STATUS_UNSUCCESSFUL;
    }
    ctx->Dir[d].FixedRate = rate;
  }
  ctx->SharedClock =
      paths[0] != nullptr && paths[1] != nullptr &&
      DescriptorClockId(t->CapturePath.ClockSource) == DescriptorClockId(t->RenderPath.ClockSource);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
ULONG QuenbyClockHeldRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  if (!ctx->SharedClock) return 0;
  const ULONG other = direction == QUENBY_DIR_CAPTURE ? QUENBY_DIR_RENDER : QUENBY_DIR_CAPTURE;
  const QUENBY_STREAM stream = other == QUENBY_DIR_CAPTURE ? QuenbyCapture : QuenbyRender;
  if (InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&ctx->Streams[stream].Active), 0, 0) == 0)
    return 0;
  // Also asked by the pins' format handlers, which hold no stream-control lock.
  return QuenbyStreamFormat(ctx, other).nSamplesPerSec;
}

_Use_decl_annotations_
void QuenbyPutDeviceFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction, const AUDIO_FORMAT* format) {
  WDFSPINLOCK lock = QuenbyPositionLock(ctx, direction);
  WdfSpinLockAcquire(lock);
  ctx->Dir[direction].DeviceFormat = *format;
  WdfSpinLockRelease(lock);
}

_Use_decl_annotations_
ULONG QuenbyDeviceRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  WDFSPINLOCK lock = QuenbyPositionLock(ctx, direction);
  WdfSpinLockAcquire(lock);
  const ULONG rate = ctx->Dir[direction].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec;
  WdfSpinLockRelease(lock);
  return rate;
}

BOOLEAN QuenbyCarriesRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG rate) {
  const AUDIO_FORMAT* device = &ctx->Dir[direction].DeviceFormat;
  const WAVEFORMATEX* w = &device->WaveFormatExt.Format;
  return w->nSamplesPerSec == rate || SlotFindForShape(Slots(ctx, direction), w->nChannels, w->wBitsPerSample,
                                                       QuenbyValidBits(device), rate, ctx->HighSpeed) >= 0;
}

_Use_decl_annotations_
BOOLEAN QuenbyDeviceFormatAtRate(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG rate) {
  AUDIO_FORMAT device = ctx->Dir[direction].DeviceFormat;
  WAVEFORMATEX* w = &device.WaveFormatExt.Format;
  if (w->nSamplesPerSec == rate) return TRUE;
  if (!QuenbyCarriesRate(ctx, direction, rate)) return FALSE;
  w->nSamplesPerSec = rate;
  w->nAvgBytesPerSec = rate * w->nBlockAlign;
  QuenbyPutDeviceFormat(ctx, direction, &device);
  return TRUE;
}

_Use_decl_annotations_
BOOLEAN QuenbyCaptureFollowsRender(WDF_DEVICE_CONTEXT* ctx) {
  return !ctx->SharedClock ||
         QuenbyDeviceFormatAtRate(
             ctx, QUENBY_DIR_CAPTURE,
             ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
}

_Use_decl_annotations_
STREAM_REQUEST QuenbyStreamRequest(WDF_DEVICE_CONTEXT* ctx, STREAM_ASK ask) {
  STREAM_REQUEST r = {};
  r.Ask = ask;
  r.Direct = ReadFlag(&ctx->DirectMode) != 0;
  r.Powered = ctx->PowerState == QUENBY_POWER_D0;
  r.HasCapture = TopologyHasCapture(&ctx->Topology) != 0;
  r.SharedClock = ctx->SharedClock != 0;
  for (ULONG d = QUENBY_DIR_CAPTURE; d <= QUENBY_DIR_RENDER; ++d) {
    const QUENBY_STREAM stream = d == QUENBY_DIR_CAPTURE ? QuenbyCapture : QuenbyRender;
    r.Rate[d] = ctx->Dir[d].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec;
    r.Running[d] = ReadFlag(&ctx->Streams[stream].Active) != 0;
    r.InUse[d] = ReadFlag(&ctx->Dir[d].StreamInUse) != 0;
    r.Kept[d] = ReadFlag(&ctx->Dir[d].PinAcquired) != 0;
  }
  // A capture pin asks its own rate; otherwise capture would follow render's.
  if (ask == StreamAskCapturePin)
    r.Rate[QUENBY_DIR_CAPTURE] = ctx->Dir[QUENBY_DIR_CAPTURE].PinFormat.WaveFormatExt.Format.nSamplesPerSec;
  r.CaptureCarries = QuenbyCarriesRate(
      ctx, QUENBY_DIR_CAPTURE, r.Rate[ask == StreamAskCapturePin ? QUENBY_DIR_CAPTURE : QUENBY_DIR_RENDER]);
  if (ask == StreamAskCaptureStream) r.OtherRate = QuenbyClockHeldRate(ctx, QUENBY_DIR_CAPTURE);
  if (ask == StreamAskRenderStream) r.OtherRate = QuenbyClockHeldRate(ctx, QUENBY_DIR_RENDER);
  return r;
}

NTSTATUS QuenbyRefusalStatus(ULONG refusal) {
  switch (refusal) {
    case StreamAllowed:
      return STATUS_SUCCESS;
    case StreamRefusedCaptureRate:
      return STATUS_INVALID_DEVICE_STATE;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

_Use_decl_annotations_
NTSTATUS QuenbyReadRates(WDF_DEVICE_CONTEXT* ctx) {
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  NTSTATUS status = STATUS_SUCCESS;
  if (ctx->RateMemory == nullptr) {
    status = WdfMemoryCreate(&attributes, NonPagedPool, QUENBY_MEMORY_TAG, 2 * kRateListHalf,
                             &ctx->RateMemory, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  const USB_AUDIO_TOPOLOGY* t = &ctx->Topology;
  if (TopologyHasCapture(t)) {
    status = ReadRateList(ctx, QUENBY_DIR_CAPTURE, t->CapturePath.ClockSource);
    if (!NT_SUCCESS(status)) return status;
  }
  return TopologyHasRender(t) ? ReadRateList(ctx, QUENBY_DIR_RENDER, t->RenderPath.ClockSource) : status;
}

_Use_decl_annotations_
void QuenbyComputeLimits(WDF_DEVICE_CONTEXT* ctx) {
  if (TopologyHasCapture(&ctx->Topology)) {
    ComputeLimits(ctx->Topology.CaptureSlots, QuenbyRateList(ctx, QUENBY_DIR_CAPTURE),
                  ctx->Dir[QUENBY_DIR_CAPTURE].RateListBytes, &ctx->Dir[QUENBY_DIR_CAPTURE].Limits);
  }
  if (TopologyHasRender(&ctx->Topology)) {
    ComputeLimits(ctx->Topology.RenderSlots, QuenbyRateList(ctx, QUENBY_DIR_RENDER),
                  ctx->Dir[QUENBY_DIR_RENDER].RateListBytes, &ctx->Dir[QUENBY_DIR_RENDER].Limits);
  }
}

_Use_decl_annotations_
void QuenbySetDefaultFormats(WDF_DEVICE_CONTEXT* ctx) {
  for (ULONG d = QUENBY_DIR_CAPTURE; d <= QUENBY_DIR_RENDER; ++d) {
    if (d == QUENBY_DIR_CAPTURE ? !TopologyHasCapture(&ctx->Topology) : !TopologyHasRender(&ctx->Topology))
      continue;
    const DIRECTION_LIMITS* l = &ctx->Dir[d].Limits;
    uint32_t channels = l->MinChannels;
    uint32_t bits = l->MinBits;
    const AltSettingSlot* slots =
        d == QUENBY_DIR_CAPTURE ? ctx->Topology.CaptureSlots : ctx->Topology.RenderSlots;
    const int slot = SlotDefaultFormat(slots, l->MinChannels, l->MinBits, &channels, &bits);
    const uint32_t container =
        slot >= 0 && SlotContainerBits(&slots[slot]) != 0 ? SlotContainerBits(&slots[slot]) : bits;
    AUDIO_FORMAT format;
    QuenbySetFormatValid(&format, channels, l->MinRate, container, bits);
    QuenbyPutDeviceFormat(ctx, d, &format);
    ctx->Dir[d].StreamFormat = format;
  }
}

_Use_decl_annotations_
NTSTATUS QuenbySelectAltSetting(WDF_DEVICE_CONTEXT* ctx, WDFUSBINTERFACE usbInterface, UCHAR setting) {
  if (InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&ctx->SurpriseRemoved), 0, 0) != 0) {
    return STATUS_UNSUCCESSFUL;
  }
  if (usbInterface == nullptr) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG attempt = 0; attempt < kSelectAttempts; ++attempt) {
    status = SelectOnce(usbInterface, setting);
    if (NT_SUCCESS(status)) return status;
    if (setting != 0) SelectOnce(usbInterface, 0);
    LARGE_INTEGER wait;
    wait.QuadPart = -1000;  // 100 us
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
  }
  return status;
}

ULONG QuenbyValidBits(const AUDIO_FORMAT* format) {
  const WAVEFORMATEXTENSIBLE* w = &format->WaveFormatExt;
  if (w->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && w->Samples.wValidBitsPerSample != 0)
    return w->Samples.wValidBitsPerSample;
  return w->Format.wBitsPerSample;
}

_Use_decl_annotations_
NTSTATUS QuenbySetDeviceFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG channels, ULONG rate,
                               ULONG bits) {
  // The caller's samples are `bits` wide on the bus: a setting with that
  // container gives the valid bits (24 in a 4-byte subslot for bits 32).
  // No setting of that container: the format stays as asked and the stream
  // start refuses it; a narrower caller is never fed wider frames.
  const AltSettingSlot* slots = Slots(ctx, direction);
  ULONG valid = bits;
  const int slot = SlotFindForShape(slots, channels, bits, 0, rate, ctx->HighSpeed);
  if (slot >= 0) valid = SlotBits(&slots[slot]);
  AUDIO_FORMAT format;
  QuenbySetFormatValid(&format, channels, rate, bits, valid);
  QuenbyPutDeviceFormat(ctx, direction, &format);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS QuenbySelectSlotForFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  const AUDIO_FORMAT* device = &ctx->Dir[direction].DeviceFormat;
  const WAVEFORMATEX* format = &device->WaveFormatExt.Format;
  const AltSettingSlot* slots = Slots(ctx, direction);
  // A slot with the format's shape whose packets can carry its rate.
  int slot = SlotFindForShape(slots, format->nChannels, format->wBitsPerSample, QuenbyValidBits(device),
                              format->nSamplesPerSec, ctx->HighSpeed);
  if (slot < 0) return STATUS_UNSUCCESSFUL;
  WDFUSBINTERFACE usbInterface = direction == QUENBY_DIR_CAPTURE ? ctx->Dir[QUENBY_DIR_CAPTURE].Interface
                                                                 : ctx->Dir[QUENBY_DIR_RENDER].Interface;
  // The framework selects by the setting's index among the interface's
  // settings, which is the slot's; bAlternateSetting may have gaps.
  NTSTATUS status = QuenbySelectAltSetting(ctx, usbInterface, (UCHAR)slot);
  if (!NT_SUCCESS(status)) return status;
  ctx->Dir[direction].SelectedSlot = slot;
  return STATUS_SUCCESS;
}
