// Fuzzes the reply walkers: arbitrary bytes become the unit's replies (64 at
// a time) and every command that reads replies walks them.
#include <cstring>

#include "fake_channel.h"
#include "quiet.h"
#include "vxctl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvel::fuzz::quiet_diagnostics();
  // Plain walk over a reply of any length up to 255.
  {
    uint8_t mem[255];
    size_t n = size < sizeof mem ? size : sizeof mem;
    if (n) std::memcpy(mem, data, n);
    vxmsg_buf_t m;
    vxmsg_init(&m, mem, uint8_t(n));
    uint32_t cmd, type;
    uint64_t value;
    uint8_t len;
    unsigned guard = 0;
    while (vxmsg_get(&m, &cmd, &type, &value, &len) == 0 && ++guard < 256) {
      if (type == VXMSG_TYPE_BYTES && len) {
        volatile uint8_t last = reinterpret_cast<const uint8_t*>(uintptr_t(value))[len - 1];
        (void)last;
      }
    }
  }

  auto load = [&] {
    fake::reset();
    fake::channel().idle_reply.assign(64, 0);
    for (size_t off = 0; off < size; off += 64) {
      fake::Bytes r(data + off, data + (size - off < 64 ? size : off + 64));
      r.resize(64, 0);
      fake::channel().replies.push_back(r);
    }
  };
  usbdevs_ctx ctx;
  usbdevs_init(&ctx);
  usbdevs_handle h = &ctx;

  load();
  vxctl_meter_t recs[97];
  uint8_t count;
  vxctl_get_meter(&h, recs, 97, &count);

  load();
  char text[16];
  uint8_t tl;
  vxctl_get_serial(&h, text, sizeof text, &tl);

  load();
  uint8_t ch;
  vxctl_get_stereo(&h, 5, 1, &ch);

  load();
  char dump[128];
  uint32_t dl;
  vxctl_dump_assign(&h, dump, sizeof dump, &dl);

  load();
  vxctl_read_debug(&h, text, sizeof text, &tl);

  load();
  uint8_t image[300] = {};
  vxctl_fw_update(&h, image, sizeof image, nullptr);
  return 0;
}
