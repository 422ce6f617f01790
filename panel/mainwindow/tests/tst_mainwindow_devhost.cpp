// The main window against a real korvel-devhost: not connected without a
// host, then identification of every model, the information page texts, and
// unplug / plug of the unit.
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTimer>
#include <QtTest>

#include "devhostprocess.h"
#include "mainwindow.h"
#include "meterview.h"
#include "settingsstore.h"
#include "vxfacade.h"

namespace {

// Generous bounds: these wait for the window's own timers and a real host,
// they do not measure them.
constexpr int kConnectMs = 20000;
constexpr int kChangeMs = 20000;

const QStringList kRateTexts = {"44.1 kHz", "48 kHz", "88.2 kHz", "96 kHz", "176.4 kHz", "192 kHz"};

}  // namespace

class TestMainWindowDevhost : public QObject {
  Q_OBJECT

  MainWindow* window = nullptr;
  DevhostProcess host;

  QLabel* label(const char* name) const { return window->findChild<QLabel*>(name); }
  QWidget* widget(const char* name) const { return window->findChild<QWidget*>(name); }
  int page() const { return window->findChild<QStackedWidget*>("stackedWidget")->currentIndex(); }
  // The window's timer of the given interval (its 100, 500 and 1000 ms ticks).
  QTimer* tick(int ms) const {
    for (QTimer* t : window->findChildren<QTimer*>()) {
      if (t->interval() == ms && t->isActive()) return t;
    }
    return nullptr;
  }

 private slots:
  void initTestCase() {
    writeSetting("PopupMessage", "WakeUp", false);                       // no reminder to click away
    writeSetting("Update", "JsonUrl", "https://127.0.0.1:9/none.json");  // no lookup of the maker's site
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
  }

  void cleanupTestCase() {
    delete window;
    host.stop();
  }

  void notConnectedWithoutHost() {
    // A 1000 ms tick and a few 100 ms ticks have run without a host.
    QSignalSpy seconds(tick(1000), &QTimer::timeout);
    QSignalSpy tenths(tick(100), &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(seconds.count() >= 1 && tenths.count() >= 5, kChangeMs);
    QCOMPARE(page(), 2);
    QCOMPARE(label("label_DeadBg")->text(), QString("Device is not connected"));
    QVERIFY(widget("pushButton_Meter")->isHidden());
  }

  void tarrowIsIdentified() {
    QVERIFY2(host.start({"--model", "Tarrow"}), qPrintable(host.error()));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 0, kConnectMs);
    QTRY_COMPARE_WITH_TIMEOUT(label("label_Device")->text(), QString("Tarrow"), kConnectMs);
    QTRY_COMPARE_WITH_TIMEOUT(label("label_FWVer")->text(), QString("V1.05 0042"), kConnectMs);
    QTRY_VERIFY_WITH_TIMEOUT(kRateTexts.contains(label("label_Samplerate")->text()), kConnectMs);
    QTRY_VERIFY_WITH_TIMEOUT(!widget("label_SerialNumber")->isHidden(), kConnectMs);
    QTRY_VERIFY_WITH_TIMEOUT(label("label_SerialNumber")->text() != QLatin1String("1234567"), kConnectMs);
    QVERIFY(!widget("label_textSerialNumber")->isHidden());
    QVERIFY(!widget("pushButton_Meter")->isHidden());
    QVERIFY(!widget("label_Tarrow_info")->isHidden());
    QVERIFY(!widget("label_Tarrowphoto")->isHidden());
    QCOMPARE(window->levelMeter().meterGeometry(), &kModelPages[ModelTarrow].meters);
  }

