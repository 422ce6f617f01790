// Fuzzes the host's request decoding: arbitrary bytes as a stream of frames,
// each decoded and, when well formed, served by a published unit (the record
// checks of the tunnel and the unit's message handling included).
#include <cstdint>
#include <cstring>
#include <vector>

#include "devhost_wire.h"
#include "driver_hooks.h"
#include "published_device.h"
#include "quiet.h"
#include "usbdevs_ctrl_req.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvel::fuzz::quiet_diagnostics();
  static devhost::PublishedDevice* device = [] {
    auto* d = new devhost::PublishedDevice(sim::Model::Tarrow,
                                           devhost::driver_hooks(new devhost::DriverSlot, true));
    d->start();
    return d;
  }();
  devhost::Session session;
  // Open the private interface first so that ioctls reach the tunnel.
  std::u16string path = device->interface_path();
  device->open(path.substr(0, path.rfind(u'\\')) + u"\\tarrow", &session);

  size_t off = 0;
  while (size - off >= wire::kHeaderSize) {
    wire::Op op;
    uint32_t len;
    if (!wire::decode_header(data + off, size - off, &op, &len)) {
      // Not a frame header: try the payload decoders on the rest directly.
      wire::Request req;
      for (uint32_t o = 1; o <= wire::kLastOp; ++o)
        wire::decode_request(wire::Op(o), data + off, size - off, &req);
      wire::Reply rep;
      for (uint32_t o = 1; o <= wire::kLastOp; ++o)
        wire::decode_reply(wire::Op(o), data + off, size - off, &rep);
      break;
    }
    off += wire::kHeaderSize;
    size_t n = len < size - off ? len : size - off;
    wire::Request req;
    if (wire::decode_request(op, data + off, n, &req)) {
      if (op == wire::Op::Ioctl) {
        // Keep the output bounded the way a client's buffer is.
        static uint8_t out[4096];
        if (req.out_len > sizeof out) req.out_len = sizeof out;
        devhost::IoctlOutcome rep =
            device->ioctl(session, req.code, req.in.data(), uint32_t(req.in.size()), out, req.out_len);
        if (rep.out_bytes > req.out_len) __builtin_trap();
      } else if (op == wire::Op::Enumerate) {
        device->enumerate(req.interface_class);
      }
    }
    off += n;
  }
  return 0;
}
