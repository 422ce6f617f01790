// The device-host socket: how the user-mode Windows stand-in reaches
// korvel-devhost. A client process keeps its connection and carries every
// handle's life on it: Open (IRP_MJ_CREATE) answers with a handle number,
// Ioctl names it, Close (IRP_MJ_CLEANUP and IRP_MJ_CLOSE) ends it; the end of
// the connection closes what is left. Frames are little-endian:
//   u32 magic, u32 op, u32 payload length, payload
// Every request but Close and OpenAs gets exactly one reply frame with the
// same op. A host that cannot take another connection sends one Busy frame
// and closes.
//
// So that a transfer (open, device control, close) costs one round trip, a
// client may open a handle of a kind the host called light (the driver keeps
// nothing per open of it) again without asking, as long as the host's plug
// generation is the one it was opened in: it then sends OpenAs (an open under
// a number of the client's choosing, without reply) in front of the handle's
// first Ioctl (the host refuses it when the generation has changed since, as
// a handle of a removed device), and the Close of a light handle in front of
// its next request.
// The generation is in a page the host shares with each client that asks
// (Attach, whose reply carries the page's descriptor).
// Our own choice: the whole protocol; only the IRPs it stands for (IRP_MJ_CREATE,
// IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP and IRP_MJ_CLOSE) are Windows'.
#ifndef KORVEL_SIM_DEVHOST_WIRE_H
#define KORVEL_SIM_DEVHOST_WIRE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::wire {

constexpr uint32_t kMagic = 0x4F48564Bu;  // "KVHO"
constexpr size_t kHeaderSize = 12;
// Input and output buffers of one device-control request.
// Our own choice: the buffer limit. The path limit is UNICODE_STRING's (wdm.h: USHORT Length in
// bytes).
constexpr uint32_t kMaxIoctlBuffer = 1u << 20;
constexpr uint32_t kMaxPath = 32768;  // UNICODE_STRING limit, in code units

enum class Op : uint32_t {
  Enumerate = 1,
  Open = 2,
  Ioctl = 3,
  Close = 4,
  Busy = 5,
  Attach = 6,
  OpenAs = 7,
  Logon = 8
};
constexpr uint32_t kLastOp = 8;

// Who a connection's requests come from. Without Logon: the console user's
// program (the user the host runs as). Logon, before any other request,
// names a logon that the host's operator set up (the host's "logon" command,
// playing the part of Windows' logon and process creation) by its secret,
// and may lower that token as a process started with less would be: to an
// integrity ceiling, restricted. Nothing in it can raise a token or name an
// account: an unknown secret leaves the connection refused for every open.
// Source: "Mandatory Integrity Control" (integrity levels) and winnt.h's SECURITY_MANDATORY_*_RID
// values; the logon itself is our own stand-in for Windows' logon.
constexpr uint32_t kLogonRestricted = 1;  // restricted to the Restricted SID and Everyone
constexpr uint32_t kMaxLogonSecret = 256;

// Open reply flag: the driver keeps nothing per open of this file, so that it
// may be opened again with OpenAs and its Close may wait for the next request.
constexpr uint32_t kOpenLight = 1;
// Handle numbers a client chooses for OpenAs have this bit; the host's own
// never do.
constexpr uint32_t kClientHandleBit = 0x80000000u;

// Longest request payload of each op (0 for ops a client never sends).
uint32_t max_request_payload(Op op);
// Longest payload any frame carries.
constexpr uint32_t kMaxPayload = 16 + kMaxIoctlBuffer;

// NTSTATUS values that cross the socket (the host reports what the driver's
// IRP completed with; the client maps it as the I/O manager does).
constexpr uint32_t kStatusSuccess = 0x00000000u;
constexpr uint32_t kStatusBufferOverflow = 0x80000005u;
constexpr uint32_t kStatusDeviceBusy = 0x80000011u;
constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;
constexpr uint32_t kStatusInvalidHandle = 0xC0000008u;
constexpr uint32_t kStatusInvalidParameter = 0xC000000Du;
constexpr uint32_t kStatusNoSuchDevice = 0xC000000Eu;
constexpr uint32_t kStatusInvalidDeviceRequest = 0xC0000010u;
constexpr uint32_t kStatusAccessDenied = 0xC0000022u;
constexpr uint32_t kStatusBufferTooSmall = 0xC0000023u;
constexpr uint32_t kStatusObjectNameNotFound = 0xC0000034u;
constexpr uint32_t kStatusInsufficientResources = 0xC000009Au;
constexpr uint32_t kStatusDeviceNotConnected = 0xC000009Du;
constexpr uint32_t kStatusIoTimeout = 0xC00000B5u;
constexpr uint32_t kStatusNotSupported = 0xC00000BBu;
constexpr uint32_t kStatusDeviceDoesNotExist = 0xC00000C0u;
constexpr uint32_t kStatusCancelled = 0xC0000120u;
constexpr uint32_t kStatusDeviceRemoved = 0xC00002B6u;

