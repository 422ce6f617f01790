// Isochronous streaming through the framework stand-in, the simulated bus and
// the unit: a small test driver submits render, feedback and capture URBs the
// way the streaming engine does (15 in flight, start frames scheduled ahead)
// and checks what comes back, packet by packet.
#include <gtest/gtest.h>
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdf.h>
#include <wdfminiport.h>
#include <wdfusb.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/host.h"
#include "kernel/verifier.h"
#include "uac2.h"
#include "unit.h"
#include "usb/device.h"

namespace usb = korvel::sim::usb;
namespace uac2 = korvel::sim::uac2;
namespace verifier = korvel::sim::verifier;
using korvel::sim::Clock;
using korvel::sim::Model;
using korvel::sim::Unit;

namespace {

constexpr ULONG kTag = verifier::tag("isoT");
constexpr ULONG kTransfers = 15;
enum Stream { kRender, kFeedback, kCapture, kStreams };

struct Xfer {
  WDFMEMORY data_memory = nullptr;
  PUCHAR data = nullptr;
  ULONG size = 0;
  PMDL mdl = nullptr;
  WDFMEMORY urb_memory = nullptr;
  PURB urb = nullptr;
  WDFREQUEST request = nullptr;
  ULONG valid = 0;
  int stream = 0;
  // What the completion routine saw.
  NTSTATUS status = 0;
  USBD_STATUS urb_status = 0;
  USBD_STATUS params_usbd = 0;
  KIRQL irql = 0;
};

// The stand-in's framework driver and one WDF device on a simulated unit.
class IsoStack {
 public:
  IsoStack(Model model, usb::Speed speed, bool win8_urbs = true)
      : unit_(model, [] { return Clock::instance().now_ns() / 1000; }) {
    Clock::instance().attach_current_thread();
    function_ = uac2::make_unit_function(unit_);
    device_ = std::make_shared<usb::Device>(function_, speed);
    high_speed_ = speed == usb::Speed::High;
    driver_object_.Type = 4;
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    config.DriverInitFlags = WdfDriverInitNoDispatchOverride;
    config.DriverPoolTag = kTag;
    EXPECT_EQ(WdfDriverCreate(&driver_object_, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver_),
              STATUS_SUCCESS);
    pdo_.DeviceType = 0x2A;  // the bus driver's physical device object
    pdo_extension_.device = device_.get();
    pdo_.DeviceExtension = &pdo_extension_;
    fdo_.DriverObject = &driver_object_;
    EXPECT_EQ(WdfDeviceMiniportCreate(driver_, WDF_NO_OBJECT_ATTRIBUTES, &fdo_, nullptr, &pdo_, &wdf_device_),
              STATUS_SUCCESS);
    WDF_USB_DEVICE_CREATE_CONFIG c;
    WDF_USB_DEVICE_CREATE_CONFIG_INIT(&c, win8_urbs ? USBD_CLIENT_CONTRACT_VERSION_602 : 0);
    EXPECT_EQ(WdfUsbTargetDeviceCreateWithParameters(wdf_device_, &c, WDF_NO_OBJECT_ATTRIBUTES, &usb_device_),
              STATUS_SUCCESS);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS p;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&p, 0, nullptr);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb_device_, WDF_NO_OBJECT_ATTRIBUTES, &p), STATUS_SUCCESS);
    win8_urbs_ = win8_urbs;
    KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
  }

  ~IsoStack() {
    WdfDriverMiniportUnload(driver_);
    device_.reset();
  }

  Unit& unit() { return unit_; }
  usb::Device& device() { return *device_; }
  WDFUSBDEVICE usb_device() const { return usb_device_; }
  bool high_speed() const { return high_speed_; }

  NTSTATUS set_rate(uint32_t hz) {
    WDF_USB_CONTROL_SETUP_PACKET s;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&s, BmRequestHostToDevice, BmRequestToInterface, 0x01, 0x0100,
                                            USHORT(uac2::kClockId << 8));
    UCHAR data[4] = {UCHAR(hz), UCHAR(hz >> 8), UCHAR(hz >> 16), UCHAR(hz >> 24)};
    WDF_MEMORY_DESCRIPTOR m;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&m, data, 4);
    return WdfUsbTargetDeviceSendControlTransferSynchronously(usb_device_, nullptr, nullptr, &s, &m, nullptr);
  }

  // Selects an alternate setting and takes the pipes of the streams.
  void select(UCHAR interface_index, UCHAR alt) {
    WDFUSBINTERFACE itf = WdfUsbTargetDeviceGetInterface(usb_device_, interface_index);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS p;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&p, alt);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(itf, WDF_NO_OBJECT_ATTRIBUTES, &p), STATUS_SUCCESS);
    if (alt == 0) return;
    if (interface_index == 1) {
      take_pipe(kRender, itf, 0);
      take_pipe(kFeedback, itf, 1);
    } else {
      take_pipe(kCapture, itf, 0);
    }
  }

  void take_pipe(int stream, WDFUSBINTERFACE itf, UCHAR index) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    pipes_[stream] = WdfUsbInterfaceGetConfiguredPipe(itf, index, &info);
    ASSERT_NE(pipes_[stream], nullptr);
    info_[stream] = info;
    ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(pipes_[stream])), STATUS_SUCCESS);
    scheduled_[stream] = false;
  }

  WDFUSBPIPE pipe(int stream) const { return pipes_[stream]; }
  const WDF_USB_PIPE_INFORMATION& info(int stream) const { return info_[stream]; }
  ULONG packets(int stream) const { return stream != kFeedback && high_speed_ ? 8 : 1; }

  // Allocates the transfers of a stream as the engine does at start.
  void allocate(int stream, ULONG transfer_size) {
    for (ULONG i = 0; i < kTransfers; ++i) {
      auto x = std::make_unique<Xfer>();
      x->stream = stream;
      x->size = transfer_size;
      PVOID buffer = nullptr;
      ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, transfer_size,
                                &x->data_memory, &buffer),
                STATUS_SUCCESS);
      x->data = static_cast<PUCHAR>(buffer);
      x->mdl = IoAllocateMdl(buffer, transfer_size, FALSE, FALSE, nullptr);
      ASSERT_NE(x->mdl, nullptr);
      MmBuildMdlForNonPagedPool(x->mdl);
      if (win8_urbs_) {
        ASSERT_EQ(WdfUsbTargetDeviceCreateIsochUrb(usb_device_, WDF_NO_OBJECT_ATTRIBUTES, packets(stream),
                                                   &x->urb_memory, &x->urb),
                  STATUS_SUCCESS);
      } else {
        PVOID u = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 4096, &x->urb_memory, &u),
                  STATUS_SUCCESS);
        x->urb = static_cast<PURB>(u);
      }
      ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE, &x->request), STATUS_SUCCESS);
      free_[stream].push_back(x.get());
      all_.push_back(std::move(x));
    }
  }

  void release_all() {
    for (auto& x : all_) {
      WdfObjectDelete(x->request);
      WdfObjectDelete(x->urb_memory);
      IoFreeMdl(x->mdl);
      WdfObjectDelete(x->data_memory);
    }
    all_.clear();
    for (auto& f : free_) f.clear();
  }

  // Builds the URB of a transfer; render packet sizes come from `sizes`.
  void build(Xfer* x, const std::vector<ULONG>& sizes) {
    const int s = x->stream;
    const ULONG n = packets(s);
    std::memset(x->urb, 0, GET_ISO_URB_SIZE(n));
    _URB_ISOCH_TRANSFER& u = x->urb->UrbIsochronousTransfer;
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.Hdr.Length = USHORT(GET_ISO_URB_SIZE(n));
    u.PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(pipes_[s]);
    u.TransferFlags = s == kRender ? 0 : (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    x->mdl->Next = nullptr;
    u.TransferBufferMDL = x->mdl;
    u.NumberOfPackets = n;
    ULONG total = 0;
    for (ULONG k = 0; k < n; ++k) {
      if (s == kRender) {
        u.IsoPacket[k].Offset = total;
        u.IsoPacket[k].Length = sizes[k];
        total += sizes[k];
      } else {
        u.IsoPacket[k].Offset = k * info_[s].MaximumPacketSize;
        total = x->size;
      }
    }
    u.TransferBufferLength = total;
    x->valid = total;
  }

  // Sends a built transfer for the stream's next start frame (current + 2
  // when none is ahead). Returns WdfRequestSend's answer.
  BOOLEAN send(Xfer* x, ULONG* frame_out = nullptr, bool count_late = true) {
    const int s = x->stream;
    WDF_REQUEST_REUSE_PARAMS rp;
    WDF_REQUEST_REUSE_PARAMS_INIT(&rp, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestReuse(x->request, &rp), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForUrb(pipes_[s], x->request, x->urb_memory, nullptr),
              STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(x->request, &IsoStack::completed, this);
    contexts_[x->request] = x;
    ULONG current = 0;
    if (!NT_SUCCESS(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(usb_device_, &current))) {
      EXPECT_FALSE(device_->connected()) << "the frame number is there while the device is";
    }
    // Any frame number is one the bus may be at: whether the stream has a
    // schedule is kept apart.
    const bool was_scheduled = scheduled_[s];
    if (!scheduled_[s] || LONG(next_frame_[s] - current) <= 0) {
      if (scheduled_[s] && count_late) ++late_[s];
      next_frame_[s] = current + 2;
    }
    scheduled_[s] = true;
    x->urb->UrbIsochronousTransfer.StartFrame = next_frame_[s];
    if (frame_out != nullptr) *frame_out = next_frame_[s];
    ++next_frame_[s];
    ++in_flight_[s];
    BOOLEAN sent = WdfRequestSend(x->request, WdfUsbTargetPipeGetIoTarget(pipes_[s]), WDF_NO_SEND_OPTIONS);
    if (!sent) {
      --in_flight_[s];
      --next_frame_[s];
      scheduled_[s] = was_scheduled;
    }
    return sent;
  }

  static void completed(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                        WDFCONTEXT context) {
    auto* self = static_cast<IsoStack*>(context);
    std::lock_guard<std::mutex> g(self->m_);
    Xfer* x = self->contexts_[request];
    x->status = params->IoStatus.Status;
    x->urb_status = x->urb->UrbHeader.Status;
    x->params_usbd = params->Parameters.Usb.Completion->UsbdStatus;
    x->irql = KeGetCurrentIrql();
    self->done_.push_back(x);
    --self->in_flight_[x->stream];
    KeSetEvent(&self->wake_, IO_SOUND_INCREMENT, FALSE);
  }

  // Takes the completed transfers (oldest first).
  std::vector<Xfer*> take_done() {
    std::lock_guard<std::mutex> g(m_);
    std::vector<Xfer*> d(done_.begin(), done_.end());
    done_.clear();
    return d;
  }

  void wait(int ms) {
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(ms) * 10000;
    KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &t);
  }

  int in_flight(int s) {
    std::lock_guard<std::mutex> g(m_);
    return in_flight_[s];
  }

  std::deque<Xfer*> free_[kStreams];
  int late_[kStreams] = {};
  ULONG next_frame_[kStreams] = {};
  bool scheduled_[kStreams] = {};  // next_frame_ holds a stream's schedule

 private:
  Unit unit_;
  std::shared_ptr<uac2::Uac2Function> function_;
  std::shared_ptr<usb::Device> device_;
  bool high_speed_ = true;
  bool win8_urbs_ = true;
  DRIVER_OBJECT driver_object_{};
  korvel::sim::kernel::PdoExtension pdo_extension_;
  DEVICE_OBJECT pdo_{}, fdo_{};
  WDFDRIVER driver_ = nullptr;
  WDFDEVICE wdf_device_ = nullptr;
  WDFUSBDEVICE usb_device_ = nullptr;
  WDFUSBPIPE pipes_[kStreams] = {};
  WDF_USB_PIPE_INFORMATION info_[kStreams] = {};
  std::vector<std::unique_ptr<Xfer>> all_;
  std::mutex m_;
  std::map<WDFREQUEST, Xfer*> contexts_;
  std::deque<Xfer*> done_;
  int in_flight_[kStreams] = {};
  KEVENT wake_;
};

