// The verifier checks: pool accounting by tag, blocking at dispatch level,
// IRPs completed twice, wrong tags and double frees.
#include "kernel/verifier.h"

#include <gtest/gtest.h>
#include <ntddk.h>
#include <wdf.h>
#include <wdfminiport.h>

#include <string>
#include <vector>

namespace verifier = korvel::sim::verifier;

namespace {

class VerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = verifier::set_failure_handler([this](const std::string& what) { failures_.push_back(what); });
  }
  void TearDown() override { verifier::set_failure_handler(old_); }
  std::vector<std::string> failures_;
  verifier::FailureHandler old_;
};

constexpr ULONG kTag = verifier::tag("tst1");

TEST_F(VerifierTest, PoolIsCountedByTag) {
  verifier::TagUsage before = verifier::pool_usage(kTag);
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
  PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 28, kTag);
  verifier::TagUsage mid = verifier::pool_usage(kTag);
  EXPECT_EQ(mid.outstanding - before.outstanding, 2u);
  EXPECT_EQ(mid.outstanding_bytes - before.outstanding_bytes, 128u);
  ExFreePoolWithTag(a, kTag);
  ExFreePoolWithTag(b, kTag);
  EXPECT_EQ(verifier::pool_usage(kTag).outstanding, before.outstanding);
  EXPECT_EQ(verifier::tag_name(verifier::tag("ac2m")), "ac2m");
  EXPECT_TRUE(failures_.empty());
}

TEST_F(VerifierTest, WrongTagAndDoubleFreeAreReported) {
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
  ExFreePoolWithTag(a, verifier::tag("othr"));
  ASSERT_EQ(failures_.size(), 1u);
  ExFreePoolWithTag(a, kTag);
  ExFreePoolWithTag(a, kTag);
  EXPECT_EQ(failures_.size(), 2u);
}

TEST_F(VerifierTest, BlockingAtDispatchLevelIsReported) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero);
  EXPECT_TRUE(failures_.empty()) << "a zero time-out does not block";
  LARGE_INTEGER t;
  t.QuadPart = -10;
  KeDelayExecutionThread(KernelMode, FALSE, &t);
  KeLowerIrql(old);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("IRQL 2"), std::string::npos);
}

TEST_F(VerifierTest, WaitLockUnderSpinLockIsReported) {
  WDFSPINLOCK s;
  WDFWAITLOCK w;
  ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &s), STATUS_SUCCESS);
  ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &w), STATUS_SUCCESS);
  WdfSpinLockAcquire(s);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  WdfWaitLockAcquire(w, nullptr);
  WdfSpinLockRelease(s);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(failures_.size(), 1u);
  WdfWaitLockRelease(w);
  WdfObjectDelete(s);
  WdfObjectDelete(w);
}

// Calls documented for PASSIVE_LEVEL, for APC_LEVEL at most, or for below
// DISPATCH_LEVEL are reported above it, a call that would not wait too.
TEST_F(VerifierTest, CallsAboveTheirIrqlAreReported) {
  WDFWAITLOCK w;
  ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &w), STATUS_SUCCESS);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LONGLONG no_wait = 0;
  LONGLONG short_wait = -10;
  RTL_OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  KIRQL old;

  KeRaiseIrql(APC_LEVEL, &old);
  KeDelayExecutionThread(KernelMode, FALSE, &zero);            // APC_LEVEL will do
  ASSERT_EQ(WdfWaitLockAcquire(w, &no_wait), STATUS_SUCCESS);  // so it does for a try
  WdfWaitLockRelease(w);
  EXPECT_TRUE(failures_.empty());
  WdfWaitLockAcquire(w, &short_wait);  // one that may wait: PASSIVE_LEVEL only
  WdfWaitLockRelease(w);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("WdfWaitLockAcquire"), std::string::npos);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  RtlGetVersion(&version);
  KeLowerIrql(old);
  ASSERT_EQ(failures_.size(), 3u);
  EXPECT_NE(failures_[1].find("KeSetPriorityThread"), std::string::npos);
  EXPECT_NE(failures_[2].find("RtlGetVersion"), std::string::npos);

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeDelayExecutionThread(KernelMode, FALSE, &zero);
  WdfWaitLockAcquire(w, &no_wait);
  KeLowerIrql(old);
  WdfWaitLockRelease(w);
  ASSERT_EQ(failures_.size(), 5u);
  EXPECT_NE(failures_[3].find("KeDelayExecutionThread"), std::string::npos);
  EXPECT_NE(failures_[4].find("WdfWaitLockAcquire"), std::string::npos);

  KeSetPriorityThread(KeGetCurrentThread(), LOW_PRIORITY);  // the system's own
  ASSERT_EQ(failures_.size(), 6u);
  EXPECT_NE(failures_[5].find("priority"), std::string::npos);
  WdfObjectDelete(w);
}