// Source: "RtlNtStatusToDosError function (winternl.h)": ERROR_MR_MID_NOT_FOUND for a code without
// a system error code.
// The Win32 error the I/O manager reports for an NTSTATUS (the subset of
// RtlNtStatusToDosError that our devices produce; unknown codes give
// ERROR_MR_MID_NOT_FOUND as Windows does).
uint32_t nt_status_to_win32(uint32_t status);

struct Request {
  Op op = Op::Enumerate;
  uint8_t interface_class[16] = {};  // Enumerate: GUID in memory order
  uint32_t access = 0;               // Open
  uint32_t share = 0;                // Open
  std::u16string path;               // Open
  uint32_t handle = 0;               // Ioctl, Close, OpenAs
  uint64_t generation = 0;           // OpenAs: the plug generation the client opened in
  uint32_t code = 0;                 // Ioctl
  uint32_t out_len = 0;              // Ioctl: output buffer size of the caller
  std::vector<uint8_t> in;           // Ioctl: input buffer
  std::string secret;                // Logon: the logon's secret (empty: the console user's)
  uint32_t integrity = 0x4000;       // Logon: the integrity ceiling (a mandatory level RID)
  uint32_t logon_flags = 0;          // Logon: kLogonRestricted
};

struct DeviceEntry {
  std::u16string service;
  std::u16string instance_id;
  std::vector<std::u16string> interfaces;  // interface paths of the asked class
};

struct Reply {
  uint32_t status = kStatusSuccess;
  uint32_t handle = 0;               // Open: the handle number
  uint32_t flags = 0;                // Open: kOpenLight
  uint32_t max_handles = 0;          // Attach: handles a connection may hold
  uint32_t information = 0;          // Ioctl: IoStatus.Information
  std::vector<uint8_t> out;          // Ioctl: output bytes (at most out_len)
  std::vector<DeviceEntry> devices;  // Enumerate
};

// Header of a frame; false when the magic, the op or the length is wrong.
bool decode_header(const uint8_t* p, size_t n, Op* op, uint32_t* payload_len);

std::vector<uint8_t> encode_request(const Request& r);
// Decodes a request payload. Never reads past n; false on any malformed field.
bool decode_request(Op op, const uint8_t* p, size_t n, Request* out);

std::vector<uint8_t> encode_reply(Op op, const Reply& r);
bool decode_reply(Op op, const uint8_t* p, size_t n, Reply* out);

// The host's shared state: the plug generation changes before a plug, an
// unplug or a model change takes effect (clients read it without a call).
struct StatePage {
  uint32_t magic;
  uint32_t size;
  std::atomic<uint64_t> generation;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the page is shared between processes");
constexpr uint32_t kStateMagic = 0x54534B56u;  // "VKST"
// A new page in shared memory (the host's, writable): its descriptor, or -1.
int create_state_page(StatePage** page);
// Maps a page a host sent (read-only); null when `fd` is not one.
const StatePage* map_state_page(int fd);
void unmap_state_page(const StatePage* page);

// The hot path's frames, appended to `out` without intermediate buffers.
void append_close(std::vector<uint8_t>& out, uint32_t handle);
void append_open_as(std::vector<uint8_t>& out, uint32_t handle, uint64_t generation, uint32_t access,
                    uint32_t share, const char16_t* path, size_t path_len);
// An Ioctl frame up to its input bytes, which the caller sends after it.
void append_ioctl_head(std::vector<uint8_t>& out, uint32_t handle, uint32_t code, uint32_t out_len,
                       uint32_t in_len);
constexpr size_t kIoctlReplyHead = kHeaderSize + 12;  // status, information, output length

// Socket helpers: no SIGPIPE, every wait bounded by timeout_ms.
// -1 when no host answers, or when `path` is not a socket of this user.
int connect_host(const std::string& path);
bool send_frame(int fd, const std::vector<uint8_t>& frame);
// Reads one frame; false on end of stream, error, time-out or a bad header.
bool recv_frame(int fd, Op* op, std::vector<uint8_t>* payload, int timeout_ms);

// Socket file of the device host: KORVEL_DEVHOST_SOCKET, else
// $XDG_RUNTIME_DIR/korvel/devhost.sock, else /tmp/korvel-<uid>/devhost.sock.
// Creates the directory (mode 0700) and checks it without following links: a
// directory (not a link) of this user with mode 0700, so that no other user
// can plant a socket in it. Returns an empty string and sets *error when the
// path cannot be used.
std::string devhost_socket_path(std::string* error);

std::string utf16_to_utf8(const std::u16string& s);
std::u16string utf8_to_utf16(const std::string& s);

}  // namespace korvel::wire

#endif
