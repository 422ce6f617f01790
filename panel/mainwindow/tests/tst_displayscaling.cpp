// The panel on a scaled display, as Windows' display scaling gives it: run
// with QT_FONT_DPI=96, 120, 144 or 192 (100 %, 125 %, 150 %, 200 %), the
// panel's own start-up scaling, and once with the scaling turned off
// (QT_ENABLE_HIGHDPI_SCALING=0), where texts in points grow instead.
// The window follows the display's factor; the artwork has the screen's
// pixels and lines up with the meters painted over it; partial repaints of
// the meters leave what a full one shows; every text fits its widget and
// the lines of a message do not run into each other.
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QBackingStore>
#include <QCheckBox>
#include <QLabel>
#include <QLinearGradient>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScreen>
#include <QStackedWidget>
#include <QSvgRenderer>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextLayout>
#include <QtTest>
#include <cmath>
#include <cstring>

#include "displayscaling.h"
#include "drawlevelmeter.h"
#include "informationbox.h"
#include "mainwindow.h"
#include "meterview.h"
#include "settingsstore.h"
#include "ui_informationbox.h"
#include "vxfacade.h"
#include "widgetupdates.h"

namespace {

// The display's dpi as the test run sets it (96 when it does not).
double displayDpi() {
  const int dpi = qEnvironmentVariableIntValue("QT_FONT_DPI");
  return dpi > 0 ? dpi : 96.0;
}

bool scalingOn() {
  return !qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING") ||
         qEnvironmentVariableIntValue("QT_ENABLE_HIGHDPI_SCALING") != 0;
}

// The pixels at which two images differ, as their bounding rectangle, and
// their count.
int differing(const QImage& a, const QImage& b, const QRect& area, QRect* where) {
  // Rows that are alike are skipped whole (the images are mostly alike, and
  // pixel() for every pixel of a 200 % page took seconds).
  const bool rows = a.depth() == 32 && b.depth() == 32 && a.rect().contains(area) && b.rect().contains(area);
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    if (rows && std::memcmp(a.constScanLine(y) + 4 * area.left(), b.constScanLine(y) + 4 * area.left(),
                            size_t(4 * area.width())) == 0)
      continue;
    for (int x = area.left(); x <= area.right(); ++x)
      if (a.pixel(x, y) != b.pixel(x, y)) {
        ++count;
        *where |= QRect(x, y, 1, 1);
      }
  }
  return count;
}

QRect scaled(const QRect& r, qreal ratio) {
  return QRect(
      QPoint(int(std::ceil(r.left() * ratio)), int(std::ceil(r.top() * ratio))),
      QPoint(int(std::floor((r.right() + 1) * ratio)) - 1, int(std::floor((r.bottom() + 1) * ratio)) - 1));
}

}  // namespace

class TestDisplayScaling : public QObject {
  Q_OBJECT

  MainWindow* window = nullptr;

  QLabel* label(const char* name) const { return window->findChild<QLabel*>(name); }
  void identify(const QString& model) {
    if (label("label_Device")->text() == model) return;
    deviceLostShown = false;
    window->slt_RecvDeviceName(model);
  }
  void setClientSize(const QSize& client) {
    window->setMinimumSize(0, 0);
    window->resize(client + QSize(0, window->menuBar()->height()));
    QTRY_COMPARE(window->centralWidget()->size(), client);
  }
  qreal ratio() const { return window->devicePixelRatioF(); }

