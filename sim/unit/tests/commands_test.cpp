// Identity, settings, channel state and the line-out assignment table as the
// host sees them through command messages.
#include <gtest/gtest.h>

#include <set>

#include "test_host.h"

namespace korvel::sim::test {
namespace {

const Model kModels[] = {Model::Tarrow, Model::Quenby, Model::Pellin, Model::Dorrit, Model::FarLink};

TEST(UnitIdentity, ModelNamesRoundTripExactly) {
  for (Model m : kModels) {
    Model back{};
    ASSERT_TRUE(model_from_name(model_name(m), &back));
    EXPECT_EQ(back, m);
  }
  Model out = Model::Tarrow;
  EXPECT_FALSE(model_from_name("far link", &out));
  EXPECT_FALSE(model_from_name("Tarrow ", &out));
  EXPECT_FALSE(model_from_name("", &out));
  EXPECT_STREQ(model_name(Model::FarLink), "Far Link");
}

TEST(UnitIdentity, InfoAndSerialAnswersPerModel) {
  std::set<std::string> serials;
  for (Model m : kModels) {
    Host h(m);
    const auto items = h.ask(Msg().none(0x31).none(0x38));
    std::vector<uint8_t> cmds;
    for (const auto& it : items) cmds.push_back(it.cmd);
    EXPECT_EQ(cmds, (std::vector<uint8_t>{0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x39}));
    EXPECT_EQ(items[0].type, 3);
    EXPECT_EQ(items[0].num, 105u);
    EXPECT_EQ(items[1].num, 42u);
    EXPECT_EQ(items[2].text(), model_name(m));
    EXPECT_FALSE(items[3].text().empty());
    EXPECT_FALSE(items[4].text().empty());
    EXPECT_FALSE(items[5].text().empty());
    const UnitInfo info = h.unit.info();
    EXPECT_EQ(items[6].text(), info.serial);
    EXPECT_EQ(info.product, model_name(m));
    EXPECT_EQ(info.build_date, items[3].text());
    EXPECT_EQ(info.signature, items[5].text());
    serials.insert(info.serial);
  }
  EXPECT_EQ(serials.size(), 5u);
}

TEST(UnitIdentity, SampleRateAutoPowerSaveAndRecFunction) {
  Host h(Model::FarLink);
  auto items = h.ask(Msg().none(0x18));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].type, 4);
  EXPECT_EQ(items[0].num, 48000u);
  h.unit.set_sample_rate(192000);
  EXPECT_EQ(h.ask(Msg().none(0x18))[0].num, 192000u);
  EXPECT_EQ(h.unit.info().sample_rate, 192000u);

  EXPECT_EQ(h.ask(Msg().u8(0x15, 0)).size(), 0u);
  items = h.ask(Msg().none(0x14));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].cmd, 0x15);
  EXPECT_EQ(items[0].type, 2);
  EXPECT_EQ(items[0].num, 0u);
  h.ask(Msg().u8(0x15, 1));
  EXPECT_EQ(h.ask(Msg().none(0x14))[0].num, 1u);

  for (Model m : kModels) {
    Host u(m);
    items = u.ask(Msg().none(0x3B));
    ASSERT_EQ(items.size(), 1u);
    ASSERT_EQ(items[0].cmd, 0x3B);
    ASSERT_EQ(items[0].bytes.size(), 24u);
    std::set<uint8_t> seen(items[0].bytes.begin(), items[0].bytes.end());
    EXPECT_EQ(seen, (std::set<uint8_t>{0, 1, 2})) << model_name(m);
  }
}

TEST(UnitChannels, QueriesAnswerWithTheirChannelAndStoredValue) {
  Host h(Model::Tarrow);
  // Settings for several channels in one message, each qualified by the
  // latest 0x61/0x62 before it.
  h.ask(
      Msg().ch(5, 1).u8(0x81, 77).ch(9, 0).u8(0x81, 1).ch(9, 1).u8(0x81, 55).ch(4, 2).u8(0x83, 1).ch(3, 1).u8(
          0x86, 4));
  // Queries come without payload or with u8 0.
  const auto items = h.ask(Msg()
                               .ch(5, 1)
                               .none(0xC1)
                               .ch(9, 0)
                               .u8(0xC1, 0)
                               .ch(9, 1)
                               .none(0xC1)
                               .ch(4, 2)
                               .u8(0xC3, 0)
                               .ch(4, 3)
                               .none(0xC3)
                               .ch(3, 1)
                               .none(0xC6)
                               .ch(4, 1)
                               .none(0xC6));
  ASSERT_EQ(items.size(), 21u);
  const struct {
    uint8_t type, no, cmd, value;
  } want[] = {{5, 1, 0xC1, 77}, {9, 0, 0xC1, 1}, {9, 1, 0xC1, 55}, {4, 2, 0xC3, 1},
              {4, 3, 0xC3, 0},  {3, 1, 0xC6, 4}, {4, 1, 0xC6, 1}};
  for (size_t i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(items[3 * i].cmd, 0x61);
    EXPECT_EQ(items[3 * i].num, want[i].type);
    EXPECT_EQ(items[3 * i + 1].cmd, 0x62);
    EXPECT_EQ(items[3 * i + 1].num, want[i].no);
    EXPECT_EQ(items[3 * i + 2].cmd, want[i].cmd);
    EXPECT_EQ(items[3 * i + 2].type, 2);
    EXPECT_EQ(items[3 * i + 2].num, want[i].value);
  }
}