  // Live meters of a Tarrow: the bars move, the clipping input lights its
  // lamp, and a connected unit is never deselected (each deselect costs a
  // device search).
  void tarrowMetersMove() {
    QSignalSpy deselects(&globalVXDevice(), &QVXDevice::sig_deselect);
    window->findChild<QPushButton*>("pushButton_Meter")->click();
    window->findChild<QPushButton*>("pushButton_Analog")->click();  // the inputs; input 1 clips
    auto* view = window->findChild<MeterView*>("meterView");
    QTRY_VERIFY_WITH_TIMEOUT(!view->shown(0).clipLamp.isEmpty(), kChangeMs);
    QVERIFY(view->isVisible());
    QVERIFY(!view->isStale());
    // Bars stand at different heights and change from tick to tick; the
    // silent last input stays at rest.
    const MeterChannel* channels = window->meterChannels();
    QSet<int> heights;
    QSet<int> first;
    for (int k = 0; k < 21; ++k) first.insert(view->shown(k).bar.height());
    bool moved = false;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          for (int k = 0; k < 21; ++k) {
            const int h = view->shown(k).bar.height();
            heights.insert(h);
            moved = moved || !first.contains(h);
          }
          return moved && heights.size() >= 5;
        }(),
        kChangeMs);
    QCOMPARE(int(channels[21].bar), 0);
    QTest::qWait(3000);
    QCOMPARE(deselects.count(), 0);
    window->findChild<QPushButton*>("pushButton_MTRSource")->click();
    window->findChild<QPushButton*>("pushButton_Information")->click();
  }

  // A unit that stops answering: the meter page says so (grey meters, a
  // note) and is live again with the next answer.
  void silentUnitShowsNoMeterData() {
    auto* view = window->findChild<MeterView*>("meterView");
    window->findChild<QPushButton*>("pushButton_Meter")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!view->isStale(), kChangeMs);
    // One transfer that times out (3 s) leaves the meters over a second
    // without an answer.
    QVERIFY2(host.command("stall-timeout 1"), qPrintable(host.error()));
    QTRY_VERIFY_WITH_TIMEOUT(view->isStale(), kChangeMs);
    QVERIFY(!view->noteRect().isEmpty());
    QVERIFY(view->shown(0).clipLamp.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!view->isStale(), kChangeMs);
    QVERIFY(view->noteRect().isEmpty());
  }

  // From `model Quenby` on: while the unit's identity is gone nothing of
  // the Tarrow shows, and once the Quenby is identified its heading,
  // captions and meter layout show at once.
  void modelChangeShowsNothingOfTheOldModel() {
    QTRY_COMPARE_WITH_TIMEOUT(label("label_Device")->text(), QString("Tarrow"), kChangeMs);
    window->findChild<QPushButton*>("pushButton_Meter")->click();
    auto* analog = window->findChild<QPushButton*>("pushButton_Analog");
    auto* view = window->findChild<MeterView*>("meterView");
    QTRY_VERIFY_WITH_TIMEOUT(!view->isStale(), kChangeMs);
    QVERIFY2(host.command("model Quenby"), qPrintable(host.error()));
    QElapsedTimer clock;
    clock.start();
    int quenbySamples = 0;
    while (quenbySamples < 40 && clock.elapsed() < kChangeMs) {
      const QString device = label("label_Device")->text();
      if (device != QLatin1String("Tarrow")) QVERIFY(widget("label_Tarrow_meter")->isHidden());
      if (device == QLatin1String("Quenby")) {
        // Before Quenby's first meter answer its page shows no level of
        // the Tarrow's.
        if (view->isStale()) {
          for (int k = 0; k < 24; ++k) QCOMPARE(view->shown(k).bar.height(), 0);
        }
        ++quenbySamples;
        QVERIFY(!widget("label_Quenby_meter")->isHidden());
        QCOMPARE(analog->text(), QString("LIVE INPUT"));
        QVERIFY(widget("label_SerialNumber")->isHidden());
      }
      QTest::qWait(5);
    }
    QCOMPARE(quenbySamples, 40);
    QVERIFY2(host.command("model Tarrow"), qPrintable(host.error()));
    QTRY_COMPARE_WITH_TIMEOUT(label("label_Device")->text(), QString("Tarrow"), kChangeMs);
    window->findChild<QPushButton*>("pushButton_Information")->click();
  }

  void eachModel_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("widgetName");
    QTest::addColumn<bool>("serial");
    QTest::addColumn<int>("geometryOf");  // the model whose meter geometry shows
    QTest::newRow("Quenby") << "Quenby"
                            << "Quenby" << false << int(ModelQuenby);
    QTest::newRow("Pellin") << "Pellin"
                            << "Pellin" << false << int(ModelPellin);
    QTest::newRow("Dorrit") << "Dorrit"
                            << "Dorrit" << false << int(ModelDorrit);
    QTest::newRow("Far Link") << "Far Link"
                              << "FarLink" << true << int(ModelFarLink);
    QTest::newRow("Tarrow") << "Tarrow"
                            << "Tarrow" << true << int(ModelTarrow);
  }

  void eachModel() {
    QFETCH(QString, model);
    QFETCH(QString, widgetName);
    QFETCH(bool, serial);
    QFETCH(int, geometryOf);
    QVERIFY2(host.command("model " + model), qPrintable(host.error()));
    QTRY_COMPARE_WITH_TIMEOUT(label("label_Device")->text(), model, kChangeMs);
    QTRY_COMPARE_WITH_TIMEOUT(page(), 0, kChangeMs);
    // The 1000 ms tick applies the model's widgets.
    QTRY_VERIFY_WITH_TIMEOUT(!widget(qPrintable("label_" + widgetName + "_info"))->isHidden(), kChangeMs);
    QVERIFY(!widget(qPrintable("label_" + widgetName + "photo"))->isHidden());
    QVERIFY(!widget(qPrintable("label_" + widgetName + "_meter"))->isHidden());
    for (const char* other : {"Tarrow", "Quenby", "Pellin", "Dorrit", "FarLink"}) {
      if (widgetName == QLatin1String(other)) continue;
      QVERIFY2(widget(qPrintable(QString("label_%1_info").arg(other)))->isHidden(), other);
      QVERIFY2(widget(qPrintable(QString("label_%1photo").arg(other)))->isHidden(), other);
    }
    QCOMPARE(window->levelMeter().meterGeometry(), &kModelPages[geometryOf].meters);
    QTRY_COMPARE_WITH_TIMEOUT(!widget("label_SerialNumber")->isHidden(), serial, kChangeMs);
    QCOMPARE(!widget("label_textSerialNumber")->isHidden(), serial);
    // The serial labels stay hidden for the three mixers once the unit has
    // answered the serial-number request of the tick that showed the model.
    QSignalSpy serials(&globalVXDevice(), &QVXDevice::sig_recv_serialnumber);
    QTRY_VERIFY_WITH_TIMEOUT(serials.count() >= 1, kChangeMs);
    QCOMPARE(!widget("label_SerialNumber")->isHidden(), serial);
    QTRY_COMPARE_WITH_TIMEOUT(label("label_FWVer")->text(), QString("V1.05 0042"), kChangeMs);
    QTRY_VERIFY_WITH_TIMEOUT(kRateTexts.contains(label("label_Samplerate")->text()), kChangeMs);
  }

  void unplugAndPlug() {
    // From the meter page: losing the unit shows the not-connected page,
    // finding it again the information page.
    window->findChild<QPushButton*>("pushButton_Meter")->click();
    QCOMPARE(page(), 1);
    QVERIFY2(host.command("unplug"), qPrintable(host.error()));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, kChangeMs);
    QTRY_VERIFY_WITH_TIMEOUT(widget("pushButton_Meter")->isHidden(), kChangeMs);
    QTRY_COMPARE_WITH_TIMEOUT(currentDeviceName, QString("No Device"), kChangeMs);

    QVERIFY2(host.command("plug"), qPrintable(host.error()));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 0, kChangeMs);
    QTRY_COMPARE_WITH_TIMEOUT(label("label_Device")->text(), QString("Tarrow"), kChangeMs);
    QTRY_VERIFY_WITH_TIMEOUT(!widget("label_Tarrow_info")->isHidden(), kChangeMs);
  }
};

QTEST_MAIN(TestMainWindowDevhost)
#include "tst_mainwindow_devhost.moc"
