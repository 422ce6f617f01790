// kernel32 subset: device files reached through korvel-devhost, named
// mutexes shared between processes, the thread's last error, system message
// texts, local memory and Sleep.
#include <fcntl.h>
#include <sddl.h>
#include <sys/file.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devhost_wire.h"
#include "handles.h"
#include "host_link.h"
#include "quenby_ioctl.h"

using namespace korvel;

namespace korvel::win32 {
HandleTable& handle_table() {
  static HandleTable* t = new HandleTable;  // outlives every static user
  return *t;
}
}  // namespace korvel::win32

namespace {

thread_local DWORD g_last_error = ERROR_SUCCESS;

// A device file: a handle number on one of the process's host connections.
// A quick open (see host_link.h) is not yet opened on the host: its open
// goes with its first device-control request.
struct DeviceFile : win32::Object {
  DeviceFile() : Object(win32::Kind::DeviceFile) {}
  // Fixed once `opened` is set; until then changed only under `first_use`.
  std::shared_ptr<win32::Link> link;
  uint32_t handle = 0;
  // The close may wait for the connection's next request: quenby keeps
  // nothing for a private handle on which only the tunnel was used. One
  // that ran another code (direct mode, the exchange lock) may own
  // something its cleanup gives back, so its close goes at once.
  std::atomic<bool> light{false};
  bool overlapped = false;                        // opened with FILE_FLAG_OVERLAPPED
  std::atomic<bool> opened{false};                // the host has seen the open
  std::mutex first_use;                           // the request that carries a quick open, one at a time
  std::shared_ptr<const win32::LightPath> quick;  // a quick open's path
};

// The first request on a quick open carries the open; threads that use the
// handle at once wait for it, so the open goes once. False when the host is
// gone (or hung).
bool first_request(DeviceFile* f, win32::IoctlCall call, win32::IoctlResult* reply, int timeout_ms) {
  std::lock_guard<std::mutex> once(f->first_use);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool opening = !f->opened.load(std::memory_order_relaxed);
    call.handle = f->handle;
    call.open = opening ? f->quick.get() : nullptr;
    bool answered;
    {
      std::lock_guard<std::mutex> lock(f->link->io);
      answered = win32::ioctl(*f->link, call, reply, timeout_ms);
    }
    // The host had closed the connection (idle time-out) before it read a
    // byte: the open and the request go once more on a connection of their
    // own.
    if (opening && !answered && reply->unanswered && attempt == 0) {
      uint32_t handle = 0;
      std::shared_ptr<win32::Link> fresh = win32::relink(&handle);
      if (fresh) {
        win32::close_handle(*f->link, f->handle, true, false);
        f->link = std::move(fresh);
        f->handle = handle;
        continue;
      }
    }
    f->opened.store(true, std::memory_order_release);
    return answered;
  }
  return false;
}

// Source: "CreateMutexExW function (synchapi.h)": a named mutex shared by processes, owned by a
// thread, recursive.
// A named mutex: an advisory lock on a file named after it, beside the
// device-host socket, so that every process of the user shares it. Like a
// Windows mutex it belongs to the thread that acquired it and nests.
struct MutexObject : win32::Object {
  MutexObject() : Object(win32::Kind::Mutex) {}
  ~MutexObject() override {
    if (fd >= 0) close(fd);  // also releases a lock still held
    if (users_fd >= 0) close(users_fd);
  }
  int fd = -1;
  int users_fd = -1;  // shared lock held while the handle is open: the mutex exists
  DWORD access = 0;   // the rights the handle was opened with
  std::mutex m;
  std::thread::id owner;
  unsigned depth = 0;
};

// Source: "Kernel object namespaces": the first user to log on has session 1.
// The session the process runs in: KORVEL_SIM_SESSION (digits), else 1, the
// first interactive session.
std::string session_id() {
  const char* s = std::getenv("KORVEL_SIM_SESSION");
  if (!s || !*s) return "1";
  for (const char* c = s; *c; ++c)
    if (!std::isdigit(static_cast<unsigned char>(*c))) return "1";
  return s;
}

