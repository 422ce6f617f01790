// A client process's connections to korvel-devhost. Requests of one thread
// go over one connection at a time; a process keeps its connections (one
// while only one thread talks to the host) instead of connecting per handle,
// and resolves the socket path once per setting of its environment.
//
// A transfer costs one round trip: a light file (see devhost_wire.h) opened
// before in the host's current plug generation is opened again without a
// word to the host; its open goes in front of its first device-control
// request and its close in front of the connection's next request.
// Our own choice: connections, quick opens and deferred closes; Windows has no such layer.
#ifndef KORVEL_SIM_WIN32_HOST_LINK_H
#define KORVEL_SIM_WIN32_HOST_LINK_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devhost_wire.h"

namespace korvel::win32 {

struct Link {
  ~Link();
  int fd = -1;
  std::mutex io;  // one exchange at a time
  // Under io: the host went away or spoke nonsense.
  bool broken = false;
  // Under io: received bytes not yet taken, [rx_begin, rx_end) of rx.
  uint8_t rx[4096];
  size_t rx_begin = 0, rx_end = 0;
  std::vector<uint8_t> tx;  // under io: the frames being sent; keeps its capacity
  int received_fd = -1;     // under io: a descriptor that came with a reply
  // The connection's handles; never held across a call to the host.
  std::mutex handles_m;
  uint32_t live_handles = 0;
  std::vector<uint32_t> deferred_closes;
  std::vector<uint32_t> client_numbers;  // live handles numbered by this process
  uint32_t next_number = 0;
};

// A path the host let this process open as a light file, with the access
// and share mode asked, in the generation it was opened in.
struct LightPath {
  std::u16string path;
  uint32_t access = 0;
  uint32_t share = 0;
  uint64_t generation = 0;
};

// Sends `req` on `link` (its io lock held by the caller) and reads the reply;
// false when the host is gone or answered out of turn (the link is then
// broken). Close requests have no reply.
bool exchange(Link& link, const wire::Request& req, wire::Reply* reply, int timeout_ms);

// Runs a request on any of the process's connections, connecting when none
// is free. Returns the link used (its handles live there), or null with
// *error set: ERROR_FILE_NOT_FOUND without a host, ERROR_BUSY when the host
// takes no more clients.
std::shared_ptr<Link> call_host(const wire::Request& req, wire::Reply* reply, int timeout_ms,
                                uint32_t* error);

// The host's plug generation as this process sees it (generation 0 when it
// has no page of the host yet), and which page it was read from.
struct Generation {
  uint64_t page = 0;
  uint64_t generation = 0;
};
Generation host_generation();
// A light file the host opened in `seen` (read before the open was asked):
// later opens of it in that generation need not ask.
void remember_light_open(const char16_t* path, size_t len, uint32_t access, uint32_t share, Generation seen);

// An open without asking: a link of the current host with room for another
// handle, a number for the handle reserved on it, and the light path to send
// with its first request. Null when the host must be asked.
struct QuickOpen {
  std::shared_ptr<Link> link;
  uint32_t handle = 0;
  std::shared_ptr<const LightPath> path;
};
QuickOpen open_without_asking(const char16_t* path, size_t len, uint32_t access, uint32_t share);

// One device-control request on `handle` of `link`; with `open`, the handle's
// open goes first. The reply's output lands in `out` (at most out_len bytes).
struct IoctlCall {
  uint32_t handle = 0;
  const LightPath* open = nullptr;
  uint32_t code = 0;
  const void* in = nullptr;
  uint32_t in_len = 0;
  void* out = nullptr;
  uint32_t out_len = 0;
};
struct IoctlResult {
  uint32_t status = 0;
  uint32_t information = 0;
  uint32_t copied = 0;
  bool unanswered = false;  // nothing at all came back: the host closed the connection
};
// False when the host is gone or answered out of turn (the link is then
// broken).
bool ioctl(Link& link, const IoctlCall& call, IoctlResult* result, int timeout_ms);
// A connection of its own for a quick open whose link the host had closed:
// the handle gets a new number on it. Null without a host.
std::shared_ptr<Link> relink(uint32_t* handle);

// Ends a handle. A light one's close waits for the connection's next request;
// an unopened quick one was never seen by the host and sends nothing.
void close_handle(Link& link, uint32_t handle, bool light, bool opened);

// Counters for checks of what a transfer costs.
struct LinkStats {
  uint64_t sends;     // send calls
  uint64_t receives;  // receive calls
};
LinkStats link_stats();

}  // namespace korvel::win32

#endif
