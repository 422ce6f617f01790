// korvel-devhost: runs a simulated KORVEL unit and serves it to the clients of
// the Windows stand-in (the panel, korvelctl), or writes firmware images.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devhost_wire.h"
#include "direct_mode.h"
#include "driver_hooks.h"
#include "driver_stack.h"
#include "inspect.h"
#include "kernel/clock.h"
#include "ks_client.h"
#include "options.h"
#include "published_device.h"
#include "server.h"
#include "unit.h"

using namespace korvel;

namespace {

void usage(FILE* f) {
  std::fprintf(
      f,
      "usage: korvel-devhost [--model NAME | --descriptor FILE [--rates R1,...] [--rate-range MIN:MAX:RES]]\n"
      "                      [--unit-quirks SEED] [--speed high|full] [--clock real|virtual]\n"
      "                      [--feedback-format 10.14|16.16|implicit] [--play-audio]\n"
      "       korvel-devhost --stream SECONDS [--format CH:BITS:RATE] [--capture-format CH:BITS:RATE]\n"
      "                      [--loopback] [--render-only] [--drift-ppm P] [--report FILE]\n"
      "                      [--play IN.wav] [--record OUT.wav] ...\n"
      "       korvel-devhost --direct-client SECONDS [--format CH:BITS:RATE] [--loopback] ...\n"
      "       korvel-devhost --inspect FILE [--rates R1,...] [--rate-range MIN:MAX:RES] [--speed high|full]\n"
      "       korvel-devhost --make-firmware-image FILE --version MAJOR.MINOR --build N [--size BYTES]\n"
      "The common options (--model, --descriptor, --rates, --rate-range, --unit-quirks, --speed,\n"
      "--clock, --feedback-format) go with every mode.\n"
      "\n"
      "Serving mode publishes one simulated unit (Tarrow, Quenby, Pellin, Dorrit, \"Far Link\")\n"
      "on the device-host socket and reads commands from standard input:\n"
      "  unplug | plug | model NAME | busy MS | stall N | stall-timeout N | sleep MS | stream on|off\n"
      "  level N DB|off | quit\n"
      "With --play-audio (or after `stream on`) it plays a music-like signal through quenby's\n"
      "render pin, as the Windows audio engine would, so that the unit's COMPUTER OUT meters\n"
      "move; the stream stops before each unplug and starts again after each plug.\n");
}

struct Options {
  sim::devhost::UnitOptions unit;
  std::string image_file;
  std::string version;
  std::string build;
  std::string size;
  bool play_audio = false;  // audio through the driver from the start
};

int make_firmware_image(const Options& o) {
  using sim::devhost::parse_count;
  uint64_t major = 0, minor = 0, build = 0, size = 0;
  if (o.version.empty() || o.build.empty()) {
    std::fprintf(stderr, "korvel-devhost: --make-firmware-image needs --version MAJOR.MINOR and --build N\n");
    return 2;
  }
  size_t dot = o.version.find('.');
  if (dot == std::string::npos || !parse_count(o.version.substr(0, dot), 655, &major) ||
      o.version.size() - dot - 1 != 2 || !parse_count(o.version.substr(dot + 1), 99, &minor)) {
    std::fprintf(stderr, "korvel-devhost: --version wants MAJOR.MINOR with two minor digits, e.g. 1.06\n");
    return 2;
  }
  if (!parse_count(o.build, 65535, &build)) {
    std::fprintf(stderr, "korvel-devhost: --build wants a number from 0 to 65535\n");
    return 2;
  }
  if (!o.size.empty() && !parse_count(o.size, 0xFFFFFFFFull, &size)) {
    std::fprintf(stderr, "korvel-devhost: --size wants a byte count\n");
    return 2;
  }
  std::vector<uint8_t> image =
      sim::make_firmware_image(uint16_t(major * 100 + minor), uint16_t(build), uint32_t(size));
  std::ofstream out(o.image_file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "korvel-devhost: cannot write %s\n", o.image_file.c_str());
    return 1;
  }
  std::printf("wrote %s: version %llu.%02llu build %llu, %zu bytes\n", o.image_file.c_str(),
              static_cast<unsigned long long>(major), static_cast<unsigned long long>(minor),
              static_cast<unsigned long long>(build), image.size());
  return 0;
}

