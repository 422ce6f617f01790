// Helper program for the single-instance tests.
//   singleinstance_helper first ID   holds the instance: a minimised window,
//                                    prints "ready", then for every message
//                                    "message:TEXT" and "minimized:0|1"
//   singleinstance_helper second ID [MS]  hands "Already App is Running!"
//                                    to the first, waiting MS milliseconds
//                                    at most (the panel's 5000 by default);
//                                    exit 0 delivered, 1 not, 2 no first
//                                    instance
#include <QTextStream>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <cstring>

#include "singleinstance.h"

int main(int argc, char* argv[]) {
  if (argc < 3) return 64;
  const bool first = std::strcmp(argv[1], "first") == 0;
  const QString id = QString::fromLocal8Bit(argv[2]);
  SingleInstanceApplication app(id, argc, argv);
  QTextStream out(stdout);

  if (!first) {
    if (!app.isRunning()) return 2;
    const int timeout = argc > 3 ? std::atoi(argv[3]) : 5000;
    return app.sendMessage(QStringLiteral("Already App is Running!"), timeout) ? 0 : 1;
  }
  if (app.isRunning()) {
    out << "running" << Qt::endl;
    return 3;
  }
  QWidget window;
  window.resize(200, 100);
  window.showMinimized();
  app.setActivationWindow(&window, true);
  QObject::connect(&app, &SingleInstanceApplication::messageReceived, [&](const QString& message) {
    out << "message:" << message << Qt::endl;
    // Activation runs right after this signal; report the state once it did.
    QTimer::singleShot(0, [&] { out << "minimized:" << (window.isMinimized() ? 1 : 0) << Qt::endl; });
  });
  out << "ready" << Qt::endl;
  return app.exec();
}
