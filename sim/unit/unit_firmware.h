// The unit's side of a firmware download. The unit drives it: every status
// request is answered with the offset and length it wants next, the host sends
// that range, and once the whole image is in, the unit checks it and either
// adopts it or reports the failure.
#ifndef KORVEL_SIM_UNIT_FIRMWARE_H
#define KORVEL_SIM_UNIT_FIRMWARE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::sim::detail {

constexpr size_t kImageHeaderSize = 32;

uint32_t crc32(const uint8_t* data, size_t n);
// CRC-32 of a whole image (at least its header long), the header's CRC field
// counted as zero.
uint32_t image_crc(const uint8_t* image, size_t size);

class FirmwareReceiver {
 public:
  static constexpr uint32_t kFlashSize = 4u << 20;
  static constexpr uint32_t kMaxRequest = 300;
  static constexpr uint32_t kChunk = 61;  // 0x25 data items carry exactly this

  struct Status {
    uint32_t length;  // bytes wanted next; 0 = nothing wanted now
    uint32_t offset;  // where they start
  };

  // 0x21: starts a transfer (and abandons a running one). A total of 0 or one
  // that does not fit the flash is refused: the unit cancels.
  void begin(uint32_t total);
  // 0x22: the unit's answer.
  Status status();
  // 0x25 / 0x26: data for the range asked for last, full chunks then the
  // range's last one. Returns true when this chunk completed the image and
  // the image checked out; version and build are then those of the new image.
  bool data(const uint8_t* p, size_t n, bool last_of_range, uint16_t* version, uint16_t* build);

  uint32_t received() const { return received_; }
  // Data items refused as out of order or of the wrong kind or size.
  uint32_t refused() const { return refused_; }
  uint32_t total() const { return total_; }

 private:
  enum class Phase { Idle, Receiving, Adopted, Rejected, Cancelled };
  uint32_t next_random();

  Phase phase_ = Phase::Idle;
  uint32_t total_ = 0;
  uint32_t received_ = 0;
  uint32_t want_end_ = 0;  // end of the range asked for; received_ == want_end_: none open
  int not_ready_ = 0;      // status answers still to give with length 0
  uint32_t refused_ = 0;
  uint64_t rng_ = 0;
  std::vector<uint8_t> image_;
};

}  // namespace korvel::sim::detail

#endif
