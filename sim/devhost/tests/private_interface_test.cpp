// quenby's private interface through its own dispatch routines: handle
// routing, the control-request tunnel's checks, the control codes' buffer
// and status rules, and direct-mode streaming with loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "direct_client.h"
#include "driver_stack.h"
#include "kernel/clock.h"
#include "kernel/host.h"
#include "kernel/ks_host.h"
#include "kernel/verifier.h"
#include "quenby.h"
#include "quenby_ioctl.h"
#include "uac2.h"

using korvel::sim::Clock;
using korvel::sim::Model;
using korvel::sim::Unit;
using korvel::sim::devhost::DriverFile;
using korvel::sim::devhost::DriverStack;
namespace dh = korvel::devhost;

namespace {

constexpr int32_t kSuccess = 0;
constexpr int32_t kUnsuccessful = int32_t(0xC0000001);
constexpr int32_t kInvalidParameter = int32_t(0xC000000D);
constexpr int32_t kInvalidDeviceRequest = int32_t(0xC0000010);
constexpr int32_t kNameNotFound = int32_t(0xC0000034);
constexpr int32_t kInsufficientResources = int32_t(0xC000009A);

std::vector<uint8_t> record(uint32_t direction, uint32_t length, uint8_t bRequest,
                            const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> r(payload.size() + 16 < 20 ? 20 : payload.size() + 16, 0);
  r[0] = uint8_t(direction);
  r[4] = uint8_t(length);
  r[8] = 23;
  r[15] = bRequest;
  for (size_t i = 0; i < payload.size(); ++i) r[16 + i] = payload[i];
  return r;
}

class PrivateInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    Clock::instance().set_mode(korvel::sim::ClockMode::Virtual);
    unit_ = std::make_unique<Unit>(Model::Tarrow, [] { return Clock::instance().now_ns() / 1000; });
    stack_ = std::make_unique<DriverStack>(*unit_, true);
    std::string why;
    ASSERT_TRUE(stack_->plug(&why)) << why;
    ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", &file_));
  }
  void TearDown() override {
    file_.reset();
    stack_.reset();
  }
  int32_t call(uint32_t code, const std::vector<uint8_t>& in, uint32_t out_len,
               std::vector<uint8_t>* out = nullptr, uint64_t* info = nullptr) {
    std::vector<uint8_t> buf(out_len);
    uint64_t got = 0;
    int32_t s = file_->ioctl(code, in.empty() ? nullptr : in.data(), uint32_t(in.size()),
                             out_len ? buf.data() : nullptr, out_len, &got);
    if (out) *out = buf;
    if (info) *info = got;
    return s;
  }

  std::unique_ptr<Unit> unit_;
  std::unique_ptr<DriverStack> stack_;
  std::unique_ptr<DriverFile> file_;
};

TEST(PrivateCodes, KeepTheValuesTheirCallersKnow) {
  // Programs outside this tree send these numbers; the header must not move them.
  const struct {
    uint32_t code, value;
  } codes[] = {
      {IOCTL_QUENBY_TUNNEL, 0x222000},         {IOCTL_QUENBY_ENTER_DIRECT, 0x222028},
      {IOCTL_QUENBY_LEAVE_DIRECT, 0x22202C},   {IOCTL_QUENBY_RESET_CAPTURE, 0x222030},
      {IOCTL_QUENBY_RESET_RENDER, 0x222034},   {IOCTL_QUENBY_RESET_BOTH, 0x222038},
      {IOCTL_QUENBY_READ_CAPTURE, 0x22603E},   {IOCTL_QUENBY_WRITE_RENDER, 0x22A041},
      {IOCTL_QUENBY_NOTHING, 0x22A044},        {IOCTL_QUENBY_COUNTERS, 0x222048},
      {IOCTL_QUENBY_CLEAR_COUNTERS, 0x22204C}, {IOCTL_QUENBY_IN_FLIGHT, 0x222050},
      {IOCTL_QUENBY_SET_IN_FLIGHT, 0x22A054},  {IOCTL_QUENBY_RENDER_DELAY, 0x222058},
      {IOCTL_QUENBY_SET_FORMATS, 0x22205C},    {IOCTL_QUENBY_START_DIRECT, 0x222060},
      {IOCTL_QUENBY_STOP_DIRECT, 0x222064},    {IOCTL_QUENBY_MAX_CHANNELS, 0x222068},
  };
  for (const auto& c : codes) EXPECT_EQ(c.value, c.code) << std::hex << c.value;
}

TEST_F(PrivateInterface, HandlesAreRoutedByTheirName) {
  // The filter's own reference string is a kernel-streaming handle: the
  // tunnel code on it goes to the class driver, which refuses it.
  std::unique_ptr<DriverFile> filter;
  ASSERT_EQ(kSuccess, stack_->open(u"\\kstarrow", &filter));
  uint64_t info = 0;
  auto rec = record(1, 0, 0x1E, {});
  uint8_t reply[64];
  EXPECT_EQ(kInvalidDeviceRequest, filter->ioctl(IOCTL_QUENBY_TUNNEL, rec.data(), 20, reply, 64, &info));
  std::unique_ptr<DriverFile> other;
  EXPECT_EQ(kNameNotFound, stack_->open(u"\\something", &other));
  EXPECT_EQ(nullptr, other);
  // A longer name that ends in "\tarrow" is private too.
  std::unique_ptr<DriverFile> longer;
  EXPECT_EQ(kSuccess, stack_->open(u"\\x\\tarrow", &longer));
}

