// Loopback HTTPS server, test certificates and stored ZIP archives.
#include "httpsserver.h"

#include <zlib.h>

#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSslSocket>
#include <QTimer>
#include <memory>

namespace {

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TestCertificates::TestCertificates() {
  const QString san = dir.filePath(QStringLiteral("san.ext"));
  QFile ext(san);
  if (!ext.open(QIODevice::WriteOnly)) return;
  ext.write("subjectAltName=IP:127.0.0.1,IP:127.0.0.2\n");
  ext.close();
  const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
  auto p = [this](const char* name) { return dir.filePath(QLatin1String(name)); };
  made = run(QStringList{"req", "-x509"} + ec +
             QStringList{"-keyout", p("ca.key"), "-out", p("ca.pem"), "-days", "2", "-subj",
                         "/CN=KORVEL Test CA"}) &&
         run(QStringList{"req"} + ec +
             QStringList{"-keyout", p("good.key"), "-out", p("good.csr"), "-subj", "/CN=127.0.0.1"}) &&
         run({"x509", "-req", "-in", p("good.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
              "-CAcreateserial", "-out", p("good.pem"), "-days", "2", "-extfile", san}) &&
         run({"x509", "-req", "-in", p("good.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
              "-CAcreateserial", "-out", p("expired.pem"), "-days", "-1", "-extfile", san}) &&
         QFile::copy(p("good.key"), p("expired.key")) &&
         run(QStringList{"req", "-x509"} + ec +
             QStringList{"-keyout", p("untrusted.key"), "-out", p("untrusted.pem"), "-days", "2", "-subj",
                         "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
}

bool TestCertificates::run(const QStringList& args) {
  QProcess openssl;
  openssl.start(QStringLiteral("openssl"), args);
  if (!openssl.waitForFinished(30000)) return false;
  if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
    qWarning("openssl %s: %s", qPrintable(args.join(' ')), openssl.readAllStandardError().constData());
    return false;
  }
  return true;
}

QSslCertificate TestCertificates::certificate(const QString& kind) const {
  return QSslCertificate(readFile(dir.filePath(kind + QStringLiteral(".pem"))), QSsl::Pem);
}

QSslKey TestCertificates::key(const QString& kind) const {
  return QSslKey(readFile(dir.filePath(kind + QStringLiteral(".key"))), QSsl::Ec, QSsl::Pem);
}

HttpsServer::HttpsServer(const QSslCertificate& certificate_, const QSslKey& key_,
                         const QHostAddress& address)
    : certificate(certificate_), key(key_) {
  listen(address, 0);
}

HttpsServer::~HttpsServer() = default;

QString HttpsServer::url(const QString& path) const {
  return QStringLiteral("https://%1:%2%3").arg(serverAddress().toString()).arg(serverPort()).arg(path);
}

void HttpsServer::incomingConnection(qintptr descriptor) {
  auto* socket = new QSslSocket(this);
  if (!socket->setSocketDescriptor(descriptor)) {
    delete socket;
    return;
  }
  socket->setLocalCertificate(certificate);
  socket->setPrivateKey(key);
  auto* buffer = new QByteArray;
  connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
    buffer->append(socket->readAll());
    if (buffer->contains("\r\n\r\n")) {
      answer(socket, *buffer);
      buffer->clear();
    }
  });
  connect(socket, &QSslSocket::disconnected, socket, [socket, buffer] {
    delete buffer;
    socket->deleteLater();
  });
  // A failed handshake (the client refused the certificate) just ends.
  connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), socket,
          [socket](const QList<QSslError>&) { socket->abort(); });
  socket->startServerEncryption();
}

