// korvel-devhost's serving mode: the socket that sim/win32 clients reach, one
// thread per client connection, and the command loop on standard input.
#ifndef KORVEL_DEVHOST_SERVER_H
#define KORVEL_DEVHOST_SERVER_H

#include <atomic>
#include <cstdio>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "published_device.h"

namespace korvel::devhost {

class Server {
 public:
  explicit Server(PublishedDevice& device);
  ~Server();

  // Binds the socket: a stale socket file is replaced, a live host makes this
  // fail with a message.
  bool listen_on(const std::string& path, std::string* error);
  // Serves until stop() (or a quit command or signal); removes the socket.
  void run();
  void stop();
  // Runs one command line and returns the acknowledgement line.
  std::string command(const std::string& line);
  // Reads commands from `fd` until end of input or stop (in its own thread).
  void read_commands(int fd, FILE* out);

 private:
  struct Connection {
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void serve(Connection* c);
  void reap(bool all);
  friend void stop_on_signals(Server* server);

  PublishedDevice& device_;
  std::string path_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::mutex connections_m_;
  std::list<Connection> connections_;
};

// Installs SIGINT/SIGTERM handlers that stop `server`; SIGPIPE is ignored.
void stop_on_signals(Server* server);

}  // namespace korvel::devhost

#endif
