// Trust for the update service's HTTPS requests.
#include "tlstrust.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QSslCertificate>
#include <QString>

#ifdef Q_OS_LINUX
namespace {

// Folders of the system's own store: what lies there (often what the variables
// name, /etc/ssl/certs and its bundle) is trusted already and not read again.
bool inSystemStore(const QString& realPath) {
  for (const char* folder : {"/etc/ssl/certs", "/etc/pki/tls/certs", "/etc/pki/ca-trust/extracted",
                             "/usr/lib/ssl/certs", "/usr/share/ca-certificates"}) {
    const QString f = QLatin1String(folder);
    if (realPath == f || realPath.startsWith(f + QLatin1Char('/'))) return true;
  }
  return false;
}

// The authorities named by the two variables, each certificate once (a
// certificate folder usually holds every file under two or three names).
QList<QSslCertificate> environmentAuthorities(const QByteArray& file, const QByteArray& dirs) {
  QStringList paths;
  if (!file.isEmpty()) paths << QString::fromLocal8Bit(file);
  for (const QByteArray& dir : dirs.split(':')) {
    if (dir.isEmpty()) continue;
    const QDir folder(QString::fromLocal8Bit(dir));
    if (inSystemStore(folder.canonicalPath())) continue;
    for (const QString& name : folder.entryList(QDir::Files | QDir::Readable)) paths << folder.filePath(name);
  }
  QSet<QString> read;
  QList<QSslCertificate> found;
  QSet<QByteArray> seen;
  for (const QString& path : paths) {
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty() || read.contains(real) || inSystemStore(real)) continue;
    read.insert(real);
    for (const QSslCertificate& certificate : QSslCertificate::fromPath(real, QSsl::Pem)) {
      const QByteArray digest = certificate.digest(QCryptographicHash::Sha256);
      if (seen.contains(digest)) continue;
      seen.insert(digest);
      found << certificate;
    }
  }
  return found;
}

}  // namespace
#endif

QSslConfiguration updateSslConfiguration() {
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
#ifdef Q_OS_LINUX
  // Read once per setting of the variables: a system bundle holds hundreds of
  // certificates.
  static QMutex lock;
  static QByteArray cachedFile, cachedDirs;
  static bool cached = false;
  static QList<QSslCertificate> authorities;
  const QByteArray file = qgetenv("SSL_CERT_FILE");
  const QByteArray dirs = qgetenv("SSL_CERT_DIR");
  QMutexLocker locker(&lock);
  if (!cached || file != cachedFile || dirs != cachedDirs) {
    authorities.clear();
    const QList<QSslCertificate> extra = environmentAuthorities(file, dirs);
    // Adding authorities switches off the on-demand loading of the system
    // store, so the system's authorities are listed explicitly beside them.
    if (!extra.isEmpty()) authorities = QSslConfiguration::systemCaCertificates() + extra;
    cachedFile = file;
    cachedDirs = dirs;
    cached = true;
  }
  if (!authorities.isEmpty()) config.setCaCertificates(authorities);
#endif
  return config;
}
