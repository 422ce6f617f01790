// quenby on the simulated bus: loader, PnP requests and the start report.
#include "driver_stack.h"

#include "kernel/clock.h"
#include "kernel/file_host.h"
#include "kernel/host.h"
#include "kernel/verifier.h"
#include "quenby.h"
#include "quenby_device_properties.h"
#include "uac2.h"
#include "usb/composite.h"
#include "usb/device.h"

namespace korvel::sim::devhost {

namespace {

uint32_t tag_of(const std::string& s) {
  uint32_t t = 0;
  for (size_t i = 0; i < 4 && i < s.size(); ++i) t |= uint32_t(uint8_t(s[i])) << (8 * i);
  return t;
}

std::string start_error(const WDF_DEVICE_CONTEXT* ctx, NTSTATUS status, const std::vector<uint8_t>& raw) {
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08X", unsigned(status));
  const USB_AUDIO_TOPOLOGY* t = &ctx->Topology;
  switch (ctx->StartFailure) {
    case QuenbyStartUsbTarget: {
      // The USB stack refused the descriptor before the driver saw it; say
      // what the driver's own walk makes of it.
      USB_AUDIO_TOPOLOGY own;
      TOPOLOGY_RESULT r = TopologyDiscover(raw.data(), raw.size(), &own);
      if (r != TopologyOk) return std::string("configuration descriptor refused: ") + TopologyResultText(r);
      return "the USB target could not be created (malformed configuration descriptor)";
    }
    case QuenbyStartInformation:
      return "the USB device information could not be read";
    case QuenbyStartDescriptor:
      return "the configuration descriptor could not be read";
    case QuenbyStartTopology:
      return std::string("topology: ") + TopologyResultText(TOPOLOGY_RESULT(ctx->TopologyResult));
    case QuenbyStartConfiguration:
      return "configuration: the audio function has more than " + std::to_string(QUENBY_MAX_INTERFACES) +
             " interfaces, or selecting its interfaces failed";
    case QuenbyStartClocks:
      if (ctx->ClockResultId != 0) {
        // About one clock source: which, and the rate it reported.
        std::string why = "clocks: clock " + std::to_string(ctx->ClockResultId) + ": " +
                          ClockResultText(CLOCK_RESULT(ctx->ClockResult));
        const AUDIO_PATH* paths[2] = {&t->CapturePath, &t->RenderPath};
        for (int d = QUENBY_DIR_CAPTURE; d <= QUENBY_DIR_RENDER; ++d) {
          if (paths[d]->ClockSource != nullptr &&
              DescriptorClockId(paths[d]->ClockSource) == ctx->ClockResultId &&
              ctx->Dir[d].FixedRateFound != 0)
            return why + " (" + std::to_string(ctx->Dir[d].FixedRateFound) + " Hz)";
        }
        return why;
      }
      return std::string("clocks: ") + ClockResultText(CLOCK_RESULT(ctx->ClockResult));
    case QuenbyStartRates:
      return "sample rates: a clock's GET RANGE failed, answered with the wrong length, or has 0 or more "
             "than 170 "
             "subranges";
    case QuenbyStartLimits: {
      const bool capture = TopologyHasCapture(t) && ctx->Dir[QUENBY_DIR_CAPTURE].Limits.MinRate == 0;
      const bool render = ctx->Dir[QUENBY_DIR_RENDER].Limits.MinRate == 0;
      const char* which = capture && render ? "the capture and render clocks offer"
                          : capture         ? "the capture clock offers"
                                            : "the render clock offers";
      return std::string("sample rates: ") + which + " no rate of " + std::to_string(QUENBY_LOWEST_RATE) +
             " Hz or more (the lowest rate the driver streams)";
    }
    case QuenbyStartRings:
      return "the largest format gives no usable ring size";
    case QuenbyStartTransfers:
      return "transfers: an endpoint is missing (a render interface needs an explicit feedback endpoint)";
    case QuenbyStartFilter:
      return "the filter factory could not be created";
    case QuenbyStartPowerUp:
      return "power-up: selecting the default format's alternate setting or setting the rate failed";
    default:
      return std::string("start failed with status ") + code;
  }
}

void fill_path(PathReport* out, const AUDIO_PATH& path, const AltSettingSlot* slots, bool present,
               const DIRECTION_LIMITS* limits, const uint8_t* rate_list, size_t rate_bytes) {
  out->present = present;
  if (!present) return;
  out->interface_number = DescriptorInterfaceNumber(slots[0].Interface);
  out->feature_unit = path.FeatureUnit != nullptr;
  // The clock source the terminals run from, or (a refused unit whose
  // selectors were not followed) the clock entity they name.
  const uint8_t* clock = path.ClockSource != nullptr ? path.ClockSource : path.ClockEntity;
  out->clock_id = clock != nullptr ? DescriptorClockId(clock) : -1;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    const AltSettingSlot& s = slots[i];
    if (s.Interface == nullptr) continue;
    SlotReport r;
    r.alt = DescriptorAlternateSetting(s.Interface);
    if (s.AsGeneral != nullptr) r.channels = int(SlotChannels(&s));
    if (s.FormatTypeI != nullptr) r.bits = int(SlotBits(&s));
    if (s.DataEndpoint != nullptr) {
      r.data_endpoint = DescriptorEndpointAddress(s.DataEndpoint);
      r.max_packet = int(EndpointBytesPerInterval(s.DataEndpoint));
    }
    if (s.FeedbackEndpoint != nullptr) r.feedback_endpoint = DescriptorEndpointAddress(s.FeedbackEndpoint);
    out->slots.push_back(r);
  }
  DIRECTION_LIMITS l;
  if (limits != nullptr) {
    l = *limits;
  } else {
    ComputeLimits(slots, rate_list, rate_bytes, &l);
  }
  out->min_channels = l.MinChannels;
  out->max_channels = l.MaxChannels;
  out->min_bits = l.MinBits;
  out->max_bits = l.MaxBits;
  out->min_rate = l.MinRate;
  out->max_rate = l.MaxRate;
  out->rates.resize(RateListOffered(rate_list, rate_bytes, nullptr, 0));
  RateListOffered(rate_list, rate_bytes, out->rates.data(), uint32_t(out->rates.size()));
}

}  // namespace

