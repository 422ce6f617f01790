// The simulated unit: control-transfer entry points, the command interpreter
// and the reply queue.
//
// Every command message is read item by item; the answers it produces form
// one entry of the reply queue, made of groups (items that must travel in the
// same reply, such as a channel-qualified value with its 0x61/0x62 items).
// Each 0x1E reply takes the next groups that fit, then the ready marker.
#include "unit.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "korvel_usb_ids.h"
#include "unit_firmware.h"
#include "unit_items.h"
#include "unit_meters.h"

namespace korvel::sim {

using detail::Group;
using detail::Item;
using detail::ItemReader;

namespace {

constexpr uint8_t kReqMessage = 0x1D;
constexpr uint8_t kReqReply = 0x1E;

// Command codes the unit understands or sends.
enum Cmd : uint8_t {
  kDebug = 0x12,
  kSet13 = 0x13,
  kGetAps = 0x14,
  kAps = 0x15,
  kSet17 = 0x17,
  kHz = 0x18,
  kSet1C = 0x1C,
  kSet1D = 0x1D,
  kFwBegin = 0x21,
  kFwStatus = 0x22,
  kFwLength = 0x23,
  kFwOffset = 0x24,
  kFwData = 0x25,
  kFwDataLast = 0x26,
  kRegRead = 0x27,
  kRegValue = 0x28,
  kGetInfo = 0x31,
  kVersion = 0x32,
  kBuild = 0x33,
  kProductName = 0x34,
  kBuildDate = 0x35,
  kBuildTime = 0x36,
  kProductSig = 0x37,
  kGetSerial = 0x38,
  kSerial = 0x39,
  kSet3A = 0x3A,
  kRecFunc = 0x3B,
  kAssignIn = 0x41,
  kAssignOut = 0x42,
  kAssign = 0x43,
  kChType = 0x61,
  kChNo = 0x62,
  kGetMeter = 0x71,
  kMeter = 0x72,
  kSetFader = 0x81,
  kSetMute = 0x83,
  kSetStereo = 0x86,
  kReady = 0xA1,
  kSetA2 = 0xA2,
  kFader = 0xC1,
  kMute = 0xC3,
  kStereo = 0xC6,
};

// Registers readable with 0x27 (answered with 0x28).
enum Reg : uint32_t {
  kRegVersion = 0x00,
  kRegBuild = 0x01,
  kRegSampleRate = 0x02,
  kRegUptimeMs = 0x03,
  kRegAps = 0x04,
  kRegSetting13 = 0x10,
  kRegSetting17 = 0x11,
  kRegSetting1C = 0x12,
  kRegSetting1D = 0x13,
  kRegSettingA2 = 0x14,
  kRegText3ALength = 0x15,
  kRegFlashSize = 0x20,
  kRegFwReceived = 0x21,
  kRegFwTotal = 0x22,
};
constexpr uint32_t kRegUnknown = 0xFFFFFFFFu;

constexpr uint8_t kLineOut = 1;
constexpr uint8_t kDirectMonitorOut = 5;
constexpr uint8_t kComputerOut = 3;
constexpr uint8_t kAnalogIn = 4;
constexpr uint8_t kLoopback = 9;
constexpr uint8_t kMaxChannelType = 9;
constexpr uint8_t kMono = 1;
constexpr uint8_t kStereoMode = 4;
constexpr uint8_t kLineOuts = 4;

// A host that never reads cannot grow the queue past this many items; the
// oldest answers are dropped whole.
constexpr size_t kQueueMaxItems = 4096;
constexpr uint64_t kDebugEveryUs = 5'000'000;

struct Identity {
  const char* name;
  uint16_t usb_product_id;
  const char* serial;
  const char* signature;
  uint8_t rec_on[4];     // rec-function slots that start on (0xFF: none)
  uint8_t rec_blink[3];  // and blinking
};

const Identity& identity(Model m) {
  static const Identity ids[] = {
      {"Tarrow", KORVEL_PID_TARROW, "TR2410-000123", "KVL-TRW-22CH-A1", {0, 1, 12, 22}, {4, 13, 0xFF}},
      {"Quenby", KORVEL_PID_QUENBY, "QB2403-000457", "KVL-QNB-22CH-B2", {2, 3, 22, 0xFF}, {7, 0xFF, 0xFF}},
      {"Pellin", KORVEL_PID_PELLIN, "PL2311-000789", "KVL-PLN-14CH-A3", {0, 5, 14, 0xFF}, {9, 11, 0xFF}},
      {"Dorrit", KORVEL_PID_DORRIT, "DR2407-001024", "KVL-DRT-10CH-C1", {0, 1, 6, 0xFF}, {10, 3, 0xFF}},
      {"Far Link", KORVEL_PID_FAR_LINK, "FL2402-000316", "KVL-FLK-24TR-D4", {0, 1, 2, 23}, {8, 22, 0xFF}},
  };
  const int i = static_cast<int>(m);
  return ids[i >= 0 && i < 5 ? i : 0];
}

uint64_t steady_us() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

struct ChannelState {
  uint8_t fader;
  uint8_t mute;
  uint8_t stereo;
};

struct Channel {
  uint8_t type = 0;
  uint8_t no = 0;
};

struct QueuedGroup {
  uint64_t answer;  // groups of one command message share the number
  Group group;
};

}  // namespace

const char* model_name(Model m) {
  return identity(m).name;
}

uint16_t usb_product_id(Model m) {
  return identity(m).usb_product_id;
}

bool model_from_name(const std::string& name, Model* out) {
  for (Model m : {Model::Tarrow, Model::Quenby, Model::Pellin, Model::Dorrit, Model::FarLink}) {
    if (name == identity(m).name) {
      if (out) *out = m;
      return true;
    }
  }
  return false;
}

struct Unit::State {
  Model model;
  TimeSource now;
  mutable std::mutex mu;