// The render stream paced by the feedback value, 16.16 or 10.14.
struct Pacer {
  bool high_speed;
  uint32_t feedback;
  uint32_t acc = 0;
  std::vector<ULONG> sizes(ULONG packets, ULONG frame_bytes) {
    std::vector<ULONG> s;
    for (ULONG k = 0; k < packets; ++k) {
      uint32_t samples;
      if (high_speed) {
        samples = (feedback >> 16) + ((acc + (feedback & 0xFFFF)) >> 16);
        acc = (acc + feedback) & 0xFFFF;
      } else {
        samples = (feedback >> 14) + (((feedback & 0x3FFF) + acc) >> 14);
        acc = (feedback + acc) & 0x3FFF;
      }
      s.push_back(samples * frame_bytes);
    }
    return s;
  }
};

struct StreamResult {
  std::vector<uint8_t> rendered, captured;
  std::vector<uint32_t> feedback_values;
  int feedback_length_mismatch = 0;
  int bad_completions = 0;
  int irql_wrong = 0;
  uint64_t allocations = 0;  // pool allocations while streaming
};

// Streams render (with explicit feedback) and capture for `ms` of simulated time.
StreamResult stream(IsoStack& st, UCHAR render_alt, UCHAR capture_alt, ULONG frame_bytes, int ms) {
  StreamResult r;
  EXPECT_EQ(st.set_rate(48000), STATUS_SUCCESS);
  st.select(1, render_alt);
  st.select(2, capture_alt);
  const ULONG data_max = st.info(kRender).MaximumPacketSize;
  st.allocate(kRender, data_max * st.packets(kRender));
  st.allocate(kFeedback, (st.info(kFeedback).MaximumPacketSize + 3) & ~3u);
  st.allocate(kCapture, st.info(kCapture).MaximumPacketSize * st.packets(kCapture));
  Pacer pacer{st.high_speed(), st.high_speed() ? 0x60000u : 0xC0000u};
  uint64_t sample = 0;
  const uint64_t mark = verifier::pool_allocations_total();
  const uint64_t end = Clock::instance().now_ns() + uint64_t(ms) * 1000000;
  while (Clock::instance().now_ns() < end) {
    for (Xfer* x : st.take_done()) {
      if (x->status != STATUS_SUCCESS || x->urb_status != USBD_STATUS_SUCCESS ||
          x->params_usbd != x->urb_status)
        ++r.bad_completions;
      if (x->irql != DISPATCH_LEVEL) ++r.irql_wrong;
      const _URB_ISOCH_TRANSFER& u = x->urb->UrbIsochronousTransfer;
      for (ULONG k = 0; k < u.NumberOfPackets; ++k) {
        if (u.IsoPacket[k].Status != USBD_STATUS_SUCCESS) ++r.bad_completions;
        if (x->stream == kCapture) {
          r.captured.insert(r.captured.end(), x->data + u.IsoPacket[k].Offset,
                            x->data + u.IsoPacket[k].Offset + u.IsoPacket[k].Length);
        } else if (x->stream == kFeedback) {
          if (u.IsoPacket[k].Length != st.info(kFeedback).MaximumPacketSize) {
            ++r.feedback_length_mismatch;
            continue;
          }
          uint32_t v;
          std::memcpy(&v, x->data + u.IsoPacket[k].Offset, 4);
          if (!st.high_speed()) v &= 0xFFFFFF;
          r.feedback_values.push_back(v);
          pacer.feedback = v;
        }
      }
      st.free_[x->stream].push_back(x);
    }
    for (int s = 0; s < kStreams; ++s) {
      while (!st.free_[s].empty() && st.in_flight(s) < int(kTransfers)) {
        Xfer* x = st.free_[s].front();
        st.free_[s].pop_front();
        std::vector<ULONG> sizes;
        if (s == kRender) sizes = pacer.sizes(st.packets(kRender), frame_bytes);
        st.build(x, sizes);
        if (s == kRender) {
          for (ULONG i = 0; i < x->valid; ++i) x->data[i] = uint8_t((sample++ * 2654435761u) >> 13);
          r.rendered.insert(r.rendered.end(), x->data, x->data + x->valid);
        } else {
          std::memset(x->data, 0xEE, x->size);
        }
        EXPECT_TRUE(st.send(x));
      }
    }
    st.wait(15);
  }
  r.allocations = verifier::pool_allocations_total() - mark;
  return r;
}

