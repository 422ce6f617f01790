// The single-instance guard between processes: a second start hands its text
// to the first and exits 0 while the first comes to the front; a hung first
// makes the second exit 1; a dead first's lock is taken over; a lock file
// nobody holds and an unwritable session folder are no instance; sessions are
// separate; the panel program itself follows the same rules, and says why
// when no folder can hold its guard.
#include <unistd.h>

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

const QString kId = QStringLiteral("panel-test-instance");

bool waitForLine(QProcess& p, const QByteArray& prefix, QByteArray* line = nullptr, int timeoutMs = 30000) {
  QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    while (p.canReadLine()) {
      const QByteArray l = p.readLine().trimmed();
      if (l.startsWith(prefix)) {
        if (line) *line = l;
        return true;
      }
    }
    if (deadline.hasExpired() || p.state() != QProcess::Running) return false;
    p.waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1)));
  }
}

// A second start; `timeoutMs` is how long it waits for the first's answer
// (the panel's own 5000 ms by default).
int runSecond(const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
              int timeoutMs = 5000) {
  QProcess second;
  second.setProcessEnvironment(env);
  second.start(PANEL_HELPER_PATH, {"second", kId, QString::number(timeoutMs)});
  if (!second.waitForFinished(60000)) {
    second.kill();
    second.waitForFinished();
    return -1;
  }
  return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
}

void startFirst(QProcess& first, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  first.setProcessEnvironment(env);
  first.setProcessChannelMode(QProcess::SeparateChannels);
  first.start(PANEL_HELPER_PATH, {"first", kId});
  first.waitForStarted(30000);
}

void stop(QProcess& p) {
  if (p.state() == QProcess::NotRunning) return;
  p.kill();
  p.waitForFinished(10000);
}

// The environment with the session folder replaced.
QProcessEnvironment withRuntime(const QString& folder) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_RUNTIME_DIR", folder);
  return env;
}

// A folder that nobody can make files in, not even the superuser.
const QString kUnwritable = QStringLiteral("/sys");

QStringList lockFiles() {
  return QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).entryList({"korvel-panel-*.lock"}, QDir::Files);
}

}  // namespace

class TestSingleInstance : public QObject {
  Q_OBJECT

  QTemporaryDir tmp;  // TMPDIR of the test and its programs

 private slots:
  void initTestCase() {
    QVERIFY(tmp.isValid());
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
  }

  void secondActivatesFirst() {
    QProcess first;
    startFirst(first);
    QVERIFY(waitForLine(first, "ready"));
    QCOMPARE(runSecond(), 0);
    QByteArray line;
    QVERIFY(waitForLine(first, "message:", &line));
    QCOMPARE(line, QByteArray("message:Already App is Running!"));
    QVERIFY(waitForLine(first, "minimized:", &line));
    QCOMPARE(line, QByteArray("minimized:0"));
    // A third start is answered just as well.
    QCOMPARE(runSecond(), 0);
    QVERIFY(waitForLine(first, "message:"));
    stop(first);
  }

  void hungFirstMakesSecondFail() {
    QProcess first;
    startFirst(first);
    QVERIFY(waitForLine(first, "ready"));
    ::kill(pid_t(first.processId()), SIGSTOP);
    // A first that never answers: the second gives up after its time-out,
    // however long that is; 500 ms rather than the panel's 5 s.
    const int code = runSecond(QProcessEnvironment::systemEnvironment(), 500);
    ::kill(pid_t(first.processId()), SIGCONT);
    QCOMPARE(code, 1);
    stop(first);
  }

  void deadFirstLeavesNoInstance() {
    QProcess first;
    startFirst(first);
    QVERIFY(waitForLine(first, "ready"));
    stop(first);  // killed: its lock file and socket stay behind
    QCOMPARE(runSecond(), 2);
    QProcess again;
    startFirst(again);
    QVERIFY(waitForLine(again, "ready"));
    QCOMPARE(runSecond(), 0);
    stop(again);
  }