  UnitInfo info;
  uint8_t aps = 1;
  uint8_t setting13 = 0;
  uint32_t setting17 = 0;
  uint32_t setting1c = 0;
  uint32_t setting1d = 0;
  uint8_t setting_a2 = 0;
  std::string text3a;
  uint8_t recfunc[24] = {};
  std::map<std::pair<uint8_t, uint8_t>, ChannelState> channels;
  Channel line_out_source[kLineOuts];
  detail::FirmwareReceiver fw;
  UnitAudio audio;

  std::deque<QueuedGroup> queue;
  size_t queued_items = 0;
  uint64_t next_answer = 0;
  uint64_t busy_until = 0;
  uint32_t stall_count = 0;
  uint32_t timeout_count = 0;           // control transfers left that are never answered
  uint32_t short_count = 0;             // replies left that end after their last item
  std::map<int, uint16_t> held_inputs;  // analog input -> held meter level
  uint64_t born = 0;
  uint64_t last_debug = 0;
  uint64_t messages = 0;
  bool quirks = false;
  bool quirk_short = true;  // quirks include short replies
  uint64_t rng = 0;
  bool stalled_last = false;  // quirks never stall two transfers in a row

  State(Model m, TimeSource source) : model(m), now(std::move(source)) {
    if (!now) now = steady_us;
    const Identity& id = identity(m);
    info.version = 105;
    info.build = 42;
    info.product = id.name;
    info.build_date = "Mar 11 2024";
    info.build_time = "14:32:08";
    info.signature = id.signature;
    info.serial = id.serial;
    info.sample_rate = 48000;
    for (uint8_t i : id.rec_on) {
      if (i < 24) recfunc[i] = 1;
    }
    for (uint8_t i : id.rec_blink) {
      if (i < 24) recfunc[i] = 2;
    }
    line_out_source[0] = {kDirectMonitorOut, 1};
    line_out_source[1] = {kDirectMonitorOut, 2};
    line_out_source[2] = {kComputerOut, 1};
    line_out_source[3] = {kComputerOut, 2};
    born = now();
    last_debug = born;
  }

