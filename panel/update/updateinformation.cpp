// The update worker: document fetch, file download, unpacking, installer start.
#include "updateinformation.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>

#ifdef Q_OS_WIN
#include <windows.h>
// After <windows.h>, whose declarations they need.
#include <objbase.h>
#include <shellapi.h>
#endif

#include "archivelisting.h"
#include "makersites.h"
#include "settingsstore.h"
#include "tlstrust.h"

namespace {

#ifdef Q_OS_WIN
// The unpack script for the Windows script host: copies every item of the
// archive named by its first argument into the folder named by its second.
const char kUnzipScript[] =
    "var shellapp =  new ActiveXObject(\"shell.application\");\n"
    "var in_zip_path = WScript.Arguments(0);\n"
    "var out_folder_path = WScript.Arguments(1);\n"
    "var in_zip = shellapp.NameSpace(in_zip_path);\n"
    "var out_folder = shellapp.NameSpace(out_folder_path);\n"
    "out_folder.CopyHere(in_zip.Items(), 0);";
#endif

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
  return request;
}

}  // namespace

QString builtInInformationUrl(int deviceType) {
  return kMakerDownloadServer + (deviceType == 0
                                     ? QStringLiteral("/download/fw/tarrow/Tarrow_UpdateInformation.json")
                                     : QStringLiteral("/download/fw/FarLink/FarLink_UpdateInformation.json"));
}

bool archiveEntryEscapes(const QString& name) {
  if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))) return true;
  if (name.size() >= 2 && name.at(1) == QLatin1Char(':')) return true;
  const QStringList parts =
      QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
  return parts.contains(QStringLiteral(".."));
}

UpdateInformation::UpdateInformation(QObject* parent) : QObject(parent), process(this) {
  // A missing unpacker never reports "finished"; end the unpack here instead.
  connect(&process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart || !tempDir) return;
    qDebug() << "UpdateInformation: unzip error" << process.errorString();
    disconnect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, nullptr);
    if (unpackWatch) unpackWatch->stop();
    discardDownloadFolder();
    emit errorDownloadFile();
  });
}

UpdateInformation::~UpdateInformation() {
  delete timeoutTimer;
  delete documentTimer;
  delete tempDir;
  delete manager;
}

QString UpdateInformation::lastDownloadFolder() const {
  QMutexLocker lock(&folderLock);
  return folderPath;
}

void UpdateInformation::setDeviceType(int i) {
  deviceType = i;
}

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

void UpdateInformation::failDownload() {
  emit finishedDownloadFile();
  emit errorDownloadFile();
}

void UpdateInformation::discardDownloadFolder() {
  if (!tempDir) return;
  if (!tempDir->remove()) qDebug() << "UpdateInformation: could not remove" << tempDir->path();
  delete tempDir;
  tempDir = nullptr;
}

QString UpdateInformation::tempPath(const QString& name) const {
  return QDir(tempDir->path()).filePath(name);
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
    if (reply->error() == QNetworkReply::OperationCanceledError && !timedOut && !tooLarge)
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
  const QByteArray body = reply->readAll();
  if (body.size() != size) {
    // A body that cannot be held whole reads as nothing.
    qDebug() << "UpdateInformation: file download read" << body.size() << "of" << size << "bytes";
    emit errorDownloadFile();
    return;
  }
  if (!isExe && !isDmg && !archiveFits(body)) return;

  delete tempDir;
  tempDir = new QTemporaryDir();
  tempDir->setAutoRemove(false);
  if (!tempDir->isValid()) {
    qDebug() << "UpdateInformation: file open error" << tempDir->errorString();
    delete tempDir;
    tempDir = nullptr;
    emit errorDownloadFile();
    return;
  }
  {
    QMutexLocker lock(&folderLock);
    folderPath = tempDir->path();
  }
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

// --- unpacking ------------------------------------------------------------------

bool UpdateInformation::archiveFits(const QByteArray& body) {
  quint64 listed = 0;
  if (!archiveListedSize(body, &listed)) {
    qDebug() << "UpdateInformation: unzip error"
             << "not a ZIP archive";
    emit errorDownloadFile();
    return false;
  }
  const quint64 bound = qMin(maxUnpackedSize(body.size()), maxUnpackedBytes.load());
  // The listing may understate what the entries inflate to: the same bound
  // is held against what is written (startUnpacker).
  unpackBound = bound;
  archiveBytes = body.size();
  if (listed > bound) {
    qDebug() << "UpdateInformation: unzip refused: the archive unpacks to" << listed << "bytes, more than"
             << bound;
    emit errorDownloadFile();
    return false;
  }
  return true;
}

void UpdateInformation::startUnzip() {
  const QString folder = QDir::toNativeSeparators(tempDir->path());
  process.setWorkingDirectory(tempDir->path());
  process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
  QFile script(tempPath(QStringLiteral("unzip.js")));
  if (!script.open(QIODevice::WriteOnly | QIODevice::Text)) {
    qDebug() << "UpdateInformation: file open error";
    discardDownloadFolder();
    emit errorDownloadFile();
    return;
  }
  script.write(kUnzipScript);
  script.close();
  startUnpacker(QStringLiteral("cscript"),
                {QStringLiteral("unzip.js"), folder + QStringLiteral("\\temp.zip"), folder});
#else
  // Info-ZIP's unzip: first the entry names, so that an archive with an entry
  // outside the folder is refused before anything is written.
  connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
          &UpdateInformation::replyListedZip);
  watchUnpack(true);
  process.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), tempPath(QStringLiteral("temp.zip"))});
  Q_UNUSED(folder);