bool has_prefix(LPCWSTR name, const char* prefix, size_t* length) {
  size_t n = 0;
  for (; prefix[n]; ++n)
    if (name[n] != WCHAR(prefix[n])) return false;
  *length = n;
  return true;
}

// Source: "Kernel object namespaces" (Global\ and Local\, case-sensitive) and "CreateMutexExW
// function (synchapi.h)" (case-sensitive names); the file names are our own choice.
// The file of a named object. "Global\" names are shared by every session;
// "Local\" and unprefixed names live in the session's own namespace, so two
// sessions' objects of one such name are two objects. Names are compared
// exactly, case and all: each code unit other than a letter or digit is
// spelled out, so that no two names share a file. A name too long for a file
// name goes by a 64-bit hash of its code units (after a "~", which no
// spelled-out name holds).
std::string mutex_file(LPCWSTR name) {
  std::string error;
  std::string sock = wire::devhost_socket_path(&error);
  if (sock.empty()) return {};
  std::string space;
  size_t skip = 0;
  if (has_prefix(name, "Global\\", &skip)) {
    space = "g-";
  } else {
    if (!has_prefix(name, "Local\\", &skip)) skip = 0;
    space = "s" + session_id() + "-";
  }
  name += skip;
  std::string spelled;
  uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
  for (const WCHAR* c = name; *c; ++c) {
    hash = (hash ^ uint64_t(*c)) * 0x100000001b3ull;
    if (*c < 128 && std::isalnum(int(*c))) {
      spelled += char(*c);
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "_%04x", unsigned(*c));
      spelled += code;
    }
  }
  if (spelled.size() > 200) {
    char code[24];
    std::snprintf(code, sizeof code, "~%016llx", static_cast<unsigned long long>(hash));
    spelled = code;
  }
  return sock.substr(0, sock.rfind('/') + 1) + "mutex-" + space + spelled;
}

// Our own choice: the descriptor's form, which only this stand-in reads.
// A security descriptor as ConvertStringSecurityDescriptorToSecurityDescriptorW
// makes it: a mark, then the descriptor's text. Objects check the mark only.
constexpr uint32_t kDescriptorMark = 0x44535344;  // "DSSD"
struct Descriptor {
  uint32_t mark;
  WCHAR text[1];
};

bool known_trustee(const std::u16string& t) {
  static const char* const kAliases[] = {"WD", "SY", "BA", "BU", "IU", "AU",
                                         "CO", "OW", "AN", "LS", "NS", "PS"};
  for (const char* a : kAliases)
    if (t == std::u16string(a, a + 2)) return true;
  return t.size() > 4 && t.compare(0, 4, u"S-1-") == 0;
}

// Source: "Security Descriptor String Format" and "ACE Strings" for the syntax; refusing the other
// parts is our own choice.
// The DACL part of a descriptor string, "D:" followed by ACEs of six fields
// ("(type;flags;rights;object;inherited object;trustee)") of type A or D.
// Owner, group and SACL parts are refused here: nothing of ours sets them.
bool valid_descriptor_text(const std::u16string& t) {
  if (t.compare(0, 2, u"D:") != 0) return false;
  size_t at = 2;
  while (at < t.size() && t[at] != u'(') ++at;  // DACL flags such as P
  if (at == t.size()) return false;
  while (at < t.size()) {
    if (t[at] != u'(') return false;
    size_t end = t.find(u')', at);
    if (end == std::u16string::npos) return false;
    std::u16string ace = t.substr(at + 1, end - at - 1);
    std::vector<std::u16string> fields(1);
    for (char16_t c : ace) {
      if (c == u';')
        fields.emplace_back();
      else
        fields.back() += c;
    }
    if (fields.size() != 6 || (fields[0] != u"A" && fields[0] != u"D") || fields[2].empty() ||
        !known_trustee(fields[5]))
      return false;
    at = end + 1;
  }
  return true;
}

