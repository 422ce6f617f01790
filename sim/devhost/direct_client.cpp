#include "direct_client.h"

#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "quenby_ioctl.h"

namespace korvel::devhost {
namespace {

constexpr uint32_t kSuccess = 0;

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, uint16_t(v));
  put16(p + 2, uint16_t(v >> 16));
}

}  // namespace

void encode_format_record(const DirectFormat& capture, const DirectFormat& render, uint8_t out[16]) {
  put16(out + 0, capture.channels);
  put16(out + 2, render.channels);
  put16(out + 4, capture.bits);
  put16(out + 6, render.bits);
  put32(out + 8, capture.rate);
  put32(out + 12, render.rate);
}

uint8_t test_signal_byte(uint64_t p) {
  uint64_t x = (p + 1) * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  uint8_t b = uint8_t(x);
  return p == 0 && b == 0 ? 1 : b;
}

void LoopbackChecker::feed(const uint8_t* data, size_t len) {
  size_t i = 0;
  while (!started_ && i < len) {
    pending_.push_back(char(data[i++]));
    if (pending_.size() < frame_bytes_) continue;
    bool silent = std::all_of(pending_.begin(), pending_.end(), [](char c) { return c == 0; });
    if (!silent) {
      started_ = true;
      for (char c : pending_)
        if (uint8_t(c) != test_signal_byte(next_++)) mismatch_ = true;
    }
    pending_.clear();
  }
  for (; i < len; ++i)
    if (data[i] != test_signal_byte(next_++)) mismatch_ = true;
  seen_ += len;
}