TEST(UnitChannels, InvalidSettingsAreIgnoredAndChannelDoesNotCarryOverMessages) {
  Host h(Model::Quenby);
  h.ask(Msg().ch(4, 1).u8(0x86, 4));
  h.ask(Msg().ch(4, 1).u8(0x86, 2).u8(0x83, 7));  // stereo 2 and mute 7 are not modes
  auto items = h.ask(Msg().ch(4, 1).none(0xC6).none(0xC3));
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[2].num, 4u);
  EXPECT_EQ(items[5].num, 0u);
  // A setting without a channel in its own message does not land on the
  // channel named by an earlier message.
  h.ask(Msg().u8(0x81, 3));
  items = h.ask(Msg().ch(4, 1).none(0xC1));
  EXPECT_EQ(items[2].num, 100u);
  items = h.ask(Msg().none(0xC1));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].num, 0u);
  EXPECT_EQ(items[1].num, 0u);
}

std::vector<std::array<uint32_t, 4>> table(Host& h) {
  const auto items = h.ask(Msg().assign(0, 0, 0, 0));
  std::vector<std::array<uint32_t, 4>> out;
  EXPECT_EQ(items.size() % 7, 0u);
  for (size_t i = 0; i + 7 <= items.size(); i += 7) {
    EXPECT_EQ(items[i].cmd, 0x61);
    EXPECT_EQ(items[i + 2].cmd, 0x41);
    EXPECT_EQ(items[i + 3].cmd, 0x61);
    EXPECT_EQ(items[i + 5].cmd, 0x42);
    EXPECT_EQ(items[i + 6].cmd, 0x43);
    out.push_back({items[i].num, items[i + 1].num, items[i + 3].num, items[i + 4].num});
  }
  return out;
}

TEST(UnitAssignments, QueryReportsTheTableAndAssignmentsChangeIt) {
  Host h(Model::Tarrow);
  using Row = std::array<uint32_t, 4>;
  EXPECT_EQ(table(h), (std::vector<Row>{{5, 1, 1, 1}, {5, 2, 1, 2}, {3, 1, 1, 3}, {3, 2, 1, 4}}));
  // Two assignments in one message, as the panel sends a stereo pair.
  h.ask(Msg().assign(3, 3, 1, 1).assign(3, 4, 1, 2));
  // Destinations other than line outs 1..4 are refused.
  h.ask(Msg().assign(4, 1, 1, 5).assign(4, 1, 2, 1).assign(4, 1, 1, 0));
  EXPECT_EQ(table(h), (std::vector<Row>{{3, 3, 1, 1}, {3, 4, 1, 2}, {3, 1, 1, 3}, {3, 2, 1, 4}}));
  // An entry is 18 bytes: three to a reply, so the query takes two replies.
  ASSERT_EQ(h.send(Msg().assign(0, 0, 0, 0)), TransferResult::Ok);
  EXPECT_EQ(h.recv().size(), 3u * 7 + 1);
  EXPECT_EQ(h.recv().size(), 7u + 1);
}

TEST(UnitLibraryCodes, SettingsAreStoredAndReadBackThroughRegisters) {
  Host h(Model::Tarrow);
  const char text[] = "studio A";
  h.ask(Msg().u8(0x13, 9).u32(0x17, 0xDEADBEEF).u32(0x1C, 7).u32(0x1D, 8).u8(0xA2, 0).bytes(0x3A, text, 8));
  const auto items = h.ask(Msg()
                               .u32(0x27, 0x10)
                               .u32(0x27, 0x11)
                               .u32(0x27, 0x12)
                               .u32(0x27, 0x13)
                               .u32(0x27, 0x15)
                               .u32(0x27, 0x02)
                               .u32(0x27, 0x00)
                               .u32(0x27, 0x7777));
  std::vector<uint32_t> values;
  for (const auto& it : items) {
    EXPECT_EQ(it.cmd, 0x28);
    values.push_back(it.num);
  }
  EXPECT_EQ(values, (std::vector<uint32_t>{9, 0xDEADBEEF, 7, 8, 8, 48000, 105, 0xFFFFFFFF}));
}

}  // namespace
}  // namespace korvel::sim::test
