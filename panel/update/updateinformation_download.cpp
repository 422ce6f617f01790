// The update worker's downloads: the update document and an installer or
// archive, with their inactivity and size bounds, saved into a fresh folder.
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include "settingsstore.h"
#include "tlstrust.h"
#include "updateinformation.h"

namespace {

const char* boolText(bool b) {
  return b ? "true" : "false";
}

// Only HTTPS addresses are fetched: an installer must come from an
// authenticated server.
bool isHttps(const QString& address) {
  const QUrl url(address, QUrl::TolerantMode);
  return url.isValid() && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
         !url.host().isEmpty();
}

// Whether an answer that ended without an error carries the whole body: a
// success status, but not a partial one (206). A redirect the manager did not
// follow (one without an address) and any other status hold no file.
bool carriesWholeBody(const QNetworkReply* reply) {
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  return status >= 200 && status < 300 && status != 206;
}

// The Content-Length of an answer; -1 when none was announced.
qint64 announcedBytes(const QNetworkReply* reply) {
  const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
  return length.isValid() ? length.toLongLong() : -1;
}

QNetworkRequest httpsRequest(const QString& address) {
  QNetworkRequest request(QUrl(address, QUrl::TolerantMode));
  request.setSslConfiguration(updateSslConfiguration());
  // Each redirect is checked (guardRedirects).
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
  return request;
}

QString hostOf(const QString& address) {
  return QUrl(address, QUrl::TolerantMode).host().toLower();
}

// The hosts of every HTTPS address among the document's texts, at any depth.
void collectHosts(const QJsonValue& value, QSet<QString>* hosts) {
  if (value.isString()) {
    const QUrl url(value.toString(), QUrl::StrictMode);
    if (url.isValid() && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
        !url.host().isEmpty())
      hosts->insert(url.host().toLower());
  } else if (value.isArray()) {
    for (const QJsonValue& item : value.toArray()) collectHosts(item, hosts);
  } else if (value.isObject()) {
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) collectHosts(it.value(), hosts);
  }
}

}  // namespace

// --- the update document ------------------------------------------------------

void UpdateInformation::downloadInformation() {
  qDebug() << "UpdateInformation: start download json";
  if (manager && fileReply && fileReply->manager() == manager) {
    // The running file download's reply belongs to this manager and would go
    // with it: the manager goes when the download's reply does.
    connect(fileReply, &QObject::destroyed, manager, &QObject::deleteLater);
  } else if (manager) {
    manager->deleteLater();
  }
  manager = new QNetworkAccessManager(this);
  // Redirects are followed, but never from HTTPS to plain HTTP.
  manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);

  QString address = loadJsonUrl();
  if (address.isEmpty()) address = builtInInformationUrl(deviceType);
  qDebug() << "UpdateInformation: " << address;

  if (!isHttps(address)) {
    qDebug() << "UpdateInformation: jason dwonload error"
             << "not an HTTPS address";
    emit finishDownloadJson();
    return;
  }
  QNetworkReply* reply = manager->get(httpsRequest(address));
  documentReply = reply;
  // The document comes from the host asked, not from one a redirect names.
  documentRedirectRefused = false;
  guardRedirects(reply, {hostOf(address)}, &documentRedirectRefused);
  connect(reply, &QNetworkReply::finished, this, [this, reply] { replyFinishedInfo(reply); });
  connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64 total) {
    if (reply == documentReply) documentProgress(received, total);
  });
  // A size announced beyond the bound is refused at the headers, before a
  // body that may never come.
  connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
    if (reply == documentReply && announcedBytes(reply) > kMaxDocumentBytes)
      documentProgress(0, announcedBytes(reply));
  });
  // The waiting for the document always ends.
  if (!documentTimer) {
    documentTimer = new QTimer(this);
    documentTimer->setSingleShot(true);
    connect(documentTimer, &QTimer::timeout, this, [this] {
      qDebug() << "UpdateInformation: timeout";
      if (documentReply) documentReply->abort();
    });
  }
  documentMark = 0;
  documentClock.start();
  documentTimer->start(inactivityMs.load());
}

void UpdateInformation::documentProgress(qint64 received, qint64 total) {
  if (received > kMaxDocumentBytes || total > kMaxDocumentBytes) {
    qDebug() << "UpdateInformation: document larger than" << kMaxDocumentBytes << "bytes";
    documentReply->abort();
    return;
  }
  if (documentClock.elapsed() > qint64(kDocumentInactivityTimes) * inactivityMs.load()) {
    qDebug() << "UpdateInformation: document still arriving after" << documentClock.elapsed() << "ms";
    documentReply->abort();
    return;
  }
  noteProgress(documentTimer, &documentMark, received);
}

