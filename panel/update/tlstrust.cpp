// Trust for the update service's HTTPS requests.
#include "tlstrust.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QSslCertificate>
#include <QString>

QSslConfiguration updateSslConfiguration() {
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
#ifdef Q_OS_LINUX
  QList<QSslCertificate> extra;
  const QByteArray file = qgetenv("SSL_CERT_FILE");
  if (!file.isEmpty()) extra += QSslCertificate::fromPath(QString::fromLocal8Bit(file), QSsl::Pem);
  const QByteArray dirs = qgetenv("SSL_CERT_DIR");
  for (const QByteArray& dir : dirs.split(':')) {
    if (dir.isEmpty()) continue;
    const QDir folder(QString::fromLocal8Bit(dir));
    for (const QString& name : folder.entryList(QDir::Files | QDir::Readable)) {
      extra += QSslCertificate::fromPath(folder.filePath(name), QSsl::Pem);
    }
  }
  // Adding authorities switches off the on-demand loading of the system store,
  // so the system's authorities are listed explicitly beside the extra ones.
  if (!extra.isEmpty()) config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
#endif
  return config;
}
