// The simulated USB device and its default pipe.
#include "usb/device.h"

#include <algorithm>
#include <cstring>

#include "kernel/clock.h"

namespace korvel::sim::usb {

namespace {

constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;

}  // namespace

Device::Device(std::shared_ptr<Function> function, Speed speed)
    : function_(std::move(function)), speed_(speed), config_(function_->configuration_descriptor(speed)) {
  // Room for what a few streams keep queued: no allocation while streaming.
  queue_.reserve(64);
  finished_.reserve(64);
  active_.reserve(64);
}

std::vector<uint8_t> Device::device_descriptor() const {
  // USB 2.0, a composite device of interface associations (class EF/02/01),
  // 64-byte default pipe, one configuration; the function's IDs.
  const DeviceIdentity id = function_->identity();
  std::vector<uint8_t> d = {18, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 64,   0,
                            0,  0,    0,    0,    0,    0x01, 0x02, 0x03, 0x01};
  const uint16_t words[] = {id.vendor_id, id.product_id, id.release};
  for (int i = 0; i < 3; ++i) {
    d[8 + 2 * i] = uint8_t(words[i]);
    d[9 + 2 * i] = uint8_t(words[i] >> 8);
  }
  return d;
}

bool Device::connected() const {
  std::lock_guard<std::mutex> g(m_);
  return connected_;
}

Device::~Device() {
  std::vector<IsoTransfer*> left;
  {
    std::lock_guard<std::mutex> g(m_);
    left = take_all_locked();
  }
  complete(left, IsoOutcome::DeviceGone);
  closing_ = true;
  Clock::instance().disarm(&clock_timer_);
}

void Device::complete(const std::vector<IsoTransfer*>& done, IsoOutcome outcome) {
  for (IsoTransfer* t : done) t->iso_complete(outcome);
}

void Device::unplug() {
  std::vector<IsoTransfer*> gone;
  std::vector<IsoTransfer*> due;
  {
    std::lock_guard<std::mutex> g(m_);
    catch_up_locked(&due);
    connected_ = false;
    configuration_ = 0;
    alternate_.clear();
    endpoints_.clear();
    gone = take_all_locked();
  }
  // What the host controller had queued for the device ends now.
  complete(due, IsoOutcome::Completed);
  complete(gone, IsoOutcome::DeviceGone);
}

void Device::suspend() {
  std::vector<IsoTransfer*> gone;
  std::vector<IsoTransfer*> due;
  {
    std::lock_guard<std::mutex> g(m_);
    catch_up_locked(&due);
    suspended_ = true;
    gone.swap(queue_);
  }
  complete(due, IsoOutcome::Completed);
  complete(gone, IsoOutcome::DeviceGone);
}

void Device::resume() {
  std::lock_guard<std::mutex> g(m_);
  suspended_ = false;
}

bool Device::suspended() const {
  std::lock_guard<std::mutex> g(m_);
  return suspended_;
}

void Device::lose_schedule() {
  suspend();
  set_frame_number(frame_number() + 0x80000000u);
}

void Device::set_completion_latency(uint64_t seed, uint32_t max_intervals) {
  std::lock_guard<std::mutex> g(m_);
  rng_ = max_intervals == 0 ? 0 : (seed | 1);
  max_latency_ = max_intervals;
}

void Device::set_completion_moderation(uint32_t intervals, uint32_t guard) {
  std::lock_guard<std::mutex> g(m_);
  moderation_ = intervals;
  guard_ = guard;
}

void Device::refuse_iso(uint8_t endpoint, uint64_t until_ns, uint64_t max_refusals) {
  std::lock_guard<std::mutex> g(m_);
  refuse_endpoint_ = endpoint;
  refuse_until_ns_ = until_ns;
  refusals_left_ = max_refusals;
}

void Device::delay_next_timer_start(uint64_t ns) {
  std::lock_guard<std::mutex> g(m_);
  timer_start_delay_ns_ = ns;
}

uint64_t Device::iso_submissions() const {
  std::lock_guard<std::mutex> g(m_);
  return submissions_;
}

uint64_t Device::iso_bad_start_frames() const {
  std::lock_guard<std::mutex> g(m_);
  return bad_start_frames_;
}

void Device::plug() {
  std::lock_guard<std::mutex> g(m_);
  connected_ = true;
  configuration_ = 0;
  alternate_.clear();
  endpoints_.clear();
}

bool Device::has_setting(uint8_t interface_number, uint8_t alternate_setting) const {
  size_t i = 0;
  while (i + 2 <= config_.size()) {
    uint8_t len = config_[i];
    if (len < 2 || i + len > config_.size()) break;
    if (config_[i + 1] == 0x04 && len >= 9 && config_[i + 2] == interface_number &&
        config_[i + 3] == alternate_setting) {
      return true;
    }
    i += len;
  }
  return false;
}

Result Device::control_transfer(const Setup& setup, uint8_t* data, uint16_t* transferred) {
  *transferred = 0;
  {
    std::lock_guard<std::mutex> g(m_);
    if (!connected_) return Result::NoDevice;
  }
  const uint8_t type = (setup.bmRequestType >> 5) & 3;
  const bool in = (setup.bmRequestType & 0x80) != 0;
  if (type == 0) {
    switch (setup.bRequest) {
      case kGetDescriptor: {
        if (!in) return Result::Stall;
        const uint8_t kind = uint8_t(setup.wValue >> 8);
        std::vector<uint8_t> d;
        if (kind == 0x01) {
          d = device_descriptor();
        } else if (kind == 0x02) {
          d = config_;
        } else {
          return Result::Stall;
        }
        uint16_t n = uint16_t(d.size() < setup.wLength ? d.size() : setup.wLength);
        if (n != 0) std::memcpy(data, d.data(), n);
        *transferred = n;
        return Result::Ok;
      }
      case kSetConfiguration:
        return set_configuration(uint8_t(setup.wValue));
      case kSetInterface:
        return set_interface(uint8_t(setup.wIndex), uint8_t(setup.wValue));
      case kGetConfiguration:
        if (!in || setup.wLength < 1) return Result::Stall;
        data[0] = configuration();
        *transferred = 1;
        return Result::Ok;
      case kGetInterface: {
        if (!in || setup.wLength < 1) return Result::Stall;
        int alt = alternate_setting(uint8_t(setup.wIndex));
        if (alt < 0) return Result::Stall;
        data[0] = uint8_t(alt);
        *transferred = 1;
        return Result::Ok;
      }
      case kGetStatus:
        if (!in || setup.wLength < 2) return Result::Stall;
        data[0] = 0;
        data[1] = 0;
        *transferred = 2;
        return Result::Ok;
      default:
        return Result::Stall;
    }
  }
  Result r = function_->control(setup, data, transferred);
  if (!in) *transferred = r == Result::Ok ? setup.wLength : 0;
  return r;
}

Result Device::set_configuration(uint8_t value) {
  std::vector<IsoTransfer*> due;
  {
    std::lock_guard<std::mutex> g(m_);
    if (!connected_) return Result::NoDevice;
    catch_up_locked(&due);
    uint8_t own = config_.size() >= 9 ? config_[5] : 0;
    if (value != 0 && value != own) return Result::Stall;
    configuration_ = value;
    alternate_.clear();
    if (value != 0) {
      size_t i = 0;
      while (i + 2 <= config_.size()) {
        uint8_t len = config_[i];
        if (len < 2 || i + len > config_.size()) break;
        if (config_[i + 1] == 0x04 && len >= 9 && config_[i + 3] == 0) alternate_[config_[i + 2]] = 0;
        i += len;
      }
    }
    update_endpoints_locked();
  }
  complete(due, IsoOutcome::Completed);
  cancel_orphans();
  function_->configuration_selected(value);
  return Result::Ok;
}

Result Device::set_interface(uint8_t interface_number, uint8_t alternate_setting) {
  std::vector<IsoTransfer*> due;
  {
    std::lock_guard<std::mutex> g(m_);
    if (!connected_) return Result::NoDevice;
    catch_up_locked(&due);
    if (configuration_ == 0) return Result::Stall;
    if (stall_set_interface_ > 0) {
      --stall_set_interface_;
      return Result::Stall;
    }
    if (!has_setting(interface_number, alternate_setting)) return Result::Stall;
    alternate_[interface_number] = alternate_setting;
    ++set_interface_count_;
    update_endpoints_locked();
  }
  complete(due, IsoOutcome::Completed);
  cancel_orphans();
  function_->interface_selected(interface_number, alternate_setting);
  return Result::Ok;
}

int Device::alternate_setting(uint8_t interface_number) const {
  std::lock_guard<std::mutex> g(m_);
  auto it = alternate_.find(interface_number);
  return it == alternate_.end() ? -1 : it->second;
}

uint8_t Device::configuration() const {
  std::lock_guard<std::mutex> g(m_);
  return configuration_;
}

uint64_t Device::set_interface_count() const {
  std::lock_guard<std::mutex> g(m_);
  return set_interface_count_;
}

void Device::stall_next_set_interface(uint32_t n) {
  std::lock_guard<std::mutex> g(m_);
  stall_set_interface_ = n;
}

uint32_t Device::frame_number() const {
  return uint32_t(Clock::instance().now_ns() / 1000000) + frame_base_.load();
}

void Device::set_frame_number(uint32_t frame) {
  std::lock_guard<std::mutex> g(m_);
  frame_base_.store(frame - uint32_t(Clock::instance().now_ns() / 1000000));
}

// ---------------------------------------------------------------------------
// Isochronous transfers
// ---------------------------------------------------------------------------

void Device::update_endpoints_locked() {
  // The isochronous endpoints of every interface's current alternate setting.
  endpoints_.clear();
  size_t i = 0;
  bool active = false;
  while (i + 2 <= config_.size()) {
    uint8_t len = config_[i];
    if (len < 2 || i + len > config_.size()) break;
    if (config_[i + 1] == 0x04 && len >= 9) {
      auto it = alternate_.find(config_[i + 2]);
      active = configuration_ != 0 && it != alternate_.end() && it->second == config_[i + 3];
    } else if (config_[i + 1] == 0x05 && len >= 7 && active && (config_[i + 3] & 3) == 1) {
      uint16_t w = uint16_t(config_[i + 4] | config_[i + 5] << 8);
      uint8_t b = std::min<uint8_t>(std::max<uint8_t>(config_[i + 6], 1), 16);
      Endpoint e;
      e.address = config_[i + 2];
      e.max_bytes = uint32_t(w & 0x7FF) * (1 + ((w >> 11) & 3));
      // The host polls a high-speed endpoint every 2^(bInterval-1)
      // microframes; the Windows USB stack polls full-speed isochronous
      // endpoints every frame whatever bInterval says.
      e.period = speed_ == Speed::High ? 1u << (b - 1) : 1;
      endpoints_.push_back(e);
    }
    i += len;
  }
}

const Device::Endpoint* Device::endpoint_locked(uint8_t address) const {
  for (const Endpoint& e : endpoints_) {
    if (e.address == address) return &e;
  }
  return nullptr;
}

void Device::cancel_orphans() {
  // Transfers of endpoints that left with their alternate setting end as cancelled.
  std::vector<IsoTransfer*> orphans;
  std::vector<IsoTransfer*> due;
  {
    std::lock_guard<std::mutex> g(m_);
    catch_up_locked(&due);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (endpoint_locked((*it)->endpoint) == nullptr) {
        orphans.push_back(*it);
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
    rearm_locked();
  }
  complete(due, IsoOutcome::Completed);
  complete(orphans, IsoOutcome::Cancelled);
}

std::vector<IsoTransfer*> Device::take_all_locked() {
  std::vector<IsoTransfer*> all;
  all.swap(queue_);
  // Transfers that ran to the end but were not reported yet end with the rest.
  for (auto& f : finished_) all.push_back(f.first);
  finished_.clear();
  return all;
}

IsoSubmit Device::submit_iso(IsoTransfer* t) {
  std::lock_guard<std::mutex> g(m_);
  ++submissions_;
  const IsoSubmit result = submit_locked(t);
  if (result == IsoSubmit::BadStartFrame) ++bad_start_frames_;
  return result;
}

IsoSubmit Device::submit_locked(IsoTransfer* t) {
  if (!connected_) return IsoSubmit::NoDevice;
  if (suspended_) return IsoSubmit::Refused;
  if (refusals_left_ != 0 && t->endpoint == refuse_endpoint_ &&
      Clock::instance().now_ns() < refuse_until_ns_) {
    --refusals_left_;
    return IsoSubmit::Refused;
  }
  const Endpoint* e = endpoint_locked(t->endpoint);
  if (e == nullptr) return IsoSubmit::BadEndpoint;
  const uint32_t per_frame = intervals_per_frame();
  // An endpoint served several times a frame takes whole frames of packets.
  const uint32_t packets_per_frame = e->period < per_frame ? per_frame / e->period : 1;
  if (t->packet_count == 0 || t->packet_count % packets_per_frame != 0 || t->packets == nullptr ||
      t->buffer == nullptr) {
    return IsoSubmit::BadPacketCount;
  }
  // The start frame must lie ahead: the current frame has begun already.
  // One reading of the clock for both: the frame counter wraps, the bus's
  // intervals are counted in 64 bits from the clock's zero.
  const uint64_t now_frames = Clock::instance().now_ns() / 1000000;
  const uint32_t current = uint32_t(now_frames) + frame_base_.load();
  const int32_t ahead = int32_t(t->start_frame - current);
  if (ahead <= 0 || ahead > 1024) return IsoSubmit::BadStartFrame;
  // An endpoint polled less often than every microframe has its slot where
  // the controller's schedule puts it, not where the driver would like it:
  // here the last microframe of its period, so that its packets run and its
  // transfers complete as late as a real controller may have them.
  const uint64_t first = (now_frames + uint64_t(ahead)) * per_frame + std::min(e->period, per_frame) - 1;
  // Two transfers cannot share an interval of one endpoint.
  for (IsoTransfer* q : queue_) {
    if (q->endpoint != t->endpoint) continue;
    uint64_t q_last = q->first_interval_ + uint64_t(q->period_) * (q->packet_count - 1);
    uint64_t t_last = first + uint64_t(e->period) * (t->packet_count - 1);
    if (first <= q_last && q->first_interval_ <= t_last) return IsoSubmit::BadStartFrame;
  }
  t->first_interval_ = first;
  t->period_ = e->period;
  t->max_bytes_ = e->max_bytes;
  t->in_ = (t->endpoint & 0x80) != 0;
  t->done_ = 0;
  for (uint32_t k = 0; k < t->packet_count; ++k) t->packets[k].status = IsoPacketStatus::Late;
  queue_.push_back(t);
  if (!timer_running_) {
    if (timer_start_delay_ns_ != 0) {
      const uint64_t delay = timer_start_delay_ns_;
      timer_start_delay_ns_ = 0;
      Clock::instance().sleep_for(delay);
    }
    start_timer_locked();
  } else if (first + uint64_t(e->period) * (t->packet_count - 1) + 1 < timer_wake_) {
    rearm_locked();  // a transfer that ends later moves no wake earlier
  }
  return IsoSubmit::Queued;
}

bool Device::cancel_iso(IsoTransfer* t) {
  std::vector<IsoTransfer*> due;
  bool found = false;
  {
    std::lock_guard<std::mutex> g(m_);
    catch_up_locked(&due);
    auto it = std::find(queue_.begin(), queue_.end(), t);
    if (it != queue_.end()) {
      queue_.erase(it);
      found = true;
      rearm_locked();
    }
  }
  complete(due, IsoOutcome::Completed);
  if (found) t->iso_complete(IsoOutcome::Cancelled);
  return found;
}

size_t Device::cancel_iso_endpoint(uint8_t endpoint) {
  std::vector<IsoTransfer*> taken;
  std::vector<IsoTransfer*> due;
  {
    std::lock_guard<std::mutex> g(m_);
    catch_up_locked(&due);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if ((*it)->endpoint == endpoint) {
        taken.push_back(*it);
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
    rearm_locked();
  }
  complete(due, IsoOutcome::Completed);
  complete(taken, IsoOutcome::Cancelled);
  return taken.size();
}

size_t Device::iso_queued() const {
  std::lock_guard<std::mutex> g(m_);
  return queue_.size() + finished_.size();
}

uint64_t Device::iso_bytes_out() const {
  std::lock_guard<std::mutex> g(m_);
  return bytes_out_;
}

uint64_t Device::iso_bytes_in() const {
  std::lock_guard<std::mutex> g(m_);
  return bytes_in_;
}

void Device::timer_fired(void* device) {
  static_cast<Device*>(device)->tick();
}

void Device::tick() {
  // The completions of one run, on storage the running thread keeps (no
  // allocation per run; a nested run would take fresh storage).
  static thread_local std::vector<IsoTransfer*> storage;
  std::vector<IsoTransfer*> due;
  due.swap(storage);
  {
    std::lock_guard<std::mutex> g(m_);
    catch_up_locked(&due);
    if (closing_ || (queue_.empty() && finished_.empty())) {
      timer_running_ = false;
    } else {
      timer_wake_ = next_wake_locked();
      Clock::instance().arm(&clock_timer_, timer_wake_ * interval_ns());
    }
  }
  complete(due, IsoOutcome::Completed);
  due.clear();
  storage.swap(due);
}

void Device::rearm_locked() {
  // What is queued changed: the timer wakes sooner when something is now
  // due sooner (a moderated completion whose endpoint has nothing queued
  // any more is reported at its own time).
  if (!timer_running_) return;
  const uint64_t wake = next_wake_locked();
  if (wake < timer_wake_) {
    timer_wake_ = wake;
    Clock::instance().arm(&clock_timer_, wake * interval_ns());
  }
}

void Device::start_timer_locked() {
  if (timer_running_) return;
  timer_running_ = true;
  // The intervals before now have passed, but not those of what is queued: a
  // submitter held up after choosing its transfer's slot may start the timer
  // after that slot began, and its packets still run in their own intervals.
  next_interval_ = Clock::instance().now_ns() / interval_ns();
  for (IsoTransfer* t : queue_) next_interval_ = std::min(next_interval_, next_packet(t));
  clock_timer_.fire = &Device::timer_fired;
  clock_timer_.context = this;
  timer_wake_ = next_wake_locked();
  Clock::instance().arm(&clock_timer_, timer_wake_ * interval_ns());
}

uint32_t Device::completion_delay_locked() {
  if (rng_ == 0) return 0;
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 7;
  rng_ ^= rng_ << 17;
  return uint32_t(rng_ % (uint64_t(max_latency_) + 1));
}

void Device::run_interval_locked(uint64_t interval) {
  // A packet whose interval the bus has already run past missed its slot:
  // it ends unsent (Late), as a host controller ends an isochronous packet
  // it was too late for, and the bus goes on.
  for (IsoTransfer* t : active_) {
    while (t->done_ < t->packet_count && next_packet(t) < interval) {
      t->packets[t->done_].status = IsoPacketStatus::Late;
      ++t->done_;
    }
  }
  // OUT packets first, then IN, each in submission order.
  for (int pass = 0; pass < 2; ++pass) {
    for (IsoTransfer* t : active_) {
      if (t->in_ != (pass == 1) || t->done_ >= t->packet_count || next_packet(t) != interval) continue;
      IsoPacket& p = t->packets[t->done_];
      if (t->in_) {
        size_t capacity = std::min<size_t>(p.length, t->max_bytes_);
        size_t n = function_->iso_in(t->endpoint, interval, t->buffer + p.offset, capacity);
        if (n > capacity) {
          p.status = IsoPacketStatus::Overrun;
          p.length = 0;
        } else {
          p.status = IsoPacketStatus::Ok;
          p.length = uint32_t(n);
          bytes_in_ += n;
        }
      } else if (p.length > t->max_bytes_) {
        p.status = IsoPacketStatus::TooLong;
      } else {
        function_->iso_out(t->endpoint, interval, t->buffer + p.offset, p.length);
        p.status = IsoPacketStatus::Ok;
        bytes_out_ += p.length;
      }
      ++t->done_;
    }
  }
  for (auto it = active_.begin(); it != active_.end();) {
    IsoTransfer* t = *it;
    if (t->done_ >= t->packet_count) {
      // Reported after the end of its last interval, later by the latency
      // drawn, never before a transfer that ended earlier (batches form).
      uint64_t due = interval + 1 + completion_delay_locked();
      if (!finished_.empty() && due < finished_.back().second) due = finished_.back().second;
      finished_.emplace_back(t, due);
      queue_.erase(std::find(queue_.begin(), queue_.end(), t));
      it = active_.erase(it);
    } else {
      ++it;
    }
  }
}

void Device::catch_up_locked(std::vector<IsoTransfer*>* due) {
  const uint64_t now = Clock::instance().now_ns() / interval_ns();  // intervals before `now` have passed
  if (next_interval_ < now && !queue_.empty()) {
    // The transfers with a packet before `now` (in submission order) are
    // the only ones the intervals run here concern.
    active_.clear();
    for (IsoTransfer* t : queue_) {
      if (t->done_ < t->packet_count && next_packet(t) < now) active_.push_back(t);
    }
    while (!active_.empty()) {
      // Straight to the next interval in which some packet is due.
      uint64_t first = UINT64_MAX;
      for (IsoTransfer* t : active_) {
        if (t->done_ < t->packet_count) first = std::min(first, next_packet(t));
      }
      if (first >= now) break;
      if (first > next_interval_) next_interval_ = first;
      run_interval_locked(next_interval_++);
    }
    active_.clear();
  }
  if (next_interval_ < now) next_interval_ = now;
  size_t n = 0;
  while (n < finished_.size() && finished_[n].second <= now) ++n;
  for (size_t i = 0; i < n; ++i) due->push_back(finished_[i].first);
  finished_.erase(finished_.begin(), finished_.begin() + ptrdiff_t(n));
}

uint64_t Device::next_event_locked() const {
  uint64_t next = UINT64_MAX;
  for (IsoTransfer* t : queue_) {
    next = std::min(next, t->first_interval_ + uint64_t(t->period_) * (t->packet_count - 1) + 1);
  }
  if (!finished_.empty()) next = std::min(next, finished_.front().second);
  return next;
}

uint64_t Device::next_wake_locked() const {
  const uint64_t next = next_event_locked();
  if (moderation_ == 0 || next == UINT64_MAX) return next;
  // The moderation point at or after the next event ...
  uint64_t wake = (next / moderation_ + (next % moderation_ != 0 ? 1 : 0)) * moderation_;
  // ... unless an endpoint with something to report runs short before it:
  // the end of its last queued transfer less the guard (nothing queued: at
  // once). An endpoint address is one of 32.
  uint64_t reach[32];
  bool seen[32] = {};
  auto slot = [](uint8_t endpoint) { return size_t((endpoint & 0x0F) | ((endpoint & 0x80) >> 3)); };
  for (IsoTransfer* q : queue_) {
    const size_t k = slot(q->endpoint);
    const uint64_t end = q->first_interval_ + uint64_t(q->period_) * (q->packet_count - 1) + 1;
    reach[k] = seen[k] ? std::max(reach[k], end) : end;
    seen[k] = true;
  }
  for (const auto& f : finished_) {
    const size_t k = slot(f.first->endpoint);
    if (!seen[k]) reach[k] = 0;
    seen[k] = true;
  }
  for (size_t k = 0; k < 32; ++k) {
    if (!seen[k]) continue;
    const uint64_t limit = reach[k] > guard_ ? reach[k] - guard_ : 0;
    if (limit < wake) wake = std::max(next, limit);
  }
  return wake;
}

}  // namespace korvel::sim::usb
