// korvel-devhost's command-line reader; see options.h.
#include "options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korvel::sim::devhost {

bool ArgReader::next() {
  if (failed() || i_ + 1 >= argc_) return false;
  arg_ = argv_[++i_];
  return true;
}

bool ArgReader::value(std::string* out) {
  if (i_ + 1 >= argc_) {
    fail(arg_ + " needs a value");
    return false;
  }
  *out = argv_[++i_];
  return true;
}

void ArgReader::fail(const std::string& why) {
  if (error_.empty()) error_ = why;
}

bool ArgReader::shared(UnitOptions* o) {
  std::string v;
  if (arg_ == "--model") {
    value(&o->model);
  } else if (arg_ == "--descriptor") {
    value(&o->descriptor_file);
  } else if (arg_ == "--rates") {
    if (value(&v) && !parse_rates(v, &o->rates.rates))
      fail("--rates wants positive rates in Hz, comma-separated");
  } else if (arg_ == "--rate-range") {
    RateRange r;
    if (value(&v) && !parse_rate_range(v, &r)) {
      fail("--rate-range wants MIN:MAX:RES in Hz, 0 < MIN <= MAX (RES 0 or 1: continuous)");
    } else {
      o->rates.ranges.push_back(r);
    }
  } else if (arg_ == "--speed") {
    if (value(&v) && v != "high" && v != "full") fail("--speed is high or full");
    o->high_speed = v == "high";
  } else if (arg_ == "--clock") {
    if (value(&o->clock) && o->clock != "real" && o->clock != "virtual") fail("--clock is real or virtual");
  } else if (arg_ == "--unit-quirks") {
    o->unit_quirks = count(UINT64_MAX, &o->quirks_seed, "a seed, a number");
  } else if (arg_ == "--feedback-format") {
    if (value(&v) && !parse_feedback_format(v, &o->feedback_format))
      fail("--feedback-format is 10.14, 16.16 or implicit");
  } else {
    return false;
  }
  return true;
}

bool ArgReader::format(PcmFormat* out) {
  std::string v;
  if (!value(&v)) return false;
  if (parse_format(v, out)) return true;
  fail(arg_ + " wants CH:BITS:RATE (1 to 255 channels, 8, 16, 24 or 32 bits, rate in Hz), e.g. 2:24:48000");
  return false;
}

bool ArgReader::seconds(double* out) {
  std::string v;
  if (!value(&v)) return false;
  if (parse_seconds(v, out)) return true;
  fail(arg_ + " wants SECONDS (more than 0, at most 86400)");
  return false;
}

bool ArgReader::real(double min, double max, double* out, const char* what) {
  std::string v;
  if (!value(&v)) return false;
  if (parse_real(v, min, max, out)) return true;
  fail(arg_ + " wants " + what);
  return false;
}

bool ArgReader::count(uint64_t max, uint64_t* out, const char* what) {
  std::string v;
  if (!value(&v)) return false;
  if (parse_count(v, max, out)) return true;
  fail(arg_ + " wants " + what);
  return false;
}

bool parse_count(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = v;
  return true;
}

bool parse_u32(const std::string& text, uint32_t* out) {
  uint64_t v = 0;
  if (!parse_count(text, 0xFFFFFFFFull, &v)) return false;
  *out = uint32_t(v);
  return true;
}

bool parse_real(const std::string& text, double min, double max, double* out) {
  if (text.empty() || text.size() > 32 || text.find_first_not_of("0123456789+-.eE") != std::string::npos)
    return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != 0 || !std::isfinite(v) || v < min || v > max) return false;
  *out = v;
  return true;
}

bool parse_seconds(const std::string& text, double* out) {
  double v = 0;
  if (!parse_real(text, 0, 86400, &v) || !(v > 0)) return false;
  *out = v;
  return true;
}

