// Firmware images and the unit's side of the download.
#include "unit_firmware.h"

#include <array>
#include <cstring>
#include <string>

#include "unit.h"

namespace korvel::sim {
namespace {

constexpr size_t kHeaderSize = detail::kImageHeaderSize;
constexpr uint32_t kDefaultImageSize = 64 * 1024;

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}

bool fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

}  // namespace

namespace detail {

namespace {

uint32_t crc32_update(uint32_t c, const uint8_t* data, size_t n) {
  static const std::array<uint32_t, 256> table = make_crc_table();
  for (size_t i = 0; i < n; ++i) c = table[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
  return c;
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t n) {
  return crc32_update(0xFFFFFFFFu, data, n) ^ 0xFFFFFFFFu;
}

uint32_t image_crc(const uint8_t* image, size_t size) {
  // The header counts with its CRC field as zero: a patched version or build
  // must fail the check as a damaged payload does.
  uint8_t header[kImageHeaderSize];
  std::memcpy(header, image, kImageHeaderSize);
  std::memset(header + 16, 0, 4);
  uint32_t c = crc32_update(0xFFFFFFFFu, header, kImageHeaderSize);
  return crc32_update(c, image + kImageHeaderSize, size - kImageHeaderSize) ^ 0xFFFFFFFFu;
}

void FirmwareReceiver::begin(uint32_t total) {
  image_.clear();
  image_.shrink_to_fit();
  total_ = total;
  received_ = 0;
  want_end_ = 0;
  not_ready_ = 0;
  rng_ = 0x2545F4914F6CDD1Dull ^ total;
  if (total == 0 || total > kFlashSize) {
    phase_ = Phase::Cancelled;
    return;
  }
  phase_ = Phase::Receiving;
}

uint32_t FirmwareReceiver::next_random() {
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 7;
  rng_ ^= rng_ << 17;
  return static_cast<uint32_t>(rng_ >> 32);
}

FirmwareReceiver::Status FirmwareReceiver::status() {
  switch (phase_) {
    case Phase::Idle:
    case Phase::Cancelled:
    case Phase::Rejected:
      return {0, 0};
    case Phase::Adopted:
      return {0, total_};
    case Phase::Receiving:
      break;
  }
  if (received_ < want_end_) return {want_end_ - received_, received_};  // the open range, again
  if (not_ready_ > 0) {
    --not_ready_;
    return {0, received_};
  }
  // Now and then the unit is busy writing flash and asks for nothing for a
  // few requests. Never before the first byte: length 0 at offset 0 would
  // read as a cancel.
  if (received_ > 0 && next_random() % 6 == 0) {
    not_ready_ = static_cast<int>(next_random() % 3);
    return {0, received_};
  }
  const uint32_t want = 1 + next_random() % kMaxRequest;
  const uint32_t left = total_ - received_;
  want_end_ = received_ + (want < left ? want : left);
  return {want_end_ - received_, received_};
}

bool FirmwareReceiver::data(const uint8_t* p, size_t n, bool last_of_range, uint16_t* version,
                            uint16_t* build) {
  // The unit's loader is strict: data only for the open range, in order; a
  // range is made of full chunks (0x25, exactly kChunk bytes) and closed only
  // by its last chunk (0x26), which ends it exactly. Anything else is refused
  // and the range stays open where it was, so the host hears the same request
  // again.
  if (phase_ != Phase::Receiving || n == 0 || received_ >= want_end_) return false;
  const uint32_t left = want_end_ - received_;
  if (last_of_range ? n != left : (n != kChunk || n >= left)) {
    ++refused_;
    return false;
  }
  image_.insert(image_.end(), p, p + n);
  received_ += static_cast<uint32_t>(n);
  if (received_ < total_) return false;

  uint16_t v = 0, b = 0;
  const bool ok = check_firmware_image(image_.data(), image_.size(), &v, &b, nullptr);
  image_.clear();
  image_.shrink_to_fit();
  phase_ = ok ? Phase::Adopted : Phase::Rejected;
  if (ok) {
    *version = v;
    *build = b;
  }
  return ok;
}

}  // namespace detail

std::vector<uint8_t> make_firmware_image(uint16_t version, uint16_t build, uint32_t size) {
  if (size == 0) size = kDefaultImageSize;
  if (size < kHeaderSize) size = kHeaderSize;
  std::vector<uint8_t> img(size, 0);
  uint64_t x = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(version) << 32) ^ build;
  for (size_t i = kHeaderSize; i < img.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    img[i] = static_cast<uint8_t>(x >> 56);
  }
  std::memcpy(img.data(), "KVFW", 4);
  put16(&img[4], 1);
  put16(&img[6], kHeaderSize);
  put16(&img[8], version);
  put16(&img[10], build);
  const uint32_t payload = size - static_cast<uint32_t>(kHeaderSize);
  put32(&img[12], payload);
  put32(&img[16], detail::image_crc(img.data(), img.size()));
  return img;
}

bool check_firmware_image(const uint8_t* image, size_t size, uint16_t* version, uint16_t* build,
                          std::string* why) {
  if (!image || size < kHeaderSize) return fail(why, "image shorter than its header");
  if (std::memcmp(image, "KVFW", 4) != 0) return fail(why, "bad magic");
  if (get16(image + 4) != 1) return fail(why, "unknown image format");
  if (get16(image + 6) != kHeaderSize) return fail(why, "bad header size");
  for (size_t i = 20; i < kHeaderSize; ++i) {
    if (image[i] != 0) return fail(why, "reserved header bytes not zero");
  }
  const uint32_t payload = get32(image + 12);
  if (payload != size - kHeaderSize) return fail(why, "payload size does not match the image");
  if (detail::image_crc(image, size) != get32(image + 16)) return fail(why, "CRC mismatch");
  if (version) *version = get16(image + 8);
  if (build) *build = get16(image + 10);
  if (why) why->clear();
  return true;
}

}  // namespace korvel::sim