#endif
}

void UpdateInformation::replyListedZip(int exitCode, QProcess::ExitStatus status) {
  disconnect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
             &UpdateInformation::replyListedZip);
  if (unpackWatch) unpackWatch->stop();
  const QStringList names =
      QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  bool refused = status != QProcess::NormalExit || exitCode != 0 ||
                 process.error() == QProcess::FailedToStart || unpackStalled;
  for (const QString& name : names) {
    if (archiveEntryEscapes(name)) {
      qDebug() << "UpdateInformation: unzip refused entry" << name;
      refused = true;
    }
  }
  if (refused) {
    qDebug() << "UpdateInformation: unzip error" << exitCode << process.errorString();
    discardDownloadFolder();
    emit errorDownloadFile();
    return;
  }
  startUnpacker(QStringLiteral("unzip"),
                {QStringLiteral("-o"), QStringLiteral("-q"), tempPath(QStringLiteral("temp.zip")),
                 QStringLiteral("-d"), tempDir->path()});
}

void UpdateInformation::startUnpacker(const QString& program, const QStringList& arguments) {
  connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
          &UpdateInformation::replyFinishedUnzip);
  watchUnpack(false);
  process.start(program, arguments, QIODevice::ReadWrite);
}

void UpdateInformation::watchUnpack(bool listing) {
  if (!unpackWatch) {
    unpackWatch = new QTimer(this);
    connect(unpackWatch, &QTimer::timeout, this, &UpdateInformation::checkUnpack);
  }
  unpackListing = listing;
  unpackStalled = false;
  unpackSeenBytes = 0;
  unpackSeenEntries = 0;
  unpackIdle.start();
  unpackWatch->start(50);
}

void UpdateInformation::checkUnpack() {
  if (!tempDir || process.state() == QProcess::NotRunning) return;
  qint64 entries = 0;
  quint64 written = 0;
  if (unpackListing) {
    written = quint64(process.bytesAvailable());  // the names listed so far
  } else {
    written = unpackedBytes(&entries);
    if (written > unpackBound) {
      qDebug() << "UpdateInformation: unzip stopped: more than" << unpackBound << "bytes written";
      unpackWatch->stop();
      process.kill();  // ends in replyFinishedUnzip, which checks again
      return;
    }
  }
  if (written != unpackSeenBytes || entries != unpackSeenEntries) {
    unpackSeenBytes = written;
    unpackSeenEntries = entries;
    unpackIdle.start();
    return;
  }
  const int limit = unpackInactivityMs.load();
  if (unpackIdle.elapsed() < limit) return;
  qDebug() << "UpdateInformation: unzip stopped: nothing written for" << limit << "ms";
  unpackStalled = true;
  unpackWatch->stop();
  process.kill();  // ends in replyListedZip or replyFinishedUnzip
}

quint64 UpdateInformation::unpackedBytes(qint64* entries) const {
  // Every file counts, wherever it lies: an entry may also replace the archive
  // or the script.
  quint64 total = 0;
  qint64 count = 0;
  QDirIterator it(
      tempDir->path(),
      QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System | QDir::NoSymLinks,
      QDirIterator::Subdirectories);
  while (it.hasNext()) {
    it.next();
    ++count;
    if (it.fileInfo().isFile()) total += quint64(qMax<qint64>(0, it.fileInfo().size()));
  }
  if (entries) *entries = count;
  // The archive as saved, and the unpack script (its line ends as CR LF).
  quint64 ours = quint64(archiveBytes);
#ifdef Q_OS_WIN
  ours += 2 * sizeof(kUnzipScript);
#endif
  return total > ours ? total - ours : 0;
}