// A spin lock is released at the DISPATCH_LEVEL it raised to: a release
// after something lowered the IRQL under it is reported.
TEST_F(VerifierTest, SpinLockReleasedBelowDispatchLevelIsReported) {
  WDFSPINLOCK s;
  ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &s), STATUS_SUCCESS);
  WdfSpinLockAcquire(s);
  WdfSpinLockRelease(s);
  EXPECT_TRUE(failures_.empty());
  WdfSpinLockAcquire(s);
  KeLowerIrql(PASSIVE_LEVEL);
  WdfSpinLockRelease(s);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("WdfSpinLockRelease at IRQL 0"), std::string::npos);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  WdfObjectDelete(s);
}

// An MDL built for non-paged pool describes memory wholly inside one
// non-paged allocation: one that runs past the end of its block, or lies
// in paged pool, is reported.
TEST_F(VerifierTest, MdlOutsideNonPagedPoolIsReported) {
  PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
  ASSERT_NE(block, nullptr);
  PMDL inside = IoAllocateMdl(block + 16, 48, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(inside);
  EXPECT_TRUE(failures_.empty());
  PMDL past = IoAllocateMdl(block + 16, 49, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(past);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("MmBuildMdlForNonPagedPool"), std::string::npos);
  PUCHAR paged = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 32, kTag));
  ASSERT_NE(paged, nullptr);
  PMDL in_paged = IoAllocateMdl(paged, 32, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(in_paged);
  EXPECT_EQ(failures_.size(), 2u);
  IoFreeMdl(inside);
  IoFreeMdl(past);
  IoFreeMdl(in_paged);
  ExFreePoolWithTag(block, kTag);
  ExFreePoolWithTag(paged, kTag);
}

// The framework deletes the driver object itself (WdfDriverMiniportUnload).
TEST_F(VerifierTest, DeletingTheDriverObjectIsReported) {
  ASSERT_EQ(WdfGetDriver(), nullptr);
  DRIVER_OBJECT wdm = {};
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, nullptr);
  config.DriverInitFlags |= WdfDriverInitNoDispatchOverride;
  WDFDRIVER driver = nullptr;
  ASSERT_EQ(WdfDriverCreate(&wdm, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver), STATUS_SUCCESS);
  WdfObjectDelete(driver);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(WdfGetDriver(), driver);
  WdfDriverMiniportUnload(driver);
  EXPECT_EQ(WdfGetDriver(), nullptr);
  EXPECT_EQ(failures_.size(), 1u);
}

// The handle of a deleted object stays invalid while new objects are made:
// the framework does not hand its memory to the next object at once.
TEST_F(VerifierTest, HandleOfADeletedObjectStaysInvalid) {
  for (int i = 0; i < 64; ++i) {
    WDFMEMORY old_memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 16, &old_memory, nullptr),
              STATUS_SUCCESS);
    WdfObjectDelete(old_memory);
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 16, &memory, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryGetBuffer(old_memory, nullptr), nullptr);
    ASSERT_EQ(failures_.size(), size_t(i + 1));
    WdfObjectDelete(memory);
  }
}

// A raw spin lock taken twice by its holder, or released by a thread that
// does not hold it, is reported (the first would spin for ever); paged pool
// freed above APC_LEVEL is reported.
TEST_F(VerifierTest, SpinLockMisuseAndPagedFreeAtDispatchAreReported) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KIRQL again;
  KeAcquireSpinLock(&lock, &old);
  KeAcquireSpinLock(&lock, &again);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("already holds"), std::string::npos);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);
  ASSERT_EQ(failures_.size(), 2u);
  EXPECT_NE(failures_[1].find("does not hold"), std::string::npos);

  PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
  PVOID nonpaged = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePoolWithTag(nonpaged, kTag);
  ExFreePoolWithTag(paged, kTag);
  KeLowerIrql(old);
  ASSERT_EQ(failures_.size(), 3u);
  EXPECT_NE(failures_[2].find("paged pool freed"), std::string::npos);
}

