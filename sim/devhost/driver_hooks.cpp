#include "driver_hooks.h"

#include <cstdio>

#include "kernel/clock.h"

namespace korvel::devhost {

AudioPlayer::AudioPlayer(DriverSlot* slot, sim::devhost::StreamOptions options, bool on)
    : slot_(slot), options_(std::move(options)), on_(on) {}

AudioPlayer::~AudioPlayer() {
  stop();
}

bool AudioPlayer::on() const {
  std::lock_guard<std::mutex> l(m_);
  return on_;
}

void AudioPlayer::set_on(bool on) {
  {
    std::lock_guard<std::mutex> l(m_);
    on_ = on;
    if (on) {
      start_locked();
      return;
    }
  }
  stop();
}

void AudioPlayer::attach() {
  std::lock_guard<std::mutex> l(m_);
  attached_ = true;
  start_locked();
}

void AudioPlayer::detach() {
  {
    std::lock_guard<std::mutex> l(m_);
    attached_ = false;
  }
  stop();
}

void AudioPlayer::start_locked() {
  if (!on_ || !attached_ || !slot_->stack) return;
  if (run_) {
    if (!run_->ended.load()) return;  // playing
    run_->thread.join();              // a session that failed: `stream on` tries again
    run_.reset();
  }
  run_ = std::make_unique<Run>();
  Run* run = run_.get();
  sim::devhost::DriverStack* stack = slot_->stack.get();
  run->thread = std::thread([this, run, stack] {
    sim::devhost::StreamReport report;
    std::string error;
    if (!sim::devhost::run_stream_on(*stack, options_, &report, &error, &run->stop))
      std::fprintf(stderr, "korvel-devhost: audio stream: %s\n", error.c_str());
    run->ended.store(true);
  });
}

void AudioPlayer::stop() {
  std::unique_ptr<Run> run;
  {
    std::lock_guard<std::mutex> l(m_);
    run = std::move(run_);
  }
  if (!run) return;
  sim::Clock& clock = sim::Clock::instance();
  clock.signal([&run] { run->stop.store(true); });  // the session's wait sees it
  // On the virtual clock time must move on while this thread waits for the
  // session to close its pins.
  clock.detach_current_thread();
  run->thread.join();
  clock.attach_current_thread();
}

DeviceHooks driver_hooks(DriverSlot* slot, bool high_speed, std::vector<uint8_t> descriptor,
                         sim::ClockRates rates, AudioPlayer* player, sim::FeedbackFormat feedback_format) {
  DeviceHooks hooks;
  hooks.make_unit = [slot, feedback_format](sim::Model m) {
    slot->stack.reset();  // the old unit's stack goes before its unit
    slot->unit = std::make_shared<sim::Unit>(m, [] { return sim::Clock::instance().now_ns() / 1000; });
    slot->unit->audio().set_feedback_format(feedback_format);
    return slot->unit;
  };
  hooks.plug = [slot, high_speed, descriptor, rates, player](sim::Unit& unit) -> std::string {
    if (!slot->stack) {
      slot->stack = descriptor.empty()
                        ? std::make_unique<sim::devhost::DriverStack>(unit, high_speed)
                        : std::make_unique<sim::devhost::DriverStack>(unit, high_speed, descriptor, rates);
    }
    std::string why;
    if (slot->stack->plug(&why)) {
      if (player != nullptr) player->attach();
      return {};
    }
    slot->stack->unplug();
    return "quenby refused the unit: " + why;
  };
  hooks.unplug = [slot, player] {
    if (player != nullptr) player->detach();  // the pins close while the device is there
    if (slot->stack) slot->stack->unplug();
  };
  if (player != nullptr) {
    hooks.stream = [player](bool on) {
      player->set_on(on);
      return std::string();
    };
  }
  hooks.sleep = [slot](uint32_t ms) -> std::string {
    if (!slot->stack) return "the unit is not plugged in";
    const int32_t status = slot->stack->system_sleep(ms);
    if (status >= 0) return {};
    char why[64];
    std::snprintf(why, sizeof(why), "the driver did not power up again (0x%08X)", unsigned(status));
    return why;
  };
  // Clients reach the unit through quenby's own dispatch, and find it by the
  // interfaces quenby registered on the started device.
  hooks.interfaces = [slot] {
    return slot->stack ? slot->stack->interfaces() : std::vector<sim::devhost::DeviceInterface>{};
  };
  hooks.open_file = [slot](const std::u16string& name, uint32_t access, const sim::security::Caller& caller,
                           std::unique_ptr<sim::devhost::DriverFile>* out) {
    return slot->stack ? slot->stack->open(name, access, caller, out) : int32_t(wire::kStatusNoSuchDevice);
  };
  return hooks;
}

}  // namespace korvel::devhost