TEST_F(PrivateInterface, TunnelChecksRecordsAndCarriesTransfers) {
  std::vector<uint8_t> out;
  uint64_t info = 0;
  // A full 64-byte host-to-device message, then its reply.
  std::vector<uint8_t> message(64, 0);
  message[0] = 0x31;  // identity request
  message[1] = 1;
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_TUNNEL, record(0, 64, 0x1D, message), 0, nullptr, &info));
  EXPECT_EQ(0u, info);
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_TUNNEL, record(1, 0, 0x1E, {}), 64, &out, &info));
  EXPECT_EQ(64u, info);
  EXPECT_EQ(0x32, out[0]);  // the version item leads the answer

  std::vector<uint8_t> big(65, 0);
  EXPECT_EQ(kInvalidParameter, call(IOCTL_QUENBY_TUNNEL, record(0, 65, 0x1D, big), 0));
  EXPECT_EQ(kInvalidParameter, call(IOCTL_QUENBY_TUNNEL, record(1, 0, 0x1E, {}), 65));
  EXPECT_EQ(kInvalidParameter, call(IOCTL_QUENBY_TUNNEL, record(1, 0, 0x1E, {}), 0));  // no output buffer
  auto header_only = record(1, 0, 0x1E, {});
  header_only.resize(16);
  EXPECT_EQ(kInvalidParameter, call(IOCTL_QUENBY_TUNNEL, header_only, 64));
  // A data length that runs past the buffer handed over.
  EXPECT_EQ(kInvalidParameter, call(IOCTL_QUENBY_TUNNEL, record(0, 40, 0x1D, {0x71, 1, 0, 0}), 0));
  // An unknown vendor request stalls: the USB status comes back.
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_TUNNEL, record(1, 0, 0x55, {}), 8));
}

TEST_F(PrivateInterface, WhoMayOpenTheUnitAndWhatTheirHandlesMayDo) {
  // The I/O manager's open with the INF's descriptor and
  // FILE_DEVICE_SECURE_OPEN, then the driver's own check of each code:
  // changing the unit (the tunnel) needs a handle opened for writing,
  // reading the counters one opened for reading.
  namespace sec = korvel::sim::security;
  auto caller = [](uint32_t pid, sec::Token t) {
    return sec::Caller{pid, std::make_shared<const sec::Token>(t)};
  };
  const sec::Caller console = sec::console_caller(2001);
  const sec::Caller low = caller(2002, sec::lowered(sec::console_user(), {sec::kIntegrityLow, {}, {}}));
  const sec::Caller restricted = caller(
      2003,
      sec::lowered(sec::console_user(), {sec::kIntegritySystem, {}, {sec::kRestrictedCode, sec::kEveryone}}));
  const sec::Caller other = caller(2004, sec::interactive_user(1002, 2, 0x52001));
  const sec::Caller network = caller(2005, sec::network_user(1003, 0x52002));
  const sec::Caller audio = caller(2006, sec::service(sec::kLocalService));
  const sec::Caller system = caller(2007, sec::service(sec::kLocalSystem));
  const sec::Caller admin = caller(2008, sec::elevated_admin());
  // What CreateFileW asks besides the caller's access.
  const uint32_t none = sec::kSynchronize | sec::kFileReadAttributes;
  const uint32_t r = none | sec::kGenericRead, w = none | sec::kGenericWrite, rw = r | w;
  constexpr int32_t kDenied = int32_t(0xC0000022), kSkip = 1;
  const struct {
    const char* who;
    const sec::Caller* caller;
    const char16_t* name;
    uint32_t access;
    int32_t open, tunnel, counters;
  } cases[] = {
      {"console user", &console, u"\\tarrow", rw, kSuccess, kSuccess, kSuccess},
      {"console user, no access", &console, u"\\tarrow", none, kSuccess, kDenied, kDenied},
      {"console user, reading", &console, u"\\tarrow", r, kSuccess, kDenied, kSuccess},
      {"console user, writing", &console, u"\\tarrow", w, kSuccess, kSuccess, kDenied},
      {"low integrity", &low, u"\\tarrow", rw, kDenied, kSkip, kSkip},
      {"low integrity, reading", &low, u"\\tarrow", r, kSuccess, kDenied, kSuccess},
      {"restricted", &restricted, u"\\tarrow", none, kDenied, kSkip, kSkip},
      {"user of session 2", &other, u"\\tarrow", rw, kSuccess, kSuccess, kSuccess},
      {"network user", &network, u"\\tarrow", none, kDenied, kSkip, kSkip},
      {"network user, filter", &network, u"\\kstarrow", r, kDenied, kSkip, kSkip},
      {"administrator", &admin, u"\\tarrow", rw, kSuccess, kSuccess, kSuccess},
      {"Windows Audio", &audio, u"\\kstarrow", rw, kSuccess, kSkip, kSkip},
      {"Audio Endpoint Builder", &system, u"\\kstarrow", rw, kSuccess, kSkip, kSkip},
  };
  const std::vector<uint8_t> reply_request = record(1, 0, 0x1E, {});
  for (const auto& c : cases) {
    std::unique_ptr<DriverFile> f;
    ASSERT_EQ(c.open, stack_->open(c.name, c.access, *c.caller, &f)) << c.who;
    if (c.open != kSuccess) continue;
    uint8_t out[64];
    uint64_t info = 0;
    if (c.tunnel != kSkip) {
      EXPECT_EQ(c.tunnel, f->ioctl(IOCTL_QUENBY_TUNNEL, reply_request.data(), 20, out, 64, &info)) << c.who;
    }
    if (c.counters != kSkip) {
      EXPECT_EQ(c.counters, f->ioctl(IOCTL_QUENBY_COUNTERS, nullptr, 0, out, 28, &info)) << c.who;
    }
  }
}

