// Shared set-up of the update-service tests: certificates made once, trusted
// only through SSL_CERT_FILE, and a private temporary folder (TMPDIR) so that
// what a test unpacks, and anything that would escape it, stays observable;
// a second host; installers signed by a test publisher, whose authority the
// WinVerifyTrust stand-in trusts (KORVEL_WINTRUST_STORE), and a recorder of
// the installers a worker starts; a stand-in unpacker that stalls.
#ifndef PANEL_UPDATE_TESTS_UPDATETESTENV_H
#define PANEL_UPDATE_TESTS_UPDATETESTENV_H

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "httpsserver.h"
#include "tlstrust.h"
#include "updateinformation.h"

// The files of make-signed-installers.sh, made once per test program.
struct TestInstallers {
  QTemporaryDir dir;
  bool made = false;
  TestInstallers() {
    QProcess script;
    script.start(QStringLiteral("bash"), {QStringLiteral(KORVEL_SIGNING_SCRIPT), dir.path()});
    made = script.waitForFinished(60000) && script.exitStatus() == QProcess::NormalExit &&
           script.exitCode() == 0;
    if (!made) qWarning("make-signed-installers.sh: %s", script.readAllStandardError().constData());
  }
  // The installer of a case: "maker", "unsigned", "tampered", "other", ...
  QByteArray operator()(const QString& name) const {
    QFile f(dir.filePath(name + QStringLiteral(".exe")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QString store(bool withCrl = true) const {
    return dir.filePath(withCrl ? QStringLiteral("store.pem") : QStringLiteral("store-nocrl.pem"));
  }
};

// Takes the installers a worker starts instead of starting them: the path
// of each, the files beside it and whether its folder is the user's alone.
class StartedInstallers {
 public:
  struct Start {
    QString path;
    QStringList beside;
    bool privateFolder = false;
  };
  void watch(UpdateInformation* worker) {
    worker->setInstallerStarter([this](const QString& path, const QString& folder) {
      const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                        QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
      QMutexLocker lock(&mutex);
      starts.append({path, QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                     !(QFileInfo(folder).permissions() & others)});
      return true;
    });
  }
  QList<Start> taken() {
    QMutexLocker lock(&mutex);
    return starts;
  }
  void clear() {
    QMutexLocker lock(&mutex);
    starts.clear();
  }

 private:
  QMutex mutex;
  QList<Start> starts;
};

struct UpdateTestEnv {
  TestCertificates certs;
  QTemporaryDir tmp;
  std::unique_ptr<HttpsServer> server;     // trusted
  std::unique_ptr<HttpsServer> expired;    // signed by the trusted authority, expired
  std::unique_ptr<HttpsServer> untrusted;  // self-signed
  std::unique_ptr<HttpsServer> otherHost;  // trusted, on 127.0.0.2
  TestInstallers installers;

  bool setUp() {
    if (!certs.ok() || !tmp.isValid() || !installers.made) return false;
    // The test publisher's authority is the stand-in's only root.
    qputenv("KORVEL_WINTRUST_STORE", installers.store().toLocal8Bit());
    // The test's authority is the only addition to the system store.
    qputenv("SSL_CERT_FILE", certs.authorityFile().toLocal8Bit());
    qunsetenv("SSL_CERT_DIR");
    // Read the trust once here (slow under the sanitizers), not in the first
    // request's waiting time.
    updateSslConfiguration();
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    server.reset(new HttpsServer(certs.certificate("good"), certs.key("good")));
    expired.reset(new HttpsServer(certs.certificate("expired"), certs.key("expired")));
    untrusted.reset(new HttpsServer(certs.certificate("untrusted"), certs.key("untrusted")));
    otherHost.reset(new HttpsServer(certs.certificate("good"), certs.key("good"), QHostAddress("127.0.0.2")));
    return server->isListening() && expired->isListening() && untrusted->isListening() &&
           otherHost->isListening();
  }
  // Download folders made so far under TMPDIR.
  QStringList folders() const { return QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot); }
  QString marker(const QString& name) const { return QDir(tmp.path()).filePath(name); }
};

// Puts a stand-in "unzip" first on PATH while it exists. It runs the real
// unzip, except in the way its mode names:
//   "hangs"        the unpack writes nothing and never ends;
//   "writes-hangs" the unpack writes a file, then never ends;
//   "slow"         the unpack writes 4 KiB every 100 ms for 1 s, then unpacks.
class StandInUnzip {
 public:
  StandInUnzip(const QString& folder, const QString& mode) : path(qgetenv("PATH")) {
    const QString real = QStandardPaths::findExecutable("unzip");
    QDir().mkpath(folder);
    QFile script(QDir(folder).filePath("unzip"));
    if (real.isEmpty() || !script.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    script.write(QString("#!/bin/sh\n"
                         "real='%1'\n"
                         "mode='%2'\n"
                         "case \"$mode\" in\n"
                         "  hangs) exec sleep 600 ;;\n"
                         "  writes-hangs) head -c 65536 /dev/zero > partial.bin; exec sleep 600 ;;\n"
                         "  slow) for i in 1 2 3 4 5 6 7 8 9 10; do\n"
                         "      head -c 4096 /dev/zero >> slow.bin; sleep 0.1\n"
                         "    done ;;\n"
                         "esac\n"
                         "exec \"$real\" \"$@\"\n")
                     .arg(real, mode)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", (folder + ":").toLocal8Bit() + path);
    ready = true;
  }
  ~StandInUnzip() { qputenv("PATH", path); }
  bool ok() const { return ready; }

 private:
  QByteArray path;
  bool ready = false;
};

#endif
