// Command layer against a scripted unit: retry budgets, sleeps, answer
// matching, meter collection and the unit-driven firmware transfer.
#include "vxctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fake_channel.h"

using fake::Bytes;
using fake::channel;
using fake::item_none;
using fake::item_text;
using fake::item_u16;
using fake::item_u32;
using fake::item_u8;
using fake::reply;

namespace {

class Vxctl : public testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    usbdevs_init(&ctx_);
    h_ = &ctx_;
    testing::internal::CaptureStdout();
  }
  void TearDown() override { out_ = testing::internal::GetCapturedStdout(); }
  std::string stdout_so_far() {
    std::string s = testing::internal::GetCapturedStdout();
    out_ += s;
    testing::internal::CaptureStdout();
    return out_;
  }
  size_t sleeps_of(uint32_t ms) {
    return size_t(std::count(channel().sleeps.begin(), channel().sleeps.end(), ms));
  }

  usbdevs_ctx ctx_;
  usbdevs_handle h_;
  std::string out_;
};

Bytes busy_reply() {
  return reply({item_u8(VXMSG_CMD_READY, 0)});
}

TEST_F(Vxctl, SendRetriesABusyUnitTwiceAndGivesUpOnAVanishedOne) {
  uint8_t mem[64];
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, 64);
  vxmsg_put(&m, 0x71, VXMSG_TYPE_NONE, 0, 0);

  channel().out_results = {2, 2, 2};
  EXPECT_EQ(1u, vxctl_send(&h_, &m));
  EXPECT_EQ(2u, sleeps_of(10));
  EXPECT_TRUE(channel().sent.empty());

  fake::reset();
  channel().out_results = {2, 2, 0};
  EXPECT_EQ(0u, vxctl_send(&h_, &m));
  EXPECT_EQ(1u, channel().sent.size());

  fake::reset();
  channel().out_results = {1};
  EXPECT_EQ(1u, vxctl_send(&h_, &m));
  EXPECT_TRUE(channel().sleeps.empty());
  EXPECT_TRUE(channel().out_results.empty());
}

TEST_F(Vxctl, FullMessageGoesOutWithoutEndItemAndOversizeIsRefused) {
  uint8_t mem[64] = {};
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, 64);
  uint8_t data[61] = {1, 2, 3};
  vxmsg_put(&m, VXMSG_CMD_FWUP_DATA, VXMSG_TYPE_BYTES, uintptr_t(data), 61);
  vxmsg_put(&m, 0, VXMSG_TYPE_END, 0, 0);
  ASSERT_EQ(0u, vxctl_send(&h_, &m));
  ASSERT_EQ(1u, channel().sent.size());
  EXPECT_EQ(64u, channel().sent[0].size());
  EXPECT_EQ(61, channel().sent[0][2]);

  uint8_t big[200] = {};
  vxmsg_buf_t b{big, 200, 65};
  EXPECT_EQ(1u, vxctl_send(&h_, &b));
  EXPECT_EQ(1u, channel().sent.size());
}

TEST_F(Vxctl, WaitReadyPollsThroughBusyAndStopsAtTheFirstReadyMarker) {
  channel().replies = {busy_reply(), busy_reply(),
                       reply({item_u8(VXMSG_CMD_READY, 0), item_u8(VXMSG_CMD_READY, 1)})};
  EXPECT_EQ(0u, vxctl_wait_ready(&h_));
  EXPECT_EQ(3, channel().receives);
  EXPECT_EQ(2u, sleeps_of(10));

  // A reply without any marker does not count as busy.
  fake::reset();
  channel().idle_reply = reply({});
  EXPECT_EQ(0u, vxctl_wait_ready(&h_));
  EXPECT_EQ(1, channel().receives);

  // Answer items are what an earlier exchange left queued, marker or not:
  // read away until the queue is empty.
  fake::reset();
  channel().replies = {reply({item_u16(VXMSG_CMD_VERSION, 1)}),
                       reply({item_u16(VXMSG_CMD_BUILD, 2), item_u8(VXMSG_CMD_READY, 1)})};
  EXPECT_EQ(0u, vxctl_wait_ready(&h_));
  EXPECT_EQ(3, channel().receives);
}