  void lockFileNobodyHoldsIsNoInstance() {
    for (const QString& f : lockFiles())
      QFile::remove(QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath(f));
    QProcess first;
    startFirst(first);
    QVERIFY(waitForLine(first, "ready"));
    const QStringList made = lockFiles();
    QCOMPARE(made.size(), 1);
    stop(first);
    // What a crash while the lock was being written, or a full disk, leaves.
    QFile lock(QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath(made.first()));
    QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
    lock.write("\n\x01garbage");
    lock.close();
    QCOMPARE(runSecond(), 2);
    QProcess again;
    startFirst(again);
    QVERIFY(waitForLine(again, "ready"));
    QCOMPARE(runSecond(), 0);
    QVERIFY(waitForLine(again, "message:"));
    stop(again);
  }

  void unwritableSessionFolderFallsBackToAPrivateOne() {
    const QProcessEnvironment env = withRuntime(kUnwritable);
    QProcess first;
    startFirst(first, env);
    QVERIFY(waitForLine(first, "ready"));
    QCOMPARE(runSecond(env), 0);
    QByteArray line;
    QVERIFY(waitForLine(first, "message:", &line));
    QCOMPARE(line, QByteArray("message:Already App is Running!"));
    // The guard went to a folder of the user's that no one else can reach.
    const QFileInfo folder(QDir(tmp.path()).filePath(QString("korvel-%1").arg(getuid())));
    QVERIFY(folder.isDir());
    QCOMPARE(
        folder.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
        QFile::Permissions());
    stop(first);
  }

  void otherSessionIsSeparate() {
    QProcess first;
    startFirst(first);
    QVERIFY(waitForLine(first, "ready"));
    QTemporaryDir otherRuntime;
    QVERIFY(otherRuntime.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", otherRuntime.path());
    QCOMPARE(runSecond(env), 2);
    stop(first);
  }

  void panelProgramRunsOnce() {
    // The ASIO-driver reminder of a first start would wait for a click
    // before the window shows.
    QSettings(QSettings::IniFormat, QSettings::UserScope, "KORVEL", "Brevanta")
        .setValue("PopupMessage/WakeUp", false);
    QProcess panel;
    panel.setProcessChannelMode(QProcess::SeparateChannels);
    panel.setReadChannel(QProcess::StandardError);  // Qt debug lines
    QProcessEnvironment traced = QProcessEnvironment::systemEnvironment();
    traced.insert("QT_LOGGING_RULES", "default.debug=true");  // the panel hides them otherwise
    panel.setProcessEnvironment(traced);
    panel.start(PANEL_PROGRAM_PATH, QStringList());
    QVERIFY(panel.waitForStarted(30000));
    QVERIFY(waitForLine(panel, "height"));
    QProcess second;
    second.start(PANEL_PROGRAM_PATH, QStringList());
    QVERIFY(second.waitForFinished(60000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(panel.state() == QProcess::Running);
    stop(panel);
  }

  void panelSaysWhyNoFolderCanHoldItsGuard() {
    QSettings(QSettings::IniFormat, QSettings::UserScope, "KORVEL", "Brevanta")
        .setValue("PopupMessage/WakeUp", false);
    QProcessEnvironment env = withRuntime(kUnwritable);
    env.insert("TMPDIR", kUnwritable);
    QProcess panel;
    panel.setProcessEnvironment(env);
    panel.setProcessChannelMode(QProcess::SeparateChannels);
    panel.setReadChannel(QProcess::StandardError);
    panel.start(PANEL_PROGRAM_PATH, QStringList());
    QVERIFY(panel.waitForStarted(30000));
    QByteArray line;
    QVERIFY(waitForLine(panel, "Brevanta_Settings_Panel: The Settings Panel cannot make sure", &line));
    QVERIFY2(
        QString::fromUtf8(line).contains(QRegularExpression(": /sys/korvel-panel-[0-9a-f]{16}\\.lock: ")),
        line.constData());
    QVERIFY2(line.contains(QString("/sys/korvel-%1: ").arg(getuid()).toUtf8()), line.constData());
    // It waits in the message box; a session ending closes it.
    QVERIFY(panel.state() == QProcess::Running);
    ::kill(pid_t(panel.processId()), SIGTERM);
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(panel.exitCode(), 0);
  }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