struct DriverStack::Impl {
  Unit* unit = nullptr;
  std::shared_ptr<uac2::Uac2Function> function;
  usb::Speed speed;
  std::vector<uint8_t> raw;
  std::shared_ptr<usb::Device> device;
  std::unique_ptr<kernel::Driver> driver;
  std::unique_ptr<kernel::DeviceNode> node;
  bool started = false;
  NTSTATUS start_status = STATUS_SUCCESS;
  uint64_t latency_seed = 0x4B4F5256;

  WDF_DEVICE_CONTEXT* context() const {
    if (!node || !node->added()) return nullptr;
    return QuenbyContextFromKsDevice(node->ks_device());
  }
};

DriverStack::DriverStack(Unit& unit, bool high_speed) : impl_(new Impl) {
  impl_->unit = &unit;
  impl_->function = uac2::make_unit_function(unit);
  impl_->speed = high_speed ? usb::Speed::High : usb::Speed::Full;
  impl_->raw = impl_->function->configuration_descriptor(impl_->speed);
}

DriverStack::DriverStack(Unit& unit, bool high_speed, std::vector<uint8_t> descriptor, ClockRates rates)
    : impl_(new Impl) {
  impl_->unit = &unit;
  impl_->raw = descriptor;
  impl_->function = uac2::make_unit_function(unit, std::move(descriptor), std::move(rates));
  impl_->speed = high_speed ? usb::Speed::High : usb::Speed::Full;
}

DriverStack::DriverStack(std::vector<uint8_t> descriptor, ClockRates rates, bool high_speed)
    : impl_(new Impl) {
  impl_->raw = descriptor;
  impl_->function = uac2::make_raw_function(std::move(descriptor), std::move(rates));
  impl_->speed = high_speed ? usb::Speed::High : usb::Speed::Full;
}

DriverStack::~DriverStack() {
  if (impl_->node || impl_->driver) remove();
}