TEST_F(PrivateInterface, NoHolderKeepsTheExchangeLockFromAnotherProgramLongerThanItsTime) {
  // Steps on one lock, in order: who asks (a file of a program of a user in
  // a session), what it asks, and what it then holds and is told of the holder.
  namespace sec = korvel::sim::security;
  auto caller = [](uint32_t pid, sec::Token t) {
    return sec::Caller{pid, std::make_shared<const sec::Token>(t)};
  };
  const sec::Caller mine = sec::console_caller(3001), also_mine = sec::console_caller(3002);
  const sec::Caller other = caller(3003, sec::interactive_user(1002, 2, 0x52001));
  std::unique_ptr<DriverFile> f[4];
  ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", 0xC0100080, other, &f[0]));  // the squatter
  ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", 0xC0100080, mine, &f[1]));
  ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", 0xC0100080, also_mine, &f[2]));
  ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", 0x80100080, mine, &f[3]));  // reading only
  constexpr uint32_t kTake = IOCTL_QUENBY_EXCHANGE_TAKE, kEnd = IOCTL_QUENBY_EXCHANGE_END;
  constexpr uint32_t kHeld = QUENBY_EXCHANGE_HELD, kOver = QUENBY_EXCHANGE_HELD | QUENBY_EXCHANGE_TAKEN_OVER;
  const struct {
    const char* what;
    int file;
    uint32_t code;
    uint64_t after_ms;  // time passed before the step
    int32_t status;
    uint32_t flags, holder_pid, holder_session;
  } steps[] = {
      {"free: the squatter takes it", 0, kTake, 0, kSuccess, kHeld, 3003, 2},
      {"held: refused, the holder named", 1, kTake, 10, kSuccess, 0, 3003, 2},
      {"not the holder: ending releases nothing", 1, kEnd, 0, kSuccess, 0, 3003, 2},
      {"a reading handle may not take it", 3, kTake, 0, int32_t(0xC0000022), 0, 0, 0},
      {"held its time while asked for: taken from it", 1, kTake, QUENBY_EXCHANGE_HOLD_MS, kSuccess, kOver,
       3001, 1},
      {"the squatter's end says it lost the lock", 0, kEnd, 0, kSuccess, 0, 3001, 1},
      {"the squatter asks again, first", 0, kTake, 10, kSuccess, 0, 3001, 1},
      {"ended: released", 1, kEnd, 0, kSuccess, kHeld, 0, 0},
      {"a session that asked first goes first", 2, kTake, 0, kSuccess, 0, 0, 0},
      {"the squatter, asking first, takes it", 0, kTake, 0, kSuccess, kHeld, 3003, 2},
      {"the user's other program asks", 2, kTake, 10, kSuccess, 0, 3003, 2},
  };
  for (const auto& step : steps) {
    if (step.after_ms) Clock::instance().sleep_for(step.after_ms * 1000000);
    uint8_t out[QUENBY_EXCHANGE_RECORD_SIZE] = {};
    uint64_t info = 0;
    ASSERT_EQ(step.status, f[step.file]->ioctl(step.code, nullptr, 0, out, sizeof out, &info)) << step.what;
    if (step.status != kSuccess) continue;
    uint32_t got[4];
    std::memcpy(got, out, sizeof got);
    EXPECT_EQ(step.flags, got[0]) << step.what;
    EXPECT_EQ(step.holder_pid, got[1]) << step.what;
    EXPECT_EQ(step.holder_session, got[2]) << step.what;
  }
  // A holder whose last handle is closed inside its exchange leaves the lock
  // to the next, who is told to read away what it left queued.
  f[0].reset();
  uint8_t out[QUENBY_EXCHANGE_RECORD_SIZE] = {};
  uint64_t info = 0;
  ASSERT_EQ(kSuccess, f[2]->ioctl(kTake, nullptr, 0, out, sizeof out, &info));
  EXPECT_EQ(kOver, uint32_t(out[0]));
}

