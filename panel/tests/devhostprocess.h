// A korvel-devhost child process for end-to-end tests: started with the
// test's own socket (KORVEL_DEVHOST_SOCKET is inherited), driven by its
// command lines, stopped with "quit".
#ifndef PANEL_TESTS_DEVHOSTPROCESS_H
#define PANEL_TESTS_DEVHOSTPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

class DevhostProcess {
 public:
  DevhostProcess() = default;
  ~DevhostProcess();
  DevhostProcess(const DevhostProcess&) = delete;
  DevhostProcess& operator=(const DevhostProcess&) = delete;

  // Whether the build has a host program to start.
  static bool available();
  // Starts the host and waits for its "ready" line. False on failure; the
  // reason is in error().
  bool start(const QStringList& args = {});
  // Sends one command and waits for its "ok" answer.
  bool command(const QString& line, int timeoutMs = 20000);
  void stop();
  QString error() const { return lastError; }
  qint64 processId() const { return process.processId(); }

 private:
  bool readLine(QString* line, int timeoutMs);

  QProcess process;
  QString lastError;
};

#endif
