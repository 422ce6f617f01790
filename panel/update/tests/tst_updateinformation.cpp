// The update worker in its own thread against a real HTTPS server on
// loopback: document addresses and failures, TLS trust, a document fetch
// that always ends and is logged in part, file downloads with progress (also
// of unknown size), cancel, inactivity and trickle timeouts, size zero and
// size bounds (also announced ones), answers that hold no whole file or document (partial, an
// unfollowed redirect, cut short), archive listings and their bound (held for what is written),
// unpacking real ZIP archives with the system's unzip, unpackers that stall
// (stopped) or are slow (not), refused entries, a full disk (no failure
// leaves its folder behind), redirects, and the installer start: only the
// maker's signed installer, alone in a folder of its own.
#include <signal.h>
#include <sys/resource.h>

#include <QFile>
#include <QMutex>
#include <QThread>
#include <QtTest>

#include "archivelisting.h"
#include "httpsserver.h"
#include "settingsstore.h"
#include "updateinformation.h"
#include "updatetestenv.h"
#include "wintrust_standin.h"

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

// Debug lines of every thread while it exists.
class LogCapture {
 public:
  LogCapture() {
    lines().clear();
    previous = qInstallMessageHandler(&LogCapture::handle);
  }
  ~LogCapture() { qInstallMessageHandler(previous); }
  static QStringList taken() {
    QMutexLocker lock(&mutex());
    return lines();
  }

 private:
  static void handle(QtMsgType, const QMessageLogContext&, const QString& text) {
    QMutexLocker lock(&mutex());
    lines() << text;
  }
  static QMutex& mutex() {
    static QMutex m;
    return m;
  }
  static QStringList& lines() {
    static QStringList l;
    return l;
  }
  QtMessageHandler previous = nullptr;
};

constexpr quint64 kGiB = quint64(1) << 30;
// Inactivity times of the timeout tests: where nothing is meant to arrive,
// and where data must still come in before it (a TLS handshake under the
// sanitizers included).
constexpr int kShortInactivityMs = 400;
constexpr int kInactivityAfterDataMs = 800;
constexpr quint64 kMiB = quint64(1) << 20;

class TestUpdateInformation : public QObject {
  Q_OBJECT

  UpdateTestEnv env;
  QThread thread;
  UpdateInformation* worker = nullptr;
  Recorder* rec = nullptr;
  StartedInstallers started;

