// The level meter against real widgets: dB edges, bar heights, fall limit,
// peak hold, rescaling, clear colours and the clip lamp.
#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <cmath>

#include "drawlevelmeter.h"

namespace {

const QString kRed = "#FF3100";
const QString kYellow = "#FEFE00";
const QString kGreen = "#15FF02";
const QString kBlack = "#000000";

}  // namespace

class TestDrawLevelMeter : public QObject {
  Q_OBJECT

  QWidget* page = nullptr;
  MeterChannel ch[kMeterChannels];
  DrawLevelMeter* meter = nullptr;

  void setLevel(uint16_t level) {
    for (MeterChannel& c : ch) c.level = level;
  }
  int barHeight(int k = 0) const { return ch[k].bar->height(); }
  bool colourIs(int k, const QString& colour) const { return ch[k].peakLine->styleSheet().endsWith(colour); }
  bool clipLit(int k = 0) const { return !ch[k].clipIndicator->isHidden(); }

 private slots:
  void init() {
    page = new QWidget;
    page->resize(2300, 1400);
    for (MeterChannel& c : ch) {
      c.bar = new QLabel(page);
      c.peakLine = new QLabel(page);
      c.peakText = new QPushButton(page);
      c.clipIndicator = new QLabel(page);
      c.clipIndicator->hide();
      c.level = 0;
      c.holdCounter = 0;
    }
    meter = new DrawLevelMeter;
    meter->meterLayout = 0;
    meter->placeBarsAtRest(ch);
  }

  void cleanup() {
    delete meter;
    delete page;
  }

  void heightToDbTable() {
    QCOMPARE(meter->dbForHeight(0), -52.0f);
    QCOMPARE(meter->dbForHeight(18), -50.0f);
    QCOMPARE(meter->dbForHeight(133), -28.13f);
    QCOMPARE(meter->dbForHeight(326), -1.4f);
    QCOMPARE(meter->dbForHeight(340), 0.0f);
  }

