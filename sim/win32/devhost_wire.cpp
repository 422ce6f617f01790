#include "devhost_wire.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace korvel::wire {
namespace {

void put_u16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void put_u32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void put_str(std::vector<uint8_t>& b, const std::u16string& s) {
  put_u32(b, uint32_t(s.size()));
  for (char16_t c : s) put_u16(b, uint16_t(c));
}

// Bounded reader: every get fails once the input is exhausted.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool u16(uint16_t* v) {
    if (n_ - off_ < 2) return false;
    *v = uint16_t(p_[off_] | (p_[off_ + 1] << 8));
    off_ += 2;
    return true;
  }
  bool u32(uint32_t* v) {
    if (n_ - off_ < 4) return false;
    *v = uint32_t(p_[off_]) | uint32_t(p_[off_ + 1]) << 8 | uint32_t(p_[off_ + 2]) << 16 |
         uint32_t(p_[off_ + 3]) << 24;
    off_ += 4;
    return true;
  }
  bool bytes(void* out, size_t len) {
    if (n_ - off_ < len) return false;
    std::memcpy(out, p_ + off_, len);
    off_ += len;
    return true;
  }
  bool vec(std::vector<uint8_t>* out, size_t len) {
    if (n_ - off_ < len) return false;
    out->assign(p_ + off_, p_ + off_ + len);
    off_ += len;
    return true;
  }
  bool str(std::u16string* s, uint32_t max_len) {
    uint32_t len;
    if (!u32(&len) || len > max_len || (n_ - off_) / 2 < len) return false;
    s->resize(len);
    for (uint32_t i = 0; i < len; ++i) {
      uint16_t c = 0;
      u16(&c);
      (*s)[i] = char16_t(c);
    }
    return true;
  }
  bool done() const { return off_ == n_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t off_ = 0;
};

constexpr uint32_t kMaxDevices = 64;
constexpr uint32_t kMaxInterfaces = 64;

std::vector<uint8_t> frame(Op op, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> b;
  b.reserve(kHeaderSize + payload.size());
  put_u32(b, kMagic);
  put_u32(b, uint32_t(op));
  put_u32(b, uint32_t(payload.size()));
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

}  // namespace

uint32_t max_request_payload(Op op) {
  switch (op) {
    case Op::Enumerate:
      return 16;
    case Op::Open:
      return 12 + 2 * kMaxPath;
    case Op::Ioctl:
      return 16 + kMaxIoctlBuffer;
    case Op::Close:
      return 4;
    case Op::Busy:
    case Op::Attach:
      return 0;
    case Op::OpenAs:
      return 24 + 2 * kMaxPath;
    case Op::Logon:
      return 12 + kMaxLogonSecret;
  }
  return 0;
}

// Source: "RtlNtStatusToDosError function (winternl.h)"; the pairs are ntstatus.h and winerror.h
// values, the subset our own choice; success and warnings without an entry give 0 (our own choice).
uint32_t nt_status_to_win32(uint32_t status) {
  switch (status) {
    case kStatusSuccess:
      return 0;
    case kStatusBufferOverflow:
      return 234;  // ERROR_MORE_DATA
    case kStatusDeviceBusy:
      return 170;  // ERROR_BUSY
    case kStatusUnsuccessful:
      return 31;  // ERROR_GEN_FAILURE
    case kStatusInvalidHandle:
      return 6;  // ERROR_INVALID_HANDLE
    case kStatusInvalidParameter:
      return 87;  // ERROR_INVALID_PARAMETER
    case kStatusNoSuchDevice:
      return 2;  // ERROR_FILE_NOT_FOUND
    case kStatusInvalidDeviceRequest:
      return 1;  // ERROR_INVALID_FUNCTION
    case kStatusAccessDenied:
      return 5;  // ERROR_ACCESS_DENIED
    case kStatusBufferTooSmall:
      return 122;  // ERROR_INSUFFICIENT_BUFFER
    case kStatusObjectNameNotFound:
      return 2;  // ERROR_FILE_NOT_FOUND
    case kStatusInsufficientResources:
      return 1450;  // ERROR_NO_SYSTEM_RESOURCES
    case kStatusDeviceNotConnected:
      return 1167;  // ERROR_DEVICE_NOT_CONNECTED
    case kStatusIoTimeout:
      return 121;  // ERROR_SEM_TIMEOUT
    case kStatusNotSupported:
      return 50;  // ERROR_NOT_SUPPORTED
    case kStatusDeviceDoesNotExist:
      return 55;  // ERROR_DEV_NOT_EXIST
    case kStatusCancelled:
      return 995;  // ERROR_OPERATION_ABORTED
    case kStatusDeviceRemoved:
      return 1617;  // ERROR_DEVICE_REMOVED
    default:
      return (status & 0xC0000000u) == 0 ? 0 : 317;  // ERROR_MR_MID_NOT_FOUND
  }
}

