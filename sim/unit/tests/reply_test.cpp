// Reply packing, the ready marker, busy and stalled transfers, the queue's
// bound and robustness against malformed messages.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "test_host.h"

namespace korvel::sim::test {
namespace {

TEST(UnitReplies, EmptyQueueCarriesOnlyTheReadyMarkerAndZeroFill) {
  Host h(Model::Tarrow);
  const std::vector<uint8_t> r = h.raw();
  ASSERT_EQ(r.size(), 64u);
  EXPECT_EQ(r[0], 0xA1);
  EXPECT_EQ(r[1], 2);
  EXPECT_EQ(r[2], 1);
  for (size_t i = 3; i < r.size(); ++i) EXPECT_EQ(r[i], 0) << i;
}

TEST(UnitReplies, MeterAnswerPacksWholeRecordsThenMarker) {
  Host h(Model::Tarrow);
  ASSERT_EQ(h.send(Msg().none(0x71)), TransferResult::Ok);
  int records = 0;
  for (int reply = 0; reply < 17; ++reply) {
    const std::vector<uint8_t> r = h.raw();
    bool clean = false;
    const auto items = decode(r, &clean);
    ASSERT_TRUE(clean);
    ASSERT_FALSE(items.empty());
    // Whole records: 0x61, 0x62, 0x72 triples, then the marker.
    ASSERT_EQ(items.back().cmd, 0xA1);
    EXPECT_EQ(items.back().num, 1u);
    ASSERT_EQ((items.size() - 1) % 3, 0u);
    for (size_t i = 0; i + 1 < items.size(); i += 3) {
      EXPECT_EQ(items[i].cmd, 0x61);
      EXPECT_EQ(items[i + 1].cmd, 0x62);
      EXPECT_EQ(items[i + 2].cmd, 0x72);
      EXPECT_EQ(items[i + 2].type, 3);
    }
    const int here = static_cast<int>(items.size() - 1) / 3;
    EXPECT_EQ(here, reply < 16 ? 6 : 1) << "reply " << reply;
    if (reply < 16) {
      EXPECT_EQ(r[63], 0);  // 60 bytes of records + 3 of marker
    }
    records += here;
  }
  EXPECT_EQ(records, 97);
  EXPECT_EQ(h.recv().size(), 1u);
}

TEST(UnitReplies, ShortReadTakesOnlyWholeItemsAndKeepsTheRest) {
  Host h(Model::Quenby);
  ASSERT_EQ(h.send(Msg().none(0x18).none(0x38)), TransferResult::Ok);
  // 0x18 u32 is 6 bytes: it fits 8 bytes, the marker behind it does not.
  std::vector<uint8_t> r = h.raw(8);
  EXPECT_EQ(r[0], 0x18);
  EXPECT_EQ(r[1], 4);
  for (size_t i = 6; i < 8; ++i) EXPECT_EQ(r[i], 0);
  // Nothing fits two bytes: zero fill, nothing lost.
  r = h.raw(2);
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(r[1], 0);
  // Marker alone fits three bytes, the serial item does not.
  r = h.raw(3);
  EXPECT_EQ(r[0], 0xA1);
  const auto items = h.recv();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].cmd, 0x39);
  EXPECT_EQ(items[0].text(), "QB2403-000457");
  // A zero-length read succeeds and takes nothing.
  TransferResult res{};
  h.raw(0, &res);
  EXPECT_EQ(res, TransferResult::Ok);
}

TEST(UnitReplies, ChannelAnswersAreNeverSplitFromTheirChannelItems) {
  Host h(Model::Tarrow);
  // The rate (6 bytes) and six fader answers (9 bytes each) leave 4 bytes:
  // room for the 0x61 item of the seventh answer, but it must travel with
  // its 0x62 and 0xC1 items in the next reply.
  Msg m;
  m.none(0x18);
  for (uint8_t n = 1; n <= 7; ++n) m.ch(4, n).none(0xC1);
  ASSERT_EQ(h.send(m), TransferResult::Ok);
  auto first = h.recv();
  ASSERT_EQ(first.size(), 1u + 6 * 3 + 1);
  EXPECT_EQ(first.front().cmd, 0x18);
  EXPECT_EQ(first.back().cmd, 0xA1);
  auto second = h.recv();
  ASSERT_EQ(second.size(), 3u + 1);
  EXPECT_EQ(second[0].cmd, 0x61);
  EXPECT_EQ(second[1].num, 7u);
  EXPECT_EQ(second[2].cmd, 0xC1);
}