TEST_F(Vxctl, WaitReadyRetriesOnlyBusyTransfers) {
  // A stalled transfer (error 31) is a busy unit; anything else (a vanished
  // or hung unit) ends the wait at once instead of after 1000 polls.
  channel().in_results = {2, 2};
  EXPECT_EQ(0u, vxctl_wait_ready(&h_));
  EXPECT_EQ(3, channel().receives);
  fake::reset();
  channel().in_results = {1};
  uint32_t hz = 0;
  EXPECT_EQ(1u, vxctl_get_hz(&h_, &hz));
  EXPECT_EQ(1, channel().receives);
  EXPECT_TRUE(channel().sleeps.empty());
  EXPECT_TRUE(channel().sent.empty());
}

TEST_F(Vxctl, EveryCommandHoldsOneExchangeAroundItsTransfers) {
  // A unit that answers every query at once.
  channel().on_message = [](const Bytes& msg) {
    switch (msg[0]) {
      case VXMSG_CMD_HZ:
        channel().replies = {reply({item_u32(VXMSG_CMD_HZ, 48000)})};
        break;
      case 0x61:
        channel().replies = {reply(
            {item_u8(0x61, msg[2]), item_u8(0x62, msg[5]), item_u8(msg[6], 3), item_none(VXMSG_CMD_ASSIGN)})};
        break;
      case VXMSG_CMD_GET_METER:
        channel().replies = {reply({item_u8(0x61, 4), item_u8(0x62, 1), item_u16(0x72, 9)})};
        break;
      case VXMSG_CMD_CALL_27:
        channel().replies = {reply({item_u32(VXMSG_CMD_ANSWER_28, 1)})};
        break;
    }
  };
  uint32_t n32 = 0;
  uint8_t n8 = 0;
  vxctl_meter_t rec[1];
  char text[64];
  uint32_t len = 0;
  const uint8_t image[3] = {1, 2, 3};
  EXPECT_EQ(0u, vxctl_get_hz(&h_, &n32));
  EXPECT_EQ(0u, vxctl_get_fader(&h_, 4, 1, &n8));
  EXPECT_EQ(0u, vxctl_set_mute(&h_, 4, 1, 1));
  EXPECT_EQ(0u, vxctl_get_meter(&h_, rec, 1, &n8));
  EXPECT_EQ(0u, vxctl_call_27(&h_, 2, &n32));
  EXPECT_EQ(0u, vxctl_dump_assign(&h_, text, sizeof text, &len));
  EXPECT_EQ(0u, vxctl_read_debug(&h_, text, 8, &n8));
  EXPECT_EQ(1u, vxctl_fw_update(&h_, image, 3, nullptr));  // no status answers: fails, still locked
  EXPECT_GT(channel().receives, 10);
  EXPECT_EQ(0, channel().unlocked_transfers);
  EXPECT_EQ(0, channel().nested_exchanges);
  EXPECT_EQ(0, channel().exchange_depth);
}

TEST_F(Vxctl, UnitThatStaysBusyFailsQueriesAfterTheReadinessBudget) {
  channel().idle_reply = busy_reply();
  uint32_t hz = 0;
  EXPECT_NE(0u, vxctl_get_hz(&h_, &hz));
  EXPECT_EQ(1000, channel().receives);
  EXPECT_TRUE(channel().sent.empty());
}

TEST_F(Vxctl, QueryAnsweredOnlyWithBusyMarkersFailsAfterItsBudget) {
  channel().on_message = [](const Bytes&) { channel().idle_reply = busy_reply(); };
  uint32_t hz = 0;
  EXPECT_NE(0u, vxctl_get_hz(&h_, &hz));
  // One readiness poll, the budget, then one more to find the queue empty.
  EXPECT_EQ(1 + 100 + 1, channel().receives);
  EXPECT_EQ(100u, sleeps_of(10));
}