bool DriverStack::plug(std::string* error) {
  Clock::instance().attach_current_thread();
  if (impl_->node) {
    if (error) *error = "already plugged";
    return false;
  }
  if (!impl_->device) {
    impl_->device = std::make_shared<usb::Device>(impl_->function, impl_->speed);
    // As real hosts and units are: completions late and in batches (by a
    // fixed seed, so virtual runs stay deterministic), reported together at
    // most every 4 ms while the driver keeps 2 ms or more queued (a host
    // controller with interrupt moderation), feedback that wanders.
    const uint32_t per_frame = impl_->speed == usb::Speed::High ? 8 : 1;
    impl_->device->set_completion_latency(impl_->latency_seed, per_frame);
    impl_->device->set_completion_moderation(4 * per_frame, 2 * per_frame);
    if (impl_->unit != nullptr) impl_->unit->audio().set_feedback_wander(0.25);
  } else {
    impl_->device->plug();
  }
  if (!impl_->driver) {
    // Installed as the service "tarrow", the name clients look the unit up by.
    NTSTATUS s = kernel::Driver::load(DriverEntry, u"tarrow", &impl_->driver);
    if (!NT_SUCCESS(s)) {
      if (error) *error = "the driver did not load";
      return false;
    }
    impl_->driver->set_driver_tags({QUENBY_MEMORY_TAG, QUENBY_DRIVER_TAG});
  }
  // The device's registry properties, as the INF's .HW section sets them.
  kernel::DeviceProperties properties;
  properties.characteristics = korvel::devhost::kQuenbyDeviceCharacteristics;
  properties.security = korvel::devhost::kQuenbyDeviceSecurity;
  impl_->node = std::make_unique<kernel::DeviceNode>(*impl_->driver, impl_->device, properties);
  NTSTATUS s = impl_->node->add();
  if (!NT_SUCCESS(s)) {
    impl_->node.reset();
    if (error) *error = "the driver refused to add the device";
    return false;
  }
  s = impl_->node->start();
  impl_->start_status = s;
  impl_->started = NT_SUCCESS(s);
  if (!impl_->started && error != nullptr) {
    const WDF_DEVICE_CONTEXT* ctx = impl_->context();
    *error = ctx != nullptr ? start_error(ctx, s, impl_->raw) : "start failed";
  }
  return impl_->started;
}

void DriverStack::surprise_remove() {
  if (impl_->device) impl_->device->unplug();
  if (impl_->node && impl_->node->added()) impl_->node->surprise_remove();
}

void DriverStack::remove() {
  Clock::instance().attach_current_thread();
  if (impl_->node) {
    if (impl_->node->added()) impl_->node->remove();
    impl_->node.reset();
  }
  impl_->started = false;
  impl_->driver.reset();
}

void DriverStack::unplug() {
  surprise_remove();
  remove();
}

bool DriverStack::plugged() const {
  return impl_->node != nullptr;
}
bool DriverStack::started() const {
  return impl_->started;
}

int32_t DriverStack::set_power(int device_state) {
  if (!impl_->node) return STATUS_NO_SUCH_DEVICE;
  return impl_->node->set_power(DEVICE_POWER_STATE(device_state));
}

int32_t DriverStack::system_sleep(uint32_t ms) {
  if (!impl_->node) return STATUS_NO_SUCH_DEVICE;
  return impl_->node->system_sleep(ms);
}

uint32_t DriverStack::driver_power_state() const {
  const WDF_DEVICE_CONTEXT* ctx = impl_->context();
  return ctx == nullptr ? 0 : ctx->PowerState;
}

void DriverStack::set_drift_ppm(double ppm) {
  if (impl_->unit != nullptr) impl_->unit->audio().set_drift_ppm(ppm);
}

void DriverStack::set_loopback(bool on) {
  if (impl_->unit != nullptr) impl_->unit->audio().set_loopback(on);
}

AudioCounters DriverStack::audio_counters() const {
  return impl_->unit != nullptr ? impl_->unit->audio().counters() : AudioCounters{};
}

usb::Device* DriverStack::bus() {
  return impl_->device.get();
}

bool DriverStack::stop_and_start() {
  if (!impl_->node || !impl_->started) return false;
  if (!NT_SUCCESS(impl_->node->stop())) return false;
  impl_->started = NT_SUCCESS(impl_->node->start());
  return impl_->started;
}

void DriverStack::set_render_tap(UnitAudio::RenderTap tap) {
  if (impl_->unit != nullptr) impl_->unit->audio().set_render_tap(std::move(tap));
}

PoolTagUsage DriverStack::pool(const std::string& tag) {
  verifier::TagUsage u = verifier::pool_usage(tag_of(tag));
  return {u.outstanding, u.outstanding_bytes};
}

