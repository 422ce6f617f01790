// korvel-devhost --inspect: quenby's start on a device made of a raw
// configuration descriptor, reported as one JSON object.
#include "inspect.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "kernel/clock.h"
#include "options.h"

namespace korvel::sim::devhost {

namespace {

void put_int_or_null(std::ostringstream& o, int v) {
  if (v < 0) {
    o << "null";
  } else {
    o << v;
  }
}

void put_path(std::ostringstream& o, const PathReport& p, bool render) {
  if (!p.present) {
    o << "null";
    return;
  }
  o << "{\"interface\": " << p.interface_number;
  if (render) o << ", \"feature_unit\": " << (p.feature_unit ? "true" : "false");
  o << ", \"clock_id\": ";
  put_int_or_null(o, p.clock_id);
  o << ", \"slots\": [";
  for (size_t i = 0; i < p.slots.size(); ++i) {
    const SlotReport& s = p.slots[i];
    if (i != 0) o << ", ";
    o << "{\"alt\": " << s.alt << ", \"channels\": ";
    put_int_or_null(o, s.channels);
    o << ", \"bits\": ";
    put_int_or_null(o, s.bits);
    o << ", \"data_endpoint\": ";
    put_int_or_null(o, s.data_endpoint);
    o << ", \"max_packet\": ";
    put_int_or_null(o, s.max_packet);
    o << ", \"feedback_endpoint\": ";
    put_int_or_null(o, s.feedback_endpoint);
    o << "}";
  }
  o << "], \"limits\": {\"min_channels\": " << p.min_channels << ", \"max_channels\": " << p.max_channels
    << ", \"min_bits\": " << p.min_bits << ", \"max_bits\": " << p.max_bits
    << ", \"min_rate\": " << p.min_rate << ", \"max_rate\": " << p.max_rate << "}, \"rates\": [";
  for (size_t i = 0; i < p.rates.size(); ++i) o << (i != 0 ? ", " : "") << p.rates[i];
  o << "]}";
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

int usage(const char* why) {
  std::fprintf(stderr, "korvel-devhost --inspect: %s\n", why);
  std::fprintf(stderr,
               "usage: korvel-devhost --inspect FILE [--rates R1,R2,...] [--rate-range MIN:MAX:RES ...]\n"
               "                      [--speed high|full]\n");
  return 2;
}

}  // namespace

std::string report_json(const StartReport& r) {
  std::ostringstream o;
  o << "{\"ok\": " << (r.ok ? "true" : "false");
  if (!r.ok) o << ", \"error\": " << json_string(r.error);
  o << ", \"high_speed\": " << (r.high_speed ? "true" : "false") << ", \"render\": ";
  put_path(o, r.render, true);
  o << ", \"capture\": ";
  put_path(o, r.capture, false);
  if (r.function) {
    o << ", \"function\": {\"first_interface\": " << r.function_first_interface << ", \"interfaces\": [";
    for (size_t i = 0; i < r.function_interfaces.size(); ++i)
      o << (i != 0 ? ", " : "") << r.function_interfaces[i];
    o << "]}";
  }
  o << "}";
  return o.str();
}

int run_inspect(int argc, char** argv) {
  UnitOptions unit;
  ArgReader args(argc, argv);
  while (args.next()) {
    if (args.arg() == "--inspect") {
      args.value(&unit.descriptor_file);
    } else if (!args.shared(&unit)) {
      args.fail("unknown option " + args.arg());
    }
  }
  if (args.failed()) return usage(args.error().c_str());
  if (unit.descriptor_file.empty()) return usage("no file given");
  std::string why;
  if (!load_descriptor(&unit, &why)) {
    std::fprintf(stderr, "korvel-devhost --inspect: %s\n", why.c_str());
    return 2;
  }
  const std::vector<uint8_t>& bytes = unit.descriptor;
  const ClockRates& rates = unit.rates;
  const bool high_speed = unit.high_speed;
  const ClockMode mode = unit.clock == "real" ? ClockMode::Real : ClockMode::Virtual;

  Clock::instance().set_mode(mode);
  StartReport report;
  {
    DriverStack stack(bytes, rates, high_speed);
    stack.plug();
    report = stack.report();
    report.high_speed = high_speed;
    stack.remove();
  }
  std::printf("%s\n", report_json(report).c_str());
  std::fflush(stdout);
  return report.ok ? 0 : 1;
}

}  // namespace korvel::sim::devhost
