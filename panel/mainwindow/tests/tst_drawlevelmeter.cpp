// The level meter: dB edges, bar heights, fall limit, peak hold, rescaling,
// clear colours and the clip lamp on the channel records, and what the
// meter view paints of them.
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QtTest>
#include <cmath>

#include "drawlevelmeter.h"
#include "meterview.h"
#include "modelpages.h"

class TestDrawLevelMeter : public QObject {
  Q_OBJECT

  QWidget* page = nullptr;
  MeterChannel ch[kMeterChannels];
  DrawLevelMeter* meter = nullptr;

  void setLevel(uint16_t level) {
    for (MeterChannel& c : ch) c.level = level;
  }
  int barHeight(int k = 0) const { return ch[k].bar; }
  bool clipLit(int k = 0) const { return ch[k].clipIndicator; }

 private slots:
  void init() {
    page = new QWidget;
    page->resize(2300, 1400);
    for (MeterChannel& c : ch) {
      c = MeterChannel{};
      c.peakText = new QPushButton(page);
    }
    meter = new DrawLevelMeter;
    meter->setMeterGeometry(&kModelPages[ModelTarrow].meters);
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
    QTest::addColumn<int>("colour");
    QTest::addColumn<bool>("clip");
    QTest::newRow("full scale") << 32767 << 340 << "0.0" << int(PeakColour::Red) << true;
    // Just under full scale reads 0.0, never "-0.0".
    QTest::newRow("one step under full scale") << 32766 << 335 << "0.0" << int(PeakColour::Red) << true;
    QTest::newRow("-0.04 dB") << 32620 << 335 << "0.0" << int(PeakColour::Red) << true;
    QTest::newRow("-0.05 dB rounds away") << 32570 << 335 << "-0.1" << int(PeakColour::Red) << true;
    QTest::newRow("silence") << 0 << 0 << " -inf" << int(PeakColour::Black) << false;
    QTest::newRow("quarter") << 8192 << 213 << "-12.0" << int(PeakColour::Yellow) << false;
    QTest::newRow("-17 dB is yellow") << 4628 << 186 << "-17.0" << int(PeakColour::Yellow) << false;
    QTest::newRow("-18 dB is green") << 4125 << 181 << "-18.0" << int(PeakColour::Green) << false;
    QTest::newRow("-2 dB lights the clip") << 26100 << 320 << "-2.0" << int(PeakColour::Red) << true;
    QTest::newRow("below the floor") << 1 << 0 << " -inf" << int(PeakColour::Black) << false;
    QTest::newRow("above full scale") << 40000 << 340 << "1.7" << int(PeakColour::Red) << true;
  }