// Stops the streams as the engine does; every transfer comes back cancelled.
void stop_all(IsoStack& st) {
  for (int s = 0; s < kStreams; ++s) {
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(st.pipe(s)), WdfIoTargetCancelSentIo);
    EXPECT_EQ(st.in_flight(s), 0) << s;
    WDF_REQUEST_SEND_OPTIONS o;
    WDF_REQUEST_SEND_OPTIONS_INIT(
        &o, WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&o, WDF_REL_TIMEOUT_IN_MS(50));
    EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(st.pipe(s), WDF_NO_HANDLE, &o), STATUS_SUCCESS);
  }
  int cancelled = 0;
  for (Xfer* x : st.take_done()) {
    // The last ones may have ended normally before the stop.
    if (x->status != STATUS_SUCCESS) {
      EXPECT_EQ(x->status, STATUS_CANCELLED);
      EXPECT_EQ(x->urb_status, USBD_STATUS_CANCELED);
      ++cancelled;
    }
    st.free_[x->stream].push_back(x);
  }
  EXPECT_GT(cancelled, 0);
}

// The rendered bytes come back in the capture stream after the converters
// started (leading silence).
bool loopback_exact(const StreamResult& r, ULONG frame_bytes, size_t* compared) {
  size_t lead = 0;
  while (lead < r.captured.size() && r.captured[lead] == 0) ++lead;
  lead -= lead % frame_bytes;
  if (r.captured.size() <= lead) return false;
  size_t n = std::min(r.captured.size() - lead, r.rendered.size());
  *compared = n;
  return std::memcmp(r.captured.data() + lead, r.rendered.data(), n) == 0;
}

class IsoStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    failures_ = verifier::failure_count();
    verifier::set_failure_handler([this](const std::string& what) { reports_.push_back(what); });
  }
  void TearDown() override {
    verifier::set_failure_handler(nullptr);
    EXPECT_EQ(verifier::pool_usage(kTag).outstanding, 0u) << "allocations left behind";
  }
  std::vector<std::string> reports_;
  uint64_t failures_ = 0;
};

TEST_F(IsoStackTest, HighSpeedRenderFeedbackAndCaptureLoopBackBitExact) {
  for (double ppm : {0.0, 1000.0, -1000.0}) {
    IsoStack st(Model::Tarrow, usb::Speed::High);
    st.unit().audio().set_drift_ppm(ppm);
    st.unit().audio().set_loopback(true);
    // Tarrow alternate setting 3: 2 channels, 24-bit in 3 bytes, both directions use 2.
    StreamResult r = stream(st, 3, 2, 6, 2000);
    stop_all(st);
    EXPECT_EQ(r.bad_completions, 0) << ppm;
    EXPECT_EQ(r.irql_wrong, 0) << ppm;
    EXPECT_EQ(r.feedback_length_mismatch, 0) << ppm;
    ASSERT_FALSE(r.feedback_values.empty());
    const uint32_t expect = uint32_t(6.0 * (1 + ppm * 1e-6) * 65536);
    EXPECT_NEAR(double(r.feedback_values.back()), double(expect), 2.0) << ppm;
    size_t compared = 0;
    EXPECT_TRUE(loopback_exact(r, 6, &compared)) << ppm;
    EXPECT_GT(compared, size_t(48000 * 6 * 19 / 10)) << ppm;  // nearly two seconds
    auto c = st.unit().audio().counters();
    EXPECT_EQ(c.render_underflows, 0u) << ppm;
    EXPECT_EQ(c.render_overflows, 0u) << ppm;
    EXPECT_EQ(c.render_bad_packets, 0u) << ppm;
    EXPECT_EQ(st.late_[kRender] + st.late_[kCapture] + st.late_[kFeedback], 0) << ppm;
    st.release_all();
  }
  EXPECT_TRUE(reports_.empty()) << reports_.front();
}

