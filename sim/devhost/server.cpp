#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <vector>

namespace korvel::devhost {
namespace {

constexpr size_t kMaxConnections = 256;
constexpr int kFrameTimeoutMs = 5000;
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

bool parse_u32(const std::string& s, uint32_t* v) {
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long x = std::stoull(s);
  if (x > 0xFFFFFFFFull) return false;
  *v = uint32_t(x);
  return true;
}

}  // namespace

Server::Server(PublishedDevice& device) : device_(device) {
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
}

Server::~Server() {
  if (g_signal_pipe == stop_pipe_[1]) g_signal_pipe = -1;
  stop();
  reap(true);
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
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
  while (!stopping_ && wait_readable(listen_fd_, stop_pipe_[0])) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    reap(false);
    std::lock_guard<std::mutex> l(connections_m_);
    if (connections_.size() >= kMaxConnections) {
      close(fd);
      continue;
    }
    connections_.emplace_back();
    Connection* c = &connections_.back();
    c->fd = fd;
    c->thread = std::thread([this, c] { serve(c); });
  }
  stop();
  reap(true);
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

void Server::stop() {
  if (stopping_.exchange(true)) return;
  if (stop_pipe_[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(stop_pipe_[1], &c, 1);
    (void)ignored;
  }
}

void Server::reap(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> l(connections_m_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || it->done) {
        auto next = std::next(it);
        finished.splice(finished.end(), connections_, it);
        it = next;
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) {
    if (!c.done) shutdown(c.fd, SHUT_RDWR);
    c.thread.join();
    close(c.fd);
  }
}

void Server::serve(Connection* c) {
  Session session;
  while (wait_readable(c->fd, stop_pipe_[0])) {
    wire::Op op;
    std::vector<uint8_t> payload;
    wire::Request req;
    if (!wire::recv_frame(c->fd, &op, &payload, kFrameTimeoutMs) ||
        !wire::decode_request(op, payload.data(), payload.size(), &req))
      break;  // the client went away or spoke nonsense: drop the connection
    wire::Reply reply;
    switch (op) {
      case wire::Op::Enumerate:
        reply = device_.enumerate(req.interface_class);
        break;
      case wire::Op::Open:
        reply.status = session.kind == Session::Kind::None ? device_.open(req.path, &session)
                                                           : wire::kStatusInvalidDeviceRequest;
        break;
      case wire::Op::Ioctl:
        if (session.kind == Session::Kind::None)
          reply.status = wire::kStatusInvalidHandle;
        else
          reply = device_.ioctl(session, req.code, req.in, req.out_len);
        break;
    }
    if (!wire::send_frame(c->fd, wire::encode_reply(op, reply))) break;
  }
  device_.close(&session);
  c->done = true;
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
    why = parse_u32(arg, &n) ? device_.busy(n) : "usage: busy MILLISECONDS";
  } else if (verb == "stall") {
    why = parse_u32(arg, &n) ? device_.stall(n) : "usage: stall COUNT";
  } else if (verb == "quit" && arg.empty()) {
    stop();
  } else {
    why = "unknown command (unplug, plug, model NAME, busy MS, stall N, quit)";
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
