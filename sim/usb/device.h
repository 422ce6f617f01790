// The simulated USB bus with its one device. The device answers the standard
// requests of the default pipe itself (descriptors, configuration, interface
// and alternate-setting selection) and hands class and vendor requests to its
// function; the bus provides the frame number from the simulated clock,
// connection state and surprise removal.
//
// Isochronous transfers are scheduled by frame number. While any is queued
// the bus runs a frame timer, a timer of the one clock. It runs only when a
// transfer is due to complete (or, moderated, at the next moderation point),
// then moves the packets of every bus interval (a 125 us microframe at high
// speed, a 1 ms frame at full speed) that has passed since, in interval
// order (OUT before IN within an interval), between the transfers' buffers
// and the function: the function sees exactly the packets, interval numbers
// and order it would have seen had the timer woken every interval. Anything
// that changes what is queued or selected (cancel, SET_INTERFACE, unplug)
// first catches up the same way.
//
// Harsher than a kind host controller where real ones are: completions come
// late by a pseudo-random number of intervals and in batches (deterministic
// under a seed), and with interrupt moderation several milliseconds of them
// together; a suspended device (its function driver put it in D3) refuses
// transfers and ends those it had queued; and tests can have the controller
// refuse the transfers of an endpoint for a while.
#ifndef KORVEL_SIM_USB_DEVICE_H
#define KORVEL_SIM_USB_DEVICE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/clock.h"

namespace korvel::sim::usb {

enum class Speed { Full, High };

// Outcome of one transfer as the host controller reports it.
enum class Result {
  Ok,        // completed (device-to-host: `transferred` bytes arrived)
  Stall,     // the endpoint answered STALL
  NoDevice,  // nothing on the bus answered
  Timeout,   // the device NAKed until the host gave up (the caller waits out its own time-out)
};

struct Setup {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

// What the device descriptor says the device is.
struct DeviceIdentity {
  uint16_t vendor_id = 0x4B4B;
  uint16_t product_id = 0x0001;
  uint16_t release = 0x0100;  // bcdDevice
};

// What sits behind a device's default pipe besides the standard requests.
class Function {
 public:
  virtual ~Function() = default;
  // Vendor, product and release of the device descriptor.
  virtual DeviceIdentity identity() const { return {}; }
  // The full configuration descriptor (configuration, interfaces, endpoints,
  // class-specific descriptors) for the speed the device runs at.
  virtual std::vector<uint8_t> configuration_descriptor(Speed speed) const = 0;
  // Class and vendor requests. `data` holds wLength bytes; for device-to-host
  // requests the function writes at most wLength bytes and sets *transferred.
  virtual Result control(const Setup& setup, uint8_t* data, uint16_t* transferred) = 0;
  // Notifications of standard requests the device accepted.
  virtual void configuration_selected(uint8_t value) {}
  virtual void interface_selected(uint8_t interface_number, uint8_t alternate_setting) {}
  // Isochronous packets of bus interval `interval` (microframes at high
  // speed, frames at full speed, counted from the clock's zero). OUT: the
  // data the host sent. IN: the function writes at most `capacity` bytes and
  // returns the length of its packet (more than `capacity` means it would
  // have sent more than the host's buffer holds; the bus then drops it).
  virtual void iso_out(uint8_t endpoint, uint64_t interval, const uint8_t* data, size_t length) {}
  virtual size_t iso_in(uint8_t endpoint, uint64_t interval, uint8_t* data, size_t capacity) { return 0; }
};

// Outcome of one isochronous packet.
enum class IsoPacketStatus {
  Ok,
  Late,     // its interval had passed: not sent (the transfer was cancelled or never ran)
  TooLong,  // larger than the endpoint's bytes per interval: not sent
  Overrun,  // IN: the device sent more than the packet's buffer holds
};

struct IsoPacket {
  uint32_t offset = 0;  // into the transfer's buffer
  uint32_t length = 0;  // OUT: bytes to send; IN: room in the buffer, then the bytes received
  IsoPacketStatus status = IsoPacketStatus::Late;
};

// How a transfer ended.
enum class IsoOutcome {
  Completed,   // every packet's interval has passed; see the packets' status
  Cancelled,   // cancel_iso() took it back before it ended
  DeviceGone,  // the device left the bus
};

// Why submit_iso() refused a transfer (it then never completes).
enum class IsoSubmit {
  Queued,
  NoDevice,        // the device is not on the bus
  BadEndpoint,     // no isochronous endpoint of that address in the current settings
  BadPacketCount,  // 0 packets, or not whole frames of an endpoint polled several times a frame
  BadStartFrame,   // the start frame has begun or passed, lies too far ahead, or overlaps a queued transfer
  Refused,         // the controller refused it (a suspended device, or a refusal a test asked for)
};

// An isochronous transfer as the host controller driver queues it. The
// submitter owns the object, the buffer and the packet array; they must stay
// valid until iso_complete() has returned.
class IsoTransfer {
 public:
  virtual ~IsoTransfer() = default;
  // Called exactly once for a queued transfer, without any bus lock held.
  virtual void iso_complete(IsoOutcome outcome) = 0;