TEST_F(IsoStackTest, FullSpeedFeedbackIsTenFourteenInThreeBytes) {
  IsoStack st(Model::Tarrow, usb::Speed::Full);
  st.unit().audio().set_drift_ppm(-1000);
  st.unit().audio().set_loopback(true);
  StreamResult r = stream(st, 1, 1, 6, 1000);  // full speed alternate settings 1: 2 x 24-bit
  EXPECT_EQ(st.info(kFeedback).MaximumPacketSize, 3u);
  stop_all(st);
  EXPECT_EQ(r.bad_completions, 0);
  EXPECT_EQ(r.feedback_length_mismatch, 0);
  ASSERT_FALSE(r.feedback_values.empty());
  EXPECT_NEAR(double(r.feedback_values.back()), 47.952 * 16384, 2.0);
  size_t compared = 0;
  EXPECT_TRUE(loopback_exact(r, 6, &compared));
  EXPECT_GT(compared, size_t(48000 * 6 * 9 / 10));
  EXPECT_EQ(st.unit().audio().counters().render_underflows, 0u);
  st.release_all();
  EXPECT_TRUE(reports_.empty());
}

TEST_F(IsoStackTest, OlderUsbStackUrbsInPlainMemoryWork) {
  IsoStack st(Model::Dorrit, usb::Speed::High, false);
  st.unit().audio().set_loopback(true);
  StreamResult r = stream(st, 2, 2, 6, 300);
  stop_all(st);
  EXPECT_EQ(r.bad_completions, 0);
  size_t compared = 0;
  EXPECT_TRUE(loopback_exact(r, 6, &compared));
  st.release_all();
}