  // xorshift64*: deterministic under the seed.
  uint32_t random(uint32_t n) {
    rng ^= rng >> 12;
    rng ^= rng << 25;
    rng ^= rng >> 27;
    return n ? static_cast<uint32_t>(((rng * 0x2545F4914F6CDD1Dull) >> 32) % n) : 0;
  }

  // A numeric answer item: its natural width, or with quirks any width that
  // holds the value.
  void num(Group& g, uint8_t cmd, uint32_t v, int natural) {
    int width = natural;
    if (quirks) {
      const int smallest = v <= 0xFF ? 0 : v <= 0xFFFF ? 1 : 2;
      width = 1 << (smallest + static_cast<int>(random(static_cast<uint32_t>(3 - smallest))));
    }
    g.num(cmd, v, width);
  }

  // A text answer item; with quirks padded with zero bytes, as a unit with
  // fixed-size text fields sends them.
  void text(Group& g, uint8_t cmd, const std::string& t) {
    g.padded(cmd, t.data(), t.size(), quirks ? random(9) : 0);
  }

  ChannelState& channel(uint8_t type, uint8_t no) {
    auto it = channels.find({type, no});
    if (it != channels.end()) return it->second;
    return channels.emplace(std::make_pair(type, no), channel_default(type, no)).first->second;
  }

  ChannelState peek_channel(uint8_t type, uint8_t no) {
    auto it = channels.find({type, no});
    if (it != channels.end()) return it->second;
    return channel_default(type, no);
  }

  static ChannelState channel_default(uint8_t type, uint8_t no) {
    ChannelState d{100, 0, kMono};
    if (type == kDirectMonitorOut) d.stereo = kStereoMode;
    if (type == kLoopback && no == 0) d.fader = 0;  // the loopback path starts switched off
    return d;
  }

  uint32_t muted_inputs() const {
    uint32_t mask = 0;
    for (const auto& [key, st] : channels) {
      if (key.first == kAnalogIn && key.second >= 1 && key.second <= 32 && st.mute)
        mask |= 1u << (key.second - 1);
    }
    return mask;
  }

  void enqueue(std::vector<Group>& answer) {
    if (answer.empty()) return;
    const uint64_t id = next_answer++;
    for (Group& g : answer) {
      queued_items += static_cast<size_t>(g.items());
      queue.push_back({id, g});
    }
    // Drop the oldest answers whole until the queue is within its bound; the
    // newest answer always stays.
    while (queued_items > kQueueMaxItems && queue.front().answer != id) {
      const uint64_t old = queue.front().answer;
      while (!queue.empty() && queue.front().answer == old) {
        queued_items -= static_cast<size_t>(queue.front().group.items());
        queue.pop_front();
      }
    }
  }

  uint32_t read_register(uint32_t reg, uint64_t t) const {
    switch (reg) {
      case kRegVersion:
        return info.version;
      case kRegBuild:
        return info.build;
      case kRegSampleRate:
        return info.sample_rate;
      case kRegUptimeMs:
        return t > born ? static_cast<uint32_t>((t - born) / 1000) : 0;
      case kRegAps:
        return aps;
      case kRegSetting13:
        return setting13;
      case kRegSetting17:
        return setting17;
      case kRegSetting1C:
        return setting1c;
      case kRegSetting1D:
        return setting1d;
      case kRegSettingA2:
        return setting_a2;
      case kRegText3ALength:
        return static_cast<uint32_t>(text3a.size());
      case kRegFlashSize:
        return detail::FirmwareReceiver::kFlashSize;
      case kRegFwReceived:
        return fw.received();
      case kRegFwTotal:
        return fw.total();
      default:
        return kRegUnknown;
    }
  }

