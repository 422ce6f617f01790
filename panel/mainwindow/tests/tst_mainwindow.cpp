// The main window without a unit: start-up state and texts, the information
// texts from device answers, model identification, rec-function answers and
// the default geometry.
#include <sys/inotify.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cmath>

#include "buffersizescale.h"
#include "mainwindow.h"
#include "meterview.h"
#include "settingsstore.h"
#include "vxfacade.h"

class TestMainWindow : public QObject {
  Q_OBJECT

  MainWindow* window = nullptr;

  QLabel* label(const char* name) const { return window->findChild<QLabel*>(name); }
  QLabel* labelN(const char* prefix, int n) const {
    return window->findChild<QLabel*>(QString("%1%2").arg(prefix).arg(n));
  }
  QPushButton* button(const char* name) const { return window->findChild<QPushButton*>(name); }
  QPushButton* readout(int n) const {
    return window->findChild<QPushButton*>(QString("pushButton_peakText%1").arg(n));
  }
  // The unit identifies as `model` while it is selected.
  void identify(const QString& model) {
    if (label("label_Device")->text() == model)
      window->slt_RecvDeviceName("Dorrit" == model ? "Pellin" : "Dorrit");
    deviceLostShown = false;
    window->slt_RecvDeviceName(model);
  }
  void setClientSize(const QSize& client) {
    window->setMinimumSize(0, 0);
    window->resize(client + QSize(0, window->menuBar()->height()));
    QTRY_COMPARE(window->centralWidget()->size(), client);
  }
  // Position among its siblings' paint order (higher paints later).
  static int zOrder(QWidget* w) { return w->parentWidget()->children().indexOf(w); }
  // The colour a rec-function lamp shows (its left edge, clear of the text).
  static QColor lampColour(QLabel* l) { return QColor(l->grab().toImage().pixel(1, l->height() / 2)); }
  static bool isRed(QLabel* l) { return lampColour(l) == QColor(0xCB, 0x27, 0x00); }
  static bool isGrey(QLabel* l) { return lampColour(l) == QColor(0xCE, 0xCE, 0xCE); }
  static bool isBlack(QLabel* l) { return lampColour(l) == QColor(0, 0, 0); }
  MeterView* view() const { return window->findChild<MeterView*>("meterView"); }
  // Channel n (1 to 24) as the meter page shows it.
  bool meterShown(int n) const { return inSet(view()->channelsShown(), n - 1); }
  bool peakLineShown(int n) const { return !view()->shown(n - 1).peakLine.isEmpty(); }
  bool lampLit(int n) const { return !view()->shown(n - 1).clipLamp.isEmpty(); }
  QWidget* widget(const char* name) const { return window->findChild<QWidget*>(name); }
  int page() const { return window->findChild<QStackedWidget*>("stackedWidget")->currentIndex(); }

 private slots:
  void initTestCase() {
    writeSetting("PopupMessage", "WakeUp", false);                       // no reminder to click away
    writeSetting("Update", "JsonUrl", "https://127.0.0.1:9/none.json");  // no lookup of the maker's site
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
  }

  void cleanupTestCase() { delete window; }

  void startsNotConnected() {
    QCOMPARE(window->windowTitle(), QString("KORVEL Brevanta Settings Panel"));
    QCOMPARE(window->size(), QSize(1120, 680));
    QCOMPARE(window->minimumSize(), QSize(1120, 680));
    QCOMPARE(page(), 2);
    QCOMPARE(label("label_DeadBg")->text(), QString("Device is not connected"));
    QCOMPARE(label("label_SWVer")->text(), QString("V2.20 0042"));
    QCOMPARE(label("label_FWVer")->text(), QString("No Device"));
    QCOMPARE(label("label_Samplerate")->text(), QString("-- kHz"));
    QVERIFY(label("label_Device")->isHidden());
    for (const char* name :
         {"pushButton_Meter", "label_textSerialNumber", "label_SerialNumber", "label_Tarrow_info",
          "label_Quenby_info", "label_Pellin_info", "label_Dorrit_info", "label_FarLink_info",
          "label_Tarrowphoto", "label_FarLinkphoto", "label_Tarrow_meter", "label_FarLink_meter"}) {
      QVERIFY2(widget(name)->isHidden(), name);
    }
    QCOMPARE(currentDeviceName, QString("No Device"));
    // Without a unit the 100 ms tick keeps the not-connected page.
    QTest::qWait(400);
    QCOMPARE(page(), 2);
    QVERIFY(deviceLostShown);
  }

  void pageButtons() {
    window->findChild<QPushButton*>("pushButton_Meter")->click();
    QCOMPARE(page(), 1);
    window->findChild<QPushButton*>("pushButton_Information")->click();
    QCOMPARE(page(), 0);
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(2);
  }

