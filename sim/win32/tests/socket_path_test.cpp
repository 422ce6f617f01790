// Where the device-host socket lives.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "devhost_wire.h"

using korvel::wire::devhost_socket_path;

namespace {

struct EnvGuard {
  EnvGuard() {
    unsetenv("KORVEL_DEVHOST_SOCKET");
    dir = (std::filesystem::temp_directory_path() / "korvel-sock-XXXXXX").string();
    if (!mkdtemp(dir.data())) std::abort();
  }
  ~EnvGuard() { std::filesystem::remove_all(dir); }
  std::string dir;
};

TEST(SocketPath, RuntimeDirectoryWithAPrivateFolder) {
  EnvGuard g;
  setenv("XDG_RUNTIME_DIR", g.dir.c_str(), 1);
  std::string error;
  EXPECT_EQ(g.dir + "/korvel/devhost.sock", devhost_socket_path(&error)) << error;
  struct stat st;
  ASSERT_EQ(0, stat((g.dir + "/korvel").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
}

TEST(SocketPath, ExplicitSocketAndFallback) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/x.sock").c_str(), 1);
  EXPECT_EQ(g.dir + "/x.sock", devhost_socket_path(nullptr));
  unsetenv("KORVEL_DEVHOST_SOCKET");
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ("/tmp/korvel-" + std::to_string(getuid()) + "/devhost.sock", devhost_socket_path(nullptr));
}

TEST(SocketPath, TooLongForASocketAddressIsAClearError) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/" + std::string(120, 'a') + ".sock").c_str(), 1);
  std::string error;
  EXPECT_EQ("", devhost_socket_path(&error));
  EXPECT_NE(std::string::npos, error.find("socket path too long"));
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

}  // namespace
