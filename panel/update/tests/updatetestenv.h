// Shared set-up of the update-service tests: certificates made once, trusted
// only through SSL_CERT_FILE, and a private temporary folder (TMPDIR) so that
// what a test unpacks, and anything that would escape it, stays observable;
// a stand-in unpacker that stalls.
#ifndef PANEL_UPDATE_TESTS_UPDATETESTENV_H
#define PANEL_UPDATE_TESTS_UPDATETESTENV_H

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "httpsserver.h"
#include "tlstrust.h"

struct UpdateTestEnv {
  TestCertificates certs;
  QTemporaryDir tmp;
  std::unique_ptr<HttpsServer> server;     // trusted
  std::unique_ptr<HttpsServer> expired;    // signed by the trusted authority, expired
  std::unique_ptr<HttpsServer> untrusted;  // self-signed

  bool setUp() {
    if (!certs.ok() || !tmp.isValid()) return false;
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
    return server->isListening() && expired->isListening() && untrusted->isListening();
  }
  // Download folders made so far under TMPDIR.
  QStringList folders() const { return QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot); }
  QString marker(const QString& name) const { return QDir(tmp.path()).filePath(name); }
};

// Puts a stand-in "unzip" first on PATH while it exists. It runs the real
// unzip, except in the step its mode names:
//   "list-hangs"   the listing of the entry names writes nothing, never ends;
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
                         "if [ \"$1\" = -Z1 ]; then\n"
                         "  [ \"$mode\" = list-hangs ] && exec sleep 600\n"
                         "  exec \"$real\" \"$@\"\n"
                         "fi\n"
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
