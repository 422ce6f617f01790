// Framework stand-in: requests, the I/O targets of USB pipes, and the path
// of an isochronous URB from WdfRequestSend to the simulated bus and back to
// the driver's completion routine.
//
// What the USB stack rejects at once (a start frame that has begun or passed,
// a malformed URB, a device that is gone) completes inside WdfRequestSend,
// which then returns TRUE, as on Windows. Transfers the bus accepted complete
// on the bus's frame-timer thread; cancelled ones on the thread that stops the
// target or aborts the pipe; those of an unplugged device on the thread that
// unplugs it. Completion routines run at DISPATCH_LEVEL.
#include <wdf.h>

#include <algorithm>
#include <cstring>

#include "internal.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "wdf_usb_internal.h"

namespace verifier = korvel::sim::verifier;
namespace usb = korvel::sim::usb;
using korvel::sim::Clock;

namespace korvel::sim::wdf {

namespace {

WDFREQUEST handle_of(RequestObj* r) {
  return reinterpret_cast<WDFREQUEST>(static_cast<Object*>(r));
}
WDFIOTARGET handle_of(UsbPipeObj* p) {
  return reinterpret_cast<WDFIOTARGET>(static_cast<Object*>(p));
}

// Source: "USBD_ISO_PACKET_DESCRIPTOR structure (usb.h)" for the per-packet USBD_STATUS codes
// (usb.h); which code stands for which bus outcome is our own choice.
USBD_STATUS packet_status(usb::IsoPacketStatus s, bool ended_early) {
  switch (s) {
    case usb::IsoPacketStatus::Ok:
      return USBD_STATUS_SUCCESS;
    case usb::IsoPacketStatus::TooLong:
      return USBD_STATUS_ISO_TD_ERROR;
    case usb::IsoPacketStatus::Overrun:
      return USBD_STATUS_BABBLE_DETECTED;
    case usb::IsoPacketStatus::Late:
      break;
  }
  return ended_early ? USBD_STATUS_ISO_NOT_ACCESSED_BY_HW : USBD_STATUS_ISO_NOT_ACCESSED_LATE;
}

// Ends a pending request: URB and request status, then the completion
// routine at DISPATCH_LEVEL. `packets_valid`: the bus's packet results are
// copied into the URB.
void finish(RequestObj* r, NTSTATUS status, USBD_STATUS usbd, bool packets_valid, bool ended_early) {
  PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = r->completion;
  WDFCONTEXT context = r->completion_context;
  UsbPipeObj* p = r->sent_to;
  if (r->urb != nullptr) {
    _URB_ISOCH_TRANSFER& iso = r->urb->UrbIsochronousTransfer;
    iso.Hdr.Status = usbd;
    if (packets_valid) {
      const bool in = (r->transfer.endpoint & 0x80) != 0;
      ULONG errors = 0;
      for (uint32_t k = 0; k < r->transfer.packet_count; ++k) {
        const usb::IsoPacket& b = r->packets[k];
        USBD_STATUS s = packet_status(b.status, ended_early);
        iso.IsoPacket[k].Status = s;
        if (in) iso.IsoPacket[k].Length = b.status == usb::IsoPacketStatus::Ok ? b.length : 0;
        if (USBD_ERROR(s)) ++errors;
      }
      iso.ErrorCount = errors;
      // Source: usb.h: USBD_STATUS_ISOCH_REQUEST_FAILED, every packet of the transfer failed.
      if (!ended_early && errors == r->transfer.packet_count) {
        iso.Hdr.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
        usbd = USBD_STATUS_ISOCH_REQUEST_FAILED;
        status = STATUS_UNSUCCESSFUL;
      }
    }
  }
  r->status = status;
  std::memset(&r->params, 0, sizeof(r->params));
  std::memset(&r->usb_params, 0, sizeof(r->usb_params));
  r->params.Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
  r->params.Type = WdfRequestTypeUsb;
  r->params.IoStatus.Status = status;
  r->params.IoStatus.Information = 0;
  r->params.Parameters.Usb.Completion = &r->usb_params;
  r->usb_params.UsbdStatus = usbd;
  r->usb_params.Type = WdfUsbRequestTypePipeUrb;
  r->usb_params.Parameters.PipeUrb.Buffer = r->urb_memory;
  if (p != nullptr) {
    std::lock_guard<std::mutex> g(p->io_m);
    auto it = std::find(p->sent.begin(), p->sent.end(), r);
    if (it != p->sent.end()) p->sent.erase(it);
    it = std::find(p->held.begin(), p->held.end(), r);
    if (it != p->held.end()) p->held.erase(it);
  }
  r->sent_to = nullptr;
  // Source: "WdfRequestReuse function (wdfrequest.h)": a completed request is reused before it is
  // formatted again.
  r->completed = true;  // formatted or sent again only after WdfRequestReuse
  if (!r->pending.exchange(false)) {
    verifier::fail("a WDF request completed twice");
    return;
  }
  KIRQL old = KeGetCurrentIrql();
  // Source: "EVT_WDF_REQUEST_COMPLETION_ROUTINE callback function (wdfrequest.h)": IRQL <=
  // DISPATCH_LEVEL; always DISPATCH_LEVEL here is our own choice, the harder case.
  const bool raise = old < DISPATCH_LEVEL;
  if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
  if (routine != nullptr) routine(handle_of(r), p != nullptr ? handle_of(p) : nullptr, &r->params, context);
  if (raise) KeLowerIrql(old);
  if (p != nullptr && p->outstanding.fetch_sub(1) == 1) Clock::instance().signal([] {});
}

// Completes a request the USB stack refuses before it reaches the bus.
void refuse(RequestObj* r, NTSTATUS status, USBD_STATUS usbd) {
  finish(r, status, usbd, false, false);
}

// Hands a formatted request to the bus (the target is started). Whatever
// the stack refuses completes here.
void submit(RequestObj* r, UsbPipeObj* p) {
  r->sent_to = p;
  p->outstanding.fetch_add(1);
  usb::Device* device = bus_device_of(p);
  // Source: usb.h: USBD_STATUS_DEVICE_GONE; the NTSTATUS beside it is our own choice.
  if (!device->connected()) return refuse(r, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  PURB urb = r->urb;
  if (urb == nullptr || r->urb_room < sizeof(_URB_HEADER)) {
    return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  // Source: "_URB_ISOCH_TRANSFER structure (usb.h)": Hdr.Function is URB_FUNCTION_ISOCH_TRANSFER
  // and Hdr.Length the size of the variable-length URB; the 1024-packet limit and the statuses of
  // refusals are our own choice.
  if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
    return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  }
  _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  if (r->urb_room < offsetof(_URB_ISOCH_TRANSFER, IsoPacket)) {
    return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  const ULONG n = iso.NumberOfPackets;
  // The packet descriptors must lie inside the URB's memory and its stated length.
  if (n == 0 || n > 1024 || r->urb_room < GET_ISO_URB_SIZE(n) || iso.Hdr.Length < GET_ISO_URB_SIZE(n)) {
    return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  // Source: usb.h: USBD_STATUS_INVALID_PIPE_HANDLE.
  if (iso.PipeHandle != static_cast<USBD_PIPE_HANDLE>(p) || r->pipe != p) {
    return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  // Source: "_URB_ISOCH_TRANSFER structure (usb.h)": TransferBuffer is NULL when TransferBufferMDL
  // is given.
  // The data: the MDL when there is one, else the buffer.
  PUCHAR data = nullptr;
  ULONG room = 0;
  if (iso.TransferBufferMDL != nullptr) {
    data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(iso.TransferBufferMDL, NormalPagePriority));
    room = MmGetMdlByteCount(iso.TransferBufferMDL);
  } else {
    data = static_cast<PUCHAR>(iso.TransferBuffer);
    room = iso.TransferBufferLength;
  }
  const ULONG length = iso.TransferBufferLength;
  if (data == nullptr || length > room) {
    return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  // Source: "USBD_ISO_PACKET_DESCRIPTOR structure (usb.h)": Offset in, Length out (IN transfers).
  // Packet k occupies [Offset[k], Offset[k+1]); the last one runs to the
  // transfer length. IsoPacket.Length is an output only.
  if (r->packets.size() < n) r->packets.resize(n);
  for (ULONG k = 0; k < n; ++k) {
    ULONG begin = iso.IsoPacket[k].Offset;
    ULONG end = k + 1 < n ? iso.IsoPacket[k + 1].Offset : length;
    if (begin > end || end > length) {
      return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    r->packets[k].offset = begin;
    r->packets[k].length = end - begin;
    r->packets[k].status = usb::IsoPacketStatus::Late;
  }
  iso.ErrorCount = 0;
  uint32_t start = iso.StartFrame;
  // Source: "_URB_ISOCH_TRANSFER structure (usb.h)": USBD_START_ISO_TRANSFER_ASAP starts at the
  // next frame, or after the transfers already queued on the pipe.
  if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    std::lock_guard<std::mutex> g(p->io_m);
    uint32_t now = device->frame_number() + 1;
    start = p->asap_set && int32_t(p->asap_frame - now) > 0 ? p->asap_frame : now;
    iso.StartFrame = start;
  }
  r->transfer.request = r;
  r->transfer.endpoint = p->info.EndpointAddress;
  r->transfer.start_frame = start;
  r->transfer.buffer = data;
  r->transfer.packets = r->packets.data();
  r->transfer.packet_count = n;
  {
    std::lock_guard<std::mutex> g(p->io_m);
    p->sent.push_back(r);
  }
  usb::IsoSubmit s = device->submit_iso(&r->transfer);
  switch (s) {
    case usb::IsoSubmit::Queued: {
      std::lock_guard<std::mutex> g(p->io_m);
      // Source: USB 2.0, 9.6.6: bInterval of an isochronous endpoint is
      // 2^(bInterval-1) (micro)frames.
      const uint32_t period = 1u << (std::min<UCHAR>(std::max<UCHAR>(p->info.Interval, 1), 16) - 1);
      const uint32_t per_frame = device->speed() == usb::Speed::High ? 8 : 1;
      const uint32_t frames = (n * period + per_frame - 1) / per_frame;
      p->asap_frame = start + frames;
      p->asap_set = true;
      return;
    }
    case usb::IsoSubmit::NoDevice:
      return refuse(r, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    case usb::IsoSubmit::BadEndpoint:
      return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    case usb::IsoSubmit::BadPacketCount:
      return refuse(r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    // Source: usb.h: USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, USBD_STATUS_BAD_START_FRAME,
    // USBD_STATUS_ISO_NOT_ACCESSED_LATE.
    case usb::IsoSubmit::Refused:
      for (ULONG k = 0; k < n; ++k) iso.IsoPacket[k].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
      iso.ErrorCount = n;
      return refuse(r, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED);
    case usb::IsoSubmit::BadStartFrame:
      for (ULONG k = 0; k < n; ++k) iso.IsoPacket[k].Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
      iso.ErrorCount = n;
      return refuse(r, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME);
  }
}

// Source: the IRQL line of each method's reference page (e.g. "WdfIoTargetStop function
// (wdfiotarget.h)").
void check_passive(const char* api) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail(std::string(api) + " above PASSIVE_LEVEL");
}

void check_dispatch(const char* api) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail(std::string(api) + " above DISPATCH_LEVEL");
}

// Source: "WdfIoTargetStart function (wdfiotarget.h)": the driver calls the two synchronously.
// WdfIoTargetStart and WdfIoTargetStop of one target are not to overlap.
class TargetStateChange {
 public:
  TargetStateChange(UsbPipeObj* p, const char* api) : p_(p) {
    if (p_->state_changes.fetch_add(1) != 0) {
      verifier::fail(std::string(api) + " while another start or stop of the target is under way");
    }
  }
  ~TargetStateChange() { p_->state_changes.fetch_sub(1); }
  TargetStateChange(const TargetStateChange&) = delete;
  TargetStateChange& operator=(const TargetStateChange&) = delete;

 private:
  UsbPipeObj* p_;
};

}  // namespace

void RequestObj::Transfer::iso_complete(usb::IsoOutcome outcome) {
  switch (outcome) {
    case usb::IsoOutcome::Completed:
      finish(request, STATUS_SUCCESS, USBD_STATUS_SUCCESS, true, false);
      break;
    case usb::IsoOutcome::Cancelled:
      finish(request, STATUS_CANCELLED, USBD_STATUS_CANCELED, true, true);
      break;
    case usb::IsoOutcome::DeviceGone:
      finish(request, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, true, true);
      break;
  }
}

RequestObj::~RequestObj() {
  if (pending.load()) {
    // Our own choice: deleting a pending request is reported, then its transfer is cancelled.
    verifier::fail("a WDF request deleted while it is pending");
    UsbPipeObj* p = sent_to;
    if (p != nullptr && !bus_device_of(p)->cancel_iso(&transfer)) {
      std::lock_guard<std::mutex> g(p->io_m);
      auto it = std::find(p->held.begin(), p->held.end(), this);
      if (it != p->held.end()) p->held.erase(it);
    }
  }
}

void cancel_sent_io(UsbPipeObj* p) {
  std::vector<RequestObj*> sent;
  {
    std::lock_guard<std::mutex> g(p->io_m);
    sent = p->sent;
  }
  usb::Device* device = bus_device_of(p);
  for (RequestObj* r : sent) device->cancel_iso(&r->transfer);
  wait_sent_io(p);
}

void wait_sent_io(UsbPipeObj* p) {
  // Requests the bus is completing right now finish on its thread.
  Clock::instance().wait([p] { return p->outstanding.load() == 0; }, Clock::kForever);
}

UsbPipeObj::~UsbPipeObj() {
  // Our own choice: what the framework does with a deleted pipe's I/O is not documented; held
  // requests are cancelled.
  // The framework purges a pipe's I/O before it deletes the pipe.
  std::vector<RequestObj*> held_now;
  {
    std::lock_guard<std::mutex> g(io_m);
    held_now.swap(held);
  }
  for (RequestObj* r : held_now) {
    r->sent_to = nullptr;
    finish(r, STATUS_CANCELLED, USBD_STATUS_CANCELED, false, true);
  }
  cancel_sent_io(this);
}

}  // namespace korvel::sim::wdf

using namespace korvel::sim::wdf;

extern "C" {

// ---- I/O targets, requests, USB pipes and URBs ----

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request) {
  *Request = nullptr;
  // Source: wdfrequest.h: WdfRequestCreate; only USB pipe targets exist here (our own choice).
  if (IoTarget != nullptr && lookup(IoTarget, Kind::UsbPipe, "WdfRequestCreate") == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* r = new RequestObj();
  r->created_target = IoTarget;
  NTSTATUS s = attach(r, RequestAttributes, driver_object());
  if (!NT_SUCCESS(s)) {
    discard(r);
    return s;
  }
  *Request = reinterpret_cast<WDFREQUEST>(static_cast<korvel::sim::wdf::Object*>(r));
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
  // Source: "WdfRequestReuse function (wdfrequest.h)": a request is reused after it completed;
  // SET_NEW_IRP is for requests from WdfRequestCreateFromIrp (refused here: our own choice, none
  // exist).
  check_dispatch("WdfRequestReuse");
  RequestObj* r = as<RequestObj>(Request, Kind::Request, "WdfRequestReuse");
  if (r == nullptr || ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (r->pending.load()) {
    verifier::fail("WdfRequestReuse of a request that is still pending");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (ReuseParams->Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) return STATUS_NOT_SUPPORTED;
  r->status = ReuseParams->Status;
  r->completed = false;
  r->completion = nullptr;
  r->completion_context = nullptr;
  r->pipe = nullptr;
  r->urb = nullptr;
  r->urb_memory = nullptr;
  r->urb_room = 0;
  return STATUS_SUCCESS;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
  RequestObj* r = as<RequestObj>(Request, Kind::Request, "WdfRequestSetCompletionRoutine");
  if (r == nullptr) return;
  r->completion = CompletionRoutine;
  r->completion_context = CompletionContext;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
  RequestObj* r = as<RequestObj>(Request, Kind::Request, "WdfRequestSend");
  if (r == nullptr) return FALSE;
  // Source: "WdfRequestSend function (wdfrequest.h)": IRQL <= DISPATCH_LEVEL, PASSIVE_LEVEL when
  // synchronous; FALSE plus a failing WdfRequestGetStatus when the request was not sent.
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail("WdfRequestSend above DISPATCH_LEVEL");
  UsbPipeObj* p = as<UsbPipeObj>(Target, Kind::UsbPipe, "WdfRequestSend");
  if (p == nullptr) {
    r->status = STATUS_INVALID_PARAMETER;
    return FALSE;
  }
  if (Options != nullptr && Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
    r->status = STATUS_INFO_LENGTH_MISMATCH;
    return FALSE;
  }
  const ULONG flags = Options != nullptr ? Options->Flags : 0;
  // Source: "WDF_REQUEST_SEND_OPTIONS_FLAGS enumeration (wdfrequest.h)": send-and-forget is for
  // requests from an I/O queue.
  if (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) {
    r->status = STATUS_INVALID_PARAMETER;  // only for requests of an I/O queue
    return FALSE;
  }
  // Our own choice: sending a pending, unreused or unformatted request is reported (a bug check on
  // Windows).
  if (r->pending.exchange(true)) {
    verifier::fail("WdfRequestSend of a request that is already pending");
    return FALSE;
  }
  if (r->completed) {
    r->pending = false;
    verifier::fail("WdfRequestSend of a completed request that was not reused (WdfRequestReuse)");
    r->status = STATUS_INVALID_DEVICE_REQUEST;
    return FALSE;
  }
  if (r->pipe == nullptr || r->pipe != p) {
    r->pending = false;
    verifier::fail(r->pipe == nullptr
                       ? "WdfRequestSend of a request that was not formatted for the target"
                       : "WdfRequestSend to another target than the request was formatted for");
    r->status = STATUS_INVALID_DEVICE_REQUEST;
    return FALSE;
  }
  r->status = STATUS_PENDING;
  bool hold = false;
  {
    std::lock_guard<std::mutex> g(p->io_m);
    if (!p->started && !(flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE)) {
      // Source: "WDF_REQUEST_SEND_OPTIONS_FLAGS enumeration (wdfrequest.h)":
      // WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE.
      // A stopped target keeps the request until it is started again.
      p->held.push_back(r);
      r->sent_to = p;
      hold = true;
    }
  }
  if (!hold) submit(r, p);
  if (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("synchronous WdfRequestSend above PASSIVE_LEVEL");
    uint64_t deadline = Clock::kForever;
    if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && Options->Timeout != 0) {
      LARGE_INTEGER t;
      t.QuadPart = Options->Timeout;
      deadline = korvel::sim::kernel::deadline_from_timeout(&t);
    }
    if (!Clock::instance().wait([r] { return !r->pending.load(); }, deadline)) {
      // Source: "WdfRequestSend function (wdfrequest.h)": a synchronous request that times out is
      // cancelled; the status is our own choice.
      if (bus_device_of(p)->cancel_iso(&r->transfer)) r->status = STATUS_IO_TIMEOUT;
      Clock::instance().wait([r] { return !r->pending.load(); }, Clock::kForever);
    }
  }
  return TRUE;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
  RequestObj* r = as<RequestObj>(Request, Kind::Request, "WdfRequestGetStatus");
  return r == nullptr ? STATUS_INVALID_PARAMETER : r->status.load();
}

NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE PIPE, WDFREQUEST Request, WDFMEMORY UrbMemory,
                                             PWDFMEMORY_OFFSET UrbMemoryOffset) {
  auto* p = as<UsbPipeObj>(PIPE, Kind::UsbPipe, "WdfUsbTargetPipeFormatRequestForUrb");
  auto* r = as<RequestObj>(Request, Kind::Request, "WdfUsbTargetPipeFormatRequestForUrb");
  if (p == nullptr || r == nullptr ||
      lookup(UrbMemory, Kind::Memory, "WdfUsbTargetPipeFormatRequestForUrb") == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  check_dispatch("WdfUsbTargetPipeFormatRequestForUrb");
  // Our own choice: formatting a pending request or an unreused completed one is reported.
  if (r->pending.load()) {
    verifier::fail("WdfUsbTargetPipeFormatRequestForUrb of a request that is pending");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (r->completed) {
    verifier::fail("WdfUsbTargetPipeFormatRequestForUrb of a completed request that was not reused");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  size_t size = 0;
  PUCHAR buffer = static_cast<PUCHAR>(WdfMemoryGetBuffer(UrbMemory, &size));
  size_t offset = 0;
  if (UrbMemoryOffset != nullptr) {
    offset = UrbMemoryOffset->BufferOffset;
    // Source: wdfmemory.h: WDFMEMORY_OFFSET (BufferOffset, BufferLength 0 = to the end); our own
    // choice: an offset range past the memory is refused.
    if (offset > size) return STATUS_INVALID_PARAMETER;
    if (UrbMemoryOffset->BufferLength != 0) {
      if (UrbMemoryOffset->BufferLength > size - offset) return STATUS_INVALID_PARAMETER;
      size = offset + UrbMemoryOffset->BufferLength;
    }
  }
  if (size - offset < sizeof(_URB_HEADER)) return STATUS_INVALID_PARAMETER;
  r->pipe = p;
  r->urb_memory = UrbMemory;
  r->urb = reinterpret_cast<PURB>(buffer + offset);
  r->urb_room = size - offset;
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
  // Source: "WdfUsbTargetPipeAbortSynchronously function (wdfusb.h)": PASSIVE_LEVEL;
  // STATUS_INFO_LENGTH_MISMATCH for a wrong WDF_REQUEST_SEND_OPTIONS size.
  check_passive("WdfUsbTargetPipeAbortSynchronously");
  auto* p = as<UsbPipeObj>(Pipe, Kind::UsbPipe, "WdfUsbTargetPipeAbortSynchronously");
  if (p == nullptr) return STATUS_INVALID_PARAMETER;
  if (Request != nullptr && lookup(Request, Kind::Request, "WdfUsbTargetPipeAbortSynchronously") == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (RequestOptions != nullptr && RequestOptions->Size != sizeof(WDF_REQUEST_SEND_OPTIONS))
    return STATUS_INFO_LENGTH_MISMATCH;
  // The abort is a request to the pipe's target like any other ("Controlling
  // a General I/O Target's State"): a stopped target keeps it in its queue
  // until WdfIoTargetStart unless WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE
  // is set, and the synchronous call waits out its timeout meanwhile.
  const ULONG flags = RequestOptions != nullptr ? RequestOptions->Flags : 0;
  if ((flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) == 0) {
    auto started = [p] {
      std::lock_guard<std::mutex> g(p->io_m);
      return p->started;
    };
    if (!started()) {
      if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) == 0 || RequestOptions->Timeout == 0) {
        verifier::fail(
            "WdfUsbTargetPipeAbortSynchronously on a stopped target without a timeout or "
            "WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE waits until the target is started again");
        return STATUS_INVALID_DEVICE_STATE;
      }
      LARGE_INTEGER t;
      t.QuadPart = RequestOptions->Timeout;
      if (!Clock::instance().wait(started, korvel::sim::kernel::deadline_from_timeout(&t)))
        return STATUS_IO_TIMEOUT;
    }
  }
  // Our own choice: an abort to a device that is gone fails with STATUS_NO_SUCH_DEVICE.
  if (!bus_device_of(p)->connected()) return STATUS_NO_SUCH_DEVICE;
  // URB_FUNCTION_ABORT_PIPE: the host controller gives back every transfer of the endpoint.
  cancel_sent_io(p);
  return STATUS_SUCCESS;
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
  // Source: "WdfIoTargetStart function (wdfiotarget.h)": IRQL <= DISPATCH_LEVEL; queued requests go
  // out on the start.
  check_dispatch("WdfIoTargetStart");
  auto* p = as<UsbPipeObj>(IoTarget, Kind::UsbPipe, "WdfIoTargetStart");
  if (p == nullptr) return STATUS_INVALID_PARAMETER;
  TargetStateChange change(p, "WdfIoTargetStart");
  std::vector<RequestObj*> release;
  {
    std::lock_guard<std::mutex> g(p->io_m);
    p->started = true;
    release.swap(p->held);
  }
  Clock::instance().signal([] {});  // a synchronous request waiting for the start goes on
  for (RequestObj* r : release) submit(r, p);
  return STATUS_SUCCESS;
}

void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
  // Source: "WdfIoTargetStop function (wdfiotarget.h)".
  // Leaving sent I/O pending does not wait: DISPATCH_LEVEL will do for it.
  if (Action == WdfIoTargetLeaveSentIoPending) {
    check_dispatch("WdfIoTargetStop");
  } else {
    check_passive("WdfIoTargetStop");
  }
  auto* p = as<UsbPipeObj>(IoTarget, Kind::UsbPipe, "WdfIoTargetStop");
  if (p == nullptr) return;
  TargetStateChange change(p, "WdfIoTargetStop");
  {
    std::lock_guard<std::mutex> g(p->io_m);
    p->started = false;
  }
  switch (Action) {
    case WdfIoTargetCancelSentIo:
      cancel_sent_io(p);
      break;
    case WdfIoTargetWaitForSentIoToComplete:
      wait_sent_io(p);
      break;
    case WdfIoTargetLeaveSentIoPending:
      break;
    default:
      // Our own choice: an action outside the enumeration is reported.
      verifier::fail("WdfIoTargetStop with an invalid action");
      break;
  }
}

}  // extern "C"
