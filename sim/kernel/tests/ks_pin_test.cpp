// The kernel-streaming stand-in's pin queue as AVStream runs it: which
// events call a pin's process dispatch. A frame that arrives into a queue
// with nothing left to process starts processing; one that arrives behind
// frames still waiting does not; KsPinAttemptProcessing does. And the order
// of a pin's dispatches at its creation.
#include <gtest/gtest.h>
#include <ks.h>
#include <ntddk.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/host.h"
#include "kernel/ks_host.h"
#include "kernel/verifier.h"
#include "usb/device.h"

namespace ks = korvel::sim::kernel::ks;
namespace verifier = korvel::sim::verifier;
namespace usb = korvel::sim::usb;
using korvel::sim::Clock;
using korvel::sim::ClockMode;

namespace {

// The pin's process dispatch: counts its calls and either leaves every frame
// where it is (STATUS_PENDING, as a pin whose buffer is full) or takes them
// all (STATUS_SUCCESS once the queue is empty). It runs on the pin's
// worker thread while the test sets them.
std::atomic<int> g_process_calls{0};
std::atomic<bool> g_take_frames{false};

NTSTATUS Process(PKSPIN pin) {
  ++g_process_calls;
  if (!g_take_frames) return STATUS_PENDING;
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  while (sp != nullptr && NT_SUCCESS(KsStreamPointerAdvance(sp))) {
  }
  return STATUS_SUCCESS;
}

// The pin's create, close and set-format dispatches note their calls; the
// set-format one refuses while g_refuse_format is set.
std::vector<std::string> g_calls;
bool g_refuse_format = false;

bool g_take_device_in_create = false;

NTSTATUS Create(PKSPIN pin, PIRP) {
  g_calls.push_back("create");
  if (g_take_device_in_create) {
    KsAcquireDevice(KsGetDevice(pin));
    KsReleaseDevice(KsGetDevice(pin));
  }
  return STATUS_SUCCESS;
}

NTSTATUS Close(PKSPIN, PIRP) {
  g_calls.push_back("close");
  return STATUS_SUCCESS;
}

NTSTATUS SetDataFormat(PKSPIN pin, PKSDATAFORMAT old, PKSMULTIPLE_ITEM, const KSDATARANGE*,
                       const KSATTRIBUTE_LIST*) {
  g_calls.push_back(old == nullptr ? "format(new)" : "format(change)");
  if (pin->ConnectionFormat == nullptr) return STATUS_UNSUCCESSFUL;
  return g_refuse_format ? STATUS_NO_MATCH : STATUS_SUCCESS;
}

const KSPIN_DISPATCH kPinDispatch = {Create,  Close,   Process, nullptr, SetDataFormat,
                                     nullptr, nullptr, nullptr, nullptr, nullptr};
KSDATARANGE g_range = {};  // null GUIDs: any format
const PKSDATARANGE kRanges[] = {&g_range};
const KSPIN_DESCRIPTOR_EX kPin = {
    &kPinDispatch,
    nullptr,
    {0, nullptr, 0, nullptr, 1, kRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, nullptr, nullptr, {0}},
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,
    0,
    nullptr,
    nullptr};
const KSFILTER_DESCRIPTOR kFilter = {nullptr,
                                     nullptr,
                                     KSFILTER_DESCRIPTOR_VERSION,
                                     0,
                                     nullptr,
                                     1,
                                     sizeof(KSPIN_DESCRIPTOR_EX),
                                     &kPin,
                                     0,
                                     nullptr,
                                     0,
                                     0,
                                     nullptr,
                                     0,
                                     nullptr,
                                     nullptr};
NTSTATUS Add(PKSDEVICE device) {
  KsAcquireDevice(device);
  const NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, nullptr, nullptr, 0,
                                                nullptr, nullptr, nullptr);
  KsReleaseDevice(device);
  return status;
}
KSDEVICE_DISPATCH DeviceDispatch() {
  KSDEVICE_DISPATCH d = {};
  d.Add = Add;
  return d;
}
const KSDEVICE_DISPATCH kDeviceDispatch = DeviceDispatch();
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
  return KsInitializeDriver(driver, registry, &kDevice);
}

class NoFunction : public usb::Function {
 public:
  std::vector<uint8_t> configuration_descriptor(usb::Speed) const override {
    return {9, 2, 9, 0, 0, 1, 0, 0x80, 50};
  }
  usb::Result control(const usb::Setup&, uint8_t*, uint16_t*) override { return usb::Result::Stall; }
};

// The test driver loaded on a unit with no function of its own, on the
// virtual clock, its device added and started; a filter of it with the
// empty format for its pin, and frames of 64 bytes, when a test asks.
class StandInDevice : public ::testing::Test {
 protected:
  void Start() {
    Clock& clock = Clock::instance();
    clock.set_mode(ClockMode::Virtual);
    clock.attach_current_thread();
    ASSERT_EQ(korvel::sim::kernel::Driver::load(Entry, u"kspintest", &driver_), STATUS_SUCCESS);
    node_ = std::make_unique<korvel::sim::kernel::DeviceNode>(
        *driver_, std::make_shared<usb::Device>(std::make_shared<NoFunction>(), usb::Speed::High));
    ASSERT_EQ(node_->add(), STATUS_SUCCESS);
    ASSERT_EQ(node_->start(), STATUS_SUCCESS);
  }

