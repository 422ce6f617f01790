// WAV files of korvel-devhost's kernel-streaming client; see ks_client_wav.h.
#include "ks_client_wav.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "ks_client_signal.h"

namespace korvel::sim::devhost {

bool read_wav(const std::string& path, Wav* wav, std::string* error) {
  // Only a regular file is read, and only as far as a RIFF file can reach:
  // a folder threw from the stream, a device such as /dev/zero never ended.
  constexpr uint64_t kMaxRiff = 0xFFFFFFFFull + 8;
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(st)) {
    *error = "cannot read " + path + ": " + (ec ? ec.message() : std::string("No such file or directory"));
    return false;
  }
  if (!std::filesystem::is_regular_file(st)) {
    *error = "cannot read " + path + ": not a regular file";
    return false;
  }
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxRiff) {
    *error = path + ": not a RIFF WAVE file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b(size_t(size), 0);
  if (!in || !in.read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()))) {
    *error = "cannot read " + path;
    return false;
  }
  auto u16 = [&](size_t o) { return uint32_t(b[o] | b[o + 1] << 8); };
  auto u32 = [&](size_t o) {
    return uint32_t(b[o] | b[o + 1] << 8 | b[o + 2] << 16 | uint32_t(b[o + 3]) << 24);
  };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
    *error = path + ": not a RIFF WAVE file";
    return false;
  }
  bool fmt = false;
  for (size_t o = 12; o + 8 <= b.size();) {
    uint32_t size = u32(o + 4);
    if (size > b.size() - o - 8) size = uint32_t(b.size() - o - 8);
    if (std::memcmp(b.data() + o, "fmt ", 4) == 0 && size >= 16) {
      uint32_t tag = u16(o + 8);
      if (tag != 1 && tag != 0xFFFE) {
        *error = path + ": only PCM WAVE files can be played";
        return false;
      }
      wav->channels = u16(o + 10);
      wav->rate = u32(o + 12);
      wav->bits = u16(o + 22);
      fmt = true;
    } else if (std::memcmp(b.data() + o, "data", 4) == 0 && fmt) {
      wav->data.assign(b.begin() + long(o + 8), b.begin() + long(o + 8 + size));
      return true;
    }
    o += 8 + size + (size & 1);
  }
  *error = path + ": no format or data chunk";
  return false;
}

bool WavWriter::open(const std::string& path, uint32_t channels, uint32_t bits, uint32_t rate) {
  out_.open(path, std::ios::binary | std::ios::trunc);
  channels_ = channels;
  bits_ = bits;
  rate_ = rate;
  header(0);
  return bool(out_);
}
void WavWriter::write(const uint8_t* p, size_t n) {
  out_.write(reinterpret_cast<const char*>(p), std::streamsize(n));
  bytes_ += n;
}
bool WavWriter::close() {
  if (!out_.is_open()) return true;
  out_.seekp(0);
  header(bytes_);
  out_.close();
  return !out_.fail();
}

void WavWriter::header(uint64_t data) {
  uint8_t h[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0};
  auto p32 = [&](int o, uint32_t v) { put_sample(h + o, 4, v); };
  auto p16 = [&](int o, uint32_t v) { put_sample(h + o, 2, v); };
  p32(4, uint32_t(36 + data));
  p16(22, channels_);
  p32(24, rate_);
  p32(28, rate_ * channels_ * bits_ / 8);
  p16(32, channels_ * bits_ / 8);
  p16(34, bits_);
  std::memcpy(h + 36, "data", 4);
  p32(40, uint32_t(data));
  out_.write(reinterpret_cast<const char*>(h), 44);
}

}  // namespace korvel::sim::devhost
