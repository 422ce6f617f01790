// Single-instance guard on a lock file and a local socket, both named after
// the program's identifier, the user and the user's session, so that two users
// (or two sessions of one user) each get their own instance. Only a lock held
// by a running process means that another instance runs.
#include "singleinstance.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <QWidget>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {

// Receipt confirmation sent back to the new instance.
constexpr char kAck = '\x06';
// Longest message accepted from another instance.
constexpr quint32 kMaxMessageBytes = 64 * 1024;

struct GuardFolder {
  QString path;
  bool ours;  // made (and checked) by the program
};

// Folders for the lock file and (off Windows) the socket, in the order tried:
// the one private to the user's session, then one private to the user.
QList<GuardFolder> guardFolders() {
#ifdef Q_OS_WIN
  return {{QDir::tempPath(), false},
          {QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/KORVEL"),
           true}};
#else
  QList<GuardFolder> folders;
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) folders.append({QString::fromLocal8Bit(runtime), false});
  folders.append({QDir::tempPath() + QStringLiteral("/korvel-") + QString::number(getuid()), true});
  return folders;
#endif
}

// Makes `folder` when missing; false with `why` when it is not a folder that
// only this user can reach.
bool privateFolder(const QString& folder, QString* why) {
#ifdef Q_OS_WIN
  if (!QDir().mkpath(folder)) {
    *why = folder + QStringLiteral(": cannot be made");
    return false;
  }
  return true;
#else
  const QByteArray path = QFile::encodeName(folder);
  if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
    *why = folder + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = folder + QStringLiteral(": not a folder");
    return false;
  }
  if (st.st_uid != getuid() || (st.st_mode & 077) != 0) {
    *why = folder + QStringLiteral(": other users can reach it");
    return false;
  }
  return true;
#endif
}

// Whether the process `pid` of this machine still runs.
bool processRuns(qint64 pid) {
#ifdef Q_OS_WIN
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
#else
  return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#endif
}

// Whether the lock that `lock` failed to take is held by a running process.
// A lock file that says nothing readable is given a moment, as its maker
// writes it just after making it; then it counts as no one's.
bool heldByLiveProcess(const QLockFile& lock) {
  for (int attempt = 0;; ++attempt) {
    qint64 pid = 0;
    QString host, application;
    if (lock.getLockInfo(&pid, &host, &application)) {
      const QString here = QSysInfo::machineHostName();
      return (!host.isEmpty() && host != here) || processRuns(pid);
    }
    if (attempt == 2) return false;
    QThread::msleep(100);
  }
}

QString lockErrorText(QLockFile::LockError error) {
  switch (error) {
    case QLockFile::LockFailedError:
      return QStringLiteral("a lock file that no running program holds");
    case QLockFile::PermissionError:
      return QStringLiteral("no permission to make the lock file");
    default:
      return QStringLiteral("the lock file cannot be made");
  }
}

// The user and session the guard is scoped to.
QByteArray userSessionKey() {
#ifdef Q_OS_WIN
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return qgetenv("USERNAME") + '|' + QByteArray::number(quint32(session));
#else
  return QByteArray::number(quint32(getuid())) + '|' + qgetenv("XDG_RUNTIME_DIR");
#endif
}

}  // namespace

SingleInstanceApplication::SingleInstanceApplication(int& argc, char** argv, bool GUIenabled)
    : QApplication(argc, argv) {
  Q_UNUSED(GUIenabled);  // a widgets program always has its GUI
  appId = QCoreApplication::applicationFilePath();
#ifdef Q_OS_WIN
  appId = appId.toLower();
#endif
  start();
}

SingleInstanceApplication::SingleInstanceApplication(const QString& id, int& argc, char** argv)
    : QApplication(argc, argv), appId(id) {
  start();
}

SingleInstanceApplication::~SingleInstanceApplication() {
  if (server) server->close();
  delete lock;
}