TEST_F(Vxctl, DebugTextDuringAQueryIsPrintedAndTheWaitGoesOn) {
  channel().on_message = [](const Bytes& msg) {
    ASSERT_EQ(VXMSG_CMD_GET_SERIAL, msg[0]);
    channel().replies = {reply({item_text(VXMSG_CMD_DEBUG, "boot ok"), item_u8(VXMSG_CMD_READY, 1)}),
                         reply({item_u16(VXMSG_CMD_SERIAL, 5)}),  // wrong payload: unproductive
                         reply({item_text(VXMSG_CMD_SERIAL, "TR-123456789")})};
  };
  char serial[8];
  uint8_t len = 0;
  ASSERT_EQ(0u, vxctl_get_serial(&h_, serial, sizeof serial, &len));
  EXPECT_EQ(8, len);  // clipped to the caller's capacity
  EXPECT_EQ("TR-12345", std::string(serial, len));
  EXPECT_NE(std::string::npos, stdout_so_far().find("\ndbg:boot ok\n"));
}

TEST_F(Vxctl, IdentityAnswersTakeTheirItemFromTheSharedReply) {
  channel().on_message = [](const Bytes&) {
    channel().replies = {reply({item_u16(VXMSG_CMD_VERSION, 105), item_u16(VXMSG_CMD_BUILD, 42),
                                item_text(VXMSG_CMD_PRODUCTNAME, "Far Link"), item_u8(VXMSG_CMD_READY, 1)})};
  };
  uint16_t version = 0, build = 0;
  ASSERT_EQ(0u, vxctl_get_version(&h_, &version));
  ASSERT_EQ(0u, vxctl_get_build(&h_, &build));
  char name[32];
  uint8_t len = 0;
  ASSERT_EQ(0u, vxctl_get_productname(&h_, name, sizeof name, &len));
  EXPECT_EQ(105, version);
  EXPECT_EQ(42, build);
  EXPECT_EQ("Far Link", std::string(name, len));

  // An empty text is not an answer.
  channel().on_message = [](const Bytes&) {
    channel().replies = {reply({item_text(VXMSG_CMD_PRODUCTNAME, "")}),
                         reply({item_text(VXMSG_CMD_PRODUCTNAME, "Dorrit")})};
  };
  ASSERT_EQ(0u, vxctl_get_productname(&h_, name, sizeof name, &len));
  EXPECT_EQ("Dorrit", std::string(name, len));
}

TEST_F(Vxctl, ChannelQueryMatchesTheChannelAcrossReplies) {
  channel().on_message = [](const Bytes& msg) {
    // 0x61 u8 4, 0x62 u8 2, 0xC3 without payload
    const Bytes want{0x61, 2, 4, 0x62, 2, 2, 0xC3, 1, 0, 0};
    ASSERT_EQ(want, msg);
    channel().replies = {
        reply({item_u8(0x61, 5), item_u8(0x62, 2), item_u8(0xC3, 1)}),  // same number, other type
        reply({item_u8(0x61, 4), item_u8(0x62, 1), item_u8(0xC3, 1), item_u8(0x62, 2)}),
        reply({item_u8(0xC3, 0)}),  // channel 2 carried over from the previous reply
    };
  };
  uint8_t muted = 9;
  ASSERT_EQ(0u, vxctl_get_mute(&h_, 4, 2, &muted));
  EXPECT_EQ(0, muted);
}

TEST_F(Vxctl, BuildingGroupsIsAllOrNothing) {
  uint8_t mem[64];
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, 64);
  int groups = 0;
  while (vxctl_add_assign(&m, 3, 1, 1, 2) == 0) ++groups;
  EXPECT_EQ(3, groups);  // 18 bytes each
  EXPECT_EQ(54, m.pos);
  EXPECT_EQ(0u, vxctl_add_ch_item(&m, 5, 1, 0x81, 7));  // 9 bytes fit in the last 10
  EXPECT_EQ(63, m.pos);
  EXPECT_EQ(1u, vxctl_add_ch_item(&m, 5, 1, 0x81, 7));
  EXPECT_EQ(63, m.pos);
  EXPECT_EQ(1u, vxctl_add_ch_item(nullptr, 5, 1, 0x81, 7));
}

Bytes meter_item(uint8_t type, uint8_t no, uint16_t v) {
  Bytes b = item_u8(0x61, type);
  for (const auto& part : {item_u8(0x62, no), item_u16(0x72, v)}) b.insert(b.end(), part.begin(), part.end());
  return b;
}

