// What the simulated unit's USB Audio 2.0 function answers on the bus (see
// uac2.h): the class requests to its clock entities (GET RANGE, GET CUR and
// SET CUR of a source's sampling frequency, GET CUR of its validity, a
// selector's input, a multiplier's ratio) and the rate each streaming
// interface runs at; and, for the unit behind it, vendor requests to its
// message firmware, interface selection and the isochronous packets.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "korvel_usb_ids.h"
#include "uac2.h"
#include "usb_audio_descriptors.h"

namespace korvel::sim::uac2 {

namespace {

void put_le(uint8_t* p, uint32_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t get_le(const uint8_t* p, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t(p[i]) << (8 * i);
  return v;
}

// Control selectors and requests of USB Audio 2.0.
constexpr uint8_t kCur = 0x01;
constexpr uint8_t kRange = 0x02;
constexpr uint8_t kSamplingFrequency = 0x01;  // clock source
constexpr uint8_t kClockValid = 0x02;         // clock source
constexpr uint8_t kSelectorControl = 0x01;    // clock selector
constexpr uint8_t kNumerator = 0x01;          // clock multiplier
constexpr uint8_t kDenominator = 0x02;        // clock multiplier

}  // namespace

Uac2Function::Uac2Function(std::vector<uint8_t> high_speed, std::vector<uint8_t> full_speed, ClockRates rates,
                           uint32_t rate)
    : Uac2Function(std::move(high_speed), std::move(full_speed), rates, rates, rate) {}

Uac2Function::Uac2Function(std::vector<uint8_t> high_speed, std::vector<uint8_t> full_speed,
                           ClockRates high_speed_rates, ClockRates full_speed_rates, uint32_t rate)
    : high_speed_(std::move(high_speed)),
      full_speed_(std::move(full_speed)),
      high_speed_rates_(std::move(high_speed_rates)),
      full_speed_rates_(std::move(full_speed_rates)),
      initial_rate_(rate) {
  configuration_descriptor(usb::Speed::High);
}

std::vector<uint8_t> Uac2Function::configuration_descriptor(usb::Speed speed) const {
  // The device reads its descriptors for the speed it enumerates at; its
  // clocks are those of that descriptor from then on, offering that speed's
  // rates. A clock source starts at the rate asked for when it offers it,
  // else at its first rate.
  std::lock_guard<std::mutex> g(m_);
  const std::vector<uint8_t>& config = speed == usb::Speed::High ? high_speed_ : full_speed_;
  ranges_ = (speed == usb::Speed::High ? high_speed_rates_ : full_speed_rates_).subranges();
  entities_ = clock_entities(config);
  streaming_ = streaming_layout(config);
  terminal_clock_ = terminal_clocks(config);
  control_interface_ = control_interface(config);
  bool offered = false;
  for (const RateRange& r : ranges_) offered = offered || r.holds(initial_rate_);
  const uint32_t start = offered || ranges_.empty() ? initial_rate_ : ranges_.front().min;
  for (const ClockEntity& e : entities_) {
    ClockState& st = state_[e.id];
    if (e.kind != ClockEntity::Kind::Source) continue;
    bool holds = false;
    for (const RateRange& r : ranges_) holds = holds || r.holds(st.rate);
    if (!holds) st.rate = start;
  }
  return config;
}

uint32_t Uac2Function::rate() const {
  std::lock_guard<std::mutex> g(m_);
  for (const ClockEntity& e : entities_) {
    if (e.kind == ClockEntity::Kind::Source) return state_[e.id].rate;
  }
  return 0;
}

const ClockEntity* Uac2Function::entity_locked(uint8_t id) const {
  for (const ClockEntity& e : entities_) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

uint32_t Uac2Function::resolve_locked(uint8_t id, int* source) const {
  // Through selectors (their current input) and multipliers (their ratio)
  // to a clock source; a chain longer than the entities loops.
  uint64_t numerator = 1, denominator = 1;
  for (size_t depth = 0; depth <= entities_.size(); ++depth) {
    const ClockEntity* e = entity_locked(id);
    if (e == nullptr) break;
    const ClockState& st = state_[e->id];
    if (e->kind == ClockEntity::Kind::Source) {
      if (source != nullptr) *source = e->id;
      return uint32_t(uint64_t(st.rate) * numerator / denominator);
    }
    if (e->kind == ClockEntity::Kind::Selector) {
      if (st.selected < 1 || st.selected > e->inputs.size()) break;
      id = e->inputs[st.selected - 1];
    } else {
      if (e->inputs.empty() || st.denominator == 0) break;
      numerator *= st.numerator;
      denominator *= st.denominator;
      id = e->inputs.front();
    }
  }
  if (source != nullptr) *source = -1;
  return 0;
}

uint32_t Uac2Function::interface_rate(uint8_t number, int* source) const {
  std::lock_guard<std::mutex> g(m_);
  for (const StreamingInterface& i : streaming_) {
    if (i.number != number) continue;
    auto t = terminal_clock_.find(i.terminal);
    if (t != terminal_clock_.end()) return resolve_locked(t->second, source);
  }
  if (source != nullptr) *source = -1;
  return 0;
}

bool Uac2Function::select_clock_input(uint8_t selector, uint8_t pin) {
  {
    std::lock_guard<std::mutex> g(m_);
    const ClockEntity* e = entity_locked(selector);
    if (e == nullptr || e->kind != ClockEntity::Kind::Selector || pin < 1 || pin > e->inputs.size())
      return false;
    state_[selector].selected = pin;
  }
  clocks_changed();
  return true;
}

bool Uac2Function::set_clock_valid(uint8_t source, bool valid) {
  std::lock_guard<std::mutex> g(m_);
  const ClockEntity* e = entity_locked(source);
  if (e == nullptr || e->kind != ClockEntity::Kind::Source) return false;
  state_[source].valid = valid;
  return true;
}

bool Uac2Function::stall_clock_valid_reads(uint8_t source, bool stall) {
  std::lock_guard<std::mutex> g(m_);
  const ClockEntity* e = entity_locked(source);
  if (e == nullptr || e->kind != ClockEntity::Kind::Source) return false;
  state_[source].valid_stalls = stall;
  return true;
}

bool Uac2Function::set_clock_rate(uint8_t source, uint32_t rate) {
  {
    std::lock_guard<std::mutex> g(m_);
    const ClockEntity* e = entity_locked(source);
    if (e == nullptr || e->kind != ClockEntity::Kind::Source) return false;
    state_[source].rate = rate;
  }
  clocks_changed();
  return true;
}

void Uac2Function::set_multiplier(uint8_t id, uint16_t numerator, uint16_t denominator) {
  {
    std::lock_guard<std::mutex> g(m_);
    state_[id].numerator = numerator;
    state_[id].denominator = denominator;
  }
  clocks_changed();
}

usb::Result Uac2Function::vendor(const usb::Setup& setup, uint8_t* data, uint16_t* transferred) {
  return usb::Result::Stall;
}

usb::Result Uac2Function::clock_request_locked(const ClockEntity& e, const usb::Setup& s, uint8_t* data,
                                               uint16_t* transferred, bool* changed) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  const uint8_t control = uint8_t(s.wValue >> 8);
  if ((s.wValue & 0xFF) != 0) return usb::Result::Stall;  // clock controls have no channels
  ClockState& st = state_[e.id];
  // A control the descriptor does not announce (bmControls D1..0 per
  // control, 0: absent) stalls; a read-only one stalls its SET.
  auto announced = [&](unsigned index) { return (e.controls >> (2 * (index - 1))) & 3; };
  switch (e.kind) {
    case ClockEntity::Kind::Source:
      if (control == kSamplingFrequency && announced(1) != 0) {
        if (in && s.bRequest == kRange) {
          constexpr size_t kSubrange = sizeof(Uac2Range32Subrange);
          std::vector<uint8_t> reply(sizeof(Uac2Range32Header) + kSubrange * ranges_.size());
          put_le(reply.data(), uint32_t(ranges_.size()), sizeof(Uac2Range32Header::wNumSubRanges));
          for (size_t i = 0; i < ranges_.size(); ++i) {
            uint8_t* at = &reply[sizeof(Uac2Range32Header) + kSubrange * i];
            put_le(at + offsetof(Uac2Range32Subrange, dMIN), ranges_[i].min, 4);
            put_le(at + offsetof(Uac2Range32Subrange, dMAX), ranges_[i].max, 4);
            put_le(at + offsetof(Uac2Range32Subrange, dRES), ranges_[i].res, 4);
          }
          const uint16_t n = uint16_t(std::min<size_t>(reply.size(), s.wLength));
          std::memcpy(data, reply.data(), n);
          *transferred = n;
          return usb::Result::Ok;
        }
        if (in && s.bRequest == kCur && s.wLength >= 4) {
          put_le(data, st.rate, 4);
          *transferred = 4;
          return usb::Result::Ok;
        }
        if (!in && s.bRequest == kCur && s.wLength == 4 && announced(1) == 3) {
          const uint32_t r = get_le(data, 4);
          bool holds = false;
          for (const RateRange& range : ranges_) holds = holds || range.holds(r);
          if (!holds) return usb::Result::Stall;
          *changed = st.rate != r;
          st.rate = r;
          *transferred = 4;
          return usb::Result::Ok;
        }
      } else if (control == kClockValid && announced(2) != 0 && !st.valid_stalls && in &&
                 s.bRequest == kCur && s.wLength >= 1) {
        data[0] = st.valid ? 1 : 0;
        *transferred = 1;
        return usb::Result::Ok;
      }
      return usb::Result::Stall;
    case ClockEntity::Kind::Selector:
      if (control != kSelectorControl || announced(1) == 0 || s.bRequest != kCur) return usb::Result::Stall;
      if (in && s.wLength >= 1) {
        data[0] = st.selected;
        *transferred = 1;
        return usb::Result::Ok;
      }
      if (!in && s.wLength == 1 && announced(1) == 3 && data[0] >= 1 && data[0] <= e.inputs.size()) {
        *changed = st.selected != data[0];
        st.selected = data[0];
        *transferred = 1;
        return usb::Result::Ok;
      }
      return usb::Result::Stall;
    case ClockEntity::Kind::Multiplier:
      if ((control != kNumerator && control != kDenominator) || announced(control) == 0 || !in ||
          s.bRequest != kCur || s.wLength < 2)
        return usb::Result::Stall;
      put_le(data, control == kNumerator ? st.numerator : st.denominator, 2);
      *transferred = 2;
      return usb::Result::Ok;
  }
  return usb::Result::Stall;
}

usb::Result Uac2Function::control(const usb::Setup& setup, uint8_t* data, uint16_t* transferred) {
  *transferred = 0;
  const uint8_t type = (setup.bmRequestType >> 5) & 3;
  if (type == 2) return vendor(setup, data, transferred);
  const bool to_interface = (setup.bmRequestType & 0x1F) == 1;
  if (type != 1 || !to_interface) return usb::Result::Stall;
  bool changed = false;
  usb::Result r = usb::Result::Stall;
  {
    std::lock_guard<std::mutex> g(m_);
    // The clock entities belong to the AudioControl interface: a request
    // that names another interface reaches none of them (USB Audio 2.0,
    // 5.2.2: wIndex holds the entity ID and the interface number).
    if (control_interface_ < 0 || (setup.wIndex & 0xFF) != unsigned(control_interface_))
      return usb::Result::Stall;
    const ClockEntity* e = entity_locked(uint8_t(setup.wIndex >> 8));
    if (e != nullptr) r = clock_request_locked(*e, setup, data, transferred, &changed);
  }
  if (changed) clocks_changed();
  return r;
}

namespace {

usb::Result result_of(TransferResult r) {
  switch (r) {
    case TransferResult::Ok:
      return usb::Result::Ok;
    case TransferResult::Stall:
      return usb::Result::Stall;
    case TransferResult::NoDevice:
      return usb::Result::NoDevice;
    case TransferResult::Timeout:
      return usb::Result::Timeout;
  }
  return usb::Result::Stall;
}

class UnitFunction : public Uac2Function {
 public:
  UnitFunction(Unit& unit, std::vector<uint8_t> high, std::vector<uint8_t> full, ClockRates high_rates,
               ClockRates full_rates)
      : Uac2Function(high, full, high_rates, full_rates, unit.info().sample_rate),
        unit_(unit),
        high_(streaming_layout(high)),
        full_(streaming_layout(full)) {
    push_clocks();
  }