  uint8_t endpoint = 0;
  uint32_t start_frame = 0;  // 1 ms frame number of the first packet
  uint8_t* buffer = nullptr;
  IsoPacket* packets = nullptr;
  uint32_t packet_count = 0;

 private:
  friend class Device;
  uint64_t first_interval_ = 0;  // bus interval of packet 0
  uint32_t period_ = 1;          // bus intervals between packets
  uint32_t max_bytes_ = 0;       // endpoint's bytes per interval
  bool in_ = false;
  uint32_t done_ = 0;  // packets handled
};

class Device {
 public:
  Device(std::shared_ptr<Function> function, Speed speed);

  Speed speed() const { return speed_; }
  const std::vector<uint8_t>& configuration_descriptor() const { return config_; }
  std::vector<uint8_t> device_descriptor() const;

  // Connection state. unplug() takes the device off the bus at once (a
  // surprise removal); plug() puts it back unconfigured.
  bool connected() const;
  void unplug();
  void plug();

  // A control transfer on the default pipe.
  Result control_transfer(const Setup& setup, uint8_t* data, uint16_t* transferred);

  // Standard requests as the host controller driver issues them.
  Result set_configuration(uint8_t value);
  Result set_interface(uint8_t interface_number, uint8_t alternate_setting);
  // Current alternate setting of an interface (-1 when unconfigured or unknown).
  int alternate_setting(uint8_t interface_number) const;
  uint8_t configuration() const;
  // Number of SET_INTERFACE requests accepted so far (for tests).
  uint64_t set_interface_count() const;

  // Makes the next n SET_INTERFACE requests stall (tests of retries).
  void stall_next_set_interface(uint32_t n);

  // Power: a suspended device (the port of a device in D3) refuses
  // transfers; those it had queued end as if it had gone. resume() brings it
  // back to D0.
  void suspend();
  void resume();
  bool suspended() const;
  // A system sleep of the host (our model, the harsher plausible one): its
  // controller stops and loses its isochronous schedule, so that whatever is
  // still queued ends as on a suspended port, and once it runs again its
  // frame counter goes on from elsewhere (2^31 frames away), so that no
  // frame number kept from before is near. Around suspend() and resume().
  void lose_schedule();

  // Completions come up to `max_intervals` bus intervals after the last
  // packet's interval, in batches, by a pseudo-random sequence from `seed`.
  // 0 completes each transfer at the end of its last interval.
  void set_completion_latency(uint64_t seed, uint32_t max_intervals);
  // Interrupt moderation: completions are reported together at multiples of
  // `intervals` bus intervals, as by a host controller that raises its
  // completion interrupt at most that often; but an endpoint whose queued
  // transfers reach less than `guard` intervals ahead gets its completions
  // at their own time (never later than without moderation). 0: off.
  void set_completion_moderation(uint32_t intervals, uint32_t guard);
  // The controller refuses every transfer to `endpoint` submitted before the
  // clock reaches `until_ns`, at most `max_refusals` of them (tests of what a
  // driver does with transfers that fail at once).
  void refuse_iso(uint8_t endpoint, uint64_t until_ns, uint64_t max_refusals);
  // The next submission that finds the frame timer idle is held up for `ns`
  // of clock time after its transfer's slot is chosen and before the timer
  // starts, bus lock held, as a submitting thread that loses its processor
  // there (tests of a timer that starts after the first packet's interval).
  void delay_next_timer_start(uint64_t ns);
  // Isochronous transfers submitted (accepted or not) so far.
  uint64_t iso_submissions() const;
  // Of those, the ones refused for their start frame (begun or passed, too
  // far ahead, or overlapping a queued transfer of the endpoint).
  uint64_t iso_bad_start_frames() const;

  // The bus's 1 ms frame counter, from the simulated clock. A host
  // controller's starts wherever its count stands and wraps after 2^32
  // frames; this one starts at kInitialFrame, past 2^31 and 4096 frames
  // before the wrap (a session of more than about four seconds crosses it),
  // unless set_frame_number() moves it.
  static constexpr uint32_t kInitialFrame = 0xFFFFF000u;
  uint32_t frame_number() const;
  // From now on the counter reads `frame` and counts on from there (tests of
  // a session that runs across the wrap). Only while nothing is queued: the
  // start frames of queued transfers would move.
  void set_frame_number(uint32_t frame);