TEST_F(Vxctl, MeterCommandCollectsRecordsAcrossRepliesAndStopsAtCapacity) {
  channel().on_message = [](const Bytes& msg) {
    EXPECT_EQ((Bytes{0x71, 1, 0, 0}), msg);
    channel().replies = {
        reply({item_u8(VXMSG_CMD_READY, 1)}),  // nothing yet: unproductive
        reply({meter_item(4, 1, 100), meter_item(4, 2, 200), item_text(0x12, "dbg")}),
        reply({meter_item(4, 3, 300), meter_item(2, 1, 32767), meter_item(2, 2, 5)}),
    };
  };
  vxctl_meter_t recs[4];
  std::memset(recs, 0xEE, sizeof recs);
  uint8_t count = 0;
  ASSERT_EQ(0u, vxctl_get_meter(&h_, recs, 4, &count));
  EXPECT_EQ(4, count);
  EXPECT_EQ(4u, recs[2].type);
  EXPECT_EQ(3, recs[2].number);
  EXPECT_EQ(300, recs[2].value);
  EXPECT_EQ(2u, recs[3].type);
  EXPECT_EQ(32767, recs[3].value);
  EXPECT_EQ(0, recs[3].reserved);
  EXPECT_EQ(3, channel().receives);
  EXPECT_EQ(1u, sleeps_of(10));

  // No readiness wait precedes it, and capacity 0 reads nothing.
  fake::reset();
  ASSERT_EQ(0u, vxctl_get_meter(&h_, recs, 0, &count));
  EXPECT_EQ(0, count);
  EXPECT_EQ(0, channel().receives);

  // A unit that never answers fails the step after 100 replies (and one
  // more that finds nothing left of the answer).
  fake::reset();
  EXPECT_EQ(1u, vxctl_get_meter(&h_, recs, 4, &count));
  EXPECT_EQ(100 + 1, channel().receives);
}

TEST_F(Vxctl, MeterFetchReadsOnlyItsOwnAnswerWhateverTheExchangeBeforeLeft) {
  auto answer = [](const Bytes&) {
    channel().replies.push_back(reply({meter_item(4, 1, 100)}));
    channel().replies.push_back(reply({meter_item(4, 2, 200), item_u8(VXMSG_CMD_READY, 1)}));
  };
  vxctl_meter_t recs[2];
  uint8_t count = 0;
  // The lock's last holder ended inside its exchange, the tail of its meter
  // answer still queued.
  channel().abandoned_exchange = true;
  channel().replies = {reply({meter_item(2, 1, 5), meter_item(2, 2, 6)}),
                       reply({meter_item(2, 3, 7), item_u8(VXMSG_CMD_READY, 1)})};
  channel().on_message = answer;
  ASSERT_EQ(0u, vxctl_get_meter(&h_, recs, 2, &count));
  EXPECT_EQ(2, count);
  EXPECT_EQ(4u, recs[0].type);
  EXPECT_EQ(1, recs[0].number);
  EXPECT_EQ(200, recs[1].value);

  // A stalled read took nothing from the queue: it is read again.
  fake::reset();
  channel().on_message = answer;
  channel().in_results = {2};
  ASSERT_EQ(0u, vxctl_get_meter(&h_, recs, 2, &count));
  EXPECT_EQ(2, count);
  EXPECT_EQ(1, recs[0].number);

  // A fetch that gives up mid-answer reads the rest away before it lets the
  // lock go, so the next one starts on its own.
  fake::reset();
  channel().on_message = answer;
  channel().in_results = {0, 2, 2, 2};
  EXPECT_EQ(1u, vxctl_get_meter(&h_, recs, 2, &count));
  EXPECT_TRUE(channel().replies.empty());
  ASSERT_EQ(0u, vxctl_get_meter(&h_, recs, 2, &count));
  EXPECT_EQ(1, recs[0].number);
  EXPECT_EQ(2, recs[1].number);

  // Not after a read that failed otherwise: a unit that went away or hangs
  // would only fail (or time out) once more.
  fake::reset();
  channel().on_message = answer;
  channel().in_results = {0, 1};
  EXPECT_EQ(1u, vxctl_get_meter(&h_, recs, 2, &count));
  EXPECT_EQ(2, channel().receives);
}

