// The command line of korvel-devhost: one reader for the options of every
// mode (serving, --stream, --direct-client, --inspect). Options may come in
// any order; each mode takes the shared ones through ArgReader::shared()
// and reads its own.
#ifndef KORVEL_SIM_DEVHOST_OPTIONS_H
#define KORVEL_SIM_DEVHOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace korvel::sim::devhost {

// The unit every mode runs on, and the clock it runs by.
struct UnitOptions {
  std::string model = "Tarrow";
  std::string descriptor_file;      // --descriptor FILE: a unit of any shape
  std::vector<uint8_t> descriptor;  // its bytes, once load_descriptor() read them
  std::vector<uint32_t> rates;      // --rates R1,R2,...: what the unit's clock offers
  bool high_speed = true;           // --speed high|full
  std::string clock;                // --clock real|virtual ("": the mode's default)
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

// "44100,48000": positive rates in Hz. False when the list is malformed.
bool parse_rates(const std::string& text, std::vector<uint32_t>* rates);
// Reads o->descriptor_file (binary, or hex text as for --inspect) into
// o->descriptor. False with the reason.
bool load_descriptor(UnitOptions* o, std::string* why);
// The mode an argument list asks for: "--stream", "--direct-client",
// "--inspect", "--make-firmware-image" or "" (serving), wherever it stands.
std::string mode_of(int argc, char** argv);

}  // namespace korvel::sim::devhost

#endif
