// Test helper: one korvel-devhost child.
#include "devhostprocess.h"

#include <QDeadlineTimer>

DevhostProcess::~DevhostProcess() {
  stop();
}

bool DevhostProcess::available() {
#ifdef KORVEL_DEVHOST_PATH
  return true;
#else
  return false;
#endif
}

bool DevhostProcess::start(const QStringList& args) {
#ifdef KORVEL_DEVHOST_PATH
  process.setProcessChannelMode(QProcess::SeparateChannels);
  process.setReadChannel(QProcess::StandardOutput);
  process.start(QStringLiteral(KORVEL_DEVHOST_PATH), args);
  if (!process.waitForStarted(10000)) {
    lastError = process.errorString();
    return false;
  }
  QString line;
  while (readLine(&line, 30000)) {
    if (line.startsWith(QLatin1String("ready "))) return true;
  }
  lastError =
      QStringLiteral("no ready line; stderr: ") + QString::fromLocal8Bit(process.readAllStandardError());
  return false;
#else
  Q_UNUSED(args);
  lastError = QStringLiteral("korvel-devhost is not part of this build");
  return false;
#endif
}

bool DevhostProcess::readLine(QString* line, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!process.canReadLine()) {
    if (process.state() != QProcess::Running || deadline.hasExpired()) return false;
    process.waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1)));
  }
  *line = QString::fromUtf8(process.readLine()).trimmed();
  return true;
}

bool DevhostProcess::command(const QString& line, int timeoutMs) {
  process.write(line.toUtf8() + '\n');
  QString answer;
  QDeadlineTimer deadline(timeoutMs);
  while (readLine(&answer, int(qMax<qint64>(deadline.remainingTime(), 1)))) {
    if (answer == QStringLiteral("ok ") + line) return true;
    if (answer.startsWith(QStringLiteral("error ") + line)) {
      lastError = answer;
      return false;
    }
  }
  lastError = QStringLiteral("no answer to ") + line;
  return false;
}

void DevhostProcess::stop() {
  if (process.state() == QProcess::NotRunning) return;
  process.write("quit\n");
  if (!process.waitForFinished(10000)) {
    process.kill();
    process.waitForFinished(5000);
  }
}
