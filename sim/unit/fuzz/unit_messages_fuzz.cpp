// Fuzz entry point: arbitrary bytes as command messages to the unit, with
// replies of arbitrary lengths read in between, on a clock the input moves.
//
// Input: byte 0 picks the model; then records of a control byte and a length
// byte. Control & 3: 0 = a command message of that many following bytes (the
// length is taken modulo 65), 1 = read a reply of that length, 2 = advance
// the clock by length * 10 ms, 3 = make the unit busy for length ms.
// Every reply must be whole items followed by zero fill.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "quiet.h"
#include "unit.h"

namespace {

// Whole items, then only zero bytes.
bool reply_well_formed(const uint8_t* r, size_t n) {
  size_t pos = 0;
  while (n - pos >= 2 && r[pos + 1] != 0) {
    const uint8_t type = r[pos + 1];
    size_t size = 0;
    switch (type) {
      case 1:
        size = 2;
        break;
      case 2:
        size = 3;
        break;
      case 3:
        size = 4;
        break;
      case 4:
        size = 6;
        break;
      case 5:
        if (n - pos < 3) return false;
        size = 3u + r[pos + 2];
        break;
      default:
        return false;
    }
    if (n - pos < size) return false;
    pos += size;
  }
  for (; pos < n; ++pos) {
    if (r[pos] != 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvel::fuzz::quiet_diagnostics();
  using korvel::sim::Model;
  using korvel::sim::TransferResult;
  using korvel::sim::Unit;
  if (size < 1) return 0;
  uint64_t now = 1'000'000;
  Unit unit(static_cast<Model>(data[0] % 5), [&now] { return now; });
  size_t pos = 1;
  std::vector<uint8_t> reply;
  while (size - pos >= 2) {
    const uint8_t op = data[pos] & 3;
    const uint8_t len = data[pos + 1];
    pos += 2;
    switch (op) {
      case 0: {
        size_t n = len % 65;
        if (n > size - pos) n = size - pos;
        // Copy so that a read past the message is caught by the sanitizer.
        std::vector<uint8_t> msg(data + pos, data + pos + n);
        if (unit.control_out(0x1D, 0, 0, msg.data(), static_cast<uint16_t>(n)) != TransferResult::Ok)
          std::abort();
        pos += n;
        break;
      }
      case 1:
        reply.assign(len, 0xCC);
        if (unit.control_in(0x1E, 0, 0, reply.data(), len) != TransferResult::Ok) std::abort();
        if (!reply_well_formed(reply.data(), reply.size())) std::abort();
        break;
      case 2:
        now += static_cast<uint64_t>(len) * 10'000;
        break;
      default:
        unit.set_busy_for_ms(len);
        break;
    }
  }
  // Drain what is left; the queue must empty in a bounded number of replies.
  reply.assign(64, 0);
  for (int i = 0; i < 10000; ++i) {
    if (unit.control_in(0x1E, 0, 0, reply.data(), 64) != TransferResult::Ok) std::abort();
    if (!reply_well_formed(reply.data(), reply.size())) std::abort();
    if (reply[0] == 0xA1) return 0;
  }
  std::abort();
}