void UpdateInformation::noteProgress(QTimer* timer, qint64* mark, qint64 received) {
  if (!timer || received - *mark < kMinimumProgressBytes) return;
  *mark = received;
  timer->start(inactivityMs.load());
}

void UpdateInformation::guardRedirects(QNetworkReply* reply, const QSet<QString>& hosts, bool* refused) {
  connect(reply, &QNetworkReply::redirected, this, [reply, hosts, refused](const QUrl& to) {
    const QUrl target = reply->url().resolved(to);
    if (target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
        hosts.contains(target.host().toLower())) {
      emit reply->redirectAllowed();
      return;
    }
    qDebug() << "UpdateInformation: redirect refused to" << target.toString().left(200);
    *refused = true;
    reply->abort();
  });
}

void UpdateInformation::replyFinishedInfo(QNetworkReply* reply) {
  reply->deleteLater();
  if (reply == documentReply && documentTimer) documentTimer->stop();
  if (reply->error() == QNetworkReply::NoError && !carriesWholeBody(reply)) {
    qDebug() << "UpdateInformation: jason dwonload error";
    qDebug() << "UpdateInformation: HTTP status"
             << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  } else if (reply->error() == QNetworkReply::NoError && reply->size() > kMaxDocumentBytes) {
    qDebug() << "UpdateInformation: jason dwonload error";
    qDebug() << "UpdateInformation: document larger than" << kMaxDocumentBytes << "bytes";
  } else if (reply->error() == QNetworkReply::NoError) {
    qDebug() << "UpdateInformation: jason dwonload ok" << reply->size();
    QByteArray bytes = reply->readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) bytes.truncate(nul);
    const QString text = QString::fromUtf8(bytes);
    qDebug() << text.left(kLoggedDocumentChars);
    if (text.size() > kLoggedDocumentChars)
      qDebug() << "UpdateInformation: document continues for" << text.size() - kLoggedDocumentChars
               << "more characters";
    documentHosts.clear();
    collectHosts(QJsonDocument::fromJson(bytes).object(), &documentHosts);
    emit finishedInformation(text);
  } else {
    qDebug() << "UpdateInformation: jason dwonload error";
    qDebug() << reply->errorString();
  }
  emit finishDownloadJson();

  qDebug() << "UpdateInformation: end of replyFinished";
  qDebug() << boolText(QSslSocket::supportsSsl());
  qDebug() << QSslSocket::sslLibraryBuildVersionString();
  qDebug() << QSslSocket::sslLibraryVersionString();
}

// --- the file download --------------------------------------------------------

void UpdateInformation::downloadFile(QString url) {
  qDebug() << "UpdateInformation: download " << url;
  isExe = url.endsWith(QLatin1String("exe"), Qt::CaseInsensitive);
  isDmg = url.endsWith(QLatin1String("dmg"), Qt::CaseInsensitive);
  qDebug() << "UpdateInformation: isExe " << boolText(isExe) << ", isDmg " << boolText(isDmg);

  if (!isHttps(url)) {
    qDebug() << "UpdateInformation: file download error"
             << "not an HTTPS address";
    failDownload();
    return;
  }
#ifndef Q_OS_MACOS
  if (isDmg && !isExe) {
    // Disk images are installers of another platform.
    qDebug() << "UpdateInformation: file download error"
             << "disk image on this platform";
    failDownload();
    return;
  }
#endif
  if (!manager) {
    manager = new QNetworkAccessManager(this);
    manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
  }
  if (fileReply) {
    // One download at a time: a new one replaces a running one.
    fileReply->disconnect(this);
    fileReply->abort();
    fileReply->deleteLater();
    fileReply = nullptr;
  }

  delete timeoutTimer;
  timeoutTimer = new QTimer();
  timeoutTimer->setSingleShot(true);
  timeoutTimer->start(inactivityMs.load());
  timedOut = false;
  tooLarge = false;
  fileMark = 0;
  connect(timeoutTimer, &QTimer::timeout, this, &UpdateInformation::timeoutDownload);

  QNetworkReply* reply = manager->get(httpsRequest(url));
  fileReply = reply;
  // A file may come from its own host or another one the document names.
  fileRedirectRefused = false;
  QSet<QString> hosts = documentHosts;
  hosts.insert(hostOf(url));
  guardRedirects(reply, hosts, &fileRedirectRefused);
  connect(reply, &QNetworkReply::downloadProgress, this, &UpdateInformation::replyDownloadProgress);
  connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
    // Refused at the headers when announced beyond the bound.
    if (reply == fileReply && announcedBytes(reply) > maxDownloadBytes.load())
      replyDownloadProgress(0, announcedBytes(reply));
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply] { replyFinishedFileDownload(reply); });
  emit startedDownloadFile();
}