TEST_F(PrivateInterface, EveryRequestOnAPrivateFileStaysWithTheDriver) {
  // A private file object has no KS object header: any major function KS
  // would serve through one must be served by the driver, for every private
  // handle; a filter handle's go on to KS.
  static uint64_t failures;
  failures = 0;
  auto previous = korvel::sim::verifier::set_failure_handler([](const std::string&) { ++failures; });
  std::unique_ptr<DriverFile> filter;
  ASSERT_EQ(kSuccess, stack_->open(u"\\kstarrow", &filter));
  for (UCHAR major : korvel::sim::kernel::kKsObjectMajors) {
    if (major == IRP_MJ_CLOSE) continue;  // with the handle's end below
    EXPECT_EQ(kInvalidDeviceRequest, file_->request(major)) << int(major);
    EXPECT_EQ(major == IRP_MJ_FLUSH_BUFFERS ? kSuccess : kInvalidDeviceRequest, filter->request(major))
        << int(major);
  }
  file_.reset();  // IRP_MJ_CLEANUP and IRP_MJ_CLOSE
  filter.reset();
  EXPECT_EQ(0u, failures);
  korvel::sim::verifier::set_failure_handler(previous);
}

TEST_F(PrivateInterface, CodesKeepTheirBufferAndStatusRules) {
  uint64_t info = 0;
  std::vector<uint8_t> out;
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_SET_IN_FLIGHT, {1, 0, 0, 0}, 0));
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_SET_IN_FLIGHT, {16, 0, 0, 0}, 0));
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_SET_IN_FLIGHT, {2, 0, 0}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_SET_IN_FLIGHT, {2, 0, 0, 0}, 0, nullptr, &info));
  EXPECT_EQ(4u, info);
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_SET_IN_FLIGHT, {15, 0, 0, 0}, 0));

  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_COUNTERS, {}, 0));
  EXPECT_EQ(kInsufficientResources, call(IOCTL_QUENBY_COUNTERS, {}, 27));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_COUNTERS, {}, 28, &out, &info));
  EXPECT_EQ(28u, info);
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_IN_FLIGHT, {}, 3));
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_RENDER_DELAY, {}, 3));
  EXPECT_EQ(kInsufficientResources, call(IOCTL_QUENBY_MAX_CHANNELS, {}, 3));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_MAX_CHANNELS, {}, 4, &out));
  uint32_t max;
  std::memcpy(&max, out.data(), 4);
  EXPECT_EQ(24u, max & 0xFFFF);  // capture
  EXPECT_EQ(24u, max >> 16);     // render

  // Direct-mode codes need direct mode; unknown codes are refused.
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_START_DIRECT, {}, 0));
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_READ_CAPTURE, {}, 0));
  for (uint32_t unknown :
       {uint32_t(CTL_CODE(FILE_DEVICE_UNKNOWN, 0xFFF, METHOD_BUFFERED, FILE_ANY_ACCESS)),
        uint32_t(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)),
        uint32_t(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80F, METHOD_BUFFERED, FILE_ANY_ACCESS))}) {
    info = 7;
    EXPECT_EQ(kInvalidDeviceRequest, call(unknown, {}, 4, nullptr, &info)) << std::hex << unknown;
    EXPECT_EQ(0u, info);
  }
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  EXPECT_EQ(kInvalidParameter,
            call(IOCTL_QUENBY_SET_FORMATS, std::vector<uint8_t>(15, 0), 0));  // short format record
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_LEAVE_DIRECT, {}, 0));
}