TEST_F(IsoStackTest, LateStartFailsInsideTheSendWithBadStartFrame) {
  IsoStack st(Model::Tarrow, usb::Speed::High);
  st.select(2, 2);
  st.allocate(kCapture, st.info(kCapture).MaximumPacketSize * 8);
  Xfer* x = st.free_[kCapture].front();
  st.build(x, {});
  ULONG current = st.device().frame_number();
  st.next_frame_[kCapture] = current;  // the frame under way: too late
  x->urb->UrbIsochronousTransfer.StartFrame = current;
  // Send by hand so the late frame stays.
  WDF_REQUEST_REUSE_PARAMS rp;
  WDF_REQUEST_REUSE_PARAMS_INIT(&rp, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  ASSERT_EQ(WdfRequestReuse(x->request, &rp), STATUS_SUCCESS);
  ASSERT_EQ(WdfUsbTargetPipeFormatRequestForUrb(st.pipe(kCapture), x->request, x->urb_memory, nullptr),
            STATUS_SUCCESS);
  static int calls;
  static NTSTATUS seen;
  static KIRQL irql;
  calls = 0;
  WdfRequestSetCompletionRoutine(
      x->request,
      [](WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
        ++calls;
        seen = p->IoStatus.Status;
        irql = KeGetCurrentIrql();
      },
      nullptr);
  EXPECT_TRUE(WdfRequestSend(x->request, WdfUsbTargetPipeGetIoTarget(st.pipe(kCapture)), nullptr));
  EXPECT_EQ(calls, 1) << "completed before WdfRequestSend returned";
  EXPECT_EQ(seen, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(irql, DISPATCH_LEVEL);
  EXPECT_EQ(WdfRequestGetStatus(x->request), STATUS_UNSUCCESSFUL);
  const _URB_ISOCH_TRANSFER& u = x->urb->UrbIsochronousTransfer;
  EXPECT_EQ(u.Hdr.Status, USBD_STATUS_BAD_START_FRAME);
  for (ULONG k = 0; k < 8; ++k) EXPECT_EQ(u.IsoPacket[k].Status, USBD_STATUS_ISO_NOT_ACCESSED_LATE);
  // Too far ahead fails the same way; one frame ahead is fine.
  x->urb->UrbIsochronousTransfer.StartFrame = current + 2000;
  ASSERT_EQ(WdfRequestReuse(x->request, &rp), STATUS_SUCCESS);
  ASSERT_EQ(WdfUsbTargetPipeFormatRequestForUrb(st.pipe(kCapture), x->request, x->urb_memory, nullptr),
            STATUS_SUCCESS);
  EXPECT_TRUE(WdfRequestSend(x->request, WdfUsbTargetPipeGetIoTarget(st.pipe(kCapture)), nullptr));
  EXPECT_EQ(WdfRequestGetStatus(x->request), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(u.Hdr.Status, USBD_STATUS_BAD_START_FRAME);
  st.free_[kCapture].clear();
  st.release_all();
  EXPECT_TRUE(reports_.empty());
}

// A transfer sent "as soon as possible" to a pipe with nothing queued goes
// in the next frame wherever the frame count stands (here 256 frames before
// its wrap: a next frame of 0 would read as ahead), and the next one right
// after it.
TEST_F(IsoStackTest, AsSoonAsPossibleStartsInTheNextFrameWhereverTheCountStands) {
  IsoStack st(Model::Tarrow, usb::Speed::High);
  st.select(2, 2);
  st.allocate(kCapture, st.info(kCapture).MaximumPacketSize * 8);
  st.device().set_frame_number(0xFFFFFF00u);
  const ULONG now = st.device().frame_number();
  Xfer* x[2];
  for (int i = 0; i < 2; ++i) {
    x[i] = st.free_[kCapture].front();
    st.free_[kCapture].pop_front();
    st.build(x[i], {});
    x[i]->urb->UrbIsochronousTransfer.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
    ASSERT_TRUE(st.send(x[i]));
  }
  EXPECT_EQ(x[0]->urb->UrbIsochronousTransfer.StartFrame, now + 1);
  EXPECT_EQ(x[1]->urb->UrbIsochronousTransfer.StartFrame, now + 2);
  while (st.in_flight(kCapture) != 0) st.wait(5);
  auto done = st.take_done();
  ASSERT_EQ(done.size(), 2u);
  for (Xfer* d : done) {
    EXPECT_EQ(d->status, STATUS_SUCCESS);
    st.free_[kCapture].push_back(d);
  }
  EXPECT_LT(st.device().frame_number() - now, 16u);  // not 256 frames later
  st.release_all();
  EXPECT_TRUE(reports_.empty());
}

TEST_F(IsoStackTest, StopAndAbortCancelEverythingInFlight) {
  IsoStack st(Model::Pellin, usb::Speed::High);
  st.select(2, 1);
  st.allocate(kCapture, st.info(kCapture).MaximumPacketSize * 8);
  for (int i = 0; i < int(kTransfers); ++i) {
    Xfer* x = st.free_[kCapture].front();
    st.free_[kCapture].pop_front();
    st.build(x, {});
    ASSERT_TRUE(st.send(x));
  }
  EXPECT_EQ(st.device().iso_queued(), kTransfers);
  WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(st.pipe(kCapture)), WdfIoTargetCancelSentIo);
  EXPECT_EQ(st.in_flight(kCapture), 0) << "every completion routine ran before WdfIoTargetStop returned";
  EXPECT_EQ(st.device().iso_queued(), 0u);
  auto done = st.take_done();
  ASSERT_EQ(done.size(), kTransfers);
  for (Xfer* x : done) {
    EXPECT_EQ(x->status, STATUS_CANCELLED);
    EXPECT_EQ(x->urb_status, USBD_STATUS_CANCELED);
    st.free_[kCapture].push_back(x);
  }
  // A stopped target holds what is sent until it starts again.
  Xfer* x = st.free_[kCapture].front();
  st.free_[kCapture].pop_front();
  st.build(x, {});
  ASSERT_TRUE(st.send(x));
  EXPECT_EQ(st.device().iso_queued(), 0u);
  st.scheduled_[kCapture] = false;
  ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(st.pipe(kCapture))), STATUS_SUCCESS);
  EXPECT_EQ(st.device().iso_queued(), 1u);
  // The abort takes it back too.
  EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(st.pipe(kCapture), WDF_NO_HANDLE, nullptr), STATUS_SUCCESS);
  done = st.take_done();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->status, STATUS_CANCELLED);
  st.release_all();
  EXPECT_TRUE(reports_.empty());
}