StartReport DriverStack::report() const {
  StartReport r;
  r.high_speed = impl_->speed == usb::Speed::High;
  const WDF_DEVICE_CONTEXT* ctx = impl_->context();
  if (ctx == nullptr) {
    r.error = "the device was not added";
    return r;
  }
  r.ok = impl_->started;
  if (!r.ok) r.error = start_error(ctx, impl_->start_status, impl_->raw);
  if (const auto f = usb::audio_function(impl_->raw)) {
    r.function = true;
    r.function_first_interface = f->first_interface;
    r.function_interfaces.assign(f->interfaces.begin(), f->interfaces.end());
  }
  const USB_AUDIO_TOPOLOGY* t = &ctx->Topology;
  const bool rates_read = ctx->RateMemory != nullptr;
  auto rate_list = [&](ULONG d) -> const uint8_t* {
    return rates_read ? QuenbyRateList(const_cast<WDF_DEVICE_CONTEXT*>(ctx), d) : nullptr;
  };
  const bool limits_known = ctx->StartFailure == QuenbyStartOk || ctx->StartFailure > QuenbyStartRates;
  fill_path(&r.render, t->RenderPath, t->RenderSlots, t->HasRenderInterface != 0,
            limits_known ? &ctx->Dir[QUENBY_DIR_RENDER].Limits : nullptr, rate_list(QUENBY_DIR_RENDER),
            ctx->Dir[QUENBY_DIR_RENDER].RateListBytes);
  fill_path(&r.capture, t->CapturePath, t->CaptureSlots, t->HasCaptureInterface != 0,
            limits_known && TopologyHasCapture(t) ? &ctx->Dir[QUENBY_DIR_CAPTURE].Limits : nullptr,
            rate_list(QUENBY_DIR_CAPTURE), ctx->Dir[QUENBY_DIR_CAPTURE].RateListBytes);
  return r;
}

}  // namespace korvel::sim::devhost

namespace korvel::sim::devhost {
namespace {

class KernelFile : public DriverFile {
 public:
  explicit KernelFile(std::unique_ptr<kernel::DeviceFile> f) : file_(std::move(f)) {}
  int32_t ioctl(uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
                uint64_t* information) override {
    ULONG_PTR info = 0;
    NTSTATUS status = file_->ioctl(code, in, in_len, out, out_len, &info);
    *information = info;
    return status;
  }
  int32_t request(uint8_t major) override { return file_->request(major); }

 private:
  std::unique_ptr<kernel::DeviceFile> file_;
};

}  // namespace

std::vector<DeviceInterface> DriverStack::interfaces() const {
  std::vector<DeviceInterface> out;
  if (!impl_->node || !impl_->started) return out;
  for (const auto& f : impl_->node->filter_factories()) {
    DeviceInterface d;
    d.reference = f.reference_string;
    for (ULONG i = 0; f.descriptor != nullptr && i < f.descriptor->CategoriesCount; ++i) {
      const auto* g = reinterpret_cast<const uint8_t*>(&f.descriptor->Categories[i]);
      d.categories.emplace_back(g, g + sizeof(GUID));
    }
    out.push_back(std::move(d));
  }
  return out;
}

int32_t DriverStack::open(const std::u16string& name, std::unique_ptr<DriverFile>* out) {
  return open(name, security::kGenericRead | security::kGenericWrite, security::console_caller(1000), out);
}

int32_t DriverStack::open(const std::u16string& name, uint32_t access, const security::Caller& caller,
                          std::unique_ptr<DriverFile>* out) {
  if (!impl_->node || !impl_->started || impl_->node->fdo() == nullptr) return STATUS_NO_SUCH_DEVICE;
  std::unique_ptr<kernel::DeviceFile> file;
  NTSTATUS status = kernel::DeviceFile::open(impl_->node->fdo(), name, access, caller, &file);
  if (NT_SUCCESS(status)) *out = std::make_unique<KernelFile>(std::move(file));
  return status;
}

korvel::devhost::ClientClock simulated_client_clock() {
  Clock& clock = Clock::instance();
  korvel::devhost::ClientClock cc;
  cc.now_ns = [&clock] { return clock.now_ns(); };
  cc.sleep_ns = [&clock](uint64_t ns) { clock.sleep_for(ns); };
  // The workers' ends are waited for in the clock (each runs in its turn);
  // the joins then find them leaving.
  struct Workers {
    int started = 0, left = 0;
  };
  auto workers = std::make_shared<Workers>();
  cc.spawning = [&clock, workers] {
    ++workers->started;
    return clock.thread_created();
  };
  cc.thread_enter = [&clock](void* ticket) { clock.adopt_current_thread(ticket); };
  cc.thread_leave = [&clock, workers] {
    clock.signal([&workers] { ++workers->left; });
    clock.detach_current_thread();
  };
  cc.join_begin = [&clock, workers] {
    clock.wait([&workers] { return workers->left == workers->started; }, Clock::kForever);
  };
  cc.join_end = [] {};
  return cc;
}

}  // namespace korvel::sim::devhost
