#include "host_link.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace korvel::win32 {
namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorBusy = 170;
constexpr size_t kMaxLinks = 8;
constexpr int kAttachTimeoutMs = 5000;
// A blocked receive wakes this often to look at its deadline.
constexpr int kReceiveSliceMs = 200;

std::atomic<uint64_t> g_sends{0};
std::atomic<uint64_t> g_receives{0};

struct Pool {
  std::mutex m;
  // The environment the path was resolved from.
  bool resolved = false;
  std::string socket_env, runtime_env, identity_env;
  std::string path;        // empty: no usable path
  std::string path_error;  // why the path is unusable, as last reported
  std::vector<std::shared_ptr<Link>> links;
  // The current host's state page once a connection asked for it, and what
  // the host allows without asking.
  const wire::StatePage* page = nullptr;
  uint64_t page_serial = 0;
  uint32_t max_handles = 0;
  std::vector<std::shared_ptr<const LightPath>> light;
};

Pool& pool() {
  static Pool* p = new Pool;  // outlives every static user
  return *p;
}

bool same_env(const std::string& seen, const char* name) {
  const char* v = getenv(name);
  return seen == (v ? v : "");
}

// Source: winnt.h: SECURITY_MANDATORY_UNTRUSTED_RID to SECURITY_MANDATORY_HIGH_RID for the levels;
// the variables are our own choice.
// Who this process is, as it was started (see wire::Op::Logon):
// KORVEL_SIM_LOGON names a logon by its secret, KORVEL_SIM_INTEGRITY (low,
// medium, high) and KORVEL_SIM_RESTRICTED=1 lower its token.
std::string identity_env() {
  std::string id;
  for (const char* name : {"KORVEL_SIM_LOGON", "KORVEL_SIM_INTEGRITY", "KORVEL_SIM_RESTRICTED"}) {
    const char* v = getenv(name);
    id += v ? v : "";
    id += '\n';
  }
  return id;
}

bool logon_request(wire::Request* req) {
  const char* secret = getenv("KORVEL_SIM_LOGON");
  const char* integrity = getenv("KORVEL_SIM_INTEGRITY");
  const char* restricted = getenv("KORVEL_SIM_RESTRICTED");
  req->op = wire::Op::Logon;
  req->secret = secret ? secret : "";
  if (req->secret.size() > wire::kMaxLogonSecret) req->secret = "-";  // no logon has such a secret
  const std::string level = integrity ? integrity : "";
  req->integrity = level == "untrusted" ? 0x0000
                   : level == "low"     ? 0x1000
                   : level == "medium"  ? 0x2000
                   : level == "high"    ? 0x3000
                                        : 0x4000;
  req->logon_flags = restricted && std::string(restricted) == "1" ? wire::kLogonRestricted : 0;
  return !req->secret.empty() || req->integrity != 0x4000 || req->logon_flags != 0;
}

// Forgets the host's page and what it allowed (a host that dropped a
// connection may be another host by now). Pool lock held.
void forget_host_locked(Pool& p) {
  wire::unmap_state_page(p.page);
  p.page = nullptr;
  p.light.clear();
}

// The socket path for the current environment; a change of environment
// (tests point clients at several hosts) drops the old host's connections.
// Pool lock held.
const std::string& current_path(Pool& p) {
  if (!p.resolved || !same_env(p.socket_env, "KORVEL_DEVHOST_SOCKET") ||
      !same_env(p.runtime_env, "XDG_RUNTIME_DIR") || p.identity_env != identity_env() || p.path.empty()) {
    const char* s = getenv("KORVEL_DEVHOST_SOCKET");
    const char* r = getenv("XDG_RUNTIME_DIR");
    p.socket_env = s ? s : "";
    p.runtime_env = r ? r : "";
    // Connections carry who opened them: another identity (tests play
    // several programs in one process) needs connections of its own.
    p.identity_env = identity_env();
    p.resolved = true;
    // An unusable path (too long, a folder of another user or a link) would
    // otherwise look like a missing unit: say why, once for each reason.
    std::string error;
    p.path = wire::devhost_socket_path(&error);
    if (p.path.empty() && error != p.path_error) fprintf(stderr, "korvel device host: %s\n", error.c_str());
    p.path_error = p.path.empty() ? error : std::string();
    p.links.clear();
    forget_host_locked(p);
  }
  return p.path;
}

void mark_broken(Link& l) {
  l.broken = true;
  Pool& p = pool();
  std::lock_guard<std::mutex> g(p.m);
  forget_host_locked(p);
}