TEST_F(PrivateInterface, DirectModeBelongsToTheFileThatEnteredIt) {
  // Another handle (another program, whatever its rights) cannot read the
  // owner's capture, write into its render ring, empty its rings, change its
  // formats, stop or end its session; reading the counters stays open. The
  // owner's leave restores the formats from before direct mode; then the
  // mode is free for the next client.
  constexpr int32_t kBusy = int32_t(0x80000011);  // STATUS_DEVICE_BUSY
  const WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(korvel::sim::kernel::ks::devices().back());
  const WAVEFORMATEX& render = ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format;
  const uint32_t render_rate = render.nSamplesPerSec;
  std::unique_ptr<DriverFile> other;
  ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", &other));
  uint64_t info = 0;
  // Outside direct mode there is nothing to leave or empty.
  for (uint32_t code : {IOCTL_QUENBY_LEAVE_DIRECT, IOCTL_QUENBY_RESET_CAPTURE, IOCTL_QUENBY_RESET_RENDER,
                        IOCTL_QUENBY_RESET_BOTH, IOCTL_QUENBY_STOP_DIRECT})
    EXPECT_EQ(kUnsuccessful, call(code, {}, 0)) << std::hex << code;
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  std::vector<uint8_t> fmt = {2, 0, 2, 0, 24, 0, 24, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0};
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_SET_FORMATS, fmt, 0));
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_START_DIRECT, {}, 0));
  ASSERT_EQ(48000u, render.nSamplesPerSec);
  const std::vector<uint8_t> frames(576, 0);
  const struct {
    uint32_t code;
    std::vector<uint8_t> in;
    uint32_t out;
    int32_t status;
  } others[] = {
      {IOCTL_QUENBY_ENTER_DIRECT, {}, 0, kBusy},   {IOCTL_QUENBY_LEAVE_DIRECT, {}, 0, kBusy},
      {IOCTL_QUENBY_RESET_CAPTURE, {}, 0, kBusy},  {IOCTL_QUENBY_RESET_RENDER, {}, 0, kBusy},
      {IOCTL_QUENBY_RESET_BOTH, {}, 0, kBusy},     {IOCTL_QUENBY_SET_FORMATS, fmt, 0, kBusy},
      {IOCTL_QUENBY_START_DIRECT, {}, 0, kBusy},   {IOCTL_QUENBY_STOP_DIRECT, {}, 0, kBusy},
      {IOCTL_QUENBY_READ_CAPTURE, {}, 576, kBusy}, {IOCTL_QUENBY_WRITE_RENDER, frames, 0, kBusy},
      {IOCTL_QUENBY_CLEAR_COUNTERS, {}, 0, kBusy}, {IOCTL_QUENBY_SET_IN_FLIGHT, {4, 0, 0, 0}, 0, kBusy},
      {IOCTL_QUENBY_COUNTERS, {}, 28, kSuccess},   {IOCTL_QUENBY_RENDER_DELAY, {}, 4, kSuccess},
      {IOCTL_QUENBY_IN_FLIGHT, {}, 4, kSuccess},   {IOCTL_QUENBY_MAX_CHANNELS, {}, 4, kSuccess},
  };
  for (const auto& c : others) {
    std::vector<uint8_t> out(c.out);
    info = 7;
    EXPECT_EQ(c.status, other->ioctl(c.code, c.in.empty() ? nullptr : c.in.data(), uint32_t(c.in.size()),
                                     c.out ? out.data() : nullptr, c.out, &info))
        << std::hex << c.code;
    if (c.status != kSuccess) {
      EXPECT_EQ(0u, info) << std::hex << c.code;
    }
  }
  EXPECT_EQ(48000u, render.nSamplesPerSec);
  // The owner's ring transfers are whole frames of the running format (six
  // bytes of two 24-bit channels): a part of one would shift every sample.
  EXPECT_EQ(kInvalidParameter,
            call(IOCTL_QUENBY_WRITE_RENDER, std::vector<uint8_t>(2, 0), 0, nullptr, &info));
  EXPECT_EQ(kInvalidParameter, call(IOCTL_QUENBY_READ_CAPTURE, {}, 577, nullptr, &info));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_WRITE_RENDER, frames, 0, nullptr, &info));
  EXPECT_EQ(576u, info);
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));  // the owner again
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_LEAVE_DIRECT, {}, 0));
  EXPECT_EQ(render_rate, render.nSamplesPerSec);
  EXPECT_EQ(kSuccess, other->ioctl(IOCTL_QUENBY_ENTER_DIRECT, nullptr, 0, nullptr, 0, &info));
  EXPECT_EQ(kBusy, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  // The owner's last handle closing ends direct mode as its leave does.
  other.reset();
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_LEAVE_DIRECT, {}, 0));
}

TEST_F(PrivateInterface, BufferedByteCountsNeverExceedTheOutputBuffer) {
  // The I/O manager copies as many bytes as the driver counts into the
  // caller's output buffer; the stand-in's verifier stops on a count beyond
  // it. Every buffered code with inputs and outputs of the sizes around its
  // own (none, one byte, one short, exact, larger).
  static uint64_t failures;
  failures = 0;
  auto previous = korvel::sim::verifier::set_failure_handler([](const std::string&) { ++failures; });
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  for (uint32_t code :
       {IOCTL_QUENBY_COUNTERS, IOCTL_QUENBY_CLEAR_COUNTERS, IOCTL_QUENBY_IN_FLIGHT, IOCTL_QUENBY_RENDER_DELAY,
        IOCTL_QUENBY_MAX_CHANNELS, IOCTL_QUENBY_NOTHING, IOCTL_QUENBY_SET_IN_FLIGHT,
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0xFFF, METHOD_BUFFERED, FILE_ANY_ACCESS)}) {
    for (uint32_t in_len : {0u, 1u, 3u, 4u, 5u, 64u}) {
      for (uint32_t out_len : {0u, 1u, 3u, 4u, 27u, 28u, 29u, 4096u}) {
        std::vector<uint8_t> in(in_len, 0);
        if (in_len != 0) in[0] = 4;
        uint64_t info = 0;
        const int32_t status = call(code, in, out_len, nullptr, &info);
        if (status >= 0 && out_len != 0) {
          EXPECT_LE(info, out_len) << std::hex << code << std::dec << " in " << in_len << " out " << out_len;
        }
      }
    }
  }
  EXPECT_EQ(0u, failures);
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_LEAVE_DIRECT, {}, 0));
  korvel::sim::verifier::set_failure_handler(previous);
}