  // Closes the filter (when open), removes the device and unloads the driver.
  void Finish() {
    if (filter_ != nullptr) ks::filter_close(filter_);
    filter_ = nullptr;
    EXPECT_EQ(node_->remove(), STATUS_SUCCESS);
    node_.reset();
    driver_.reset();
  }

  void OpenFilter() {
    NTSTATUS status;
    filter_ = ks::filter_create(node_->ks_device(), 0, &status);
    ASSERT_NE(filter_, nullptr);
    format_.FormatSize = sizeof(format_);
  }

  PKSPIN CreatePin(NTSTATUS* status) { return ks::pin_create(filter_, 0, &format_, status); }

  // A pin of the open filter, taken to RUN.
  void CreateRunningPin(PKSPIN* pin) {
    NTSTATUS status;
    *pin = CreatePin(&status);
    ASSERT_NE(*pin, nullptr);
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
      ASSERT_EQ(ks::pin_set_state(*pin, s), STATUS_SUCCESS);
  }

  void MakeFrames() {
    for (int i = 0; i < 4; ++i) {
      frames_[i].Size = sizeof(KSSTREAM_HEADER);
      frames_[i].Data = data_[i];
      frames_[i].FrameExtent = sizeof(data_[i]);
      frames_[i].DataUsed = sizeof(data_[i]);
    }
  }

  // The pin's worker runs meanwhile.
  static void Settle() { Clock::instance().sleep_for(1000000); }

  std::unique_ptr<korvel::sim::kernel::Driver> driver_;
  std::unique_ptr<korvel::sim::kernel::DeviceNode> node_;
  PKSFILTER filter_ = nullptr;
  KSDATAFORMAT format_ = {};
  uint8_t data_[4][64] = {};
  KSSTREAM_HEADER frames_[4] = {};
};

// What the verifier reports while this lives, noted instead of failing the
// test.
class VerifierFailures {
 public:
  VerifierFailures()
      : old_(verifier::set_failure_handler([this](const std::string& what) { list.push_back(what); })) {}
  ~VerifierFailures() { verifier::set_failure_handler(old_); }
  VerifierFailures(const VerifierFailures&) = delete;
  VerifierFailures& operator=(const VerifierFailures&) = delete;
  std::vector<std::string> list;

 private:
  verifier::FailureHandler old_;
};

using KsPinQueue = StandInDevice;
using KsPinCreation = StandInDevice;
using KsStreamPointer = StandInDevice;
using KsDeviceMutex = StandInDevice;

TEST_F(KsPinQueue, ArrivalsStartProcessingOnlyIntoAnEmptyQueue) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(OpenFilter());
  PKSPIN pin;
  ASSERT_NO_FATAL_FAILURE(CreateRunningPin(&pin));
  Settle();
  MakeFrames();
  g_process_calls = 0;
  g_take_frames = false;
  ks::pin_submit(pin, &frames_[0]);  // into an empty queue: processed (and left pending)
  Settle();
  EXPECT_EQ(g_process_calls.load(), 1);
  ks::pin_submit(pin, &frames_[1]);  // behind a frame still waiting: nothing
  Settle();
  EXPECT_EQ(g_process_calls.load(), 1);
  KsPinAttemptProcessing(pin, FALSE);  // the pin asks again
  Settle();
  EXPECT_EQ(g_process_calls.load(), 2);
  g_take_frames = true;
  KsPinAttemptProcessing(pin, FALSE);  // takes both: the queue is empty again
  Settle();
  EXPECT_EQ(g_process_calls.load(), 3);
  EXPECT_EQ(ks::pin_queued(pin), 0u);
  ks::pin_submit(pin, &frames_[2]);  // into the empty queue: processed
  Settle();
  EXPECT_EQ(g_process_calls.load(), 4);
  ks::pin_close(pin);
  Finish();
}

// As AVStream creates a pin: its set-format dispatch first, with no old
// format and the connection format in place, then its create dispatch; a
// format the pin refuses creates no pin (no create, no close dispatch).
TEST_F(KsPinCreation, TheFormatIsSetBeforeCreateAndARefusalCreatesNothing) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(OpenFilter());
  NTSTATUS status;
  g_calls.clear();
  g_refuse_format = true;
  EXPECT_EQ(CreatePin(&status), nullptr);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  EXPECT_EQ(g_calls, std::vector<std::string>({"format(new)"}));
  g_calls.clear();
  g_refuse_format = false;
  PKSPIN pin = CreatePin(&status);  // the refused one took no instance
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(g_calls, std::vector<std::string>({"format(new)", "create"}));
  EXPECT_EQ(ks::pin_set_format(pin, &format_), STATUS_SUCCESS);
  EXPECT_EQ(CreatePin(&status), nullptr);  // one instance possible
  EXPECT_EQ(status, STATUS_DEVICE_BUSY);
  ks::pin_close(pin);
  EXPECT_EQ(g_calls, std::vector<std::string>({"format(new)", "create", "format(change)", "close"}));
  Finish();
}

