// The Windows stand-in as a client sees it, against the real host code in
// this process: SetupAPI enumeration rules, file handles, error codes and the
// private interface's plug life cycle.
#include <gtest/gtest.h>
#include <setupapi.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "driver_hooks.h"
#include "host_link.h"
#include "kernel/clock.h"
#include "process.h"
#include "published_device.h"
#include "server.h"
#include "unit.h"
#include "vxctl.h"

using namespace korvel::devhost;
namespace wire = korvel::wire;
namespace sim = korvel::sim;
namespace devhost = korvel::devhost;

namespace {

const GUID kRender = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

class HostInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.apply();
    // The unit with quenby on it, on the wall clock as a serving host runs.
    sim::Clock::instance().set_mode(sim::ClockMode::Real);
    device_ =
        std::make_unique<devhost::PublishedDevice>(sim::Model::Tarrow, devhost::driver_hooks(&slot_, true));
    ASSERT_EQ("", device_->start());
    server_ = std::make_unique<devhost::Server>(*device_, limits_);
    std::string error;
    ASSERT_TRUE(server_->listen_on(box_.socket(), &error)) << error;
    thread_ = std::thread([this] { server_->run(); });
  }
  void TearDown() override {
    server_->stop();
    thread_.join();
  }
  std::u16string private_path() {
    std::u16string p = device_->interface_path();
    return p.substr(0, p.rfind(u'\\')) + u"\\tarrow";
  }
  HANDLE open_private() {
    return CreateFileW(private_path().c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                       nullptr);
  }
  // One 64-byte device-to-host transfer on `f`; *error the last error.
  bool transfer(HANDLE f, DWORD* error = nullptr, DWORD* got = nullptr) {
    uint8_t rec[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};
    uint8_t reply[64];
    DWORD n = 0;
    const bool ok = DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &n, nullptr);
    if (error) *error = GetLastError();
    if (got) *got = n;
    return ok;
  }

  korvel::testing::Sandbox box_;
  devhost::ServerLimits limits_;
  devhost::DriverSlot slot_;
  std::unique_ptr<devhost::PublishedDevice> device_;
  std::unique_ptr<devhost::Server> server_;
  std::thread thread_;
};

