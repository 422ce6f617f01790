// SingleInstanceApplication: the application object of a program that runs
// once per user session. The first instance holds a lock file and listens on
// a local socket; a later instance finds the lock held by a live process and
// can hand the first a text message, which brings the first instance's window
// to the front.
//
// The lock and the socket live in the session's private folder, or, when that
// folder cannot hold them (not writable, a damaged lock file nobody holds),
// in a folder private to the user. When neither can, the program is not
// guarded: isRunning() is false and guardProblem() says why.
#ifndef PANEL_APP_SINGLEINSTANCE_H
#define PANEL_APP_SINGLEINSTANCE_H

#include <QApplication>
#include <QPointer>
#include <QString>
#include <QWidget>

class QLocalServer;
class QLocalSocket;
class QLockFile;

class SingleInstanceApplication : public QApplication {
  Q_OBJECT

 public:
  // The identifier is derived from the executable's path.
  SingleInstanceApplication(int& argc, char** argv, bool GUIenabled = true);
  // An explicit identifier: instances with the same one exclude each other.
  SingleInstanceApplication(const QString& id, int& argc, char** argv);
  ~SingleInstanceApplication() override;

  // Another instance of the same identifier runs in this user session.
  bool isRunning() const;
  // Why no folder could hold the guard (empty when it holds or another
  // instance runs).
  QString guardProblem() const { return problem; }
  // Hands `message` to the running instance; true once it confirmed receipt
  // within `timeout` ms.
  bool sendMessage(const QString& message, int timeout = 5000);
  QString id() const { return appId; }

  // Every received message restores, raises and activates `window` when
  // `activateOnMessage` is set.
  void setActivationWindow(QWidget* window, bool activateOnMessage = true);
  QWidget* activationWindow() const { return actWindow; }

 public slots:
  void activateWindow();

 signals:
  void messageReceived(const QString& message);

 private:
  void start();
  // Takes the guard in the existing `folder`, or finds it held by a live
  // instance; false with `why` when the folder cannot hold it.
  bool startIn(const QString& folder, const QString& base, QString* why);
  void acceptConnection();
  void readMessage(QLocalSocket* socket);

  QString appId;
  QString serverName;
  QLockFile* lock = nullptr;
  QLocalServer* server = nullptr;
  bool running = false;
  QString problem;
  QPointer<QWidget> actWindow;
  bool activateOnMessage = false;
};

#endif