  // Every text of the shown widgets under `root` inside its widget: the
  // width the text advances, the height of its ink.
  static void checkTextsFit(QWidget* root, const QString& where) {
    int checked = 0;
    for (QWidget* w : root->findChildren<QWidget*>()) {
      if (!w->isVisibleTo(root) || w->width() <= 1) continue;
      QString text;
      int room = w->width();
      if (auto* l = qobject_cast<QLabel*>(w)) {
        if (l->textFormat() == Qt::RichText || Qt::mightBeRichText(l->text()) || l->wordWrap()) continue;
        text = l->text();
        room = l->contentsRect().width() - 2 * qMax(0, l->margin());
      } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
        text = c->text();
        // The box and its gap before the text, as the style measures them.
        room = w->width() - (c->sizeHint().width() - c->fontMetrics().horizontalAdvance(text));
      } else if (auto* b = qobject_cast<QPushButton*>(w)) {
        text = b->text();
      }
      text.remove(QLatin1Char('&'));
      if (text.trimmed().isEmpty()) continue;
      const QFontMetrics metrics(w->font());
      const int advance = metrics.horizontalAdvance(text);
      const int ink = metrics.tightBoundingRect(text).height();
      ++checked;
      QVERIFY2(advance <= room && ink <= w->height(),
               qPrintable(QString("%1: %2 \"%3\" needs %4 x %5 px of %6 x %7")
                              .arg(where, w->objectName(), text)
                              .arg(advance)
                              .arg(ink)
                              .arg(room)
                              .arg(w->height())));
    }
    QVERIFY2(checked > 0, qPrintable(where));
  }

  // The lines of a message box's text stand at least a font's height
  // apart, and all of them inside the text's area.
  static void checkMessageLines(QTextBrowser* text, const QString& where) {
    QTextDocument* document = text->document();
    document->setTextWidth(text->viewport()->width());
    qreal previousTop = -1, previousHeight = 0;
    int lines = 0;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
      const QTextLayout* layout = block.layout();
      const QPointF origin = document->documentLayout()->blockBoundingRect(block).topLeft();
      for (int i = 0; i < layout->lineCount(); ++i) {
        const QTextLine line = layout->lineAt(i);
        // The font of the line's first character: its size in pixels.
        QTextCursor at(block);
        at.setPosition(block.position() + line.textStart());
        at.movePosition(QTextCursor::NextCharacter);
        const qreal em = QFontInfo(at.charFormat().font().resolve(document->defaultFont())).pixelSize();
        const qreal top = origin.y() + line.y();
        if (previousTop >= 0 && line.textLength() > 0) {
          QVERIFY2(top - previousTop >= 0.9 * previousHeight,
                   qPrintable(QString("%1: line %2 starts %3 px below the one above, whose font is %4 px")
                                  .arg(where)
                                  .arg(lines)
                                  .arg(top - previousTop)
                                  .arg(previousHeight)));
        }
        previousTop = top;
        previousHeight = em;
        ++lines;
      }
    }
    QVERIFY2(lines > 1, qPrintable(where));
    QVERIFY2(document->size().height() <= text->viewport()->height() + 1,
             qPrintable(QString("%1: the text is %2 px tall, its area %3 px")
                            .arg(where)
                            .arg(document->size().height())
                            .arg(text->viewport()->height())));
  }

 private slots:
  void initTestCase() {
    writeSetting("PopupMessage", "WakeUp", false);
    writeSetting("Update", "JsonUrl", "https://127.0.0.1:9/none.json");
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    qInfo("display %g dpi, scaling %s: device pixel ratio %g, logical dpi %d", displayDpi(),
          scalingOn() ? "on" : "off", ratio(), window->logicalDpiY());
  }

  void cleanupTestCase() { delete window; }

  // 125 % is a window 1.25 times as large in screen pixels, 150 % 1.5
  // times (not twice: 2220 x 1300 pixels would not fit a 1920 x 1080
  // display), with texts in points as large, relative to the window, as at
  // 100 %.
  void windowFollowsTheDisplaysFactor() {
    if (!scalingOn()) {
      QCOMPARE(ratio(), 1.0);
      return;
    }
    QCOMPARE(ratio(), displayDpi() / 96.0);
    QCOMPARE(window->logicalDpiY(), 96);
    QFont points(window->font());
    points.setPointSize(10);
    QCOMPARE(QFontInfo(points).pixelSize(), 13);
  }

  // The artwork of every page has a pixel of its own for every screen
  // pixel it covers: rendered for the screen, not stretched to it.
  void artworkHasTheScreensPixels() {
    setClientSize(QSize(1110, 650));
    for (const char* model : {"Tarrow", "Quenby", "Pellin", "Dorrit", "Far Link"}) {
      identify(model);
      window->timerInterrupt_1000ms();
      for (int page = 0; page < 3; ++page) {
        window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(page);
        int pictures = 0;
        for (QLabel* l : window->findChildren<QLabel*>()) {
          const QPixmap pixmap = l->pixmap(Qt::ReturnByValue);
          if (pixmap.isNull() || !l->isVisibleTo(window) || l->width() < 8) continue;
          ++pictures;
          const QString what = QString("%1, page %2: %3").arg(model).arg(page).arg(l->objectName());
          QVERIFY2(pixmap.devicePixelRatioF() == ratio(),
                   qPrintable(what + QString(" has %1 pixels per unit").arg(pixmap.devicePixelRatioF())));
        }
        QVERIFY(pictures > 0);
      }
    }
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(0);
  }

  // On the meter page the meter view paints the page's background, the
  // bars and their lamps over the label that shows the same background:
  // both put every pixel of it in the same place, and each bar shows its
  // artwork from the foot up, within its well.
  void metersLineUpWithTheirWells() {
    setClientSize(QSize(1110, 650));
    for (const char* model : {"Tarrow", "Far Link", "Pellin", "Dorrit"}) {
      identify(model);
      window->timerInterrupt_1000ms();
      window->on_pushButton_Meter_clicked();
      window->on_pushButton_PeakHoldOff_clicked();  // no peak lines over the bars
      MeterChannel* channels = window->meterChannels();
      DrawLevelMeter& meter = window->levelMeter();
      for (int k = 0; k < kMeterChannels; ++k) channels[k].level = 0;
      meter.placeBarsAtRest(channels);
      meter.updateMeters(channels);
      auto* view = window->findChild<MeterView*>("meterView");
      QWidget* page = view->parentWidget();
      QImage shown = page->grab().toImage().convertToFormat(QImage::Format_RGB32);
      const QImage background =
          label("label_bg")->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB32);
      QCOMPARE(shown.devicePixelRatioF(), ratio());
      // Bars at rest: the view's part of the page is the background, but
      // for the readouts' texts, which it paints under the wells.
      QRect wells = scaled(view->geometry(), ratio());
      wells.setBottom(int(std::floor(view->shown(0).readout.top() * ratio())) - 2);
      // Where the page shows something else: the masks joining a pair's
      // wells, the note of stale meters (no unit answers here).
      QRegion other;
      for (QLabel* mask : page->findChildren<QLabel*>(QRegularExpression("^label_barMask")))
        if (mask->isVisibleTo(page)) other += mask->geometry().adjusted(-1, -1, 1, 1);
      other += view->noteRect().adjusted(-1, -1, 1, 1);
      QImage expected = background;
      for (const QRect& r : other) {
        const QRect pixels = QRect(QPoint(int(r.left() * ratio()), int(r.top() * ratio())),
                                   QPoint(int(std::ceil((r.right() + 1) * ratio())),
                                          int(std::ceil((r.bottom() + 1) * ratio())))) &
                             expected.rect() & shown.rect();
        for (int y = pixels.top(); y <= pixels.bottom(); ++y)
          for (int x = pixels.left(); x <= pixels.right(); ++x) expected.setPixel(x, y, shown.pixel(x, y));
      }
      QRect where;
      int wrong = differing(shown, expected, wells & background.rect(), &where);
      QVERIFY2(wrong == 0, qPrintable(QString("%1: %2 pixels of the background misplaced in %3,%4 %5x%6")
                                          .arg(model)
                                          .arg(wrong)
                                          .arg(where.x())
                                          .arg(where.y())
                                          .arg(where.width())
                                          .arg(where.height())));

      // Every bar at full scale: each shows the bar artwork, its foot on
      // the bar's foot, and nothing of it outside the bar.
      for (int k = 0; k < kMeterChannels; ++k) channels[k].level = 32767;
      meter.updateMeters(channels);
      shown = page->grab().toImage().convertToFormat(QImage::Format_RGB32);
      int bars = 0;
      for (int k = 0; k < kMeterChannels; ++k) {
        const QRect bar = view->shown(k).bar;
        if (bar.isEmpty()) continue;
        ++bars;
        const QRect inside = scaled(bar, ratio());
        // The bar covers its well's floor: its foot is painted.
        int painted = 0;
        for (int x = inside.left(); x <= inside.right(); ++x)
          painted += shown.pixel(x, inside.bottom()) != background.pixel(x, inside.bottom());
        QVERIFY2(painted * 10 >= inside.width() * 9,
                 qPrintable(QString("%1: bar %2 is not painted at its foot").arg(model).arg(k + 1)));
        // Beside the bar, the well as the background shows it.
        for (int y = inside.top() + 2; y < inside.bottom() - 2; y += 7) {
          for (int x :
               {int(std::floor(bar.left() * ratio())) - 1, int(std::ceil((bar.right() + 1) * ratio()))}) {
            if (other.contains(QPoint(int(x / ratio()), int(y / ratio())))) continue;
            QVERIFY2(shown.pixel(x, y) == background.pixel(x, y),
                     qPrintable(QString("%1: bar %2 reaches %3,%4 outside its well")
                                    .arg(model)
                                    .arg(k + 1)
                                    .arg(x)
                                    .arg(y)));
          }
        }
      }
      QVERIFY2(bars >= 16, qPrintable(QString("%1: %2 bars; bar 1 %3 level %4 height %5")
                                          .arg(model)
                                          .arg(bars)
                                          .arg(view->shown(0).bar.height())
                                          .arg(channels[0].level)
                                          .arg(channels[0].bar)));
      for (int k = 0; k < kMeterChannels; ++k) channels[k].level = 0;
      meter.placeBarsAtRest(channels);
      meter.clearAllPeaks(channels);
    }
    window->on_pushButton_PeakHold1s_clicked();
    window->on_pushButton_Information_clicked();
  }

  // Tick after tick, the window's backing store (which only the partial
  // repaints write) shows what a full repaint of the meters shows, at the
  // screen's pixels: no changed bar, line, lamp or readout left behind,
  // no seam where two repaints meet at a fraction of a pixel.
  void partialRepaintsMatchAFullRepaint() {
    const QSize size(1110, 650);
    QWidget screen;
    screen.setFixedSize(size);
    const qreal r = screen.devicePixelRatioF();
    QPixmap backdrop(pixelSize(size, r));
    backdrop.setDevicePixelRatio(r);
    {
      QPainter p(&backdrop);
      QLinearGradient g(0, 0, size.width(), size.height());
      g.setColorAt(0, QColor(10, 40, 90));
      g.setColorAt(1, QColor(90, 10, 40));
      p.fillRect(QRect(QPoint(0, 0), size), g);
    }
    QPixmap art(pixelSize(QSize(18, 340), r));
    art.setDevicePixelRatio(r);
    {
      QPainter p(&art);
      QLinearGradient g(0, 0, 0, 340);
      g.setColorAt(0, Qt::red);
      g.setColorAt(1, Qt::green);
      p.fillRect(QRect(0, 0, 18, 340), g);
    }
    auto* view = new MeterView(&screen);
    view->setGeometry(0, 190, size.width(), 362);
    view->setBarArt(art);
    view->setBackdrop(backdrop, {});
    DrawLevelMeter meter;
    meter.setMeterGeometry(&kModelPages[ModelTarrow].meters);
    MeterChannel ch[kMeterChannels];
    for (int k = 0; k < kMeterChannels; ++k) {
      ch[k] = MeterChannel{};
      auto* readout = new QPushButton(&screen);
      readout->hide();
      const QRect bar = meter.barRect(k, 0);
      readout->setGeometry(bar.center().x() - 20, 546, 41, 21);
      QFont font = readout->font();  // as the page sets it
      font.setPixelSize(13);
      readout->setFont(font);
      ch[k].peakText = readout;
    }
    meter.setView(view);
    meter.placeBarsAtRest(ch);
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));

    QRandomGenerator random(7);
    for (int tick = 0; tick < 40; ++tick) {
      for (int k = 0; k < kMeterChannels; ++k) {
        const int kind = random.bounded(4);
        ch[k].level = kind == 0   ? 0
                      : kind == 1 ? uint16_t(random.bounded(26000, 32768))
                                  : uint16_t(random.bounded(1, 26000));
      }
      meter.updateMeters(ch);
      QCoreApplication::processEvents();
      auto* store = dynamic_cast<QImage*>(screen.backingStore()->paintDevice());
      QVERIFY(store);
      const QImage shown = store->convertToFormat(QImage::Format_RGB32);
      const QImage whole = screen.grab().toImage().convertToFormat(QImage::Format_RGB32);
      QCOMPARE(shown.size(), whole.size());
      QRect where;
      const int wrong = differing(shown, whole, whole.rect(), &where);
      QVERIFY2(wrong == 0, qPrintable(QString("tick %1: %2 stale pixels in %3,%4 %5x%6")
                                          .arg(tick)
                                          .arg(wrong)
                                          .arg(where.x())
                                          .arg(where.y())
                                          .arg(where.width())
                                          .arg(where.height())));
    }
  }

  // Every page at the default size, and the window at the smallest size
  // the menu offers: each caption and label inside its widget.
  void pageTextsFit() {
    setClientSize(QSize(1110, 650));
    for (const char* model : {"Tarrow", "Quenby", "Pellin", "Dorrit", "Far Link"}) {
      identify(model);
      window->timerInterrupt_1000ms();
      auto* stack = window->findChild<QStackedWidget*>("stackedWidget");
      for (int page = 0; page < 3; ++page)
        checkTextsFit(stack->widget(page), QString("%1, page %2").arg(model).arg(page));
    }
  }

  // The update boxes: the offers and an information message, with every
  // line apart from the next and inside the box, and the buttons' row.
  void updateBoxTextsFit() {
    InformationBox box;
    box.ui->okButton->setText(QStringLiteral("Update now"));  // the texts the update service sets
    box.ui->noButton->setText(QStringLiteral("Update later"));
    box.ui->dontShowCheckBox->setText(QStringLiteral("Do not show this message again"));
    box.setInformationHtml(
        QStringLiteral("<b>New in this release</b><br>Far Link firmware 1.05 adds a loopback "
                       "mode.<br>See the product page for details."));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    checkMessageLines(box.ui->textMessage, "information message");
    // The box's picture drawn with the screen's pixels: where no widget
    // covers it (the badge at the left) it is the vector artwork rendered
    // at the screen's size, not a bitmap stretched to it.
    {
      const QImage shown = box.grab().toImage().convertToFormat(QImage::Format_RGB32);
      QImage reference(shown.size(), QImage::Format_RGB32);
      reference.fill(Qt::black);
      QPainter p(&reference);
      p.setRenderHint(QPainter::Antialiasing);
      QSvgRenderer(QStringLiteral(":/Resource/update/info_570x160_model.svg"))
          .render(&p, QRectF(QPointF(0, 0), QSizeF(570, 160) * box.devicePixelRatioF()));
      p.end();
      const QRect badge(0, 0, int(85 * box.devicePixelRatioF()), int(110 * box.devicePixelRatioF()));
      int off = 0;
      for (int y = badge.top(); y <= badge.bottom(); ++y)
        for (int x = badge.left(); x <= badge.right(); ++x) {
          const QRgb a = shown.pixel(x, y), b = reference.pixel(x, y);
          off += qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) > 6;
        }
      QVERIFY2(off * 200 < badge.width() * badge.height(),
               qPrintable(QString("%1 of the badge's %2 pixels differ from the artwork at the screen's size")
                              .arg(off)
                              .arg(badge.width() * badge.height())));
    }
    checkTextsFit(&box, "information box");
    box.setOfferText(
        QStringLiteral("<font size=+1><b>The newest version of the unit firmware has been "
                       "released.</b></font><br><br>Current Version: 1.02<br>Latest Version: 1.05"));
    checkMessageLines(box.ui->textMessage, "firmware offer");
  }
};

int main(int argc, char* argv[]) {
  // As the panel starts: 100 % unless the run's QT_FONT_DPI says otherwise.
  setUpDisplayScaling();
  QApplication app(argc, argv);
  TestDisplayScaling test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_displayscaling.moc"