TEST_F(Vxctl, EachMeterRecordHasItsOwnReplyBudget) {
  // 99 empty replies before each record: within the budget of every step,
  // though far beyond one budget for the whole answer.
  channel().on_message = [](const Bytes&) {
    channel().replies.clear();
    for (int record = 1; record <= 3; ++record) {
      for (int i = 0; i < 99; ++i) channel().replies.push_back(reply({item_u8(VXMSG_CMD_READY, 1)}));
      channel().replies.push_back(reply({meter_item(4, uint8_t(record), uint16_t(record * 10))}));
    }
  };
  vxctl_meter_t recs[3];
  uint8_t count = 0;
  ASSERT_EQ(0u, vxctl_get_meter(&h_, recs, 3, &count));
  EXPECT_EQ(3, count);
  EXPECT_EQ(30, recs[2].value);
  EXPECT_EQ(300, channel().receives);
  EXPECT_EQ(297u, sleeps_of(10));  // after the empty replies only
}

TEST(VxctlLayouts, OnlyAModelsExactNameHasAMeterLayout) {
  EXPECT_EQ(VXCTL_METER_RECORDS_FAR_LINK, vxctl_meter_records("Far Link"));
  for (const char* other : {"tarrow", "Tarrow ", "FarLink", "", "No Device"})
    EXPECT_EQ(0, vxctl_meter_records(other)) << other;
  EXPECT_EQ(0, vxctl_meter_records(nullptr));
  // Every layout fits the largest, which callers size their arrays by.
  for (const char* model : {"Tarrow", "Quenby", "Pellin", "Dorrit", "Far Link"}) {
    EXPECT_GT(vxctl_meter_records(model), 0) << model;
    EXPECT_LE(vxctl_meter_records(model), VXCTL_METER_RECORDS_MAX) << model;
  }
}

// A scripted firmware transfer: the unit asks for ranges from a plan.
struct FwUnit {
  std::vector<std::pair<uint32_t, uint32_t>> plan;  // (length, offset) answers to 0x22
  size_t step = 0;
  Bytes received;
  std::vector<std::pair<uint8_t, size_t>> items;  // data command and size
  uint32_t total = 0;

  void attach() {
    channel().on_message = [this](const Bytes& msg) {
      uint8_t cmd = msg[0];
      if (cmd == VXMSG_CMD_FWUP_BEGIN) total = msg[2] | msg[3] << 8 | msg[4] << 16 | uint32_t(msg[5]) << 24;
      if (cmd == VXMSG_CMD_FWUP_DATA || cmd == VXMSG_CMD_FWUP_DATA_LAST) {
        items.emplace_back(cmd, msg[2]);
        received.insert(received.end(), msg.begin() + 3, msg.begin() + 3 + msg[2]);
      }
      if (cmd == VXMSG_CMD_FWUP_STATUS) {
        if (step < plan.size()) {
          // During the transfer, length and offset may come in different replies.
          auto a = plan[step++];
          channel().replies = {reply({item_u16(VXMSG_CMD_FWUP_LENGTH, uint16_t(a.first))}),
                               reply({item_u32(VXMSG_CMD_FWUP_OFFSET, a.second), item_u8(0xA1, 1)})};
        } else {  // done: the completion report
          channel().replies = {reply({item_u8(VXMSG_CMD_FWUP_LENGTH, 0),
                                      item_u32(VXMSG_CMD_FWUP_OFFSET, uint32_t(received.size()))})};
        }
      }
    };
  }
};

TEST_F(Vxctl, FirmwareRangesAreCutIntoFullAndLastChunks) {
  Bytes image(200);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
  FwUnit unit;
  unit.plan = {{130, 0}, {0, 130}, {500, 130}};  // 130 bytes, not ready, then past the end
  unit.attach();
  uint32_t progress = 0;
  ASSERT_EQ(0u, vxctl_fw_update(&h_, image.data(), uint32_t(image.size()), &progress));
  EXPECT_EQ(200u, progress);
  EXPECT_EQ(image, unit.received);
  using P = std::pair<uint8_t, size_t>;
  std::vector<P> want = {P(0x25, 61), P(0x25, 61), P(0x26, 8), P(0x25, 61), P(0x26, 9)};
  EXPECT_EQ(want, unit.items);
  std::string out = stdout_so_far();
  EXPECT_NE(std::string::npos, out.find("pos = 0/200\n"));
  EXPECT_NE(std::string::npos, out.find("pos = 130/200\n"));
  EXPECT_NE(std::string::npos, out.find("FWUP OK"));
}