TEST(UnitReplies, AnswersOfSeveralMessagesComeBackInRequestOrder) {
  Host h(Model::Pellin);
  ASSERT_EQ(h.send(Msg().none(0x38)), TransferResult::Ok);
  ASSERT_EQ(h.send(Msg().none(0x71)), TransferResult::Ok);
  ASSERT_EQ(h.send(Msg().none(0x18)), TransferResult::Ok);
  const auto items = h.drain();
  ASSERT_EQ(items.size(), 1u + 62 * 3 + 1);
  EXPECT_EQ(items.front().cmd, 0x39);
  EXPECT_EQ(items[1].cmd, 0x61);
  EXPECT_EQ(items.back().cmd, 0x18);
}

TEST(UnitReplies, BusyUnitDeliversItemsWithMarkerZeroUntilTheTimeIsOver) {
  Host h(Model::Tarrow);
  h.unit.set_busy_for_ms(50);
  ASSERT_EQ(h.send(Msg().none(0x18)), TransferResult::Ok);
  auto items = h.recv();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].cmd, 0x18);
  EXPECT_EQ(items[1].cmd, 0xA1);
  EXPECT_EQ(items[1].num, 0u);
  h.advance_ms(49);
  EXPECT_EQ(h.recv().back().num, 0u);
  h.advance_ms(1);
  EXPECT_EQ(h.recv().back().num, 1u);
}

TEST(UnitReplies, BusyReplyAlwaysKeepsRoomForItsMarker) {
  Host h(Model::Tarrow);
  // Six meter records fill 60 bytes; 64-byte replies of a busy unit must
  // still end with a busy marker, never with records alone (which a host
  // would read as "ready").
  h.unit.set_busy_for_ms(1000);
  ASSERT_EQ(h.send(Msg().none(0x71)), TransferResult::Ok);
  for (int i = 0; i < 20; ++i) {
    const auto items = h.recv(62);
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.back().cmd, 0xA1);
    EXPECT_EQ(items.back().num, 0u);
  }
}

TEST(UnitReplies, StalledTransfersFailAndHaveNoEffect) {
  Host h(Model::Tarrow);
  ASSERT_EQ(h.send(Msg().none(0x18)), TransferResult::Ok);
  h.unit.stall_next(3);
  EXPECT_EQ(h.send(Msg().none(0x38)), TransferResult::Stall);
  std::vector<uint8_t> b(64, 0);
  EXPECT_EQ(h.unit.control_in(0x1E, 0, 0, b.data(), 64), TransferResult::Stall);
  EXPECT_EQ(h.unit.control_in(0x1E, 0, 0, b.data(), 64), TransferResult::Stall);
  // The queued rate answer was not consumed, the stalled serial request not run.
  const auto items = h.drain();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].cmd, 0x18);
}

TEST(UnitReplies, UnknownRequestsAndOversizedMessagesStall) {
  Host h(Model::Tarrow);
  std::vector<uint8_t> b(65, 0);
  EXPECT_EQ(h.unit.control_out(0x1E, 0, 0, b.data(), 2), TransferResult::Stall);
  EXPECT_EQ(h.unit.control_in(0x1D, 0, 0, b.data(), 64), TransferResult::Stall);
  EXPECT_EQ(h.unit.control_out(0x01, 0, 0, b.data(), 2), TransferResult::Stall);
  b[0] = 0x18;
  b[1] = 1;
  EXPECT_EQ(h.unit.control_out(0x1D, 0, 0, b.data(), 65), TransferResult::Stall);
  EXPECT_EQ(h.unit.control_out(0x1D, 0, 0, nullptr, 4), TransferResult::Stall);
  EXPECT_TRUE(h.drain().empty());
  // A message of exactly 64 bytes without an end item is fine.
  std::vector<uint8_t> full(64, 0);
  for (size_t i = 0; i < 64; i += 2) {
    full[i] = 0x18;
    full[i + 1] = 1;
  }
  EXPECT_EQ(h.unit.control_out(0x1D, 0, 0, full.data(), 64), TransferResult::Ok);
  EXPECT_EQ(h.drain().size(), 32u);
}

