#include "host_link.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

// Reads one frame, taking whatever has arrived in as few calls as it can (a
// reply usually comes whole: one poll and one read).
bool read_frame(Link& l, wire::Op* op, std::vector<uint8_t>* payload, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    uint32_t len = 0;
    if (l.in.size() >= wire::kHeaderSize) {
      if (!wire::decode_header(l.in.data(), l.in.size(), op, &len)) return false;
      if (l.in.size() >= wire::kHeaderSize + len) {
        payload->assign(l.in.begin() + wire::kHeaderSize, l.in.begin() + wire::kHeaderSize + len);
        l.in.erase(l.in.begin(), l.in.begin() + wire::kHeaderSize + len);
        return true;
      }
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left < 0) return false;
    pollfd pfd{l.fd, POLLIN, 0};
    int pr = poll(&pfd, 1, int(left));
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) return false;
    uint8_t buf[4096];
    // Never more than the frame still needs once its length is known.
    size_t want = sizeof buf;
    if (l.in.size() >= wire::kHeaderSize && wire::kHeaderSize + len - l.in.size() < want)
      want = wire::kHeaderSize + len - l.in.size();
    ssize_t k = recv(l.fd, buf, want, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    l.in.insert(l.in.end(), buf, buf + k);
  }
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
  if (!read_frame(link, &op, &payload, timeout_ms) || (!sent && op != wire::Op::Busy) ||
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
        // A connection the host has closed since (idle time-out) shows when
        // it is next used; the request then goes once more on a new one.
        if (try_io.owns_lock() && (*it)->broken) {
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