  void process(const uint8_t* data, size_t len) {
    const uint64_t t = now();
    ++messages;
    std::vector<Group> out;
    ItemReader reader(data, len);
    Item it;
    Channel cur;
    Channel src, dst;
    while (reader.next(&it)) {
      Group g;
      switch (it.cmd) {
        case kChType:
          if (it.numeric() && it.num <= 0xFF) cur.type = static_cast<uint8_t>(it.num);
          break;
        case kChNo:
          if (it.numeric() && it.num <= 0xFF) cur.no = static_cast<uint8_t>(it.num);
          break;

        case kGetInfo: {
          // Identity items need not travel together: with quirks each is a
          // group of its own, so replies may split them anywhere.
          auto next = [&] {
            if (quirks) {
              out.push_back(g);
              g = Group();
            }
          };
          num(g, kVersion, info.version, 2);
          next();
          num(g, kBuild, info.build, 2);
          next();
          text(g, kProductName, info.product);
          out.push_back(g);
          g = Group();
          text(g, kBuildDate, info.build_date);
          next();
          text(g, kBuildTime, info.build_time);
          out.push_back(g);
          g = Group();
          text(g, kProductSig, info.signature);
          out.push_back(g);
          break;
        }
        case kGetSerial:
          text(g, kSerial, info.serial);
          out.push_back(g);
          break;
        case kHz:
          num(g, kHz, info.sample_rate, 4);
          out.push_back(g);
          break;
        case kGetAps:
          num(g, kAps, aps, 1);
          out.push_back(g);
          break;
        case kAps:
          if (it.numeric() && it.num <= 1) aps = static_cast<uint8_t>(it.num);
          break;
        case kRecFunc:
          g.bytes(kRecFunc, recfunc, sizeof recfunc);
          out.push_back(g);
          break;

        case kFader:
        case kMute:
        case kStereo: {
          if (it.type != detail::kTypeNone && !it.numeric()) break;
          const ChannelState st = peek_channel(cur.type, cur.no);
          const uint8_t v = it.cmd == kFader ? st.fader : it.cmd == kMute ? st.mute : st.stereo;
          num(g, kChType, cur.type, 1);
          num(g, kChNo, cur.no, 1);
          num(g, it.cmd, v, 1);
          out.push_back(g);
          break;
        }
        case kSetFader:
          if (it.numeric() && it.num <= 0xFF && valid_channel(cur))
            channel(cur.type, cur.no).fader = it.num & 0xFF;
          break;
        case kSetMute:
          if (it.numeric() && it.num <= 1 && valid_channel(cur))
            channel(cur.type, cur.no).mute = it.num & 0xFF;
          break;
        case kSetStereo:
          if (it.numeric() && (it.num == kMono || it.num == kStereoMode) && valid_channel(cur))
            channel(cur.type, cur.no).stereo = it.num & 0xFF;
          break;

        case kAssignIn:
          src = cur;
          break;
        case kAssignOut:
          dst = cur;
          break;
        case kAssign:
          if (src.type == 0 && src.no == 0 && dst.type == 0 && dst.no == 0) {
            for (int i = 0; i < kLineOuts; ++i) {
              Group e;
              num(e, kChType, line_out_source[i].type, 1);
              num(e, kChNo, line_out_source[i].no, 1);
              e.none(kAssignIn);
              num(e, kChType, kLineOut, 1);
              num(e, kChNo, static_cast<uint8_t>(i + 1), 1);
              e.none(kAssignOut);
              e.none(kAssign);
              out.push_back(e);
            }
          } else if (dst.type == kLineOut && dst.no >= 1 && dst.no <= kLineOuts &&
                     src.type <= kMaxChannelType) {
            line_out_source[dst.no - 1] = src;
          }
          break;

        case kGetMeter: {
          const uint32_t muted = muted_inputs();
          // Streams replace the generated signals by the audio the unit
          // plays (computer returns) and captures (analog inputs).
          const bool rendering = audio.render_level(0) >= 0;
          const bool capturing = audio.capture_level(0) >= 0;
          for (const MeterBlock& b : meter_layout(model)) {
            for (int n = 1; n <= b.count; ++n) {
              Group r;
              num(r, kChType, b.type, 1);
              num(r, kChNo, static_cast<uint8_t>(n), 1);
              uint16_t level = detail::meter_level(model, b.type, static_cast<uint8_t>(n), t, muted);
              if (b.type == kComputerOut && rendering) {
                const int v = audio.render_level(static_cast<unsigned>(n - 1));
                level = static_cast<uint16_t>(v >= 0 ? v : 0);  // channels the stream lacks are silent
              } else if (b.type == kAnalogIn && capturing) {
                const int v = audio.capture_level(static_cast<unsigned>(n - 1));
                if (v >= 0) level = static_cast<uint16_t>(v);
              }
              if (b.type == kAnalogIn) {
                const auto held = held_inputs.find(n);
                if (held != held_inputs.end()) level = held->second;
              }
              num(r, kMeter, level, 2);
              out.push_back(r);
            }
          }
          break;
        }

        case kSet13:
          if (it.numeric() && it.num <= 0xFF) setting13 = static_cast<uint8_t>(it.num);
          break;
        case kSet17:
          if (it.numeric()) setting17 = it.num;
          break;
        case kSet1C:
          if (it.numeric()) setting1c = it.num;
          break;
        case kSet1D:
          if (it.numeric()) setting1d = it.num;
          break;
        case kSetA2:
          if (it.numeric() && it.num <= 0xFF) setting_a2 = static_cast<uint8_t>(it.num);
          break;
        case kSet3A:
          if (it.type == detail::kTypeBytes) text3a.assign(reinterpret_cast<const char*>(it.bytes), it.n);
          break;
        case kRegRead:
          if (it.numeric()) {
            num(g, kRegValue, read_register(it.num, t), 4);
            out.push_back(g);
          }
          break;

        case kFwBegin:
          if (it.numeric()) fw.begin(it.num);
          break;
        case kFwStatus: {
          const detail::FirmwareReceiver::Status s = fw.status();
          num(g, kFwLength, static_cast<uint16_t>(s.length), 2);
          num(g, kFwOffset, s.offset, 4);
          out.push_back(g);
          break;
        }
        case kFwData:
        case kFwDataLast:
          if (it.type == detail::kTypeBytes) {
            uint16_t v = 0, b = 0;
            if (fw.data(it.bytes, it.n, it.cmd == kFwDataLast, &v, &b)) {
              info.version = v;
              info.build = b;
            }
          }
          break;

        default:  // items the unit does not act on
          break;
      }
    }
    if (t < last_debug) last_debug = t;  // a clock that was set back
    if (t - last_debug >= kDebugEveryUs) {
      last_debug = t;
      char text[detail::kGroupMax];
      const int n = std::snprintf(text, sizeof text, "up %llu ms, %u Hz, %llu msgs, q %zu",
                                  static_cast<unsigned long long>(t > born ? (t - born) / 1000 : 0),
                                  static_cast<unsigned>(info.sample_rate),
                                  static_cast<unsigned long long>(messages), queued_items);
      Group g;
      g.bytes(kDebug, text, n > 0 ? static_cast<size_t>(n) : 0);
      out.push_back(g);
    }
    enqueue(out);
  }

