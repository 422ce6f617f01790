// The update worker in its own thread against a real HTTPS server on
// loopback: document addresses and failures, TLS trust, file downloads with
// progress, cancel, inactivity timeout and size zero, unpacking real ZIP
// archives with the system's unzip, refused entries and the installer start.
#include <QFile>
#include <QThread>
#include <QtTest>

#include "httpsserver.h"
#include "settingsstore.h"
#include "updateinformation.h"
#include "updatetestenv.h"

// Records the worker's signals in the test thread, in order.
class Recorder : public QObject {
  Q_OBJECT
 public:
  QStringList events;
  QString document;
  explicit Recorder(UpdateInformation* w) {
    connect(w, &UpdateInformation::finishedInformation, this, [this](const QString& s) {
      document = s;
      events << "information";
    });
    connect(w, &UpdateInformation::finishDownloadJson, this, [this] { events << "jsonDone"; });
    connect(w, &UpdateInformation::startedDownloadFile, this, [this] { events << "started"; });
    connect(w, &UpdateInformation::finishedDownloadFile, this, [this] { events << "finished"; });
    connect(w, &UpdateInformation::progressValueChanged, this,
            [this](int p) { events << QString("progress %1").arg(p); });
    connect(w, &UpdateInformation::errorDownloadFile, this, [this] { events << "error"; });
    connect(w, &UpdateInformation::readiedExec, this, [this] { events << "exec"; });
  }
  QStringList without(const QString& prefix) const {
    QStringList out;
    for (const QString& e : events)
      if (!e.startsWith(prefix)) out << e;
    return out;
  }
};

class TestUpdateInformation : public QObject {
  Q_OBJECT

  UpdateTestEnv env;
  QThread thread;
  UpdateInformation* worker = nullptr;
  Recorder* rec = nullptr;

