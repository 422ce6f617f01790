// The update worker's unpacking of a downloaded archive: its listing checked
// before anything is written, the unpacker watched while it writes, the
// installer found in what it wrote.
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include "archivelisting.h"
#include "updateinformation.h"

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

}  // namespace

// --- unpacking ------------------------------------------------------------------

bool UpdateInformation::archiveFits(const QByteArray& body) {
  ArchiveListing listing;
  if (!readArchiveListing(body, &listing)) {
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
  if (listing.unpackedBytes > bound) {
    qDebug() << "UpdateInformation: unzip refused: the archive unpacks to" << listing.unpackedBytes
             << "bytes, more than" << bound;
    emit errorDownloadFile();
    return false;
  }
  // Every unpacker, on every platform, gets only names that stay inside the
  // folder and are plain files there.
  bool refused = listing.links > 0;
  if (refused) qDebug() << "UpdateInformation: unzip refused:" << listing.links << "symbolic links";
  for (const QString& name : listing.names) {
    if (!archiveEntryRefused(name)) continue;
    qDebug() << "UpdateInformation: unzip refused entry" << name.left(200);
    refused = true;
  }
  if (refused) emit errorDownloadFile();
  return !refused;
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
  // The script host of the system folder, never one found on the path or in
  // the working folder.
  WCHAR system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    qDebug() << "UpdateInformation: unzip error"
             << "no system folder";
    discardDownloadFolder();
    emit errorDownloadFile();
    return;
  }
  const QString cscript = QString::fromWCharArray(system, int(length)) + QStringLiteral("\\cscript.exe");
  startUnpacker(cscript, {QStringLiteral("unzip.js"), folder + QStringLiteral("\\temp.zip"), folder});
#else
  // Info-ZIP's unzip.
  startUnpacker(QStringLiteral("unzip"),
                {QStringLiteral("-o"), QStringLiteral("-q"), tempPath(QStringLiteral("temp.zip")),
                 QStringLiteral("-d"), folder});
#endif
}

void UpdateInformation::startUnpacker(const QString& program, const QStringList& arguments) {
  connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
          &UpdateInformation::replyFinishedUnzip);
  watchUnpack();
  process.start(program, arguments, QIODevice::ReadWrite);
}

void UpdateInformation::watchUnpack() {
  if (!unpackWatch) {
    unpackWatch = new QTimer(this);
    connect(unpackWatch, &QTimer::timeout, this, &UpdateInformation::checkUnpack);
  }
  unpackStalled = false;
  unpackSeenBytes = 0;
  unpackSeenEntries = 0;
  unpackIdle.start();
  unpackWatch->start(50);
}

void UpdateInformation::checkUnpack() {
  if (!tempDir || process.state() == QProcess::NotRunning) return;
  qint64 entries = 0;
  const quint64 written = unpackedBytes(&entries);
  if (written > unpackBound) {
    qDebug() << "UpdateInformation: unzip stopped: more than" << unpackBound << "bytes written";
    unpackWatch->stop();
    process.kill();  // ends in replyFinishedUnzip, which checks again
    return;
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
  process.kill();  // ends in replyFinishedUnzip
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
  qDebug() << "UpdateInformation: exec/dmg " << found.first().absoluteFilePath();
  if (!moveInstallerAway(found.first().absoluteFilePath())) return;
  if (!installerIsTrusted(execPath)) return;
  emit readiedExec();
  delete tempDir;  // the installer's folder stays: automatic removal is off
  tempDir = nullptr;
}

bool UpdateInformation::moveInstallerAway(const QString& found) {
  // The unpack folder and everything the archive carried beside the
  // installer go; the installer moves first, into a folder of its own.
  QTemporaryDir* unpacked = tempDir;
  tempDir = nullptr;
  const bool folderMade = makeDownloadFolder();
  const QString target = folderMade ? tempPath(QFileInfo(found).fileName()) : QString();
  const bool moved = folderMade && QFile::rename(found, target);
  if (!unpacked->remove()) qDebug() << "UpdateInformation: could not remove" << unpacked->path();
  delete unpacked;
  if (!folderMade) return false;  // reported
  if (!moved) {
    qDebug() << "UpdateInformation: could not move the installer to" << target;
    discardDownloadFolder();
    emit errorDownloadFile();
    return false;
  }
  execPath = QDir::toNativeSeparators(target);
  return true;
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
