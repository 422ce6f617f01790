// The device channel through the Windows stand-in, against a scripted host
// that plays the driver: enumeration, the private-interface path, the record
// the library builds, and how failures come back.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "devhost_wire.h"
#include "usbdevs_win.h"
#include "vxwide.h"

using namespace korvel;

namespace {

constexpr uint8_t kRender[16] = {0x3E, 0x77, 0xE8, 0x65, 0x56, 0x8F, 0xD0, 0x11,
                                 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96};

// A device host on a private socket whose answers the test scripts.
class FakeHost {
 public:
  std::vector<wire::DeviceEntry> devices;
  std::function<uint32_t(const std::u16string&)> on_open = [](const std::u16string&) { return 0u; };
  std::function<wire::Reply(const wire::Request&)> on_ioctl;
  std::atomic<int> enumerations{0};
  std::atomic<int> closes{0};
  std::mutex m;
  std::vector<std::u16string> opened;
  std::vector<wire::Request> ioctls;

  FakeHost() {
    dir_ = "/tmp/korvel-usbdevs-XXXXXX";
    if (!mkdtemp(dir_.data())) std::abort();
    path_ = dir_ + "/host.sock";
    setenv("KORVEL_DEVHOST_SOCKET", path_.c_str(), 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 16) != 0) std::abort();
    accept_ = std::thread([this] { accept_loop(); });
  }
  ~FakeHost() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    {
      // Clients keep their connection: end each so its thread stops at once.
      std::lock_guard<std::mutex> l(m);
      for (int c : client_fds_) shutdown(c, SHUT_RDWR);
    }
    accept_.join();
    for (auto& t : clients_) t.join();
    for (int c : client_fds_) close(c);
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

 private:
  void accept_loop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      {
        std::lock_guard<std::mutex> l(m);
        client_fds_.push_back(c);
      }
      clients_.emplace_back([this, c] { serve(c); });
    }
  }
  void serve(int c) {
    wire::Op op;
    std::vector<uint8_t> payload;
    while (!stop_ && wire::recv_frame(c, &op, &payload, 2000)) {
      wire::Request req;
      if (!wire::decode_request(op, payload.data(), payload.size(), &req)) break;
      wire::Reply reply;
      if (op == wire::Op::Close) {
        ++closes;
        continue;  // no reply
      }
      if (op == wire::Op::Attach) {
        reply.status = wire::kStatusNotSupported;  // no state page: every open is asked
      } else if (op == wire::Op::Enumerate) {
        ++enumerations;
        if (std::memcmp(req.interface_class, kRender, 16) == 0) reply.devices = devices;
      } else if (op == wire::Op::Open) {
        std::lock_guard<std::mutex> l(m);
        opened.push_back(req.path);
        reply.status = on_open(req.path);
        reply.handle = 7;
      } else {
        {
          std::lock_guard<std::mutex> l(m);
          ioctls.push_back(req);
        }
        if (!on_ioctl) break;  // the host dies mid-request
        reply = on_ioctl(req);
      }
      if (!wire::send_frame(c, wire::encode_reply(op, reply))) break;
    }
    std::lock_guard<std::mutex> l(m);
    shutdown(c, SHUT_RDWR);  // closed by the destructor's owner of the list
  }

  std::string dir_, path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread accept_;
  std::list<std::thread> clients_;
  std::vector<int> client_fds_;
};

wire::DeviceEntry device(const char16_t* service, std::initializer_list<const char16_t*> paths) {
  wire::DeviceEntry d;
  d.service = service;
  d.instance_id = u"USB\\VID_2E4C&PID_0101\\1";
  for (auto p : paths) d.interfaces.push_back(p);
  return d;
}

class Channel : public testing::Test {
 protected:
  void SetUp() override { testing::internal::CaptureStdout(); }
  void TearDown() override { out_ = testing::internal::GetCapturedStdout(); }
  std::string out_;
};

