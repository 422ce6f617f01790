// The update worker's start of the installer.
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#ifdef Q_OS_WIN
#include <windows.h>
// After <windows.h>, whose declarations they need.
#include <objbase.h>
#include <shellapi.h>
#endif

#include "updateinformation.h"

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