// Our own choice: the time-outs. MAX_PATH for object names: "CreateMutexExW function (synchapi.h)".
constexpr int kOpenTimeoutMs = 5000;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr size_t kMaxObjectName = 260;  // MAX_PATH
// The longest request a driver completes is a control transfer with a 3 s
// time-out; a host that has not answered well after that is gone.
constexpr int kIoctlTimeoutMs = 15000;

struct MessageText {
  DWORD code;
  const char* text;
};

// Source: "System Error Codes (0-499)" and the pages after it: the system's message texts.
constexpr MessageText kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {87, "The parameter is incorrect."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {259, "No more data is available."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {1167, "The device is not connected."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1617, "The device has been removed."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
};

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
  return g_last_error;
}
void WINAPI SetLastError(DWORD code) {
  g_last_error = code;
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE) {
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Source: "CreateFileA function (fileapi.h)" (CreateFileW's twin): devices are opened with
  // OPEN_EXISTING; the error for others is our own choice.
  if (disposition != OPEN_EXISTING) {  // device files can only be opened
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  size_t len = 0;
  while (name[len] && len <= wire::kMaxPath) ++len;
  if (len > wire::kMaxPath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  // CreateFileW opens with what it is asked and with SYNCHRONIZE and
  // FILE_READ_ATTRIBUTES besides (observed on Windows): even a handle asked
  // for no access needs the device's descriptor to grant those.
  access |= SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  // A light file opened before in the host's current plug generation opens
  // as it did then, without asking.
  win32::QuickOpen quick = win32::open_without_asking(name, len, access, share);
  if (quick.link) {
    auto* f = new DeviceFile;
    f->link = std::move(quick.link);
    f->handle = quick.handle;
    f->light = true;
    f->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    f->quick = std::move(quick.path);
    win32::handle_table().add(f);
    SetLastError(ERROR_SUCCESS);
    return static_cast<win32::Object*>(f);
  }
  const win32::Generation seen = win32::host_generation();
  wire::Request req;
  req.op = wire::Op::Open;
  req.access = access;
  req.share = share;
  req.path.assign(name, len);
  wire::Reply reply;
  uint32_t error = 0;
  std::shared_ptr<win32::Link> link = win32::call_host(req, &reply, kOpenTimeoutMs, &error);
  if (!link) {  // no host: no such device
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (reply.status != wire::kStatusSuccess) {
    SetLastError(wire::nt_status_to_win32(reply.status));
    return INVALID_HANDLE_VALUE;
  }
  auto* f = new DeviceFile;
  f->link = std::move(link);
  f->handle = reply.handle;
  f->light = (reply.flags & wire::kOpenLight) != 0;
  f->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  f->opened.store(true, std::memory_order_relaxed);
  if (f->light) win32::remember_light_open(name, len, access, share, seen);
  win32::handle_table().add(f);
  SetLastError(ERROR_SUCCESS);
  return static_cast<win32::Object*>(f);
}

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                            LPDWORD returned, LPOVERLAPPED overlapped) {
  if (!win32::handle_table().contains(h, win32::Kind::DeviceFile)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* f = static_cast<DeviceFile*>(static_cast<win32::Object*>(h));
  // Our own choice: only synchronous I/O. A NULL lpBytesReturned without an OVERLAPPED is refused
  // as "DeviceIoControl function (ioapiset.h)" forbids it.
  // The stand-in does only synchronous I/O: it refuses an OVERLAPPED (which
  // Windows ignores on a synchronous handle) and a handle opened with
  // FILE_FLAG_OVERLAPPED, on which a call without one fails on Windows in
  // unpredictable ways.
  if (overlapped || f->overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!returned || (in_size && !in) || (out_size && !out)) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *returned = 0;
  if (in_size > wire::kMaxIoctlBuffer || out_size > wire::kMaxIoctlBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (code != DWORD(IOCTL_QUENBY_TUNNEL)) f->light.store(false, std::memory_order_relaxed);
  win32::IoctlCall call;
  call.code = code;
  call.in = in;
  call.in_len = in_size;
  call.out = out;
  call.out_len = out_size;
  win32::IoctlResult reply;
  bool answered;
  if (!f->opened.load(std::memory_order_acquire)) {
    answered = first_request(f, call, &reply, kIoctlTimeoutMs);
  } else {
    call.handle = f->handle;
    std::lock_guard<std::mutex> lock(f->link->io);
    answered = win32::ioctl(*f->link, call, &reply, kIoctlTimeoutMs);
  }
  if (!answered) {
    // Our own choice: a host that does not answer looks like a device that is gone.
    // The host died or hung: the handle behaves as one on a vanished device.
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  // Source: "DeviceIoControl function (ioapiset.h)": a warning such as STATUS_BUFFER_OVERFLOW fails
  // with ERROR_MORE_DATA and the count; an error returns a count of zero. Severity bits: ntstatus.h.
  const bool error = (reply.status & 0xC0000000u) == 0xC0000000u;
  const bool warning = !error && (reply.status & 0x80000000u) != 0;
  if (error) {  // nothing is copied back
    SetLastError(wire::nt_status_to_win32(reply.status));
    return FALSE;
  }
  // Success and warnings: the I/O manager copies what the driver counted
  // (a buffered request's count is trusted as the driver gave it), as far as
  // the caller's buffer holds it; the direct methods may count input consumed.
  *returned = reply.information;
  if (warning) {  // for example STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA
    SetLastError(wire::nt_status_to_win32(reply.status));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
  win32::Kind kind;
  if (!win32::handle_table().kind_of(h, &kind) || kind == win32::Kind::DevInfoSet ||
      !win32::handle_table().remove(h, kind)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* object = static_cast<win32::Object*>(h);
  if (kind == win32::Kind::DeviceFile) {
    auto* f = static_cast<DeviceFile*>(object);
    win32::close_handle(*f->link, f->handle, f->light.load(std::memory_order_relaxed), f->opened);
  }
  delete object;
  return TRUE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name) {
  return CreateMutexExW(attributes, name, initial_owner ? CREATE_MUTEX_INITIAL_OWNER : 0, MUTEX_ALL_ACCESS);
}

HANDLE WINAPI CreateMutexExW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags, DWORD access) {
  // Our own choice: only named mutexes, only CREATE_MUTEX_INITIAL_OWNER, only descriptors made
  // here.
  if (!name || !*name) {  // unnamed mutexes are of no use across processes here
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  if ((flags & ~DWORD(CREATE_MUTEX_INITIAL_OWNER)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  // A descriptor must be one the system made from its string form.
  if (attributes && attributes->lpSecurityDescriptor &&
      static_cast<const Descriptor*>(attributes->lpSecurityDescriptor)->mark != kDescriptorMark) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return NULL;
  }
  const bool initial_owner = (flags & CREATE_MUTEX_INITIAL_OWNER) != 0;
  size_t len = 0;
  while (name[len] && len <= kMaxObjectName) ++len;
  if (len > kMaxObjectName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return NULL;
  }
  std::string file = mutex_file(name);
  if (file.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return NULL;
  }
  auto mu = std::make_unique<MutexObject>();
  mu->fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  mu->users_fd = open((file + "-users").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (mu->fd < 0 || mu->users_fd < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
  }
  // Source: "CreateMutexExW function (synchapi.h)": ERROR_ALREADY_EXISTS for a mutex that existed;
  // that its opener owns nothing is CreateMutexW's rule for bInitialOwner.
  // Every open handle, in any process, holds a shared lock on the users
  // file: when none does, this call makes the mutex.
  const bool existed = flock(mu->users_fd, LOCK_EX | LOCK_NB) != 0;
  while (flock(mu->users_fd, LOCK_SH) != 0 && errno == EINTR) {
  }
  mu->access = access;
  HANDLE h = static_cast<win32::Object*>(mu.get());
  win32::handle_table().add(mu.release());
  // Only the maker of a mutex can own it from the start; a caller that
  // opened an existing one is told so and owns nothing.
  if (initial_owner && !existed) WaitForSingleObject(h, INFINITE);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
  if (!win32::handle_table().contains(h, win32::Kind::Mutex)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  auto* mu = static_cast<MutexObject*>(static_cast<win32::Object*>(h));
  // Source: "Synchronization Object Security and Access Rights": waiting needs SYNCHRONIZE,
  // releasing MUTEX_MODIFY_STATE.
  if (!(mu->access & SYNCHRONIZE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  std::lock_guard<std::mutex> l(mu->m);
  if (mu->depth > 0) {
    if (mu->owner != std::this_thread::get_id()) return WAIT_TIMEOUT;  // one handle, one owner
    ++mu->depth;
    return WAIT_OBJECT_0;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (flock(mu->fd, ms == INFINITE ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  mu->owner = std::this_thread::get_id();
  mu->depth = 1;
  // Source: "WaitForSingleObject function (synchapi.h)": WAIT_ABANDONED for a mutex whose owner
  // ended without releasing it.
  // The file's first byte says whether an owner holds the mutex: still set
  // when the lock came free, its owner ended (or closed its handle) without
  // releasing it, and Windows calls the mutex abandoned.
  char held = 0;
  const bool abandoned = pread(mu->fd, &held, 1, 0) == 1 && held == 1;
  held = 1;
  if (pwrite(mu->fd, &held, 1, 0) != 1) {
    // Without the mark a later owner cannot tell an abandoned mutex; the
    // lock itself still holds.
  }
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

BOOL WINAPI ReleaseMutex(HANDLE h) {
  if (!win32::handle_table().contains(h, win32::Kind::Mutex)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* mu = static_cast<MutexObject*>(static_cast<win32::Object*>(h));
  if (!(mu->access & MUTEX_MODIFY_STATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::lock_guard<std::mutex> l(mu->m);
  // Source: "ReleaseMutex function (synchapi.h)": only the owning thread releases; ERROR_NOT_OWNER
  // is our choice of error.
  if (mu->depth == 0 || mu->owner != std::this_thread::get_id()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--mu->depth == 0) {
    mu->owner = std::thread::id();
    const char held = 0;
    if (pwrite(mu->fd, &held, 1, 0) != 1) {
      // The next owner will think this one ended inside its hold: harmless.
    }
    flock(mu->fd, LOCK_UN);
  }
  return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG size) {
  // Source: "ConvertStringSecurityDescriptorToSecurityDescriptorW function (sddl.h)":
  // SDDL_REVISION_1, LocalFree frees it.
  if (revision != SDDL_REVISION_1) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (!text || !descriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string t(text);
  if (!valid_descriptor_text(t)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const size_t bytes = offsetof(Descriptor, text) + (t.size() + 1) * sizeof(WCHAR);
  auto* d = static_cast<Descriptor*>(LocalAlloc(LPTR, bytes));
  if (!d) return FALSE;
  d->mark = kDescriptorMark;
  std::memcpy(d->text, t.c_str(), (t.size() + 1) * sizeof(WCHAR));
  *descriptor = d;
  if (size) *size = ULONG(bytes);
  return TRUE;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
  std::free(mem);
  return nullptr;
}

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID, DWORD id, DWORD, LPWSTR buffer, DWORD size, va_list*) {
  // Source: "FormatMessageW function (winbase.h)"; serving only FORMAT_MESSAGE_FROM_SYSTEM, and the
  // CR LF ending, are our own choice.
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = nullptr;
  for (const auto& m : kMessages)
    if (m.code == id) text = m.text;
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::u16string msg = wire::utf8_to_utf16(std::string(text) + "\r\n");
  DWORD chars = DWORD(msg.size());
  WCHAR* dst;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    dst = static_cast<WCHAR*>(LocalAlloc(LPTR, (chars + 1) * sizeof(WCHAR)));
    if (!dst) return 0;
    *reinterpret_cast<LPWSTR*>(buffer) = dst;
  } else {
    if (size < chars + 1) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    dst = buffer;
  }
  std::memcpy(dst, msg.data(), chars * sizeof(WCHAR));
  dst[chars] = 0;
  return chars;
}

void WINAPI Sleep(DWORD ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

ULONGLONG WINAPI GetTickCount64(void) {
  return ULONGLONG(std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count());
}

}  // extern "C"