bool decode_header(const uint8_t* p, size_t n, Op* op, uint32_t* payload_len) {
  Reader r(p, n);
  uint32_t magic, o, len;
  if (!r.u32(&magic) || !r.u32(&o) || !r.u32(&len)) return false;
  if (magic != kMagic || o < 1 || o > kLastOp || len > kMaxPayload) return false;
  *op = Op(o);
  *payload_len = len;
  return true;
}

std::vector<uint8_t> encode_request(const Request& r) {
  std::vector<uint8_t> b;
  switch (r.op) {
    case Op::Enumerate:
      b.insert(b.end(), r.interface_class, r.interface_class + 16);
      break;
    case Op::OpenAs:
      put_u32(b, r.handle);
      put_u32(b, uint32_t(r.generation));
      put_u32(b, uint32_t(r.generation >> 32));
      [[fallthrough]];
    case Op::Open:
      put_u32(b, r.access);
      put_u32(b, r.share);
      put_str(b, r.path);
      break;
    case Op::Ioctl:
      put_u32(b, r.handle);
      put_u32(b, r.code);
      put_u32(b, r.out_len);
      put_u32(b, uint32_t(r.in.size()));
      b.insert(b.end(), r.in.begin(), r.in.end());
      break;
    case Op::Close:
      put_u32(b, r.handle);
      break;
    case Op::Logon:
      put_u32(b, r.integrity);
      put_u32(b, r.logon_flags);
      put_u32(b, uint32_t(r.secret.size()));
      b.insert(b.end(), r.secret.begin(), r.secret.end());
      break;
    case Op::Busy:
    case Op::Attach:
      break;
  }
  return frame(r.op, b);
}

bool decode_request(Op op, const uint8_t* p, size_t n, Request* out) {
  Reader r(p, n);
  out->op = op;
  switch (op) {
    case Op::Enumerate:
      return r.bytes(out->interface_class, 16) && r.done();
    case Op::Open:
      return r.u32(&out->access) && r.u32(&out->share) && r.str(&out->path, kMaxPath) && r.done();
    case Op::OpenAs: {
      uint32_t low, high;
      if (!r.u32(&out->handle) || !(out->handle & kClientHandleBit) || !r.u32(&low) || !r.u32(&high))
        return false;
      out->generation = uint64_t(high) << 32 | low;
      return r.u32(&out->access) && r.u32(&out->share) && r.str(&out->path, kMaxPath) && r.done();
    }
    case Op::Attach:
      return r.done();
    case Op::Ioctl: {
      uint32_t in_len;
      if (!r.u32(&out->handle) || !r.u32(&out->code) || !r.u32(&out->out_len) || !r.u32(&in_len))
        return false;
      if (out->out_len > kMaxIoctlBuffer || in_len > kMaxIoctlBuffer) return false;
      return r.vec(&out->in, in_len) && r.done();
    }
    case Op::Close:
      return r.u32(&out->handle) && r.done();
    case Op::Logon: {
      uint32_t len;
      std::vector<uint8_t> secret;
      if (!r.u32(&out->integrity) || !r.u32(&out->logon_flags) || !r.u32(&len) || len > kMaxLogonSecret)
        return false;
      if (!r.vec(&secret, len) || !r.done()) return false;
      out->secret.assign(secret.begin(), secret.end());
      return true;
    }
    case Op::Busy:
      return false;
  }
  return false;
}

