// Meter routing: every model's answer, record by record, reaches the
// channel the page shows it on, for every meter source. The fixture is the
// unit's answer as it arrives (blocks of channel type and count, numbered from
// 1); the expectations name records by type and number, never by slot.
#include <QtTest>
#include <vector>

#include "meterrouting.h"

namespace {

struct Block {
  int type;
  int count;
};

struct Answer {
  const char* name;
  int model;
  std::vector<Block> blocks;
};

// What each model answers to a meter request, in order.
const Answer kAnswers[] = {
    {"Tarrow", ModelTarrow, {{4, 22}, {7, 24}, {3, 22}, {6, 22}, {2, 6}, {8, 1}}},
    {"Quenby", ModelQuenby, {{4, 22}, {2, 4}, {7, 24}, {3, 22}, {6, 22}}},
    {"Pellin", ModelPellin, {{4, 14}, {2, 4}, {7, 16}, {3, 14}, {6, 14}}},
    {"Dorrit", ModelDorrit, {{4, 10}, {7, 12}, {3, 10}, {6, 10}, {2, 10}, {8, 10}}},
    {"Far Link", ModelFarLink, {{4, 24}, {7, 24}, {3, 24}, {6, 24}}},
};

// Every record carries its own identity as its level.
uint16_t levelOf(int type, int number) {
  return uint16_t(type * 1000 + number);
}

struct Rec {
  int type, number;
};

// Which record each displayed channel (index 0..23) must show; {0, 0}: level 0;
// {-1, -1}: not shown on this model, not checked.
std::vector<Rec> expected(int model, int source) {
  static const int kBlockType[4] = {6, 4, 3, 7};
  const int t = kBlockType[source];
  std::vector<Rec> e(24, Rec{-1, -1});
  switch (model) {
    case ModelTarrow:
      for (int k = 1; k <= 22; ++k) e[k - 1] = {t, k};
      e[22] = source == 3 ? Rec{7, 23} : Rec{2, 5};
      e[23] = source == 3 ? Rec{7, 24} : Rec{2, 6};
      break;
    case ModelQuenby:
      for (int k = 1; k <= 22; ++k) e[k - 1] = {t, k};
      e[22] = source == 3 ? Rec{7, 23} : Rec{2, 1};
      e[23] = source == 3 ? Rec{7, 24} : Rec{2, 2};
      break;
    case ModelPellin:
      for (int k = 1; k <= 14; ++k) e[k - 1] = {t, k};
      e[22] = source == 3 ? Rec{7, 15} : Rec{2, 1};
      e[23] = source == 3 ? Rec{7, 16} : Rec{2, 2};
      break;
    case ModelDorrit:
      for (int k = 1; k <= 10; ++k) e[k - 1] = {t, k};
      e[16] = {2, 3};  // AUX1
      e[17] = {0, 0};
      e[18] = {2, 4};  // AUX2
      e[19] = {0, 0};
      e[20] = {2, 5};  // SUB
      e[21] = {2, 6};
      e[22] = source == 3 ? Rec{7, 11} : Rec{2, 1};
      e[23] = source == 3 ? Rec{7, 12} : Rec{2, 2};
      break;
    case ModelFarLink:
      for (int k = 1; k <= 24; ++k) e[k - 1] = {t, k};
      break;
  }
  return e;
}

void route(const Answer& a, uint16_t* scratch) {
  for (int i = 0; i < meterrouting::kScratchSlots; ++i) scratch[i] = 0;
  for (const Block& b : a.blocks) {
    for (int n = 1; n <= b.count; ++n) {
      const int slot = meterrouting::slotOf(a.model, vxmsg_data_ch_t(b.type), uint8_t(n));
      QVERIFY2(slot >= 0, qPrintable(QString("%1: record %2/%3 has no slot").arg(a.name).arg(b.type).arg(n)));
      scratch[slot] = levelOf(b.type, n);
    }
  }
}

}  // namespace