bool parse_format(const std::string& text, PcmFormat* out) {
  std::vector<uint64_t> parts;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ':')) {
    uint64_t v = 0;
    if (!parse_count(item, 0xFFFFFFFFull, &v)) return false;
    parts.push_back(v);
  }
  if (parts.size() != 3 || text.back() == ':') return false;
  const uint64_t channels = parts[0], bits = parts[1], rate = parts[2];
  if (channels < 1 || channels > 255 || (bits != 8 && bits != 16 && bits != 24 && bits != 32) || rate == 0)
    return false;
  *out = PcmFormat{uint32_t(channels), uint32_t(bits), uint32_t(rate)};
  return true;
}

bool parse_rates(const std::string& text, std::vector<uint32_t>* rates) {
  rates->clear();
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    uint32_t v = 0;
    if (!parse_u32(item, &v) || v == 0) return false;
    rates->push_back(v);
  }
  return !rates->empty() && text.back() != ',';
}

bool parse_rate_range(const std::string& text, RateRange* out) {
  std::vector<uint32_t> parts;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ':')) {
    uint32_t v = 0;
    if (!parse_u32(item, &v)) return false;
    parts.push_back(v);
  }
  if (parts.size() != 3 || text.back() == ':' || parts[0] == 0 || parts[0] > parts[1]) return false;
  *out = RateRange{parts[0], parts[1], parts[2]};
  return true;
}

bool parse_feedback_format(const std::string& text, FeedbackFormat* out) {
  if (text == "16.16") {
    *out = FeedbackFormat::Q16_16;
  } else if (text == "10.14") {
    *out = FeedbackFormat::Q10_14;
  } else if (text == "implicit") {
    *out = FeedbackFormat::Implicit;
  } else {
    return false;
  }
  return true;
}

bool decode_descriptor_file(const std::string& contents, std::vector<uint8_t>* bytes, std::string* why) {
  bool hex = true;
  for (unsigned char c : contents) {
    if (!std::isxdigit(c) && !std::isspace(c)) {
      hex = false;
      break;
    }
  }
  bytes->clear();
  if (!hex) {
    bytes->assign(contents.begin(), contents.end());
    return true;
  }
  std::string digits;
  for (unsigned char c : contents) {
    if (std::isxdigit(c)) digits += char(c);
  }
  if (digits.size() % 2 != 0) {
    if (why) *why = "the hex text has an odd number of digits";
    return false;
  }
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(uint8_t(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

bool load_descriptor(UnitOptions* o, std::string* why) {
  // A configuration descriptor's wTotalLength is 16-bit; as hex text each
  // byte takes two digits and some white space.
  constexpr size_t kMaxBinary = 0xFFFF;
  constexpr size_t kMaxText = 4 * (kMaxBinary + 1);
  const std::string& name = o->descriptor_file;
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(name, ec);
  if (ec || !std::filesystem::exists(st)) {
    *why = "cannot read " + name + ": " + (ec ? ec.message() : std::string("No such file or directory"));
    return false;
  }
  if (!std::filesystem::is_regular_file(st)) {
    *why = "cannot read " + name + ": not a regular file";
    return false;
  }
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    *why = "cannot read " + name;
    return false;
  }
  std::string contents(kMaxText + 1, '\0');
  in.read(contents.data(), std::streamsize(contents.size()));
  if (in.bad()) {
    *why = "cannot read " + name;
    return false;
  }
  contents.resize(size_t(in.gcount()));
  if (contents.size() > kMaxText) {
    *why = "cannot read " + name + ": larger than a configuration descriptor can be";
    return false;
  }
  std::string reason;
  if (!decode_descriptor_file(contents, &o->descriptor, &reason)) {
    *why = name + ": " + reason;
    return false;
  }
  if (o->descriptor.size() > kMaxBinary) {
    *why = "cannot read " + name + ": larger than a configuration descriptor can be";
    return false;
  }
  return true;
}

std::string mode_of(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--stream" || a == "--direct-client" || a == "--inspect" || a == "--make-firmware-image")
      return a;
  }
  return {};
}

}  // namespace korvel::sim::devhost
