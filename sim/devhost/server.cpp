#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include "options.h"

namespace korvel::devhost {
namespace {

// Write end of the stop pipe of the server that signals stop; -1 for none.
volatile sig_atomic_t g_signal_pipe = -1;

void on_signal(int) {
  int fd = g_signal_pipe;
  if (fd >= 0) {
    char c = 1;
    ssize_t ignored = write(fd, &c, 1);  // async-signal-safe
    (void)ignored;
  }
}

// Waits until `fd` is readable or the stop pipe fires; false on stop.
bool wait_readable(int fd, int stop_fd) {
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (p[1].revents & POLLIN)) return false;
    if (p[0].revents) return true;
  }
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

Server::Server(PublishedDevice& device, ServerLimits limits) : device_(device), limits_(limits) {
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
}

Server::~Server() {
  if (g_signal_pipe == stop_pipe_[1]) g_signal_pipe = -1;
  stop();
  for (auto& c : connections_) drop(c);
  connections_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
  for (int fd : stop_pipe_)
    if (fd >= 0) close(fd);
}

bool Server::listen_on(const std::string& path, std::string* error) {
  if (stop_pipe_[0] < 0) {
    *error = "cannot create a pipe";
    return false;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    *error = "socket path too long: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    int probe = wire::connect_host(path);
    if (probe >= 0) {
      close(probe);
      *error = "another korvel-devhost is already serving " + path;
      return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    unlink(path.c_str());  // stale: nobody answers on it
  }
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 64) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    return false;
  }
  chmod(path.c_str(), 0600);
  path_ = path;
  return true;
}