// A kernel mutex is released on the same side of DISPATCH_LEVEL as it was
// acquired (a try at DISPATCH_LEVEL, a release at PASSIVE_LEVEL is not).
TEST_F(VerifierTest, MutexReleasedAtAnotherIrqlThanAcquiredIsReported) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeReleaseMutex(&m, FALSE);
  EXPECT_TRUE(failures_.empty());
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeLowerIrql(old);
  KeReleaseMutex(&m, FALSE);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("other side of DISPATCH_LEVEL"), std::string::npos);
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(failures_.size(), 1u);
}

// Events and mutexes are initialised before use: a zeroed one (say, in a
// context the driver forgot to set up) is reported, not taken for a
// non-signalled notification event.
TEST_F(VerifierTest, DispatcherObjectsUsedBeforeInitialisationAreReported) {
  KEVENT e = {};
  KMUTEX m = {};
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero);
  KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero);
  ASSERT_EQ(failures_.size(), 3u);
  for (const std::string& f : failures_) EXPECT_NE(f.find("not initialised"), std::string::npos) << f;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  KeInitializeMutex(&m, 0);
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(failures_.size(), 3u);
}

TEST_F(VerifierTest, IrpCompletedTwiceIsReported) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_TRUE(failures_.empty());
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0], "IRP completed twice");
  IoFreeIrp(irp);
}

TEST_F(VerifierTest, MutexReleasedByAnotherThreadIsReported) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(failures_.size(), 1u);
}

struct CACHED_CONTEXT {
  ULONG value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CACHED_CONTEXT, GetCachedContext)
struct LATE_CONTEXT {
  ULONG value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(LATE_CONTEXT, GetLateContext)

TEST_F(VerifierTest, HandlesAThreadCheckedBeforeAreStillCheckedAfterEveryChange) {
  // A thread remembers the handles it found live (streaming checks them
  // without a lock); a deletion, a wrong kind or a context added later must
  // still be seen.
  WDF_OBJECT_ATTRIBUTES a;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, CACHED_CONTEXT);
  WDFOBJECT object;
  ASSERT_EQ(WdfObjectCreate(&a, &object), STATUS_SUCCESS);
  CACHED_CONTEXT* context = GetCachedContext(object);
  ASSERT_NE(context, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GetCachedContext(object), context);
  EXPECT_EQ(GetLateContext(object), nullptr);
  WDF_OBJECT_ATTRIBUTES late;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&late, LATE_CONTEXT);
  PVOID added = nullptr;
  ASSERT_EQ(WdfObjectAllocateContext(object, &late, &added), STATUS_SUCCESS);
  EXPECT_EQ(GetLateContext(object), added);
  EXPECT_EQ(GetCachedContext(object), context);
  WDFMEMORY memory;
  PVOID buffer;
  ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 16, &memory, &buffer),
            STATUS_SUCCESS);
  size_t size = 0;
  EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
  EXPECT_TRUE(failures_.empty());
  WdfSpinLockAcquire(reinterpret_cast<WDFSPINLOCK>(memory));  // a memory object is no spin lock
  ASSERT_EQ(failures_.size(), 1u);
  WdfObjectDelete(memory);
  WdfObjectDelete(object);
  EXPECT_EQ(GetCachedContext(object), nullptr);
  EXPECT_EQ(failures_.size(), 2u) << "a deleted handle went unnoticed";
  EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), nullptr);
  EXPECT_EQ(failures_.size(), 3u);
}

}  // namespace

// Microsoft's KMDF headers call every method through the function table with
// the driver globals: a method the stand-in lacks is refused, not ignored,
// and a call with globals other than the driver's is reported.
TEST_F(VerifierTest, KmdfMethodsOutsideTheStandInOrWithOtherGlobalsAreReported) {
  reinterpret_cast<void (*)()>(WdfFunctions[WdfDeviceInitFreeTableIndex])();
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("does not implement"), std::string::npos) << failures_[0];
  WDF_DRIVER_GLOBALS other = *WdfDriverGlobals;
  WDFCOLLECTION collection = nullptr;
  reinterpret_cast<PFN_WDFCOLLECTIONCREATE>(WdfFunctions[WdfCollectionCreateTableIndex])(
      &other, WDF_NO_OBJECT_ATTRIBUTES, &collection);
  ASSERT_GE(failures_.size(), 2u);
  EXPECT_NE(failures_[1].find("not the driver's"), std::string::npos) << failures_[1];
  if (collection != nullptr) WdfObjectDelete(collection);
}