class TestMeterRouting : public QObject {
  Q_OBJECT

 private slots:
  void everyRecordReachesItsChannel_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("source");
    for (int a = 0; a < 5; ++a) {
      for (int s = 0; s < 4; ++s) {
        QTest::newRow(qPrintable(QString("%1 source %2").arg(kAnswers[a].name).arg(s))) << a << s;
      }
    }
  }

  void everyRecordReachesItsChannel() {
    QFETCH(int, answer);
    QFETCH(int, source);
    const Answer& a = kAnswers[answer];
    uint16_t scratch[meterrouting::kScratchSlots];
    route(a, scratch);
    MeterChannel channels[kMeterChannels] = {};
    meterrouting::copyBySource(a.model, MeterSource(source), scratch, channels);
    const std::vector<Rec> e = expected(a.model, source);
    for (int k = 0; k < kMeterChannels; ++k) {
      if (e[k].type < 0) continue;
      const uint16_t want = e[k].type == 0 ? 0 : levelOf(e[k].type, e[k].number);
      QVERIFY2(channels[k].level == want, qPrintable(QString("channel %1 shows %2, wants record %3/%4")
                                                         .arg(k + 1)
                                                         .arg(channels[k].level)
                                                         .arg(e[k].type)
                                                         .arg(e[k].number)));
    }
  }

  // Records without a block, number 0 and slots past the table go nowhere.
  void strayRecordsAreIgnored() {
    QCOMPARE(meterrouting::slotOf(ModelTarrow, vxmsg_data_ch_t(5), 1), -1);
    QCOMPARE(meterrouting::slotOf(ModelTarrow, VXMSG_DATA_CH_SOURCE_8, 2), -1);  // slot 97
    QCOMPARE(meterrouting::slotOf(ModelTarrow, VXMSG_DATA_CH_ANALOG_IN, 0), -1);
    QCOMPARE(meterrouting::slotOf(ModelFarLink, VXMSG_DATA_CH_MASTER_OUT, 1), -1);
    QCOMPARE(meterrouting::slotOf(ModelQuenby, VXMSG_DATA_CH_SOURCE_8, 1), -1);
    QCOMPARE(meterrouting::slotOf(ModelPellin, VXMSG_DATA_CH_ANALOG_IN, 255), -1);
    QCOMPARE(meterrouting::slotOf(5, VXMSG_DATA_CH_ANALOG_IN, 1), -1);
    // Dorrit files every other type with its type-8 block.
    QCOMPARE(meterrouting::slotOf(ModelDorrit, vxmsg_data_ch_t(5), 1),
             meterrouting::slotOf(ModelDorrit, VXMSG_DATA_CH_SOURCE_8, 1));
  }

  // A stored source outside 0 to 3 shows the analog inputs and leaves the
  // main pair (and Dorrit's AUX and SUB) standing.
  void unknownSourceKeepsTheMainPair() {
    for (const Answer& a : kAnswers) {
      uint16_t scratch[meterrouting::kScratchSlots];
      route(a, scratch);
      MeterChannel channels[kMeterChannels] = {};
      for (MeterChannel& ch : channels) ch.level = 4242;
      meterrouting::copyBySource(a.model, MeterSource(7), scratch, channels);
      QCOMPARE(channels[0].level, levelOf(4, 1));
      QCOMPARE(channels[9].level, levelOf(4, 10));
      if (a.model == ModelFarLink) continue;
      QCOMPARE(channels[22].level, uint16_t(4242));
      QCOMPARE(channels[23].level, uint16_t(4242));
      if (a.model == ModelDorrit) {
        for (int k = 16; k < 22; ++k) QCOMPARE(channels[k].level, uint16_t(4242));
      }
    }
  }
};

QTEST_APPLESS_MAIN(TestMeterRouting)
#include "tst_meterrouting.moc"
