// Events, mutexes and thread objects of the kernel stand-in.
#include <gtest/gtest.h>
#include <ntddk.h>

#include "kernel/host.h"

namespace {

TEST(Dispatcher, SynchronizationEventWakesOneWaiterAndResets) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeReadStateEvent(&e), 1);
}

TEST(Dispatcher, NotificationEventStaysSignalled) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeClearEvent(&e);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(Dispatcher, MutexIsRecursiveForItsOwnerAndTriedByOthers) {
  static KMUTEX m;
  KeInitializeMutex(&m, 0);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  static NTSTATUS other = STATUS_UNSUCCESSFUL;
  HANDLE h;
  ASSERT_EQ(PsCreateSystemThread(
                &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID) {
                  LARGE_INTEGER z;
                  z.QuadPart = 0;
                  other = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &z);
                  PsTerminateSystemThread(STATUS_SUCCESS);
                },
                nullptr),
            STATUS_SUCCESS);
  ZwWaitForSingleObject(h, FALSE, nullptr);
  ZwClose(h);
  EXPECT_EQ(other, STATUS_TIMEOUT);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(KeReadStateMutex(&m), 0);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
}

TEST(Dispatcher, ThreadObjectSignalsWhenTheThreadEnds) {
  HANDLE h;
  ASSERT_EQ(PsCreateSystemThread(
                &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID) {
                  KeSetPriorityThread(KeGetCurrentThread(), 30);
                  EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), 30);
                  PsTerminateSystemThread(STATUS_SUCCESS);
                },
                nullptr),
            STATUS_SUCCESS);
  LARGE_INTEGER t;
  t.QuadPart = -2500000;
  EXPECT_EQ(ZwWaitForSingleObject(h, FALSE, &t), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST(Dispatcher, RtlGetVersionReportsTheConfiguredWindows) {
  // Drivers decide by it (quenby refuses Vista and works around Windows 7's
  // USB stack): the version set is the version read.
  korvel::sim::kernel::set_os_version(6, 1, 7601);
  RTL_OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof(v);
  ASSERT_EQ(RtlGetVersion(&v), STATUS_SUCCESS);
  EXPECT_EQ(v.dwMajorVersion, 6u);
  EXPECT_EQ(v.dwMinorVersion, 1u);
  EXPECT_EQ(v.dwBuildNumber, 7601u);
  EXPECT_EQ(v.dwOSVersionInfoSize, sizeof(v));
  // A size field that does not cover the structure is refused and nothing
  // is written.
  RTL_OSVERSIONINFOW small{};
  small.dwOSVersionInfoSize = 4;
  EXPECT_EQ(RtlGetVersion(&small), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(small.dwMajorVersion, 0u);
  EXPECT_EQ(RtlGetVersion(nullptr), STATUS_INVALID_PARAMETER);
  korvel::sim::kernel::set_os_version(10, 0, 19045);
  ASSERT_EQ(RtlGetVersion(&v), STATUS_SUCCESS);
  EXPECT_EQ(v.dwMajorVersion, 10u);
  EXPECT_EQ(v.dwBuildNumber, 19045u);
}

}  // namespace
