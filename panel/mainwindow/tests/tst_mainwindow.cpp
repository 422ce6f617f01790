// The main window without a unit: start-up state and texts, the information
// texts from device answers, model identification, rec-function answers and
// the default geometry.
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QtTest>

#include "mainwindow.h"
#include "settingsstore.h"
#include "vxfacade.h"

class TestMainWindow : public QObject {
  Q_OBJECT

  MainWindow* window = nullptr;

  QLabel* label(const char* name) const { return window->findChild<QLabel*>(name); }
  QWidget* widget(const char* name) const { return window->findChild<QWidget*>(name); }
  int page() const { return window->findChild<QStackedWidget*>("stackedWidget")->currentIndex(); }

 private slots:
  void initTestCase() {
    writeSetting("PopupMessage", "WakeUp", false);  // no reminder to click away
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
    for (const char* name : {"pushButton_Meter", "label_textSerialNumber", "label_SerialNumber",
                             "label_Tarrow_info", "label_Quenby_info", "label_Pellin_info",
                             "label_Dorrit_info", "label_Tarrowphoto", "label_FarLinkphoto"}) {
      QVERIFY2(widget(name)->isHidden(), name);
    }
    QCOMPARE(currentDeviceName, QString("No Device"));
    // Without a unit the 100 ms tick keeps the not-connected page.
    QTest::qWait(400);
    QCOMPARE(page(), 2);
    QVERIFY(deviceLostShown);
  }

  void formHoldsEveryNamedWidget() {
    const char* const names[] = {"label_btnInfo",
                                 "pushButton_Information",
                                 "label_btnMeter",
                                 "label_textSWVer",
                                 "label_textFWVer",
                                 "label_textSamplerate",
                                 "label_textBuffersize",
                                 "label_BufferSize",
                                 "horizontalSlider_BufferSize",
                                 "label_bg",
                                 "label_KORVEL_meter",
                                 "label_KORVEL_dead",
                                 "label_bgPHText",
                                 "label_bgPHL",
                                 "label_bgMSText",
                                 "label_bgMSL",
                                 "pushButton_MTRSource",
                                 "pushButton_Analog",
                                 "pushButton_USB",
                                 "pushButton_MTR",
                                 "pushButton_PeakHoldOff",
                                 "pushButton_PeakHold1s",
                                 "pushButton_PeakHold3s",
                                 "pushButton_PeakHoldInf",
                                 "pushButton_HoldClear",
                                 "label_meter_mainL",
                                 "label_meter_mainR",
                                 "label_peakL",
                                 "label_peakR",
                                 "pushButton_peakTextL",
                                 "pushButton_peakTextR",
                                 "label_PeakIndL",
                                 "label_PeakIndR",
                                 "label_recfuncL",
                                 "label_recfuncR",
                                 "label_Tarrow_meter",
                                 "label_Quenby_meter",
                                 "label_Pellin_meter",
                                 "label_Dorrit_meter",
                                 "label_FarLink_meter",
                                 "scrollArea",
                                 "MODELInfo",
                                 "MODELMeter",
                                 "MODELDead"};
    for (const char* name : names) QVERIFY2(widget(name), name);
    for (int n = 1; n <= 22; ++n) {
      for (const char* prefix :
           {"label_meter", "label_peak", "pushButton_peakText", "label_PeakInd", "label_recfunc"}) {
        const QByteArray name = QByteArray(prefix) + QByteArray::number(n);
        QVERIFY2(widget(name.constData()), name.constData());
      }
    }
    for (int n = 1; n <= 5; ++n)
      QVERIFY(widget(QByteArray("label_barMask" + QByteArray::number(n)).constData()));
    for (const char* name : {"actionDefaultSize", "actionMaximum", "actionMinimum", "actionUpdate",
                             "actionProduct_Information", "actionFAQ", "actionKORVEL_ID", "actionManual",
                             "actionLicense", "actionKORVEL_Brevanta", "actionAbout"}) {
      QVERIFY2(window->findChild<QAction*>(name), name);
    }
    QCOMPARE(window->findChild<QMenu*>("menuWindow")->title(), QString("Window"));
    QCOMPARE(window->findChild<QPushButton*>("pushButton_PeakHoldInf")->text(), QString::fromUtf8("∞"));
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
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
