// Shared set-up of the update-service tests: certificates made once, trusted
// only through SSL_CERT_FILE, and a private temporary folder (TMPDIR) so that
// what a test unpacks, and anything that would escape it, stays observable.
#ifndef PANEL_UPDATE_TESTS_UPDATETESTENV_H
#define PANEL_UPDATE_TESTS_UPDATETESTENV_H

#include <QDir>
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

#endif