TEST_F(IsoStackTest, UnplugCompletesOutstandingTransfersWithNoSuchDevice) {
  IsoStack st(Model::FarLink, usb::Speed::High);
  ASSERT_EQ(st.set_rate(192000), STATUS_SUCCESS);
  st.select(1, 1);
  st.allocate(kRender, st.info(kRender).MaximumPacketSize * 8);
  Pacer pacer{true, 24u << 16};
  for (int i = 0; i < 10; ++i) {
    Xfer* x = st.free_[kRender].front();
    st.free_[kRender].pop_front();
    st.build(x, pacer.sizes(8, 12));
    ASSERT_TRUE(st.send(x));
  }
  while (st.in_flight(kRender) > 7) st.wait(5);  // some complete normally
  st.device().unplug();
  EXPECT_EQ(st.in_flight(kRender), 0);
  int gone = 0, ok = 0;
  for (Xfer* x : st.take_done()) {
    if (x->status == STATUS_SUCCESS) ++ok;
    if (x->status == STATUS_NO_SUCH_DEVICE) {
      EXPECT_EQ(x->urb_status, USBD_STATUS_DEVICE_GONE);
      ++gone;
    }
    st.free_[kRender].push_back(x);
  }
  EXPECT_EQ(ok + gone, 10);
  EXPECT_GT(gone, 0);
  EXPECT_GT(ok, 0);
  // Sending to the gone device completes at once.
  Xfer* x = st.free_[kRender].front();
  st.free_[kRender].pop_front();
  st.build(x, pacer.sizes(8, 12));
  EXPECT_TRUE(st.send(x));
  auto done = st.take_done();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->status, STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(st.device().connected());
  st.free_[kRender].push_back(x);
  st.release_all();
  EXPECT_TRUE(reports_.empty());
}

TEST_F(IsoStackTest, OversizedPacketsFailAloneAndNeverReachTheUnit) {
  IsoStack st(Model::Tarrow, usb::Speed::High);
  ASSERT_EQ(st.set_rate(48000), STATUS_SUCCESS);
  st.select(1, 3);  // 2 x 24-bit: 7 frames = 42 bytes per microframe at most
  const ULONG max = st.info(kRender).MaximumPacketSize;
  EXPECT_EQ(max, 42u);
  st.allocate(kRender, 4096);
  Xfer* x = st.free_[kRender].front();
  st.free_[kRender].pop_front();
  std::vector<ULONG> sizes(8, 36);
  sizes[3] = 48;  // one packet too long
  st.build(x, sizes);
  ASSERT_TRUE(st.send(x));
  while (st.in_flight(kRender) != 0) st.wait(5);
  auto done = st.take_done();
  ASSERT_EQ(done.size(), 1u);
  const _URB_ISOCH_TRANSFER& u = x->urb->UrbIsochronousTransfer;
  EXPECT_EQ(done[0]->status, STATUS_SUCCESS);
  EXPECT_EQ(u.ErrorCount, 1u);
  EXPECT_EQ(u.IsoPacket[3].Status, USBD_STATUS_ISO_TD_ERROR);
  EXPECT_EQ(st.device().iso_bytes_out(), 7u * 36);
  // Every packet too long: the whole transfer failed.
  st.free_[kRender].push_back(x);
  x = st.free_[kRender].front();
  st.free_[kRender].pop_front();
  st.build(x, std::vector<ULONG>(8, 60));
  ASSERT_TRUE(st.send(x));
  while (st.in_flight(kRender) != 0) st.wait(5);
  done = st.take_done();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->status, STATUS_UNSUCCESSFUL);
  const _URB_ISOCH_TRANSFER& u2 = x->urb->UrbIsochronousTransfer;
  EXPECT_EQ(u2.Hdr.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(u2.ErrorCount, 8u);
  EXPECT_EQ(st.device().iso_bytes_out(), 7u * 36);
  st.free_[kRender].push_back(x);
  st.release_all();
  EXPECT_TRUE(reports_.empty());
}

