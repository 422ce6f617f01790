// The framework stand-in's USB target objects (device, interfaces, pipes),
// the pipes' I/O target state and the request object that carries a URB to
// the simulated bus.
#ifndef KORVEL_SIM_KERNEL_WDF_USB_INTERNAL_H
#define KORVEL_SIM_KERNEL_WDF_USB_INTERNAL_H

#include <wdf.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "usb/composite.h"
#include "usb/device.h"
#include "wdf_internal.h"

namespace korvel::sim::wdf {

struct UsbInterfaceObj;
struct RequestObj;

// A pipe is its own I/O target.
// Source: wdfusb.h: WdfUsbTargetPipeGetIoTarget, the pipe as an I/O target; that a pipe starts
// started is our own choice.
struct UsbPipeObj : Object {
  UsbPipeObj() : Object(Kind::UsbPipe) {}
  ~UsbPipeObj() override;
  UsbInterfaceObj* owner = nullptr;
  WDF_USB_PIPE_INFORMATION info{};

  std::mutex io_m;                    // guards the fields below
  bool started = true;                // pipes start in the started state
  std::vector<RequestObj*> sent;      // at the bus
  std::vector<RequestObj*> held;      // sent while the target was stopped
  std::atomic<int> outstanding{0};    // sent and not yet through their completion routine
  uint32_t asap_frame = 0;            // next frame of a transfer sent "as soon as possible"
  bool asap_set = false;              // asap_frame holds one (any value is a frame number)
  std::atomic<int> state_changes{0};  // WdfIoTargetStart/Stop calls under way
};

struct UsbInterfaceObj : Object {
  UsbInterfaceObj() : Object(Kind::UsbInterface) {}
  UCHAR number = 0;
  std::vector<size_t> settings;  // offsets of the interface descriptors in the configuration
  UCHAR configured_index = 0;
  std::vector<UsbPipeObj*> pipes;
};

struct UsbDeviceObj : Object {
  UsbDeviceObj() : Object(Kind::UsbDevice) {}
  usb::Device* device = nullptr;
  ULONG contract = 0;
  // The function of a composite device the driver's device is (the
  // generic parent driver's child), or null: the whole device.
  const usb::InterfaceCollection* function = nullptr;
  // Source: "How to select a configuration for a USB device" (the partial descriptor of a composite
  // function).
  std::vector<UCHAR> config;  // as the driver sees it: the function's partial descriptor
  std::vector<UsbInterfaceObj*> interfaces;
  bool configured = false;
};

inline UsbDeviceObj* owner_of(UsbInterfaceObj* itf) {
  return static_cast<UsbDeviceObj*>(itf->parent);
}
inline usb::Device* bus_device_of(UsbPipeObj* p) {
  return owner_of(p->owner)->device;
}

struct RequestObj : Object {
  RequestObj() : Object(Kind::Request) {}
  ~RequestObj() override;

  struct Transfer : usb::IsoTransfer {
    RequestObj* request = nullptr;
    void iso_complete(usb::IsoOutcome outcome) override;
  };

  WDFIOTARGET created_target = nullptr;
  PFN_WDF_REQUEST_COMPLETION_ROUTINE completion = nullptr;
  WDFCONTEXT completion_context = nullptr;
  std::atomic<NTSTATUS> status{STATUS_SUCCESS};
  std::atomic<bool> pending{false};
  // Completed since it was created or last reused: the next format or send
  // needs WdfRequestReuse first.
  std::atomic<bool> completed{false};

  // Set by WdfUsbTargetPipeFormatRequestForUrb.
  UsbPipeObj* pipe = nullptr;
  WDFMEMORY urb_memory = nullptr;
  PURB urb = nullptr;
  size_t urb_room = 0;  // bytes of the memory from the URB on

  UsbPipeObj* sent_to = nullptr;  // while pending
  Transfer transfer;
  std::vector<usb::IsoPacket> packets;  // grows to the largest packet count once
  WDF_REQUEST_COMPLETION_PARAMS params{};
  WDF_USB_REQUEST_COMPLETION_PARAMS usb_params{};
};

// Completes every request sent to the pipe with STATUS_CANCELLED and waits
// until their completion routines have returned (WdfIoTargetCancelSentIo).
void cancel_sent_io(UsbPipeObj* p);
// Waits until every request sent to the pipe has completed.
void wait_sent_io(UsbPipeObj* p);

}  // namespace korvel::sim::wdf

#endif
