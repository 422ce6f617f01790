#include "published_device.h"

#include <unistd.h>
#include <winioctl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "korvel_usb_ids.h"
#include "quenby_ioctl.h"
#include "usbdevs_ctrl_req.h"

namespace korvel::devhost {
namespace {

// {65E8773E-8F56-11D0-A3B9-00A0C9223196} in memory order.
constexpr uint8_t kRenderCategory[16] = {0x3E, 0x77, 0xE8, 0x65, 0x56, 0x8F, 0xD0, 0x11,
                                         0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96};

// The audio function's hardware ID as Windows forms it for the child of a
// composite device: "USB\VID_2E4C&PID_0101&MI_00" (`lower`: in the
// lower case of interface links).
std::string hardware_id(sim::Model m, bool lower) {
  char buf[64];
  std::snprintf(buf, sizeof buf, lower ? "usb#vid_%04x&pid_%04x&mi_%02x" : "USB\\VID_%04X&PID_%04X&MI_%02X",
                unsigned(KORVEL_VID), unsigned(sim::usb_product_id(m)),
                unsigned(KORVEL_USB_AUDIO_FIRST_INTERFACE));
  return buf;
}

// The device's part of every interface link, up to the interface class.
std::string device_prefix(sim::Model m) {
  return "\\\\?\\" + hardware_id(m, true) + "#7&2f41a3c&0&0000#";
}

std::string guid_text(const uint8_t g[16]) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14],
                g[15]);
  return buf;
}

std::string device_part(sim::Model m) {
  return device_prefix(m) + guid_text(kRenderCategory);
}