TEST(UnitReplies, QueueOfAHostThatNeverReadsStaysBoundedAndWhole) {
  Host h(Model::Tarrow);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(h.send(Msg().none(0x71)), TransferResult::Ok);
  ASSERT_EQ(h.send(Msg().none(0x38)), TransferResult::Ok);
  const auto items = h.drain(5000);
  EXPECT_LE(items.size(), 4096u + 3 * 97);
  ASSERT_EQ(items.back().cmd, 0x39);  // the newest answer survives
  // Only whole meter answers remain: each starts with analog input 1.
  const size_t meter_items = items.size() - 1;
  ASSERT_EQ(meter_items % (3 * 97), 0u);
  ASSERT_GT(meter_items, 0u);
  EXPECT_EQ(items[0].num, 4u);
  EXPECT_EQ(items[1].num, 1u);
}

TEST(UnitReplies, MalformedMessagesAreReadSafelyAndEarlierItemsStillCount) {
  Host h(Model::Dorrit);
  // A bytes item whose length runs past the message ends it; the rate
  // request before it is still answered.
  std::vector<uint8_t> m{0x18, 1, 0x3A, 5, 40, 'a', 'b'};
  ASSERT_EQ(h.unit.control_out(0x1D, 0, 0, m.data(), static_cast<uint16_t>(m.size())), TransferResult::Ok);
  // Unknown payload type ends the message: the serial request after it is not run.
  std::vector<uint8_t> m2{0x14, 1, 0x38, 9, 0x38, 1};
  ASSERT_EQ(h.unit.control_out(0x1D, 0, 0, m2.data(), static_cast<uint16_t>(m2.size())), TransferResult::Ok);
  // Truncated u32 and a lone command byte.
  std::vector<uint8_t> m3{0x17, 4, 1, 2, 0x31};
  ASSERT_EQ(h.unit.control_out(0x1D, 0, 0, m3.data(), static_cast<uint16_t>(m3.size())), TransferResult::Ok);
  const auto items = h.drain();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].cmd, 0x18);
  EXPECT_EQ(items[1].cmd, 0x15);

  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> junk(rng() % 65);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(h.unit.control_out(0x1D, 0, 0, junk.data(), static_cast<uint16_t>(junk.size())),
              TransferResult::Ok);
    if (i % 3 == 0) h.recv();
  }
  h.drain(10000);
}

TEST(UnitReplies, DebugTextAppearsEveryFewSecondsOfUnitTime) {
  Host h(Model::Tarrow);
  EXPECT_EQ(find(h.ask(Msg().none(0x18)), 0x12), nullptr);
  h.advance_ms(6000);
  const auto items = h.ask(Msg().none(0x18));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].cmd, 0x18);  // the answer first, the text after it
  EXPECT_EQ(items[1].cmd, 0x12);
  EXPECT_EQ(items[1].type, 5);
  EXPECT_FALSE(items[1].bytes.empty());
  EXPECT_EQ(find(h.ask(Msg().none(0x18)), 0x12), nullptr);
}

TEST(UnitReplies, QuirksVaryWidthsPadTextsAndShortenReplies) {
  // A unit with quirks must really be harder on a host than a packed one,
  // or the tests that run against it prove little.
  Host h(Model::Tarrow);
  h.unit.set_quirks(3);
  std::set<uint8_t> meter_types;
  bool padded = false;
  for (int round = 0; round < 20; ++round) {
    for (uint8_t cmd : {uint8_t(0x71), uint8_t(0x31)})
      while (h.send(Msg().none(cmd)) == TransferResult::Stall) {  // refused now and then: send again
      }
    for (const auto& it : h.drain()) {
      if (it.cmd == 0x72) meter_types.insert(it.type);
      if (it.cmd == 0x34) {
        EXPECT_EQ(0, it.text().compare(0, 6, "Tarrow"));
        padded = padded || it.bytes.size() > 6;
      }
    }
  }
  EXPECT_EQ((std::set<uint8_t>{2, 3, 4}), meter_types);  // u8 (low levels), u16, u32
  EXPECT_TRUE(padded);
  int short_replies = 0;
  for (int i = 0; i < 400; ++i) {
    uint8_t b[64];
    uint16_t got = 0;
    ASSERT_EQ(TransferResult::Ok, h.unit.control_in(0x1E, 0, 0, b, 64, &got));
    short_replies += got < 64;
  }
  EXPECT_GT(short_replies, 0);
}

}  // namespace
}  // namespace korvel::sim::test