TEST_F(HostInProcess, EnumerationFollowsSetupApiRules) {
  HDEVINFO set = SetupDiGetClassDevsW(&kRender, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVINFO_DATA dev{};
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &dev));  // cbSize not set
  EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
  dev.cbSize = sizeof dev;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &dev));
  EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());

  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
  WCHAR name[128] = {};
  DWORD need = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_SERVICE, nullptr, (PBYTE)name, 4, &need));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(14u, need);
  ASSERT_TRUE(
      SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_SERVICE, nullptr, (PBYTE)name, 254, nullptr));
  EXPECT_EQ(std::u16string(u"tarrow"), std::u16string(name));

  SP_DEVICE_INTERFACE_DATA itf{};
  itf.cbSize = sizeof itf;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &dev, &kRender, 0, &itf));
  DWORD size = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, &size, nullptr));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  std::u16string path = device_->interface_path();
  EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * 2, size);
  std::vector<uint8_t> mem(size);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(mem.data());
  detail->cbSize = 1;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, size, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  // Less than the fixed part and one code unit: refused before the size of
  // the path is looked at.
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(
      set, &itf, detail, DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 1), nullptr,
      nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, size, nullptr, nullptr));
  EXPECT_EQ(path, std::u16string(detail->DevicePath));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());

  // Another interface class has nothing; an unplugged unit is not present.
  const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  set = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &dev));
  SetupDiDestroyDeviceInfoList(set);
  ASSERT_EQ("", device_->unplug());
  set = SetupDiGetClassDevsW(&kRender, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &dev));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(HostInProcess, PrivateHandleLifeCycleAcrossUnplug) {
  std::u16string path = private_path();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  uint8_t rec[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};
  uint8_t reply[64];
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(64u, got);
  EXPECT_EQ(0xA1, reply[0]);  // idle unit: only the ready marker

  // A header-only record is refused as the driver refuses it.
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 16, reply, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

  ASSERT_EQ("", device_->unplug());
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(path.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_EQ("", device_->plug());
  // The old handle stays dead; a new one works under the same path.
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  EXPECT_TRUE(CloseHandle(f));
  EXPECT_FALSE(CloseHandle(f));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  EXPECT_TRUE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  CloseHandle(f);

  // A stalled transfer reaches the client as error 31.
  device_->stall(1);
  f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
  CloseHandle(f);
}

TEST_F(HostInProcess, ShortRepliesAndTimeoutsReachTheClientAsTheUnitGaveThem) {
  std::u16string path = private_path();
  uint8_t rec[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};
  uint8_t reply[64];
  DWORD got = 0;
  // A reply that ends after the ready marker: the client gets its 3 bytes,
  // not the 64 it asked for, and the rest of its buffer stays untouched.
  device_->unit()->short_next(1);
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  std::memset(reply, 0xEE, sizeof reply);
  ASSERT_TRUE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(3u, got);
  EXPECT_EQ(0xA1, reply[0]);
  EXPECT_EQ(0xEE, reply[3]);
  CloseHandle(f);

  // A unit that never answers: the transfer ends after the driver's time-out
  // as ERROR_SEM_TIMEOUT, and the next one works.
  device_->stall_timeout(1);
  f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  const uint64_t start = sim::Clock::instance().now_ns();
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_SEM_TIMEOUT), GetLastError());
  EXPECT_GE(sim::Clock::instance().now_ns() - start, 3'000'000'000ull);
  EXPECT_TRUE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(64u, got);
  CloseHandle(f);
}

TEST_F(HostInProcess, SynchronousCallsNeedACountAndASynchronousHandle) {
  uint8_t rec[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};
  uint8_t reply[64];
  HANDLE f = open_private();
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  // Without an OVERLAPPED the byte count is written even when nothing comes
  // back: a null count is refused, and the request never reaches the unit.
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_NOACCESS), GetLastError());
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_LEAVE_DIRECT, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_NOACCESS), GetLastError());
  EXPECT_TRUE(transfer(f));
  CloseHandle(f);
  // A handle opened for overlapped I/O is not used synchronously.
  HANDLE async = CreateFileW(private_path().c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, async);
  DWORD error = 0;
  EXPECT_FALSE(transfer(async, &error));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), error);
  CloseHandle(async);
}

