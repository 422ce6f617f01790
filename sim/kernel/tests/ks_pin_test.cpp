// The kernel-streaming stand-in's pin queue as AVStream runs it: which
// events call a pin's process dispatch. A frame that arrives into a queue
// with nothing left to process starts processing; one that arrives behind
// frames still waiting does not; KsPinAttemptProcessing does. And the order
// of a pin's dispatches at its creation.
#include <gtest/gtest.h>
#include <ks.h>
#include <ntddk.h>

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
// all (STATUS_SUCCESS once the queue is empty).
int g_process_calls = 0;
bool g_take_frames = false;

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

TEST(KsPinQueue, ArrivalsStartProcessingOnlyIntoAnEmptyQueue) {
  Clock& clock = Clock::instance();
  clock.set_mode(ClockMode::Virtual);
  clock.attach_current_thread();
  auto settle = [&clock] { clock.sleep_for(1000000); };  // the pin's worker runs meanwhile
  std::unique_ptr<korvel::sim::kernel::Driver> driver;
  ASSERT_EQ(korvel::sim::kernel::Driver::load(Entry, u"kspintest", &driver), STATUS_SUCCESS);
  {
    korvel::sim::kernel::DeviceNode node(
        *driver, std::make_shared<usb::Device>(std::make_shared<NoFunction>(), usb::Speed::High));
    ASSERT_EQ(node.add(), STATUS_SUCCESS);
    ASSERT_EQ(node.start(), STATUS_SUCCESS);
    NTSTATUS status;
    PKSFILTER filter = ks::filter_create(node.ks_device(), 0, &status);
    ASSERT_NE(filter, nullptr);
    KSDATAFORMAT format = {};
    format.FormatSize = sizeof(format);
    PKSPIN pin = ks::pin_create(filter, 0, &format, &status);
    ASSERT_NE(pin, nullptr);
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
      ASSERT_EQ(ks::pin_set_state(pin, s), STATUS_SUCCESS);
    settle();
    uint8_t data[4][64] = {};
    KSSTREAM_HEADER frames[4] = {};
    for (int i = 0; i < 4; ++i) {
      frames[i].Size = sizeof(KSSTREAM_HEADER);
      frames[i].Data = data[i];
      frames[i].FrameExtent = sizeof(data[i]);
      frames[i].DataUsed = sizeof(data[i]);
    }
    g_process_calls = 0;
    g_take_frames = false;
    ks::pin_submit(pin, &frames[0]);  // into an empty queue: processed (and left pending)
    settle();
    EXPECT_EQ(g_process_calls, 1);
    ks::pin_submit(pin, &frames[1]);  // behind a frame still waiting: nothing
    settle();
    EXPECT_EQ(g_process_calls, 1);
    KsPinAttemptProcessing(pin, FALSE);  // the pin asks again
    settle();
    EXPECT_EQ(g_process_calls, 2);
    g_take_frames = true;
    KsPinAttemptProcessing(pin, FALSE);  // takes both: the queue is empty again
    settle();
    EXPECT_EQ(g_process_calls, 3);
    EXPECT_EQ(ks::pin_queued(pin), 0u);
    ks::pin_submit(pin, &frames[2]);  // into the empty queue: processed
    settle();
    EXPECT_EQ(g_process_calls, 4);
    ks::pin_close(pin);
    ks::filter_close(filter);
    EXPECT_EQ(node.remove(), STATUS_SUCCESS);
  }
  driver.reset();
}

