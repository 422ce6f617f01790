// Test support for the update service: an HTTPS server on 127.0.0.1 with
// certificates made at test time by the openssl tool, and a writer of small
// stored ZIP archives (for crafted entries that archivers refuse to make).
#ifndef PANEL_UPDATE_TESTS_HTTPSSERVER_H
#define PANEL_UPDATE_TESTS_HTTPSSERVER_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

// Certificates made with `openssl` in a temporary folder: an authority, a
// server certificate it signed for 127.0.0.1 and 127.0.0.2 (two hosts), an
// expired one it signed, and a self-signed one nobody trusts.
class TestCertificates {
 public:
  TestCertificates();
  bool ok() const { return made; }
  QString authorityFile() const { return dir.filePath(QStringLiteral("ca.pem")); }
  // "good", "expired" or "untrusted".
  QSslCertificate certificate(const QString& kind) const;
  QSslKey key(const QString& kind) const;

 private:
  bool run(const QStringList& args);
  QTemporaryDir dir;
  bool made = false;
};

class HttpsServer : public QTcpServer {
  Q_OBJECT

 public:
  enum Mode {
    Full,                // the whole body, then close
    HalfThenStall,       // half the body in two parts, then nothing
    StallBeforeHeaders,  // accept, read the request, never answer
    StallAfter,          // the first `stallAfter` bytes of the body, then nothing
    Trickle,             // `trickleBytes` every `trickleMs` until the body is sent, then close
  };
  struct Response {
    int status = 200;
    QByteArray body;
    Mode mode = Full;
    bool chunked = false;  // no Content-Length: chunked transfer encoding
    int stallAfter = 0;
    int trickleBytes = 0;
    int trickleMs = 0;
    qint64 announced = -1;    // the Content-Length sent, when not -1 (else the body's size)
    QByteArray headers = {};  // more header lines, each ending in CR LF
  };

  // Listens on `address` (127.0.0.1 or another loopback address).
  HttpsServer(const QSslCertificate& certificate, const QSslKey& key,
              const QHostAddress& address = QHostAddress::LocalHost);
  ~HttpsServer() override;

  // https://address:port + path
  QString url(const QString& path) const;
  void route(const QString& path, const Response& response) { routes.insert(path, response); }
  void route(const QString& path, const QByteArray& body) { routes.insert(path, Response{200, body, Full}); }
  // Paths (with query) of every request read so far.
  QStringList requests;

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  void answer(class QSslSocket* socket, const QByteArray& request);
  QSslCertificate certificate;
  QSslKey key;
  QHash<QString, Response> routes;
};

Q_DECLARE_METATYPE(HttpsServer::Response)

// A ZIP archive of stored or deflated entries; `mode` is the Unix mode of
// each entry (0 for none). `listedSize`, when not -1, replaces the unpacked
// size in the central directory (from 0xFFFFFFFF on in a ZIP64 field).
// `prefix` comes before the archive (a self-extractor's program).
struct ZipEntry {
  QString name;
  QByteArray data;
  unsigned mode = 0100644;
  bool deflate = false;
  qint64 listedSize = -1;
};
QByteArray makeZip(const QList<ZipEntry>& entries, const QByteArray& prefix = QByteArray());

// A shell script standing in for an installer: it writes `marker` when run,
// after `delaySeconds`.
QByteArray installerScript(const QString& marker, int delaySeconds = 0);

#endif