TEST_F(PrivateInterface, EveryCodeFailsOnceTheUnitIsGone) {
  // Surprise removal while a direct client streams: the handle stays open
  // until its owner closes it, and its requests fail as on a vanished
  // device instead of writing into a ring nothing drains.
  constexpr int32_t kNoSuchDevice = int32_t(0xC000000E);
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  std::vector<uint8_t> fmt = {2, 0, 2, 0, 24, 0, 24, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0};
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_SET_FORMATS, fmt, 0));
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_START_DIRECT, {}, 0));
  uint64_t info = 0;
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_WRITE_RENDER, std::vector<uint8_t>(576, 0), 0, nullptr, &info));
  ASSERT_EQ(576u, info);
  stack_->surprise_remove();
  EXPECT_EQ(kNoSuchDevice, call(IOCTL_QUENBY_WRITE_RENDER, std::vector<uint8_t>(576, 0), 0, nullptr, &info));
  EXPECT_EQ(0u, info);
  EXPECT_EQ(kNoSuchDevice, call(IOCTL_QUENBY_READ_CAPTURE, {}, 576, nullptr, &info));
  EXPECT_EQ(0u, info);
  for (uint32_t code : {IOCTL_QUENBY_ENTER_DIRECT, IOCTL_QUENBY_RESET_CAPTURE, IOCTL_QUENBY_RESET_RENDER,
                        IOCTL_QUENBY_RESET_BOTH, IOCTL_QUENBY_CLEAR_COUNTERS, IOCTL_QUENBY_START_DIRECT,
                        IOCTL_QUENBY_STOP_DIRECT, IOCTL_QUENBY_LEAVE_DIRECT, IOCTL_QUENBY_NOTHING}) {
    EXPECT_EQ(kNoSuchDevice, call(code, {}, 0)) << std::hex << code;
  }
  EXPECT_EQ(kNoSuchDevice, call(IOCTL_QUENBY_SET_FORMATS, fmt, 0));
  EXPECT_EQ(kNoSuchDevice, call(IOCTL_QUENBY_COUNTERS, {}, 28));
  EXPECT_EQ(kNoSuchDevice, call(IOCTL_QUENBY_SET_IN_FLIGHT, {4, 0, 0, 0}, 0));
  // The tunnel reports what the USB stack says of the vanished unit.
  EXPECT_GT(0, call(IOCTL_QUENBY_TUNNEL, record(1, 0, 0x1E, {}), 64));
  file_.reset();
  stack_->remove();
}

TEST_F(PrivateInterface, EmptyCaptureRingAnswersAfterOneWait) {
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_STOP_DIRECT, {}, 0));
  // Capture in use but nothing flows yet: start only render's user side.
  std::vector<uint8_t> fmt = {2, 0, 2, 0, 24, 0, 24, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0};
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_SET_FORMATS, fmt, 0));
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_START_DIRECT, {}, 0));
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_RESET_BOTH, {}, 0));  // empty both rings
  uint64_t before = Clock::instance().now_ns();
  uint64_t info = 1;
  // More than the ring can ever hold at once: the read waits once and gives up.
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_READ_CAPTURE, {}, 6 * 699050, nullptr, &info));
  EXPECT_EQ(0u, info);
  uint64_t waited = Clock::instance().now_ns() - before;
  EXPECT_GE(waited, 125000000u);
  EXPECT_LT(waited, 200000000u);
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_STOP_DIRECT, {}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_LEAVE_DIRECT, {}, 0));
}

TEST_F(PrivateInterface, DirectClientStreamsBitExactWithoutAllocating) {
  struct Channel : dh::ControlChannel {
    DriverFile* f;
    uint32_t ioctl(uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
                   uint32_t* information) override {
      uint64_t info = 0;
      int32_t s = f->ioctl(code, in, in_len, out, out_len, &info);
      *information = uint32_t(info);
      return uint32_t(s);
    }
  } channel;
  channel.f = file_.get();
  dh::ClientClock cc = korvel::sim::devhost::simulated_client_clock();
  cc.allocations = [] {
    namespace v = korvel::sim::verifier;
    return v::pool_usage(v::tag("ac2m")).total + v::pool_usage(v::tag("ac2d")).total;
  };
  stack_->set_loopback(true);
  dh::DirectClientOptions o;
  o.seconds = 2;
  o.format = dh::DirectFormat{2, 24, 48000};
  o.loopback = true;
  dh::DirectClientResult r = dh::run_direct_client(channel, o, cc);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(1, r.loopback_bit_exact);
  EXPECT_GT(r.captured_frames, 90000u);
  EXPECT_EQ(0u, r.counters[0]);  // no render underruns once primed
  EXPECT_EQ(0u, r.allocations_while_streaming);
}

// The direct-mode codes and formats the two tests below use.
constexpr uint32_t kEnterDirect = IOCTL_QUENBY_ENTER_DIRECT, kLeaveDirect = IOCTL_QUENBY_LEAVE_DIRECT,
                   kSetFormats = IOCTL_QUENBY_SET_FORMATS, kStartDirect = IOCTL_QUENBY_START_DIRECT,
                   kStopDirect = IOCTL_QUENBY_STOP_DIRECT, kReadCapture = IOCTL_QUENBY_READ_CAPTURE,
                   kWriteRender = IOCTL_QUENBY_WRITE_RENDER;
const std::vector<uint8_t> kStereo48k = {2, 0, 2, 0, 24, 0, 24, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0};

