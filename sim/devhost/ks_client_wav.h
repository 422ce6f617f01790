// WAV files of korvel-devhost's kernel-streaming client: the PCM file it
// plays (--play) and the one it records the captured audio to (--record).
#ifndef KORVEL_SIM_DEVHOST_KS_CLIENT_WAV_H
#define KORVEL_SIM_DEVHOST_KS_CLIENT_WAV_H

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace korvel::sim::devhost {

// A PCM WAVE file: its format and its sample data.
struct Wav {
  uint32_t channels = 0, bits = 0, rate = 0;
  std::vector<uint8_t> data;
};

// Reads a PCM (or extensible PCM) WAVE file; false with the reason.
bool read_wav(const std::string& path, Wav* wav, std::string* error);

// Writes a PCM WAVE file; the header gets its sizes at close().
class WavWriter {
 public:
  bool open(const std::string& path, uint32_t channels, uint32_t bits, uint32_t rate);
  void write(const uint8_t* p, size_t n);
  bool close();

 private:
  void header(uint64_t data);
  std::ofstream out_;
  uint32_t channels_ = 0, bits_ = 0, rate_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace korvel::sim::devhost

#endif
