// korvel-devhost's command-line reader; see options.h.
#include "options.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "inspect.h"

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
    if (value(&v) && !parse_rates(v, &o->rates)) fail("--rates needs positive rates in Hz, comma-separated");
  } else if (arg_ == "--speed") {
    if (value(&v) && v != "high" && v != "full") fail("--speed is high or full");
    o->high_speed = v == "high";
  } else if (arg_ == "--clock") {
    if (value(&o->clock) && o->clock != "real" && o->clock != "virtual") fail("--clock is real or virtual");
  } else {
    return false;
  }
  return true;
}

bool parse_rates(const std::string& text, std::vector<uint32_t>* rates) {
  rates->clear();
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.empty() || item.size() > 10) return false;
    for (char c : item) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    unsigned long long v = std::strtoull(item.c_str(), nullptr, 10);
    if (v == 0 || v > 0xFFFFFFFFull) return false;
    rates->push_back(uint32_t(v));
  }
  return !rates->empty();
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
    *why = "cannot read " + name;
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