  void fetchDocument() { QMetaObject::invokeMethod(worker, "downloadInformation"); }
  void download(const QString& url) {
    QMetaObject::invokeMethod(worker, "downloadFile", Q_ARG(QString, url));
  }
  static HttpsServer::Response redirectTo(const QString& address) {
    HttpsServer::Response moved{302, "", HttpsServer::Full};
    moved.headers = "Location: " + address.toUtf8() + "\r\n";
    return moved;
  }
  // Returns once the worker has handled everything asked of it so far and
  // its signals have arrived here.
  void settle() {
    QMetaObject::invokeMethod(
        worker, [] {}, Qt::BlockingQueuedConnection);
    QCoreApplication::processEvents();
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
    // Generous for a loaded machine; the timeout tests shorten them.
    worker->setInactivityTimeout(10000);
    worker->setUnpackInactivityTimeout(10000);
    started.watch(worker);
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
    started.clear();
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

  void documentFetchAlwaysEnds_data() {
    QTest::addColumn<HttpsServer::Response>("response");
    HttpsServer::Response oneByte{200, QByteArray(2000, ' '), HttpsServer::StallAfter};
    oneByte.stallAfter = 1;
    HttpsServer::Response trickle{200, QByteArray(64 * 1024, ' '), HttpsServer::Trickle, true};
    trickle.trickleBytes = 16;
    trickle.trickleMs = 100;
    QTest::newRow("headers and one byte, then nothing") << oneByte;
    QTest::newRow("no answer") << HttpsServer::Response{200, "{}", HttpsServer::StallBeforeHeaders};
    QTest::newRow("a few bytes now and then") << trickle;
    // Enough every inactivity time to stay alive, for longer than the whole
    // fetch may take.
    HttpsServer::Response alive{200, QByteArray(320 * 1024, ' '), HttpsServer::Trickle, true};
    alive.trickleBytes = int(kMinimumProgressBytes) + 1024;
    alive.trickleMs = 100;
    QTest::newRow("just enough to stay alive") << alive;
    QTest::newRow("larger than any document")
        << HttpsServer::Response{200, QByteArray(kMaxDocumentBytes + 1024, ' '), HttpsServer::Full, true};
  }
  void documentFetchAlwaysEnds() {
    QFETCH(HttpsServer::Response, response);
    worker->setInactivityTimeout(kShortInactivityMs);
    const QString path = QString("/doc-%1.json").arg(QTest::currentDataTag()).replace(' ', '_');
    env.server->route(path, response);
    writeSetting("Update", "JsonUrl", env.server->url(path));
    fetchDocument();
    QTRY_COMPARE_WITH_TIMEOUT(rec->events, QStringList({"jsonDone"}), 15000);
    worker->setInactivityTimeout(10000);
  }

  void answersWithoutTheWholeDocumentAreNoDocument_data() {
    QTest::addColumn<int>("status");
    QTest::newRow("partial content") << 206;
    QTest::newRow("redirect without an address") << 300;
  }
  void answersWithoutTheWholeDocumentAreNoDocument() {
    QFETCH(int, status);
    // A well-formed document in the body: the status alone makes it none.
    env.server->route("/answer.json",
                      HttpsServer::Response{status, "{\"Tarrow_version1\": {}}", HttpsServer::Full});
    writeSetting("Update", "JsonUrl", env.server->url("/answer.json"));
    fetchDocument();
    QTRY_COMPARE(rec->events, QStringList({"jsonDone"}));
  }

  void longDocumentIsLoggedInPart() {
    const QByteArray doc = "{\"Tarrow_version1\": {}, \"padding\": \"" + QByteArray(1 << 20, 'x') + "\"}";
    env.server->route("/long.json", doc);
    writeSetting("Update", "JsonUrl", env.server->url("/long.json"));
    QStringList lines;
    {
      LogCapture capture;
      fetchDocument();
      QTRY_COMPARE(rec->events, QStringList({"information", "jsonDone"}));
      lines = LogCapture::taken();
    }
    QCOMPARE(rec->document.size(), doc.size());  // handed on whole
    int longest = 0;
    for (const QString& line : lines) longest = qMax(longest, line.size());
    QVERIFY2(longest <= kLoggedDocumentChars + 100, qPrintable(QString::number(longest)));
    QVERIFY(!lines.filter("padding").filter("xxxxxxxx").isEmpty());
    QVERIFY(
        !lines
             .filter(
                 QString("document continues for %1 more characters").arg(doc.size() - kLoggedDocumentChars))
             .isEmpty());
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
    env.server->route("/fw/SETUP.EXE", env.installers("maker"));
    download(env.server->url("/fw/SETUP.EXE"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec"}));
    QVERIFY(rec->events.contains("progress 100"));
    const QDir folder(worker->lastDownloadFolder());
    QCOMPARE(folder.entryList(QDir::Files), QStringList({"temp.exe"}));
    QMetaObject::invokeMethod(worker, "execFile");
    settle();
    const QList<StartedInstallers::Start> starts = started.taken();
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts[0].path, QDir::toNativeSeparators(folder.filePath("temp.exe")));
    QVERIFY(starts[0].privateFolder);
  }

  void zipWithInstallerIsUnpackedAndStarted_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("archive") << "/panel/Brevanta_Installer.zip";
    // A query after the exe name: not an installer, an archive for the unpacker.
    QTest::newRow("query after exe") << "/panel/setup.exe?lang=ja";
  }
  void zipWithInstallerIsUnpackedAndStarted() {
    QFETCH(QString, path);
    env.server->route(path, makeZip({{"readme.txt", "notes"},
                                     {"Brevanta Installer.exe", env.installers("maker"), 0100755},
                                     {"version.dll", "a library the installer would load"},
                                     {"sub/other.exe", "nested, not searched"}}));
    const QStringList folders = env.folders();
    download(env.server->url(path));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec"}));
    // The installer alone, in a folder of its own: what else the archive
    // held went with the folder it was unpacked into.
    const QDir folder(worker->lastDownloadFolder());
    QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"Brevanta Installer.exe"}));
    QCOMPARE(env.folders().size(), folders.size() + 1);
    QMetaObject::invokeMethod(worker, "execFile");
    settle();
    const QList<StartedInstallers::Start> starts = started.taken();
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts[0].path, QDir::toNativeSeparators(folder.filePath("Brevanta Installer.exe")));
    QCOMPARE(starts[0].beside, QStringList({"Brevanta Installer.exe"}));
    QVERIFY(starts[0].privateFolder);
  }

  // Only the maker's installer starts, as it came or from an archive; any
  // other is deleted and the download fails.
  void onlyTheMakersInstallerStarts_data() {
    QTest::addColumn<QString>("installer");
    QTest::addColumn<bool>("archived");
    QTest::addColumn<bool>("withCrl");  // the store holds the authority's CRL
    QTest::addColumn<bool>("starts");
    QTest::newRow("the maker's") << "maker" << false << true << true;
    QTest::newRow("the maker's, archived") << "maker" << true << true << true;
    QTest::newRow("unsigned") << "unsigned" << false << true << false;
    QTest::newRow("tampered") << "tampered" << false << true << false;
    QTest::newRow("tampered, archived") << "tampered" << true << true << false;
    QTest::newRow("another publisher") << "other" << false << true << false;
    QTest::newRow("the maker's name, another organization") << "mixed" << false << true << false;
    QTest::newRow("expired") << "expired" << false << true << false;
    QTest::newRow("revoked") << "revoked" << false << true << false;
    QTest::newRow("revocation cannot be checked") << "maker" << false << false << false;
    QTest::newRow("untrusted authority") << "untrusted" << false << true << false;
    QTest::newRow("not for code signing") << "tlsonly" << false << true << false;
  }
  void onlyTheMakersInstallerStarts() {
    QFETCH(QString, installer);
    QFETCH(bool, archived);
    QFETCH(bool, withCrl);
    QFETCH(bool, starts);
    qputenv("KORVEL_WINTRUST_STORE", env.installers.store(withCrl).toLocal8Bit());
    const QString path = archived ? "/signed/setup.zip" : "/signed/setup.exe";
    env.server->route(path, archived ? makeZip({{"setup.exe", env.installers(installer), 0100755}})
                                     : env.installers(installer));
    const QStringList folders = env.folders();
    download(env.server->url(path));
    const bool ended = waitForEnd();
    if (ended && starts) QMetaObject::invokeMethod(worker, "execFile");
    settle();
    qputenv("KORVEL_WINTRUST_STORE", env.installers.store().toLocal8Bit());
    QVERIFY(ended);
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", starts ? "exec" : "error"}));
    QCOMPARE(started.taken().size(), starts ? 1 : 0);
    if (!starts) QCOMPARE(env.folders(), folders);  // deleted, with its folder
    QCOMPARE(WinTrustOpenStates(), size_t(0));      // every verification state released
  }

  // The installer is checked again as it starts: one replaced after it
  // arrived is deleted, and the failure shown.
  void installerReplacedBeforeItsStartIsRefused() {
    env.server->route("/replaced.exe", env.installers("maker"));
    const QStringList folders = env.folders();
    download(env.server->url("/replaced.exe"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec"}));
    QFile installer(QDir(worker->lastDownloadFolder()).filePath("temp.exe"));
    QVERIFY(installer.open(QIODevice::WriteOnly | QIODevice::Truncate));
    installer.write(env.installers("other"));
    installer.close();
    QMetaObject::invokeMethod(worker, "execFile");
    settle();
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec", "error"}));
    QVERIFY(started.taken().isEmpty());
    QCOMPARE(env.folders(), folders);
  }

  // A redirect is followed on the same host, or to another host that the
  // last document names; never to plain HTTP, and never for the document.
  void redirectsStayOnHostsTheDocumentNames_data() {
    QTest::addColumn<QString>("named");  // an address the document holds
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("outcome");
    const QString elsewhere = env.otherHost->url("/moved.exe");
    QTest::newRow("same host") << QString() << env.server->url("/moved.exe") << "exec";
    QTest::newRow("another host") << QString() << elsewhere << "error";
    QTest::newRow("another host the document names") << env.otherHost->url("/any") << elsewhere << "exec";
    QTest::newRow("plain HTTP") << env.server->url("/any")
                                << QString("http://127.0.0.1:%1/moved.exe").arg(env.server->serverPort())
                                << "error";
  }
  void redirectsStayOnHostsTheDocumentNames() {
    QFETCH(QString, named);
    QFETCH(QString, target);
    QFETCH(QString, outcome);
    for (HttpsServer* server : {env.server.get(), env.otherHost.get()}) {
      server->route("/moved.exe", env.installers("maker"));
      server->requests.clear();
    }
    env.server->route("/redirect.exe", redirectTo(target));
    env.server->route("/names.json", QString("{\"Tarrow_version1\": {\"url\": \"%1\"}}").arg(named).toUtf8());
    writeSetting("Update", "JsonUrl", env.server->url("/names.json"));
    fetchDocument();
    QTRY_COMPARE(rec->events, QStringList({"information", "jsonDone"}));
    rec->events.clear();
    download(env.server->url("/redirect.exe"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", outcome}));
    QCOMPARE(env.otherHost->requests.isEmpty(),
             !(target == env.otherHost->url("/moved.exe") && outcome == "exec"));
    // The document itself is never taken from elsewhere.
    rec->events.clear();
    env.server->route("/moved.json", redirectTo(env.otherHost->url("/doc.json")));
    env.otherHost->route("/doc.json", QByteArray("{}"));
    writeSetting("Update", "JsonUrl", env.server->url("/moved.json"));
    fetchDocument();
    QTRY_COMPARE(rec->events, QStringList({"jsonDone"}));
    QVERIFY(!env.otherHost->requests.contains("/doc.json"));
  }

  void archivesThatCannotGiveAnInstallerFail_data() {
    QTest::addColumn<QByteArray>("body");
    // The maker's installer beside what is refused: only the refusal stops it.
    const ZipEntry installer{"setup.exe", env.installers("maker"), 0100755};
    QTest::newRow("no installer inside") << makeZip({{"readme.txt", "notes"}, {"setup.msi", "x"}});
    QTest::newRow("installer only in a subfolder") << makeZip({{"sub/setup.exe", env.installers("maker")}});
    QTest::newRow("entry with ..") << makeZip({installer, {"../escaped.exe", "x"}});
    QTest::newRow("entry with .. inside") << makeZip({installer, {"a/../../escaped.exe", "x"}});
    QTest::newRow("absolute entry") << makeZip({installer, {env.marker("absolute.exe"), "x"}});
    QTest::newRow("another stream") << makeZip({installer, {"setup.exe:payload", "x"}});
    QTest::newRow("device name") << makeZip({installer, {"docs/nul.txt", "x"}});
    QTest::newRow("symbolic link") << makeZip({installer, {"lib", "/usr/lib", 0120777}});
    QByteArray renamed = makeZip({installer, {"notes.txt", "x"}});
    renamed[renamed.indexOf("notes.txt")] = '.';  // the local header says ".otes.txt"
    QTest::newRow("local name differs") << renamed;
    QTest::newRow("installer of another publisher")
        << makeZip({{"setup.exe", env.installers("other"), 0100755}});
    QTest::newRow("not an archive") << QByteArray("<html>login page</html>");
  }
  void archivesThatCannotGiveAnInstallerFail() {
    QFETCH(QByteArray, body);
    env.server->route("/bad.zip", body);
    const QStringList before = QDir(env.tmp.path()).entryList(QDir::Files);
    const QStringList folders = env.folders();
    download(env.server->url("/bad.zip"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
    // Nothing was written beside the download folders, and no folder is left.
    QCOMPARE(QDir(env.tmp.path()).entryList(QDir::Files), before);
    QCOMPARE(env.folders(), folders);
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

  void sizesAnnouncedBeyondTheBoundAreRefusedAtTheHeaders() {
    // The announcement and a few bytes, then nothing: only the headers can
    // end these, as no inactivity time passes in the test.
    HttpsServer::Response huge{200, QByteArray(64, ' '), HttpsServer::StallAfter};
    huge.announced = qint64(100) * 1000 * 1000 * 1000;
    huge.stallAfter = 10;
    env.server->route("/huge.exe", huge);
    env.server->route("/huge.json", huge);
    struct Restore {
      UpdateInformation* worker;
      ~Restore() { worker->setInactivityTimeout(10000); }
    } restore{worker};
    worker->setInactivityTimeout(600000);
    const QStringList folders = env.folders();
    download(env.server->url("/huge.exe"));
    QVERIFY(waitForEnd());
    // The bar never showed it.
    QCOMPARE(rec->events, QStringList({"started", "finished", "error"}));
    QCOMPARE(env.folders(), folders);
    rec->events.clear();
    writeSetting("Update", "JsonUrl", env.server->url("/huge.json"));
    fetchDocument();
    QTRY_COMPARE_WITH_TIMEOUT(rec->events, QStringList({"jsonDone"}), 15000);
  }

  void answersWithoutTheWholeFileFail_data() {
    QTest::addColumn<HttpsServer::Response>("response");
    // The maker's installer: only the answer's form refuses it.
    const QByteArray exe = env.installers("maker");
    HttpsServer::Response partial{206, exe, HttpsServer::Full};
    partial.headers = "Content-Range: bytes 0-" + QByteArray::number(exe.size() - 1) + "/" +
                      QByteArray::number(exe.size() * 4) + "\r\n";
    QTest::newRow("partial content") << partial;
    QTest::newRow("redirect without an address") << HttpsServer::Response{300, exe, HttpsServer::Full};
    HttpsServer::Response cut{200, exe, HttpsServer::Full};
    cut.announced = exe.size() + 100;
    QTest::newRow("closed before the announced length") << cut;
  }
  void answersWithoutTheWholeFileFail() {
    QFETCH(HttpsServer::Response, response);
    env.server->route("/answer.exe", response);
    const QStringList folders = env.folders();
    download(env.server->url("/answer.exe"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
    // Nothing was saved.
    QCOMPARE(env.folders(), folders);
  }

  void downloadOfUnknownSizeReportsItAndCompletes() {
    // In several chunks.
    HttpsServer::Response chunked{200, env.installers("maker"), HttpsServer::Trickle, true};
    chunked.trickleBytes = 16 * 1024;
    chunked.trickleMs = 50;
    env.server->route("/chunked/setup.exe", chunked);
    download(env.server->url("/chunked/setup.exe"));
    QVERIFY(waitForEnd());
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec"}));
    // Unknown while it comes; the end knows its size.
    const QStringList progress = rec->events.filter("progress");
    QVERIFY(progress.contains("progress -1"));
    QCOMPARE(progress.count("progress -1") + progress.count("progress 100"), progress.size());
  }

  void tricklingDownloadsTimeOut_data() {
    QTest::addColumn<bool>("chunked");
    QTest::newRow("with its length") << false;
    QTest::newRow("chunked") << true;
  }
  void tricklingDownloadsTimeOut() {
    QFETCH(bool, chunked);
    // 160 bytes a second: every report would hold a plain inactivity timer
    // for the 400 s the file takes.
    HttpsServer::Response trickle{200, QByteArray(64 * 1024, 'x'), HttpsServer::Trickle, chunked};
    trickle.trickleBytes = 16;
    trickle.trickleMs = 100;
    env.server->route("/trickle.exe", trickle);
    worker->setInactivityTimeout(kInactivityAfterDataMs);
    download(env.server->url("/trickle.exe"));
    QVERIFY(waitForEnd(15000));
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
    QVERIFY(!rec->events.filter("progress").isEmpty());  // data did come
    worker->setInactivityTimeout(10000);
  }

  void slowDownloadThatKeepsComingGoesOn() {
    // 8 KiB every 100 ms: the file takes longer than the inactivity time.
    HttpsServer::Response slow{200, env.installers("maker"), HttpsServer::Trickle};
    slow.trickleBytes = 8 * 1024;
    slow.trickleMs = 100;
    env.server->route("/slow-but-steady.exe", slow);
    worker->setInactivityTimeout(kInactivityAfterDataMs);
    QElapsedTimer took;
    took.start();
    download(env.server->url("/slow-but-steady.exe"));
    QVERIFY(waitForEnd(30000));
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "exec"}));
    QVERIFY(took.elapsed() > kInactivityAfterDataMs);
    worker->setInactivityTimeout(10000);
  }

  void documentFetchLeavesARunningDownloadAlone() {
    // The model changes while an installer comes: its document is fetched
    // beside the download, which still ends as it would have.
    HttpsServer::Response slow{200, env.installers("maker"), HttpsServer::Trickle};
    slow.trickleBytes = 8 * 1024;
    slow.trickleMs = 100;
    env.server->route("/beside-document.exe", slow);
    env.server->route("/beside.json", QByteArray("{}"));
    writeSetting("Update", "JsonUrl", env.server->url("/beside.json"));
    download(env.server->url("/beside-document.exe"));
    QTRY_VERIFY(!rec->events.filter("progress").isEmpty());
    fetchDocument();
    QTRY_VERIFY(rec->events.contains("jsonDone"));
    QVERIFY(waitForEnd());
    const QStringList outcome = rec->events.filter(QRegularExpression("^(started|finished|error|exec)$"));
    QCOMPARE(outcome, QStringList({"started", "finished", "exec"}));
  }

  void downloadsLargerThanTheBoundFail_data() {
    QTest::addColumn<bool>("chunked");
    QTest::newRow("with its length") << false;
    QTest::newRow("chunked") << true;
  }
  void downloadsLargerThanTheBoundFail() {
    QFETCH(bool, chunked);
    // Stands for a body beyond what can be held: refused while it comes.
    HttpsServer::Response large{200, env.installers("maker"), HttpsServer::Trickle, chunked};
    large.trickleBytes = 16 * 1024;
    large.trickleMs = 20;
    env.server->route("/large.exe", large);
    worker->setMaxDownloadBytes(64 * 1024);
    download(env.server->url("/large.exe"));
    QVERIFY(waitForEnd());
    worker->setMaxDownloadBytes(kMaxDownloadBytes);
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
  }

  void cancelBeforeDataEndsQuietly() {
    env.server->route("/stall.exe", HttpsServer::Response{200, "x", HttpsServer::StallBeforeHeaders});
    download(env.server->url("/stall.exe"));
    QTRY_VERIFY(env.server->requests.contains("/stall.exe"));
    QMetaObject::invokeMethod(worker, "cancelDownload");
    QTRY_COMPARE(rec->events, QStringList({"started", "finished"}));
    // No late failure.
    settle();
    QCOMPARE(rec->events, QStringList({"started", "finished"}));
  }

  void inactivityAfterProgressTimesOut() {
    worker->setInactivityTimeout(kInactivityAfterDataMs);
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

  void archivesThatUnpackTooLargeAreRefusedBeforeUnpacking_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<quint64>("bound");  // the test's own unpack bound; ~0 for none
    // 8 MiB of zeros deflate to some 8 KiB, against a bound of 4 MiB.
    QTest::newRow("deflated 1000 to 1")
        << makeZip({{"setup.exe", env.installers("maker"), 0100755},
                    {"filler.bin", QByteArray(8 * kMiB, '\0'), 0100644, true}})
        << 4 * kMiB;
    // Beyond what any archive may unpack to.
    QTest::newRow("listing 3 GiB") << makeZip({{"setup.exe", "x", 0100755, false, qint64(3 * kGiB)}})
                                   << ~quint64(0);
  }
  void archivesThatUnpackTooLargeAreRefusedBeforeUnpacking() {
    QFETCH(QByteArray, body);
    QFETCH(quint64, bound);
    env.server->route("/bomb.zip", body);
    const QStringList folders = env.folders();
    worker->setMaxUnpackedBytes(bound);
    download(env.server->url("/bomb.zip"));
    const bool ended = waitForEnd();
    worker->setMaxUnpackedBytes(~quint64(0));
    QVERIFY(ended);
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
    // Nothing was unpacked, not even a folder made.
    QCOMPARE(env.folders(), folders);
  }

  void archivesThatUnpackBeyondTheirListingAreStopped_data() {
    QTest::addColumn<int>("mebibytes");
    // Refused once written or stopped while written, as the watch comes.
    QTest::newRow("small") << 4;
    QTest::newRow("large") << 64;
  }
  void archivesThatUnpackBeyondTheirListingAreStopped() {
    QFETCH(int, mebibytes);
    // The zeros list 10 bytes in both headers; the bound is 1 MiB.
    QByteArray body = makeZip({{"filler.bin", QByteArray(mebibytes * int(kMiB), '\0'), 0100644, true, 10},
                               {"setup.exe", env.installers("maker"), 0100755}});
    body.replace(22, 4, QByteArray("\x0a\0\0\0", 4));  // the first local header's unpacked size
    env.server->route("/liar.zip", body);
    const QStringList folders = env.folders();
    worker->setMaxUnpackedBytes(kMiB);
    download(env.server->url("/liar.zip"));
    QVERIFY(waitForEnd(30000));
    worker->setMaxUnpackedBytes(~quint64(0));
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
    // What was written is gone.
    QCOMPARE(env.folders(), folders);
  }

  void stalledUnpackersAreStoppedAndSlowOnesGoOn_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("unpacker never writes") << "hangs"
                                           << "error";
    QTest::newRow("unpacker stops after a file") << "writes-hangs"
                                                 << "error";
    QTest::newRow("unpacker slow but writing") << "slow"
                                               << "exec";
  }
  void stalledUnpackersAreStoppedAndSlowOnesGoOn() {
    QFETCH(QString, mode);
    QFETCH(QString, outcome);
    StandInUnzip standIn(env.marker("bin"), mode);
    QVERIFY(standIn.ok());
    env.server->route("/stall.zip", makeZip({{"setup.exe", env.installers("maker"), 0100755}}));
    const QStringList folders = env.folders();
    worker->setUnpackInactivityTimeout(kShortInactivityMs);
    QElapsedTimer took;
    took.start();
    download(env.server->url("/stall.zip"));
    QVERIFY(waitForEnd(30000));
    worker->setUnpackInactivityTimeout(10000);
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", outcome}));
    if (outcome == "exec") {
      QVERIFY(took.elapsed() > kShortInactivityMs);  // longer than the inactivity time
      return;
    }
    // What the unpacker wrote is gone, with its folder.
    QCOMPARE(env.folders(), folders);
  }

  void diskFullLeavesNoFolderBehind_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("fileLimit");  // bytes a file of this process and its children may reach
    QTest::newRow("saving an installer") << "/full.exe" << QByteArray(256 * 1024, 'x') << 64 * 1024;
    QTest::newRow("saving an archive")
        << "/full.zip" << makeZip({{"setup.exe", QByteArray(256 * 1024, 'x'), 0100755}}) << 64 * 1024;
    // The archive is small; what it unpacks to is not.
    QTest::newRow("unpacking") << "/full-unpack.zip"
                               << makeZip({{"setup.exe", QByteArray(256 * 1024, 'x'), 0100755, true}})
                               << 64 * 1024;
  }
  void diskFullLeavesNoFolderBehind() {
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, fileLimit);
    env.server->route(path, body);
    const QStringList folders = env.folders();
    // A full disk, as the file size limit gives it: writes beyond it fail.
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = rlim_t(fileLimit);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    download(env.server->url(path));
    const bool ended = waitForEnd();
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, previousHandler);
    QVERIFY(ended);
    QCOMPARE(rec->without("progress"), QStringList({"started", "finished", "error"}));
    // Neither the part written nor its folder is left.
    QCOMPARE(env.folders(), folders);
  }

  void archiveListings_data() {
    QTest::addColumn<QByteArray>("zip");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<quint64>("listed");
    const QByteArray two = makeZip({{"a.txt", "12345"}, {"b.exe", QByteArray(100, 'b')}});
    QTest::newRow("stored entries") << two << true << quint64(105);
    QTest::newRow("deflated entry") << makeZip({{"zeros", QByteArray(100000, '\0'), 0100644, true}}) << true
                                    << quint64(100000);
    QTest::newRow("after a program") << makeZip({{"a", "xyz"}}, QByteArray(5000, 'M')) << true << quint64(3);
    QTest::newRow("ZIP64 size") << makeZip({{"big", "x", 0100644, false, qint64(5 * kGiB)}}) << true
                                << 5 * kGiB;
    QByteArray commented = two;
    commented.chop(2);
    commented += QByteArray("\x07\x00", 2) + "comment";
    QTest::newRow("with a comment") << commented << true << quint64(105);
    QTest::newRow("no entries") << makeZip({}) << true << quint64(0);
    QTest::newRow("not an archive") << QByteArray("<html>login</html>") << false << quint64(0);
    QByteArray cut = two;
    cut.remove(cut.indexOf("PK\x01\x02") + 10, 10);
    QTest::newRow("directory cut short") << cut << false << quint64(0);
    QByteArray more = two;
    more[more.size() - 12] = 5;  // entries in all
    QTest::newRow("more entries announced than listed") << more << false << quint64(0);
    QByteArray disks = two;
    disks[disks.size() - 18] = 1;  // number of this disk
    QTest::newRow("several disks") << disks << false << quint64(0);
    QByteArray zip64 = makeZip({{"big", "x", 0100644, false, qint64(5 * kGiB)}});
    zip64[zip64.indexOf("PK\x01\x02") + 46 + 3] = 2;  // the size's field under another id
    QTest::newRow("ZIP64 size missing") << zip64 << false << quint64(0);
  }
  void archiveListings() {
    QFETCH(QByteArray, zip);
    QFETCH(bool, readable);
    QFETCH(quint64, listed);
    quint64 total = 12345;
    QCOMPARE(archiveListedSize(zip, &total), readable);
    if (readable) QCOMPARE(total, listed);
  }

  void unpackedSizeBound() {
    QCOMPARE(maxUnpackedSize(1024), 64 * kMiB);
    QCOMPARE(maxUnpackedSize(qint64(kMiB)), 200 * kMiB);
    QCOMPARE(maxUnpackedSize(1900000), quint64(380000000));
    QCOMPARE(maxUnpackedSize(qint64(20 * kMiB)), 2 * kGiB);
  }

  void archiveEntryNames() {
    for (const char* bad : {"../x.exe", "a/../../x.exe", "/etc/x.exe", "\\x.exe", "C:x.exe", "a\\..\\..\\x",
                            "setup.exe:stream", "CON", "a/nul.txt", "Com1 .log", "lpt9", "a\tb", ""})
      QVERIFY2(archiveEntryRefused(bad), bad);
    for (const char* good : {"setup.exe", "a/b/c.txt", "..hidden.exe", "a..b/x", "dir/", "console.exe",
                             "com10.txt", "nullsoft/x"})
      QVERIFY2(!archiveEntryRefused(good), good);
  }
};

QTEST_GUILESS_MAIN(TestUpdateInformation)
#include "tst_updateinformation.moc"
