// Single-instance guard on a lock file and a local socket, both named after
// the program's identifier, the user and the user's session, so that two users
// (or two sessions of one user) each get their own instance.
#include "singleinstance.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QWidget>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Receipt confirmation sent back to the new instance.
constexpr char kAck = '\x06';
// Longest message accepted from another instance.
constexpr quint32 kMaxMessageBytes = 64 * 1024;

// Folder for the lock file and (off Windows) the socket, private to the
// user's session where the platform offers one.
QString sessionFolder() {
#ifdef Q_OS_WIN
  return QDir::tempPath();
#else
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
    return QString::fromLocal8Bit(runtime);
  return QDir::tempPath();
#endif
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
  const QString folder = sessionFolder();
#ifdef Q_OS_WIN
  serverName = base;
#else
  serverName = QDir(folder).filePath(base + QStringLiteral(".sock"));
#endif

  lock = new QLockFile(QDir(folder).filePath(base + QStringLiteral(".lock")));
  // A lock is taken over only when its owner has died, never by age.
  lock->setStaleLockTime(0);
  if (!lock->tryLock(0)) {
    running = true;
    return;
  }

  server = new QLocalServer(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(serverName);  // left behind by a crashed instance
  if (!server->listen(serverName)) {
    qWarning("SingleInstanceApplication: cannot listen on %s: %s", qUtf8Printable(serverName),
             qUtf8Printable(server->errorString()));
    return;
  }
  connect(server, &QLocalServer::newConnection, this, &SingleInstanceApplication::acceptConnection);
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
