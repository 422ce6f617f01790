// Framework objects: contexts, parent/child deletion, memory, collections,
// wait locks, and the pool accounting of each.
#include <gtest/gtest.h>
#include <ntddk.h>
#include <wdf.h>

#include "kernel/verifier.h"

namespace verifier = korvel::sim::verifier;

namespace {

struct TEST_CONTEXT {
  ULONG value;
  UCHAR bytes[60];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_CONTEXT, GetTestContext)

int g_cleanups = 0;

TEST(Wdf, ContextsAreZeroedAndTypedAndChildrenGoWithTheirParent) {
  WDF_OBJECT_ATTRIBUTES a;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, TEST_CONTEXT);
  a.EvtCleanupCallback = [](WDFOBJECT) { ++g_cleanups; };
  WDFOBJECT parent;
  ASSERT_EQ(WdfObjectCreate(&a, &parent), STATUS_SUCCESS);
  TEST_CONTEXT* ctx = GetTestContext(parent);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->value, 0u);
  WDF_OBJECT_ATTRIBUTES child;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&child, TEST_CONTEXT);
  child.ParentObject = parent;
  child.EvtCleanupCallback = [](WDFOBJECT) { ++g_cleanups; };
  WDFMEMORY mem;
  PVOID buf;
  constexpr ULONG kTag = verifier::tag("tst2");
  ASSERT_EQ(WdfMemoryCreate(&child, NonPagedPoolNx, kTag, 4096, &mem, &buf), STATUS_SUCCESS);
  size_t size = 0;
  EXPECT_EQ(WdfMemoryGetBuffer(mem, &size), buf);
  EXPECT_EQ(size, 4096u);
  EXPECT_EQ(verifier::pool_usage(kTag).outstanding, 1u);
  g_cleanups = 0;
  WdfObjectDelete(parent);
  EXPECT_EQ(g_cleanups, 2);
  EXPECT_EQ(verifier::pool_usage(kTag).outstanding, 0u);
}

TEST(Wdf, CollectionsKeepOrder) {
  WDFCOLLECTION c;
  ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &c), STATUS_SUCCESS);
  WDFOBJECT a, b;
  ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &a), STATUS_SUCCESS);
  ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &b), STATUS_SUCCESS);
  WdfCollectionAdd(c, a);
  WdfCollectionAdd(c, b);
  EXPECT_EQ(WdfCollectionGetCount(c), 2u);
  EXPECT_EQ(WdfCollectionGetFirstItem(c), a);
  WdfCollectionRemoveItem(c, 0);
  EXPECT_EQ(WdfCollectionGetFirstItem(c), b);
  WdfCollectionRemove(c, b);
  EXPECT_EQ(WdfCollectionGetCount(c), 0u);
  WdfObjectDelete(c);
  WdfObjectDelete(a);
  WdfObjectDelete(b);
}

TEST(Wdf, WaitLockTryAndTimeout) {
  WDFWAITLOCK w;
  ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &w), STATUS_SUCCESS);
  LONGLONG zero = 0;
  EXPECT_EQ(WdfWaitLockAcquire(w, &zero), STATUS_SUCCESS);
  EXPECT_EQ(WdfWaitLockAcquire(w, &zero), STATUS_TIMEOUT);
  LONGLONG fifty_ms = WDF_REL_TIMEOUT_IN_MS(50);
  EXPECT_EQ(WdfWaitLockAcquire(w, &fifty_ms), STATUS_TIMEOUT);
  WdfWaitLockRelease(w);
  EXPECT_EQ(WdfWaitLockAcquire(w, &zero), STATUS_SUCCESS);
  WdfWaitLockRelease(w);
  WdfObjectDelete(w);
}

TEST(Wdf, MemoryOfSizeZeroIsRefused) {
  WDFMEMORY m;
  EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 0, &m, nullptr),
            STATUS_INVALID_PARAMETER);
}

}  // namespace