  void fetchDocument() { QMetaObject::invokeMethod(worker, "downloadInformation"); }
  void download(const QString& url) {
    QMetaObject::invokeMethod(worker, "downloadFile", Q_ARG(QString, url));
  }
  // Waits until the download has ended with one of its outcomes.
  bool waitForEnd(int ms = 15000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      if (rec->events.contains("error") || rec->events.contains("exec")) return true;
      QTest::qWait(20);
    }
    return false;
  }

 private slots:
  void initTestCase() {
    QVERIFY2(env.setUp(), "openssl or the loopback servers are not available");
    worker = new UpdateInformation;
    // Generous for a loaded machine; the timeout test shortens it.
    worker->setInactivityTimeout(10000);
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
  }

  void cleanupTestCase() {
    thread.quit();
    thread.wait();
  }

  void init() {
    rec = new Recorder(worker);
    writeSetting("Update", "JsonUrl", QString());
  }
  void cleanup() { delete rec; }

  // --- the document ---------------------------------------------------------

  void builtInAddressesAreTheModelsDocumentsOverHttps() {
    const QUrl tarrow(builtInInformationUrl(0));
    const QUrl farLink(builtInInformationUrl(1));
    QCOMPARE(tarrow.scheme(), QString("https"));
    QCOMPARE(tarrow.host(), farLink.host());
    QCOMPARE(tarrow.path(), QString("/download/fw/tarrow/Tarrow_UpdateInformation.json"));
    QCOMPARE(farLink.path(), QString("/download/fw/FarLink/FarLink_UpdateInformation.json"));
    QCOMPARE(QUrl(builtInInformationUrl(7)), farLink);
  }

  void storedAddressReplacesTheBuiltInOneForBothModels() {
    env.server->route("/doc.json", QByteArray("{\"a\":1}\0trailing garbage", 24));
    writeSetting("Update", "JsonUrl", env.server->url("/doc.json"));
    for (int type : {0, 1}) {
      rec->events.clear();
      QMetaObject::invokeMethod(worker, "setDeviceType", Q_ARG(int, type));
      fetchDocument();
      QTRY_COMPARE(rec->events, QStringList({"information", "jsonDone"}));
      // Cut at the NUL byte.
      QCOMPARE(rec->document, QString("{\"a\":1}"));
    }
    QCOMPARE(env.server->requests.count("/doc.json"), 2);
    QMetaObject::invokeMethod(worker, "setDeviceType", Q_ARG(int, 0));
  }

  void failedDocumentsStillEndTheWait() {
    const QStringList addresses = {
        env.server->url("/missing.json"),                                       // 404
        env.expired->url("/doc.json"),                                          // expired certificate
        env.untrusted->url("/doc.json"),                                        // unknown authority
        QString("http://127.0.0.1:%1/doc.json").arg(env.server->serverPort()),  // not HTTPS
        QString("ftp://127.0.0.1/doc.json"),
    };
    env.expired->route("/doc.json", QByteArray("{}"));
    env.untrusted->route("/doc.json", QByteArray("{}"));
    for (const QString& address : addresses) {
      rec->events.clear();
      writeSetting("Update", "JsonUrl", address);
      fetchDocument();
      QTRY_COMPARE(rec->events, QStringList({"jsonDone"}));
    }
    // The TLS failures never reached the HTTP layer.
    QVERIFY(env.expired->requests.isEmpty());
    QVERIFY(env.untrusted->requests.isEmpty());
  }

  void authoritiesFromACertificateFolder() {
    QTemporaryDir folder;
    QVERIFY(QFile::copy(env.certs.authorityFile(), folder.filePath("korvel-test.pem")));
    QVERIFY(QFile::link(folder.filePath("korvel-test.pem"), folder.filePath("0badc0de.0")));
    const QByteArray file = qgetenv("SSL_CERT_FILE");
    qunsetenv("SSL_CERT_FILE");
    // Servers of their own: the network layer keeps a host's TLS settings for
    // a while, and the trust changes here.
    HttpsServer viaFolder(env.certs.certificate("good"), env.certs.key("good"));
    HttpsServer viaNothing(env.certs.certificate("good"), env.certs.key("good"));
    viaFolder.route("/dir.json", QByteArray("{}"));
    viaNothing.route("/dir.json", QByteArray("{}"));
    qputenv("SSL_CERT_DIR", ("/nonexistent:" + folder.path()).toLocal8Bit());
    updateSslConfiguration();  // read ahead of the request (slow under sanitizers)
    writeSetting("Update", "JsonUrl", viaFolder.url("/dir.json"));
    fetchDocument();
    QTRY_COMPARE(rec->events, QStringList({"information", "jsonDone"}));
    // Without either variable the test's authority is unknown.
    qunsetenv("SSL_CERT_DIR");
    updateSslConfiguration();
    rec->events.clear();
    writeSetting("Update", "JsonUrl", viaNothing.url("/dir.json"));
    fetchDocument();
    QTRY_COMPARE(rec->events, QStringList({"jsonDone"}));
    QVERIFY(viaNothing.requests.isEmpty());
    qputenv("SSL_CERT_FILE", file);
    updateSslConfiguration();
  }

  // --- downloads --------------------------------------------------------------

  void installerAddressInCapitalsIsSavedAndStarted() {
    const QString marker = env.marker("firmware-ran");
    env.server->route("/fw/SETUP.EXE", installerScript(marker));
    download(env.server->url("/fw/SETUP.EXE"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec"}));
    QVERIFY(rec->events.contains("progress 100"));
    QCOMPARE(QDir(worker->lastDownloadFolder()).entryList(QDir::Files), QStringList({"temp.exe"}));
    QMetaObject::invokeMethod(worker, "execFile");
    QTRY_VERIFY(QFile::exists(marker));
  }

  void zipWithInstallerIsUnpackedAndStarted_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("archive") << "/panel/Brevanta_Installer.zip";
    // A query after the exe name: not an installer, an archive for the unpacker.
    QTest::newRow("query after exe") << "/panel/setup.exe?lang=ja";
  }
  void zipWithInstallerIsUnpackedAndStarted() {
    QFETCH(QString, path);
    const QString marker = env.marker(QString("panel-ran-%1").arg(QTest::currentDataTag()).replace(' ', '_'));
    env.server->route(path, makeZip({{"readme.txt", "notes"},
                                     {"Brevanta Installer.exe", installerScript(marker), 0100755},
                                     {"sub/other.exe", "nested, not searched"}}));
    download(env.server->url(path));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec"}));
    const QDir folder(worker->lastDownloadFolder());
    // The archive is gone, its contents are there; no installer was saved as such.
    QCOMPARE(folder.entryList(QDir::Files, QDir::Name),
             QStringList({"Brevanta Installer.exe", "readme.txt"}));
    QMetaObject::invokeMethod(worker, "execFile");
    QTRY_VERIFY(QFile::exists(marker));
    // The installer ran from its own path (blanks included).
    QFile f(marker);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(f.readAll()).trimmed(), folder.filePath("Brevanta Installer.exe"));
  }

  void archivesThatCannotGiveAnInstallerFail_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("no installer inside") << makeZip({{"readme.txt", "notes"}, {"setup.msi", "x"}});
    QTest::newRow("installer only in a subfolder") << makeZip({{"sub/setup.exe", "x"}});
    QTest::newRow("entry with ..") << makeZip({{"setup.exe", "x"}, {"../escaped.exe", "x"}});
    QTest::newRow("entry with .. inside") << makeZip({{"setup.exe", "x"}, {"a/../../escaped.exe", "x"}});
    QTest::newRow("absolute entry") << makeZip({{"setup.exe", "x"}, {env.marker("absolute.exe"), "x"}});
    QTest::newRow("not an archive") << QByteArray("<html>login page</html>");
  }
  void archivesThatCannotGiveAnInstallerFail() {
    QFETCH(QByteArray, body);
    env.server->route("/bad.zip", body);
    const QStringList before = QDir(env.tmp.path()).entryList(QDir::Files);
    download(env.server->url("/bad.zip"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
    // Nothing was written beside the download folders.
    QCOMPARE(QDir(env.tmp.path()).entryList(QDir::Files), before);
    QVERIFY(!QFile::exists(QDir(QDir::tempPath()).filePath("../escaped.exe")));
  }

  void refusedAddressesFailWithoutARequest_data() {
    QTest::addColumn<QString>("url");
    QTest::newRow("http") << QString("http://127.0.0.1:%1/setup.exe").arg(env.server->serverPort());
    QTest::newRow("file") << QString("file:///bin/sh.exe");
    QTest::newRow("empty") << QString();
    // A disk image cannot be mounted on this platform.
    QTest::newRow("disk image") << env.server->url("/Brevanta_Installer.dmg");
  }
  void refusedAddressesFailWithoutARequest() {
    QFETCH(QString, url);
    const int requests = env.server->requests.size();
    download(url);
    QTRY_COMPARE(rec->events, QStringList({"finished", "error"}));
    QCOMPARE(env.server->requests.size(), requests);
  }

  void serverFailuresEndInTheFailurePath_data() {
    QTest::addColumn<QString>("url");
    QTest::newRow("expired certificate") << env.expired->url("/setup.exe");
    QTest::newRow("untrusted certificate") << env.untrusted->url("/setup.exe");
    QTest::newRow("not found") << env.server->url("/nothing.exe");
    QTest::newRow("size zero") << env.server->url("/empty.exe");
  }
  void serverFailuresEndInTheFailurePath() {
    QFETCH(QString, url);
    env.server->route("/empty.exe", QByteArray());
    env.expired->route("/setup.exe", QByteArray("x"));
    env.untrusted->route("/setup.exe", QByteArray("x"));
    download(url);
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
  }

  void cancelBeforeDataEndsQuietly() {
    env.server->route("/stall.exe", HttpsServer::Response{200, "x", HttpsServer::StallBeforeHeaders});
    download(env.server->url("/stall.exe"));
    QTRY_VERIFY(env.server->requests.contains("/stall.exe"));
    QMetaObject::invokeMethod(worker, "cancelDownload");
    QTRY_COMPARE(rec->events, QStringList({"started", "finished"}));
    // No late failure.
    QTest::qWait(300);
    QCOMPARE(rec->events, QStringList({"started", "finished"}));
  }

  void inactivityAfterProgressTimesOut() {
    worker->setInactivityTimeout(2500);
    env.server->route("/half.exe",
                      HttpsServer::Response{200, QByteArray(64 * 1024, 'x'), HttpsServer::HalfThenStall});
    download(env.server->url("/half.exe"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->events.first(), QString("started"));
    // Progress up to the half that came, never more.
    const QStringList progress = rec->events.filter("progress");
    QVERIFY(!progress.isEmpty());
    for (const QString& p : progress) QVERIFY2(p.mid(9).toInt() > 0 && p.mid(9).toInt() <= 50, qPrintable(p));
    QCOMPARE(rec->events.mid(rec->events.size() - 2), QStringList({"finished", "error"}));
    worker->setInactivityTimeout(10000);
  }

  void archiveEntryNames() {
    for (const char* bad : {"../x.exe", "a/../../x.exe", "/etc/x.exe", "\\x.exe", "C:x.exe", "a\\..\\..\\x"})
      QVERIFY2(archiveEntryEscapes(bad), bad);
    for (const char* good : {"setup.exe", "a/b/c.txt", "..hidden.exe", "a..b/x", "dir/"})
      QVERIFY2(!archiveEntryEscapes(good), good);
  }
};

QTEST_GUILESS_MAIN(TestUpdateInformation)
#include "tst_updateinformation.moc"
