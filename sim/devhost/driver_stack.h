// quenby on a simulated USB bus: builds the bus with one device (a unit of a
// model, or raw configuration-descriptor bytes), loads the driver, adds and
// starts the device (start ends with the power-up to D0), and takes it away
// again as an unplugged unit would. Reports the driver's pool use by tag and
// what its start found, for `korvel-devhost --inspect`.
#ifndef KORVEL_SIM_DEVHOST_DRIVER_STACK_H
#define KORVEL_SIM_DEVHOST_DRIVER_STACK_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "direct_client.h"
#include "kernel/security.h"
#include "unit.h"
#include "unit_clock.h"

namespace korvel::sim::usb {
class Device;
}

namespace korvel::sim::devhost {

struct PoolTagUsage {
  uint64_t allocations = 0;  // outstanding
  uint64_t bytes = 0;
};

// What the driver's start found on one side (render or capture).
struct SlotReport {
  int alt = 0;
  int channels = -1;  // -1: no PCM AS_GENERAL
  int bits = -1;      // -1: no FORMAT_TYPE_I
  int data_endpoint = -1;
  int max_packet = -1;  // bytes per (micro)frame
  int feedback_endpoint = -1;
};

struct PathReport {
  bool present = false;  // the streaming interface of this direction was found
  int interface_number = 0;
  bool feature_unit = false;
  int clock_id = -1;
  std::vector<SlotReport> slots;
  uint32_t min_channels = 0, max_channels = 0, min_bits = 0, max_bits = 0, min_rate = 0, max_rate = 0;
  std::vector<uint32_t> rates;
};

struct StartReport {
  bool ok = false;
  std::string error;  // why the device was refused
  bool high_speed = false;
  // The function of a composite device the driver was handed (as Windows'
  // generic parent driver presents it): its first interface (MI_xx) and
  // its interface numbers; absent for a device that is not composite.
  bool function = false;
  int function_first_interface = 0;
  std::vector<int> function_interfaces;
  PathReport render;
  PathReport capture;
};

// A user-mode handle on the started device, as CreateFileW opens it.
class DriverFile {
 public:
  virtual ~DriverFile() = default;
  // IRP_MJ_DEVICE_CONTROL; returns the NTSTATUS and the byte count.
  virtual int32_t ioctl(uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
                        uint64_t* information) = 0;
  // A request of another major function without parameters (IRP_MJ_READ,
  // IRP_MJ_FLUSH_BUFFERS ...); returns the NTSTATUS.
  virtual int32_t request(uint8_t major) = 0;
};

// A device interface the started device registered: a filter factory's
// reference string and the interface classes (GUIDs in memory order) it is
// registered under.
struct DeviceInterface {
  std::u16string reference;
  std::vector<std::vector<uint8_t>> categories;
};

class DriverStack {
 public:
  // The unit of a model: descriptors of unit.model(); vendor requests and the
  // clock's SET CUR reach `unit`, which must outlive the stack.
  DriverStack(Unit& unit, bool high_speed);
  // The unit behind a USB function built from `descriptor` (any USB Audio
  // 2.0 configuration): it streams by the descriptor's settings and clocks;
  // its clock sources offer `rates` (44100 and 48000 when empty).
  DriverStack(Unit& unit, bool high_speed, std::vector<uint8_t> descriptor, ClockRates rates);
  // A device made of raw configuration-descriptor bytes whose clock sources
  // offer `rates` (44100 and 48000 when empty).
  DriverStack(std::vector<uint8_t> descriptor, ClockRates rates, bool high_speed);
  ~DriverStack();
  DriverStack(const DriverStack&) = delete;
  DriverStack& operator=(const DriverStack&) = delete;

  // Puts the unit on the bus, loads quenby and runs add and start (the
  // power-up to D0 included). False with the reason when the driver refused
  // the device; the device then stays added until remove() so that
  // report() can read what start found.
  bool plug(std::string* error = nullptr);
  // The unit leaves the bus: the driver sees the surprise removal.
  void surprise_remove();
  // The driver sees the removal; then it is unloaded.
  void remove();
  // Both, as korvel-devhost's `unplug` does.
  void unplug();

  bool plugged() const;
  bool started() const;
  // Device power transition (1..4 = D0..D3); returns the request's NTSTATUS.
  int32_t set_power(int device_state);
  // A system sleep of `ms` milliseconds with whatever streams run (D3, the
  // bus's isochronous schedule lost, D0); the NTSTATUS of the power-up.
  int32_t system_sleep(uint32_t ms);
  // The driver's device power state as it keeps it (1 = D0 ... 4 = D3, 5 = removed; 0 when no device).
  uint32_t driver_power_state() const;

  // The unit's audio side (stacks built on a Unit; no effect and zero
  // counters on raw-descriptor stacks). Any time, plugged or not.
  // Offset of the unit's sample clock in parts per million (+ runs fast).
  void set_drift_ppm(double ppm);
  // With loopback the unit returns render channel k on capture channel k.
  void set_loopback(bool on);
  // What the unit's converters did with the audio (underflows, overflows ...).
  AudioCounters audio_counters() const;
  // Every render packet the unit accepts (see UnitAudio::set_render_tap).
  void set_render_tap(UnitAudio::RenderTap tap);
  // The simulated bus device (null before the first plug), for tests that
  // make the host controller harsher.
  usb::Device* bus();
  // A PnP stop and start again (resource rebalance) of the started device.
  bool stop_and_start();

  // Outstanding pool allocations of a tag, for example "ac2m" or "ac2d".
  static PoolTagUsage pool(const std::string& tag);

  // What the last start found (valid until remove()).
  StartReport report() const;

  // The started device's interfaces (empty while it is not started).
  std::vector<DeviceInterface> interfaces() const;
  // Opens `name`, the part of a path after the device's symbolic link (for
  // example u"\\tarrow" or u"\\kstarrow"), on the started device:
  // IRP_MJ_CREATE through the driver's dispatch. The file's destructor sends
  // IRP_MJ_CLEANUP and IRP_MJ_CLOSE; every file must be gone before the
  // device is removed. The I/O manager checks `caller`'s token and the
  // `access` asked (CreateFileW's dwDesiredAccess and what CreateFileW adds)
  // against the device's security first. Without them: the console user's
  // program asking for reading and writing.
  int32_t open(const std::u16string& name, uint32_t access, const security::Caller& caller,
               std::unique_ptr<DriverFile>* out);
  int32_t open(const std::u16string& name, std::unique_ptr<DriverFile>* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The simulated clock as a direct-mode client's clock: the client's threads
// are counted as the clock's own, so virtual time stands while they run. The
// allocation count is left to the caller.
korvel::devhost::ClientClock simulated_client_clock();

}  // namespace korvel::sim::devhost

#endif