  void firmwareText() {
    QLabel* fw = label("label_FWVer");
    window->slt_RecvFirmVersion(105);  // build still 0
    QCOMPARE(fw->text(), QString("VNo Device"));
    window->slt_RecvFirmBuld(42);
    QCOMPARE(fw->text(), QString("V1.05 0042"));
    QCOMPARE(::firmwareText, QString("1.05 0042"));
    window->slt_RecvFirmVersion(0);  // a cleared identity keeps the last complete text
    QCOMPARE(fw->text(), QString("V1.05 0042"));
    fw->setText("untouched");
    window->slt_RecvFirmVersion(0);  // unchanged: nothing happens
    QCOMPARE(fw->text(), QString("untouched"));
    window->slt_RecvFirmVersion(1203);
    QCOMPARE(fw->text(), QString("V12.03 0042"));
    window->slt_RecvFirmBuld(7);
    QCOMPARE(fw->text(), QString("V12.03 0007"));
  }

  void sampleRateTexts_data() {
    QTest::addColumn<uint32_t>("hz");
    QTest::addColumn<QString>("text");
    QTest::newRow("44.1") << 44100u << "44.1 kHz";
    QTest::newRow("48") << 48000u << "48 kHz";
    QTest::newRow("88.2") << 88200u << "88.2 kHz";
    QTest::newRow("96") << 96000u << "96 kHz";
    QTest::newRow("176.4") << 176400u << "176.4 kHz";
    QTest::newRow("192") << 192000u << "192 kHz";
    QTest::newRow("32 is unknown") << 32000u << "-- kHz";
    QTest::newRow("0") << 0u << "-- kHz";
  }

  void sampleRateTexts() {
    QFETCH(uint32_t, hz);
    QFETCH(QString, text);
    window->slt_RecvSampleRate(hz);
    QCOMPARE(label("label_Samplerate")->text(), text);
  }

  void serialText() {
    window->slt_RecvSerialNumber("TR000123");
    QCOMPARE(label("label_SerialNumber")->text(), QString("TR000123"));
    window->slt_RecvSerialNumber(QString());
    QCOMPARE(label("label_SerialNumber")->text(), QString("-------"));
  }

