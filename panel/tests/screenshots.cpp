// Saves pictures of the information page (Tarrow connected) and of the
// not-connected page at 1120 x 680 and 2240 x 1360 into OUTPUT_DIR.
// Run it through tests/isolated.sh so that it has its own host socket.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QStackedWidget>
#include <QTest>

#include "devhostprocess.h"
#include "mainwindow.h"

namespace {

bool waitFor(const std::function<bool()>& condition, int ms) {
  QElapsedTimer t;
  t.start();
  while (!condition()) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(50);
  }
  return true;
}

void shoot(MainWindow& w, const QSize& size, const QString& file) {
  w.resize(size);
  QTest::qWait(1500);  // a few ticks at the new size
  w.grab().save(file);
  qInfo("saved %s", qPrintable(file));
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  QDir().mkpath(out);

  DevhostProcess host;
  if (!host.start({"--model", "Tarrow"})) {
    qCritical("%s", qPrintable(host.error()));
    return 1;
  }
  MainWindow w;
  w.show();
  auto* stack = w.findChild<QStackedWidget*>("stackedWidget");
  auto* fw = w.findChild<QLabel*>("label_FWVer");
  auto* serial = w.findChild<QLabel*>("label_SerialNumber");
  if (!waitFor(
          [&] { return stack->currentIndex() == 0 && fw->text() == "V1.05 0042" && !serial->isHidden(); },
          30000)) {
    qCritical("the unit was not identified");
    return 1;
  }
  shoot(w, QSize(1120, 680), out + "/info_1120x680.png");
  shoot(w, QSize(2240, 1360), out + "/info_2240x1360.png");
  stack->setCurrentIndex(1);
  shoot(w, QSize(1120, 680), out + "/meter_1120x680.png");
  stack->setCurrentIndex(0);
  host.command("unplug");
  if (!waitFor([&] { return stack->currentIndex() == 2; }, 30000)) return 1;
  shoot(w, QSize(2240, 1360), out + "/dead_2240x1360.png");
  shoot(w, QSize(1120, 680), out + "/dead_1120x680.png");
  host.stop();
  return 0;
}