// Whether `p` starts with `prefix`, without regard to case (object names
// compare so; ASCII is all our paths hold). `p` holds at least as many.
bool equal_nocase(const char16_t* p, const std::u16string& prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t x = p[i], y = prefix[i];
    if (x >= 'A' && x <= 'Z') x = char16_t(x + 32);
    if (y >= 'A' && y <= 'Z') y = char16_t(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::u16string interface_path(sim::Model m, const uint8_t guid[16], const std::u16string& reference) {
  return wire::utf8_to_utf16(device_prefix(m) + guid_text(guid) + "\\") + reference;
}

std::u16string render_interface_path(sim::Model m) {
  return wire::utf8_to_utf16(device_part(m) + "\\kstarrow");
}

PublishedDevice::PublishedDevice(sim::Model model, DeviceHooks hooks) : hooks_(std::move(hooks)) {
  if (!hooks_.make_unit) hooks_.make_unit = [](sim::Model m) { return std::make_shared<sim::Unit>(m); };
  unit_ = hooks_.make_unit(model);
  set_model_locked(model);
  page_fd_ = wire::create_state_page(&page_);
}

PublishedDevice::~PublishedDevice() {
  {
    std::lock_guard<std::mutex> c(commands_m_);
    unplug_locked();
  }
  if (page_fd_ >= 0) {
    wire::unmap_state_page(page_);
    ::close(page_fd_);
  }
}

void PublishedDevice::set_model_locked(sim::Model m) {
  model_ = m;
  prefix_ = wire::utf8_to_utf16(device_prefix(m));
}

// Clients that open without asking compare the page's generation with the
// one they opened in: it changes before the change it stands for is seen.
void PublishedDevice::next_generation_locked() {
  ++generation_;
  if (page_) page_->generation.store(generation_, std::memory_order_release);
}

std::string PublishedDevice::start() {
  std::lock_guard<std::mutex> c(commands_m_);
  return plug_locked();
}

// Both run under commands_m_; the driver's PnP work runs outside m_ so that
// clients are never held up behind it.
std::string PublishedDevice::plug_locked() {
  if (hooks_.plug) {
    std::string why = hooks_.plug(*unit());
    if (!why.empty()) return why;
  }
  std::lock_guard<std::mutex> l(m_);
  next_generation_locked();
  plugged_ = true;
  return {};
}

void PublishedDevice::unplug_locked() {
  {
    std::lock_guard<std::mutex> l(m_);
    if (!plugged_) return;
    next_generation_locked();
    plugged_ = false;
  }
  {
    // Requests in flight finish first; then every handle is closed, as the
    // device must have none left when it is removed.
    std::unique_lock<std::shared_mutex> files(files_m_);
    std::lock_guard<std::mutex> list(files_list_m_);
    for (auto& w : files_)
      if (auto open = w.lock()) open->file.reset();
    files_.clear();
  }
  if (hooks_.unplug) hooks_.unplug();
}

uint32_t PublishedDevice::driver_open(const std::u16string& path, uint32_t access,
                                      const sim::security::Caller& caller, Session* session,
                                      uint64_t expected) {
  uint64_t generation;
  const size_t slash = path.rfind(u'\\');
  {
    std::lock_guard<std::mutex> l(m_);
    if (!plugged_ || (expected && expected != generation_)) return wire::kStatusNoSuchDevice;
    generation = generation_;
    // The path is one of the device's interface links and a last component.
    // Object names compare without regard to case.
    const size_t n = prefix_.size();
    if (slash == std::u16string::npos || slash <= n || !equal_nocase(path.data(), prefix_) ||
        path[n] != u'{' || path[slash - 1] != u'}')
      return wire::kStatusObjectNameNotFound;
  }
  std::u16string name = path.substr(slash);
  std::shared_lock<std::shared_mutex> files(files_m_);
  {
    std::lock_guard<std::mutex> l(m_);
    if (!plugged_ || generation != generation_) return wire::kStatusNoSuchDevice;
  }
  auto open = std::make_shared<OpenFile>();
  uint32_t status = uint32_t(hooks_.open_file(name, access, caller, &open->file));
  if (status & 0x80000000u) return status;
  session->kind = name == u"\\tarrow" ? Session::Kind::Private : Session::Kind::Filter;
  session->generation = generation;
  session->open = open;
  // Registered before the shared hold ends: an unplug waits for this open
  // and then finds the new handle among those it must close before the
  // device goes away.
  std::lock_guard<std::mutex> add(files_list_m_);
  files_.erase(std::remove_if(files_.begin(), files_.end(),
                              [](const std::weak_ptr<OpenFile>& w) { return w.expired(); }),
               files_.end());
  files_.push_back(open);
  return status;
}

void PublishedDevice::close(Session* session) {
  if (!session->open) return;
  std::shared_lock<std::shared_mutex> files(files_m_);
  session->open->file.reset();  // IRP_MJ_CLEANUP and IRP_MJ_CLOSE
  session->open.reset();
}

std::u16string PublishedDevice::interface_path() const {
  std::lock_guard<std::mutex> l(m_);
  return render_interface_path(model_);
}

std::shared_ptr<sim::Unit> PublishedDevice::unit() {
  std::lock_guard<std::mutex> l(m_);
  return unit_;
}

wire::Reply PublishedDevice::enumerate(const uint8_t interface_class[16]) {
  std::lock_guard<std::mutex> l(m_);
  wire::Reply r;
  if (!plugged_) return r;
  wire::DeviceEntry d;
  d.service = u"tarrow";
  d.instance_id = wire::utf8_to_utf16(hardware_id(model_, false) + "\\7&2F41A3C&0&0000");
  if (hooks_.interfaces) {
    // What the started driver registered, under each of its classes.
    for (const auto& itf : hooks_.interfaces())
      for (const auto& cat : itf.categories)
        if (cat.size() == 16 && std::memcmp(cat.data(), interface_class, 16) == 0)
          d.interfaces.push_back(devhost::interface_path(model_, interface_class, itf.reference));
  }
  if (!d.interfaces.empty()) r.devices.push_back(std::move(d));
  return r;
}

uint32_t PublishedDevice::open(const std::u16string& path, uint32_t access,
                               const sim::security::Caller& caller, Session* session, uint64_t generation) {
  if (!hooks_.open_file) return wire::kStatusNoSuchDevice;  // no driver, no device
  return driver_open(path, access, caller, session, generation);
}

uint32_t PublishedDevice::open(const std::u16string& path, Session* session, uint64_t generation) {
  return open(path, sim::security::kGenericRead | sim::security::kGenericWrite,
              sim::security::console_caller(1000), session, generation);
}

IoctlOutcome PublishedDevice::ioctl(const Session& session, uint32_t code, const uint8_t* in, uint32_t in_len,
                                    uint8_t* out, uint32_t out_len) {
  IoctlOutcome r;
  if (!session.open) {
    r.status = wire::kStatusInvalidHandle;
    return r;
  }
  std::shared_lock<std::shared_mutex> files(files_m_);
  if (!session.open->file) {
    r.status = wire::kStatusNoSuchDevice;  // the device went away under the handle
    return r;
  }
  uint64_t information = 0;
  r.status = uint32_t(session.open->file->ioctl(code, in, in_len, out, out_len, &information));
  r.information = uint32_t(information);
  // Warnings carry data as success does; only errors return none.
  const bool error = (r.status & 0xC0000000u) == 0xC0000000u;
  r.out_bytes = error ? 0 : uint32_t(information < out_len ? information : out_len);
  if (code == IOCTL_QUENBY_TUNNEL && !(r.status & 0x80000000u)) ++transfers_;
  return r;
}

std::string PublishedDevice::unplug() {
  std::lock_guard<std::mutex> c(commands_m_);
  {
    std::lock_guard<std::mutex> l(m_);
    if (!plugged_) return "the unit is not plugged in";
  }
  unplug_locked();
  return {};
}

std::string PublishedDevice::plug() {
  std::lock_guard<std::mutex> c(commands_m_);
  {
    std::lock_guard<std::mutex> l(m_);
    if (plugged_) return "the unit is already plugged in";
  }
  return plug_locked();
}

std::string PublishedDevice::set_model(const std::string& name) {
  sim::Model m;
  if (!sim::model_from_name(name, &m)) return "unknown model \"" + name + "\"";
  std::lock_guard<std::mutex> c(commands_m_);
  // Unplug, change, plug: open handles of the old unit stop working.
  unplug_locked();
  auto unit = hooks_.make_unit(m);
  for (const auto& [input, level] : held_levels_) unit->hold_input_meter(input, level);
  {
    std::lock_guard<std::mutex> l(m_);
    set_model_locked(m);
    unit_ = std::move(unit);
  }
  return plug_locked();
}

std::string PublishedDevice::busy(uint32_t ms) {
  unit()->set_busy_for_ms(ms);
  return {};
}

std::string PublishedDevice::stall(uint32_t n) {
  unit()->stall_next(n);
  return {};
}

std::string PublishedDevice::stream(bool on) {
  if (!hooks_.stream) return "this host plays no audio";
  // One at a time with plugs and unplugs, which start and stop the audio.
  std::lock_guard<std::mutex> c(commands_m_);
  return hooks_.stream(on);
}

std::string PublishedDevice::sleep(uint32_t ms) {
  if (!hooks_.sleep) return "this host runs no driver";
  std::lock_guard<std::mutex> c(commands_m_);  // one at a time with plugs and unplugs
  {
    std::lock_guard<std::mutex> l(m_);
    if (!plugged_) return "the unit is not plugged in";
  }
  return hooks_.sleep(ms);
}

std::string PublishedDevice::hold_level(const std::string& arg) {
  const char* usage = "usage: level INPUT DB|off (DB from -60 to 0)";
  std::istringstream in(arg);
  int input = 0;
  std::string value, extra;
  if (!(in >> input >> value) || (in >> extra) || input < 1 || input > 64) return usage;
  int level = -1;
  if (value != "off") {
    char* end = nullptr;
    const double db = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || *end != '\0' || !(db >= -60.0 && db <= 0.0)) return usage;
    level = static_cast<int>(std::lround(32767.0 * std::pow(10.0, db / 20.0)));
  }
  std::lock_guard<std::mutex> c(commands_m_);
  if (level < 0) {
    held_levels_.erase(input);
  } else {
    held_levels_[input] = level;
  }
  unit()->hold_input_meter(input, level);
  return {};
}

std::string PublishedDevice::stall_timeout(uint32_t n) {
  unit()->time_out_next(n);
  return {};
}

}  // namespace korvel::devhost
