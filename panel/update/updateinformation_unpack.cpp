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

bool archiveEntryEscapes(const QString& name) {
  if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))) return true;
  if (name.size() >= 2 && name.at(1) == QLatin1Char(':')) return true;
  const QStringList parts =
      QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
  return parts.contains(QStringLiteral(".."));
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
