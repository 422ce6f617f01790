// Where the device-host socket lives, and the named mutexes kept beside it.
#include <gtest/gtest.h>
#include <sddl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <thread>

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

TEST(SocketPath, OnlyAPrivateDirectoryOfOurOwnIsUsed) {
  // A directory another user could write to, or a link to one, would let
  // that user plant a socket of their own for our clients to talk to.
  EnvGuard g;
  std::string open_dir = g.dir + "/open";
  ASSERT_EQ(0, mkdir(open_dir.c_str(), 0700));
  ASSERT_EQ(0, chmod(open_dir.c_str(), 0777));
  setenv("KORVEL_DEVHOST_SOCKET", (open_dir + "/h.sock").c_str(), 1);
  std::string error;
  EXPECT_EQ("", devhost_socket_path(&error));
  EXPECT_NE(std::string::npos, error.find("mode 0777")) << error;
  std::string link = g.dir + "/link";
  ASSERT_EQ(0, chmod(open_dir.c_str(), 0700));
  ASSERT_EQ(0, symlink(open_dir.c_str(), link.c_str()));
  setenv("KORVEL_DEVHOST_SOCKET", (link + "/h.sock").c_str(), 1);
  EXPECT_EQ("", devhost_socket_path(&error));
  EXPECT_NE(std::string::npos, error.find("symbolic link")) << error;
  // A socket path that is a link is never connected to.
  std::string fake = open_dir + "/h.sock";
  ASSERT_EQ(0, symlink("/tmp/elsewhere.sock", fake.c_str()));
  EXPECT_EQ(-1, korvel::wire::connect_host(fake));
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

TEST(NamedMutex, OneOwnerAtATimeAcrossHandles) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/h.sock").c_str(), 1);
  HANDLE a = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");
  HANDLE b = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");  // as another process opens it
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));  // the owner may nest
  DWORD other = 0;
  std::thread([&] { other = WaitForSingleObject(b, 20); }).join();
  EXPECT_EQ(DWORD(WAIT_TIMEOUT), other);
  EXPECT_FALSE(ReleaseMutex(b));  // not its owner
  EXPECT_EQ(DWORD(ERROR_NOT_OWNER), GetLastError());
  EXPECT_TRUE(ReleaseMutex(a));
  std::thread([&] { other = WaitForSingleObject(b, 20); }).join();
  EXPECT_EQ(DWORD(WAIT_TIMEOUT), other);  // still held once
  EXPECT_TRUE(ReleaseMutex(a));
  std::thread([&] {
    other = WaitForSingleObject(b, 1000);
    ReleaseMutex(b);
  }).join();
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), other);
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
  EXPECT_EQ(DWORD(WAIT_FAILED), WaitForSingleObject(a, 0));
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

TEST(NamedMutex, AnOwnerThatEndsWithoutReleasingLeavesItAbandoned) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/h.sock").c_str(), 1);
  HANDLE a = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");
  ASSERT_NE(nullptr, a);
  // Its owner closes it (as a process that ends does) while holding it.
  std::thread([] {
    HANDLE held = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, 0));
    CloseHandle(held);
  }).join();
  EXPECT_EQ(DWORD(WAIT_ABANDONED), WaitForSingleObject(a, 0));  // taken over all the same
  EXPECT_TRUE(ReleaseMutex(a));
  // Released properly, it is not abandoned any more.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
  EXPECT_TRUE(ReleaseMutex(a));
  EXPECT_TRUE(CloseHandle(a));
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

// As CreateMutexW has it: one object per exact name while any handle is
// open, an existing one told apart, owned from the start only by its maker.
TEST(NamedMutex, AnExistingMutexIsOpenedAndSaidToExistUntilItsLastHandleCloses) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/h.sock").c_str(), 1);
  HANDLE made = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
  // Asking to own it from the start: the one that opened it owns nothing,
  // so the maker's thread can still take it.
  HANDLE opened = CreateMutexW(nullptr, TRUE, u"Local\\KorvelTest");
  ASSERT_NE(nullptr, opened);
  EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_FALSE(ReleaseMutex(opened));
  EXPECT_EQ(DWORD(ERROR_NOT_OWNER), GetLastError());
  std::thread([made] {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(made, 0));
    EXPECT_TRUE(ReleaseMutex(made));
  }).join();
  EXPECT_TRUE(CloseHandle(opened));
  opened = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");  // the maker's handle keeps it
  EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_TRUE(CloseHandle(made));
  // With no handle left the mutex is gone: the next call makes it anew.
  HANDLE again = CreateMutexW(nullptr, TRUE, u"Local\\KorvelTest");
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
  EXPECT_TRUE(ReleaseMutex(again));
  EXPECT_TRUE(CloseHandle(again));
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

