// No-execute pool: the single-binary opt-in (POOL_NX_OPTIN with
// ExInitializeDriverRuntime) on Windows 7 and on Windows 8 and later, and the
// verifier's pool-type checks on each.
#define POOL_NX_OPTIN 1
#include <gtest/gtest.h>
#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel/host.h"
#include "kernel/verifier.h"

namespace kernel = korvel::sim::kernel;
namespace verifier = korvel::sim::verifier;

namespace {

constexpr ULONG kTag = verifier::tag("tnx1");

class PoolNx : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = verifier::set_failure_handler([this](const std::string& what) { failures_.push_back(what); });
  }
  void TearDown() override {
    verifier::set_failure_handler(old_);
    kernel::set_os_version(10, 0, 19045);
  }
  // Loads a driver whose entry only records the default pool type it sees
  // before and after its opt-in.
  void LoadDriver(POOL_TYPE* before, POOL_TYPE* after) {
    before_ = before;
    after_ = after;
    std::unique_ptr<kernel::Driver> driver;
    ASSERT_EQ(kernel::Driver::load(
                  [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
                    *before_ = NonPagedPool;
                    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);
                    *after_ = NonPagedPool;
                    return STATUS_SUCCESS;
                  },
                  u"tnx", &driver),
              STATUS_SUCCESS);
  }
  std::vector<std::string> failures_;
  verifier::FailureHandler old_;
  static POOL_TYPE* before_;
  static POOL_TYPE* after_;
};
POOL_TYPE* PoolNx::before_ = nullptr;
POOL_TYPE* PoolNx::after_ = nullptr;

TEST_F(PoolNx, WindowsTenGetsNoExecutePoolOnlyAfterTheOptIn) {
  POOL_TYPE before = NonPagedPoolNx, after = NonPagedPoolExecute;
  LoadDriver(&before, &after);
  EXPECT_EQ(before, NonPagedPoolExecute);
  EXPECT_EQ(after, NonPagedPoolNx);
  EXPECT_EQ(ExDefaultMdlProtection, ULONG(MdlMappingNoExecute));
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
  ASSERT_NE(p, nullptr);
  ExFreePoolWithTag(p, kTag);
  EXPECT_TRUE(failures_.empty());

  // Executable non-paged pool is refused by the verifier from Windows 8 on.
  p = ExAllocatePoolWithTag(NonPagedPoolExecute, 64, kTag);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("executable non-paged pool"), std::string::npos) << failures_[0];
  ExFreePoolWithTag(p, kTag);
  PVOID paged = ExAllocatePoolWithTag(PagedPool, 64, kTag);
  ExFreePoolWithTag(paged, kTag);
  EXPECT_EQ(failures_.size(), 1u) << "paged pool is never executable";
}

TEST_F(PoolNx, WindowsSevenKeepsExecutablePoolAndRefusesTheNxType) {
  kernel::set_os_version(6, 1, 7601);
  POOL_TYPE before = NonPagedPoolNx, after = NonPagedPoolNx;
  LoadDriver(&before, &after);
  EXPECT_EQ(before, NonPagedPoolExecute);
  EXPECT_EQ(after, NonPagedPoolExecute);
  EXPECT_EQ(ExDefaultMdlProtection, 0u);
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
  ASSERT_NE(p, nullptr);
  ExFreePoolWithTag(p, kTag);
  EXPECT_TRUE(failures_.empty());

  // Windows 7 does not know the type: the caller gets nothing.
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag), nullptr);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("before Windows 8"), std::string::npos) << failures_[0];
}

TEST_F(PoolNx, EveryLoadedImageStartsExecutableAndOnlyTheFlagOptsIn) {
  POOL_TYPE before = NonPagedPoolNx, after = NonPagedPoolNx;
  LoadDriver(&before, &after);  // a first image opts in
  LoadDriver(&before, &after);  // the next one starts afresh
  EXPECT_EQ(before, NonPagedPoolExecute);
  ExDefaultNonPagedPoolType = NonPagedPoolExecute;
  ExInitializeDriverRuntime(0);
  EXPECT_EQ(NonPagedPool, NonPagedPoolExecute);
  EXPECT_TRUE(failures_.empty());
}

}  // namespace