void UpdateInformation::replyDownloadProgress(qint64 received, qint64 total) {
  if (tooLarge) return;  // being ended for its size: no more progress
  const qint64 limit = maxDownloadBytes.load();
  if (fileReply && (received > limit || total > limit)) {
    qDebug() << "UpdateInformation: file larger than" << limit << "bytes";
    tooLarge = true;
    fileReply->abort();  // ends it at once, as a failure
    return;
  }
  if (total == 0) return;
  if (total > 0) {
    const int percent = int(received * 100 / total);
    qDebug() << "UpdateInformation: ProgressBar " << percent;
    emit progressValueChanged(percent);
  } else {
    qDebug() << "UpdateInformation: ProgressBar unknown total, received" << received;
    emit progressValueChanged(-1);
  }
  noteProgress(timeoutTimer, &fileMark, received);
}

void UpdateInformation::timeoutDownload() {
  qDebug() << "UpdateInformation: timeout";
  timedOut = true;
  cancelDownload();
}

void UpdateInformation::cancelDownload() {
  qDebug() << "UpdateInformation: cancel download";
  QPointer<QNetworkReply> reply = fileReply;
  if (!reply) return;
  // Aborting ends the reply at once (replyFinishedFileDownload runs inside).
  if (reply->isRunning()) reply->abort();
  if (reply) qDebug() << "UpdateInformation: file download abort" << reply->errorString();
}

void UpdateInformation::replyFinishedFileDownload(QNetworkReply* reply) {
  if (reply != fileReply) return;  // a replaced download
  fileReply = nullptr;
  reply->deleteLater();
  emit finishedDownloadFile();
  if (timeoutTimer) {
    timeoutTimer->disconnect(this);
    delete timeoutTimer;
    timeoutTimer = nullptr;
  }

  if (reply->error() != QNetworkReply::NoError) {
    qDebug() << "UpdateInformation: file download error";
    qDebug() << reply->errorString();
    if (reply->error() == QNetworkReply::OperationCanceledError && !timedOut && !tooLarge &&
        !fileRedirectRefused)
      return;  // the user cancelled
    emit errorDownloadFile();
    return;
  }
  if (!carriesWholeBody(reply)) {
    qDebug() << "UpdateInformation: file download HTTP status"
             << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    emit errorDownloadFile();
    return;
  }
  if (reply->size() == 0) {
    qDebug() << "UpdateInformation: file download size zero";
    emit errorDownloadFile();
    return;
  }
  const qint64 size = reply->size();
  qDebug() << "UpdateInformation: read size" << size;
  if (size > maxDownloadBytes.load()) {
    // The last part can cross the bound as the answer ends.
    qDebug() << "UpdateInformation: file larger than" << maxDownloadBytes.load() << "bytes";
    emit errorDownloadFile();
    return;
  }
  const QByteArray body = reply->readAll();
  if (body.size() != size) {
    // A body that cannot be held whole reads as nothing.
    qDebug() << "UpdateInformation: file download read" << body.size() << "of" << size << "bytes";
    emit errorDownloadFile();
    return;
  }
  if (!isExe && !isDmg && !archiveFits(body)) return;

  if (!makeDownloadFolder()) return;
  const QString name = isExe   ? QStringLiteral("temp.exe")
                       : isDmg ? QStringLiteral("temp.dmg")
                               : QStringLiteral("temp.zip");
  qDebug() << "UpdateInformation: tempDir " << tempDir->path();

  QFile file(tempPath(name));
  if (!file.open(QIODevice::WriteOnly)) {
    qDebug() << "UpdateInformation: file open error";
    discardDownloadFolder();
    emit errorDownloadFile();
    return;
  }
  const bool written = file.write(body) == body.size();
  file.close();
  if (!written || file.error() != QFileDevice::NoError) {
    qDebug() << "UpdateInformation: file open error" << file.errorString();
    discardDownloadFolder();  // with what part of the file was written
    emit errorDownloadFile();
    return;
  }

  if (isExe) {
    execPath = QDir::toNativeSeparators(tempPath(name));
    qDebug() << "UpdateInformation: exec " << execPath;
    if (!installerIsTrusted(execPath)) return;
    delete tempDir;  // the folder stays: automatic removal is off
    tempDir = nullptr;
    emit readiedExec();
    return;
  }
#ifdef Q_OS_MACOS
  if (isDmg) {
    connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &UpdateInformation::replyFinishedMount);
    process.start(QStringLiteral("hdiutil"), {QStringLiteral("attach"), tempPath(name)});
    return;
  }
#endif
  startUnzip();
}
