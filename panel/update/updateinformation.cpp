// The update worker: its set-up and the download folder it keeps. The
// document and file downloads are in updateinformation_download.cpp, the
// unpacking of an archive in updateinformation_unpack.cpp and the start of the
// installer in updateinformation_launch.cpp.
#include "updateinformation.h"

#include <QDebug>
#include <QDir>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTimer>

#include "makersites.h"

QString builtInInformationUrl(int deviceType) {
  return kMakerDownloadServer + (deviceType == 0
                                     ? QStringLiteral("/download/fw/tarrow/Tarrow_UpdateInformation.json")
                                     : QStringLiteral("/download/fw/FarLink/FarLink_UpdateInformation.json"));
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