void HttpsServer::answer(QSslSocket* socket, const QByteArray& request) {
  const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
  const QString path = words.size() > 1 ? QString::fromUtf8(words.at(1)) : QString();
  requests << path;
  const Response r = routes.value(path, Response{404, QByteArray("not here"), Full});
  if (r.mode == StallBeforeHeaders) return;
  socket->write(
      "HTTP/1.1 " + QByteArray::number(r.status) + (r.status == 200 ? " OK" : " Error") +
      "\r\nContent-Type: application/octet-stream\r\n" +
      (r.chunked ? QByteArray("Transfer-Encoding: chunked")
                 : "Content-Length: " + QByteArray::number(r.announced >= 0 ? r.announced : r.body.size())) +
      "\r\n" + r.headers + "Connection: close\r\n\r\n");
  QPointer<QSslSocket> guard(socket);
  const bool chunked = r.chunked;
  const auto send = [guard, chunked](const QByteArray& bytes) {
    if (!guard || bytes.isEmpty()) return;
    guard->write(chunked ? QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n" : bytes);
  };
  // The last chunk, then close once the buffered bytes are written.
  const auto finish = [guard, chunked] {
    if (!guard) return;
    if (chunked) guard->write("0\r\n\r\n");
    guard->disconnectFromHost();
  };

  switch (r.mode) {
    case HalfThenStall: {
      // The rest of the half comes later: the client reports progress at most
      // every 150 ms after the request started.
      send(r.body.left(1024));
      const QByteArray rest = r.body.mid(1024, r.body.size() / 2 - 1024);
      QTimer::singleShot(400, socket, [send, rest] { send(rest); });
      return;
    }
    case StallAfter:
      send(r.body.left(r.stallAfter));
      return;
    case Trickle: {
      auto* timer = new QTimer(socket);
      auto sent = std::make_shared<int>(0);
      connect(timer, &QTimer::timeout, socket, [=] {
        send(r.body.mid(*sent, r.trickleBytes));
        *sent += r.trickleBytes;
        if (*sent >= r.body.size()) {
          timer->stop();
          finish();
        }
      });
      timer->start(r.trickleMs);
      return;
    }
    default:
      for (int at = 0; at < r.body.size(); at += 16 * 1024) send(r.body.mid(at, 16 * 1024));
      finish();
  }
}

// --- ZIP ---------------------------------------------------------------------

namespace {

// zlib's: the archives of the size tests hold tens of mebibytes, which a
// loop of the test's own took seconds over under the sanitizers.
quint32 crc32(const QByteArray& data) {
  return quint32(
      ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
}

void put16(QByteArray& out, unsigned v) {
  out.append(char(v & 0xFF));
  out.append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& out, quint32 v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

}  // namespace

QByteArray makeZip(const QList<ZipEntry>& entries, const QByteArray& prefix) {
  QByteArray out = prefix;
  QByteArray central;
  for (const ZipEntry& e : entries) {
    const QByteArray name = e.name.toUtf8();
    const quint32 crc = crc32(e.data);
    // Raw deflate: zlib's stream without its 2-byte header and 4-byte check
    // (qCompress puts a 4-byte length before it).
    const QByteArray packed = e.deflate ? qCompress(e.data, 9).mid(6).chopped(4) : e.data;
    const quint32 offset = quint32(out.size() - prefix.size());
    put32(out, 0x04034b50);
    put16(out, 20);
    put16(out, 0x0800);  // UTF-8 names
    put16(out, e.deflate ? 8 : 0);
    put16(out, 0);
    put16(out, 0x21);  // 1980-01-01
    put32(out, crc);
    put32(out, quint32(packed.size()));
    put32(out, quint32(e.data.size()));
    put16(out, unsigned(name.size()));
    put16(out, 0);
    out += name + packed;

    const quint64 listed = e.listedSize >= 0 ? quint64(e.listedSize) : quint64(e.data.size());
    QByteArray extra;
    if (listed >= 0xffffffffu) {
      put16(extra, 1);
      put16(extra, 8);
      put32(extra, quint32(listed & 0xffffffffu));
      put32(extra, quint32(listed >> 32));
    }
    put32(central, 0x02014b50);
    put16(central, e.mode ? 0x0314 : 20);  // made on Unix when a mode is given
    put16(central, extra.isEmpty() ? 20 : 45);
    put16(central, 0x0800);
    put16(central, e.deflate ? 8 : 0);
    put16(central, 0);
    put16(central, 0x21);
    put32(central, crc);
    put32(central, quint32(packed.size()));
    put32(central, extra.isEmpty() ? quint32(listed) : 0xffffffffu);
    put16(central, unsigned(name.size()));
    put16(central, unsigned(extra.size()));
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put32(central, quint32(e.mode) << 16);
    put32(central, offset);
    central += name + extra;
  }
  const quint32 start = quint32(out.size() - prefix.size());
  out += central;
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, unsigned(entries.size()));
  put16(out, unsigned(entries.size()));
  put32(out, quint32(central.size()));
  put32(out, start);
  put16(out, 0);
  return out;
}

QByteArray installerScript(const QString& marker, int delaySeconds) {
  return "#!/bin/sh\nsleep " + QByteArray::number(delaySeconds) + "\necho \"$0\" > '" + marker.toUtf8() +
         "'\n";
}