std::vector<uint8_t> encode_reply(Op op, const Reply& r) {
  std::vector<uint8_t> b;
  put_u32(b, r.status);
  switch (op) {
    case Op::Enumerate:
      put_u32(b, uint32_t(r.devices.size()));
      for (const auto& d : r.devices) {
        put_str(b, d.service);
        put_str(b, d.instance_id);
        put_u32(b, uint32_t(d.interfaces.size()));
        for (const auto& i : d.interfaces) put_str(b, i);
      }
      break;
    case Op::Open:
      put_u32(b, r.handle);
      put_u32(b, r.flags);
      break;
    case Op::Attach:
      put_u32(b, r.max_handles);
      break;
    case Op::Close:
    case Op::OpenAs:
    case Op::Busy:
    case Op::Logon:
      break;
    case Op::Ioctl:
      put_u32(b, r.information);
      put_u32(b, uint32_t(r.out.size()));
      b.insert(b.end(), r.out.begin(), r.out.end());
      break;
  }
  return frame(op, b);
}

bool decode_reply(Op op, const uint8_t* p, size_t n, Reply* out) {
  Reader r(p, n);
  if (!r.u32(&out->status)) return false;
  switch (op) {
    case Op::Enumerate: {
      uint32_t count;
      if (!r.u32(&count) || count > kMaxDevices) return false;
      out->devices.resize(count);
      for (auto& d : out->devices) {
        uint32_t nif;
        if (!r.str(&d.service, kMaxPath) || !r.str(&d.instance_id, kMaxPath) || !r.u32(&nif) ||
            nif > kMaxInterfaces)
          return false;
        d.interfaces.resize(nif);
        for (auto& i : d.interfaces)
          if (!r.str(&i, kMaxPath)) return false;
      }
      return r.done();
    }
    case Op::Open:
      return r.u32(&out->handle) && r.u32(&out->flags) && r.done();
    case Op::Attach:
      return r.u32(&out->max_handles) && r.done();
    case Op::Close:
    case Op::OpenAs:
    case Op::Busy:
    case Op::Logon:
      return r.done();
    case Op::Ioctl: {
      uint32_t len;
      if (!r.u32(&out->information) || !r.u32(&len) || len > kMaxIoctlBuffer) return false;
      return r.vec(&out->out, len) && r.done();
    }
  }
  return false;
}

void append_close(std::vector<uint8_t>& out, uint32_t handle) {
  put_u32(out, kMagic);
  put_u32(out, uint32_t(Op::Close));
  put_u32(out, 4);
  put_u32(out, handle);
}

void append_open_as(std::vector<uint8_t>& out, uint32_t handle, uint64_t generation, uint32_t access,
                    uint32_t share, const char16_t* path, size_t path_len) {
  put_u32(out, kMagic);
  put_u32(out, uint32_t(Op::OpenAs));
  put_u32(out, uint32_t(24 + 2 * path_len));
  put_u32(out, handle);
  put_u32(out, uint32_t(generation));
  put_u32(out, uint32_t(generation >> 32));
  put_u32(out, access);
  put_u32(out, share);
  put_u32(out, uint32_t(path_len));
  for (size_t i = 0; i < path_len; ++i) put_u16(out, uint16_t(path[i]));
}

void append_ioctl_head(std::vector<uint8_t>& out, uint32_t handle, uint32_t code, uint32_t out_len,
                       uint32_t in_len) {
  put_u32(out, kMagic);
  put_u32(out, uint32_t(Op::Ioctl));
  put_u32(out, 16 + in_len);
  put_u32(out, handle);
  put_u32(out, code);
  put_u32(out, out_len);
  put_u32(out, in_len);
}