  usb::DeviceIdentity identity() const override {
    usb::DeviceIdentity id;
    id.vendor_id = KORVEL_VID;
    id.product_id = usb_product_id(unit_.model());
    id.release = KORVEL_USB_DEVICE_RELEASE;
    return id;
  }

  std::vector<uint8_t> configuration_descriptor(usb::Speed speed) const override {
    // The device enumerates at this speed: the unit's clocks count their
    // samples per microframe (high speed) or per frame (full speed).
    high_speed_ = speed == usb::Speed::High;
    unit_.audio().set_bus_speed(high_speed_);
    std::vector<uint8_t> config = Uac2Function::configuration_descriptor(speed);
    push_clocks();
    return config;
  }

  void configuration_selected(uint8_t value) override {
    unit_.audio().set_render_format(AudioFormat{});
    unit_.audio().set_capture_format(AudioFormat{});
  }

  void interface_selected(uint8_t interface_number, uint8_t alternate_setting) override {
    for (const StreamingInterface& i : layout()) {
      if (i.number != interface_number) continue;
      AudioFormat f{};
      for (const StreamingSetting& s : i.settings) {
        if (s.alt != alternate_setting) continue;
        f = s.format;
        // The host serves the data endpoint every 2^(bInterval-1)
        // microframes at high speed, every frame at full speed.
        const unsigned b = std::min(std::max(unsigned(s.data_interval), 1u), 16u);
        f.packet_intervals = high_speed_ ? 1u << (b - 1) : 1u;
        f.sync = s.data_sync;
      }
      if (i.render) {
        unit_.audio().set_render_format(f);
      } else {
        unit_.audio().set_capture_format(f);
      }
    }
  }