  void levelEdges() {
    QFETCH(int, level);
    QFETCH(int, height);
    QFETCH(QString, readout);
    QFETCH(int, colour);
    QFETCH(bool, clip);
    setLevel(uint16_t(level));
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), height);
    QCOMPARE(meter->barRect(0, height).bottom() + 1, 546);  // stands on the baseline
    QCOMPARE(ch[0].peakText->text(), readout);
    QCOMPARE(int(ch[0].peakColour), colour);
    QCOMPARE(int(ch[0].peakLine), height);
    QCOMPARE(meter->peakLineRect(0, ch[0].peakLine).y(), 546 - height);
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
    meter->peakHoldMode = PeakHold::OneSecond;
    meter->peakHoldTicks = 10;
    setLevel(32767);
    meter->updateMeters(ch);
    QVERIFY(clipLit());
    setLevel(0);
    for (int t = 1; t <= 10; ++t) {
      meter->updateMeters(ch);
      QCOMPARE(int(meter->peakHeight(0)), 340);
      QCOMPARE(int(ch[0].peakLine), 340);
      QCOMPARE(ch[0].peakText->text(), QString("0.0"));
    }
    meter->updateMeters(ch);  // the 11th tick lets the peak go
    const int h = 340 - 11 * 21;
    QCOMPARE(barHeight(), h);
    QCOMPARE(int(meter->peakHeight(0)), h);
    QCOMPARE(int(ch[0].peakLine), h);
    QCOMPARE(ch[0].peakText->text(), QString::number(double(meter->dbForHeight(h)), 'f', 1));
    QCOMPARE(ch[0].peakColour, PeakColour::Green);
    QVERIFY(!clipLit());
  }

  void threeSecondHoldAndInfinite() {
    meter->peakHoldMode = PeakHold::ThreeSeconds;
    meter->peakHoldTicks = 30;
    setLevel(32767);
    meter->updateMeters(ch);
    setLevel(0);
    for (int t = 0; t < 30; ++t) meter->updateMeters(ch);
    QCOMPARE(int(meter->peakHeight(0)), 340);
    meter->updateMeters(ch);
    QCOMPARE(int(meter->peakHeight(0)), 0);  // the bar has fallen to 0 by then

    meter->peakHoldMode = PeakHold::Infinite;
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
    QCOMPARE(meter->barRect(0, 340), QRect(100, 1092 - 680, 36, 680));
    QCOMPARE(meter->clipRect(0), QRect(100, 390, 36, 8));
    setLevel(32767);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), 340);
    setLevel(0);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(), 340 - 21);  // the fall limit applies again
  }

  void clearColoursAndClip_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("colour");
    QTest::addColumn<bool>("clip");
    // A clear colours and lights exactly as a meter step at that height.
    QTest::newRow("320 is red with clip") << 26100 << 320 << int(PeakColour::Red) << true;
    QTest::newRow("-2.6 dB: red, lamp stays dark") << 24300 << 314 << int(PeakColour::Red) << false;
    QTest::newRow("-14 dB stays yellow") << 6540 << 202 << int(PeakColour::Yellow) << false;
    QTest::newRow("213 is yellow") << 8192 << 213 << int(PeakColour::Yellow) << false;
    QTest::newRow("181 is green") << 4050 << 181 << int(PeakColour::Green) << false;
    QTest::newRow("0 is black") << 0 << 0 << int(PeakColour::Black) << false;
  }

  void clearColoursAndClip() {
    QFETCH(int, level);
    QFETCH(int, height);
    QFETCH(int, colour);
    QFETCH(bool, clip);
    meter->peakHoldMode = PeakHold::Infinite;
    meter->peakHoldTicks = -20;
    setLevel(32767);
    meter->updateMeters(ch);  // a held full-scale peak, clip lit
    setLevel(uint16_t(level));
    for (int t = 0; t < 20; ++t) meter->updateMeters(ch);
    QCOMPARE(barHeight(), height);
    meter->clearAllPeaks(ch);
    QCOMPARE(int(meter->peakHeight(0)), height);
    QCOMPARE(int(ch[0].peakLine), height);
    QCOMPARE(int(ch[0].peakColour), colour);
    QCOMPARE(clipLit(), clip);
    const QString expected =
        height == 0 ? QString(" -inf") : QString::number(double(meter->dbForHeight(height)), 'f', 1);
    QCOMPARE(ch[0].peakText->text(), expected);
  }

  // At any window scale a cleared peak lands exactly on its bar's top (it
  // used to be taken back from the bar's pixel height, a pixel below).
  void clearLandsOnTheBarAtAnyScale_data() {
    QTest::addColumn<float>("scale");
    for (float s : {1.0f, 1.009f, 0.963f, 1.37f, 2.0f}) QTest::newRow(qPrintable(QString::number(s))) << s;
  }

  void clearLandsOnTheBarAtAnyScale() {
    QFETCH(float, scale);
    meter->scaleX = meter->scaleMin = 1.0f;
    meter->scaleY = scale;
    meter->peakHoldMode = PeakHold::Infinite;
    meter->peakHoldTicks = -20;
    for (uint16_t level : {uint16_t(8192), uint16_t(4125), uint16_t(26100), uint16_t(700)}) {
      setLevel(32767);
      meter->updateMeters(ch);
      setLevel(level);
      for (int t = 0; t < 20; ++t) meter->updateMeters(ch);
      meter->clearPeak(ch, 0);
      QCOMPARE(int(meter->peakHeight(0)), barHeight());
      QCOMPARE(meter->peakLineRect(0, ch[0].peakLine).top(), int(std::floor((546 - barHeight()) * scale)));
    }
  }

  void clearOnePeakOnly() {
    meter->peakHoldMode = PeakHold::Infinite;
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
    meter->setMeterGeometry(&kModelPages[ModelPellin].meters);  // 1-14, L, R
    setLevel(32767);
    meter->updateMeters(ch);
    QCOMPARE(barHeight(13), 340);
    QCOMPARE(barHeight(14), 0);
    QCOMPARE(barHeight(21), 0);
    QCOMPARE(barHeight(22), 340);
    QCOMPARE(ch[14].peakText->text(), QString());  // untouched

    meter->setMeterGeometry(
        &kModelPages[ModelDorrit].meters);  // 1-10, 17, 19, 21, 22, L, R at its own columns
    meter->updateMeters(ch);
    QCOMPARE(barHeight(14), 0);
    QCOMPARE(barHeight(16), 340);
    QCOMPARE(barHeight(17), 0);
    QCOMPARE(barHeight(21), 340);
    QCOMPARE(meter->barRect(6, 10).x(), 324);

    meter->setMeterGeometry(&kModelPages[ModelFarLink].meters);  // Far Link columns
    QCOMPARE(meter->barRect(0, 10).x(), 63);
    QCOMPARE(meter->barRect(23, 10).x(), 1029);
  }

  // What the view paints: bars cut from the artwork, peak lines in their
  // colours, lit lamps, readouts, nothing of a hidden channel; repainting
  // only what changed; a click on a readout clicks its button.
  void viewPaintsTheRecords() {
    QWidget screen;
    screen.resize(1110, 650);
    screen.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, Qt::black);
    screen.setPalette(palette);
    auto* view = new MeterView(&screen);
    view->setGeometry(0, 190, 1110, 362);
    QPixmap art(18, 340);
    art.fill(QColor(0, 0x80, 0xFF));
    view->setBarArt(art);
    view->setChannelsShown(kAllChannels & ~channelSet({2}), kAllChannels);
    meter->setView(view);
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));

    QPushButton readout1(&screen);
    readout1.setGeometry(37, 546, 41, 21);
    readout1.hide();
    QPushButton readout2(&screen);
    readout2.setGeometry(71, 546, 41, 21);
    readout2.hide();
    ch[0].peakText = &readout1;
    ch[1].peakText = &readout2;
    ch[0].level = 8192;  // -12 dB: bar 213, yellow line
    ch[1].level = 32767;
    meter->updateMeters(ch);
    QImage image = screen.grab().toImage();
    const auto pixel = [&image](int x, int y) { return QColor(image.pixel(x, y)); };
    QCOMPARE(pixel(55, 546 - 100), QColor(0, 0x80, 0xFF));  // inside bar 1
    QCOMPARE(pixel(55, 546 - 230), QColor(Qt::black));      // above it
    QCOMPARE(pixel(55, 546 - 213), QColor(0xFE, 0xFE, 0x00));
    QCOMPARE(pixel(88, 546 - 100), QColor(Qt::black));  // channel 2 is hidden
    QCOMPARE(pixel(55, 196), QColor(Qt::black));        // lamp 1 dark
    QCOMPARE(view->shown(1).bar, QRect());
    QCOMPARE(view->shown(1).readout, QRect());
    QCOMPARE(view->shown(0).bar, QRect(50, 546 - 213, 18, 213));
    QCOMPARE(view->shown(0).readout, QRect(37, 546, 41, 21));
    QCOMPARE(view->shown(0).readoutText, QString("-12.0"));
    bool lightText = false;  // the readout's text is painted under the bar
    for (int x = 37; x < 78; ++x)
      for (int y = 548; y < 565; ++y) lightText = lightText || qGray(image.pixel(x, y)) > 128;
    QVERIFY(lightText);

    // A click on the readout clicks its button; one on a hidden channel's
    // place does nothing.
    QSignalSpy clicks1(&readout1, &QPushButton::clicked);
    QSignalSpy clicks2(&readout2, &QPushButton::clicked);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(55, 556) - view->pos());
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(90, 556) - view->pos());
    QCOMPARE(clicks1.count(), 1);
    QCOMPARE(clicks2.count(), 0);

    // A bar that falls repaints the strip it left (in a row or two of the
    // repaint grid), not the whole bar.
    ch[0].level = 0;
    QRegion painted;
    struct Spy : QObject {
      QRegion* region;
      bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) *region += static_cast<QPaintEvent*>(e)->region();
        return false;
      }
    } spy;
    spy.region = &painted;
    QTest::qWait(50);  // the first step's paints are done
    view->installEventFilter(&spy);
    meter->updateMeters(ch);
    QTRY_VERIFY(!painted.isEmpty());
    const QRegion onPage = painted.translated(view->pos());
    QVERIFY(onPage.contains(QRect(50, 546 - 213, 18, 21)));
    QVERIFY(!onPage.intersects(QRect(50, 546 - 150, 18, 150)));  // the bar's lower part stays

    // Stale: bars grey, no lamp, the note; live again at once.
    ch[0].level = 32767;
    meter->updateMeters(ch);
    view->setStale(true);
    image = screen.grab().toImage();
    const QColor barColour = pixel(55, 546 - 100);
    QCOMPARE(barColour.saturation(), 0);
    QVERIFY(barColour.value() < 0x80);
    QCOMPARE(pixel(55, 196), QColor(Qt::black));
    QVERIFY(!view->noteRect().isEmpty());
    QVERIFY(view->geometry().contains(view->noteRect()));
    view->setStale(false);
    image = screen.grab().toImage();
    QCOMPARE(pixel(55, 546 - 100), QColor(0, 0x80, 0xFF));
    QCOMPARE(pixel(55, 196), QColor(0xFF, 0x31, 0x00));
    QVERIFY(view->noteRect().isEmpty());
  }

  // Readouts drawn glyph by glyph look as the same texts drawn whole: the
  // same ink box, and no pixel off by more than a rounding of where two
  // glyphs' edges meet. One drawer goes through fonts and colours
  // in turn, as resizes and dimmed readouts make it; a text beyond ASCII
  // is drawn whole.
  void glyphTextMatchesWholeTexts() {
    // Kerned pairs too ("WA", "AV"), where the font has them.
    QStringList texts{QStringLiteral(" -inf"), QStringLiteral("0.0"), QString::fromUtf8("\u22123.0"),
                      QStringLiteral("WAVE")};
    for (int tenths = 1; tenths <= 520; tenths += 7) texts << QString::number(-tenths / 10.0, 'f', 1);
    QFont bold(QStringLiteral("Yu Gothic UI"));
    bold.setPixelSize(14);
    bold.setWeight(QFont::Bold);
    QFont small(QStringLiteral("Yu Gothic UI"));
    small.setPixelSize(11);
    const QColor colours[2] = {QColor(0xE8, 0xE8, 0xE8), QColor(0x6A, 0x6A, 0x6A)};
    const QColor ground(0x1E, 0x1E, 0x1E);
    const auto inkBox = [&ground](const QImage& image) {
      QRect box;
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
          if (image.pixel(x, y) != ground.rgb()) box |= QRect(x, y, 1, 1);
      return box;
    };
    GlyphText glyphs;
    int round = 0;
    for (const QFont& font : {QFont(), bold, small, bold}) {
      CachedText whole;
      for (const QString& text : texts) {
        for (const QRect& rect : {QRect(5, 7, 41, 21), QRect(6, 4, 36, 17)}) {
          const QColor& colour = colours[round++ % 2];
          QImage expected(60, 34, QImage::Format_RGB32), drawn(60, 34, QImage::Format_RGB32);
          expected.fill(ground);
          drawn.fill(ground);
          {
            QPainter p(&expected);
            p.setPen(colour);
            whole.draw(p, rect, text, font);
          }
          {
            QPainter p(&drawn);
            p.setPen(colour);
            glyphs.draw(p, rect, text, font);
          }
          const QString where =
              QString("'%1' at %2 pixels, %3").arg(text).arg(font.pixelSize()).arg(colour.name());
          QVERIFY2(!inkBox(expected).isEmpty(), qPrintable(where));
          // The same box, but for the faint end of a glyph reaching past
          // the text's advance (the hook of "f"), which a whole text's
          // pixmap cuts off.
          const QRect want = inkBox(expected), got = inkBox(drawn);
          QVERIFY2(got.topLeft() == want.topLeft() && got.bottom() == want.bottom() &&
                       qAbs(got.right() - want.right()) <= 1,
                   qPrintable(where));
          int off = 0;
          for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
              const QRgb a = expected.pixel(x, y), b = drawn.pixel(x, y);
              off += qMax(qAbs(qRed(a) - qRed(b)),
                          qMax(qAbs(qGreen(a) - qGreen(b)), qAbs(qBlue(a) - qBlue(b)))) > 8;
            }
          }
          QVERIFY2(off <= 2, qPrintable(where + QString(": %1 pixels differ").arg(off)));
        }
      }
    }
  }

  // Random pieces, some at negative or shared heights, some empty: the
  // region covers every one, in fewer rectangles than there were pieces.
  void repaintRegionCoversEveryPiece() {
    QRandomGenerator random(19);
    for (int round = 0; round < 200; ++round) {
      std::vector<QRect> wells, texts;
      const int n = random.bounded(1, 60);
      for (int i = 0; i < n; ++i) {
        wells.emplace_back(random.bounded(-40, 1100), random.bounded(-40, 600), random.bounded(0, 30),
                           random.bounded(0, 90));
      }
      for (int i = 0; i < random.bounded(0, 24); ++i)
        texts.emplace_back(random.bounded(0, 1100), 546 + random.bounded(0, 2) * 30, random.bounded(0, 45),
                           21);
      const int row = random.bounded(1, 48), cost = random.bounded(0, 3000);
      const QRegion region = repaintRegion(wells, texts, row, cost);
      for (const QRect& r : wells)
        QVERIFY2(region.contains(r) || r.isEmpty(), qPrintable(QString::number(round)));
      for (const QRect& r : texts)
        QVERIFY2(region.contains(r) || r.isEmpty(), qPrintable(QString::number(round)));
    }
    // A tick's strips and peak lines of 24 bars at scattered heights: far
    // fewer rectangles than the same pieces joined as they are.
    std::vector<QRect> pieces;
    QRegion plain;
    for (int k = 0; k < 24; ++k) {
      pieces.emplace_back(50 + 34 * k, 250 + (k * 37) % 90, 18, 3 + (k * 13) % 21);
      pieces.emplace_back(51 + 34 * k, 200 + (k * 53) % 60, 16, 2);
      plain += pieces[pieces.size() - 2];
      plain += pieces.back();
    }
    const QRegion joined = repaintRegion(pieces, {}, 32, 1024);
    QVERIFY2(joined.rectCount() * 3 < plain.rectCount(),
             qPrintable(QString("%1 against %2").arg(joined.rectCount()).arg(plain.rectCount())));
  }

  // Tick after tick with levels all over the scale, the window's backing
  // store (which only the partial repaints write) shows what a repaint of
  // the whole view shows: no changed bar, line, lamp or readout is left
  // stale anywhere, at the base scale and an odd one.
  void partialRepaintsMatchAFullRepaint_data() {
    QTest::addColumn<double>("scale");
    QTest::newRow("1") << 1.0;
    QTest::newRow("1.37") << 1.37;
  }

  void partialRepaintsMatchAFullRepaint() {
    QFETCH(double, scale);
    const QSize size(int(1110 * scale), int(650 * scale));
    QWidget screen;
    screen.setFixedSize(size);
    // A backdrop and bar artwork whose every line differs, so that a
    // strip painted from the wrong place shows.
    QPixmap backdrop(size);
    {
      QPainter p(&backdrop);
      QLinearGradient g(0, 0, size.width(), size.height());
      g.setColorAt(0, QColor(10, 40, 90));
      g.setColorAt(1, QColor(90, 10, 40));
      p.fillRect(backdrop.rect(), g);
    }
    QPixmap art(int(18 * scale + 0.5), int(340 * scale + 0.5));
    {
      QPainter p(&art);
      QLinearGradient g(0, 0, 0, art.height());
      g.setColorAt(0, Qt::red);
      g.setColorAt(1, Qt::green);
      p.fillRect(art.rect(), g);
    }
    auto* view = new MeterView(&screen);
    view->setGeometry(0, int(190 * scale), size.width(), int(362 * scale));
    view->setBarArt(art);
    view->setBackdrop(backdrop, {});
    meter->scaleX = meter->scaleY = meter->scaleMin = float(scale);
    for (int k = 0; k < kMeterChannels; ++k) {
      auto* readout = new QPushButton(&screen);
      readout->hide();
      const QRect bar = meter->barRect(k, 0);
      readout->setGeometry(bar.center().x() - int(20 * scale), int(546 * scale), int(41 * scale),
                           int(21 * scale));
      ch[k].peakText = readout;
    }
    meter->setView(view);
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));

    QRandomGenerator random(7);
    for (int tick = 0; tick < 40; ++tick) {
      for (int k = 0; k < kMeterChannels; ++k) {
        // Loud, quiet and silent, so that bars rise, fall, hold and clip.
        const int kind = random.bounded(4);
        ch[k].level = kind == 0   ? 0
                      : kind == 1 ? uint16_t(random.bounded(26000, 32768))
                                  : uint16_t(random.bounded(1, 26000));
      }
      meter->updateMeters(ch);
      if (tick == 25)
        view->setChannelsShown(kAllChannels & ~channelSet({3, 4}), kAllChannels & ~channelSet({7}));
      QCoreApplication::processEvents();
      const QImage shown =
          screen.screen()->grabWindow(screen.winId()).toImage().convertToFormat(QImage::Format_RGB32);
      const QImage whole = screen.grab().toImage().convertToFormat(QImage::Format_RGB32);
      QCOMPARE(shown.size(), whole.size());
      if (shown != whole) {
        QRect wrong;
        for (int y = 0; y < whole.height(); ++y)
          for (int x = 0; x < whole.width(); ++x)
            if (shown.pixel(x, y) != whole.pixel(x, y)) wrong |= QRect(x, y, 1, 1);
        QFAIL(qPrintable(QString("tick %1: stale pixels in %2,%3 %4x%5")
                             .arg(tick)
                             .arg(wrong.x())
                             .arg(wrong.y())
                             .arg(wrong.width())
                             .arg(wrong.height())));
      }
    }
  }
};

QTEST_MAIN(TestDrawLevelMeter)
#include "tst_drawlevelmeter.moc"