int create_state_page(StatePage** page) {
  int fd = memfd_create("korvel-devhost-state", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  void* p = MAP_FAILED;
  // Sealed at its size, so that no client can shrink it under another.
  if (ftruncate(fd, sizeof(StatePage)) == 0 &&
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
    p = mmap(nullptr, sizeof(StatePage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    close(fd);
    return -1;
  }
  auto* s = new (p) StatePage;
  s->magic = kStateMagic;
  s->size = sizeof(StatePage);
  s->generation.store(1);
  *page = s;
  return fd;
}

const StatePage* map_state_page(int fd) {
  struct stat st {};
  // Only a sealed page of the right size: a page that could shrink would
  // fault the reader.
  int seals = fcntl(fd, F_GET_SEALS);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) != sizeof(StatePage) || seals < 0 ||
      !(seals & F_SEAL_SHRINK))
    return nullptr;
  void* p = mmap(nullptr, sizeof(StatePage), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  auto* s = static_cast<const StatePage*>(p);
  if (s->magic != kStateMagic || s->size != sizeof(StatePage)) {
    munmap(p, sizeof(StatePage));
    return nullptr;
  }
  return s;
}

void unmap_state_page(const StatePage* page) {
  if (page) munmap(const_cast<StatePage*>(page), sizeof(StatePage));
}

int connect_host(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) return -1;
  // connect() follows links; only a socket of our own is a host of ours.
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != getuid()) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_frame(int fd, const std::vector<uint8_t>& f) {
  size_t off = 0;
  while (off < f.size()) {
    ssize_t k = send(fd, f.data() + off, f.size() - off, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    off += size_t(k);
  }
  return true;
}

namespace {

bool recv_exact(int fd, uint8_t* p, size_t n, std::chrono::steady_clock::time_point deadline) {
  size_t off = 0;
  while (off < n) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    int pr = poll(&pfd, 1, int(left.count()));
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) return false;
    ssize_t k = recv(fd, p + off, n - off, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    off += size_t(k);
  }
  return true;
}

}  // namespace

bool recv_frame(int fd, Op* op, std::vector<uint8_t>* payload, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint8_t h[kHeaderSize];
  uint32_t len;
  if (!recv_exact(fd, h, sizeof h, deadline) || !decode_header(h, sizeof h, op, &len)) return false;
  // Grows as the bytes arrive: an announced length is not yet a payload.
  payload->clear();
  while (payload->size() < len) {
    size_t off = payload->size();
    size_t step = std::min<size_t>(len - off, 64 * 1024);
    payload->resize(off + step);
    if (!recv_exact(fd, payload->data() + off, step, deadline)) return false;
  }
  return true;
}

// Our own choice: the socket's place and the checks of its folder (the user's own, 0700, not a
// link).
std::string devhost_socket_path(std::string* error) {
  const char* env = std::getenv("KORVEL_DEVHOST_SOCKET");
  std::string path;
  std::string dir;
  if (env && *env) {
    path = env;
    auto slash = path.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  } else {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    dir = (xdg && *xdg) ? std::string(xdg) + "/korvel" : "/tmp/korvel-" + std::to_string(getuid());
    path = dir + "/devhost.sock";
  }
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    if (error)
      *error = "socket path too long (" + std::to_string(path.size()) + " bytes, at most " +
               std::to_string(sizeof(sockaddr_un::sun_path) - 1) + "): " + path;
    return {};
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
    return {};
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    if (error) *error = "cannot check " + dir + ": " + std::strerror(errno);
    return {};
  }
  if (S_ISLNK(st.st_mode)) {
    if (error) *error = dir + " is a symbolic link; refusing to use it";
    return {};
  }
  if (!S_ISDIR(st.st_mode)) {
    if (error) *error = dir + " is not a directory";
    return {};
  }
  if (st.st_uid != getuid()) {
    if (error) *error = dir + " belongs to another user";
    return {};
  }
  if ((st.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    if (error) *error = dir + " has mode " + mode + "; it must be 0700 so that no other user can reach it";
    return {};
  }
  return path;
}

std::string utf16_to_utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string utf8_to_utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    uint8_t b = uint8_t(s[i]);
    uint32_t c;
    size_t len;
    if (b < 0x80) {
      c = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      len = 4;
    } else {
      out += char16_t(0xFFFD);
      ++i;
      continue;
    }
    if (i + len > s.size()) {
      out += char16_t(0xFFFD);
      break;
    }
    for (size_t k = 1; k < len; ++k) c = (c << 6) | (uint8_t(s[i + k]) & 0x3F);
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c);
    }
  }
  return out;
}

}  // namespace korvel::wire