void UpdateInformation::replyFinishedUnzip(int exitCode, QProcess::ExitStatus status) {
  if (unpackWatch) unpackWatch->stop();
  const quint64 written = unpackedBytes();
  QFile::remove(tempPath(QStringLiteral("unzip.js")));
  QFile::remove(tempPath(QStringLiteral("temp.zip")));
  disconnect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
             &UpdateInformation::replyFinishedUnzip);
  bool failed = status == QProcess::CrashExit;
  if (failed) qDebug() << "UpdateInformation: CrashExit";
  if (unpackStalled) failed = true;
  if (written > unpackBound) {
    qDebug() << "UpdateInformation: unzip refused: the archive unpacked to" << written << "bytes, more than"
             << unpackBound;
    failed = true;
  }
#ifndef Q_OS_WIN
  // unzip: 0 done, 1 done with warnings, anything else an incomplete unpack.
  if (exitCode > 1) {
    qDebug() << "UpdateInformation: unzip error" << exitCode;
    failed = true;
  }
#else
  Q_UNUSED(exitCode);
#endif
  QFileInfoList found;
  if (!failed) {
    found = QDir(tempDir->path())
                .entryInfoList({QStringLiteral("*.exe")}, QDir::Files | QDir::NoSymLinks, QDir::NoSort);
    if (found.isEmpty()) {
      qDebug() << "UpdateInformation: no installer in the archive";
      failed = true;
    }
  }
  if (failed) {
    // Nothing of a failed unpack is kept: neither what an archive without an
    // installer held, nor what an unpacker wrote before it failed or was
    // stopped.
    discardDownloadFolder();
    emit errorDownloadFile();
    return;
  }
  execPath = QDir::toNativeSeparators(found.first().absoluteFilePath());
  qDebug() << "UpdateInformation: exec/dmg " << execPath;
  emit readiedExec();
  delete tempDir;
  tempDir = nullptr;
}

void UpdateInformation::replyFinishedMount(int exitCode, QProcess::ExitStatus status) {
  Q_UNUSED(exitCode);
  qDebug() << "UpdateInformation: replyFinishedMount";
  disconnect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
             &UpdateInformation::replyFinishedMount);
  if (status == QProcess::CrashExit) {
    qDebug() << "UpdateInformation: CrashExit";
    emit errorDownloadFile();
    return;
  }
  const QString updater = deviceType == 0 ? QStringLiteral("/Volumes/tarrow_firmware/tarrow_firmware.app")
                                          : QStringLiteral("/Volumes/FarLink_firmware/FarLink_firmware.app");
  const QString installer = QStringLiteral("/Volumes/Brevanta_Installer/Brevanta_Installer.pkg");
  for (int attempt = 0; attempt < 5; ++attempt) {
    bool started = false;
    if (QFileInfo::exists(updater)) {
      qDebug() << "UpdateInformation: replyFinishedMount: firmware update";
      started = QProcess::startDetached(QStringLiteral("open"), {updater});
    } else if (QFileInfo::exists(installer)) {
      qDebug() << "UpdateInformation: replyFinishedMount: software update";
      started = QProcess::startDetached(
          QStringLiteral("open"), {QStringLiteral("/System/Library/CoreServices/installer.app"), installer});
    } else {
      QThread::msleep(100);
      qDebug() << "UpdateInformation: replyFinishedMount: sleep" << attempt;
      continue;
    }
    if (started)
      QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    return;
  }
}

// --- the installer ----------------------------------------------------------------

void UpdateInformation::execFile() {
  if (execPath.isEmpty()) return;
#ifndef Q_OS_WIN
  // A downloaded file carries no execute permission here.
  QFile::setPermissions(execPath, QFile::permissions(execPath) | QFile::ExeOwner | QFile::ReadOwner);
#endif
  // Detached: the installer keeps running when the panel closes, as it usually
  // has to replace the panel or talk to the unit alone.
  const QString folder = QFileInfo(execPath).absolutePath();
#ifdef Q_OS_WIN
  // Through the shell, so that an installer that asks for administrator rights
  // gets the elevation prompt (CreateProcess refuses such a program). The
  // shell may hand the start to extensions that need COM in a single-threaded
  // apartment, and this worker thread has no apartment of its own; one that
  // already has one (of either kind) keeps it.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const auto result = reinterpret_cast<quintptr>(ShellExecuteW(
      nullptr, L"open", reinterpret_cast<const wchar_t*>(execPath.utf16()), nullptr,
      reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(folder).utf16()), SW_SHOWNORMAL));
  if (SUCCEEDED(com)) CoUninitialize();
  if (result <= 32) qDebug() << "UpdateInformation: exec failed" << execPath << result;
#else
  if (!QProcess::startDetached(execPath, {}, folder))
    qDebug() << "UpdateInformation: exec failed" << execPath;
#endif
}
