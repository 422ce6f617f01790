#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
  }
}

bool Server::on_readable(Connection& c) {
  uint8_t buf[16384];
  ssize_t k = recv(c.fd, buf, sizeof buf, 0);
  if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (k <= 0) return false;  // the client went away
  if (c.in.empty()) c.partial_since = Clock::now();
  c.in.insert(c.in.end(), buf, buf + k);
  return serve_frames(c);
}

bool Server::serve_frames(Connection& c) {
  size_t off = 0;
  // Replies beyond this wait until the client has read the earlier ones.
  constexpr size_t kMaxPendingReply = 2 * wire::kMaxIoctlBuffer;
  while (c.in.size() - off >= wire::kHeaderSize && c.out.size() < kMaxPendingReply) {
    wire::Op op;
    uint32_t len;
    // A bad header, or a length the op cannot carry: the stream cannot be
    // followed any further, so the connection ends.
    if (!wire::decode_header(c.in.data() + off, c.in.size() - off, &op, &len) ||
        len > wire::max_request_payload(op))
      return false;
    if (c.in.size() - off - wire::kHeaderSize < len) break;
    wire::Request req;
    if (!wire::decode_request(op, c.in.data() + off + wire::kHeaderSize, len, &req)) return false;
    off += wire::kHeaderSize + len;
    c.last = Clock::now();
    c.partial_since = c.last;
    wire::Reply reply;
    serve(c, op, req, &reply);
    if (op != wire::Op::Close) {
      std::vector<uint8_t> f = wire::encode_reply(op, reply);
      c.out.insert(c.out.end(), f.begin(), f.end());
    }
  }
  c.in.erase(c.in.begin(), c.in.begin() + std::ptrdiff_t(off));
  if (c.in.empty()) c.in.shrink_to_fit();
  return flush(c);
}

bool Server::flush(Connection& c) {
  size_t off = 0;
  while (off < c.out.size()) {
    ssize_t k = send(c.fd, c.out.data() + off, c.out.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (k <= 0) return false;
    off += size_t(k);
  }
  c.out.erase(c.out.begin(), c.out.begin() + std::ptrdiff_t(off));
  return true;
}

void Server::serve(Connection& c, wire::Op op, const wire::Request& req, wire::Reply* reply) {
  switch (op) {
    case wire::Op::Enumerate:
      *reply = device_.enumerate(req.interface_class);
      break;
    case wire::Op::Open: {
      if (c.handles.size() >= limits_.max_handles) {
        reply->status = wire::kStatusInsufficientResources;
        break;
      }
      Session session;
      reply->status = device_.open(req.path, &session);
      if (reply->status & 0x80000000u) break;
      while (c.handles.count(c.next_handle) || c.next_handle == 0) ++c.next_handle;
      reply->handle = c.next_handle++;
      c.handles.emplace(reply->handle, std::move(session));
      break;
    }
    case wire::Op::Ioctl: {
      auto it = c.handles.find(req.handle);
      if (it == c.handles.end()) {
        reply->status = wire::kStatusInvalidHandle;
        break;
      }
      *reply = device_.ioctl(it->second, req.code, req.in, req.out_len);
      break;
    }
    case wire::Op::Close: {
      auto it = c.handles.find(req.handle);
      if (it != c.handles.end()) {
        device_.close(&it->second);
        c.handles.erase(it);
      }
      break;
    }
    case wire::Op::Busy:
      break;
  }
}

void Server::drop(Connection& c) {
  for (auto& [id, session] : c.handles) device_.close(&session);
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
  } else if (verb == "stream") {
    why = arg == "on" || arg == "off" ? device_.stream(arg == "on") : "usage: stream on|off";
  } else if (verb == "stall-timeout") {
    why = sim::devhost::parse_u32(arg, &n) ? device_.stall_timeout(n) : "usage: stall-timeout COUNT";
  } else if (verb == "level") {
    why = device_.hold_level(arg);
  } else if (verb == "quit" && arg.empty()) {
    stop();
  } else {
    why =
        "unknown command (unplug, plug, model NAME, busy MS, stall N, stall-timeout N, stream on|off, level "
        "N DB|off, quit)";
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