  void iso_out(uint8_t endpoint, uint64_t interval, const uint8_t* data, size_t length) override {
    if (role(endpoint) == Role::RenderData) unit_.audio().render_packet(interval, data, length);
  }

  size_t iso_in(uint8_t endpoint, uint64_t interval, uint8_t* data, size_t capacity) override {
    uint16_t feedback_bytes = 0;
    switch (role(endpoint, &feedback_bytes)) {
      case Role::CaptureData:
        return unit_.audio().capture_packet(interval, data, capacity);
      case Role::Feedback:
        // As many bytes as the endpoint's wMaxPacketSize allows (3 or 4).
        return unit_.audio().feedback_packet(interval, data, capacity, feedback_bytes);
      default:
        return 0;
    }
  }

 protected:
  usb::Result vendor(const usb::Setup& setup, uint8_t* data, uint16_t* transferred) override {
    if ((setup.bmRequestType & 0x80) != 0) {
      uint16_t sent = 0;
      usb::Result r =
          result_of(unit_.control_in(setup.bRequest, setup.wValue, setup.wIndex, data, setup.wLength, &sent));
      *transferred = r == usb::Result::Ok ? sent : 0;
      return r;
    }
    return result_of(unit_.control_out(setup.bRequest, setup.wValue, setup.wIndex, data, setup.wLength));
  }