DirectClientResult run_direct_client(ControlChannel& channel, const DirectClientOptions& o,
                                     const ClientClock& clock) {
  DirectClientResult r;
  auto call = [&](uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
                  uint32_t* info) {
    uint32_t got = 0;
    uint32_t status = channel.ioctl(code, in, in_len, out, out_len, &got);
    if (info) *info = got;
    return status;
  };
  auto fail = [&](const std::string& why) {
    r.error = why;
    return r;
  };

  uint32_t max = 0, info = 0;
  if (call(IOCTL_QUENBY_MAX_CHANNELS, nullptr, 0, &max, 4, &info) != kSuccess || info != 4)
    return fail("the driver did not report its channel counts");
  uint16_t max_capture = uint16_t(max), max_render = uint16_t(max >> 16);
  // A unit that only captures streams capture alone, in the format asked.
  const bool renders = max_render != 0;
  DirectFormat render = o.format;
  if (render.channels == 0) render.channels = renders ? max_render : max_capture;
  if (render.channels == 0 || render.channels > (renders ? max_render : max_capture))
    return fail("the device " + std::string(renders ? "renders" : "captures") + " at most " +
                std::to_string(renders ? max_render : max_capture) + " channels");
  DirectFormat capture = render;
  capture.channels = std::min(render.channels, max_capture);
  if (o.loopback && capture.channels != render.channels)
    return fail("loopback needs as many capture channels as render channels");
  r.format = render;

  uint8_t record[16];
  encode_format_record(capture, render, record);
  if (call(IOCTL_QUENBY_ENTER_DIRECT, nullptr, 0, nullptr, 0, nullptr) != kSuccess)
    return fail("cannot enter direct mode");
  uint32_t status = call(IOCTL_QUENBY_SET_FORMATS, record, sizeof record, nullptr, 0, nullptr);
  if (status != kSuccess) {
    call(IOCTL_QUENBY_LEAVE_DIRECT, nullptr, 0, nullptr, 0, nullptr);
    char text[64];
    std::snprintf(text, sizeof text, "the driver refused the formats (status %#x)", status);
    return fail(text);
  }
  if (call(IOCTL_QUENBY_START_DIRECT, nullptr, 0, nullptr, 0, nullptr) != kSuccess) {
    call(IOCTL_QUENBY_LEAVE_DIRECT, nullptr, 0, nullptr, 0, nullptr);
    return fail("cannot start direct streaming");
  }

  const uint64_t start = clock.now_ns();
  const uint64_t end = start + uint64_t(o.seconds * 1e9);
  const uint32_t render_chunk = std::max<uint32_t>(1, render.rate / 1000) * render.frame_bytes();
  const uint32_t capture_chunk = std::max<uint32_t>(1, capture.rate / 1000) * capture.frame_bytes();
  const uint32_t lead_frames = render.rate / 1000 * o.lead_ms;
  std::atomic<uint32_t> max_delay{0};
  std::atomic<uint64_t> rendered{0}, captured{0}, render_full{0}, capture_empty{0};
  LoopbackChecker checker(capture.frame_bytes());

  void* render_ticket = clock.spawning();
  std::atomic<uint64_t> allocations_start{0};
  std::thread render_thread([&, render_ticket] {
    clock.thread_enter(render_ticket);
    std::vector<uint8_t> buf(render_chunk);
    uint64_t pos = 0;
    bool settled = false;
    uint64_t settle =
        renders ? UINT64_MAX : clock.now_ns() + uint64_t(o.settle_ms) * 1000000;  // by the first render data
    while (clock.now_ns() < end) {
      if (!settled && clock.now_ns() >= settle) {
        settled = true;
        call(IOCTL_QUENBY_CLEAR_COUNTERS, nullptr, 0, nullptr, 0, nullptr);
        allocations_start = clock.allocations();
      }
      uint32_t delay = 0, got = 0;
      if (call(IOCTL_QUENBY_RENDER_DELAY, nullptr, 0, &delay, 4, &got) == kSuccess && got == 4) {
        if (delay > max_delay) max_delay = delay;
      }
      while (renders && delay < lead_frames) {
        for (uint32_t i = 0; i < render_chunk; ++i) buf[i] = test_signal_byte(pos + i);
        if (call(IOCTL_QUENBY_WRITE_RENDER, buf.data(), render_chunk, nullptr, 0, &got) != kSuccess ||
            got != render_chunk) {
          ++render_full;
          break;
        }
        if (pos == 0) settle = clock.now_ns() + uint64_t(o.settle_ms) * 1000000;
        pos += render_chunk;
        rendered += render_chunk / render.frame_bytes();
        delay += render_chunk / render.frame_bytes();
      }
      clock.sleep_ns(1000000);
    }
    // The window ends while the ring is still ahead: once writing stops it
    // drains, and what follows is no longer steady state.
    uint32_t got = 0;
    call(IOCTL_QUENBY_COUNTERS, nullptr, 0, r.counters, sizeof r.counters, &got);
    r.allocations_while_streaming = clock.allocations() - allocations_start;
    if (o.at_window_end) o.at_window_end();
    clock.thread_leave();
  });
  void* capture_ticket = clock.spawning();
  std::thread capture_thread([&, capture_ticket] {
    clock.thread_enter(capture_ticket);
    std::vector<uint8_t> buf(capture_chunk);
    while (clock.now_ns() < end) {
      uint32_t got = 0;
      if (call(IOCTL_QUENBY_READ_CAPTURE, nullptr, 0, buf.data(), capture_chunk, &got) == kSuccess && got) {
        checker.feed(buf.data(), got);
        captured += got / capture.frame_bytes();
      } else {
        ++capture_empty;
        clock.sleep_ns(1000000);
      }
    }
    clock.thread_leave();
  });
  clock.join_begin();
  render_thread.join();
  capture_thread.join();
  clock.join_end();

  call(IOCTL_QUENBY_STOP_DIRECT, nullptr, 0, nullptr, 0, nullptr);
  call(IOCTL_QUENBY_LEAVE_DIRECT, nullptr, 0, nullptr, 0, nullptr);
  r.rendered_frames = rendered;
  r.captured_frames = captured;
  r.max_render_delay_frames = max_delay;
  r.render_full = render_full;
  r.capture_empty = capture_empty;
  if (o.loopback) r.loopback_bit_exact = checker.exact() ? 1 : 0;
  r.ok = true;
  return r;
}

}  // namespace korvel::devhost