struct Progress {
  vxctl_fw_phase_t phase;
  uint32_t delivered, total;
  bool operator==(const Progress& o) const {
    return phase == o.phase && delivered == o.delivered && total == o.total;
  }
};

void record_progress(void* context, vxctl_fw_phase_t phase, uint32_t delivered, uint32_t total) {
  static_cast<std::vector<Progress>*>(context)->push_back({phase, delivered, total});
}

TEST_F(Vxctl, FirmwareProgressGoesToTheCallerInsteadOfPositionLines) {
  Bytes image(200, 0x5A);
  FwUnit unit;
  unit.plan = {{130, 0}, {0, 130}, {500, 130}};
  unit.attach();
  // The first confirmation request finds the unit still checking the image.
  auto forward = channel().on_message;
  int confirmations = 0;
  channel().on_message = [&](const Bytes& msg) {
    forward(msg);
    if (msg[0] == VXMSG_CMD_FWUP_STATUS && unit.received.size() == image.size() && confirmations++ == 0)
      channel().replies.clear();
  };
  std::vector<Progress> seen;
  ASSERT_EQ(0u, vxctl_fw_update_progress(&h_, image.data(), 200, record_progress, &seen));
  const std::vector<Progress> want = {{VXCTL_FW_SENDING, 0, 200},      {VXCTL_FW_SENDING, 130, 200},
                                      {VXCTL_FW_SENDING, 200, 200},    {VXCTL_FW_CONFIRMING, 200, 200},
                                      {VXCTL_FW_CONFIRMING, 200, 200}, {VXCTL_FW_DONE, 200, 200}};
  EXPECT_EQ(want, seen);
  EXPECT_EQ(image, unit.received);
  std::string out = stdout_so_far();
  EXPECT_EQ(std::string::npos, out.find("pos = "));
  EXPECT_NE(std::string::npos, out.find("FWUP OK"));
  EXPECT_EQ(1u, sleeps_of(1000));  // between the two confirmation attempts
}

TEST_F(Vxctl, LongTransferWithManyPausesAndExactChunkEnds) {
  // 61 bytes end a range as its last chunk (0x26, never 0x25); then 1100
  // pauses, each followed by one byte: progress resets the idle count, so
  // more pauses than the idle limit in all do not end the transfer.
  Bytes image(61 + 1100);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13 + 1);
  FwUnit unit;
  unit.plan = {{61, 0}};
  for (uint32_t pos = 61; pos < image.size(); ++pos) {
    unit.plan.push_back({0, pos});
    unit.plan.push_back({1, pos});
  }
  unit.attach();
  ASSERT_EQ(0u, vxctl_fw_update(&h_, image.data(), uint32_t(image.size()), nullptr));
  EXPECT_EQ(image, unit.received);
  using P = std::pair<uint8_t, size_t>;
  ASSERT_FALSE(unit.items.empty());
  EXPECT_EQ(P(0x26, 61), unit.items.front());
}

TEST_F(Vxctl, EmptyImageIsRefusedBeforeAnythingIsSent) {
  // The unit's cancel answer (length 0, offset 0) would read as "complete"
  // for a total of 0: the library refuses such an image itself.
  FwUnit unit;
  unit.plan = {{0, 0}};
  unit.attach();
  uint8_t byte = 0;
  EXPECT_EQ(1u, vxctl_fw_update(&h_, &byte, 0, nullptr));
  EXPECT_EQ(1u, vxctl_fw_update(&h_, nullptr, 0, nullptr));
  EXPECT_TRUE(channel().sent.empty());
}

