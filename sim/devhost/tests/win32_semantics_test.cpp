// The Windows stand-in as a client sees it, against the real host code in
// this process: SetupAPI enumeration rules, file handles, error codes and the
// private interface's plug life cycle.
#include <gtest/gtest.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "driver_hooks.h"
#include "kernel/clock.h"
#include "process.h"
#include "published_device.h"
#include "server.h"

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
    server_ = std::make_unique<devhost::Server>(*device_);
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

  korvel::testing::Sandbox box_;
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
  ASSERT_TRUE(DeviceIoControl(f, 0x222000, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(64u, got);
  EXPECT_EQ(0xA1, reply[0]);  // idle unit: only the ready marker

  // A header-only record is refused as the driver refuses it.
  EXPECT_FALSE(DeviceIoControl(f, 0x222000, rec, 16, reply, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

  ASSERT_EQ("", device_->unplug());
  EXPECT_FALSE(DeviceIoControl(f, 0x222000, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(path.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_EQ("", device_->plug());
  // The old handle stays dead; a new one works under the same path.
  EXPECT_FALSE(DeviceIoControl(f, 0x222000, rec, 20, reply, 64, &got, nullptr));
  EXPECT_TRUE(CloseHandle(f));
  EXPECT_FALSE(CloseHandle(f));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  f = CreateFileW(path.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  EXPECT_TRUE(DeviceIoControl(f, 0x222000, rec, 20, reply, 64, &got, nullptr));
  CloseHandle(f);

  // A stalled transfer reaches the client as error 31.
  device_->stall(1);
  f = CreateFileW(path.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(DeviceIoControl(f, 0x222000, rec, 20, reply, 64, &got, nullptr));
  EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
  CloseHandle(f);
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
  EXPECT_FALSE(DeviceIoControl(f, 0x222000, rec, 20, reply, 64, &got, nullptr));
  CloseHandle(f);
}

}  // namespace
