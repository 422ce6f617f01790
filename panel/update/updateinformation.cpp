// The update worker: its set-up and the download folder it keeps. The
// document and file downloads are in updateinformation_download.cpp, the
// unpacking of an archive in updateinformation_unpack.cpp and the start of the
// installer in updateinformation_launch.cpp.
#include "updateinformation.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>

#ifdef Q_OS_WIN
#include <windows.h>
// After <windows.h>, whose declarations they need.
#include <aclapi.h>
#include <sddl.h>
#endif

#include "makersites.h"

namespace {

// Gives `folder` (just made, empty) to the user alone: on Windows a
// protected access list for the user, with SYSTEM and the administrators
// as every profile folder has them; elsewhere mode 0700.
bool restrictToUser(const QString& folder) {
#ifdef Q_OS_WIN
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD bytes = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
  QVector<quint64> buffer(int(bytes / sizeof(quint64) + 1));
  const bool known = bytes > 0 && GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes);
  CloseHandle(token);
  LPWSTR sid = nullptr;
  if (!known || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid))
    return false;
  const QString sddl =
      QStringLiteral("D:P(A;OICI;FA;;;%1)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)").arg(QString::fromWCharArray(sid));
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(reinterpret_cast<LPCWSTR>(sddl.utf16()),
                                                            SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  const QString native = QDir::toNativeSeparators(folder);
  const bool applied =
      GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present &&
      SetNamedSecurityInfoW(const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(native.utf16())), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            dacl, nullptr) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return applied;
#else
  const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                    QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
  return QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
         !(QFileInfo(folder).permissions() & others);
#endif
}

}  // namespace

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

bool UpdateInformation::makeDownloadFolder() {
  delete tempDir;
  tempDir = new QTemporaryDir();
  tempDir->setAutoRemove(false);
  if (!tempDir->isValid() || !restrictToUser(tempDir->path())) {
    qDebug() << "UpdateInformation: file open error" << tempDir->errorString();
    if (tempDir->isValid()) tempDir->remove();
    delete tempDir;
    tempDir = nullptr;
    emit errorDownloadFile();
    return false;
  }
  QMutexLocker lock(&folderLock);
  folderPath = tempDir->path();
  return true;
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
