// quenby behind a published unit: the hooks that make a plug the driver's
// add and start, an unplug its surprise removal and removal, and every client
// handle a handle on the driver's own dispatch.
#ifndef KORVEL_DEVHOST_DRIVER_HOOKS_H
#define KORVEL_DEVHOST_DRIVER_HOOKS_H

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "driver_stack.h"
#include "ks_client.h"
#include "published_device.h"

namespace korvel::devhost {

// The unit and the driver stack on it; the unit outlives its stack.
struct DriverSlot {
  std::shared_ptr<sim::Unit> unit;
  std::unique_ptr<sim::devhost::DriverStack> stack;
};

// Audio played through the KS pins of the slot's current stack, as the
// Windows audio engine would, while it is switched on and the stack is
// started: a session starts after each plug and ends before each unplug,
// so that no pin outlives its device. The session runs in a thread of its
// own and takes no lock of the host's; it is stopped and joined with none
// of its own held.
class AudioPlayer {
 public:
  AudioPlayer(DriverSlot* slot, sim::devhost::StreamOptions options, bool on);
  ~AudioPlayer();
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

  // `stream on` / `stream off`.
  void set_on(bool on);
  bool on() const;
  // The stack in the slot has started / is about to go.
  void attach();
  void detach();

 private:
  // One session: its thread, the flag that stops it, and whether it ended
  // by itself (a failure, reported on standard error).
  struct Run {
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
  };
  void start_locked();
  void stop();

  DriverSlot* slot_;
  const sim::devhost::StreamOptions options_;
  mutable std::mutex m_;
  bool on_;
  bool attached_ = false;
  std::unique_ptr<Run> run_;
};

// Hooks that keep the current unit and its stack in *slot. One driver per
// process: a new model gets a new stack on a new unit.
// A non-empty `descriptor` gives every unit that USB function instead of its
// model's (its clock sources offer `rates`). With a `player`, its sessions
// follow the plugs and unplugs, and the host's stream command switches it.
// Every unit sends its feedback in `feedback_format`.
DeviceHooks driver_hooks(DriverSlot* slot, bool high_speed, std::vector<uint8_t> descriptor = {},
                         sim::ClockRates rates = {}, AudioPlayer* player = nullptr,
                         sim::FeedbackFormat feedback_format = sim::FeedbackFormat::BusDefault);

}  // namespace korvel::devhost

#endif