TEST_F(Channel, WithoutAHostNothingIsFoundAndTransfersFail) {
  setenv("KORVEL_DEVHOST_SOCKET", "/tmp/korvel-no-such-dir-xyz/none.sock", 1);
  usbdevs_ctx ctx;
  usbdevs_init(&ctx);
  usbdevs_handle h = nullptr;
  EXPECT_EQ(1u, usbdevs_select(&ctx, &h, 0));
  EXPECT_EQ(nullptr, h);
  HANDLE f = CreateFileW(VXW("\\\\?\\usb#x\\tarrow"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, f);
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
  uint8_t buf[64];
  EXPECT_EQ(1u, usbdevs_ctrl_in(&ctx, 0x1E, 0, 0, 64, buf));
}

TEST_F(Channel, LastMatchingInterfaceOfTheServiceWins) {
  FakeHost host;
  host.devices = {device(u"tarrow", {u"\\\\?\\first#{g}\\kstarrow", u"\\\\?\\second#{g}\\kstarrow"}),
                  device(u"usbaudio2", {u"\\\\?\\other#{g}\\wave"}),
                  device(u"tarrow", {u"\\\\?\\third#{g}\\kstarrow"}),
                  device(u"Tarrow", {u"\\\\?\\case#{g}\\x"})};
  WCHAR path[USBDEVS_PATH_MAX];
  ASSERT_EQ(1, usbdevs_find_interface(VXW("tarrow"), path, USBDEVS_PATH_MAX));
  EXPECT_EQ(std::u16string(u"\\\\?\\third#{g}\\kstarrow"), std::u16string(path));
  EXPECT_EQ(0, usbdevs_find_interface(nullptr, path, USBDEVS_PATH_MAX));
  EXPECT_EQ(0, usbdevs_find_interface(VXW("usbaudio"), nullptr, 0));

  // A path longer than the buffer is clipped and stays terminated.
  WCHAR small[8];
  ASSERT_EQ(1, usbdevs_find_interface(VXW("tarrow"), small, 8));
  EXPECT_EQ(std::u16string(u"\\\\?\\thi"), std::u16string(small));
}

TEST_F(Channel, PrivateInterfaceReplacesTheLastComponent) {
  FakeHost host;
  host.on_open = [](const std::u16string&) { return wire::kStatusObjectNameNotFound; };
  EXPECT_EQ(INVALID_HANDLE_VALUE, usbdevs_open(VXW("\\\\?\\usb#vid#{g}\\kstarrow")));
  EXPECT_EQ(INVALID_HANDLE_VALUE, usbdevs_open(VXW("nobackslash")));
  ASSERT_EQ(2u, host.opened.size());
  EXPECT_EQ(std::u16string(u"\\\\?\\usb#vid#{g}\\tarrow"), host.opened[0]);
  EXPECT_EQ(std::u16string(u"nobackslash\\tarrow"), host.opened[1]);
  std::string out = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_NE(std::string::npos,
            out.find("GetLastError() = 0x2\nThe system cannot find the file specified.\r\n"));
  EXPECT_NE(std::string::npos, out.find("ERROR : "));
}

struct Opened {
  FakeHost host;
  usbdevs_ctx ctx;
  Opened() {
    host.devices = {device(u"tarrow", {u"\\\\?\\usb#unit#{g}\\kstarrow"})};
    usbdevs_init(&ctx);
  }
};

TEST_F(Channel, HostToDeviceRecordLayout) {
  Opened o;
  o.host.on_ioctl = [](const wire::Request&) { return wire::Reply(); };
  usbdevs_handle h = nullptr;
  ASSERT_EQ(0u, usbdevs_select(&o.ctx, &h, 0));
  ASSERT_EQ(&o.ctx, h);
  const uint8_t data[3] = {0x71, 1, 0};
  ASSERT_EQ(0u, usbdevs_ctrl_out(h, 0x1D, 0x1234, 0x5678, 3, data));
  ASSERT_EQ(1u, o.host.ioctls.size());
  const wire::Request& r = o.host.ioctls[0];
  EXPECT_EQ(IOCTL_QUENBY_TUNNEL, r.code);
  EXPECT_EQ(0u, r.out_len);
  const std::vector<uint8_t> want = {0,    0,    0,    0,    3, 0,    0,    0, 23, 0,
                                     0x34, 0x12, 0x78, 0x56, 0, 0x1D, 0x71, 1, 0,  0};
  EXPECT_EQ(want, r.in);

  // 64 payload bytes make an 80-byte record; 0 bytes send nothing.
  std::vector<uint8_t> big(64, 0xAB);
  ASSERT_EQ(0u, usbdevs_ctrl_out(h, 0x1D, 0, 0, 64, big.data()));
  EXPECT_EQ(80u, o.host.ioctls.back().in.size());
  EXPECT_EQ(1u, usbdevs_ctrl_out(h, 0x1D, 0, 0, 0, data));
  EXPECT_EQ(1u, usbdevs_ctrl_out(h, 0x1D, 0, 0, 3, nullptr));
  EXPECT_EQ(1u, usbdevs_ctrl_out(nullptr, 0x1D, 0, 0, 3, data));
  EXPECT_EQ(2u, o.host.ioctls.size());
}

TEST_F(Channel, DeviceToHostRepliesAndFailures) {
  Opened o;
  uint32_t status = 0;
  uint32_t info = 64;
  o.host.on_ioctl = [&](const wire::Request& r) {
    wire::Reply rep;
    rep.status = status;
    rep.information = info;
    rep.out.assign(r.out_len, 0x5A);
    return rep;
  };
  usbdevs_handle h = nullptr;
  ASSERT_EQ(0u, usbdevs_select(&o.ctx, &h, 0));
  uint8_t reply[64] = {};
  ASSERT_EQ(0u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));
  EXPECT_EQ(0x5A, reply[63]);
  const wire::Request& r = o.host.ioctls.back();
  EXPECT_EQ(20u, r.in.size());
  EXPECT_EQ(1, r.in[0]);  // device-to-host
  EXPECT_EQ(0x1E, r.in[15]);
  EXPECT_EQ(64u, r.out_len);

  info = 60;  // a short reply is a failure
  EXPECT_EQ(1u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));
  info = 64;
  status = wire::kStatusUnsuccessful;  // a failed USB transfer: error 31, busy
  EXPECT_EQ(2u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));
  status = wire::kStatusInvalidParameter;
  EXPECT_EQ(1u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));
  std::string out = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_NE(std::string::npos, out.find("../../vxtest/usbdevs_win:"));
  EXPECT_NE(std::string::npos,
            out.find("GetLastError() = 0x1f\nA device attached to the system is not functioning."));
  EXPECT_NE(std::string::npos, out.find("GetLastError() = 0x57\n"));
}