int serve(const Options& o) {
  sim::Model model;
  if (!sim::model_from_name(o.unit.model, &model)) {
    std::fprintf(stderr,
                 "korvel-devhost: unknown model \"%s\" (Tarrow, Quenby, Pellin, Dorrit, \"Far Link\")\n",
                 o.unit.model.c_str());
    return 2;
  }
  std::string error;
  std::string path = wire::devhost_socket_path(&error);
  if (path.empty()) {
    std::fprintf(stderr, "korvel-devhost: %s\n", error.c_str());
    return 1;
  }
  // A host serving clients runs on the wall clock unless told otherwise.
  sim::Clock::instance().set_mode(o.unit.clock == "virtual" ? sim::ClockMode::Virtual : sim::ClockMode::Real);
  // quenby runs on the unit: a plug is the driver's add and start, an
  // unplug its surprise removal and removal. One driver per process: a new
  // model gets a new stack on a new unit.
  // With --descriptor the unit's USB function is built from that descriptor.
  devhost::DriverSlot driver;  // declared before the device: outlives it
  // Audio through the driver's pins, as the Windows audio engine plays it:
  // on the current stack, until stopped. It outlives the device, whose
  // last unplug stops it.
  sim::devhost::StreamOptions stream;
  stream.seconds = 0;
  stream.music = true;
  // Render only: a running capture pin makes the unit show what it captures
  // on its input meters, which would hide the inputs' own moving signals.
  stream.render_only = true;
  devhost::AudioPlayer player(&driver, stream, o.play_audio);
  devhost::DeviceHooks hooks = devhost::driver_hooks(&driver, o.unit.high_speed, o.unit.descriptor,
                                                     o.unit.rates, &player, o.unit.feedback_format);
  if (o.unit.unit_quirks) {
    // Every unit this host makes (a model change makes a new one) has them.
    const uint64_t seed = o.unit.quirks_seed;
    hooks.make_unit = [make = hooks.make_unit, seed](sim::Model m) {
      auto unit = make(m);
      // Short replies now reach the client as short transfers, and the
      // device library ends an operation on one; until it retries them the
      // host's quirks leave them out (tests reach them with Unit::short_next).
      unit->set_quirks(seed, false);
      return unit;
    };
  }
  devhost::PublishedDevice device(model, std::move(hooks));
  std::string refused = device.start();
  if (!refused.empty()) {
    std::fprintf(stderr, "korvel-devhost: %s\n", refused.c_str());
    return 1;
  }
  devhost::Server server(device);
  if (!server.listen_on(path, &error)) {
    std::fprintf(stderr, "korvel-devhost: %s\n", error.c_str());
    return 1;
  }
  devhost::stop_on_signals(&server);
  std::printf("ready %s\n", path.c_str());
  std::fflush(stdout);
  std::thread commands([&] { server.read_commands(STDIN_FILENO, stdout); });
  server.run();
  commands.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The mode word may stand anywhere; each mode reads its own options.
  const std::string mode = sim::devhost::mode_of(argc, argv);
  if (mode == "--stream") return sim::devhost::run_stream(argc, argv);
  if (mode == "--direct-client") return devhost::run_direct_mode(argc, argv);
  if (mode == "--inspect") return sim::devhost::run_inspect(argc, argv);
  Options o;
  sim::devhost::ArgReader args(argc, argv);
  while (args.next()) {
    const std::string& a = args.arg();
    if (a == "--make-firmware-image") {
      args.value(&o.image_file);
    } else if (a == "--version") {
      args.value(&o.version);
    } else if (a == "--build") {
      args.value(&o.build);
    } else if (a == "--size") {
      args.value(&o.size);
    } else if (a == "--play-audio") {
      o.play_audio = true;
    } else if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (!args.shared(&o.unit)) {
      std::fprintf(stderr, "korvel-devhost: unknown option %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (args.failed()) {
    std::fprintf(stderr, "korvel-devhost: %s\n", args.error().c_str());
    return 2;
  }
  if (!o.image_file.empty()) return make_firmware_image(o);
  std::string why;
  if (!o.unit.descriptor_file.empty() && !sim::devhost::load_descriptor(&o.unit, &why)) {
    std::fprintf(stderr, "korvel-devhost: %s\n", why.c_str());
    return 2;
  }
  return serve(o);
}