// Moves what arrived into rx (after the bytes not yet taken); false on end
// of stream, error or the deadline. Takes a descriptor that comes along.
bool fill(Link& l, std::chrono::steady_clock::time_point deadline, bool* got_any) {
  if (l.rx_begin == l.rx_end) {
    l.rx_begin = l.rx_end = 0;
  } else if (l.rx_end == sizeof l.rx) {
    std::memmove(l.rx, l.rx + l.rx_begin, l.rx_end - l.rx_begin);
    l.rx_end -= l.rx_begin;
    l.rx_begin = 0;
  }
  for (;;) {
    iovec iov{l.rx + l.rx_end, sizeof l.rx - l.rx_end};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    g_receives.fetch_add(1, std::memory_order_relaxed);
    ssize_t k = recvmsg(l.fd, &msg, MSG_CMSG_CLOEXEC);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); k > 0 && c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int)))
        continue;
      int fd;
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
      if (l.received_fd >= 0) close(l.received_fd);
      l.received_fd = fd;
    }
    if (k > 0) {
      l.rx_end += size_t(k);
      *got_any = true;
      return true;
    }
    if (k == 0) return false;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || std::chrono::steady_clock::now() >= deadline)
      return false;
  }
}

// Copies the next n bytes of the stream to dst: what rx holds, then straight
// from the socket (a large remainder never passes through rx).
bool take(Link& l, uint8_t* dst, size_t n, std::chrono::steady_clock::time_point deadline, bool* got_any) {
  for (;;) {
    size_t have = std::min(n, l.rx_end - l.rx_begin);
    if (have) std::memcpy(dst, l.rx + l.rx_begin, have);
    l.rx_begin += have;
    dst += have;
    n -= have;
    if (n == 0) return true;
    if (n < sizeof l.rx / 2) {
      if (!fill(l, deadline, got_any)) return false;
      continue;
    }
    g_receives.fetch_add(1, std::memory_order_relaxed);
    ssize_t k = recv(l.fd, dst, n, 0);
    if (k > 0) {
      dst += k;
      n -= size_t(k);
      *got_any = true;
      if (n == 0) return true;
      continue;
    }
    if (k == 0) return false;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || std::chrono::steady_clock::now() >= deadline)
      return false;
  }
}

// Passes over the next n bytes of the stream.
bool skip(Link& l, size_t n, std::chrono::steady_clock::time_point deadline, bool* got_any) {
  uint8_t scrap[512];
  while (n) {
    size_t step = std::min(n, sizeof scrap);
    if (!take(l, scrap, step, deadline, got_any)) return false;
    n -= step;
  }
  return true;
}

// Sends l.tx and then `extra` in one call where the socket takes it.
bool send_all(Link& l, const void* extra, size_t extra_len) {
  iovec iov[2] = {{l.tx.data(), l.tx.size()}, {const_cast<void*>(extra), extra_len}};
  size_t first = 0, count = extra_len ? 2 : 1;
  while (first < count) {
    msghdr msg{};
    msg.msg_iov = iov + first;
    msg.msg_iovlen = count - first;
    g_sends.fetch_add(1, std::memory_order_relaxed);
    ssize_t k = sendmsg(l.fd, &msg, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    size_t sent = size_t(k);
    while (first < count && sent >= iov[first].iov_len) sent -= iov[first++].iov_len;
    if (first < count) {
      iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + sent;
      iov[first].iov_len -= sent;
    }
  }
  return true;
}

// Puts the connection's deferred closes in front of its next request.
void take_deferred_closes(Link& l) {
  std::lock_guard<std::mutex> g(l.handles_m);
  for (uint32_t h : l.deferred_closes) wire::append_close(l.tx, h);
  l.deferred_closes.clear();
}

// Reads one frame's header and payload (not the hot path).
bool read_frame(Link& l, wire::Op* op, std::vector<uint8_t>* payload, int timeout_ms, bool* got_any) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint8_t head[wire::kHeaderSize];
  uint32_t len = 0;
  if (!take(l, head, sizeof head, deadline, got_any) || !wire::decode_header(head, sizeof head, op, &len))
    return false;
  payload->resize(len);
  return take(l, payload->data(), len, deadline, got_any);
}