// As AVStream creates a pin: its set-format dispatch first, with no old
// format and the connection format in place, then its create dispatch; a
// format the pin refuses creates no pin (no create, no close dispatch).
TEST(KsPinCreation, TheFormatIsSetBeforeCreateAndARefusalCreatesNothing) {
  Clock& clock = Clock::instance();
  clock.set_mode(ClockMode::Virtual);
  clock.attach_current_thread();
  std::unique_ptr<korvel::sim::kernel::Driver> driver;
  ASSERT_EQ(korvel::sim::kernel::Driver::load(Entry, u"kspintest", &driver), STATUS_SUCCESS);
  {
    korvel::sim::kernel::DeviceNode node(
        *driver, std::make_shared<usb::Device>(std::make_shared<NoFunction>(), usb::Speed::High));
    ASSERT_EQ(node.add(), STATUS_SUCCESS);
    ASSERT_EQ(node.start(), STATUS_SUCCESS);
    NTSTATUS status;
    PKSFILTER filter = ks::filter_create(node.ks_device(), 0, &status);
    ASSERT_NE(filter, nullptr);
    KSDATAFORMAT format = {};
    format.FormatSize = sizeof(format);
    g_calls.clear();
    g_refuse_format = true;
    EXPECT_EQ(ks::pin_create(filter, 0, &format, &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_MATCH);
    EXPECT_EQ(g_calls, std::vector<std::string>({"format(new)"}));
    g_calls.clear();
    g_refuse_format = false;
    PKSPIN pin = ks::pin_create(filter, 0, &format, &status);  // the refused one took no instance
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(g_calls, std::vector<std::string>({"format(new)", "create"}));
    EXPECT_EQ(ks::pin_set_format(pin, &format), STATUS_SUCCESS);
    EXPECT_EQ(ks::pin_create(filter, 0, &format, &status), nullptr);  // one instance possible
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    ks::pin_close(pin);
    EXPECT_EQ(g_calls, std::vector<std::string>({"format(new)", "create", "format(change)", "close"}));
    ks::filter_close(filter);
    EXPECT_EQ(node.remove(), STATUS_SUCCESS);
  }
  driver.reset();
}

// Stream pointers keep their lock state as AVStream's do: a clone starts in
// its source's state; offsets advance and pointers unlock only when locked
// (an unlocked pointer names no data the minidriver may use); an unlock with
// Eject moves the leading edge on; a deleted clone is not used again. And
// processing is attempted only on a live pin.
TEST(KsStreamPointer, LockStateRulesAreKept) {
  std::vector<std::string> failures;
  verifier::FailureHandler old =
      verifier::set_failure_handler([&failures](const std::string& what) { failures.push_back(what); });
  Clock& clock = Clock::instance();
  clock.set_mode(ClockMode::Virtual);
  clock.attach_current_thread();
  auto settle = [&clock] { clock.sleep_for(1000000); };
  std::unique_ptr<korvel::sim::kernel::Driver> driver;
  ASSERT_EQ(korvel::sim::kernel::Driver::load(Entry, u"kspintest", &driver), STATUS_SUCCESS);
  {
    korvel::sim::kernel::DeviceNode node(
        *driver, std::make_shared<usb::Device>(std::make_shared<NoFunction>(), usb::Speed::High));
    ASSERT_EQ(node.add(), STATUS_SUCCESS);
    ASSERT_EQ(node.start(), STATUS_SUCCESS);
    NTSTATUS status;
    PKSFILTER filter = ks::filter_create(node.ks_device(), 0, &status);
    ASSERT_NE(filter, nullptr);
    KSDATAFORMAT format = {};
    format.FormatSize = sizeof(format);
    PKSPIN pin = ks::pin_create(filter, 0, &format, &status);
    ASSERT_NE(pin, nullptr);
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
      ASSERT_EQ(ks::pin_set_state(pin, s), STATUS_SUCCESS);
    uint8_t data[2][64] = {};
    KSSTREAM_HEADER frames[2] = {};
    for (int i = 0; i < 2; ++i) {
      frames[i].Size = sizeof(KSSTREAM_HEADER);
      frames[i].Data = data[i];
      frames[i].FrameExtent = sizeof(data[i]);
      frames[i].DataUsed = sizeof(data[i]);
    }
    g_take_frames = false;  // the process dispatch leaves the frames alone
    ks::pin_submit(pin, &frames[0]);
    ks::pin_submit(pin, &frames[1]);
    settle();

    PKSSTREAM_POINTER lead = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(lead, nullptr);
    PKSSTREAM_POINTER unlocked = nullptr;
    ASSERT_EQ(KsStreamPointerClone(lead, nullptr, 0, &unlocked), STATUS_SUCCESS);
    EXPECT_EQ(KsStreamPointerAdvanceOffsets(unlocked, 8, 0, FALSE), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(unlocked->OffsetIn.Remaining, 64u) << "an unlocked pointer's offsets stay";
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("not locked"), std::string::npos);
    KsStreamPointerUnlock(lead, FALSE);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_NE(failures[1].find("KsStreamPointerUnlock"), std::string::npos);
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
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_NE(failures[2].find("not live"), std::string::npos);
    lead = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(lead, nullptr);
    EXPECT_EQ(lead->StreamHeader, &frames[1]);
    EXPECT_EQ(failures.size(), 3u);

    ks::pin_close(pin);
    KsPinAttemptProcessing(pin, FALSE);  // the pin is gone
    ASSERT_EQ(failures.size(), 4u);
    EXPECT_NE(failures[3].find("KsPinAttemptProcessing"), std::string::npos);
    ks::filter_close(filter);
    EXPECT_EQ(node.remove(), STATUS_SUCCESS);
  }
  driver.reset();
  verifier::set_failure_handler(old);
}

// The device mutex, as AVStream's: not recursive, not taken under a filter
// control mutex (as in a pin's dispatch), and held to create a filter
// factory.
TEST(KsDeviceMutex, RecursionTakingItUnderFilterControlAndFactoriesWithoutItAreReported) {
  std::vector<std::string> failures;
  verifier::FailureHandler old =
      verifier::set_failure_handler([&failures](const std::string& what) { failures.push_back(what); });
  Clock& clock = Clock::instance();
  clock.set_mode(ClockMode::Virtual);
  clock.attach_current_thread();
  std::unique_ptr<korvel::sim::kernel::Driver> driver;
  ASSERT_EQ(korvel::sim::kernel::Driver::load(Entry, u"kspintest", &driver), STATUS_SUCCESS);
  {
    korvel::sim::kernel::DeviceNode node(
        *driver, std::make_shared<usb::Device>(std::make_shared<NoFunction>(), usb::Speed::High));
    ASSERT_EQ(node.add(), STATUS_SUCCESS);
    ASSERT_EQ(node.start(), STATUS_SUCCESS);
    EXPECT_TRUE(failures.empty()) << "the factory of Add was made under the device mutex";
    PKSDEVICE device = node.ks_device();
    EXPECT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, nullptr, nullptr, 0, nullptr,
                                    nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("without the device mutex"), std::string::npos);
    KsAcquireDevice(device);
    KsAcquireDevice(device);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_NE(failures[1].find("holds the device mutex"), std::string::npos);
    KsReleaseDevice(device);
    KsReleaseDevice(device);

    NTSTATUS status;
    PKSFILTER filter = ks::filter_create(device, 0, &status);
    ASSERT_NE(filter, nullptr);
    KSDATAFORMAT format = {};
    format.FormatSize = sizeof(format);
    g_take_device_in_create = true;  // the pin's create dispatch runs under the filter control mutex
    PKSPIN pin = ks::pin_create(filter, 0, &format, &status);
    g_take_device_in_create = false;
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_NE(failures[2].find("filter control"), std::string::npos);
    ks::pin_close(pin);
    ks::filter_close(filter);
    EXPECT_EQ(node.remove(), STATUS_SUCCESS);
  }
  driver.reset();
  verifier::set_failure_handler(old);
}

}  // namespace
