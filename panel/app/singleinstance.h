// SingleInstanceApplication: the application object of a program that runs
// once per user session. The first instance holds a lock file and listens on
// a local socket; a later instance finds the lock taken and can hand the first
// a text message, which brings the first instance's window to the front.
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
  void acceptConnection();
  void readMessage(QLocalSocket* socket);

  QString appId;
  QString serverName;
  QLockFile* lock = nullptr;
  QLocalServer* server = nullptr;
  bool running = false;
  QPointer<QWidget> actWindow;
  bool activateOnMessage = false;
};

#endif
