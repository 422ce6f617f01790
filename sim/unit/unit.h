// The simulated KORVEL unit: the firmware side of the vendor message protocol
// (requests 0x1D host-to-device and 0x1E device-to-host on the default pipe).
// A device model, not a test double: it keeps its own identity, settings,
// rec-function states, assignment table, firmware image and meter signals.
// Thread-safe: every public call takes the unit's lock.
#ifndef KORVEL_SIM_UNIT_H
#define KORVEL_SIM_UNIT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "unit_audio.h"

namespace korvel::sim {

enum class Model { Tarrow, Quenby, Pellin, Dorrit, FarLink };

// "Tarrow", "Quenby", "Pellin", "Dorrit", "Far Link".
const char* model_name(Model m);
// The product ID of the model's device descriptor (the vendor ID is
// KORVEL_VID of korvel_usb_ids.h).
uint16_t usb_product_id(Model m);
// Exact, case-sensitive product names; false for anything else.
bool model_from_name(const std::string& name, Model* out);
// Meter records the unit reports: 97, 94, 62, 62, 96.
int meter_record_count(Model m);

// One run of meter records of one channel type, numbered from 1.
struct MeterBlock {
  uint8_t type;   // channel type as carried in item 0x61
  uint8_t count;  // records (channel numbers 1..count)
};
// The model's meter answer, block by block in the order the unit sends them.
const std::vector<MeterBlock>& meter_layout(Model m);

// Outcome of one control transfer as the USB stack would report it.
enum class TransferResult {
  Ok,        // completed; device-to-host: the bytes the unit sent (see control_in)
  Stall,     // the endpoint stalled (the host sees a failed transfer)
  NoDevice,  // the unit is not on the bus
  Timeout    // the unit NAKs the data stage until the host gives up
};

// Microseconds on the unit's time base (the simulated clock once it exists;
// steady_clock by default).
using TimeSource = std::function<uint64_t()>;

struct UnitInfo {
  uint16_t version;
  uint16_t build;
  std::string product;
  std::string build_date;
  std::string build_time;
  std::string signature;
  std::string serial;
  uint32_t sample_rate;
};

class Unit {
 public:
  explicit Unit(Model model, TimeSource now = {});
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // Vendor control transfers (bmRequestType 0x40 / 0xC0). bRequest 0x1D
  // carries a command message (at most 64 bytes), 0x1E returns the next reply:
  // whole queued answer items that fit in `len` bytes, then the ready marker
  // 0xA1 when it fits, zero fill. Any other bRequest stalls.
  TransferResult control_out(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, const uint8_t* data,
                             uint16_t len);
  TransferResult control_in(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buf, uint16_t len);
  // The same, with the number of bytes the unit sent: a unit with quirks may
  // end the data stage early (a short reply); the form above zero-fills.
  TransferResult control_in(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buf, uint16_t len,
                            uint16_t* transferred);

  // Test and host controls.
  void set_busy_for_ms(uint32_t ms);  // replies carry 0xA1 = 0 for that long
  void stall_next(uint32_t n);        // the next n control transfers stall
  void time_out_next(uint32_t n);     // the next n control transfers are never answered
  void short_next(uint32_t n);        // the next n replies end after their last item
  // Holds analog input `input`'s meter at `level` (0..32767) until released
  // with a negative level; the mixes still carry the generated signal. Lets a
  // test step a meter at a known instant.
  void hold_input_meter(int input, int level);
  // From now on the unit behaves like a real one at its worst, the same way
  // for the same seed: busy bursts at random times (the ready marker 0, and
  // now and then a stalled message transfer, which a host retries), answers
  // split over more replies than needed (never inside a group that must stay
  // together), numeric items in any width that holds their value, texts
  // padded with zero bytes, and (unless `short_replies` is false) short
  // replies. Without quirks (the default) every answer item has its one
  // natural width and replies are packed.
  void set_quirks(uint64_t seed, bool short_replies = true);
  void set_sample_rate(uint32_t hz);  // the clock's rate (USB Audio SET CUR)
  Model model() const;
  UnitInfo info() const;
  // The unit's audio side (its sample clock, render FIFO, feedback, capture).
  // While render streams, the computer-return meters (type 3) show what it
  // plays; while capture streams, the analog-input meters (type 4) show what
  // it captures.
  UnitAudio& audio();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Firmware images the unit accepts: a 32-byte header (magic "KVFW", u16 format
// 1, u16 header size 32, u16 version, u16 build, u32 payload size, u32 CRC-32
// of the whole image with this field zero, 12 zero bytes), then the payload. `size` is the whole image size
// (at least the header; 0 picks a default of 64 KiB).
std::vector<uint8_t> make_firmware_image(uint16_t version, uint16_t build, uint32_t size);
// Checks an image as the unit does; on success reports its version and build.
bool check_firmware_image(const uint8_t* image, size_t size, uint16_t* version, uint16_t* build,
                          std::string* why);

}  // namespace korvel::sim

#endif