  static bool valid_channel(const Channel& c) { return c.type >= 1 && c.type <= kMaxChannelType; }

  // Fills a reply; returns how many bytes the unit sends (all of `len`
  // unless quirks end the data stage after the last item).
  uint16_t reply(uint8_t* buf, uint16_t len) {
    std::memset(buf, 0, len);
    const size_t cap = len < detail::kMessageMax ? len : detail::kMessageMax;
    if (quirks && random(150) == 0) busy_until = now() + 20'000 + random(280) * 1000;  // a busy burst
    const bool busy = now() < busy_until;
    // With quirks a reply may carry fewer groups than would fit.
    size_t groups_left = quirks && random(3) == 0 ? 1 + random(3) : SIZE_MAX;
    // While busy the marker always gets its room: a reply without any marker
    // reads as "ready" to a host that waits for readiness.
    const size_t limit = busy && cap >= detail::kMarkerSize ? cap - detail::kMarkerSize : cap;
    size_t pos = 0;
    while (!queue.empty() && queue.front().group.size() <= limit - pos && groups_left-- > 0) {
      const Group& g = queue.front().group;
      std::memcpy(buf + pos, g.data(), g.size());
      pos += g.size();
      queued_items -= static_cast<size_t>(g.items());
      queue.pop_front();
    }
    if (cap - pos >= detail::kMarkerSize) {
      buf[pos] = kReady;
      buf[pos + 1] = detail::kTypeU8;
      buf[pos + 2] = busy ? 0 : 1;
      pos += detail::kMarkerSize;
    }
    if (short_count > 0 && pos < len) {
      --short_count;
      return static_cast<uint16_t>(pos);
    }
    // A short reply (the draw is made either way: a seed behaves the same).
    if (quirks && pos < len && random(40) == 0 && quirk_short) return static_cast<uint16_t>(pos);
    return len;
  }

