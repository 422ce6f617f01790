// The client side of the kernel-streaming stand-in: what the Windows audio
// engine does through handles and IOCTL_KS_* requests on Windows, as plain
// calls for a client in the same process. Filters and pins are created on a
// filter factory the driver published; frames are queued on a pin and come
// back completed, in order; the pins' process dispatch runs on a worker of
// the pin (a simulated thread), as AVStream's work items do.
// Calls in place of handles and IOCTLs are our own choice; the rules of each
// call are sourced in ks.cpp and ks_pin.cpp.
#ifndef KORVEL_SIM_KERNEL_KS_HOST_H
#define KORVEL_SIM_KERNEL_KS_HOST_H

#include <ks.h>

#include <cstdint>
#include <vector>

namespace korvel::sim::kernel {

// The major functions that KS's object dispatch serves for the file objects
// it creates (KsSetMajorFunctionHandler's list, IRP_MJ_CREATE aside, which
// KS serves by name for the device). Source: ks.h: KsSetMajorFunctionHandler.
constexpr UCHAR kKsObjectMajors[] = {IRP_MJ_CLOSE,       IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ,
                                     IRP_MJ_WRITE,       IRP_MJ_FLUSH_BUFFERS,  IRP_MJ_QUERY_SECURITY,
                                     IRP_MJ_SET_SECURITY};

}  // namespace korvel::sim::kernel

namespace korvel::sim::kernel::ks {

// Kernel-streaming devices that exist now (added and not yet removed).
std::vector<PKSDEVICE> devices();
// Filter descriptors of the factories a device published, in order.
std::vector<const KSFILTER_DESCRIPTOR*> factory_descriptors(PKSDEVICE device);

// A filter instance on the device's factory `index`; null with *status when refused.
PKSFILTER filter_create(PKSDEVICE device, size_t index, NTSTATUS* status);
// Closes the filter; its pins must be closed first.
void filter_close(PKSFILTER filter);

// KSPROPERTY requests (KSPROPERTY or KSP_PIN first in `request`). `flags`
// of the request select get, set or basic support. *bytes gets the
// IoStatus.Information of the request.
NTSTATUS filter_property(PKSFILTER filter, void* request, ULONG request_length, void* data, ULONG data_length,
                         ULONG* bytes);
NTSTATUS pin_property(PKSPIN pin, void* request, ULONG request_length, void* data, ULONG data_length,
                      ULONG* bytes);

// KSPROPERTY_PIN_DATAINTERSECTION for one range of the client.
NTSTATUS pin_intersect(PKSFILTER filter, ULONG pin_id, const KSDATARANGE* range, void* data,
                       ULONG data_length, ULONG* bytes);

// A pin instance connected with `format`; null with *status when refused.
PKSPIN pin_create(PKSFILTER filter, ULONG pin_id, const KSDATAFORMAT* format, NTSTATUS* status);
// KSPROPERTY_CONNECTION_DATAFORMAT set.
NTSTATUS pin_set_format(PKSPIN pin, const KSDATAFORMAT* format);
// KSPROPERTY_CONNECTION_STATE set to the next state (one step of
// STOP, ACQUIRE, PAUSE, RUN; ks.h: KSSTATE). Returns the driver's status.
NTSTATUS pin_set_state(PKSPIN pin, KSSTATE state);
// Closes the pin (its state is set to STOP first when it is not).
void pin_close(PKSPIN pin);

// Queues a frame (IOCTL_KS_WRITE_STREAM on a sink pin that takes data,
// IOCTL_KS_READ_STREAM on one that produces it). The header and its data
// stay the caller's until the frame comes back.
void pin_submit(PKSPIN pin, KSSTREAM_HEADER* header);
// The next completed frame, or null. Output frames carry DataUsed.
KSSTREAM_HEADER* pin_take_completed(PKSPIN pin);
// Frames completed so far (monotonic). Safe to read in a clock wait.
uint64_t pin_completions(PKSPIN pin);
// Frames queued and not yet completed.
size_t pin_queued(PKSPIN pin);
// Number of clone stream pointers that exist on the pin.
size_t pin_clones(PKSPIN pin);

}  // namespace korvel::sim::kernel::ks

#endif
