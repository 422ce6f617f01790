// The update controller with its worker against a real HTTPS server on
// loopback: version rules and suppression, the panel, firmware and
// information boxes (their links open in the browser), unusable documents and
// version keys of the wrong type, the Far Link document switch (also to a
// document without its entry), the download windows with progress (a busy bar
// for an unknown size), cancel (also as the download completes) and timeout,
// an unpack that stalls, the failure box, the whole flow to a started
// installer (never a firmware updater for a model that another took the
// place of), and the texts in every language; a message far beyond the bound is cut
// before it is laid out, and its "do not show again" answer is stored small.
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "constants.h"
#include "settingsstore.h"
#include "ui_informationbox.h"
#include "updateinformation.h"
#include "updatesoftware.h"
#include "updatetestenv.h"
#include "updatetexts.h"

namespace {

QByteArray document(int softMajor, int softMinor, int fwMajor, int fwMinor,
                    const QString& extra = QString()) {
  const QString model = QString(
                            "{\"windows_software_version_major\": %1, \"windows_software_version_minor\": %2,"
                            " \"firmware_version_major\": %3, \"firmware_version_minor\": %4%5}")
                            .arg(softMajor)
                            .arg(softMinor)
                            .arg(fwMajor)
                            .arg(fwMinor)
                            .arg(extra);
  return QString("{\"Tarrow_version1\": %1, \"FarLink_version1\": %1}").arg(model).toUtf8();
}

// The document with `english` as the information message of both models.
QByteArray withMessage(const QByteArray& doc, const QString& english) {
  QJsonObject top = QJsonDocument::fromJson(doc).object();
  for (const QString& key : top.keys()) {
    QJsonObject model = top.value(key).toObject();
    model.insert("messages", QJsonObject{{"English", english}});
    top.insert(key, model);
  }
  return QJsonDocument(top).toJson(QJsonDocument::Compact);
}

QString settingsFilePath() {
  std::unique_ptr<QSettings> settings(newPanelSettings());
  return settings->fileName();
}

}  // namespace

// Stands for the browser: takes the addresses the desktop would open.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void open(const QUrl& url) { urls << url; }
};

class TestUpdateSoftware : public QObject {
  Q_OBJECT

  UpdateTestEnv env;
  StartedInstallers started;  // by every controller's worker
  int documents = 0;

  // A controller on a document served at a fresh address, after its arrival.
  std::unique_ptr<UpdateSoftware> start(const QByteArray& doc, QString* path = nullptr) {
    const QString p = QString("/doc-%1.json").arg(++documents);
    env.server->route(p, doc);
    if (path) *path = p;
    writeSetting("Update", "JsonUrl", env.server->url(p));
    std::unique_ptr<UpdateSoftware> sw(new UpdateSoftware(0, false));
    started.watch(sw->updateWorker());
    QElapsedTimer t;
    t.start();
    while (sw->waitingForDocument() && t.elapsed() < 10000) QTest::qWait(10);
    if (sw->waitingForDocument()) qWarning("the document did not arrive");
    return sw;
  }

  // Closes the failure box once it shows (it runs modally) and keeps its text.
  void answerFailureBox(UpdateSoftware* sw, QString* text) {
    auto* timer = new QTimer(sw);
    connect(timer, &QTimer::timeout, sw, [sw, text, timer] {
      if (!sw->failureBox().isVisible()) return;
      *text = sw->failureBox().text();
      sw->failureBox().button(QMessageBox::Ok)->click();
      timer->deleteLater();
    });
    timer->start(20);
  }

  // Returns once the controller's worker has handled everything asked of it
  // so far and its answers have been handled here.
  static void settle(UpdateSoftware* sw) {
    QMetaObject::invokeMethod(
        sw->updateWorker(), [] {}, Qt::BlockingQueuedConnection);
    QCoreApplication::processEvents();
  }

  static QString shown(InformationBox& box) { return box.ui->textMessage->toPlainText(); }

 private slots:
  void initTestCase() { QVERIFY2(env.setUp(), "openssl or the loopback servers are not available"); }

  void init() {
    started.clear();
    saveSoftDialog(QString());
    saveFirmDialog(QString());
    saveInfoDialog(QString());
  }

  void versionRules() {
    const QString c = softwareVersionShort;
    QCOMPARE(c, QString("2.20"));
    QVERIFY(isNewerVersion(c, "2", "21"));
    QVERIFY(!isNewerVersion(c, "2", "20"));
    QVERIFY(isNewerVersion(c, "3", "00"));
    QVERIFY(!isNewerVersion(c, "2", "05"));
    QVERIFY(!isNewerVersion(c, "10", "00"));  // only the first digit counts
    QVERIFY(!isNewerVersion("3.00", "2", "99"));
    QVERIFY(isNewerVersion("x.yz", "0", "01"));  // no number counts as 0
    QVERIFY(suppressesVersion("2.21", "2", "21"));
    QVERIFY(!suppressesVersion("2.21", "2", "22"));
    QVERIFY(!suppressesVersion("2.21", "3", "00"));
    QVERIFY(suppressesVersion("3.00", "2", "50"));
    QVERIFY(!suppressesVersion("", "2", "21"));
  }

