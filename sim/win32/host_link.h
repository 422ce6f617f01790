// A client process's connections to korvel-devhost. Requests of one thread
// go over one connection at a time; a process keeps its connections (one
// while only one thread talks to the host) instead of connecting per handle,
// and resolves the socket path once per setting of its environment.
#ifndef KORVEL_SIM_WIN32_HOST_LINK_H
#define KORVEL_SIM_WIN32_HOST_LINK_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "devhost_wire.h"

namespace korvel::win32 {

struct Link {
  ~Link();
  int fd = -1;
  std::mutex io;            // one request and its reply at a time
  bool broken = false;      // the host went away or spoke nonsense
  std::vector<uint8_t> in;  // bytes received beyond the last frame read
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

}  // namespace korvel::win32

#endif