TEST(NamedMutex, NamesAreComparedExactlyAndLimitedToMaxPath) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/h.sock").c_str(), 1);
  HANDLE a = CreateMutexW(nullptr, FALSE, u"Local\\Korvel-Test");
  ASSERT_NE(nullptr, a);
  const char16_t* others[] = {u"Local\\Korvel_Test", u"Local\\Korvel.Test", u"Local\\korvel-Test",
                              u"Global\\Korvel-Test", u"Local\\Korvel\u00e9Test"};
  for (size_t i = 0; i < sizeof others / sizeof *others; ++i) {
    HANDLE b = CreateMutexW(nullptr, FALSE, others[i]);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError()) << "name " << i;
    CloseHandle(b);
  }
  CloseHandle(a);
  std::u16string longest(260, u'x');
  HANDLE fits = CreateMutexW(nullptr, FALSE, longest.c_str());
  EXPECT_NE(nullptr, fits);
  CloseHandle(fits);
  longest += u'x';
  EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, longest.c_str()));
  EXPECT_NE(DWORD(ERROR_SUCCESS), GetLastError());
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

// "Local\\" names (and names without a prefix) belong to the caller's
// session, "Global\\" names to every session.
TEST(NamedMutex, LocalNamesBelongToTheirSessionGlobalNamesToAll) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/h.sock").c_str(), 1);
  setenv("KORVEL_SIM_SESSION", "1", 1);
  HANDLE local1 = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");
  HANDLE bare1 = CreateMutexW(nullptr, FALSE, u"KorvelTest");
  EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());  // the same object as Local\\ names
  HANDLE global1 = CreateMutexW(nullptr, FALSE, u"Global\\KorvelTest");
  EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
  setenv("KORVEL_SIM_SESSION", "2", 1);
  HANDLE local2 = CreateMutexW(nullptr, FALSE, u"Local\\KorvelTest");
  EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
  HANDLE global2 = CreateMutexW(nullptr, FALSE, u"Global\\KorvelTest");
  EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(local1, 0));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(global1, 0));
  DWORD local = 0, global = 0;
  std::thread([&] {
    local = WaitForSingleObject(local2, 0);
    global = WaitForSingleObject(global2, 0);
    if (local == WAIT_OBJECT_0) ReleaseMutex(local2);
  }).join();
  EXPECT_EQ(WAIT_OBJECT_0, local);
  EXPECT_EQ(DWORD(WAIT_TIMEOUT), global);
  ReleaseMutex(local1);
  ReleaseMutex(global1);
  for (HANDLE h : {local1, bare1, global1, local2, global2}) CloseHandle(h);
  unsetenv("KORVEL_SIM_SESSION");
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

// A handle can do what it was opened for and nothing else; a descriptor
// must come from its string form, in the one revision there is.
TEST(NamedMutex, HandlesHoldTheRightsTheyAskedForAndDescriptorsAreChecked) {
  EnvGuard g;
  setenv("KORVEL_DEVHOST_SOCKET", (g.dir + "/h.sock").c_str(), 1);
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_FALSE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:(A;;0x00100001;;;WD)", 2, &sd, nullptr));
  EXPECT_EQ(DWORD(ERROR_UNKNOWN_REVISION), GetLastError());
  for (const char16_t* bad : {u"", u"D:", u"D:(A;;GA;;WD)", u"D:(X;;GA;;;WD)", u"D:(A;;GA;;;nobody)"}) {
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(bad, SDDL_REVISION_1, &sd, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  }
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:(A;;0x00100001;;;WD)", SDDL_REVISION_1,
                                                                   &sd, nullptr));
  SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), sd, FALSE};
  HANDLE wait_only = CreateMutexExW(&sa, u"Local\\KorvelTest", 0, SYNCHRONIZE);
  ASSERT_NE(nullptr, wait_only);
  HANDLE release_only = CreateMutexExW(&sa, u"Local\\KorvelTest", 0, MUTEX_MODIFY_STATE);
  ASSERT_NE(nullptr, release_only);
  LocalFree(sd);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(release_only, 0));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(wait_only, 0));
  EXPECT_FALSE(ReleaseMutex(wait_only));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(wait_only);
  CloseHandle(release_only);
  uint32_t forged[8] = {};
  SECURITY_ATTRIBUTES wrong{sizeof(SECURITY_ATTRIBUTES), forged, FALSE};
  EXPECT_EQ(nullptr, CreateMutexExW(&wrong, u"Local\\KorvelTest", 0, SYNCHRONIZE));
  EXPECT_EQ(DWORD(ERROR_INVALID_SECURITY_DESCR), GetLastError());
  EXPECT_EQ(nullptr, CreateMutexExW(nullptr, u"Local\\KorvelTest", 2, SYNCHRONIZE));  // unknown flag
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  unsetenv("KORVEL_DEVHOST_SOCKET");
}

}  // namespace