  // Each direction runs at the rate of its own clock; one clock source
  // behind both makes them one clock. The unit reports the render side's
  // rate (the capture side's on a unit without render).
  void clocks_changed() override { push_clocks(); }

 private:
  enum class Role { None, RenderData, CaptureData, Feedback };

  void push_clocks() const {
    uint32_t render = 0, capture = 0;
    int render_source = -1, capture_source = -1;
    for (const StreamingInterface& i : layout()) {
      if (i.render) {
        render = interface_rate(i.number, &render_source);
      } else {
        capture = interface_rate(i.number, &capture_source);
      }
    }
    if (render == 0) render = capture;
    if (capture == 0) capture = render;
    if (render == 0) return;
    const bool shared = render_source == capture_source || render_source < 0 || capture_source < 0;
    unit_.set_sample_rate(render);
    unit_.audio().set_rates(render, capture, shared);
  }

  const std::vector<StreamingInterface>& layout() const { return high_speed_ ? high_ : full_; }

  Role role(uint8_t endpoint, uint16_t* feedback_bytes = nullptr) const {
    for (const StreamingInterface& i : layout()) {
      for (const StreamingSetting& s : i.settings) {
        if (s.data_endpoint == endpoint && endpoint != 0)
          return i.render ? Role::RenderData : Role::CaptureData;
        if (s.feedback_endpoint == endpoint && endpoint != 0) {
          if (feedback_bytes != nullptr) *feedback_bytes = s.feedback_bytes;
          return Role::Feedback;
        }
      }
    }
    return Role::None;
  }

  Unit& unit_;
  const std::vector<StreamingInterface> high_, full_;
  mutable std::atomic<bool> high_speed_{true};
};

}  // namespace

std::shared_ptr<Uac2Function> make_unit_function(Unit& unit) {
  const Model m = unit.model();
  FunctionLayout high = model_layout(m, usb::Speed::High), full = model_layout(m, usb::Speed::Full);
  high.implicit_feedback = full.implicit_feedback =
      unit.audio().feedback_format() == FeedbackFormat::Implicit;
  return std::make_shared<UnitFunction>(unit, build_configuration(high, usb::Speed::High),
                                        build_configuration(full, usb::Speed::Full), high.rates, full.rates);
}

std::shared_ptr<Uac2Function> make_unit_function(Unit& unit, std::vector<uint8_t> descriptor,
                                                 ClockRates rates) {
  return std::make_shared<UnitFunction>(unit, descriptor, descriptor, rates, rates);
}

std::shared_ptr<Uac2Function> make_raw_function(std::vector<uint8_t> descriptor, ClockRates rates) {
  std::vector<RateRange> ranges = rates.subranges();
  const uint32_t first = ranges.front().min;
  std::vector<uint8_t> copy = descriptor;
  return std::make_shared<Uac2Function>(std::move(descriptor), std::move(copy), std::move(rates), first);
}

}  // namespace korvel::sim::uac2
