// The unit as korvel-devhost publishes it to clients: its device interface,
// the handles clients open on it and the requests they send, and the
// plug/unplug life cycle that the host's commands drive.
#ifndef KORVEL_DEVHOST_PUBLISHED_DEVICE_H
#define KORVEL_DEVHOST_PUBLISHED_DEVICE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "devhost_wire.h"
#include "driver_stack.h"
#include "unit.h"

namespace korvel::devhost {

// A handle the driver opened; the file is closed (and null) once its device
// went away.
struct OpenFile {
  std::unique_ptr<sim::devhost::DriverFile> file;
};

// What a client's handle was opened on.
struct Session {
  enum class Kind { None, Private, Filter } kind = Kind::None;
  uint64_t generation = 0;         // plug generation the handle belongs to
  std::shared_ptr<OpenFile> open;  // when the driver serves the handle
  // quenby keeps nothing per open of its private interface (its create and
  // close only mark and complete the file), so a client may open it again
  // without asking while the unit stays plugged, and close it late.
  bool light() const { return kind == Kind::Private; }
};

// What a device-control request came back with.
struct IoctlOutcome {
  uint32_t status = 0;       // NTSTATUS
  uint32_t information = 0;  // IoStatus.Information
  uint32_t out_bytes = 0;    // output bytes written (none with an error)
};

// What plugging a unit in and out means beyond publishing it: the driver
// that starts on it and the time base it runs on. Empty hooks publish the
// unit alone.
struct DeviceHooks {
  std::function<std::shared_ptr<sim::Unit>(sim::Model)> make_unit;
  // Starts the driver on a unit that came onto the bus; "" or why not.
  std::function<std::string(sim::Unit&)> plug;
  // The unit left the bus: surprise removal, then removal.
  std::function<void()> unplug;
  // When set, handles are served by the driver: the interfaces it registered
  // on the started device, and its create/device-control/close dispatch.
  std::function<std::vector<sim::devhost::DeviceInterface>()> interfaces;
  std::function<int32_t(const std::u16string& name, uint32_t access, const sim::security::Caller& caller,
                        std::unique_ptr<sim::devhost::DriverFile>* out)>
      open_file;
  // Switches the audio played through the driver on or off; "" or why not.
  std::function<std::string(bool on)> stream;
  // A system sleep of that many milliseconds; "" or why not.
  std::function<std::string(uint32_t ms)> sleep;
};

class PublishedDevice {
 public:
  explicit PublishedDevice(sim::Model model, DeviceHooks hooks = {});
  ~PublishedDevice();
  // Brings the first unit onto the bus; "" or why the driver refused it.
  std::string start();

  // KSCATEGORY_RENDER interface path of the current model ("...\kstarrow").
  std::u16string interface_path() const;

  wire::Reply enumerate(const uint8_t interface_class[16]);
  // IRP_MJ_CREATE on `path` by `caller` asking for `access`; with
  // `generation` (not 0), only while the unit is still the one plugged in
  // then. Without caller and access: the console user's program asking for
  // reading and writing.
  uint32_t open(const std::u16string& path, uint32_t access, const sim::security::Caller& caller,
                Session* session, uint64_t generation = 0);
  uint32_t open(const std::u16string& path, Session* session, uint64_t generation = 0);
  // The request's output goes straight to `out` (out_len bytes at most).
  IoctlOutcome ioctl(const Session& session, uint32_t code, const uint8_t* in, uint32_t in_len, uint8_t* out,
                     uint32_t out_len);
  // The client closed its handle (IRP_MJ_CLOSE for a driver-served one).
  void close(Session* session);

  // Host commands; each returns an empty string on success, else why not.
  std::string unplug();
  std::string plug();
  std::string set_model(const std::string& name);
  std::string busy(uint32_t ms);
  std::string stall(uint32_t n);
  // Audio through the driver's pins on or off (it follows plugs and unplugs).
  std::string stream(bool on);
  // A system sleep: the driver goes to D3 with whatever streams run, the bus
  // loses its schedule for `ms` milliseconds, then D0 again.
  std::string sleep(uint32_t ms);
  std::string stall_timeout(uint32_t n);
  // "level N DB|off": analog input N's meter holds DB dBFS (-60 to 0) until
  // "off"; the hold carries over to the unit of a model change.
  std::string hold_level(const std::string& arg);

  std::shared_ptr<sim::Unit> unit();
  // Control transfers that reached the unit so far.
  uint64_t transfer_count() const { return transfers_; }
  // The shared page whose generation changes before each plug, unplug and
  // model change takes effect (-1 when shared memory is not to be had).
  int state_fd() const { return page_fd_; }

 private:
  std::string plug_locked();
  void unplug_locked();
  uint32_t driver_open(const std::u16string& path, uint32_t access, const sim::security::Caller& caller,
                       Session* session, uint64_t expected);
  void set_model_locked(sim::Model m);
  void next_generation_locked();

  DeviceHooks hooks_;
  std::mutex commands_m_;  // plug, unplug and model changes, one at a time
  mutable std::mutex m_;
  sim::Model model_;
  std::u16string prefix_;  // the model's interface links up to their class
  std::shared_ptr<sim::Unit> unit_;
  std::map<int, int> held_levels_;  // analog input -> meter level, under commands_m_
  bool plugged_ = false;
  uint64_t generation_ = 1;  // under m_; mirrored in the shared page
  wire::StatePage* page_ = nullptr;
  int page_fd_ = -1;
  std::atomic<uint64_t> transfers_{0};
  // Driver-served handles: requests hold it shared, an unplug exclusively
  // while it closes every handle before the device is removed.
  std::shared_mutex files_m_;
  std::mutex files_list_m_;  // files_ itself, under files_m_ held either way
  std::vector<std::weak_ptr<OpenFile>> files_;
};

// Path of a model's render interface, as Windows would name it.
std::u16string render_interface_path(sim::Model model);
// The symbolic link of a model's interface of class `guid` (memory order)
// followed by "\\" and the reference string.
std::u16string interface_path(sim::Model model, const uint8_t guid[16], const std::u16string& reference);

}  // namespace korvel::devhost

#endif
