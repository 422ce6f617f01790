// Saves pictures of the panel into OUTPUT_DIR: the ASIO-driver reminder in
// English and Japanese, the information page, the meter page of every model
// with live levels and peak lines at 1110 x 650 and 2220 x 1300 client size,
// and with the unit silent (no meter answer for over a second), the meter
// page in each meter source, and the not-connected page.
// Run it through tests/isolated.sh so that it has its own host socket.
// With --still the unit's clock is virtual and stands still while it serves:
// its signals keep one value, so two runs give the same pictures, pixel for
// pixel (to compare the pages before and after a change); the unit then
// falls silent by the host being stopped for a moment, and blinking lamps
// are taken in their off phase.
#include <signal.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include "devhostprocess.h"
#include "displayscaling.h"
#include "mainwindow.h"
#include "meterview.h"
#include "settingsstore.h"

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

void setClientSize(MainWindow& w, const QSize& client) {
  w.resize(client + QSize(0, w.menuBar()->height()));
  waitFor([&] { return w.centralWidget()->size() == client; }, 3000);
}

// With --still, pictures are taken just after the 500 ms tick has shown the
// blinking rec-function lamps off, so that they too are the same each run.
bool stillPictures = false;

void shoot(MainWindow& w, const QSize& client, const QString& file, int settleMs = 1500) {
  setClientSize(w, client);
  QTest::qWait(settleMs);  // a few ticks at the new size
  if (stillPictures) {
    // The tick shows the lamps in the phase it finds, then turns it.
    waitFor([] { return !recBlinkPhase; }, 2000);
    waitFor([] { return recBlinkPhase; }, 2000);
  }
  w.grab().save(file);
  qInfo("saved %s (client %dx%d)", qPrintable(file), w.centralWidget()->width(), w.centralWidget()->height());
}

// Constructs a window while the reminder is due and saves the reminder.
void shootReminder(const QLocale& locale, const QString& file) {
  QLocale::setDefault(locale);
  writeSetting("PopupMessage", "WakeUp", true);
  QTimer::singleShot(800, [file] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      box->grab().save(file);
      qInfo("saved %s", qPrintable(file));
      if (auto* message = qobject_cast<QMessageBox*>(box)) message->accept();
    }
  });
  MainWindow w;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

}  // namespace

int main(int argc, char* argv[]) {
  // As the panel starts: the pictures show what a display of QT_FONT_DPI
  // shows (144 for the 150 % of Windows; by default 96, Windows at 100 %).
  setUpDisplayScaling();
  QApplication app(argc, argv);
  const QStringList args = app.arguments().mid(1);
  const bool still = args.contains(QStringLiteral("--still"));
  stillPictures = still;
  QString out = QStringLiteral(".");
  for (const QString& a : args) {
    if (!a.startsWith(QLatin1String("--"))) out = a;
  }
  QDir().mkpath(out);

  shootReminder(QLocale(QLocale::English, QLocale::UnitedStates), out + "/reminder_en.png");
  shootReminder(QLocale(QLocale::Japanese, QLocale::Japan), out + "/reminder_ja.png");
  writeSetting("PopupMessage", "WakeUp", false);

  DevhostProcess host;
  QStringList hostArgs = {"--model", "Tarrow"};
  if (still)
    hostArgs << "--clock"
             << "virtual";
  if (!host.start(hostArgs)) {
    qCritical("%s", qPrintable(host.error()));
    return 1;
  }
  MainWindow w;
  w.setMinimumSize(0, 0);  // for pictures at exactly the base client size
  w.show();
  auto* stack = w.findChild<QStackedWidget*>("stackedWidget");
  auto* device = w.findChild<QLabel*>("label_Device");
  auto* fw = w.findChild<QLabel*>("label_FWVer");
  if (!waitFor([&] { return stack->currentIndex() == 0 && fw->text() == "V1.05 0042"; }, 30000)) {
    qCritical("the unit was not identified");
    return 1;
  }
  const QSize base(1110, 650);
  const QSize twice(2220, 1300);
  QTest::qWait(1200);
  shoot(w, base, out + "/info_1110x650.png");
  shoot(w, twice, out + "/info_2220x1300.png");

  w.findChild<QPushButton*>("pushButton_PeakHold3s")->click();
  w.findChild<QPushButton*>("pushButton_MTRSource")->click();
  const struct {
    const char* model;
    const char* file;
  } models[] = {{"Tarrow", "tarrow"},
                {"Quenby", "quenby"},
                {"Pellin", "pellin"},
                {"Dorrit", "dorrit"},
                {"Far Link", "farlink"}};
  for (const auto& m : models) {
    if (device->text() != QLatin1String(m.model)) {
      host.command(QStringLiteral("model ") + m.model);
      if (!waitFor([&] { return device->text() == QLatin1String(m.model); }, 30000)) {
        qCritical("%s was not identified", m.model);
        return 1;
      }
      QTest::qWait(1500);
    }
    w.findChild<QPushButton*>("pushButton_Meter")->click();
    shoot(w, base, out + QStringLiteral("/meter_%1_1110x650.png").arg(m.file), 3000);
    shoot(w, twice, out + QStringLiteral("/meter_%1_2220x1300.png").arg(m.file), 3000);
    // The unit stops answering: after a second the page says so.
    auto* view = w.findChild<MeterView*>("meterView");
    setClientSize(w, base);
    // (A host on the virtual clock does not come back from timed-out
    // transfers; a stopped host leaves the panel without answers as well.)
    if (still) {
      ::kill(pid_t(host.processId()), SIGSTOP);
    } else {
      host.command("stall-timeout 2");
    }
    if (!waitFor([&] { return view->isStale(); }, 5000)) {
      qCritical("%s: the meters did not go stale", m.model);
      return 1;
    }
    shoot(w, base, out + QStringLiteral("/meter_%1_silent_1110x650.png").arg(m.file), 200);
    if (still) ::kill(pid_t(host.processId()), SIGCONT);
    if (!waitFor([&] { return !view->isStale() && device->text() == QLatin1String(m.model); }, 30000)) {
      qCritical("%s: the meters did not come back", m.model);
      return 1;
    }
  }

  // Each meter source on one model.
  host.command("model Tarrow");
  waitFor([&] { return device->text() == QLatin1String("Tarrow"); }, 30000);
  QTest::qWait(1500);
  w.findChild<QPushButton*>("pushButton_Meter")->click();
  const char* const sources[4] = {"pushButton_MTRSource", "pushButton_Analog", "pushButton_USB",
                                  "pushButton_MTR"};
  for (int s = 0; s < 4; ++s) {
    w.findChild<QPushButton*>(sources[s])->click();
    shoot(w, base, out + QStringLiteral("/source%1_tarrow_1110x650.png").arg(s), 3000);
  }
  w.findChild<QPushButton*>(sources[0])->click();

  // A window larger than twice the base, of another aspect.
  shoot(w, QSize(1680, 1020 - w.menuBar()->height()), out + "/meter_tarrow_1680x1020_window.png", 2000);

  stack->setCurrentIndex(0);
  host.command("unplug");
  if (!waitFor([&] { return stack->currentIndex() == 2; }, 30000)) return 1;
  shoot(w, base, out + "/dead_1110x650.png");
  host.stop();
  return 0;
}