TEST_F(PrivateInterface, FailedFormatChangeLeavesTheFormatsAndStreamsAsTheyWere) {
  // The unit's clocks run at 44.1 and 48 kHz only: a change to 96 kHz fails
  // and says so. The device and running formats and the streams are as
  // before it, and the client streams on in the formats it had.
  const WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(korvel::sim::kernel::ks::devices().back());
  ASSERT_EQ(kSuccess, call(kEnterDirect, {}, 0));
  ASSERT_EQ(kSuccess, call(kSetFormats, kStereo48k, 0));
  ASSERT_EQ(kSuccess, call(kStartDirect, {}, 0));
  const std::vector<uint8_t> stereo96k = {2, 0, 2, 0, 24, 0, 24, 0, 0x00, 0x77, 0x01, 0, 0x00, 0x77, 0x01, 0};
  EXPECT_NE(kSuccess, call(kSetFormats, stereo96k, 0));
  for (int d : {QUENBY_DIR_CAPTURE, QUENBY_DIR_RENDER}) {
    EXPECT_EQ(48000u, ctx->Dir[d].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
    EXPECT_EQ(48000u, ctx->Dir[d].StreamFormat.WaveFormatExt.Format.nSamplesPerSec);
  }
  EXPECT_NE(0u, ctx->Streams[QuenbyCapture].Active);
  EXPECT_NE(0u, ctx->Streams[QuenbyRender].Active);
  EXPECT_EQ(48000u, unit_->audio().render_rate());
  Clock::instance().sleep_for(20000000);
  uint64_t info = 0;
  EXPECT_EQ(kSuccess, call(kReadCapture, {}, 288, nullptr, &info));
  EXPECT_EQ(288u, info);  // 1 ms of the 48 kHz capture
  EXPECT_EQ(kSuccess, call(kStopDirect, {}, 0));
  EXPECT_EQ(kSuccess, call(kLeaveDirect, {}, 0));
}

TEST_F(PrivateInterface, FailedDirectStartLeavesNothingInUse) {
  // The unit stalls every SET_INTERFACE: the start fails and says so, and
  // marks no stream in use (the client's render data would otherwise go
  // into a ring nothing plays, and the KS pins be kept off the streams).
  // Once the unit answers again, a start succeeds and capture flows.
  const WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(korvel::sim::kernel::ks::devices().back());
  ASSERT_EQ(kSuccess, call(kEnterDirect, {}, 0));
  ASSERT_EQ(kSuccess, call(kSetFormats, kStereo48k, 0));
  stack_->bus()->stall_next_set_interface(1000);
  EXPECT_NE(kSuccess, call(kStartDirect, {}, 0));
  stack_->bus()->stall_next_set_interface(0);
  EXPECT_EQ(0u, ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse);
  EXPECT_EQ(0u, ctx->Dir[QUENBY_DIR_RENDER].StreamInUse);
  EXPECT_EQ(0u, ctx->DirectStreamFlags);
  EXPECT_EQ(kUnsuccessful, call(kWriteRender, std::vector<uint8_t>(288, 0), 0));
  ASSERT_EQ(kSuccess, call(kStartDirect, {}, 0));
  Clock::instance().sleep_for(20000000);
  uint64_t info = 0;
  EXPECT_EQ(kSuccess, call(kReadCapture, {}, 288, nullptr, &info));
  EXPECT_EQ(288u, info);
  EXPECT_EQ(kSuccess, call(kStopDirect, {}, 0));
  EXPECT_EQ(kSuccess, call(kLeaveDirect, {}, 0));
}

}  // namespace

namespace {

// A unit that renders only (no capture interface).
class RenderOnlyUnit : public PrivateInterface {
 protected:
  void SetUp() override {
    Clock::instance().set_mode(korvel::sim::ClockMode::Virtual);
    unit_ = std::make_unique<Unit>(Model::Dorrit, [] { return Clock::instance().now_ns() / 1000; });
    korvel::sim::uac2::FunctionLayout layout =
        korvel::sim::uac2::model_layout(Model::Dorrit, korvel::sim::usb::Speed::High);
    layout.capture.clear();
    stack_ = std::make_unique<DriverStack>(
        *unit_, true, korvel::sim::uac2::build_configuration(layout, korvel::sim::usb::Speed::High),
        korvel::sim::ClockRates(layout.rates));
    std::string why;
    ASSERT_TRUE(stack_->plug(&why)) << why;
    ASSERT_EQ(stack_->report().capture.present, false);
    ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", &file_));
  }
};

}  // namespace

namespace {

// A unit that captures only (a microphone).
class CaptureOnlyUnit : public PrivateInterface {
 protected:
  void SetUp() override {
    Clock::instance().set_mode(korvel::sim::ClockMode::Virtual);
    unit_ = std::make_unique<Unit>(Model::Dorrit, [] { return Clock::instance().now_ns() / 1000; });
    korvel::sim::uac2::ConfigBuilder b;
    b.configuration(2).association(0, 2).interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(9);
    b.input_terminal(4, 0x0201, 9, 2).output_terminal(5, 0x0101, 4, 9).ac_end();
    b.interface(1, 0, 0, 1, 2, 0x20);
    b.interface(1, 1, 1, 1, 2, 0x20).as_general(5, 2).format_type_i(3, 24);
    b.endpoint(0x81, 0x05, 42, 1).cs_endpoint();
    stack_ = std::make_unique<DriverStack>(*unit_, true, b.finish(), korvel::sim::ClockRates({48000}));
    std::string why;
    ASSERT_TRUE(stack_->plug(&why)) << why;
    ASSERT_EQ(stack_->report().render.present, false);
    ASSERT_EQ(kSuccess, stack_->open(u"\\tarrow", &file_));
  }
};

}  // namespace