TEST_F(HostInProcess, CodesNeedTheAccessTheirHandleWasOpenedFor) {
  // Each code needs its handle opened for writing (whatever changes the
  // unit or direct mode) or for reading (whatever only reports), whether
  // the I/O manager checks its access bits or the driver checks for itself;
  // a handle opened with no access reaches nothing.
  const std::u16string path = private_path();
  const DWORD rights[] = {0, GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
  const struct {
    DWORD code;
    bool read, write;  // the rights it needs
  } codes[] = {
      {IOCTL_QUENBY_TUNNEL, false, true},         {IOCTL_QUENBY_ENTER_DIRECT, false, true},
      {IOCTL_QUENBY_LEAVE_DIRECT, false, true},   {IOCTL_QUENBY_RESET_BOTH, false, true},
      {IOCTL_QUENBY_CLEAR_COUNTERS, false, true}, {IOCTL_QUENBY_SET_IN_FLIGHT, false, true},
      {IOCTL_QUENBY_WRITE_RENDER, false, true},   {IOCTL_QUENBY_COUNTERS, true, false},
      {IOCTL_QUENBY_RENDER_DELAY, true, false},   {IOCTL_QUENBY_READ_CAPTURE, true, false},
  };
  uint8_t rec[64] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};
  uint8_t out[64];
  for (DWORD access : rights) {
    HANDLE f = CreateFileW(path.c_str(), access, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    for (const auto& c : codes) {
      DWORD got = 7;
      SetLastError(0);
      const BOOL ok = DeviceIoControl(f, c.code, rec, c.code == IOCTL_QUENBY_TUNNEL ? 20 : 4, out,
                                      c.code == IOCTL_QUENBY_WRITE_RENDER ? 0 : 64, &got, nullptr);
      const bool allowed = (!c.read || (access & GENERIC_READ)) && (!c.write || (access & GENERIC_WRITE));
      EXPECT_EQ(allowed, ok || GetLastError() != DWORD(ERROR_ACCESS_DENIED))
          << std::hex << c.code << " on a handle opened for " << access;
      if (!allowed) {
        EXPECT_EQ(0u, got);
      }
    }
    CloseHandle(f);
  }
}

TEST_F(HostInProcess, AnExitedDirectClientGivesTheUnitBack) {
  // A direct client (another program) killed inside direct mode: its
  // handles close with its process, and their cleanup ends direct mode, so
  // that the unit goes back to Windows audio and to the next client.
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  std::vector<std::string> env = box_.env();
  env.push_back("KORVEL_TEST_DIRECT_PATH=" + korvel::wire::utf16_to_utf8(private_path()));
  korvel::testing::Child client({self, "--gtest_filter=DirectClientProgram.*"}, env);
  std::string line;
  for (int i = 0; i < 50 && line != "entered" && line != "failed"; ++i) line = client.read_line(5000);
  ASSERT_EQ("entered", line) << client.stderr_text();
  HANDLE f = open_private();
  DWORD got = 0;
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_ENTER_DIRECT, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_BUSY), GetLastError());
  client.signal(SIGKILL);
  client.wait();
  const auto ended = std::chrono::steady_clock::now();
  bool entered = false;
  while (!entered && std::chrono::steady_clock::now() - ended < std::chrono::seconds(5)) {
    entered = DeviceIoControl(f, IOCTL_QUENBY_ENTER_DIRECT, nullptr, 0, nullptr, 0, &got, nullptr);
    if (!entered) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - ended).count();
  RecordProperty("given_back_ms", std::to_string(ms));
  std::printf("direct mode given back %.2f ms after its client was killed\n", ms);
  EXPECT_TRUE(entered);
  EXPECT_TRUE(DeviceIoControl(f, IOCTL_QUENBY_LEAVE_DIRECT, nullptr, 0, nullptr, 0, &got, nullptr));
  CloseHandle(f);
}

// The direct client of AnExitedDirectClientGivesTheUnitBack, as a program
// of its own: it enters direct mode, starts, says so and waits to be killed.
TEST(DirectClientProgram, EntersDirectModeAndWaitsToBeKilled) {
  const char* path = getenv("KORVEL_TEST_DIRECT_PATH");
  if (path == nullptr) GTEST_SKIP() << "run by HostInProcess.AnExitedDirectClientGivesTheUnitBack";
  const std::u16string p = korvel::wire::utf8_to_utf16(path);
  HANDLE f = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD got = 0;
  const bool ok = f != INVALID_HANDLE_VALUE &&
                  DeviceIoControl(f, IOCTL_QUENBY_ENTER_DIRECT, nullptr, 0, nullptr, 0, &got, nullptr) &&
                  DeviceIoControl(f, IOCTL_QUENBY_START_DIRECT, nullptr, 0, nullptr, 0, &got, nullptr);
  std::printf("%s\n", ok ? "entered" : "failed");
  std::fflush(stdout);
  for (;;) pause();
}

TEST_F(HostInProcess, UnknownPathsAndFilterHandles) {
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(u"\\\\?\\usb#nothing\\tarrow", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
  std::u16string filter = device_->interface_path();
  HANDLE f = CreateFileW(filter.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  uint8_t rec[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};
  uint8_t reply[64];
  DWORD got = 0;
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, reply, 64, &got, nullptr));
  CloseHandle(f);
}

