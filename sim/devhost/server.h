// korvel-devhost's serving mode: the socket that sim/win32 clients reach,
// served by one thread that polls every connection, and the command loop on
// standard input. Every length a client announces is bounded by what the
// protocol carries and buffers grow only as bytes arrive; a bad frame closes
// its connection; idle connections time out; a full host says so.
#ifndef KORVEL_DEVHOST_SERVER_H
#define KORVEL_DEVHOST_SERVER_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "published_device.h"

namespace korvel::devhost {

// Connections served at once, handles per connection, and how long a
// connection may stay idle (without handles; with handles ten times as long)
// or sit on a partial frame before it is closed.
struct ServerLimits {
  size_t max_connections = 256;
  size_t max_handles = 64;
  int idle_ms = 10000;
  int frame_ms = 5000;
};

// Bytes received and not yet served: grows as they arrive, without
// clearing what it is about to receive.
class ByteQueue {
 public:
  const uint8_t* data() const { return buf_.get() + begin_; }
  size_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }
  // Room for n more bytes at the end; commit() what arrived there.
  uint8_t* tail(size_t n);
  void commit(size_t n) { end_ += n; }
  // Drops n bytes from the front; an emptied queue gives back a large buffer.
  void consume(size_t n);

 private:
  std::unique_ptr<uint8_t[]> buf_;
  size_t cap_ = 0, begin_ = 0, end_ = 0;
};

class Server {
 public:
  explicit Server(PublishedDevice& device, ServerLimits limits = {});
  ~Server();

  // Binds the socket: a stale socket file is replaced, a live host makes this
  // fail with a message.
  bool listen_on(const std::string& path, std::string* error);
  // Serves until stop() (or a quit command or signal); removes the socket.
  void run();

  void stop();
  // Runs one command line and returns the acknowledgement line. Besides the
  // unit's commands, "logon SECRET ACCOUNT" sets up a logon that clients
  // presenting SECRET (16 or more letters and digits) run in: ACCOUNT is
  // console (the user the host runs as, the default of every connection),
  // user2 (another user logged on at the computer, session 2), network
  // (another user over the network), admin (the console user elevated),
  // localservice (the Windows Audio service) or system (LocalSystem).
  std::string command(const std::string& line);
  // Reads commands from `fd` until end of input or stop (in its own thread).
  void read_commands(int fd, FILE* out);

  // What serving has cost in calls so far, for checks of a transfer's cost.
  struct Stats {
    uint64_t receives;  // receive calls on client connections
    uint64_t sends;     // send calls on client connections
    uint64_t requests;  // frames served
  };
  Stats stats() const;

 private:
  using Clock = std::chrono::steady_clock;
  // A client's handle: the driver's file, or why the open the client sent
  // ahead of its first request failed (the requests on it fail alike).
  struct Handle {
    Session session;
    uint32_t open_status = 0;
  };
  struct Connection {
    int fd = -1;
    // The client process (its id from the socket's peer credentials) and its
    // token: the console user's until a Logon names another.
    sim::security::Caller caller;
    bool logged_on = false;
    bool refused = false;      // a Logon of no logon: every open is refused
    ByteQueue in;              // received bytes not yet a whole frame
    std::vector<uint8_t> out;  // reply bytes not yet sent
    std::map<uint32_t, Handle> handles;
    uint32_t next_handle = 1;
    Clock::time_point last;           // accepted, or last whole request
    Clock::time_point partial_since;  // first byte of the pending frame
  };
  void accept_clients();
  // False when the connection is to be closed.
  bool on_readable(Connection& c);
  bool serve_frames(Connection& c);
  bool flush(Connection& c);
  // False when the request breaks the protocol (the connection ends).
  bool serve(Connection& c, wire::Op op, const uint8_t* payload, uint32_t len);
  void serve_ioctl(Connection& c, const uint8_t* payload, uint32_t len);
  bool send_attach(Connection& c);
  bool serve_logon(Connection& c, const wire::Request& req);
  std::string add_logon(const std::string& arg);
  void drop(Connection& c);
  int next_timeout_ms(Clock::time_point now) const;
  friend void stop_on_signals(Server* server);

  PublishedDevice& device_;
  const ServerLimits limits_;
  std::string path_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::list<Connection> connections_;  // the serving thread's alone
  // Logons the operator set up, by secret (commands and serving both use it).
  std::mutex logons_m_;
  std::map<std::string, std::shared_ptr<const sim::security::Token>> logons_;
  std::atomic<uint64_t> receives_{0}, sends_{0}, requests_{0};
};

// Installs SIGINT/SIGTERM handlers that stop `server`; SIGPIPE is ignored.
void stop_on_signals(Server* server);

}  // namespace korvel::devhost

#endif
