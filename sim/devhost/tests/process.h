// Child processes for end-to-end tests: korvel-devhost with its command
// pipe, and korvelctl runs with their output and exit status.
#ifndef KORVEL_DEVHOST_TESTS_PROCESS_H
#define KORVEL_DEVHOST_TESTS_PROCESS_H

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvel::testing {

struct RunResult {
  int status = -1;  // exit status, or -1 when killed or timed out
  std::string out;
  std::string err;
};

// Runs argv to completion (killed after timeout_ms) with extra environment.
RunResult run(const std::vector<std::string>& argv, int timeout_ms = 60000,
              const std::vector<std::string>& env = {});

class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Child();
  bool write_line(const std::string& line);
  // Next line of standard output, or "" after timeout_ms / end of output.
  std::string read_line(int timeout_ms = 10000);
  // Sends a line and waits for its acknowledgement, which comes when the
  // host has done the command: a model change under running streams has
  // taken over 10 s in a sanitizer build on a loaded machine, so the wait
  // is long (a late acknowledgement read as the next command's answer
  // would put every later answer one command behind).
  std::string command(const std::string& line) {
    write_line(line);
    return read_line(60000);
  }
  void close_stdin();
  void signal(int sig);
  int wait(int timeout_ms = 10000);  // exit status, -1 on timeout or signal
  std::string stderr_text();
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  // Standard error is drained all the time, so a chatty child never blocks.
  std::thread err_reader_;
  std::mutex err_m_;
  std::string err_text_;
  std::string buf_;
  int status_ = -2;
};

// A private temporary folder with HOME, XDG dirs and the host socket inside.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  const std::string& dir() const { return dir_; }
  std::string socket() const { return dir_ + "/run/korvel/devhost.sock"; }
  std::vector<std::string> env() const;
  // Applies the sandbox's environment to this process too.
  void apply() const;

 private:
  std::string dir_;
};

}  // namespace korvel::testing

#endif