TEST_F(Channel, WarningsCarryDataAndTimeoutsAreNotBusy) {
  Opened o;
  uint32_t status = wire::kStatusBufferOverflow;
  o.host.on_ioctl = [&](const wire::Request&) {
    wire::Reply rep;
    rep.status = status;
    rep.information = 10;
    rep.out.assign(10, 0x33);
    return rep;
  };
  usbdevs_handle h = nullptr;
  ASSERT_EQ(0u, usbdevs_select(&o.ctx, &h, 0));
  HANDLE f = usbdevs_open(h->path);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  uint8_t rec[20] = {1};
  uint8_t out[64] = {};
  DWORD got = 0;
  EXPECT_FALSE(DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, rec, 20, out, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(10u, got);
  EXPECT_EQ(0x33, out[9]);
  CloseHandle(f);
  // A transfer the driver timed out on is a failure (1), never retried as busy.
  status = wire::kStatusIoTimeout;
  uint8_t reply[64];
  EXPECT_EQ(1u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));
  std::string out_text = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_NE(std::string::npos,
            out_text.find("GetLastError() = 0x79\nThe semaphore timeout period has expired."));
}

TEST_F(Channel, InterfacePathThatLeavesNoRoomForTheSuffixIsNotOpened) {
  FakeHost host;
  std::u16string path(USBDEVS_PATH_MAX - 3, u'a');  // no backslash: the suffix is appended
  EXPECT_EQ(INVALID_HANDLE_VALUE, usbdevs_open(path.c_str()));
  path.resize(USBDEVS_PATH_MAX - 1 - 7);  // exactly fits "\\tarrow" and the terminator
  HANDLE f = usbdevs_open(path.c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  CloseHandle(f);
  ASSERT_EQ(1u, host.opened.size());
  EXPECT_EQ(size_t(USBDEVS_PATH_MAX - 1), host.opened[0].size());
}

TEST_F(Channel, SelectionSearchesOnlyRightAfterAReset) {
  Opened o;
  vxdev_t dev;
  usbdevs_handle h = nullptr;
  vxdev_init(&dev);
  vxdev_reset(&dev);
  ASSERT_EQ(0u, vxdev_open(&dev, &h));
  EXPECT_EQ(&dev, h);
  EXPECT_EQ(1, dev.select_index);
  int searches = o.host.enumerations;
  EXPECT_EQ(1u, vxdev_open(&dev, &h));
  EXPECT_EQ(10, dev.select_index);
  EXPECT_EQ(searches, o.host.enumerations.load());
  vxdev_reset(&dev);
  EXPECT_EQ(0, dev.select_index);
  EXPECT_EQ(0u, vxdev_open(&dev, &h));
}

TEST_F(Channel, HostThatDiesMidRequestFailsTheTransferWithoutHanging) {
  Opened o;  // on_ioctl unset: the host drops the connection
  usbdevs_handle h = nullptr;
  ASSERT_EQ(0u, usbdevs_select(&o.ctx, &h, 0));
  uint8_t reply[64];
  EXPECT_EQ(1u, usbdevs_ctrl_in(h, 0x1E, 0, 0, 64, reply));
  std::string out = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_NE(std::string::npos, out.find("GetLastError() = 0x48f\nThe device is not connected."));
}

}  // namespace