  // Texts from the unit are shown as they came: markup in a serial number is
  // neither laid out nor followed to a file (an image path on a share would
  // make the panel connect to that host).
  void unitTextsAreNeverRichText() {
    QTemporaryDir cwd;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir().mkpath(cwd.filePath("a")) && QDir::setCurrent(cwd.path()));
    QImage(4, 4, QImage::Format_RGB32).save("a/b", "PNG");
    const int watch = inotify_init1(IN_NONBLOCK);
    QVERIFY(watch >= 0 && inotify_add_watch(watch, "a", IN_OPEN) >= 0);
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(0);  // the information page
    for (const QString& hostile : {QString("<img src=a/b>"), QString("<b>x</b><img src=\"a/b\">")}) {
      window->slt_RecvSerialNumber(hostile);
      window->slt_RecvDeviceName(hostile);
      QLabel* serial = label("label_SerialNumber");
      QCOMPARE(serial->text(), hostile);
      QCOMPARE(serial->textFormat(), Qt::PlainText);
      serial->grab();  // laid out and painted
    }
    for (const char* name : {"label_FWVer", "label_Samplerate", "label_Device"})
      QVERIFY2(label(name)->textFormat() == Qt::PlainText, name);
    char events[256];
    const ssize_t opened = read(watch, events, sizeof events);
    close(watch);
    QDir::setCurrent(previous);
    QCOMPARE(opened, ssize_t(-1));  // no file in a/ was opened
  }

  void identification() {
    window->slt_RecvDeviceName("Tarrow");
    QCOMPARE(label("label_Device")->text(), QString("Tarrow"));
    QCOMPARE(currentDeviceName, QString("Tarrow"));
    window->slt_RecvDeviceName("tarrow");  // names are case-sensitive
    window->slt_RecvDeviceName("Far Link 2");
    QCOMPARE(label("label_Device")->text(), QString("Tarrow"));
    window->slt_RecvDeviceName("Far Link");
    QCOMPARE(label("label_Device")->text(), QString("Far Link"));
    QCOMPARE(currentDeviceName, QString("Far Link"));

    previousDeviceName = "Far Link";
    window->slt_RecvDeviceName(QString());  // identity cleared
    QCOMPARE(label("label_Device")->text(), QString("No Device"));
    QCOMPARE(previousDeviceName, QString("No Device"));
    QCOMPARE(currentDeviceName, QString("Far Link"));
    window->slt_RecvDeviceName("Far Link");  // counts again although the name did not change
    QCOMPARE(label("label_Device")->text(), QString("Far Link"));
  }

  void recFunctionAnswers() {
    std::fill(std::begin(recFunctionStates), std::end(recFunctionStates), uint8_t(9));
    window->slt_RecvRecFunction(QByteArray());
    QCOMPARE(int(recFunctionStates[0]), 9);
    window->slt_RecvRecFunction(QByteArray(98, '\1'));
    QCOMPARE(int(recFunctionStates[0]), 9);
    window->slt_RecvRecFunction(QByteArray("\1\2\0", 3));
    QCOMPARE(int(recFunctionStates[0]), 1);
    QCOMPARE(int(recFunctionStates[1]), 2);
    QCOMPARE(int(recFunctionStates[2]), 0);
    QCOMPARE(int(recFunctionStates[3]), 9);
    window->slt_RecvRecFunction(QByteArray(97, '\2'));
    QCOMPARE(int(recFunctionStates[23]), 2);
  }

  void defaultGeometry() {
    QCOMPARE(defaultClientGeometry(QRect(0, 0, 1920, 1040), 31), QRect(405, 226, 1110, 650));
    // The available area's own origin is not added.
    QCOMPARE(defaultClientGeometry(QRect(1920, 40, 1280, 984), 20), QRect(85, 187, 1110, 650));
  }

  // Pages scale with the client area (below the menu bar), uniformly when
  // its aspect is the pages'.
  void resizeScalesPages() {
    const int menu = window->menuBar()->height();
    window->resize(2220, 1300 + menu);
    QTRY_COMPARE(window->centralWidget()->size(), QSize(2220, 1300));
    QCOMPARE(window->levelMeter().scaleX, 2.0f);
    QCOMPARE(window->levelMeter().scaleY, 2.0f);
    QCOMPARE(widget("label_textFWVer")->geometry(), QRect(1300, 464, 322, 32));
    QCOMPARE(widget("label_DeadBg")->geometry(), QRect(0, 0, 2220, 1300));
    QCOMPARE(label("label_DeadBg")->font().pixelSize(), 48);
    QCOMPARE(widget("label_KORVEL_dead")->geometry(), QRect(46, 26, 216, 36));
    window->resize(1120, 680);
  }

  // Each model's page: labels, columns, hidden channels, masks, captions.
  void pagesPerModel() {
    setClientSize(QSize(1110, 650));
    button("pushButton_PeakHold1s")->click();

    identify("Tarrow");
    QCOMPARE(window->levelMeter().meterGeometry(), &kModelPages[ModelTarrow].meters);
    QCOMPARE(labelN("label_recfunc", 13)->text(), QString("13-14"));
    QCOMPARE(labelN("label_recfunc", 21)->text(), QString("21-22"));
    QCOMPARE(labelN("label_recfunc", 13)->geometry(), QRect(523, 570, 60, 17));
    QCOMPARE(labelN("label_recfunc", 14)->geometry(), QRect(557, 570, 26, 17));
    // A pair's label paints over its partner's ("1" and "14" made "1:14").
    for (int n : {13, 15, 17, 19, 21})
      QVERIFY(zOrder(labelN("label_recfunc", n)) > zOrder(labelN("label_recfunc", n + 1)));
    QCOMPARE(label("label_recfuncL")->text(), QString("MAIN"));
    QVERIFY(label("label_recfuncR")->isHidden());
    QCOMPARE(view()->shown(21).readout, QRect(890, 546, 41, 21));
    QCOMPARE(view()->shown(23).readout, QRect(1030, 546, 41, 21));
    for (int m = 1; m <= 5; ++m) QVERIFY(!labelN("label_barMask", m)->isHidden());
    QCOMPARE(labelN("label_barMask", 3)->geometry(), QRect(750, 205, 16, 342));
    QCOMPARE(button("pushButton_MTRSource")->text(), QString("CHANNEL INPUT"));
    QCOMPARE(button("pushButton_Analog")->text(), QString("MIC / LINE"));
    QVERIFY(!label("label_Tarrow_meter")->isHidden());
    QVERIFY(!label("label_Tarrow_meter")->pixmap(Qt::ReturnByValue).isNull());
    // Headings paint above their rules.
    QVERIFY(zOrder(label("label_bgPHText")) > zOrder(label("label_bgPHL")));
    QVERIFY(zOrder(label("label_bgMSText")) > zOrder(label("label_bgMSL")));

    identify("Pellin");
    QCOMPARE(window->levelMeter().meterGeometry(), &kModelPages[ModelPellin].meters);
    QCOMPARE(labelN("label_recfunc", 9)->text(), QString("9-10"));
    QCOMPARE(labelN("label_recfunc", 9)->width(), 60);
    QCOMPARE(labelN("label_recfunc", 13)->text(), QString("13-14"));
    for (int n = 15; n <= 22; ++n) {
      QVERIFY(labelN("label_recfunc", n)->isHidden());
      QVERIFY(!meterShown(n));
      QVERIFY(!peakLineShown(n));
      QVERIFY(!lampLit(n));
      QVERIFY(view()->shown(n - 1).readout.isEmpty());
    }
    QVERIFY(peakLineShown(14));
    QVERIFY(!labelN("label_barMask", 1)->isHidden());
    QVERIFY(labelN("label_barMask", 4)->isHidden() && labelN("label_barMask", 5)->isHidden());
    QCOMPARE(button("pushButton_Analog")->text(), QString("LIVE INPUT"));
    QCOMPARE(button("pushButton_USB")->text(), QString("PC RETURN"));
    QVERIFY(label("label_Tarrow_meter")->isHidden());

    identify("Dorrit");
    QCOMPARE(window->levelMeter().meterGeometry(), &kModelPages[ModelDorrit].meters);
    QCOMPARE(labelN("label_recfunc", 7)->text(), QString("7 - 8"));
    QCOMPARE(labelN("label_recfunc", 7)->geometry(), QRect(319, 570, 60, 17));
    QCOMPARE(view()->shown(6).readout.x(), 309);
    QCOMPARE(view()->shown(7).readout.x(), 343);
    QCOMPARE(labelN("label_recfunc", 17)->text(), QString("AUX1"));
    QCOMPARE(labelN("label_recfunc", 19)->text(), QString("AUX2"));
    QCOMPARE(labelN("label_recfunc", 21)->text(), QString("SUB"));
    for (int n : {8, 10, 11, 16, 18, 20, 22})
      QVERIFY2(labelN("label_recfunc", n)->isHidden(), qPrintable(QString::number(n)));
    for (int n : {11, 12, 13, 14, 15, 16, 18, 20}) QVERIFY(!meterShown(n));
    for (int n : {1, 10, 17, 19, 21, 22}) QVERIFY(meterShown(n));
    for (int m = 1; m <= 5; ++m) QVERIFY(labelN("label_barMask", m)->isHidden());

    identify("Far Link");
    QCOMPARE(window->levelMeter().meterGeometry(), &kModelPages[ModelFarLink].meters);
    QCOMPARE(label("label_recfuncL")->text(), QString("23"));
    QCOMPARE(label("label_recfuncR")->text(), QString("24"));
    QVERIFY(!label("label_recfuncR")->isHidden());
    QCOMPARE(label("label_recfuncR")->geometry(), QRect(1028, 570, 26, 17));
    QCOMPARE(labelN("label_recfunc", 1)->x(), 59);
    QCOMPARE(view()->shown(0).readout.x(), 49);
    for (int n = 13; n <= 22; ++n) QCOMPARE(labelN("label_recfunc", n)->width(), 26);
    for (int n = 11; n <= 22; ++n) QVERIFY(meterShown(n));
    QCOMPARE(button("pushButton_MTRSource")->text(), QString("TRACK LEVEL"));
    QCOMPARE(button("pushButton_MTR")->text(), QString("ANALOG OUT"));

    identify("Quenby");
    QCOMPARE(window->levelMeter().meterGeometry(), &kModelPages[ModelQuenby].meters);
    QCOMPARE(labelN("label_recfunc", 13)->width(), 60);
    QCOMPARE(label("label_recfuncL")->text(), QString("MAIN"));
    QCOMPARE(button("pushButton_USB")->text(), QString("PC RETURN"));
  }

  // Nothing of the old model shows once its identity is gone, and all of
  // the new one shows as soon as it is identified, whatever page is up.
  void modelChangeLeavesNothingOfTheOldModel() {
    identify("Tarrow");
    QVERIFY(!label("label_Tarrow_meter")->isHidden());
    // Loud Tarrow levels on the bars, with their peaks.
    MeterChannel* ch = window->meterChannels();
    auto loudTarrow = [&] {
      for (int k = 0; k < 24; ++k) ch[k].level = 32767;
      window->levelMeter().updateMeters(ch);
      QVERIFY(view()->shown(0).bar.height() > 0);
    };
    // None of them stays: not grey, not on another model's channels.
    auto nothingShown = [&](const char* when) {
      for (int k = 0; k < 24; ++k) {
        QVERIFY2(view()->shown(k).bar.height() == 0, when);
        QVERIFY2(window->levelMeter().peakHeight(k) == 0, when);
      }
    };
    loudTarrow();
    window->slt_RecvDeviceName(QString());  // the unit's identity is gone
    nothingShown("identity gone");
    identify("Tarrow");
    loudTarrow();
    window->slt_RecvDeviceName("Dorrit");  // another unit, without a loss seen
    nothingShown("another model");
    // Nor does the information page keep the previous unit's serial and
    // sample rate next to the new unit's name.
    for (const QString& next : {QString("Far Link"), QString()}) {
      identify("Tarrow");
      window->slt_RecvSerialNumber("TR2410-000123");
      window->slt_RecvSampleRate(44100);
      window->slt_RecvDeviceName(next);
      QCOMPARE(label("label_SerialNumber")->text(), QString("-------"));
      QCOMPARE(label("label_Samplerate")->text(), QString("-- kHz"));
    }
    identify("Tarrow");
    window->slt_RecvDeviceName(QString());
    QVERIFY(label("label_Tarrow_meter")->isHidden());
    QVERIFY(label("label_Tarrow_info")->isHidden());
    QVERIFY(view()->isStale());  // its meters are no longer read
    // The new unit answers while the not-connected page is still up.
    deviceLostShown = true;
    window->slt_RecvDeviceName("Quenby");
    QCOMPARE(button("pushButton_Analog")->text(), QString("LIVE INPUT"));
    QVERIFY(!label("label_Quenby_meter")->isHidden());
    QVERIFY(!label("label_Quenby_info")->isHidden());
    QVERIFY(label("label_Tarrow_meter")->isHidden());
    QVERIFY(label("label_SerialNumber")->isHidden());
    QVERIFY(view()->isStale());  // until Quenby's first meter answer
    deviceLostShown = false;
  }

  // Rec-function lamps: per-model state indices, the 500 ms blink and the
  // black "not applicable" state.
  void recLamps() {
    button("pushButton_MTRSource")->click();
    std::fill(std::begin(recFunctionStates), std::end(recFunctionStates), uint8_t(0));

    identify("Far Link");
    recFunctionStates[22] = 1;
    window->timerInterrupt_500ms();
    QVERIFY(isRed(label("label_recfuncL")));
    QVERIFY(isGrey(label("label_recfuncR")));
    recFunctionStates[22] = 0;
    recFunctionStates[23] = 1;
    window->timerInterrupt_500ms();
    QVERIFY(isGrey(label("label_recfuncL")));
    QVERIFY(isRed(label("label_recfuncR")));
    button("pushButton_USB")->click();  // Far Link: L and R black for every source but 0
    QVERIFY(isBlack(label("label_recfuncL")));
    window->timerInterrupt_500ms();
    QVERIFY(isBlack(label("label_recfuncR")));
    button("pushButton_MTRSource")->click();

    identify("Dorrit");
    std::fill(std::begin(recFunctionStates), std::end(recFunctionStates), uint8_t(0));
    recFunctionStates[10] = 2;  // both MAIN lamps blink
    recFunctionStates[3] = 1;
    recBlinkPhase = true;
    window->timerInterrupt_500ms();
    QVERIFY(isRed(label("label_recfuncL")) && isRed(label("label_recfuncR")));
    QVERIFY(isRed(labelN("label_recfunc", 4)));
    window->timerInterrupt_500ms();
    QVERIFY(isGrey(label("label_recfuncL")) && isGrey(label("label_recfuncR")));
    QVERIFY(isRed(labelN("label_recfunc", 4)));  // on stays on
    window->timerInterrupt_500ms();
    QVERIFY(isRed(label("label_recfuncL")));

    identify("Pellin");
    std::fill(std::begin(recFunctionStates), std::end(recFunctionStates), uint8_t(0));
    recFunctionStates[12] = 1;  // label 13 is not driven on Pellin
    recFunctionStates[14] = 1;  // the main pair is state 14
    window->timerInterrupt_500ms();
    QVERIFY(isGrey(labelN("label_recfunc", 13)));
    QVERIFY(isRed(label("label_recfuncL")));

    identify("Tarrow");
    std::fill(std::begin(recFunctionStates), std::end(recFunctionStates), uint8_t(1));
    button("pushButton_MTR")->click();  // source 3: every lamp black
    window->timerInterrupt_500ms();
    for (int n = 1; n <= 22; ++n) QVERIFY(isBlack(labelN("label_recfunc", n)));
    QVERIFY(isBlack(label("label_recfuncL")));
    button("pushButton_Analog")->click();  // source 1: channels black, main pair by state 22
    window->timerInterrupt_500ms();
    QVERIFY(isBlack(labelN("label_recfunc", 1)));
    QVERIFY(isRed(label("label_recfuncL")));
    QCOMPARE(readSetting("Meter", "Source"), QString("1"));
    button("pushButton_MTRSource")->click();
    QVERIFY(button("pushButton_MTRSource")->styleSheet().contains("#58C0FF"));
    QVERIFY(button("pushButton_Analog")->styleSheet().contains("#D8D8D8"));
    std::fill(std::begin(recFunctionStates), std::end(recFunctionStates), uint8_t(0));
  }

  // Peak-hold modes, and what a mode or source change does to held peaks;
  // at the default window size, whose scale is not 1, whatever ran before.
  void peakHold() {
    window->setMinimumSize(1120, 680);
    window->resize(1120, 680);
    QTRY_COMPARE(window->size(), QSize(1120, 680));
    QVERIFY(window->levelMeter().scaleY != 1.0f);
    identify("Tarrow");
    DrawLevelMeter& meter = window->levelMeter();
    MeterChannel* ch = window->meterChannels();
    auto feed = [&](uint16_t level, int ticks) {
      for (int k = 0; k < 24; ++k) ch[k].level = level;
      for (int t = 0; t < ticks; ++t) meter.updateMeters(ch);
    };

    button("pushButton_PeakHold3s")->click();
    QCOMPARE(meter.peakHoldMode, PeakHold::ThreeSeconds);
    QCOMPARE(meter.peakHoldTicks, 30);
    QCOMPARE(readSetting("PeakHold", "Type"), QString("2"));
    button("pushButton_PeakHoldInf")->click();
    QCOMPARE(meter.peakHoldMode, PeakHold::Infinite);
    QCOMPARE(meter.peakHoldTicks, -20);
    QVERIFY(peakLineShown(22));

    // OFF hides the lines but peaks are still tracked (with a one-second
    // hold), so 1 SEC shows the current ones at once.
    button("pushButton_PeakHoldOff")->click();
    QCOMPARE(meter.peakHoldMode, PeakHold::Off);
    QCOMPARE(meter.peakHoldTicks, 10);
    for (int n = 1; n <= 24; ++n) QVERIFY(!peakLineShown(n));
    feed(8192, 3);  // -12 dB, height 213
    button("pushButton_PeakHold1s")->click();
    QCOMPARE(meter.peakHoldMode, PeakHold::OneSecond);
    QVERIFY(button("pushButton_PeakHoldOff")->styleSheet().startsWith("background-color: #B4B4B4;"));
    QVERIFY(button("pushButton_PeakHold1s")->styleSheet().contains("#58C0FF"));
    for (int n = 1; n <= 24; ++n) QVERIFY(peakLineShown(n));
    QCOMPARE(int(meter.peakHeight(0)), 213);
    QCOMPARE(view()->shown(0).peakLine.y(), int(std::floor((546 - 213) * meter.scaleY)));

    // Infinite hold keeps a peak; a source change drops every peak to its
    // bar, which the change has put at rest.
    button("pushButton_PeakHoldInf")->click();
    feed(32767, 1);
    feed(0, 5);
    QCOMPARE(int(meter.peakHeight(0)), 340);
    QCOMPARE(int(meter.peakHeight(23)), 340);
    button("pushButton_USB")->click();
    for (int k = 0; k < 24; ++k) QCOMPARE(int(meter.peakHeight(k)), 0);
    QCOMPARE(readout(1)->text(), QString(" -inf"));
    QVERIFY(!lampLit(1));
    button("pushButton_MTRSource")->click();

    // CLEAR and metering agree: a -2.6 dB bar lights no lamp on CLEAR.
    feed(24300, 1);
    QVERIFY(!lampLit(1));
    button("pushButton_HoldClear")->click();
    QVERIFY(!lampLit(1));
    // A peak readout clears its own channel only.
    feed(32767, 1);
    feed(8192, 2);
    readout(2)->click();
    QCOMPARE(int(meter.peakHeight(1)), int(ch[1].bar));
    QCOMPARE(int(meter.peakHeight(0)), 340);
    button("pushButton_PeakHold1s")->click();
  }

  // A click on a readout, where the page shows it, clears that channel's
  // held peak and no other, for each of the 24.
  void eachReadoutClearsItsOwnPeak() {
    setClientSize(QSize(1110, 650));
    identify("Far Link");  // every channel shown
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(1);
    button("pushButton_PeakHoldInf")->click();
    DrawLevelMeter& meter = window->levelMeter();
    MeterChannel* ch = window->meterChannels();
    for (int k = 0; k < 24; ++k) ch[k].level = 32767;
    meter.updateMeters(ch);
    for (int k = 0; k < 24; ++k) ch[k].level = 0;
    for (int t = 0; t < 20; ++t) meter.updateMeters(ch);
    for (int k = 0; k < 24; ++k) {
      const QRect readout = view()->shown(k).readout;
      QVERIFY(!readout.isEmpty());
      QTest::mouseClick(view(), Qt::LeftButton, {}, readout.center() - view()->pos());
      for (int j = 0; j < 24; ++j)
        QVERIFY2(int(meter.peakHeight(j)) == (j <= k ? 0 : 340),
                 qPrintable(QString("%1 after %2").arg(j).arg(k)));
    }
    button("pushButton_PeakHold1s")->click();
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(2);
  }

  // 2220 x 1300 doubles every base coordinate and font size.
  void pagesAtTwiceTheSize() {
    identify("Tarrow");
    setClientSize(QSize(2220, 1300));
    QCOMPARE(window->levelMeter().scaleMin, 2.0f);
    QCOMPARE(labelN("label_recfunc", 13)->geometry(), QRect(1046, 1140, 120, 34));
    QCOMPARE(labelN("label_recfunc", 13)->font().pixelSize(), 32);
    QCOMPARE(view()->shown(0).readout, QRect(74, 1092, 82, 42));
    QCOMPARE(readout(1)->font().pixelSize(), 26);
    QCOMPARE(button("pushButton_PeakHoldInf")->geometry(), QRect(394, 162, 100, 80));
    QCOMPARE(button("pushButton_PeakHoldInf")->font().pixelSize(), 48);
    QCOMPARE(button("pushButton_MTR")->geometry(), QRect(1828, 218, 346, 42));
    QCOMPARE(label("label_bgMSText")->geometry(), QRect(1710, 110, 212, 38));
    QCOMPARE(label("label_bgMSText")->font().pixelSize(), 28);
    QCOMPARE(label("label_bg")->geometry(), QRect(0, 0, 2220, 1300));
    QCOMPARE(label("label_bg")->pixmap(Qt::ReturnByValue).size(), QSize(2220, 1300));
    QCOMPARE(labelN("label_barMask", 1)->geometry(), QRect(1092, 410, 32, 684));
    QCOMPARE(label("label_BufferSize")->geometry(), QRect(1620, 714, 300, 32));
    // A wider window: the headings move right by d = scaleX - scaleY.
    setClientSize(QSize(2220, 650));
    QCOMPARE(label("label_bgPHText")->x(), int(120 * 2.0f + 71 * 1.0f));
    QCOMPARE(label("label_bgPHText")->width(), 88);
    setClientSize(QSize(1110, 650));
    QCOMPARE(labelN("label_recfunc", 13)->geometry(), QRect(523, 570, 60, 17));
    window->setMinimumSize(1120, 680);
    window->resize(1120, 680);
  }

  // What a user sees at the default window size: every caption inside its
  // widget, bold captions bold, no light edge around the pages.
  void captionsFitAndEdgesAreDark() {
    identify("Tarrow");
    window->resize(1120, 680);
    QTest::qWait(50);
    for (const char* name :
         {"pushButton_PeakHoldOff", "pushButton_PeakHold1s", "pushButton_PeakHold3s", "pushButton_HoldClear",
          "pushButton_MTRSource", "pushButton_Analog", "pushButton_USB", "pushButton_MTR", "label_bgPHText",
          "label_bgMSText", "label_recfunc13", "label_recfuncL", "pushButton_peakText1"}) {
      QWidget* w = widget(name);
      const QString text = w->property("text").toString();
      const int advance = QFontMetrics(w->font()).horizontalAdvance(text);
      QVERIFY2(
          advance <= w->width(),
          qPrintable(QString("%1: \"%2\" needs %3 px of %4").arg(name, text).arg(advance).arg(w->width())));
    }
    QVERIFY(readout(1)->text().size() <= 5);
    for (const char* name : {"pushButton_HoldClear", "label_btnMeter", "label_btnInfo", "pushButton_Meter",
                             "pushButton_Information", "label_recfunc1"}) {
      QVERIFY2(widget(name)->font().weight() == QFont::Bold, name);
    }
    const QImage page = window->centralWidget()->grab().toImage();
    for (const QPoint& p : {QPoint(page.width() - 1, page.height() / 2),
                            QPoint(page.width() / 2, page.height() - 1), QPoint(0, page.height() / 2)}) {
      QVERIFY2(qGray(page.pixel(p)) < 64, qPrintable(QString("light pixel at %1,%2").arg(p.x()).arg(p.y())));
    }
  }

  // The buffer-size handle grows with the window (what the user sees of the
  // slider's scaled style): about 14 px across at the default size, twice
  // that at twice the size.
  void sliderHandleScales() {
    auto* slider = window->findChild<QSlider*>("horizontalSlider_BufferSize");
    auto handleWidth = [slider] {
      const QImage image = slider->grab().toImage();
      int blue = 0;
      for (int x = 0; x < image.width(); ++x) {
        const QColor c(image.pixel(x, image.height() / 2));
        if (c.blue() > 200 && c.red() < 100) ++blue;
      }
      return blue;
    };
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(0);
    setClientSize(QSize(1110, 650));
    const int base = handleWidth();
    QVERIFY2(base >= 11 && base <= 14, qPrintable(QString::number(base)));
    setClientSize(QSize(2220, 1300));
    const int twice = handleWidth();
    QVERIFY2(twice >= 2 * base - 2 && twice <= 2 * base + 2, qPrintable(QString::number(twice)));
    setClientSize(QSize(1110, 650));
    window->setMinimumSize(1120, 680);
    window->resize(1120, 680);
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(2);
  }

  // The buffer size lives in the driver's own settings; a value that is
  // not exactly one of the sizes becomes 256.
  void bufferSizeFromTheDriversSettings_data() {
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("kept");
    QTest::newRow("2048") << QVariant(2048) << 10 << 2048;
    QTest::newRow("4") << QVariant(4) << 0 << 4;
    QTest::newRow("96 is no size") << QVariant(96) << 7 << 256;
    QTest::newRow("2^32 + 8 is not 8") << QVariant(qlonglong(4294967304LL)) << 7 << 256;
    QTest::newRow("-4294967040 is not 256") << QVariant(qlonglong(-4294967040LL)) << 7 << 256;
    QTest::newRow("text") << QVariant("512 frames") << 7 << 256;
    QTest::newRow("missing") << QVariant() << 7 << 256;
  }

  void bufferSizeFromTheDriversSettings() {
    QFETCH(QVariant, stored);
    QFETCH(int, position);
    QFETCH(int, kept);
    QScopedPointer<QSettings> driver(newBufferSizeSettings());
#ifndef Q_OS_WIN
    QVERIFY(driver->fileName().endsWith("/KORVEL/Brevanta/ASIODRIVER.conf"));
#endif
    if (stored.isValid())
      driver->setValue("blockFrames", stored);
    else
      driver->remove("blockFrames");
    driver->sync();
    {
      MainWindow other;  // reads the size at construction
      QCOMPARE(other.findChild<QSlider*>("horizontalSlider_BufferSize")->value(), position);
      QCOMPARE(other.findChild<QLabel*>("label_BufferSize")->text(), QString("%1 samples").arg(kept));
    }
    driver->sync();
    QCOMPARE(driver->value("blockFrames").toLongLong(), qlonglong(kept));
  }

  // Whatever moves the handle (a drag, a click on the groove, a key), the
  // handle, its label and the stored size name the same size.
  void bufferSizeHandleLabelAndStoreAgree() {
    QScopedPointer<QSettings> driver(newBufferSizeSettings());
    auto* slider = window->findChild<QSlider*>("horizontalSlider_BufferSize");
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(0);
    auto agree = [&](const char* step) {
      driver->sync();
      const int size = MainWindowLogic::kBufferSizes[slider->value()];
      QVERIFY2(label("label_BufferSize")->text() == QString("%1 samples").arg(size), step);
      QVERIFY2(driver->value("blockFrames").toInt() == size, step);
    };
    slider->setSliderDown(true);
    slider->setSliderPosition(10);  // dragged to 2048
    slider->setSliderDown(false);
    QCOMPARE(slider->value(), 10);
    agree("drag");
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(3, slider->height() / 2));
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(3, slider->height() / 2));
    QVERIFY(slider->value() < 10);
    agree("clicks on the groove");
    QTest::keyClick(slider, Qt::Key_Right);
    agree("arrow key");
    QTest::keyClick(slider, Qt::Key_Home);
    QCOMPARE(slider->value(), 0);
    agree("home key");
    window->on_horizontalSlider_BufferSize_sliderMoved(11);  // past the table: the default
    QCOMPARE(slider->value(), 7);
    agree("past the table");
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(2);
  }

  // The sizes under the slider's ticks: readable, centred on their ticks,
  // none running into its neighbour, at the default size and at twice it.
  void bufferSizeScaleLabels() {
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(0);
    auto* scale = window->findChild<BufferSizeScale*>("bufferSizeScale");
    QVERIFY(scale);
    for (const QSize client : {QSize(1110, 650), QSize(2220, 1300)}) {
      setClientSize(client);
      const float s = window->levelMeter().scaleMin;
      QCOMPARE(scale->labelCount(), 11);
      QVERIFY2(scale->labelFont().pixelSize() >= int(10 * s),
               qPrintable(QString::number(scale->labelFont().pixelSize())));
      const QRect backdrop = label("label_sliderBg")->geometry();
      const QFontMetrics metrics(scale->labelFont());
      for (int i = 0; i < 11; ++i) {
        const QRect r = scale->labelRect(i);
        const QString text = QString::number(MainWindowLogic::kBufferSizes[i]);
        QVERIFY(r.width() >= metrics.horizontalAdvance(text));
        QVERIFY2(qAbs(r.center().x() - scale->tickX(i)) <= 1, qPrintable(text));
        QVERIFY(r.top() >= backdrop.top() + backdrop.height() / 2);
        QVERIFY(scale->geometry().contains(r));
        if (i > 0) QVERIFY2(r.left() - scale->labelRect(i - 1).right() > int(2 * s), qPrintable(text));
      }
      // The ticks are the backdrop's: the first and the last 7 base pixels in.
      QCOMPARE(scale->tickX(0), backdrop.x() + int(std::lround(7 * s)));
      QCOMPARE(scale->tickX(10), backdrop.x() + int(std::lround(346 * s)));
    }
    setClientSize(QSize(1110, 650));
    window->setMinimumSize(1120, 680);
    window->resize(1120, 680);
    window->findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(2);
  }

  // A stored meter source or peak-hold type out of range starts as the
  // default (0), its button lit, and the main meters routed as for it.
  void outOfRangeStoredChoicesAreTheDefault() {
    writeSetting("Meter", "Source", 7);
    writeSetting("PeakHold", "Type", 9);
    MainWindow other;
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    auto lit = [&other](const char* name) {
      auto* b = other.findChild<QPushButton*>(name);
      const QColor c(b->grab().toImage().pixel(b->width() / 2, 2));
      return c.blue() > 200 && c.red() < 120;  // the selected blue
    };
    QVERIFY(lit("pushButton_MTRSource"));
    QVERIFY(!lit("pushButton_Analog") && !lit("pushButton_USB") && !lit("pushButton_MTR"));
    QVERIFY(lit("pushButton_PeakHoldOff"));
    QVERIFY(!lit("pushButton_PeakHold1s") && !lit("pushButton_PeakHoldInf"));
    QCOMPARE(other.levelMeter().peakHoldMode, PeakHold::Off);
    QCOMPARE(readSetting("PeakHold", "Type"), QString("0"));
    // Source 0 greys the channels' rec lamps (another source blacks them).
    QVERIFY(isGrey(other.findChild<QLabel*>("label_recfunc1")));
    writeSetting("Meter", "Source", 0);
    writeSetting("PeakHold", "Type", 1);
  }

  // The reminder shows at every start until its box is checked.
  void asioReminder() {
    int shown = 0;
    bool check = false;
    QString text;
    auto answer = [&] {
      QTimer::singleShot(300, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        ++shown;
        text = box->text();
        if (auto* c = box->findChild<QCheckBox*>()) {
          QCOMPARE(c->text(), QString("Do not show again"));
          c->click();  // toggling must not close the box
          if (!check) c->click();
        }
        QVERIFY(box->isVisible());
        box->accept();
      });
    };
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    writeSetting("PopupMessage", "WakeUp", true);
    answer();
    { MainWindow w; }
    QCOMPARE(shown, 1);
    QVERIFY(text.contains("'Brevanta ASIO'"));
    QCOMPARE(readSetting("PopupMessage", "WakeUp"), QString("true"));
    check = true;
    answer();
    { MainWindow w; }
    QCOMPARE(shown, 2);
    QCOMPARE(readSetting("PopupMessage", "WakeUp"), QString("false"));
    answer();
    { MainWindow w; }
    QTest::qWait(400);
    QCOMPARE(shown, 2);
  }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