TEST_F(CaptureOnlyUnit, RenderCodesFailAndCaptureStreams) {
  // As a render-only unit's capture codes: render's fail, nothing touches
  // the render ring the unit does not have; capture streams directly.
  const uint64_t failures = korvel::sim::verifier::failure_count();
  uint64_t info = 0;
  ASSERT_EQ(kSuccess, call(0x222028, {}, 0));
  std::vector<uint8_t> fmt = {2, 0, 2, 0, 24, 0, 24, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0};
  EXPECT_EQ(kSuccess, call(0x22205C, fmt, 0));
  EXPECT_EQ(kSuccess, call(0x222060, {}, 0));
  EXPECT_EQ(kUnsuccessful, call(0x22A041, std::vector<uint8_t>(600, 1), 0, nullptr, &info));
  EXPECT_EQ(kUnsuccessful, call(0x222034, {}, 0));  // empty the render ring
  EXPECT_EQ(kSuccess, call(0x222038, {}, 0));       // both: the one there is
  Clock::instance().sleep_for(20000000);
  EXPECT_EQ(kSuccess, call(0x22603E, {}, 288, nullptr, &info));
  EXPECT_EQ(288u, info);
  EXPECT_EQ(kSuccess, call(0x22202C, {}, 0));
  EXPECT_EQ(korvel::sim::verifier::failure_count(), failures);
}

// The capture read maps the caller's buffer itself: no-execute from Windows 8
// on (every read above runs on Windows 10), and on Windows 7, which does not
// know that flag, without it.
TEST(PrivateInterfaceOnWindows7, TheCaptureReadMapsTheCallersBuffer) {
  Clock::instance().set_mode(korvel::sim::ClockMode::Virtual);
  korvel::sim::kernel::set_os_version(6, 1, 7601);
  struct Restore {
    ~Restore() { korvel::sim::kernel::set_os_version(10, 0, 19045); }
  } restore;
  Unit unit(Model::Tarrow, [] { return Clock::instance().now_ns() / 1000; });
  DriverStack stack(unit, true);
  std::unique_ptr<DriverFile> file;
  ASSERT_TRUE(stack.plug());
  ASSERT_EQ(kSuccess, stack.open(u"\\tarrow", &file));
  std::vector<uint8_t> buf(600);
  uint64_t got = 0;
  // Outside direct mode the read fails, after its buffer was mapped.
  EXPECT_EQ(kUnsuccessful, file->ioctl(0x22603E, nullptr, 0, buf.data(), 600, &got));
}

TEST_F(RenderOnlyUnit, EveryDirectModeCodeKeepsToTheDirectionsTheUnitHas) {
  // Codes that need capture fail; no ring operation runs on the capture
  // ring the unit does not have (the verifier stops on a lock that does not
  // exist); render and the rest work as on any unit.
  const uint64_t failures = korvel::sim::verifier::failure_count();
  uint64_t info = 0;
  std::vector<uint8_t> out;
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_ENTER_DIRECT, {}, 0));
  std::vector<uint8_t> fmt = {2, 0, 2, 0, 24, 0, 24, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0};
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_SET_FORMATS, fmt, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_START_DIRECT, {}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_WRITE_RENDER, std::vector<uint8_t>(600, 1), 0, nullptr, &info));
  EXPECT_EQ(600u, info);
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_READ_CAPTURE, {}, 600, nullptr, &info));
  EXPECT_EQ(0u, info);
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_RESET_CAPTURE, {}, 0));  // empty the capture ring
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_RESET_RENDER, {}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_RESET_BOTH, {}, 0));  // both: the one there is
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_COUNTERS, {}, 28));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_CLEAR_COUNTERS, {}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_IN_FLIGHT, {}, 4));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_RENDER_DELAY, {}, 4));
  ASSERT_EQ(kSuccess, call(IOCTL_QUENBY_MAX_CHANNELS, {}, 4, &out));
  uint32_t max;
  std::memcpy(&max, out.data(), 4);
  EXPECT_EQ(0u, max & 0xFFFF);  // no capture
  EXPECT_EQ(8u, max >> 16);
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_NOTHING, {}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_SET_IN_FLIGHT, {4, 0, 0, 0}, 0));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_STOP_DIRECT, {}, 0));
  EXPECT_EQ(kUnsuccessful, call(IOCTL_QUENBY_READ_CAPTURE, {}, 600, nullptr, &info));
  EXPECT_EQ(kSuccess, call(IOCTL_QUENBY_LEAVE_DIRECT, {}, 0));
  EXPECT_EQ(korvel::sim::verifier::failure_count(), failures);
}
