// The command line of korvel-devhost: one reader for the options of every
// mode (serving, --stream, --direct-client, --inspect) and one parser for
// every kind of value (counts, seconds, formats, rates). Options may come in
// any order; each mode takes the shared ones through ArgReader::shared()
// and reads its own with the parsers below, so that the same bad value is
// refused the same way (exit status 2) in every mode.
#ifndef KORVEL_SIM_DEVHOST_OPTIONS_H
#define KORVEL_SIM_DEVHOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "unit_audio.h"
#include "unit_clock.h"

namespace korvel::sim::devhost {

// The unit every mode runs on, and the clock it runs by.
struct UnitOptions {
  std::string model = "Tarrow";
  std::string descriptor_file;      // --descriptor FILE: a unit of any shape
  std::vector<uint8_t> descriptor;  // its bytes, once load_descriptor() read them
  ClockRates rates;                 // --rates R1,R2,... and --rate-range MIN:MAX:RES
  bool high_speed = true;           // --speed high|full
  std::string clock;                // --clock real|virtual ("": the mode's default)
  FeedbackFormat feedback_format = FeedbackFormat::BusDefault;  // --feedback-format 10.14|16.16|implicit
  // --unit-quirks SEED: the unit's message firmware at its worst (busy
  // bursts, split answers, varied item widths, timeouts), by this seed.
  bool unit_quirks = false;
  uint64_t quirks_seed = 0;
};

// A PCM format as --format and --capture-format name it.
struct PcmFormat {
  uint32_t channels = 0;
  uint32_t bits = 0;
  uint32_t rate = 0;
};

class ArgReader {
 public:
  ArgReader(int argc, char** argv) : argc_(argc), argv_(argv) {}
  // Moves to the next argument; false after the last one.
  bool next();
  const std::string& arg() const { return arg_; }
  // The value that follows the current option; false (and an error) when none.
  bool value(std::string* out);
  // Takes the current argument when it is a shared option (true), with its
  // value into *o; a wrong value sets the error.
  bool shared(UnitOptions* o);
  // The value of the current option read with one of the parsers below; a
  // wrong value sets the error `<option> wants <what>`.
  bool format(PcmFormat* out);
  bool seconds(double* out);
  bool real(double min, double max, double* out, const char* what);
  bool count(uint64_t max, uint64_t* out, const char* what);
  void fail(const std::string& why);
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  int argc_;
  char** argv_;
  int i_ = 0;
  std::string arg_;
  std::string error_;
};

// A decimal count: digits only, at most `max`. False otherwise.
bool parse_count(const std::string& text, uint64_t max, uint64_t* out);
// The same for 32-bit values (commands of the serving host).
bool parse_u32(const std::string& text, uint32_t* out);
// A real number in [min, max] (digits, sign, point, exponent; nothing else).
bool parse_real(const std::string& text, double min, double max, double* out);
// Seconds of a run: more than 0, at most a day.
bool parse_seconds(const std::string& text, double* out);
// "CH:BITS:RATE": 1 to 255 channels, 8, 16, 24 or 32 bits, a positive rate.
bool parse_format(const std::string& text, PcmFormat* out);
// "44100,48000": positive rates in Hz. False when the list is malformed.
bool parse_rates(const std::string& text, std::vector<uint32_t>* rates);
// "MIN:MAX:RES": 0 < MIN <= MAX, RES 0 or 1 for every rate in between.
bool parse_rate_range(const std::string& text, RateRange* out);
// "16.16", "10.14" or "implicit".
bool parse_feedback_format(const std::string& text, FeedbackFormat* out);
// Reads o->descriptor_file (binary, or hex text as for --inspect) into
// o->descriptor. False with the reason.
bool load_descriptor(UnitOptions* o, std::string* why);
// The contents of a descriptor file: binary, or hex text when it holds only
// hex digits and white space. False (with the reason) for odd hex text.
bool decode_descriptor_file(const std::string& contents, std::vector<uint8_t>* bytes, std::string* why);
// The mode an argument list asks for: "--stream", "--direct-client",
// "--inspect", "--make-firmware-image" or "" (serving), wherever it stands.
std::string mode_of(int argc, char** argv);

}  // namespace korvel::sim::devhost

#endif
