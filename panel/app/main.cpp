// Start-up of the settings panel: single-instance check, translator, main
// window, event loop. The device proxy and its worker thread already exist
// when main starts.
#include <QCoreApplication>
#include <QDebug>
#include <QLocale>
#include <QTranslator>

#include "constants.h"
#include "mainwindow.h"
#include "singleinstance.h"

int main(int argc, char* argv[]) {
  qputenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1");

  SingleInstanceApplication app(argc, argv, true);
  if (app.isRunning()) {
    return app.sendMessage(QStringLiteral("Already App is Running!"), 5000) ? 0 : 1;
  }

  QCoreApplication::setApplicationVersion(QStringLiteral(PANEL_APPLICATION_VERSION));

  QTranslator* translator = new QTranslator();
  translator->load(QStringLiteral("translate_") + QLocale::system().name(),
                   QCoreApplication::applicationDirPath());
  app.installTranslator(translator);

  MainWindow* window = new MainWindow();
  app.setActivationWindow(window, true);
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);

  window->show();
  qDebug() << "width" << window->width();
  qDebug() << "height" << window->height();

  const int result = app.exec();
  delete window;
  delete translator;
  return result;
}
