// kernel32 subset: device files reached through korvel-devhost, the thread's
// last error, system message texts, local memory and Sleep.
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "devhost_wire.h"
#include "handles.h"

using namespace korvel;

namespace korvel::win32 {
HandleTable& handle_table() {
  static HandleTable* t = new HandleTable;  // outlives every static user
  return *t;
}
}  // namespace korvel::win32

namespace {

thread_local DWORD g_last_error = ERROR_SUCCESS;

// A device file: one connection to the host for the lifetime of the handle.
struct DeviceFile {
  int fd = -1;
  std::mutex io;  // synchronous handles serialise their requests
  bool lost = false;
};

constexpr int kOpenTimeoutMs = 5000;
// The longest request a driver completes is a control transfer with a 3 s
// time-out; a host that has not answered well after that is gone.
constexpr int kIoctlTimeoutMs = 15000;

std::u16string to_u16(LPCWSTR s) {
  std::u16string out;
  if (s)
    while (*s) out += *s++;
  return out;
}

struct MessageText {
  DWORD code;
  const char* text;
};

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
                          DWORD, HANDLE) {
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING) {  // device files can only be opened
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  std::string error;
  std::string path = wire::devhost_socket_path(&error);
  int fd = wire::connect_host(path);
  if (fd < 0) {  // no host: no such device
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  wire::Request req;
  req.op = wire::Op::Open;
  req.access = access;
  req.share = share;
  req.path = to_u16(name);
  wire::Op op;
  std::vector<uint8_t> payload;
  wire::Reply reply;
  if (!wire::send_frame(fd, wire::encode_request(req)) ||
      !wire::recv_frame(fd, &op, &payload, kOpenTimeoutMs) || op != wire::Op::Open ||
      !wire::decode_reply(op, payload.data(), payload.size(), &reply)) {
    close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (reply.status != wire::kStatusSuccess) {
    close(fd);
    SetLastError(wire::nt_status_to_win32(reply.status));
    return INVALID_HANDLE_VALUE;
  }
  auto* f = new DeviceFile;
  f->fd = fd;
  win32::handle_table().add(f);
  SetLastError(ERROR_SUCCESS);
  return f;
}

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                            LPDWORD returned, LPOVERLAPPED overlapped) {
  if (!win32::handle_table().contains(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (overlapped) {  // the stand-in opens every file for synchronous I/O
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!returned || (in_size && !in) || (out_size && !out)) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *returned = 0;
  auto* f = static_cast<DeviceFile*>(h);
  std::lock_guard<std::mutex> lock(f->io);
  if (f->lost) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  wire::Request req;
  req.op = wire::Op::Ioctl;
  req.code = code;
  req.out_len = out_size;
  req.in.assign(static_cast<uint8_t*>(in), static_cast<uint8_t*>(in) + in_size);
  wire::Op op;
  std::vector<uint8_t> payload;
  wire::Reply reply;
  if (!wire::send_frame(f->fd, wire::encode_request(req)) ||
      !wire::recv_frame(f->fd, &op, &payload, kIoctlTimeoutMs) || op != wire::Op::Ioctl ||
      !wire::decode_reply(op, payload.data(), payload.size(), &reply)) {
    // The host died or hung: the handle behaves as one on a vanished device.
    f->lost = true;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  if (reply.status & 0x80000000u) {  // error or warning: nothing is copied back
    SetLastError(wire::nt_status_to_win32(reply.status));
    return FALSE;
  }
  // The output bytes come back as far as the caller's buffer holds them; the
  // count is the driver's (the direct methods may count input consumed).
  DWORD n = reply.information < out_size ? reply.information : out_size;
  if (n > reply.out.size()) n = DWORD(reply.out.size());
  if (n) std::memcpy(out, reply.out.data(), n);
  *returned = reply.information;
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
  if (!win32::handle_table().remove(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* f = static_cast<DeviceFile*>(h);
  close(f->fd);
  delete f;
  return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
  std::free(mem);
  return nullptr;
}

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID, DWORD id, DWORD, LPWSTR buffer, DWORD size, va_list*) {
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

}  // extern "C"