TEST_F(IsoStackTest, MalformedUrbsAreRefusedWithoutReadingPastThem) {
  IsoStack st(Model::Tarrow, usb::Speed::High);
  st.select(2, 2);
  st.allocate(kCapture, st.info(kCapture).MaximumPacketSize * 8);
  Xfer* x = st.free_[kCapture].front();
  auto refused = [&](const char* what) {
    EXPECT_TRUE(st.send(x)) << what;
    EXPECT_EQ(WdfRequestGetStatus(x->request), STATUS_INVALID_PARAMETER) << what;
    auto d = st.take_done();
    EXPECT_EQ(d.size(), 1u) << what;
  };
  st.build(x, {});
  x->urb->UrbIsochronousTransfer.NumberOfPackets = 9;  // more descriptors than the URB's memory holds
  refused("packet count beyond the URB");
  st.build(x, {});
  x->urb->UrbIsochronousTransfer.TransferBufferLength = x->size + 1;  // beyond the MDL
  refused("transfer longer than its MDL");
  st.build(x, {});
  x->urb->UrbIsochronousTransfer.IsoPacket[2].Offset = 0;  // offsets go back
  refused("descending offsets");
  st.build(x, {});
  x->urb->UrbIsochronousTransfer.NumberOfPackets = 4;  // half a frame of an every-microframe endpoint
  x->urb->UrbIsochronousTransfer.Hdr.Length = USHORT(GET_ISO_URB_SIZE(4));
  refused("half a frame of packets");
  st.build(x, {});
  x->urb->UrbIsochronousTransfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(x);
  refused("a pipe handle that is none");
  st.release_all();
  EXPECT_TRUE(reports_.empty());
}

TEST_F(IsoStackTest, VerifierCatchesARequestSentWhilePending) {
  IsoStack st(Model::Tarrow, usb::Speed::High);
  st.select(2, 2);
  st.allocate(kCapture, st.info(kCapture).MaximumPacketSize * 8);
  Xfer* x = st.free_[kCapture].front();
  st.build(x, {});
  ASSERT_TRUE(st.send(x));
  EXPECT_FALSE(WdfRequestSend(x->request, WdfUsbTargetPipeGetIoTarget(st.pipe(kCapture)), nullptr));
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("already pending"), std::string::npos);
  WDF_REQUEST_REUSE_PARAMS rp;
  WDF_REQUEST_REUSE_PARAMS_INIT(&rp, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  EXPECT_NE(WdfRequestReuse(x->request, &rp), STATUS_SUCCESS);
  EXPECT_EQ(reports_.size(), 2u);
  WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(st.pipe(kCapture)), WdfIoTargetCancelSentIo);
  EXPECT_EQ(st.take_done().size(), 1u);
  st.release_all();
}

// A request that completed is reinitialised with WdfRequestReuse before it
// is formatted or sent again: without it both are refused and reported.
// And a target is started, or stopped leaving its I/O pending, at up to
// DISPATCH_LEVEL; a stop that cancels or waits for its I/O only at
// PASSIVE_LEVEL.
TEST_F(IsoStackTest, VerifierCatchesACompletedRequestUsedWithoutReuseAndStopsAboveTheirIrql) {
  IsoStack st(Model::Tarrow, usb::Speed::High);
  st.select(2, 2);
  st.allocate(kCapture, st.info(kCapture).MaximumPacketSize * 8);
  Xfer* x = st.free_[kCapture].front();
  st.build(x, {});
  ASSERT_TRUE(st.send(x));
  WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(st.pipe(kCapture));
  WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
  ASSERT_EQ(st.take_done().size(), 1u);
  EXPECT_TRUE(reports_.empty());
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForUrb(st.pipe(kCapture), x->request, x->urb_memory, nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("not reused"), std::string::npos);
  EXPECT_FALSE(WdfRequestSend(x->request, target, WDF_NO_SEND_OPTIONS));
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_NE(reports_[1].find("not reused"), std::string::npos);

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
  WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
  EXPECT_EQ(reports_.size(), 2u);
  WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
  KeLowerIrql(old);
  ASSERT_EQ(reports_.size(), 3u);
  EXPECT_NE(reports_[2].find("WdfIoTargetStop above PASSIVE_LEVEL"), std::string::npos);
  st.release_all();
}

// The configuration descriptor is read at PASSIVE_LEVEL only.
TEST_F(IsoStackTest, VerifierCatchesTheConfigurationReadAbovePassiveLevel) {
  IsoStack st(Model::Tarrow, usb::Speed::High);
  USHORT size = 0;
  EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(st.usb_device(), nullptr, &size),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(reports_.empty());
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  WdfUsbTargetDeviceRetrieveConfigDescriptor(st.usb_device(), nullptr, &size);
  KeLowerIrql(old);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("WdfUsbTargetDeviceRetrieveConfigDescriptor above PASSIVE_LEVEL"),
            std::string::npos);
}

TEST_F(IsoStackTest, SteadyStreamingAllocatesNothing) {
  IsoStack st(Model::Quenby, usb::Speed::High);
  st.unit().audio().set_loopback(true);
  StreamResult r = stream(st, 2, 2, 6, 300);
  EXPECT_EQ(r.allocations, 0u);
  EXPECT_EQ(r.bad_completions, 0);
  stop_all(st);
  st.release_all();
}

}  // namespace
