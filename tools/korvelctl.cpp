// korvelctl: command-line client of the device library, the support tool for
// a connected KORVEL unit. The library writes its diagnostics to standard
// output; korvelctl moves them to standard error and keeps standard output
// for its own results.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fdopen _fdopen
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "unittext.h"
#include "vxctl.h"

namespace {

FILE* g_out = stdout;  // korvelctl's own results

// The library writes its diagnostic lines to standard output: they go to
// standard error, and korvelctl keeps the original standard output for its
// results.
bool redirect_diagnostics() {
  fflush(stdout);
  int saved = dup(fileno(stdout));
  if (saved < 0) return false;
  g_out = fdopen(saved, "w");
  if (!g_out || dup2(fileno(stderr), fileno(stdout)) < 0) return false;
  setvbuf(stdout, nullptr, _IOLBF, 1024);  // each line as it comes, among korvelctl's own
  return true;
}

void json_string(FILE* f, const std::string& s) {
  fputs(unit_text_json(s).c_str(), f);
}

bool get_text(unsigned (*fn)(usbdevs_handle*, char*, uint8_t, uint8_t*), usbdevs_handle* h,
              std::string* out) {
  char buf[64];
  uint8_t len = 0;
  if (fn(h, buf, sizeof buf, &len)) return false;
  // Texts end at their first zero byte (units pad fixed-size fields).
  out->assign(buf, strnlen(buf, len));
  return true;
}

int fail(const char* what) {
  fprintf(stderr, "korvelctl: %s\n", what);
  return 1;
}

// Whether the call that just failed never reached the unit because another
// program kept it for the library's whole wait.
bool unit_held_elsewhere() {
  return GetLastError() == ERROR_TIMEOUT;
}

// A failed call to the unit: `what` went wrong with the unit, unless another
// program was using it all along.
int unit_fail(const char* what) {
  if (unit_held_elsewhere()) {
    char holder[96] = "another program";
    usbdevs_exchange_holder_t who;
    if (usbdevs_exchange_holder(&who)) {
      snprintf(holder, sizeof holder, "process %u in session %u", unsigned(who.process_id),
               unsigned(who.session_id));
    }
    char text[200];
    snprintf(text, sizeof text,
             "%s is using the unit (still busy with it after %u s); try again when it is done", holder,
             unsigned(USBDEVS_EXCHANGE_WAIT_MS / 1000));
    return fail(text);
  }
  return fail(what);
}

int cmd_info(usbdevs_handle* h, bool json) {
  uint16_t version = 0, build = 0;
  uint32_t hz = 0;
  std::string product, date, time, sig, serial;
  if (vxctl_get_version(h, &version) || vxctl_get_build(h, &build) ||
      !get_text(vxctl_get_productname, h, &product) || !get_text(vxctl_get_builddate, h, &date) ||
      !get_text(vxctl_get_buildtime, h, &time) || !get_text(vxctl_get_productsig, h, &sig) ||
      !get_text(vxctl_get_serial, h, &serial) || vxctl_get_hz(h, &hz))
    return unit_fail("the unit did not answer the identity queries");
  char firmware[32];
  snprintf(firmware, sizeof firmware, "%u.%02u %04u", version / 100u, version % 100u, (unsigned)build);
  if (json) {
    fprintf(g_out, "{\"product\": ");
    json_string(g_out, product);
    fprintf(g_out, ", \"version\": %u, \"build\": %u, \"firmware\": ", version, build);
    json_string(g_out, firmware);
    fprintf(g_out, ", \"build_date\": ");
    json_string(g_out, date);
    fprintf(g_out, ", \"build_time\": ");
    json_string(g_out, time);
    fprintf(g_out, ", \"signature\": ");
    json_string(g_out, sig);
    fprintf(g_out, ", \"serial\": ");
    json_string(g_out, serial);
    fprintf(g_out, ", \"sample_rate\": %u}\n", hz);
  } else {
    fprintf(g_out,
            "product      %s\nfirmware     %s (version %u, build %u)\nbuilt        %s %s\nsignature    %s\n"
            "serial       %s\nsample rate  %u Hz\n",
            unit_text_plain(product).c_str(), firmware, version, build, unit_text_plain(date).c_str(),
            unit_text_plain(time).c_str(), unit_text_plain(sig).c_str(), unit_text_plain(serial).c_str(), hz);
  }
  return 0;
}

const char* type_label(uint32_t type) {
  switch (type) {
    case 1:
      return "LINE OUT";
    case 2:
      return "MASTER OUT";
    case 3:
      return "COMPUTER OUT";
    case 4:
      return "ANALOG IN";
    case 5:
      return "DIRECT MON";
    default:
      return nullptr;
  }
}

// One terminal frame: a row of level cells per channel-type block.
void draw_meters(const std::string& product, const std::vector<vxctl_meter_t>& recs) {
  static const char* cells[] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  fprintf(g_out, "\x1b[H\x1b[2J%s, %zu meter records (-60 dB .. 0 dB)\n\n", unit_text_plain(product).c_str(),
          recs.size());
  size_t i = 0;
  while (i < recs.size()) {
    uint32_t type = recs[i].type;
    const char* label = type_label(type);
    char name[32];
    if (label)
      snprintf(name, sizeof name, "%s", label);
    else
      snprintf(name, sizeof name, "TYPE %u", type);
    fprintf(g_out, "%-13s", name);
    uint16_t peak = 0;
    for (; i < recs.size() && recs[i].type == type; ++i) {
      uint16_t v = recs[i].value > 32767 ? 0 : recs[i].value;
      double db = v ? 20.0 * std::log10(v / 32767.0) : -100.0;
      int cell = db <= -60.0 ? 0 : int((db + 60.0) / 60.0 * 8.0 + 0.5);
      if (cell > 8) cell = 8;
      fputs(cells[cell], g_out);
      if (v > peak) peak = v;
    }
    double db = peak ? 20.0 * std::log10(peak / 32767.0) : -99.9;
    fprintf(g_out, "  %6.1f dB%s\n", db < -99.9 ? -99.9 : db, peak >= 32767 ? "  CLIP" : "");
  }
  fflush(g_out);
}

int cmd_meters(usbdevs_handle* h, bool json, bool watch) {
  std::string product;
  if (!get_text(vxctl_get_productname, h, &product))
    return unit_fail("the unit did not report its product name");
  int count = vxctl_meter_records(product.c_str());
  if (count == 0) return fail(("unknown product \"" + unit_text_plain(product) + "\"").c_str());
  bool tty = isatty(fileno(g_out));
  do {
    std::vector<vxctl_meter_t> recs(static_cast<size_t>(count));
    uint8_t n = 0;
    if (vxctl_get_meter(h, recs.data(), uint8_t(count), &n)) return unit_fail("meter fetch failed");
    recs.resize(n);
    if (json) {
      fprintf(g_out, "{\"product\": ");
      json_string(g_out, product);
      fprintf(g_out, ", \"records\": [");
      for (size_t i = 0; i < recs.size(); ++i)
        fprintf(g_out, "%s{\"type\": %u, \"number\": %u, \"value\": %u}", i ? ", " : "", recs[i].type,
                recs[i].number, recs[i].value);
      fprintf(g_out, "]}\n");
      fflush(g_out);
    } else if (watch && tty) {
      draw_meters(product, recs);
    } else {
      for (const auto& r : recs) fprintf(g_out, "%u %u %u\n", r.type, r.number, r.value);
      if (watch) fprintf(g_out, "\n");
      fflush(g_out);
    }
    if (watch) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (watch);
  return 0;
}

int cmd_recfunc(usbdevs_handle* h, bool json) {
  uint8_t states[64];
  uint8_t len = 0;
  if (vxctl_get_recfunc(h, states, sizeof states, &len))
    return unit_fail("the unit did not report its rec functions");
  if (len > 24) len = 24;
  if (json) {
    fprintf(g_out, "{\"states\": [");
    for (int i = 0; i < 24; ++i) fprintf(g_out, "%s%u", i ? ", " : "", i < len ? states[i] : 0);
    fprintf(g_out, "]}\n");
  } else {
    static const char* names[] = {"off", "on", "blinking"};
    for (int i = 0; i < 24; ++i) {
      unsigned s = i < len ? states[i] : 0;
      fprintf(g_out, "%2d %s\n", i + 1, s < 3 ? names[s] : "?");
    }
  }
  return 0;
}

bool parse_u32(const char* s, uint32_t max, uint32_t* v) {
  char* end = nullptr;
  unsigned long long x = strtoull(s, &end, 0);
  if (!*s || *end || x > max) return false;
  *v = uint32_t(x);
  return true;
}

// A checked `set` command line, ready to send.
struct Setting {
  std::string what;
  uint32_t v[4] = {0, 0, 0, 0};
};

// Checks the arguments of `set` before any unit is opened; 0 or the exit status.
int parse_set(int argc, char** argv, Setting* s) {
  if (argc < 1) return fail("set what? (fader, mute, stereo, assign)");
  s->what = argv[0];
  if (s->what != "fader" && s->what != "mute" && s->what != "stereo" && s->what != "assign")
    return fail("set what? (fader, mute, stereo, assign)");
  int need = s->what == "assign" ? 4 : 3;
  if (argc != need + 1) return fail("wrong number of arguments for set");
  for (int i = 0; i < need; ++i)
    if (!parse_u32(argv[i + 1], 255, &s->v[i])) return fail("arguments must be numbers from 0 to 255");
  if (s->what == "mute" && s->v[2] > 1) return fail("mute is 0 or 1");
  if (s->what == "stereo" && s->v[2] != 1 && s->v[2] != 4)
    return fail("stereo mode is 1 (mono) or 4 (stereo)");
  return 0;
}

int cmd_set(usbdevs_handle* h, const Setting& s) {
  const uint32_t* v = s.v;
  unsigned r;
  if (s.what == "fader") {
    r = vxctl_set_fader(h, v[0], uint8_t(v[1]), uint8_t(v[2]));
  } else if (s.what == "mute") {
    r = vxctl_set_mute(h, v[0], uint8_t(v[1]), uint8_t(v[2]));
  } else if (s.what == "stereo") {
    r = vxctl_set_stereo(h, v[0], uint8_t(v[1]), uint8_t(v[2]));
  } else {
    r = vxctl_assign(h, v[0], uint8_t(v[1]), v[2], uint8_t(v[3]));
  }
  return r ? unit_fail("the unit did not take the setting") : 0;
}

int cmd_assign_dump(usbdevs_handle* h) {
  char text[8192];
  uint32_t len = 0;
  unsigned r = vxctl_dump_assign(h, text, sizeof text, &len);
  fwrite(text, 1, len, g_out);
  return r ? unit_fail("assignment dump incomplete") : 0;
}

// Largest image read: no unit's flash holds more.
constexpr size_t kMaxImage = 16u << 20;

// Reads a firmware image before any unit is opened; 0 or the exit status.
int read_image(const char* file, std::vector<uint8_t>* image) {
  std::string name(file);
  FILE* f = fopen(file, "rb");
  if (!f) return fail(("cannot read " + name + ": " + strerror(errno)).c_str());
  image->clear();
  uint8_t buf[65536];
  size_t k;
  bool too_big = false;
  while ((k = fread(buf, 1, sizeof buf, f)) > 0) {
    if (image->size() + k > kMaxImage) {
      too_big = true;
      break;
    }
    image->insert(image->end(), buf, buf + k);
  }
  bool error = ferror(f) != 0;
  int saved = errno;
  fclose(f);
  if (error) return fail(("cannot read " + name + ": " + strerror(saved)).c_str());
  if (too_big)
    return fail(
        (name + " is larger than " + std::to_string(kMaxImage >> 20) + " MiB; not a firmware image").c_str());
  if (image->empty()) return fail((name + " is empty; not a firmware image").c_str());
  return 0;
}

// What a firmware transfer has shown so far: a progress bar on a terminal
// (plain percentage lines otherwise) and, once every byte is in, a line
// every 10 s while the unit checks the image, as that takes up to about two
// minutes when it never confirms.
struct FirmwareView {
  bool tty = false;
  int percent = -1;
  uint32_t delivered = 0, total = 0;
  std::chrono::steady_clock::time_point all_in{};
  int waited_shown = 0;
};

void show_firmware_progress(void* context, vxctl_fw_phase_t phase, uint32_t delivered, uint32_t total) {
  auto* v = static_cast<FirmwareView*>(context);
  v->delivered = delivered;
  v->total = total;
  if (phase == VXCTL_FW_CONFIRMING) {
    auto now = std::chrono::steady_clock::now();
    if (v->all_in == std::chrono::steady_clock::time_point()) v->all_in = now;
    int waited = int(std::chrono::duration_cast<std::chrono::seconds>(now - v->all_in).count());
    if (waited >= v->waited_shown + 10) {
      v->waited_shown = waited;
      fprintf(stderr, "korvelctl: waiting for the unit to confirm the image (%d s of at most 120)\n", waited);
      fflush(stderr);
    }
  }
  int percent = total ? int(uint64_t(delivered) * 100 / total) : 0;
  if (percent == v->percent) return;
  v->percent = percent;
  if (v->tty) {
    int filled = percent * 40 / 100;
    fprintf(g_out, "\r[%.*s%*s] %3d%%", filled, "########################################", 40 - filled, "",
            percent);
  } else {
    fprintf(g_out, "%d%%\n", percent);
  }
  fflush(g_out);
}

int cmd_fw_update(usbdevs_handle* h, std::vector<uint8_t>& image) {
  auto started = std::chrono::steady_clock::now();
  FirmwareView view;
  view.tty = isatty(fileno(g_out)) != 0;
  unsigned r =
      vxctl_fw_update_progress(h, image.data(), uint32_t(image.size()), show_firmware_progress, &view);
  if (view.tty) fprintf(g_out, "\n");
  if (r == 0) {
    fprintf(g_out, "firmware transferred: %u bytes\n", view.delivered);
  } else if (r == 2) {
    fprintf(stderr, "korvelctl: the unit cancelled the firmware transfer\n");
  } else if (view.total && view.delivered == view.total) {
    long secs = long(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count());
    fprintf(stderr,
            "korvelctl: firmware transfer failed after %ld s: every byte was delivered but the unit never "
            "confirmed the image; it most likely rejected it (damaged image or wrong checksum)\n",
            secs);
  } else if (unit_held_elsewhere()) {
    unit_fail("firmware transfer failed");
  } else {
    fprintf(stderr, "korvelctl: firmware transfer failed (the unit stopped answering or refused the data)\n");
  }
  return int(r);
}

void usage(FILE* f) {
  fprintf(f,
          "usage: korvelctl COMMAND\n"
          "  info [--json]                     identity, firmware, serial and sample rate\n"
          "  meters [--json] [--watch]         meter records (--watch refreshes every 100 ms)\n"
          "  recfunc [--json]                  rec-function states of the 24 channels\n"
          "  assign-dump                       the unit's assignment table\n"
          "  set fader TYPE NUMBER VALUE\n"
          "  set mute TYPE NUMBER 0|1\n"
          "  set stereo TYPE NUMBER 1|4\n"
          "  set assign IN_TYPE IN_NUMBER OUT_TYPE OUT_NUMBER\n"
          "  fw-update IMAGE                   transfer a firmware image to the unit\n"
          "The unit's texts are printed with a backslash as \\\\ and control characters and bytes\n"
          "that are not UTF-8 as \\xNN; in JSON as RFC 8259 escapes (\\u00NN, \\ufffd for non-UTF-8).\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string cmd = argv[1];
  bool json = false, watch = false;
  std::vector<char*> rest;
  for (int i = 2; i < argc; ++i) {
    if (!strcmp(argv[i], "--json"))
      json = true;
    else if (!strcmp(argv[i], "--watch"))
      watch = true;
    else
      rest.push_back(argv[i]);
  }
  static const char* known[] = {"info", "meters", "recfunc", "assign-dump", "set", "fw-update"};
  bool ok = false;
  for (const char* k : known) ok = ok || cmd == k;
  if (!ok) {
    usage(stderr);
    return 2;
  }
  // Each command takes its own options and arguments only: a mistyped one is
  // refused, before any unit is looked for, rather than silently ignored.
  const bool takes_json = cmd == "info" || cmd == "meters" || cmd == "recfunc";
  if (json && !takes_json) return fail((cmd + " takes no --json (see korvelctl --help)").c_str());
  if (watch && cmd != "meters") return fail((cmd + " takes no --watch (see korvelctl --help)").c_str());
  for (const char* a : rest) {
    if (!strncmp(a, "--", 2))
      return fail(("unknown option " + std::string(a) + " for " + cmd + " (see korvelctl --help)").c_str());
    if (cmd != "set" && cmd != "fw-update")
      return fail((cmd + " takes no argument " + std::string(a) + " (see korvelctl --help)").c_str());
  }
  if (cmd == "fw-update" && rest.size() != 1)
    return fail(rest.empty() ? "fw-update needs an IMAGE file" : "fw-update takes one IMAGE file");
  // Arguments are checked before the unit is opened.
  Setting setting;
  std::vector<uint8_t> image;
  if (cmd == "set") {
    if (int rc = parse_set(int(rest.size()), rest.data(), &setting)) return rc;
  } else if (cmd == "fw-update") {
    if (int rc = read_image(rest[0], &image)) return rc;
  }

  if (!redirect_diagnostics()) return fail("cannot set up the diagnostic stream");
  vxdev_t dev;
  usbdevs_handle h = nullptr;
  vxdev_init(&dev);
  vxdev_reset(&dev);
  int rc;
  if (vxdev_open(&dev, &h) != 0) {
    if (GetLastError() == ERROR_BUSY)
      rc = fail("device host busy: too many clients are connected; try again");
    else
      rc = fail("no KORVEL unit found (is the driver loaded and the unit connected?)");
  } else if (cmd == "info") {
    rc = cmd_info(&h, json);
  } else if (cmd == "meters") {
    rc = cmd_meters(&h, json, watch);
  } else if (cmd == "recfunc") {
    rc = cmd_recfunc(&h, json);
  } else if (cmd == "assign-dump") {
    rc = cmd_assign_dump(&h);
  } else if (cmd == "set") {
    rc = cmd_set(&h, setting);
  } else {
    rc = cmd_fw_update(&h, image);
  }
  fflush(stdout);
  fflush(g_out);
  return rc;
}