TEST_F(Vxctl, UnitCancelBeforeAnyByteAndIdleTimeout) {
  Bytes image(100, 1);
  FwUnit cancel;
  cancel.plan = {{0, 0}};
  cancel.attach();
  EXPECT_EQ(2u, vxctl_fw_update(&h_, image.data(), 100, nullptr));
  EXPECT_NE(std::string::npos, stdout_so_far().find("cancel by device"));

  // A unit that keeps asking for the wrong offset gives up after 1000 exchanges.
  fake::reset();
  FwUnit wrong;
  wrong.plan.assign(1001, {10, 50});
  wrong.attach();
  EXPECT_EQ(1u, vxctl_fw_update(&h_, image.data(), 100, nullptr));
  std::string out = stdout_so_far();
  EXPECT_NE(std::string::npos, out.find("offset = 50, pos = 0\n"));
  EXPECT_NE(std::string::npos, out.find("timeout line:264\n"));
  EXPECT_TRUE(wrong.items.empty());
}

TEST_F(Vxctl, AssignmentDumpFormatsTheTable) {
  channel().on_message = [](const Bytes&) {
    Bytes group, unnamed;
    for (const auto& part : {item_u8(0x61, 3), item_u8(0x62, 1), item_none(0x41), item_u8(0x61, 1),
                             item_u8(0x62, 2), item_none(0x42), item_none(0x43)})
      group.insert(group.end(), part.begin(), part.end());
    // Channel types 6 to 9 have no names.
    for (const auto& part : {item_u8(0x61, 7), item_u8(0x62, 4), item_none(0x41), item_u8(0x61, 5),
                             item_u8(0x62, 1), item_none(0x42), item_none(0x43)})
      unnamed.insert(unnamed.end(), part.begin(), part.end());
    channel().replies = {reply({group, item_u8(0x15, 1), item_u8(0xA1, 1)}), reply({unnamed})};
  };
  char text[256];
  uint32_t len = 0;
  ASSERT_EQ(0u, vxctl_dump_assign(&h_, text, sizeof text, &len));
  EXPECT_EQ(
      "VXMSG_DATA_CH_COMPUTER_OUT:1 -> VXMSG_DATA_CH_LINE_OUT:2\ncmd = 0x15, type=2, data = 1, size = 1\n"
      "UNKNOWN:4 -> VXMSG_DATA_CH_DIRECTMONITOR_OUT:1\n",
      std::string(text, len));
  // It ends on the reply that finds the queue empty: readiness, two replies
  // of the table, one empty.
  EXPECT_EQ(4, channel().receives);

  // A buffer too small stops the formatting, terminated and reported.
  char tiny[16];
  EXPECT_EQ(1u, vxctl_dump_assign(&h_, tiny, sizeof tiny, &len));
  EXPECT_EQ(0u, len);
  EXPECT_EQ('\0', tiny[0]);
}

TEST_F(Vxctl, AssignmentDumpReadsOnlyItsOwnAnswerAndFailsWithoutIt) {
  // What an interrupted meter fetch left queued comes before the table.
  const Bytes table = reply({item_u8(0x61, 3), item_u8(0x62, 1), item_none(0x41), item_u8(0x61, 1),
                             item_u8(0x62, 2), item_none(0x42), item_none(0x43), item_u8(0xA1, 1)});
  channel().replies = {reply({meter_item(4, 3, 300), meter_item(4, 4, 400), meter_item(2, 1, 5)}),
                       reply({meter_item(2, 2, 6), item_u8(0xA1, 1)})};
  channel().on_message = [&](const Bytes&) { channel().replies.push_back(table); };
  char text[256];
  uint32_t len = 0;
  ASSERT_EQ(0u, vxctl_dump_assign(&h_, text, sizeof text, &len));
  EXPECT_EQ("VXMSG_DATA_CH_COMPUTER_OUT:1 -> VXMSG_DATA_CH_LINE_OUT:2\n", std::string(text, len));

  // A unit that never answers the query: no table, and the dump says so.
  fake::reset();
  EXPECT_EQ(1u, vxctl_dump_assign(&h_, text, sizeof text, &len));
  EXPECT_EQ(0u, len);
}

TEST_F(Vxctl, EmptyTextSettingIsRefusedInsteadOfSendingStrayBytes) {
  EXPECT_EQ(1u, vxctl_set_3a(&h_, ""));
  EXPECT_TRUE(channel().sent.empty());
  ASSERT_EQ(0u, vxctl_set_3a(&h_, "stage"));
  EXPECT_EQ((Bytes{0x3A, 5, 5, 's', 't', 'a', 'g', 'e', 0, 0}), channel().sent.back());
}

}  // namespace