// A raw connection to the host, as any process of the user can make.
int raw_connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect";
  return fd;
}

// True when the host closed the connection within `ms`.
bool closed_by_host(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char c;
  bool closed = recv(fd, &c, 1, 0) == 0;
  close(fd);
  return closed;
}

class TightHost : public HostInProcess {
 protected:
  void SetUp() override {
    limits_.max_connections = 2;
    limits_.idle_ms = 1500;
    limits_.frame_ms = 1500;
    HostInProcess::SetUp();
  }
};

TEST_F(TightHost, BadFramesAndIdleClientsAreDroppedAndAFullHostSaysBusy) {
  // A header announcing more than its request can carry, or a frame of the
  // wrong kind, closes the connection at once (long before any time-out); a
  // frame that never completes, once its time is up.
  const uint32_t huge[3] = {wire::kMagic, 3, 16u << 20};
  const uint32_t open_too_long[3] = {wire::kMagic, 2, 70000};
  const uint32_t busy_from_client[3] = {wire::kMagic, 5, 0};
  for (const uint32_t* frame : {huge, open_too_long, busy_from_client}) {
    int fd = raw_connect(box_.socket());
    ASSERT_EQ(12, send(fd, frame, 12, MSG_NOSIGNAL));
    EXPECT_TRUE(closed_by_host(fd, 1000)) << frame[1];
  }
  const uint32_t partial[4] = {wire::kMagic, 3, 100, 0};
  int p = raw_connect(box_.socket());
  ASSERT_EQ(16, send(p, partial, 16, MSG_NOSIGNAL));
  EXPECT_TRUE(closed_by_host(p, 4000));
  // Two idle connections fill the host: a client hears "busy", not "no unit".
  int a = raw_connect(box_.socket()), b = raw_connect(box_.socket());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            SetupDiGetClassDevsW(&kRender, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  EXPECT_EQ(DWORD(ERROR_BUSY), GetLastError());
  // Idle connections time out and make room again.
  EXPECT_TRUE(closed_by_host(a, 4000));
  EXPECT_TRUE(closed_by_host(b, 4000));
  HDEVINFO set = SetupDiGetClassDevsW(&kRender, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(HostInProcess, OpensRacingUnplugsNeverReachADeletedDevice) {
  // Clients open, use and close handles as fast as the host serves them (its
  // own entry points, without the socket in between) while the unit comes
  // and goes: no handle may outlive the device it was opened on.
  std::u16string path = private_path();
  std::atomic<bool> stop{false};
  std::atomic<int> transfers{0};
  auto client = [&] {
    const uint8_t rec[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E, 0, 0, 0, 0};
    uint8_t reply[64];
    while (!stop) {
      devhost::Session session;
      if (device_->open(path, &session) == 0 &&
          device_->ioctl(session, IOCTL_QUENBY_TUNNEL, rec, sizeof rec, reply, sizeof reply).status == 0)
        ++transfers;
      device_->close(&session);
    }
  };
  std::thread c1(client), c2(client), c3(client);
  for (int i = 0; i < 400; ++i) {
    ASSERT_EQ("", device_->unplug());
    if (i % 2) std::this_thread::yield();
    ASSERT_EQ("", device_->plug());
  }
  stop = true;
  c1.join();
  c2.join();
  c3.join();
  EXPECT_GT(transfers.load(), 0);
}

// The product opens, uses and closes the private interface for every
// transfer; the stand-in makes that one exchange with the host: the open
// goes in front of the request and the close in front of the next one.
TEST_F(HostInProcess, ATransferIsOneExchangeOnceThePathIsKnown) {
  vxdev_t dev;
  usbdevs_handle h = nullptr;
  vxdev_init(&dev);
  vxdev_reset(&dev);
  ASSERT_EQ(0u, vxdev_open(&dev, &h));
  uint8_t reply[64];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));  // learns the path
  const korvel::win32::LinkStats client0 = korvel::win32::link_stats();
  const devhost::Server::Stats host0 = server_->stats();
  constexpr uint64_t kTransfers = 100;
  for (uint64_t i = 0; i < kTransfers; ++i) ASSERT_EQ(0u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));
  const korvel::win32::LinkStats client1 = korvel::win32::link_stats();
  const devhost::Server::Stats host1 = server_->stats();
  EXPECT_EQ(kTransfers, client1.sends - client0.sends);
  EXPECT_EQ(kTransfers, host1.sends - host0.sends);
  EXPECT_EQ(3 * kTransfers, host1.requests - host0.requests);  // the close before, the open, the request
  // One receive each way per transfer; a little room for a slow machine
  // whose reply arrives in two pieces.
  EXPECT_LE(client1.receives - client0.receives, kTransfers + kTransfers / 20);
  EXPECT_LE(host1.receives - host0.receives, kTransfers + kTransfers / 20);
}