  void panelOfferAndItsSuppression() {
    auto sw = start(document(2, 21, 0, 0));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 0);
    QVERIFY(!sw->hasUpdate());  // a box is open
    const QString text = shown(sw->softwareDialog());
    QVERIFY2(text.contains("Settings Panel has been released"), qPrintable(text));
    QVERIFY2(text.contains("Current Version: 2.20\nLatest Version: 2.21"), qPrintable(text));
    sw->softwareDialog().ui->dontShowCheckBox->setChecked(true);
    sw->softwareDialog().ui->noButton->click();
    QVERIFY(!sw->softwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 2);
    QCOMPARE(loadSoftDialog(), QString("2.21"));
    QVERIFY(sw->hasUpdate());
    // The manual check clears the stored answer and offers the same version again.
    saveSoftDialog(QString());
    sw->checkSoft();
    QVERIFY(sw->softwareDialog().isVisible());
    sw->softwareDialog().ui->noButton->click();
    sw.reset();

    saveSoftDialog("2.21");
    sw = start(document(2, 21, 0, 0));
    settle(sw.get());
    QVERIFY(!sw->softwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 2);
    sw = start(document(2, 22, 0, 0));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
  }

  void noPanelOfferForOlderOrEqualVersions_data() {
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::newRow("equal") << 2 << 20;
    QTest::newRow("minor 5 is 05") << 2 << 5;
    QTest::newRow("major 10 reads as 1") << 10 << 0;
  }
  void noPanelOfferForOlderOrEqualVersions() {
    QFETCH(int, major);
    QFETCH(int, minor);
    auto sw = start(document(major, minor, 0, 0));
    settle(sw.get());
    QVERIFY(!sw->softwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 2);
    QVERIFY(!sw->hasUpdate());
  }

  void unusableDocumentsShowNothingAndAreFetchedAgain_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("not JSON") << QByteArray("<html>maintenance</html>");
    QTest::newRow("array") << QByteArray("[1, 2]");
    QTest::newRow("model not an object") << QByteArray("{\"Tarrow_version1\": 3}");
  }
  void unusableDocumentsShowNothingAndAreFetchedAgain() {
    QFETCH(QByteArray, body);
    QString path;
    auto sw = start(body, &path);
    settle(sw.get());
    QVERIFY(!sw->softwareDialog().isVisible());
    QVERIFY(!sw->informationDialog().isVisible());
    QCOMPARE(sw->currentState(), 2);
    // Ready for the next check: the Update item stays usable.
    QVERIFY(sw->hasUpdate());
    sw->checkFirm("Tarrow", "1.02 0012");
    QVERIFY(!sw->firmwareDialog().isVisible());
    // The manual check fetches the document again; now it offers an update.
    env.server->route(path, document(2, 21, 0, 0));
    sw->checkSoft();
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    QCOMPARE(env.server->requests.count(path), 2);
  }

  void versionKeysOfAnotherTypeReadAsZeroAndTheRestGoesOn_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    for (const char* key : {"windows_software_version_major", "windows_software_version_minor",
                            "firmware_version_major", "firmware_version_minor"}) {
      for (const char* value : {"\"21\"", "20.5", "1e300", "-3", "null", "[3]"})
        QTest::newRow(qPrintable(QString("%1 %2").arg(key, value))) << QString(key) << QString(value);
    }
  }
  void versionKeysOfAnotherTypeReadAsZeroAndTheRestGoesOn() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    // Newer everywhere (3.30 and 3.30 against 2.20 and 1.02): with one key
    // read as 0 that offer goes, and the other stays.
    QJsonObject model{{"windows_software_version_major", 3},
                      {"windows_software_version_minor", 30},
                      {"firmware_version_major", 3},
                      {"firmware_version_minor", 30},
                      {"messages", QJsonObject{{"English", "<b>News</b>"}}}};
    model.insert(key, "@value@");
    QByteArray doc = QJsonDocument(QJsonObject{{"Tarrow_version1", model}}).toJson();
    doc.replace("\"@value@\"", value.toUtf8());
    QVERIFY2(!QJsonDocument::fromJson(doc).isNull(), doc.constData());

    const bool software = key.startsWith("windows_software");
    const bool major = key.endsWith("major");
    auto sw = start(doc);
    // The information message is still shown.
    QTRY_VERIFY(sw->informationDialog().isVisible());
    sw->informationDialog().ui->okButton->click();
    // A major of 0 is older; a minor of 0 gives 3.00, still newer.
    const bool softwareOffered = !(software && major);
    QCOMPARE(sw->softwareDialog().isVisible(), softwareOffered);
    if (softwareOffered) {
      QVERIFY2(shown(sw->softwareDialog()).endsWith(software ? "3.00" : "3.30"),
               qPrintable(shown(sw->softwareDialog())));
      sw->softwareDialog().ui->noButton->click();
    }
    QCOMPARE(sw->currentState(), 2);
    sw->checkFirm("Tarrow", "1.02 0012");
    const bool firmwareOffered = !(!software && major);
    QCOMPARE(sw->firmwareDialog().isVisible(), firmwareOffered);
    if (firmwareOffered) {
      QVERIFY(shown(sw->firmwareDialog()).endsWith(software ? "3.30" : "3.00"));
      sw->firmwareDialog().ui->noButton->click();
    }
  }

  void failedDocumentEndsTheWait() {
    writeSetting("Update", "JsonUrl", env.untrusted->url("/doc.json"));
    UpdateSoftware sw;
    QTRY_VERIFY(!sw.waitingForDocument());
    QCOMPARE(sw.currentState(), 2);
    QVERIFY(sw.hasUpdate());
    sw.checkFirm("Tarrow", "1.02 0012");
    QVERIFY(!sw.firmwareDialog().isVisible());
  }

  void informationMessageFirmwareAndFarLinkSwitch() {
    const QString messages =
        ", \"messages\": {\"English\": \"<b>Hello</b> from KORVEL\", \"French\": \"Bonjour\"}";
    QByteArray doc = document(2, 20, 1, 2, messages);
    doc.replace(
        "\"FarLink_version1\": {\"windows_software_version_major\": 2, \"windows_software_version_minor\": "
        "20,"
        " \"firmware_version_major\": 1, \"firmware_version_minor\": 2",
        "\"FarLink_version1\": {\"windows_software_version_major\": 2, \"windows_software_version_minor\": "
        "30,"
        " \"firmware_version_major\": 1, \"firmware_version_minor\": 5");
    QString path;
    auto sw = start(doc, &path);
    // The English message, as the test's locale has none of its own.
    QTRY_VERIFY(sw->informationDialog().isVisible());
    QCOMPARE(shown(sw->informationDialog()), QString("Hello from KORVEL"));
    QVERIFY(!sw->softwareDialog().isVisible());
    sw->informationDialog().ui->dontShowCheckBox->setChecked(true);
    sw->informationDialog().ui->okButton->click();
    QCOMPARE(loadInfoDialog(), QString("<b>Hello</b> from KORVEL"));

    // No firmware box without a readable firmware version, nor for other models.
    for (const char* firmware : {"No Device", "", "V1.00"}) sw->checkFirm("Tarrow", firmware);
    sw->checkFirm("Quenby", "1.00 0001");
    QCOMPARE(sw->currentState(), 2);
    // Tarrow 1.02 is current.
    sw->checkFirm("Tarrow", "1.02 0012");
    QCOMPARE(sw->currentState(), 3);
    QVERIFY(!sw->firmwareDialog().isVisible());

    // A Far Link with the Tarrow document: the switch is asked for.
    sw->changeDeviceType(0);  // back to a pending firmware check (state 2)
    QTRY_VERIFY(!sw->waitingForDocument());
    sw->checkFirm("Far Link", "1.02 0012");
    QVERIFY(sw->needFarLinkJson);
    QVERIFY(!sw->firmwareDialog().isVisible());
    sw->changeDeviceType(1);
    sw->needFarLinkJson = false;
    QTRY_VERIFY(!sw->waitingForDocument());
    sw->checkFirm("Far Link", "1.02 0012");
    QTRY_VERIFY(sw->firmwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 1);
    const QString text = shown(sw->firmwareDialog());
    QVERIFY2(text.contains("unit firmware has been released"), qPrintable(text));
    QVERIFY2(text.contains("Current Version: 1.02\nLatest Version: 1.05"), qPrintable(text));
    // The new document offered no panel box (2.30) and no information box.
    QVERIFY(!sw->softwareDialog().isVisible());
    QVERIFY(!sw->informationDialog().isVisible());
    QCOMPARE(env.server->requests.count(path), 3);
    sw->firmwareDialog().ui->dontShowCheckBox->setChecked(true);
    sw->firmwareDialog().ui->noButton->click();
    QCOMPARE(sw->currentState(), 3);
    QCOMPARE(loadFirmDialog(), QString("1.05"));
    QVERIFY(sw->hasUpdate());

    // The stored message is not shown again.
    sw = start(doc);
    settle(sw.get());
    QVERIFY(!sw->informationDialog().isVisible());
  }

  void linkInTheInformationMessageOpensInTheBrowser() {
    const QString message =
        "Notes: <a href=\\\"https://www.korvel-audio.com/news\\\">read more</a> on our site.";
    auto sw = start(document(2, 20, 1, 2, QString(", \"messages\": {\"English\": \"%1\"}").arg(message)));
    QTRY_VERIFY(sw->informationDialog().isVisible());
    QTextBrowser* browser = sw->informationDialog().ui->textMessage;
    QCOMPARE(browser->toPlainText(), QString("Notes: read more on our site."));
    // Click into the link's text.
    QTextCursor at(browser->document());
    at.setPosition(browser->toPlainText().indexOf("read more") + 2);
    UrlCatcher browserStandIn;
    QDesktopServices::setUrlHandler("https", &browserStandIn, "open");
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, browser->cursorRect(at).center());
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(browserStandIn.urls, QList<QUrl>({QUrl("https://www.korvel-audio.com/news")}));
    // The message stays.
    QCOMPARE(browser->toPlainText(), QString("Notes: read more on our site."));
    sw->informationDialog().ui->okButton->click();
  }

  // A message reaches nothing outside the program: no local file loads as an
  // image, and only web and mail links leave the box (a file link neither
  // opens in the box nor outside it; a program's own protocol is not called).
  void informationMessageReachesNoFileAndOpensOnlyWebLinks() {
    QTemporaryDir folder;
    const QString picture = folder.filePath("picture.png");
    QImage(8, 8, QImage::Format_RGB32).save(picture);
    const QString notes = folder.filePath("notes.txt");
    QFile file(notes);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("secret notes");
    file.close();
    const QUrl local = QUrl::fromLocalFile(picture);
    const QString message =
        QString(
            "<style>@import url(%4);</style><a href=\"%3\">file</a> <a href=\"search-ms:query=x\">search</a> "
            "<a href=\"https://www.korvel-audio.com/news\">web</a> <img src=\"%1\"><img src=\"%2\">"
            "<table background=\"%1\"><tr><td background=\"%1\" "
            "style=\"background-image: url(%1)\">cell</td></tr></table><link rel=\"stylesheet\" href=\"%4\">")
            .arg(picture, local.toString(), QUrl::fromLocalFile(notes).toString(), notes);
    auto sw = start(withMessage(document(2, 20, 1, 2), message));
    QTRY_VERIFY(sw->informationDialog().isVisible());
    QTextBrowser* browser = sw->informationDialog().ui->textMessage;
    QTextDocument* text = browser->document();
    QVERIFY(text->resource(QTextDocument::ImageResource, QUrl(picture)).isNull());
    QVERIFY(text->resource(QTextDocument::ImageResource, local).isNull());
    // The program's own pictures still load.
    QVERIFY(!text->resource(QTextDocument::ImageResource, QUrl("qrc:/Resource/update/info_570x160_model.png"))
                 .isNull());

    const QString before = browser->toPlainText();
    UrlCatcher opened;
    for (const char* scheme : {"https", "file", "search-ms"})
      QDesktopServices::setUrlHandler(scheme, &opened, "open");
    for (const char* link : {"file", "search", "web"}) {
      QTextCursor at(text);
      at.setPosition(before.indexOf(QLatin1String(link)) + 1);
      QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, browser->cursorRect(at).center());
    }
    for (const char* scheme : {"https", "file", "search-ms"}) QDesktopServices::unsetUrlHandler(scheme);
    QCOMPARE(opened.urls, QList<QUrl>({QUrl("https://www.korvel-audio.com/news")}));
    QCOMPARE(browser->toPlainText(), before);
    sw->informationDialog().ui->okButton->click();
  }

  void longInformationMessageIsCutAndItsAnswerStoredSmall() {
    // A message far beyond the bound (hundreds of kilobytes): only its
    // beginning is laid out in the box.
    QString message = "<b>Start</b> of the news.";
    while (message.size() < 256 * 1024) message += " More news from KORVEL, line after line.";
    const QByteArray doc = withMessage(document(2, 20, 1, 2), message);
    auto sw = start(doc);
    QTRY_VERIFY(sw->informationDialog().isVisible());
    const QTextDocument* laidOut = sw->informationDialog().ui->textMessage->document();
    QVERIFY2(laidOut->characterCount() <= kMaxInformationHtmlChars,
             qPrintable(QString::number(laidOut->characterCount())));
    QVERIFY(shown(sw->informationDialog()).startsWith("Start of the news. More news from KORVEL"));
    const qint64 settingsBefore = QFileInfo(settingsFilePath()).size();
    sw->informationDialog().ui->dontShowCheckBox->setChecked(true);
    sw->informationDialog().ui->okButton->click();
    QVERIFY(!sw->informationDialog().isVisible());
    // The answer, not the message, went into the settings file.
    QVERIFY2(loadInfoDialog().size() < 100, qPrintable(QString::number(loadInfoDialog().size())));
    QVERIFY(QFileInfo(settingsFilePath()).size() < settingsBefore + 1024);

    // Not shown again; a message that differs only at its end (beyond what
    // the box shows) is another message.
    sw = start(doc);
    settle(sw.get());
    QVERIFY(!sw->informationDialog().isVisible());
    QString changed = message;
    changed[changed.size() - 2] = '!';
    sw = start(withMessage(document(2, 20, 1, 2), changed));
    QTRY_VERIFY(sw->informationDialog().isVisible());
    sw->informationDialog().ui->okButton->click();
    // A long message stored whole (as earlier versions did) still counts.
    saveInfoDialog(changed);
    sw = start(withMessage(document(2, 20, 1, 2), changed));
    settle(sw.get());
    QVERIFY(!sw->informationDialog().isVisible());
  }

  void informationHtmlIsCutOutsideTagsAndCharacters() {
    const QString shortMessage = "<b>Hello</b> from KORVEL";
    QCOMPARE(informationHtmlShown(shortMessage), shortMessage);
    const QString fill(kMaxInformationHtmlChars - 10, 'x');
    // The bound falls inside the link's tag: the tag goes whole.
    const QString link = fill + "<a href=\"https://www.korvel-audio.com/news\">read</a>";
    QCOMPARE(informationHtmlShown(link), fill);
    // ... and after a tag that is complete, the tag stays.
    const QString bold = fill + "<b>ok</b>" + QString(100, 'y');
    QCOMPARE(informationHtmlShown(bold), bold.left(kMaxInformationHtmlChars));
    // A character outside the basic plane is not split.
    const QString wide =
        QString(kMaxInformationHtmlChars - 1, 'x') + QString::fromUtf8("\xF0\x9F\x8E\xB5 tune");
    QCOMPARE(informationHtmlShown(wide), wide.left(kMaxInformationHtmlChars - 1));
  }

  void farLinkWithoutItsEntryStopsAskingForItsDocument() {
    // One document for both models that has only the Tarrow entry.
    QString path;
    const QJsonObject tarrow{{"firmware_version_major", 1}, {"firmware_version_minor", 2}};
    auto sw = start(QJsonDocument(QJsonObject{{"Tarrow_version1", tarrow}}).toJson(), &path);
    QCOMPARE(env.server->requests.count(path), 1);
    // The main window's ticks with a Far Link shown, each once the document
    // asked for has come.
    auto ticks = [&sw](int count) {
      for (int tick = 0; tick < count; ++tick) {
        if (sw->needFarLinkJson) {
          sw->changeDeviceType(1);
          sw->needFarLinkJson = false;
        }
        sw->checkFirm("Far Link", "1.02 0012");
        QTRY_VERIFY(!sw->waitingForDocument());
      }
    };
    // The switch, and once more from the check in the switching tick, which
    // comes before the document.
    ticks(4);
    QCOMPARE(env.server->requests.count(path), 3);
    ticks(6);
    QCOMPARE(env.server->requests.count(path), 3);
    QVERIFY(!sw->firmwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 2);
  }

  void panelAndFirmwareUpdatesRunToTheStartedInstaller() {
    env.server->route("/Brevanta_Installer_en.zip",
                      makeZip({{"Brevanta_Installer.exe", env.installers("maker"), 0100755}}));
    env.server->route("/Tarrow_FW_Updater_EN.EXE", env.installers("maker"));
    const QString urls = QString(
                             ", \"windows_software_url_en\": \"%1\", \"windows_software_url_ja\": \"%2\","
                             " \"windows_firmware_url_en\": \"%3\", \"windows_firmware_url_ja\": \"%4\"")
                             .arg(env.server->url("/Brevanta_Installer_en.zip"), env.server->url("/ja.zip"),
                                  env.server->url("/Tarrow_FW_Updater_EN.EXE"), env.server->url("/ja.exe"));
    auto sw = start(document(2, 21, 1, 10, urls));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    sw->softwareDialog().ui->okButton->click();
    QCOMPARE(sw->currentState(), 0);
    QTRY_VERIFY(sw->downloadButton() && sw->downloadButton()->text() == "OK");
    QVERIFY(!sw->downloadProgressBar());
    sw->downloadButton()->click();
    settle(sw.get());
    QCOMPARE(started.taken().size(), 1);
    QVERIFY(started.taken()[0].path.endsWith("Brevanta_Installer.exe"));
    QTRY_VERIFY(!sw->downloadWindow());
    QCOMPARE(sw->currentState(), 0);
    QVERIFY(!sw->hasUpdate());

    // The firmware: after the panel check settles.
    sw = start(document(2, 20, 1, 10, urls));
    sw->checkFirm("Tarrow", "1.02 0012");
    QVERIFY(sw->firmwareDialog().isVisible());
    sw->firmwareDialog().ui->okButton->click();
    QCOMPARE(sw->currentState(), 1);
    QTRY_VERIFY(sw->downloadButton() && sw->downloadButton()->text() == "OK");
    sw->downloadButton()->click();
    settle(sw.get());  // the start was queued to the worker
    sw.reset();
    QCOMPARE(started.taken().size(), 2);
    QVERIFY(started.taken()[1].path.endsWith("temp.exe"));
    QVERIFY(!env.server->requests.contains("/ja.zip"));
    QVERIFY(!env.server->requests.contains("/ja.exe"));
  }

  // A firmware update offered for one model never starts on a unit of
  // another model that took its place: not from the box, not from a download
  // under way, not from the download-complete window. A unit that is away for
  // a moment keeps the offer, which cannot be started meanwhile.
  void firmwareOfferForOneModelNeverStartsOnAnother() {
    env.server->route("/Tarrow_FW_Updater.EXE", env.installers("maker"));
    env.server->route("/slow_fw.exe",
                      HttpsServer::Response{200, QByteArray(64 * 1024, 'x'), HttpsServer::HalfThenStall});
    const auto firmwareAt = [this](const QString& path) {
      return document(2, 20, 1, 10,
                      QString(", \"windows_firmware_url_en\": \"%1\"").arg(env.server->url(path)));
    };
    QString failure;
    const auto offered = [](UpdateSoftware* sw) {
      sw->checkFirm("Tarrow", "1.02 0012");
      return sw->firmwareDialog().isVisible() && sw->currentState() == 1;
    };

    // The box open when the model changes: it closes, and the check runs
    // again for the model shown.
    auto sw = start(firmwareAt("/Tarrow_FW_Updater.EXE"));
    answerFailureBox(sw.get(), &failure);
    QVERIFY(offered(sw.get()));
    sw->setShownModel("No Device");
    QVERIFY(sw->firmwareDialog().isVisible());  // the same unit may come back
    sw->checkFirm("Quenby", "1.05 0042");       // the firmware check of every second
    QVERIFY(!sw->firmwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 2);
    QVERIFY(offered(sw.get()));  // a Tarrow again: its own offer

    // "Update now" while no unit shows starts nothing.
    sw->setShownModel("No Device");
    sw->firmwareDialog().ui->okButton->click();
    QVERIFY(!sw->firmwareDialog().isVisible());
    QCOMPARE(sw->currentState(), 2);

    // The download under way stops when the model changes; no failure box,
    // no window left.
    sw = start(firmwareAt("/slow_fw.exe"));
    answerFailureBox(sw.get(), &failure);
    QVERIFY(offered(sw.get()));
    sw->firmwareDialog().ui->okButton->click();
    QTRY_VERIFY(sw->downloadProgressBar() && sw->downloadProgressBar()->value() > 0);
    sw->setShownModel("Far Link");
    QTRY_VERIFY(!sw->downloadWindow());
    QCOMPARE(sw->currentState(), 2);

    // The download complete: the window closes when the model changes, and
    // its OK starts nothing while another model or no unit shows.
    for (const char* shownAtClick : {"Dorrit", "No Device"}) {
      sw = start(firmwareAt("/Tarrow_FW_Updater.EXE"));
      answerFailureBox(sw.get(), &failure);
      QVERIFY(offered(sw.get()));
      sw->firmwareDialog().ui->okButton->click();
      QTRY_VERIFY(sw->downloadButton() && sw->downloadButton()->text() == "OK");
      QPushButton* ok = sw->downloadButton();
      sw->setShownModel(shownAtClick);
      if (sw->downloadWindow()) ok->click();
      QTRY_VERIFY(!sw->downloadWindow());
      QCOMPARE(sw->currentState(), 2);
    }
    settle(sw.get());  // a start would have been queued to the worker
    QVERIFY(started.taken().isEmpty());
    QVERIFY(failure.isEmpty());
  }

  // The user cancels as the last bytes arrive: the worker has saved the file
  // before the cancel reaches it. The cancel holds: no download-complete
  // window to start it from, no failure.
  void cancelAsTheDownloadCompletesOffersNothing() {
    env.server->route("/late-cancel.exe", env.installers("maker"));
    auto sw = start(
        document(2, 21, 0, 0,
                 QString(", \"windows_software_url_en\": \"%1\"").arg(env.server->url("/late-cancel.exe"))));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    QString failure;
    answerFailureBox(sw.get(), &failure);
    bool cancelled = false;
    UpdateInformation* worker = sw->updateWorker();
    connect(worker, &UpdateInformation::progressValueChanged, sw.get(), [&](int percent) {
      if (percent != 100 || cancelled || !sw->downloadButton()) return;
      // The worker saves the whole file meanwhile (the window does not see it).
      QElapsedTimer t;
      t.start();
      while (worker->lastDownloadFolder().isEmpty() && t.elapsed() < 5000) QThread::msleep(10);
      QThread::msleep(200);
      cancelled = true;
      sw->downloadButton()->setEnabled(true);
      sw->downloadButton()->click();
    });
    sw->softwareDialog().ui->okButton->click();
    QTRY_VERIFY(cancelled);
    QVERIFY(!worker->lastDownloadFolder().isEmpty());  // the race was run
    QTRY_VERIFY(!sw->downloadWindow());
    settle(sw.get());
    QVERIFY(!sw->downloadWindow());
    QVERIFY(failure.isEmpty());
    QCOMPARE(sw->currentState(), 3);
    QVERIFY(started.taken().isEmpty());
  }

  void downloadWindowProgressAndCancel() {
    env.server->route("/slow.exe",
                      HttpsServer::Response{200, QByteArray(64 * 1024, 'x'), HttpsServer::HalfThenStall});
    auto sw = start(document(
        2, 21, 0, 0, QString(", \"windows_software_url_en\": \"%1\"").arg(env.server->url("/slow.exe"))));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    sw->softwareDialog().ui->okButton->click();
    // Part of the file has arrived.
    QTRY_VERIFY(sw->downloadProgressBar() && sw->downloadProgressBar()->value() > 0);
    QVERIFY(sw->downloadProgressBar()->value() <= 50);
    QVERIFY(sw->downloadWindow()->isVisible());
    QVERIFY(sw->downloadButton()->isEnabled());
    QCOMPARE(sw->downloadButton()->text(), QString("Cancel"));
    QString failure;
    answerFailureBox(sw.get(), &failure);
    sw->downloadButton()->click();
    QCOMPARE(sw->currentState(), 3);
    QTRY_VERIFY(!sw->downloadWindow());
    settle(sw.get());
    QVERIFY(failure.isEmpty());  // a cancel is no failure
    QVERIFY(sw->hasUpdate());
  }

  void downloadOfUnknownSizeShowsABusyBarAndCanBeCancelled() {
    HttpsServer::Response chunked{200, QByteArray(1 << 20, 'x'), HttpsServer::Trickle, true};
    chunked.trickleBytes = 8 * 1024;
    chunked.trickleMs = 100;
    env.server->route("/chunked.exe", chunked);
    auto sw = start(document(
        2, 21, 0, 0, QString(", \"windows_software_url_en\": \"%1\"").arg(env.server->url("/chunked.exe"))));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    sw->softwareDialog().ui->okButton->click();
    // Data flows, its total is unknown: a busy bar, and Cancel can end it.
    QTRY_VERIFY(sw->downloadButton() && sw->downloadButton()->isEnabled());
    QProgressBar* bar = sw->downloadProgressBar();
    QVERIFY(bar);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 0);
    QVERIFY(sw->downloadWindow()->isVisible());
    QString failure;
    answerFailureBox(sw.get(), &failure);
    sw->downloadButton()->click();
    QTRY_VERIFY(!sw->downloadWindow());
    QCOMPARE(sw->currentState(), 3);
    settle(sw.get());
    QVERIFY(failure.isEmpty());
  }

  void stalledDownloadTimesOutIntoTheFailureBox() {
    env.server->route("/stall.exe", HttpsServer::Response{200, "x", HttpsServer::StallBeforeHeaders});
    auto sw = start(document(
        2, 21, 0, 0, QString(", \"windows_software_url_en\": \"%1\"").arg(env.server->url("/stall.exe"))));
    sw->updateWorker()->setInactivityTimeout(400);
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    QString failure;
    answerFailureBox(sw.get(), &failure);
    sw->softwareDialog().ui->okButton->click();
    QTRY_VERIFY(sw->downloadWindow());
    settle(sw.get());
    // No progress yet: Cancel stays disabled.
    QVERIFY(!sw->downloadWindow() || !sw->downloadButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!failure.isEmpty(), 10000);
    QVERIFY(failure.startsWith("The update file could not be downloaded."));
    QVERIFY(!sw->downloadWindow());
    QCOMPARE(sw->currentState(), 3);
  }

  void stalledUnpackEndsInTheFailureBox() {
    StandInUnzip standIn(env.marker("bin"), "hangs");
    QVERIFY(standIn.ok());
    env.server->route("/hang.zip",
                      makeZip({{"setup.exe", installerScript(env.marker("hang-ran")), 0100755}}));
    auto sw = start(document(
        2, 21, 0, 0, QString(", \"windows_software_url_en\": \"%1\"").arg(env.server->url("/hang.zip"))));
    sw->updateWorker()->setUnpackInactivityTimeout(400);
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    QString failure;
    answerFailureBox(sw.get(), &failure);
    sw->softwareDialog().ui->okButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(!failure.isEmpty(), 15000);
    QVERIFY(failure.startsWith("The update file could not be downloaded."));
    QCOMPARE(sw->currentState(), 3);
    QVERIFY(!sw->downloadWindow());
  }

  void refusedAddressShowsTheFailureBox() {
    auto sw = start(document(2, 21, 0, 0, ", \"windows_software_url_en\": \"http://127.0.0.1:9/setup.exe\""));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    QString failure;
    answerFailureBox(sw.get(), &failure);
    sw->softwareDialog().ui->okButton->click();
    QTRY_VERIFY(!failure.isEmpty());
    QCOMPARE(sw->failureBox().textFormat(), Qt::RichText);
    QVERIFY(failure.endsWith("<a href=\"https://www.korvel-audio.com\">https://www.korvel-audio.com</a>"));
    QCOMPARE(sw->currentState(), 3);
    QVERIFY(!sw->downloadWindow());
  }

  void textsFollowTheSystemLanguage_data() {
    QTest::addColumn<QLocale::Language>("language");
    QTest::addColumn<QString>("updateNow");
    QTest::addColumn<QString>("later");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("informationTitle");
    QTest::addColumn<QString>("site");
    const QString com = "https://www.korvel-audio.com";
    QTest::newRow("English") << QLocale::English << "Update now"
                             << "Update later"
                             << "KORVEL Update Information"
                             << "KORVEL Latest Information" << com;
    QTest::newRow("Portuguese uses English") << QLocale::Portuguese << "Update now"
                                             << "Update later"
                                             << "KORVEL Update Information"
                                             << "KORVEL Latest Information" << com;
    QTest::newRow("French") << QLocale::French << "Mettre à jour"
                            << "Plus tard"
                            << "Informations de mise à jour KORVEL"
                            << "Dernières informations KORVEL" << com;
    QTest::newRow("Spanish") << QLocale::Spanish << "Actualizar ahora"
                             << "Actualizar más tarde"
                             << "Información de actualización KORVEL"
                             << "Últimas novedades de KORVEL" << com;
    QTest::newRow("German") << QLocale::German << "Update jetzt"
                            << "Update später"
                            << "KORVEL Update-Information"
                            << "KORVEL – Neueste Informationen" << com;
    QTest::newRow("Italian") << QLocale::Italian << "Aggiorna ora"
                             << "Aggiorna più tardi"
                             << "KORVEL Informazioni di aggiornamento"
                             << "KORVEL Ultime informazioni" << com;
    QTest::newRow("Japanese") << QLocale::Japanese << "今すぐアップデートする"
                              << "あとでアップデートする"
                              << "KORVEL Update Information"
                              << "KORVEL Latest Information"
                              << "https://www.korvel-audio.jp/";
    QTest::newRow("Chinese") << QLocale::Chinese << "现在更新"
                             << "往后更新"
                             << "KORVEL更新信息"
                             << "KORVEL最新信息" << com;
  }
  void textsFollowTheSystemLanguage() {
    QFETCH(QLocale::Language, language);
    QFETCH(QString, updateNow);
    QFETCH(QString, later);
    QFETCH(QString, title);
    QFETCH(QString, informationTitle);
    QFETCH(QString, site);
    QLocale::setDefault(QLocale(language));
    auto sw = start(document(2, 21, 0, 0));
    QLocale::setDefault(QLocale::c());
    InformationBox& box = sw->softwareDialog();
    QTRY_VERIFY(box.isVisible());
    QCOMPARE(box.ui->okButton->text(), updateNow);
    QCOMPARE(box.ui->noButton->text(), later);
    QCOMPARE(box.windowTitle(), title);
    QCOMPARE(sw->firmwareDialog().windowTitle(), title);
    QCOMPARE(sw->failureBox().windowTitle(), title);
    QCOMPARE(sw->informationDialog().windowTitle(), informationTitle);
    // The failure text: three sentences, the third indented, then the site's link.
    const QString failure = sw->failureBox().text();
    QCOMPARE(failure.count("<br>"), 3);
    QVERIFY(failure.contains("<br>                "));
    QVERIFY2(failure.endsWith(QString("<a href=\"%1\">%1</a>").arg(site)), qPrintable(failure));
    // The version labels end in a blank, or in the Chinese colon.
    const QString text = shown(box);
    QVERIFY2(text.contains(QRegularExpression(language == QLocale::Chinese ? "︰2\\.20\n.*︰2\\.21$"
                                                                           : ": 2\\.20\n.*: 2\\.21$")),
             qPrintable(text));
    box.ui->noButton->click();
  }

  void japaneseSystemDownloadsTheJapaneseFile() {
    env.server->route("/ja.exe", HttpsServer::Response{404, "", HttpsServer::Full});
    QLocale::setDefault(QLocale(QLocale::Japanese));
    auto sw =
        start(document(2, 21, 0, 0,
                       QString(", \"windows_software_url_en\": \"%1\", \"windows_software_url_ja\": \"%2\"")
                           .arg(env.server->url("/en.exe"), env.server->url("/ja.exe"))));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    QString failure;
    answerFailureBox(sw.get(), &failure);
    sw->softwareDialog().ui->okButton->click();
    QTRY_VERIFY(!failure.isEmpty());
    QLocale::setDefault(QLocale::c());
    QVERIFY(failure.startsWith("更新ファイルがダウンロードできませんでした。"));
    QVERIFY(env.server->requests.contains("/ja.exe"));
    QVERIFY(!env.server->requests.contains("/en.exe"));
  }

  // Closing also when the panel goes while a download runs.
  void closingTheMainWindowClosesTheBoxesAndStopsTheDownload() {
    env.server->route("/slow2.exe",
                      HttpsServer::Response{200, QByteArray(64 * 1024, 'x'), HttpsServer::HalfThenStall});
    auto sw = start(document(
        2, 21, 0, 0, QString(", \"windows_software_url_en\": \"%1\"").arg(env.server->url("/slow2.exe"))));
    QTRY_VERIFY(sw->softwareDialog().isVisible());
    sw->softwareDialog().ui->okButton->click();
    QTRY_VERIFY(sw->downloadProgressBar() && sw->downloadProgressBar()->value() > 0);
    sw->closeUpdateWindows();
    QTRY_VERIFY(!sw->downloadWindow());
    QVERIFY(!sw->softwareDialog().isVisible());
  }
};

QTEST_MAIN(TestUpdateSoftware)
#include "tst_updatesoftware.moc"