void SingleInstanceApplication::start() {
  const QByteArray hash =
      QCryptographicHash::hash(appId.toUtf8() + '|' + userSessionKey(), QCryptographicHash::Sha1)
          .toHex()
          .left(16);
  const QString base = QStringLiteral("korvel-panel-") + QString::fromLatin1(hash);
  QStringList problems;
  for (const GuardFolder& folder : guardFolders()) {
    QString why;
    if (folder.ours ? privateFolder(folder.path, &why) : QFileInfo(folder.path).isDir()) {
      if (startIn(folder.path, base, &why)) return;
    } else if (why.isEmpty()) {
      why = folder.path + QStringLiteral(": not a folder");
    }
    problems << why;
  }
  problem = problems.join(QStringLiteral("; "));
}

bool SingleInstanceApplication::startIn(const QString& folder, const QString& base, QString* why) {
#ifdef Q_OS_WIN
  const QString name = base;
#else
  const QString name = QDir(folder).filePath(base + QStringLiteral(".sock"));
#endif
  const QString lockPath = QDir(folder).filePath(base + QStringLiteral(".lock"));
  auto* candidate = new QLockFile(lockPath);
  // A lock is taken over only when its owner has died, never by age.
  candidate->setStaleLockTime(0);
  if (!candidate->tryLock(0)) {
    const QLockFile::LockError error = candidate->error();
    const bool held = error == QLockFile::LockFailedError && heldByLiveProcess(*candidate);
    delete candidate;
    if (held) {
      serverName = name;
      running = true;
      return true;
    }
    *why = lockPath + QStringLiteral(": ") + lockErrorText(error);
    return false;
  }

  auto* listener = new QLocalServer(this);
  listener->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(name);  // left behind by a crashed instance
  if (!listener->listen(name)) {
    *why = name + QStringLiteral(": ") + listener->errorString();
    delete listener;
    delete candidate;  // unlocks
    return false;
  }
  lock = candidate;
  server = listener;
  serverName = name;
  connect(server, &QLocalServer::newConnection, this, &SingleInstanceApplication::acceptConnection);
  return true;
}

bool SingleInstanceApplication::isRunning() const {
  return running;
}

bool SingleInstanceApplication::sendMessage(const QString& message, int timeout) {
  if (!running) return false;
  QDeadlineTimer deadline(qMax(timeout, 0));

  QLocalSocket socket;
  // The first instance may hold the lock a moment before it listens.
  for (;;) {
    socket.connectToServer(serverName);
    if (socket.waitForConnected(int(qMax<qint64>(deadline.remainingTime(), 0)))) break;
    if (deadline.hasExpired()) return false;
    QThread::msleep(50);
  }

  const QByteArray text = message.toUtf8();
  QByteArray frame;
  {
    QDataStream out(&frame, QIODevice::WriteOnly);
    out << quint32(text.size());
  }
  frame += text;
  socket.write(frame);
  while (socket.bytesToWrite() > 0) {
    if (!socket.waitForBytesWritten(int(qMax<qint64>(deadline.remainingTime(), 0)))) return false;
  }
  while (socket.bytesAvailable() < 1) {
    if (deadline.hasExpired() || !socket.waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 0))))
      return false;
  }
  char ack = 0;
  return socket.getChar(&ack) && ack == kAck;
}

void SingleInstanceApplication::acceptConnection() {
  while (QLocalSocket* socket = server->nextPendingConnection()) {
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    readMessage(socket);
  }
}

void SingleInstanceApplication::readMessage(QLocalSocket* socket) {
  if (socket->property("done").toBool()) return;
  if (socket->bytesAvailable() < qint64(sizeof(quint32))) return;
  QDataStream in(socket->peek(sizeof(quint32)));
  quint32 length = 0;
  in >> length;
  if (length > kMaxMessageBytes) {
    socket->abort();
    return;
  }
  if (socket->bytesAvailable() < qint64(sizeof(quint32)) + length) return;
  socket->read(sizeof(quint32));
  const QString message = QString::fromUtf8(socket->read(length));
  socket->setProperty("done", true);
  socket->putChar(kAck);
  socket->flush();

  emit messageReceived(message);
  if (activateOnMessage) activateWindow();
}

void SingleInstanceApplication::setActivationWindow(QWidget* window, bool activate) {
  actWindow = window;
  activateOnMessage = activate;
}

void SingleInstanceApplication::activateWindow() {
  if (!actWindow) return;
  actWindow->setWindowState(actWindow->windowState() & ~Qt::WindowMinimized);
  actWindow->raise();
  actWindow->activateWindow();
}