void Server::run() {
  std::vector<pollfd> fds;
  std::vector<Connection*> polled;
  while (!stopping_) {
    fds.clear();
    polled.clear();
    fds.push_back({stop_pipe_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (auto& c : connections_) {
      // A connection whose replies wait to be read is not read from.
      fds.push_back({c.fd, short(c.out.empty() ? POLLIN : POLLOUT), 0});
      polled.push_back(&c);
    }
    int r = poll(fds.data(), fds.size(), next_timeout_ms(Clock::now()));
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (fds[0].revents & POLLIN)) break;
    std::vector<Connection*> closing;
    for (size_t i = 0; r > 0 && i < polled.size(); ++i) {
      short ev = fds[i + 2].revents;
      if (!ev) continue;
      Connection& c = *polled[i];
      bool keep = (ev & POLLOUT) ? flush(c) && serve_frames(c) : on_readable(c);
      if (!keep) closing.push_back(&c);
    }
    // Idle and stuck connections.
    const auto now = Clock::now();
    for (auto& c : connections_) {
      const auto idle = std::chrono::milliseconds(c.handles.empty() ? limits_.idle_ms : 10 * limits_.idle_ms);
      const bool stuck = !c.in.empty() && now - c.partial_since > std::chrono::milliseconds(limits_.frame_ms);
      if ((stuck || now - c.last > idle) && std::find(closing.begin(), closing.end(), &c) == closing.end())
        closing.push_back(&c);
    }
    for (Connection* c : closing) {
      drop(*c);
      connections_.remove_if([c](const Connection& x) { return &x == c; });
    }
    if (r > 0 && (fds[1].revents & POLLIN)) accept_clients();
  }
  stop();
  for (auto& c : connections_) drop(c);
  connections_.clear();
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

int Server::next_timeout_ms(Clock::time_point now) const {
  auto next = now + std::chrono::seconds(1);
  for (const auto& c : connections_) {
    auto idle =
        c.last + std::chrono::milliseconds(c.handles.empty() ? limits_.idle_ms : 10 * limits_.idle_ms);
    if (idle < next) next = idle;
    if (!c.in.empty() && c.partial_since + std::chrono::milliseconds(limits_.frame_ms) < next)
      next = c.partial_since + std::chrono::milliseconds(limits_.frame_ms);
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return ms < 0 ? 0 : int(ms) + 1;
}

void Server::accept_clients() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (connections_.size() >= limits_.max_connections) {
      // Full: the client hears "busy", not "no device".
      std::vector<uint8_t> busy = wire::encode_reply(wire::Op::Busy, wire::Reply());
      ssize_t ignored = send(fd, busy.data(), busy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      (void)ignored;
      close(fd);
      continue;
    }
    connections_.emplace_back();
    Connection& c = connections_.back();
    c.fd = fd;
    c.last = Clock::now();
    ucred peer{};
    socklen_t len = sizeof peer;
    const uint32_t pid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 ? uint32_t(peer.pid) : 0;
    c.caller = sim::security::console_caller(pid);
  }
}

uint8_t* ByteQueue::tail(size_t n) {
  if (cap_ - end_ < n) {
    const size_t used = size();
    if (cap_ - used < n || !buf_) {
      size_t cap = cap_ ? cap_ : 4096;
      while (cap - used < n) cap *= 2;
      std::unique_ptr<uint8_t[]> bigger(new uint8_t[cap]);
      if (used) std::memcpy(bigger.get(), data(), used);
      buf_ = std::move(bigger);
      cap_ = cap;
    } else {
      std::memmove(buf_.get(), data(), used);
    }
    begin_ = 0;
    end_ = used;
  }
  return buf_.get() + end_;
}

void ByteQueue::consume(size_t n) {
  begin_ += n;
  if (begin_ < end_) return;
  begin_ = end_ = 0;
  // What one large request needed is not kept for the idle connection.
  if (cap_ > 64 * 1024) {
    buf_.reset();
    cap_ = 0;
  }
}

bool Server::on_readable(Connection& c) {
  constexpr size_t kChunk = 16384;
  receives_.fetch_add(1, std::memory_order_relaxed);
  ssize_t k = recv(c.fd, c.in.tail(kChunk), kChunk, 0);
  if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (k <= 0) return false;  // the client went away
  if (c.in.empty()) c.partial_since = Clock::now();
  c.in.commit(size_t(k));
  return serve_frames(c);
}

bool Server::serve_frames(Connection& c) {
  // Replies beyond this wait until the client has read the earlier ones.
  constexpr size_t kMaxPendingReply = 2 * wire::kMaxIoctlBuffer;
  bool served = false;
  while (c.in.size() >= wire::kHeaderSize && c.out.size() < kMaxPendingReply) {
    wire::Op op;
    uint32_t len;
    // A bad header, or a length the op cannot carry: the stream cannot be
    // followed any further, so the connection ends.
    if (!wire::decode_header(c.in.data(), c.in.size(), &op, &len) || len > wire::max_request_payload(op))
      return false;
    if (c.in.size() - wire::kHeaderSize < len) break;
    served = true;
    requests_.fetch_add(1, std::memory_order_relaxed);
    if (!serve(c, op, c.in.data() + wire::kHeaderSize, len)) return false;
    c.in.consume(wire::kHeaderSize + len);
  }
  if (served) {
    c.last = Clock::now();
    c.partial_since = c.last;
  }
  return flush(c);
}

bool Server::flush(Connection& c) {
  size_t off = 0;
  while (off < c.out.size()) {
    sends_.fetch_add(1, std::memory_order_relaxed);
    ssize_t k = send(c.fd, c.out.data() + off, c.out.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (k <= 0) return false;
    off += size_t(k);
  }
  c.out.erase(c.out.begin(), c.out.begin() + std::ptrdiff_t(off));
  return true;
}

namespace {

uint32_t get_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_u32_at(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

// The hot path: the request's input is read where it arrived and the output
// is written where its reply frame goes.
void Server::serve_ioctl(Connection& c, const uint8_t* p, uint32_t len) {
  const uint32_t handle = get_u32(p), code = get_u32(p + 4), out_len = get_u32(p + 8);
  const uint8_t* in = p + 16;
  const uint32_t in_len = len - 16;
  const size_t at = c.out.size();
  c.out.resize(at + wire::kIoctlReplyHead + out_len);
  uint8_t* reply = c.out.data() + at;
  IoctlOutcome r;
  auto it = c.handles.find(handle);
  if (it == c.handles.end()) {
    r.status = wire::kStatusInvalidHandle;
  } else if (it->second.open_status & 0x80000000u) {
    r.status = it->second.open_status;
  } else {
    r = device_.ioctl(it->second.session, code, in, in_len, reply + wire::kIoctlReplyHead, out_len);
  }
  put_u32_at(reply, wire::kMagic);
  put_u32_at(reply + 4, uint32_t(wire::Op::Ioctl));
  put_u32_at(reply + 8, 12 + r.out_bytes);
  put_u32_at(reply + 12, r.status);
  put_u32_at(reply + 16, r.information);
  put_u32_at(reply + 20, r.out_bytes);
  c.out.resize(at + wire::kIoctlReplyHead + r.out_bytes);
}

// The state page goes with the reply's bytes; only a connection with no
// reply pending can carry it in order.
bool Server::send_attach(Connection& c) {
  if (!c.out.empty() && !flush(c)) return false;
  wire::Reply reply;
  reply.max_handles = uint32_t(limits_.max_handles);
  const int page = device_.state_fd();
  if (!c.out.empty() || page < 0) {
    reply.status = wire::kStatusNotSupported;
    std::vector<uint8_t> f = wire::encode_reply(wire::Op::Attach, reply);
    c.out.insert(c.out.end(), f.begin(), f.end());
    return true;
  }
  std::vector<uint8_t> f = wire::encode_reply(wire::Op::Attach, reply);
  iovec iov{f.data(), f.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* cm = CMSG_FIRSTHDR(&msg);
  cm->cmsg_level = SOL_SOCKET;
  cm->cmsg_type = SCM_RIGHTS;
  cm->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cm), &page, sizeof page);
  sends_.fetch_add(1, std::memory_order_relaxed);
  ssize_t k;
  do {
    k = sendmsg(c.fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (k < 0 && errno == EINTR);
  if (k < 0) return false;
  // A few bytes that did not fit follow as ordinary reply bytes.
  c.out.insert(c.out.end(), f.begin() + k, f.end());
  return true;
}

bool Server::serve(Connection& c, wire::Op op, const uint8_t* payload, uint32_t len) {
  if (op == wire::Op::Ioctl) {
    // The input is what the header's length leaves after the fixed fields.
    if (len < 16 || get_u32(payload + 8) > wire::kMaxIoctlBuffer || get_u32(payload + 12) != len - 16)
      return false;
    serve_ioctl(c, payload, len);
    return true;
  }
  wire::Request req;
  if (!wire::decode_request(op, payload, len, &req)) return false;
  wire::Reply reply;
  switch (op) {
    case wire::Op::Enumerate:
      reply = device_.enumerate(req.interface_class);
      break;
    case wire::Op::Open:
    case wire::Op::OpenAs: {
      uint32_t number;
      if (op == wire::Op::OpenAs) {
        // The client's number must be free (its requests would reach
        // another handle), and a client that keeps count never opens
        // beyond the limit this way (failed opens are kept until closed).
        if (c.handles.count(req.handle) || c.handles.size() >= limits_.max_handles) return false;
        number = req.handle;
      } else {
        while (c.handles.count(c.next_handle) || c.next_handle == 0)
          c.next_handle = (c.next_handle + 1) & ~wire::kClientHandleBit;
        number = c.next_handle;
      }
      Handle h;
      h.open_status = c.refused ? wire::kStatusAccessDenied
                      : c.handles.size() >= limits_.max_handles
                          ? wire::kStatusInsufficientResources
                          : device_.open(req.path, req.access, c.caller, &h.session, req.generation);
      if (op == wire::Op::OpenAs) {
        c.handles.emplace(number, std::move(h));  // a failed one answers its requests with why
        return true;
      }
      reply.status = h.open_status;
      if (reply.status & 0x80000000u) break;
      reply.handle = number;
      reply.flags = h.session.light() ? wire::kOpenLight : 0;
      c.next_handle = (c.next_handle + 1) & ~wire::kClientHandleBit;
      c.handles.emplace(number, std::move(h));
      break;
    }
    case wire::Op::Close: {
      auto it = c.handles.find(req.handle);
      if (it != c.handles.end()) {
        device_.close(&it->second.session);
        c.handles.erase(it);
      }
      return true;
    }
    case wire::Op::Attach:
      return send_attach(c);
    case wire::Op::Logon:
      if (!serve_logon(c, req)) return false;
      reply.status = c.refused ? wire::kStatusAccessDenied : wire::kStatusSuccess;
      break;
    case wire::Op::Ioctl:
    case wire::Op::Busy:
      return false;
  }
  std::vector<uint8_t> f = wire::encode_reply(op, reply);
  c.out.insert(c.out.end(), f.begin(), f.end());
  return true;
}

// A connection's logon comes first and once; the token is the logon's as the
// client lowered it, never more.
bool Server::serve_logon(Connection& c, const wire::Request& req) {
  if (c.logged_on || !c.handles.empty()) return false;
  c.logged_on = true;
  std::shared_ptr<const sim::security::Token> base = c.caller.token;
  if (!req.secret.empty()) {
    std::lock_guard<std::mutex> l(logons_m_);
    auto it = logons_.find(req.secret);
    if (it == logons_.end()) {
      c.refused = true;
      return true;
    }
    base = it->second;
  }
  sim::security::Lowering lowering;
  lowering.integrity_ceiling = req.integrity;
  if (req.logon_flags & wire::kLogonRestricted)
    lowering.restrict_to = {sim::security::kRestrictedCode, sim::security::kEveryone};
  c.caller.token = std::make_shared<const sim::security::Token>(sim::security::lowered(*base, lowering));
  return true;
}

std::string Server::add_logon(const std::string& arg) {
  const size_t space = arg.find(' ');
  const std::string secret = arg.substr(0, space);
  const std::string account = space == std::string::npos ? "" : trim(arg.substr(space + 1));
  const char* usage = "usage: logon SECRET console|user2|network|admin|localservice|system";
  if (secret.size() < 16 || secret.size() > wire::kMaxLogonSecret ||
      !std::all_of(secret.begin(), secret.end(),
                   [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)); }))
    return usage;
  namespace sec = sim::security;
  // Every logon is a logon session of its own.
  static uint64_t next_logon = 0x51000;
  std::lock_guard<std::mutex> l(logons_m_);
  const uint64_t logon = ++next_logon;
  sec::Token t;
  if (account == "console") {
    t = sec::console_user(1001, logon);
  } else if (account == "user2") {
    t = sec::interactive_user(1002, 2, logon);
  } else if (account == "network") {
    t = sec::network_user(1003, logon);
  } else if (account == "admin") {
    t = sec::elevated_admin(1001, logon);
  } else if (account == "localservice") {
    t = sec::service(sec::kLocalService);
  } else if (account == "system") {
    t = sec::service(sec::kLocalSystem);
  } else {
    return usage;
  }
  if (logons_.count(secret)) return "that secret names a logon already";
  logons_[secret] = std::make_shared<const sec::Token>(t);
  return "";
}

Server::Stats Server::stats() const {
  return {receives_.load(std::memory_order_relaxed), sends_.load(std::memory_order_relaxed),
          requests_.load(std::memory_order_relaxed)};
}

void Server::drop(Connection& c) {
  for (auto& [id, handle] : c.handles) device_.close(&handle.session);
  c.handles.clear();
  if (c.fd >= 0) close(c.fd);
  c.fd = -1;
}

void Server::stop() {
  if (stopping_.exchange(true)) return;
  if (stop_pipe_[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(stop_pipe_[1], &c, 1);
    (void)ignored;
  }
}

std::string Server::command(const std::string& raw) {
  std::string line = trim(raw);
  std::string verb = line.substr(0, line.find(' '));
  std::string arg = line.size() > verb.size() ? trim(line.substr(verb.size())) : std::string();
  std::string why;
  uint32_t n = 0;
  if (verb == "unplug" && arg.empty()) {
    why = device_.unplug();
  } else if (verb == "plug" && arg.empty()) {
    why = device_.plug();
  } else if (verb == "model") {
    why = arg.empty() ? "usage: model NAME" : device_.set_model(arg);
  } else if (verb == "busy") {
    why = sim::devhost::parse_u32(arg, &n) ? device_.busy(n) : "usage: busy MILLISECONDS";
  } else if (verb == "stall") {
    why = sim::devhost::parse_u32(arg, &n) ? device_.stall(n) : "usage: stall COUNT";
  } else if (verb == "sleep") {
    why = sim::devhost::parse_u32(arg, &n) && n <= 60000 ? device_.sleep(n)
                                                         : "usage: sleep MILLISECONDS (up to 60000)";
  } else if (verb == "stream") {
    why = arg == "on" || arg == "off" ? device_.stream(arg == "on") : "usage: stream on|off";
  } else if (verb == "stall-timeout") {
    why = sim::devhost::parse_u32(arg, &n) ? device_.stall_timeout(n) : "usage: stall-timeout COUNT";
  } else if (verb == "level") {
    why = device_.hold_level(arg);
  } else if (verb == "logon") {
    why = add_logon(arg);
  } else if (verb == "quit" && arg.empty()) {
    stop();
  } else {
    why =
        "unknown command (unplug, plug, model NAME, busy MS, stall N, stall-timeout N, sleep MS, stream "
        "on|off, level N DB|off, logon SECRET ACCOUNT, quit)";
  }
  return why.empty() ? "ok " + line : "error " + line + ": " + why;
}

void Server::read_commands(int fd, FILE* out) {
  std::string pending;
  char buf[512];
  while (!stopping_ && wait_readable(fd, stop_pipe_[0])) {
    ssize_t k = read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return;  // end of input does not stop the host
    pending.append(buf, size_t(k));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (trim(line).empty()) continue;
      std::string ack = command(line);
      std::fprintf(out, "%s\n", ack.c_str());
      std::fflush(out);
    }
  }
}

void stop_on_signals(Server* server) {
  signal(SIGPIPE, SIG_IGN);
  // The handler wakes every waiter of the server's stop pipe directly: the
  // accept loop, the command reader and the connections all end.
  g_signal_pipe = server->stop_pipe_[1];
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace korvel::devhost