  // Isochronous transfers. submit_iso() queues a transfer whose packets go
  // in consecutive service intervals of the endpoint from `start_frame` on
  // (which must not have begun yet, and lie at most 1024 frames ahead); a
  // high-speed endpoint polled every 2, 4 or 8 microframes is served in the
  // last microframe of each of its periods, as late as a controller's
  // schedule may place it.
  IsoSubmit submit_iso(IsoTransfer* transfer);
  // Takes a queued transfer back: true when it was still queued, its
  // iso_complete(Cancelled) has then run on the calling thread.
  bool cancel_iso(IsoTransfer* transfer);
  // Takes back every queued transfer of an endpoint (completions on the
  // calling thread); returns how many.
  size_t cancel_iso_endpoint(uint8_t endpoint);
  // Transfers queued now (for tests).
  size_t iso_queued() const;
  // Packet bytes that went to or came from the function so far (for tests).
  uint64_t iso_bytes_out() const;
  uint64_t iso_bytes_in() const;

  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

 private:
  struct Endpoint {
    uint8_t address;
    uint32_t max_bytes;  // bytes per interval (size x (1 + additional transactions))
    uint32_t period;     // bus intervals between service opportunities
  };
  bool has_setting(uint8_t interface_number, uint8_t alternate_setting) const;
  void update_endpoints_locked();
  const Endpoint* endpoint_locked(uint8_t address) const;
  uint64_t interval_ns() const { return speed_ == Speed::High ? 125000 : 1000000; }
  uint32_t intervals_per_frame() const { return speed_ == Speed::High ? 8 : 1; }
  // The frame timer is a clock timer: it runs in a thread that waits in the
  // clock when it is due (no thread of its own, no hand-over per wake).
  void start_timer_locked();
  void rearm_locked();  // after the queue changed
  static void timer_fired(void* device);
  void tick();
  // The interval of a queued transfer's next packet.
  static uint64_t next_packet(const IsoTransfer* t) {
    return t->first_interval_ + uint64_t(t->period_) * t->done_;
  }
  void run_interval_locked(uint64_t interval);  // over active_
  // Runs every interval that has passed and hands out the completions due.
  void catch_up_locked(std::vector<IsoTransfer*>* due);
  uint64_t next_event_locked() const;  // first interval with a packet run or a completion due
  uint64_t next_wake_locked() const;   // the same, moderated
  uint32_t completion_delay_locked();
  IsoSubmit submit_locked(IsoTransfer* transfer);
  std::vector<IsoTransfer*> take_all_locked();
  void cancel_orphans();
  void complete(const std::vector<IsoTransfer*>& done, IsoOutcome outcome);

  std::shared_ptr<Function> function_;
  Speed speed_;
  std::vector<uint8_t> config_;
  mutable std::mutex m_;
  bool connected_ = true;
  uint8_t configuration_ = 0;
  std::map<uint8_t, uint8_t> alternate_;
  uint64_t set_interface_count_ = 0;
  uint32_t stall_set_interface_ = 0;

  std::vector<Endpoint> endpoints_;   // isochronous endpoints of the current settings
  std::vector<IsoTransfer*> queue_;   // in submission order
  std::vector<IsoTransfer*> active_;  // catching up: those with a packet to run
  // Transfers whose packets have all run, with the interval their completion is due.
  std::vector<std::pair<IsoTransfer*, uint64_t>> finished_;
  uint64_t next_interval_ = 0;  // first bus interval not run yet
  uint64_t timer_wake_ = 0;     // interval the timer sleeps until
  bool timer_running_ = false;  // the clock timer is armed or running
  Clock::Timer clock_timer_;
  bool suspended_ = false;
  uint64_t rng_ = 0;  // completion latency sequence (0: none)
  uint32_t max_latency_ = 0;
  uint32_t moderation_ = 0, guard_ = 0;
  uint8_t refuse_endpoint_ = 0;
  uint64_t refuse_until_ns_ = 0;
  uint64_t refusals_left_ = 0;
  uint64_t timer_start_delay_ns_ = 0;
  uint64_t submissions_ = 0;
  uint64_t bad_start_frames_ = 0;
  std::atomic<bool> closing_{false};
  uint64_t bytes_out_ = 0, bytes_in_ = 0;
  // What the frame counter adds to the clock's milliseconds.
  std::atomic<uint32_t> frame_base_{kInitialFrame};
};

}  // namespace korvel::sim::usb

#endif
