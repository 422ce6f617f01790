// Start-up of the settings panel: single-instance check, translator, main
// window, event loop. The device proxy and its worker thread already exist
// when main starts.
#include <QCoreApplication>
#include <QDebug>
#include <QLocale>
#include <QLoggingCategory>
#include <QMessageBox>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>
#endif

#include "constants.h"
#include "displayscaling.h"
#include "mainwindow.h"
#include "singleinstance.h"
#include "translationfile.h"

#ifndef Q_OS_WIN
namespace {

int quitPipe[2] = {-1, -1};
bool quitRequested = false;

void onQuitSignal(int) {
  const char c = 1;
  ssize_t ignored = ::write(quitPipe[1], &c, 1);
  (void)ignored;
}

// SIGTERM and SIGINT (a session ending, a script closing the panel) end the
// event loop like closing the window, so the window saves what it keeps.
void quitOnSignals(QCoreApplication* app) {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, quitPipe) != 0) return;
  auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, app);
  QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
    char c;
    ssize_t ignored = ::read(quitPipe[0], &c, 1);
    (void)ignored;
    quitRequested = true;  // also when it arrives during a modal box at start
    app->quit();
  });
  struct sigaction sa {};
  sa.sa_handler = onQuitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

}  // namespace
#endif

int main(int argc, char* argv[]) {
  setUpDisplayScaling();
  // The panel's trace lines are for developers: QT_LOGGING_RULES="default.debug=true"
  // shows them. Warnings always show.
  QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

  // The text a second start hands over is the one earlier releases send, so
  // that a running panel of either answers the other.
  SingleInstanceApplication app(argc, argv, true);
  if (app.isRunning()) {
    return app.sendMessage(QStringLiteral("Already App is Running!"), 5000) ? 0 : 1;
  }

  QCoreApplication::setApplicationVersion(QStringLiteral(PANEL_APPLICATION_VERSION));

  // A missing file leaves the built-in texts; so does a damaged one, which a
  // translator would follow out of its bounds at the first translated text.
  CheckedTranslation translation;
  // "translate_" and the locale's name: the names of the maker's translation
  // files beside the program.
  if (!translation.load(QStringLiteral("translate_") + QLocale::system().name(),
                        QCoreApplication::applicationDirPath()) &&
      !translation.problem().isEmpty())
    qWarning("Brevanta_Settings_Panel: translation not loaded: %s", qUtf8Printable(translation.problem()));
  translation.install();

#ifndef Q_OS_WIN
  quitOnSignals(&app);
#endif
  // Without a folder for its guard the panel cannot tell a second start from
  // the first: it runs, and says why.
  if (!app.guardProblem().isEmpty()) {
    const QString text = QStringLiteral("The Settings Panel cannot make sure that it runs only once: ") +
                         app.guardProblem() + QStringLiteral(". It starts all the same.");
    qWarning("Brevanta_Settings_Panel: %s", qUtf8Printable(text));
    QMessageBox::warning(nullptr, QStringLiteral("KORVEL Brevanta Settings Panel"), text);
  }
  MainWindow* window = new MainWindow();
  app.setActivationWindow(window, true);

  window->show();
  qDebug() << "width" << window->width();
  qDebug() << "height" << window->height();

#ifndef Q_OS_WIN
  const int result = quitRequested ? 0 : app.exec();
#else
  const int result = app.exec();
#endif
  delete window;
  return result;
}