// Stream pointers keep their lock state as AVStream's do: a clone starts in
// its source's state; offsets advance and pointers unlock only when locked
// (an unlocked pointer names no data the minidriver may use); an unlock with
// Eject moves the leading edge on; a deleted clone is not used again. And
// processing is attempted only on a live pin.
TEST_F(KsStreamPointer, LockStateRulesAreKept) {
  VerifierFailures failures;
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(OpenFilter());
  PKSPIN pin;
  ASSERT_NO_FATAL_FAILURE(CreateRunningPin(&pin));
  MakeFrames();
  g_take_frames = false;  // the process dispatch leaves the frames alone
  ks::pin_submit(pin, &frames_[0]);
  ks::pin_submit(pin, &frames_[1]);
  Settle();

  PKSSTREAM_POINTER lead = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
  ASSERT_NE(lead, nullptr);
  PKSSTREAM_POINTER unlocked = nullptr;
  ASSERT_EQ(KsStreamPointerClone(lead, nullptr, 0, &unlocked), STATUS_SUCCESS);
  EXPECT_EQ(KsStreamPointerAdvanceOffsets(unlocked, 8, 0, FALSE), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(unlocked->OffsetIn.Remaining, 64u) << "an unlocked pointer's offsets stay";
  ASSERT_EQ(failures.list.size(), 1u);
  EXPECT_NE(failures.list[0].find("not locked"), std::string::npos);
  KsStreamPointerUnlock(lead, FALSE);
  ASSERT_EQ(failures.list.size(), 2u);
  EXPECT_NE(failures.list[1].find("KsStreamPointerUnlock"), std::string::npos);
  KsStreamPointerDelete(unlocked);

  lead = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(lead, nullptr);
  PKSSTREAM_POINTER locked = nullptr;
  ASSERT_EQ(KsStreamPointerClone(lead, nullptr, 0, &locked), STATUS_SUCCESS);
  EXPECT_EQ(KsStreamPointerAdvanceOffsets(locked, 8, 0, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(locked->OffsetIn.Remaining, 56u);
  KsStreamPointerUnlock(lead, TRUE);  // ejects the first frame: the leading edge is on the second
  EXPECT_EQ(ks::pin_queued(pin), 2u) << "the clone holds the first frame";
  KsStreamPointerDelete(locked);
  EXPECT_EQ(ks::pin_queued(pin), 1u);
  KsStreamPointerDelete(locked);  // deleted already: reported, not followed
  ASSERT_EQ(failures.list.size(), 3u);
  EXPECT_NE(failures.list[2].find("not live"), std::string::npos);
  lead = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(lead, nullptr);
  EXPECT_EQ(lead->StreamHeader, &frames_[1]);
  EXPECT_EQ(failures.list.size(), 3u);

  ks::pin_close(pin);
  KsPinAttemptProcessing(pin, FALSE);  // the pin is gone
  ASSERT_EQ(failures.list.size(), 4u);
  EXPECT_NE(failures.list[3].find("KsPinAttemptProcessing"), std::string::npos);
  Finish();
}

// The device mutex, as AVStream's: not recursive, not taken under a filter
// control mutex (as in a pin's dispatch), and held to create a filter
// factory.
TEST_F(KsDeviceMutex, RecursionTakingItUnderFilterControlAndFactoriesWithoutItAreReported) {
  VerifierFailures failures;
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_TRUE(failures.list.empty()) << "the factory of Add was made under the device mutex";
  PKSDEVICE device = node_->ks_device();
  EXPECT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, nullptr, nullptr, 0, nullptr,
                                  nullptr, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(failures.list.size(), 1u);
  EXPECT_NE(failures.list[0].find("without the device mutex"), std::string::npos);
  KsAcquireDevice(device);
  KsAcquireDevice(device);
  ASSERT_EQ(failures.list.size(), 2u);
  EXPECT_NE(failures.list[1].find("holds the device mutex"), std::string::npos);
  KsReleaseDevice(device);
  KsReleaseDevice(device);

  ASSERT_NO_FATAL_FAILURE(OpenFilter());
  NTSTATUS status;
  g_take_device_in_create = true;  // the pin's create dispatch runs under the filter control mutex
  PKSPIN pin = CreatePin(&status);
  g_take_device_in_create = false;
  ASSERT_NE(pin, nullptr);
  ASSERT_EQ(failures.list.size(), 3u);
  EXPECT_NE(failures.list[2].find("filter control"), std::string::npos);
  ks::pin_close(pin);
  Finish();
}

}  // namespace