  void levelEdges_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("readout");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<bool>("clip");
    QTest::newRow("full scale") << 32767 << 340 << "0.0" << kRed << true;
    QTest::newRow("silence") << 0 << 0 << " -inf" << kBlack << false;
    QTest::newRow("quarter") << 8192 << 213 << "-12.0" << kYellow << false;
    QTest::newRow("-17 dB is yellow") << 4628 << 186 << "-17.0" << kYellow << false;
    QTest::newRow("-18 dB is green") << 4125 << 181 << "-18.0" << kGreen << false;
    QTest::newRow("-2 dB lights the clip") << 26100 << 320 << "-2.0" << kRed << true;
    QTest::newRow("below the floor") << 1 << 0 << " -inf" << kBlack << false;
    QTest::newRow("above full scale") << 40000 << 340 << "1.7" << kRed << true;
  }

  void levelEdges() {
    QFETCH(int, level);
    QFETCH(int, height);
    QFETCH(QString, readout);
    QFETCH(QString, colour);
    QFETCH(bool, clip);
    setLevel(uint16_t(level));
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), height);
    QCOMPARE(ch[0].bar->geometry().bottom() + 1, 546);  // stands on the baseline
    QCOMPARE(ch[0].peakText->text(), readout);
    QVERIFY2(colourIs(0, colour), qPrintable(ch[0].peakLine->styleSheet()));
    QCOMPARE(ch[0].peakLine->y(), 546 - height);
    QCOMPARE(clipLit(), clip);
  }

  void fallsAtMost21PerTick() {
    setLevel(32767);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), 340);
    setLevel(0);
    int ticks = 0;
    while (barHeight() > 0 && ticks < 100) {
      meter->updateMeters(ch);
      ++ticks;
      if (ticks == 16) QCOMPARE(barHeight(), 4);
    }
    QCOMPARE(ticks, 17);
    // A rise is immediate.
    setLevel(32767);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), 340);
  }

  void oneSecondHold() {
    meter->peakHoldMode = 1;
    meter->peakHoldTicks = 10;
    setLevel(32767);
    meter->updateMeters(ch);
    QVERIFY(clipLit());
    setLevel(0);
    for (int t = 1; t <= 10; ++t) {
      meter->updateMeters(ch);
      QCOMPARE(int(meter->peakHeight(0)), 340);
      QCOMPARE(ch[0].peakLine->y(), 206);
      QCOMPARE(ch[0].peakText->text(), QString("0.0"));
    }
    meter->updateMeters(ch);  // the 11th tick lets the peak go
    const int h = 340 - 11 * 21;
    QCOMPARE(barHeight(), h);
    QCOMPARE(int(meter->peakHeight(0)), h);
    QCOMPARE(ch[0].peakLine->y(), 546 - h);
    QCOMPARE(ch[0].peakText->text(), QString::number(double(meter->dbForHeight(h)), 'f', 1));
    QVERIFY(colourIs(0, kGreen));
    QVERIFY(!clipLit());
  }

  void threeSecondHoldAndInfinite() {
    meter->peakHoldMode = 2;
    meter->peakHoldTicks = 30;
    setLevel(32767);
    meter->updateMeters(ch);
    setLevel(0);
    for (int t = 0; t < 30; ++t) meter->updateMeters(ch);
    QCOMPARE(int(meter->peakHeight(0)), 340);
    meter->updateMeters(ch);
    QCOMPARE(int(meter->peakHeight(0)), 0);  // the bar has fallen to 0 by then

    meter->peakHoldMode = 3;
    meter->peakHoldTicks = -20;
    setLevel(32767);
    meter->updateMeters(ch);
    setLevel(0);
    for (int t = 0; t < 60; ++t) meter->updateMeters(ch);
    QCOMPARE(int(meter->peakHeight(0)), 340);
    QVERIFY(clipLit());
  }

  void resizeSkipsFallLimitOnce() {
    setLevel(32767);
    meter->updateMeters(ch);
    meter->scaleX = meter->scaleY = meter->scaleMin = 2.0f;
    setLevel(0);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), 0);  // jumped, no fall limit on the first scaled update
    // Geometry follows the scale: bar and clip lamp at twice the base pixels.
    QCOMPARE(ch[0].bar->x(), 100);
    QCOMPARE(ch[0].bar->width(), 36);
    QCOMPARE(ch[0].clipIndicator->geometry(), QRect(100, 390, 36, 8));
    setLevel(32767);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), 680);
    QCOMPARE(ch[0].bar->geometry().bottom() + 1, 1092);
    setLevel(0);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), 2 * (340 - 21));  // the fall limit applies again
  }

  void clearColoursAndClip_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<bool>("clip");
    // A clear colours and lights exactly as a meter step at that height.
    QTest::newRow("320 is red with clip") << 26100 << 320 << kRed << true;
    QTest::newRow("-2.6 dB: red, lamp stays dark") << 24300 << 314 << kRed << false;
    QTest::newRow("-14 dB stays yellow") << 6540 << 202 << kYellow << false;
    QTest::newRow("213 is yellow") << 8192 << 213 << kYellow << false;
    QTest::newRow("181 is green") << 4050 << 181 << kGreen << false;
    QTest::newRow("0 is black") << 0 << 0 << kBlack << false;
  }

  void clearColoursAndClip() {
    QFETCH(int, level);
    QFETCH(int, height);
    QFETCH(QString, colour);
    QFETCH(bool, clip);
    meter->peakHoldMode = 3;
    meter->peakHoldTicks = -20;
    setLevel(32767);
    meter->updateMeters(ch);  // a held full-scale peak, clip lit
    setLevel(uint16_t(level));
    for (int t = 0; t < 20; ++t) meter->updateMeters(ch);
    QCOMPARE(barHeight(), height);
    meter->clearAllPeaks(ch);
    QCOMPARE(int(meter->peakHeight(0)), height);
    QCOMPARE(ch[0].peakLine->y(), 546 - height);
    QVERIFY2(colourIs(0, colour), qPrintable(ch[0].peakLine->styleSheet()));
    QCOMPARE(clipLit(), clip);
    const QString expected =
        height == 0 ? QString(" -inf") : QString::number(double(meter->dbForHeight(height)), 'f', 1);
    QCOMPARE(ch[0].peakText->text(), expected);
  }

  void clearOnePeakOnly() {
    meter->peakHoldMode = 3;
    meter->peakHoldTicks = -20;
    setLevel(32767);
    meter->updateMeters(ch);
    setLevel(0);
    for (int t = 0; t < 20; ++t) meter->updateMeters(ch);
    meter->clearPeak(ch, 5);
    QCOMPARE(int(meter->peakHeight(5)), 0);
    QCOMPARE(int(meter->peakHeight(4)), 340);
    QCOMPARE(int(meter->peakHeight(6)), 340);
  }

  void layoutsSkipHiddenChannels() {
    meter->meterLayout = 2;  // Pellin: 1-14, L, R
    setLevel(32767);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(13), 340);
    QCOMPARE(barHeight(14), 0);
    QCOMPARE(barHeight(21), 0);
    QCOMPARE(barHeight(22), 340);
    QCOMPARE(ch[14].peakText->text(), QString());  // untouched

    meter->meterLayout = 3;  // Dorrit: 1-10, 17, 19, 21, 22, L, R at its own columns
    meter->updateMeters(ch);
    QCOMPARE(barHeight(14), 0);
    QCOMPARE(barHeight(16), 340);
    QCOMPARE(barHeight(17), 0);
    QCOMPARE(barHeight(21), 340);
    QCOMPARE(ch[6].bar->x(), 324);

    meter->meterLayout = 1;  // Far Link columns
    meter->updateMeters(ch);
    QCOMPARE(ch[0].bar->x(), 63);
    QCOMPARE(ch[23].bar->x(), 1029);
  }
};

QTEST_MAIN(TestDrawLevelMeter)
#include "tst_drawlevelmeter.moc"