  bool take_stall() {
    if (stall_count == 0) return false;
    --stall_count;
    return true;
  }

  bool take_timeout() {
    if (timeout_count == 0) return false;
    --timeout_count;
    return true;
  }

  // A message the unit is too busy to take now and then: the host sees a
  // failed transfer (error 31) and sends it again.
  bool quirk_stall() {
    const bool stall = quirks && !stalled_last && random(100) == 0;
    stalled_last = stall;
    return stall;
  }
};

Unit::Unit(Model model, TimeSource now) : s_(std::make_unique<State>(model, std::move(now))) {}
Unit::~Unit() = default;

TransferResult Unit::control_out(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, const uint8_t* data,
                                 uint16_t len) {
  std::lock_guard<std::mutex> lock(s_->mu);
  if (s_->take_timeout()) return TransferResult::Timeout;
  if (s_->take_stall()) return TransferResult::Stall;
  if (bRequest != kReqMessage) return TransferResult::Stall;
  // The message buffer holds one 64-byte message; a longer data stage stalls.
  if (len > detail::kMessageMax || (len > 0 && !data)) return TransferResult::Stall;
  if (s_->quirk_stall()) return TransferResult::Stall;
  s_->process(data, len);
  return TransferResult::Ok;
}

TransferResult Unit::control_in(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buf,
                                uint16_t len) {
  uint16_t transferred = 0;
  return control_in(bRequest, wValue, wIndex, buf, len, &transferred);
}

TransferResult Unit::control_in(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buf,
                                uint16_t len, uint16_t* transferred) {
  std::lock_guard<std::mutex> lock(s_->mu);
  *transferred = 0;
  if (s_->take_timeout()) return TransferResult::Timeout;
  if (s_->take_stall()) return TransferResult::Stall;
  if (bRequest != kReqReply) return TransferResult::Stall;
  if (len > 0 && !buf) return TransferResult::Stall;
  if (len > 0) *transferred = s_->reply(buf, len);
  return TransferResult::Ok;
}

void Unit::set_quirks(uint64_t seed, bool short_replies) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->quirks = true;
  s_->quirk_short = short_replies;
  s_->rng = seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
  if (s_->rng == 0) s_->rng = 1;
}

void Unit::set_busy_for_ms(uint32_t ms) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->busy_until = s_->now() + static_cast<uint64_t>(ms) * 1000;
}

void Unit::stall_next(uint32_t n) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->stall_count = n;
}

void Unit::time_out_next(uint32_t n) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->timeout_count = n;
}

void Unit::hold_input_meter(int input, int level) {
  std::lock_guard<std::mutex> lock(s_->mu);
  if (level < 0) {
    s_->held_inputs.erase(input);
  } else {
    s_->held_inputs[input] = static_cast<uint16_t>(std::min(level, int(detail::kMeterFullScale)));
  }
}

void Unit::short_next(uint32_t n) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->short_count = n;
}

void Unit::set_sample_rate(uint32_t hz) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->info.sample_rate = hz;
}

UnitAudio& Unit::audio() {
  return s_->audio;
}

Model Unit::model() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->model;
}

UnitInfo Unit::info() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->info;
}

}  // namespace korvel::sim
