// The update worker's start of the installer: only the maker's, checked just
// before it starts.
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#ifdef Q_OS_WIN
#include <windows.h>
// After <windows.h>, whose declarations they need.
#include <objbase.h>
#include <shellapi.h>
#endif

#include "installersignature.h"
#include "updateinformation.h"

namespace {

// Detached: the installer keeps running when the panel closes, as it usually
// has to replace the panel or talk to the unit alone.
bool startDetached(const QString& path, const QString& folder) {
#ifdef Q_OS_WIN
  // Through the shell, so that an installer that asks for administrator rights
  // gets the elevation prompt (CreateProcess refuses such a program). The
  // shell may hand the start to extensions that need COM in a single-threaded
  // apartment, and this worker thread has no apartment of its own; one that
  // already has one (of either kind) keeps it.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const auto result = reinterpret_cast<quintptr>(ShellExecuteW(
      nullptr, L"open", reinterpret_cast<const wchar_t*>(path.utf16()), nullptr,
      reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(folder).utf16()), SW_SHOWNORMAL));
  if (SUCCEEDED(com)) CoUninitialize();
  return result > 32;
#else
  // A downloaded file carries no execute permission here.
  QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ReadOwner);
  return QProcess::startDetached(path, {}, folder);
#endif
}

}  // namespace

bool UpdateInformation::installerIsTrusted(const QString& path) {
  const InstallerSignature signature = checkInstallerSignature(path);
  if (!signature.trusted) refuseInstaller(path, signature.reason);
  return signature.trusted;
}

void UpdateInformation::refuseInstaller(const QString& path, const QString& reason) {
  qDebug() << "UpdateInformation: installer refused" << path << reason;
  // Nothing of it stays, and nothing starts.
  if (tempDir) {
    discardDownloadFolder();
  } else {
    QFile::remove(path);
    QDir().rmdir(QFileInfo(path).absolutePath());  // its own folder, now empty
  }
  execPath.clear();
  emit errorDownloadFile();
}

void UpdateInformation::execFile() {
  if (execPath.isEmpty()) return;
  const QString path = execPath;
  const QString folder = QFileInfo(path).absolutePath();
#ifdef Q_OS_WIN
  // Nobody changes or replaces the installer between its check and its start:
  // it stays open here, shared for reading (and running) only.
  HANDLE pinned = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const InstallerSignature signature = pinned != INVALID_HANDLE_VALUE
                                           ? checkInstallerSignature(path)
                                           : InstallerSignature{false, QStringLiteral("it cannot be opened")};
  if (!signature.trusted) {
    if (pinned != INVALID_HANDLE_VALUE) CloseHandle(pinned);
    refuseInstaller(path, signature.reason);
    return;
  }
#else
  if (!installerIsTrusted(path)) return;
#endif
  execPath.clear();  // started once
  const bool started = installerStarter ? installerStarter(path, folder) : startDetached(path, folder);
#ifdef Q_OS_WIN
  CloseHandle(pinned);
#endif
  if (!started) qDebug() << "UpdateInformation: exec failed" << path;
}