void set_receive_slice(int fd) {
  timeval tv{0, kReceiveSliceMs * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A new connection, logged on as this process was started; null without a
// host. A logon the host refuses leaves a connection whose opens it refuses.
std::shared_ptr<Link> connect_link(const std::string& path) {
  int fd = wire::connect_host(path);
  if (fd < 0) return nullptr;
  set_receive_slice(fd);
  auto link = std::make_shared<Link>();
  link->fd = fd;
  wire::Request logon;
  if (logon_request(&logon)) {
    std::lock_guard<std::mutex> io(link->io);
    wire::Reply reply;
    if (!exchange(*link, logon, &reply, kAttachTimeoutMs) && link->broken) return nullptr;
  }
  return link;
}

// Asks a new connection's host for its state page (io lock held, pool lock
// not). A host without one, or a page that is not one, leaves every open to
// be asked. False when the connection failed (*reply says how).
bool attach(Link& l, wire::Reply* reply) {
  wire::Request req;
  req.op = wire::Op::Attach;
  if (!exchange(l, req, reply, kAttachTimeoutMs)) return false;
  if (reply->status != wire::kStatusSuccess || l.received_fd < 0) return true;
  const wire::StatePage* page = wire::map_state_page(l.received_fd);
  close(l.received_fd);
  l.received_fd = -1;
  if (!page) return true;
  Pool& p = pool();
  std::lock_guard<std::mutex> g(p.m);
  forget_host_locked(p);
  p.page = page;
  ++p.page_serial;
  p.max_handles = reply->max_handles;
  return true;
}

}  // namespace

Link::~Link() {
  if (fd >= 0) close(fd);
  if (received_fd >= 0) close(received_fd);
}

bool exchange(Link& link, const wire::Request& req, wire::Reply* reply, int timeout_ms) {
  if (link.broken) return false;
  link.tx.clear();
  take_deferred_closes(link);
  std::vector<uint8_t> frame = wire::encode_request(req);
  link.tx.insert(link.tx.end(), frame.begin(), frame.end());
  const bool sent = send_all(link, nullptr, 0);
  if (sent && req.op == wire::Op::Close) return true;
  wire::Op op;
  std::vector<uint8_t> payload;
  bool got_any = false;
  // A full host answers a new connection with Busy and closes it, which can
  // make the send fail: its frame is still there to be read.
  if (!sent) timeout_ms = 100;
  if (!read_frame(link, &op, &payload, timeout_ms, &got_any) || (!sent && op != wire::Op::Busy) ||
      (op != req.op && op != wire::Op::Busy) ||
      !wire::decode_reply(op, payload.data(), payload.size(), reply)) {
    mark_broken(link);
    return false;
  }
  if (op == wire::Op::Busy) {
    mark_broken(link);
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
    bool reused = false, needs_page = false;
    std::string path;
    {
      // Connections are only tried here: a connection's lock is never
      // waited for under the pool's, which an exchange may take.
      std::lock_guard<std::mutex> l(p.m);
      path = current_path(p);
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
    }
    if (!link) {
      link = connect_link(path);
      if (!link) {
        *error = kErrorFileNotFound;
        return nullptr;
      }
      io = std::unique_lock<std::mutex>(link->io);
      std::lock_guard<std::mutex> l(p.m);
      if (p.links.size() < kMaxLinks) p.links.push_back(link);
      needs_page = p.page == nullptr;
    }
    if ((!needs_page || attach(*link, reply)) && exchange(*link, req, reply, timeout_ms)) {
      if (req.op == wire::Op::Open && reply->status == wire::kStatusSuccess) {
        std::lock_guard<std::mutex> g(link->handles_m);
        ++link->live_handles;
      }
      return link;
    }
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

Generation host_generation() {
  Pool& p = pool();
  std::lock_guard<std::mutex> g(p.m);
  if (!p.page) return {};
  return {p.page_serial, p.page->generation.load(std::memory_order_acquire)};
}

void remember_light_open(const char16_t* path, size_t len, uint32_t access, uint32_t share, Generation seen) {
  Pool& p = pool();
  std::lock_guard<std::mutex> g(p.m);
  if (!p.page || seen.page != p.page_serial || seen.generation == 0) return;
  for (auto& e : p.light) {
    if (e->access == access && e->share == share && e->path.size() == len &&
        std::equal(path, path + len, e->path.begin())) {
      if (e->generation != seen.generation) {
        auto fresh = std::make_shared<LightPath>(*e);
        fresh->generation = seen.generation;
        e = std::move(fresh);  // handles still holding the old entry keep it
      }
      return;
    }
  }
  auto e = std::make_shared<LightPath>();
  e->path.assign(path, len);
  e->access = access;
  e->share = share;
  e->generation = seen.generation;
  p.light.push_back(std::move(e));
}

namespace {

// A number for a handle of this process on `l`, not in use there (handles
// lock held).
uint32_t reserve_number_locked(Link& l) {
  uint32_t n;
  do {
    l.next_number = (l.next_number + 1) & ~wire::kClientHandleBit;
    n = l.next_number | wire::kClientHandleBit;
  } while (n == wire::kClientHandleBit ||
           std::find(l.client_numbers.begin(), l.client_numbers.end(), n) != l.client_numbers.end());
  l.client_numbers.push_back(n);
  ++l.live_handles;
  return n;
}

}  // namespace

QuickOpen open_without_asking(const char16_t* path, size_t len, uint32_t access, uint32_t share) {
  QuickOpen q;
  Pool& p = pool();
  std::lock_guard<std::mutex> g(p.m);
  current_path(p);
  if (!p.page) return q;
  const uint64_t generation = p.page->generation.load(std::memory_order_acquire);
  for (const auto& e : p.light) {
    if (e->generation == generation && e->access == access && e->share == share && e->path.size() == len &&
        std::equal(path, path + len, e->path.begin())) {
      q.path = e;
      break;
    }
  }
  if (!q.path) return q;
  // A connection that is free now and has room for the handle.
  for (const auto& link : p.links) {
    std::unique_lock<std::mutex> try_io(link->io, std::try_to_lock);
    if (!try_io.owns_lock() || link->broken) continue;
    std::lock_guard<std::mutex> h(link->handles_m);
    if (link->live_handles >= p.max_handles) continue;
    q.handle = reserve_number_locked(*link);
    q.link = link;
    return q;
  }
  q.path.reset();
  return q;
}

std::shared_ptr<Link> relink(uint32_t* handle) {
  Pool& p = pool();
  std::shared_ptr<Link> link;
  {
    std::lock_guard<std::mutex> g(p.m);
    link = connect_link(current_path(p));
    if (!link) return nullptr;
    if (p.links.size() < kMaxLinks) p.links.push_back(link);
  }
  std::lock_guard<std::mutex> h(link->handles_m);
  *handle = reserve_number_locked(*link);
  return link;
}

bool ioctl(Link& l, const IoctlCall& c, IoctlResult* r, int timeout_ms) {
  *r = IoctlResult();
  if (l.broken) return false;
  l.tx.clear();
  take_deferred_closes(l);
  if (c.open)
    wire::append_open_as(l.tx, c.handle, c.open->generation, c.open->access, c.open->share,
                         c.open->path.data(), c.open->path.size());
  wire::append_ioctl_head(l.tx, c.handle, c.code, c.out_len, c.in_len);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool got_any = false;
  uint8_t head[wire::kIoctlReplyHead];
  wire::Op op;
  uint32_t len = 0;
  bool ok = send_all(l, c.in, c.in_len) && take(l, head, wire::kHeaderSize, deadline, &got_any) &&
            wire::decode_header(head, wire::kHeaderSize, &op, &len) && op == wire::Op::Ioctl && len >= 12 &&
            take(l, head + wire::kHeaderSize, 12, deadline, &got_any);
  if (ok) {
    auto u32 = [&](size_t at) {
      return uint32_t(head[at]) | uint32_t(head[at + 1]) << 8 | uint32_t(head[at + 2]) << 16 |
             uint32_t(head[at + 3]) << 24;
    };
    r->status = u32(wire::kHeaderSize);
    r->information = u32(wire::kHeaderSize + 4);
    r->copied = u32(wire::kHeaderSize + 8);
    // Source: "Buffer Descriptions for I/O Control Codes" (METHOD_BUFFERED: one system buffer) and
    // "DeviceIoControl function (ioapiset.h)" (an error returns a count of zero).
    // The I/O manager copies what the driver counted as far as the caller's
    // buffer holds it, and nothing with an error; bytes beyond are passed by.
    const bool error = (r->status & 0xC0000000u) == 0xC0000000u;
    const uint32_t sent = r->copied;
    r->copied = error ? 0 : std::min({sent, r->information, c.out_len});
    ok = len == 12 + sent && take(l, static_cast<uint8_t*>(c.out), r->copied, deadline, &got_any) &&
         skip(l, sent - r->copied, deadline, &got_any);
  }
  if (!ok) {
    r->unanswered = !got_any;
    mark_broken(l);
  }
  return ok;
}

void close_handle(Link& l, uint32_t handle, bool light, bool opened) {
  {
    std::lock_guard<std::mutex> g(l.handles_m);
    if (l.live_handles) --l.live_handles;
    if (handle & wire::kClientHandleBit) {
      auto it = std::find(l.client_numbers.begin(), l.client_numbers.end(), handle);
      if (it != l.client_numbers.end()) l.client_numbers.erase(it);
    }
    if (!opened) return;  // the host never saw it
    if (light) {
      l.deferred_closes.push_back(handle);
      return;
    }
  }
  wire::Request req;
  req.op = wire::Op::Close;
  req.handle = handle;
  std::lock_guard<std::mutex> lock(l.io);
  wire::Reply none;
  exchange(l, req, &none, 0);  // no reply; a lost host closed it already
}

LinkStats link_stats() {
  return {g_sends.load(std::memory_order_relaxed), g_receives.load(std::memory_order_relaxed)};
}

}  // namespace korvel::win32
