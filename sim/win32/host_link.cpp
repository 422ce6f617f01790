#include "host_link.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace korvel::win32 {
namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorBusy = 170;
constexpr size_t kMaxLinks = 8;

struct Pool {
  std::mutex m;
  std::string key;   // the environment the path was resolved from
  std::string path;  // empty: no usable path
  std::vector<std::shared_ptr<Link>> links;
};

Pool& pool() {
  static Pool* p = new Pool;  // outlives every static user
  return *p;
}

std::string env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// The socket path for the current environment; a change of environment
// (tests point clients at several hosts) drops the old host's connections.
std::string current_path(Pool& p) {
  std::string key = env("KORVEL_DEVHOST_SOCKET") + '\n' + env("XDG_RUNTIME_DIR");
  if (key != p.key || p.path.empty()) {
    p.key = key;
    p.path = wire::devhost_socket_path(nullptr);
    p.links.clear();
  }
  return p.path;
}

// A pooled connection the host has closed (idle time-out) reads as ready.
bool still_open(const Link& l) {
  pollfd pfd{l.fd, POLLIN, 0};
  return poll(&pfd, 1, 0) == 0;
}

}  // namespace

Link::~Link() {
  if (fd >= 0) close(fd);
}

bool exchange(Link& link, const wire::Request& req, wire::Reply* reply, int timeout_ms) {
  if (link.broken) return false;
  const bool sent = wire::send_frame(link.fd, wire::encode_request(req));
  if (sent && req.op == wire::Op::Close) return true;
  wire::Op op;
  std::vector<uint8_t> payload;
  // A full host answers a new connection with Busy and closes it, which can
  // make the send fail: its frame is still there to be read.
  if (!sent) timeout_ms = 100;
  if (!wire::recv_frame(link.fd, &op, &payload, timeout_ms) || (!sent && op != wire::Op::Busy) ||
      (op != req.op && op != wire::Op::Busy) ||
      !wire::decode_reply(op, payload.data(), payload.size(), reply)) {
    link.broken = true;
    return false;
  }
  if (op == wire::Op::Busy) {
    link.broken = true;
    reply->status = wire::kStatusInsufficientResources;
    return false;
  }
  return true;
}

std::shared_ptr<Link> call_host(const wire::Request& req, wire::Reply* reply, int timeout_ms,
                                uint32_t* error) {
  Pool& p = pool();
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::shared_ptr<Link> link;
    std::unique_lock<std::mutex> io;
    bool reused = false;
    {
      std::lock_guard<std::mutex> l(p.m);
      std::string path = current_path(p);
      for (auto it = p.links.begin(); it != p.links.end();) {
        std::unique_lock<std::mutex> try_io((*it)->io, std::try_to_lock);
        if (try_io.owns_lock() && ((*it)->broken || !still_open(**it))) {
          try_io.unlock();
          it = p.links.erase(it);
          continue;
        }
        if (try_io.owns_lock() && !link) {
          link = *it;
          io = std::move(try_io);
          reused = true;
        }
        ++it;
      }
      if (!link) {
        int fd = wire::connect_host(path);
        if (fd < 0) {
          *error = kErrorFileNotFound;
          return nullptr;
        }
        link = std::make_shared<Link>();
        link->fd = fd;
        io = std::unique_lock<std::mutex>(link->io);
        if (p.links.size() < kMaxLinks) p.links.push_back(link);
      }
    }
    if (exchange(*link, req, reply, timeout_ms)) return link;
    if (reply->status == wire::kStatusInsufficientResources && !reused) {
      *error = kErrorBusy;
      return nullptr;
    }
    // A reused connection may have been closed by the host just now (the
    // request never ran): try once more on a fresh one.
    if (!reused) break;
  }
  *error = kErrorFileNotFound;
  return nullptr;
}

}  // namespace korvel::win32