TEST_F(HostInProcess, OpensWithoutAskingFollowThePlugGeneration) {
  auto learn = [&] {
    for (int i = 0; i < 2; ++i) {
      HANDLE f = open_private();
      ASSERT_NE(INVALID_HANDLE_VALUE, f);
      ASSERT_TRUE(transfer(f));
      CloseHandle(f);
    }
  };
  DWORD error = 0;
  learn();
  // Known now: the open asks nothing of the host.
  uint64_t asked = server_->stats().requests;
  HANDLE quick = open_private();
  ASSERT_NE(INVALID_HANDLE_VALUE, quick);
  EXPECT_EQ(asked, server_->stats().requests);
  // The unit leaves before the handle's first request: the request fails
  // as on a removed device, and an open now fails at once.
  ASSERT_EQ("", device_->unplug());
  EXPECT_FALSE(transfer(quick, &error));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), error);
  EXPECT_EQ(INVALID_HANDLE_VALUE, open_private());
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
  ASSERT_EQ("", device_->plug());
  EXPECT_FALSE(transfer(quick));
  EXPECT_TRUE(CloseHandle(quick));

  // Unplugged and plugged again between the open and its first request:
  // the handle belongs to the unit that left, never to the new one.
  learn();
  quick = open_private();
  ASSERT_NE(INVALID_HANDLE_VALUE, quick);
  ASSERT_EQ("", device_->unplug());
  ASSERT_EQ("", device_->plug());
  EXPECT_FALSE(transfer(quick, &error));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), error);
  CloseHandle(quick);
  HANDLE fresh = open_private();
  EXPECT_TRUE(transfer(fresh));
  CloseHandle(fresh);

  // The filter keeps state per open: always asked, and closed at once.
  std::u16string filter = device_->interface_path();
  for (int i = 0; i < 3; ++i) {
    asked = server_->stats().requests;
    HANDLE f = CreateFileW(filter.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    EXPECT_LT(asked, server_->stats().requests);
    asked = server_->stats().requests;
    CloseHandle(f);
    for (int wait = 0; wait < 200 && server_->stats().requests == asked; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LT(asked, server_->stats().requests) << "the filter's close was held back";
  }
}

TEST_F(HostInProcess, AQuickOpenUsedByTwoThreadsAtOnceIsOpenedOnce) {
  for (int i = 0; i < 2; ++i) {
    HANDLE f = open_private();
    ASSERT_TRUE(transfer(f));
    CloseHandle(f);
  }
  for (int round = 0; round < 20; ++round) {
    HANDLE quick = open_private();
    ASSERT_NE(INVALID_HANDLE_VALUE, quick);
    std::atomic<int> ok{0};
    auto use = [&] {
      for (int i = 0; i < 5; ++i) ok += transfer(quick) ? 1 : 0;
    };
    std::thread a(use), b(use);
    a.join();
    b.join();
    EXPECT_EQ(10, ok.load()) << "round " << round;
    CloseHandle(quick);
  }
}

class FewHandlesShortIdle : public HostInProcess {
 protected:
  void SetUp() override {
    limits_.max_handles = 2;
    limits_.idle_ms = 100;  // 1 s for a connection that holds handles
    HostInProcess::SetUp();
  }
};

TEST_F(FewHandlesShortIdle, LateClosesFreeTheirHandlesAndAClosedConnectionIsReplaced) {
  // Many more transfers than the connection may hold handles: every close
  // that went late has reached the host.
  for (int i = 0; i < 20; ++i) {
    HANDLE f = open_private();
    ASSERT_NE(INVALID_HANDLE_VALUE, f) << i;
    ASSERT_TRUE(transfer(f)) << i;
    ASSERT_TRUE(CloseHandle(f));
  }
  // The limit still shows where Windows would show it: at the open.
  HANDLE a = open_private(), b = open_private();
  ASSERT_NE(INVALID_HANDLE_VALUE, a);
  ASSERT_NE(INVALID_HANDLE_VALUE, b);
  EXPECT_TRUE(transfer(a));
  EXPECT_TRUE(transfer(b));
  EXPECT_EQ(INVALID_HANDLE_VALUE, open_private());
  EXPECT_EQ(DWORD(ERROR_NO_SYSTEM_RESOURCES), GetLastError());
  CloseHandle(a);
  HANDLE c = open_private();
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  EXPECT_TRUE(transfer(c));
  CloseHandle(b);
  CloseHandle(c);
  // The host closes the idle connection; an open without asking still
  // works, its request going on a connection of its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  HANDLE later = open_private();
  ASSERT_NE(INVALID_HANDLE_VALUE, later);
  DWORD got = 0;
  EXPECT_TRUE(transfer(later, nullptr, &got));
  EXPECT_EQ(64u, got);
  CloseHandle(later);
}

TEST_F(HostInProcess, LibraryCommandsReachTheUnitThroughQuenbyIntact) {
  // Library-only settings read back through the unit's registers, and a new
  // firmware whose version and build both need their high byte.
  vxdev_t dev;
  usbdevs_handle h = nullptr;
  vxdev_init(&dev);
  vxdev_reset(&dev);
  testing::internal::CaptureStdout();
  ASSERT_EQ(0u, vxdev_open(&dev, &h));
  ASSERT_EQ(0u, vxctl_set_13(&h, 0xA5));
  ASSERT_EQ(0u, vxctl_set_17(&h, 0x12345678));
  ASSERT_EQ(0u, vxctl_set_1c_1d(&h, 1, 0x01020304));
  ASSERT_EQ(0u, vxctl_set_1c_1d(&h, 0, 0x0A0B0C0D));
  ASSERT_EQ(0u, vxctl_set_3a(&h, "stage"));
  const std::pair<uint32_t, uint32_t> want[] = {
      {0x10, 0xA5}, {0x11, 0x12345678}, {0x12, 0x01020304}, {0x13, 0x0A0B0C0D}, {0x15, 5}};
  for (auto [reg, value] : want) {
    uint32_t got = 0;
    ASSERT_EQ(0u, vxctl_call_27(&h, reg, &got));
    EXPECT_EQ(value, got) << "register " << reg;
  }
  std::vector<uint8_t> image = sim::make_firmware_image(261, 300, 3000);
  ASSERT_EQ(0u, vxctl_fw_update(&h, image.data(), uint32_t(image.size()), nullptr));
  uint16_t version = 0, build = 0;
  ASSERT_EQ(0u, vxctl_get_version(&h, &version));
  ASSERT_EQ(0u, vxctl_get_build(&h, &build));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(261, version);
  EXPECT_EQ(300, build);
}

}  // namespace
