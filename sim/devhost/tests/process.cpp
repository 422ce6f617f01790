#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace korvel::testing {
namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int* in, int* out,
            int* err) {
  int pin[2], pout[2], perr[2];
  if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC)) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pin[0], 0);
    dup2(pout[1], 1);
    dup2(perr[1], 2);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pin[0]);
  close(pout[1]);
  close(perr[1]);
  *in = pin[1];
  *out = pout[0];
  *err = perr[0];
  return pid;
}

void drain(int fd, std::string* s) {
  char buf[4096];
  ssize_t k;
  while ((k = read(fd, buf, sizeof buf)) > 0) s->append(buf, size_t(k));
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, int timeout_ms, const std::vector<std::string>& env) {
  RunResult r;
  int in, out, err;
  pid_t pid = spawn(argv, env, &in, &out, &err);
  if (pid < 0) return r;
  close(in);
  fcntl(out, F_SETFL, O_NONBLOCK);
  fcntl(err, F_SETFL, O_NONBLOCK);
  int64_t deadline = now_ms() + timeout_ms;
  int status = 0;
  bool exited = false;
  while (!exited) {
    pollfd p[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    poll(p, 2, 20);
    drain(out, &r.out);
    drain(err, &r.err);
    if (waitpid(pid, &status, WNOHANG) == pid) exited = true;
    if (!exited && now_ms() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      close(out);
      close(err);
      return r;
    }
  }
  fcntl(out, F_SETFL, 0);
  fcntl(err, F_SETFL, 0);
  drain(out, &r.out);
  drain(err, &r.err);
  close(out);
  close(err);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  pid_ = spawn(argv, env, &in_, &out_, &err_);
  if (err_ >= 0) {
    err_reader_ = std::thread([this] {
      char buf[4096];
      ssize_t k;
      while ((k = read(err_, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> l(err_m_);
        err_text_.append(buf, size_t(k));
      }
    });
  }
}

Child::~Child() {
  if (pid_ > 0 && status_ == -2) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (err_reader_.joinable()) err_reader_.join();
  for (int fd : {in_, out_, err_})
    if (fd >= 0) close(fd);
}

bool Child::write_line(const std::string& line) {
  std::string l = line + "\n";
  return in_ >= 0 && write(in_, l.data(), l.size()) == ssize_t(l.size());
}

std::string Child::read_line(int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    size_t nl = buf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      return line;
    }
    int64_t left = deadline - now_ms();
    if (left <= 0) return {};
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    char c[256];
    ssize_t k = read(out_, c, sizeof c);
    if (k <= 0) return {};
    buf_.append(c, size_t(k));
  }
}

void Child::close_stdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Child::signal(int sig) {
  kill(pid_, sig);
}

int Child::wait(int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  int status = 0;
  while (now_ms() < deadline) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::string Child::stderr_text() {
  std::lock_guard<std::mutex> l(err_m_);
  return err_text_;
}

Sandbox::Sandbox() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) std::abort();
  dir_ = tmpl;
  for (const char* sub : {"/home", "/config", "/run"}) mkdir((dir_ + sub).c_str(), 0700);
}

Sandbox::~Sandbox() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> Sandbox::env() const {
  return {"HOME=" + dir_ + "/home", "XDG_CONFIG_HOME=" + dir_ + "/config", "XDG_RUNTIME_DIR=" + dir_ + "/run",
          "KORVEL_DEVHOST_SOCKET=" + socket()};
}

void Sandbox::apply() const {
  for (const auto& e : env()) {
    auto eq = e.find('=');
    setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
  }
  mkdir((dir_ + "/run/korvel").c_str(), 0700);
}

}  // namespace korvel::testing
