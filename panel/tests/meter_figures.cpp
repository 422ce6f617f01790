// Figures of the metering (not a test): run through tests/isolated.sh under
// Xvfb (QT_QPA_PLATFORM=xcb) or offscreen.
//
//   panel_meter_figures [SECONDS]
//   panel_meter_figures --floor [SECONDS]
//
// Starts korvel-devhost with a Tarrow, shows the panel's meter page and
// meters for SECONDS (default 60), then prints:
// - CPU time of each thread of the process over that run (from
//   /proc/self/task/*/stat), as a share of one core, and that of the X
//   server over the same interval (the process serving $DISPLAY, or the
//   one KORVEL_XSERVER_PID names);
// - how the 100 ms ticks found the meter answer (fresh / pending / failed);
// - meter latency: for a level change at any instant t of the run, the time
//   until a bar shows it, taken as the paint that follows the first tick
//   showing an answer whose fetch was requested after t (the unit samples
//   after the request, so this is an upper bound); median and 95th
//   percentile over a 1 ms grid of t;
// - the time one tick takes on the GUI thread, measured around each real
//   tick (timers of the window stopped, the bench ticking every 100 ms), and
//   a QBENCHMARK-style loop of ticks that each show a fresh answer with 24
//   moving bars.
//
// --floor runs the same pattern of wake-ups with none of the panel's work,
// for the part of the figures above that this machine, its kernel and Qt
// charge whatever the panel does: the three timers; a worker thread that
// answers each 100 ms request by queued call after 18 blocking exchanges of
// 64 bytes with a peer process (standing in for the device host, not
// counted) and then pauses 10 ms; four more questions every second,
// answered the same way after 2 exchanges each; and a repaint of a 32 x 32
// square at every tick. It prints the CPU of each thread as above.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "devhostprocess.h"
#include "mainwindow.h"
#include "settingsstore.h"
#include "vxfacade.h"

namespace {

// CPU seconds a task has run, from its schedstat (nanoseconds; the clock
// ticks of /proc/.../stat are too coarse for figures under 1 %); -1 when it
// cannot be read.
double taskCpu(const QString& taskDir) {
  QFile stat(taskDir + "/schedstat");
  if (!stat.open(QIODevice::ReadOnly)) return -1;
  return stat.readAll().split(' ').value(0).toDouble() / 1e9;
}

// Voluntary context switches of a task: how often it went to sleep, each
// costing a wake-up later.
double taskSleeps(const QString& taskDir) {
  QFile status(taskDir + "/status");
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("voluntary_ctxt_switches:"))
      return line.mid(line.indexOf(':') + 1).trimmed().toDouble();
  return -1;
}

// CPU seconds of every task of a process.
double processCpu(const QString& pid) {
  if (pid.isEmpty()) return -1;
  double total = 0;
  bool any = false;
  for (const QString& tid : QDir("/proc/" + pid + "/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const double s = taskCpu("/proc/" + pid + "/task/" + tid);
    if (s >= 0) total += s, any = true;
  }
  return any ? total : -1;
}

struct ThreadCpu {
  QString tid, name;
  double seconds, sleeps;
};

std::vector<ThreadCpu> threadCpu() {
  std::vector<ThreadCpu> out;
  for (const QString& tid : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString dir = "/proc/self/task/" + tid;
    QFile comm(dir + "/comm");
    const double s = taskCpu(dir);
    if (s < 0 || !comm.open(QIODevice::ReadOnly)) continue;
    out.push_back({tid, QString::fromUtf8(comm.readAll()).trimmed(), s, taskSleeps(dir)});
  }
  return out;
}

// The X server the panel paints through: KORVEL_XSERVER_PID, else the
// process whose command line names an X server and the display of $DISPLAY.
QString xServerPid() {
  const QString given = qEnvironmentVariable("KORVEL_XSERVER_PID");
  if (!given.isEmpty()) return given;
  const QString display = qEnvironmentVariable("DISPLAY");
  const int colon = display.lastIndexOf(':');
  if (colon < 0) return {};
  const QString number = display.mid(colon).section('.', 0, 0);  // ":99"
  for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    if (!pid.at(0).isDigit()) continue;
    QFile cmdline("/proc/" + pid + "/cmdline");
    if (!cmdline.open(QIODevice::ReadOnly)) continue;
    const QList<QByteArray> args = cmdline.readAll().split('\0');
    const QString program = QFileInfo(QString::fromLocal8Bit(args.value(0))).fileName();
    if (program != "Xvfb" && program != "Xorg" && program != "X" && program != "Xwayland") continue;
    for (const QByteArray& a : args)
      if (QString::fromLocal8Bit(a) == number) return pid;
  }
  return {};
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[size_t(std::min<double>(v.size() - 1, std::floor(p * double(v.size()))))];
}

bool waitFor(const std::function<bool()>& condition, int ms) {
  QElapsedTimer t;
  t.start();
  while (!condition()) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(20);
  }
  return true;
}

// Counts paint events, painted rectangles and painted area per widget class.
class PaintCensus : public QObject {
 public:
  struct Count {
    long paints = 0, rects = 0;
    double area = 0;
  };
  std::map<QString, Count> byClass;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint) {
      auto* pe = static_cast<QPaintEvent*>(e);
      Count& c = byClass[QString(o->metaObject()->className()) + ":" + o->objectName().left(12)];
      c.paints++;
      for (const QRect& r : pe->region()) c.area += double(r.width()) * r.height(), c.rects++;
    }
    return QObject::eventFilter(o, e);
  }
};

// Records the first paint of a bar after each tick.
class PaintWatch : public QObject {
 public:
  QElapsedTimer* clock = nullptr;
  qint64 lastPaint = -1;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint) lastPaint = clock->nsecsElapsed();
    return QObject::eventFilter(o, e);
  }
};

// One tick of the replay: the levels, the meter step, its repaint and the
// window system's part (a name of its own for callgrind's --toggle-collect).
[[gnu::noinline]] void replayStep(MainWindow& w, const std::array<uint16_t, kMeterChannels>& levels) {
  for (int k = 0; k < kMeterChannels; ++k) w.meterChannels()[k].level = levels[size_t(k)];
  w.levelMeter().updateMeters(w.meterChannels());
  QCoreApplication::processEvents();
  QGuiApplication::sync();
}

// --- the floor ---------------------------------------------------------------

// A square that changes colour at every paint.
class Square : public QWidget {
 public:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(QRect(0, 0, 32, 32), (++paints & 1) ? QColor(0xFF, 0x31, 0) : QColor(0x15, 0xFF, 0x02));
  }
  int paints = 0;
};

// `n` blocking exchanges of 64 bytes on `fd`; false when the peer is gone.
bool exchange(int fd, int n) {
  char buf[64] = {};
  for (int i = 0; i < n; ++i) {
    if (send(fd, buf, sizeof buf, MSG_NOSIGNAL) != ssize_t(sizeof buf)) return false;
    size_t got = 0;
    while (got < sizeof buf) {
      const ssize_t r = recv(fd, buf + got, sizeof buf - got, 0);
      if (r <= 0) return false;
      got += size_t(r);
    }
  }
  return true;
}

void printThreads(const std::vector<ThreadCpu>& before, const std::vector<ThreadCpu>& after, double wall) {
  double total = 0;
  for (const ThreadCpu& b : after) {
    double a = 0, sleepsBefore = 0;
    for (const ThreadCpu& x : before)
      if (x.tid == b.tid) a = x.seconds, sleepsBefore = x.sleeps;
    const double used = b.seconds - a;
    total += used;
    if (used > 0)
      printf("  thread %-8s %-16s %6.3f s  %5.2f %% of one core  %5.1f sleeps/s%s\n", qPrintable(b.tid),
             qPrintable(b.name), used, 100 * used / wall, (b.sleeps - sleepsBefore) / wall,
             b.tid == QString::number(getpid()) ? "  (GUI thread)" : "");
  }
  printf("  process total %.3f s  %.2f %% of one core\n", total, 100 * total / wall);
}

// The X server's CPU between two readings of processCpu.
void printXServer(const QString& xPid, double x0, double x1, double wall) {
  if (x0 >= 0 && x1 >= 0)
    printf("  X server (pid %s)  %.3f s  %5.2f %% of one core\n", qPrintable(xPid), x1 - x0,
           100 * (x1 - x0) / wall);
  else if (QGuiApplication::platformName() == "xcb")
    printf("  X server: not found (set KORVEL_XSERVER_PID)\n");
}

int runFloor(int seconds) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    perror("socketpair");
    return 1;
  }
  // The device host's stand-in, a process of its own as the device host is
  // (a switch to another process costs more than one to another thread):
  // answers every message at once, until the socket closes.
  const pid_t peer = fork();
  if (peer < 0) {
    perror("fork");
    return 1;
  }
  if (peer == 0) {
    close(fds[0]);
    char buf[64];
    for (;;) {
      const ssize_t r = recv(fds[1], buf, sizeof buf, 0);
      if (r <= 0 || send(fds[1], buf, size_t(r), MSG_NOSIGNAL) != r) break;
    }
    _exit(0);
  }
  close(fds[1]);

  Square square;
  square.resize(400, 300);
  square.show();
  QThread workerThread;
  QObject worker;
  worker.moveToThread(&workerThread);
  workerThread.start();
  QByteArray lastAnswer;
  int answers = 0;
  // A question: `exchanges` round trips on the worker, the answer queued
  // back to the GUI thread, then the worker's pause between commands.
  const auto ask = [&](int exchanges, int bytes) {
    QMetaObject::invokeMethod(
        &worker,
        [&, exchanges, bytes] {
          exchange(fds[0], exchanges);
          QByteArray answer(bytes, '\0');
          QMetaObject::invokeMethod(
              &square,
              [&, answer] {
                lastAnswer = answer;
                ++answers;
              },
              Qt::QueuedConnection);
          QThread::msleep(10);
        },
        Qt::QueuedConnection);
  };
  // FLOOR_EXCHANGES: exchanges per fetch other than the 18 of a Tarrow's.
  const int exchanges =
      qEnvironmentVariableIsSet("FLOOR_EXCHANGES") ? qEnvironmentVariableIntValue("FLOOR_EXCHANGES") : 18;
  QTimer t100, t500, t1000;
  t100.setTimerType(Qt::PreciseTimer);
  QObject::connect(&t100, &QTimer::timeout, [&] {
    ask(exchanges, 97 * 8);
    square.update(0, 0, 32, 32);
  });
  QObject::connect(&t500, &QTimer::timeout, [] {});
  QObject::connect(&t1000, &QTimer::timeout, [&] {
    for (int i = 0; i < 4; ++i) ask(2, 16);
  });
  t100.start(100);
  t500.start(500);
  t1000.start(1000);
  QTest::qWait(2000);
  const QString xPid = QGuiApplication::platformName() == "xcb" ? xServerPid() : QString();
  const double x0 = processCpu(xPid);
  const auto cpu0 = threadCpu();
  QElapsedTimer clock;
  clock.start();
  {
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
  }
  const double wall = double(clock.nsecsElapsed()) / 1e9;
  const auto cpu1 = threadCpu();
  const double x1 = processCpu(xPid);
  t100.stop();
  t1000.stop();
  printf(
      "floor: %d s of the metering's wake-ups with none of its work, %d exchanges per fetch, platform %s\n",
      seconds, exchanges, qPrintable(QGuiApplication::platformName()));
  printThreads(cpu0, cpu1, wall);
  printXServer(xPid, x0, x1, wall);
  printf("  %d answers, %d paints\n", answers, square.paints);
  workerThread.quit();
  workerThread.wait();
  shutdown(fds[0], SHUT_RDWR);
  close(fds[0]);
  waitpid(peer, nullptr, 0);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc > 1 && QString(argv[1]) == "--floor") return runFloor(argc > 2 ? QString(argv[2]).toInt() : 30);
  const int seconds = argc > 1 ? QString(argv[1]).toInt() : 60;
  writeSetting("PopupMessage", "WakeUp", false);
  DevhostProcess host;
  if (!host.start({"--model", "Tarrow"})) {
    qCritical("%s", qPrintable(host.error()));
    return 1;
  }
  QElapsedTimer sinceShow;
  MainWindow w;
  w.show();
  sinceShow.start();
  auto* device = w.findChild<QLabel*>("label_Device");
  auto* logo = w.findChild<QLabel*>("label_Tarrow_info");
  if (!waitFor([&] { return device->text() == "Tarrow" && logo->isVisible(); }, 30000)) return 1;
  const qint64 identifiedMs = sinceShow.elapsed();
  QTest::qWait(1500);
  w.findChild<QPushButton*>("pushButton_Meter")->click();
  w.findChild<QPushButton*>("pushButton_PeakHold1s")->click();
  // FIGURES_PAGE=info meters with the information page in front (nothing
  // to paint), to tell painting from the rest.
  if (qgetenv("FIGURES_PAGE") == "info") w.findChild<QStackedWidget*>("stackedWidget")->setCurrentIndex(0);
  QTest::qWait(1000);

  // --- CPU over the run ---------------------------------------------------
  QElapsedTimer clock;
  clock.start();
  std::vector<qint64> requests;  // fetch requests, ns
  QObject::connect(&globalVXDevice(), &QVXDevice::sig_vx_get_meter,
                   [&] { requests.push_back(clock.nsecsElapsed()); });
  struct Tick {
    qint64 start, end;
    bool fresh;
    qint64 lastRequestBefore;
  };
  std::vector<Tick> ticks;
  PaintWatch watch;
  watch.clock = &clock;
  // The meter wells' painter.
  w.findChild<QWidget*>("meterView")->installEventFilter(&watch);

  // The window's own timers stop; the bench runs the same three ticks, so
  // it can time the 100 ms one.
  for (QTimer* t : w.findChildren<QTimer*>()) t->stop();
  QTimer t100, t500, t1000;
  t100.setTimerType(Qt::PreciseTimer);
  qint64 busy500 = 0, busy1000 = 0;
  QObject::connect(&t500, &QTimer::timeout, [&] {
    const qint64 s = clock.nsecsElapsed();
    w.timerInterrupt_500ms();
    busy500 += clock.nsecsElapsed() - s;
  });
  QObject::connect(&t1000, &QTimer::timeout, [&] {
    const qint64 s = clock.nsecsElapsed();
    w.timerInterrupt_1000ms();
    busy1000 += clock.nsecsElapsed() - s;
  });
  std::vector<qint64> paintsAfterTick;
  std::vector<std::array<uint16_t, kMeterChannels>> tickLevels;  // the levels each tick showed
  QObject::connect(&t100, &QTimer::timeout, [&] {
    if (!ticks.empty()) paintsAfterTick.push_back(watch.lastPaint);
    const qint64 before = requests.empty() ? -1 : requests.back();
    const quint64 fresh = w.meterTickCounts().fresh;
    const qint64 s = clock.nsecsElapsed();
    w.timerInterrupt_100ms();
    ticks.push_back({s, clock.nsecsElapsed(), w.meterTickCounts().fresh != fresh, before});
    std::array<uint16_t, kMeterChannels> levels;
    for (int k = 0; k < kMeterChannels; ++k) levels[size_t(k)] = w.meterChannels()[k].level;
    tickLevels.push_back(levels);
  });
  const QString xPid = QGuiApplication::platformName() == "xcb" ? xServerPid() : QString();
  const double x0 = processCpu(xPid);
  const auto cpu0 = threadCpu();
  const qint64 wall0 = clock.nsecsElapsed();
  t100.start(100);
  t500.start(500);
  t1000.start(1000);
  PaintCensus census;
  if (qEnvironmentVariableIsSet("PAINT_CENSUS")) qApp->installEventFilter(&census);
  {
    // A plain event loop, as the program runs it (QTest::qWait would wake
    // the thread every 10 ms).
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
  }
  t100.stop();
  QTest::qWait(50);
  paintsAfterTick.push_back(watch.lastPaint);
  const double wall = double(clock.nsecsElapsed() - wall0) / 1e9;
  const auto cpu1 = threadCpu();
  const double x1 = processCpu(xPid);

  if (qEnvironmentVariableIsSet("PAINT_CENSUS")) {
    qApp->removeEventFilter(&census);
    std::vector<std::pair<double, QString>> rows;
    for (const auto& [k, v] : census.byClass)
      rows.push_back({v.area, QString("%1 paints of %2 rectangles: %3").arg(v.paints).arg(v.rects).arg(k)});
    std::sort(rows.rbegin(), rows.rend());
    for (size_t i = 0; i < rows.size() && i < 15; ++i)
      printf("  paint area %10.0f px over the run: %s\n", rows[i].first, qPrintable(rows[i].second));
  }
  printf("the unit's name on screen %lld ms after the window showed\n", (long long)identifiedMs);
  printf("run: %d s metering a Tarrow (24 channels, 100 ms ticks), platform %s\n", seconds,
         qPrintable(QGuiApplication::platformName()));
  printThreads(cpu0, cpu1, wall);
  printXServer(xPid, x0, x1, wall);

  // --- ticks --------------------------------------------------------------
  int fresh = 0;
  std::vector<double> tickMs;
  for (const Tick& t : ticks) {
    fresh += t.fresh;
    tickMs.push_back(double(t.end - t.start) / 1e6);
  }
  const auto& c = w.meterTickCounts();
  printf("ticks: %zu, fresh %d (window counts: fresh %llu pending %llu failed %llu)\n", ticks.size(), fresh,
         (unsigned long long)c.fresh, (unsigned long long)c.pending, (unsigned long long)c.failed);
  double busy100 = 0;
  for (double ms : tickMs) busy100 += ms;
  printf(
      "GUI thread time in the ticks: 100 ms %.1f ms, 500 ms %.1f ms, 1000 ms %.1f ms (per second of run)\n",
      busy100 / wall, double(busy500) / 1e6 / wall, double(busy1000) / 1e6 / wall);
  printf("tick on the GUI thread: median %.3f ms, 95th %.3f ms, max %.3f ms\n", percentile(tickMs, 0.5),
         percentile(tickMs, 0.95), percentile(tickMs, 1.0));

  // --- latency ------------------------------------------------------------
  // Each fresh tick shows the answer of the last fetch requested before the
  // previous tick ended (one fetch is out at a time and answers within the
  // tick period when the counts above show no pending ticks).
  struct Shown {
    qint64 request, display;
  };
  std::vector<Shown> shown;
  for (size_t i = 1; i < ticks.size(); ++i) {
    if (!ticks[i].fresh) continue;
    qint64 req = -1;
    for (qint64 r : requests)
      if (r <= ticks[i - 1].end) req = r;
    const qint64 paint = paintsAfterTick[i] > ticks[i].end ? paintsAfterTick[i] : ticks[i].end;
    if (req >= 0) shown.push_back({req, paint});
  }
  std::vector<double> latency;
  if (shown.size() > 2) {
    size_t j = 0;
    for (qint64 t = shown.front().request; t < shown.back().request; t += 1000000) {
      while (j < shown.size() && shown[j].request <= t) ++j;
      if (j == shown.size()) break;
      latency.push_back(double(shown[j].display - t) / 1e6);
    }
  }
  printf(
      "meter latency (level change at the unit to the bar painted, upper bound): median %.1f ms, 95th %.1f "
      "ms, "
      "max %.1f ms over %zu samples\n",
      percentile(latency, 0.5), percentile(latency, 0.95), percentile(latency, 1.0), latency.size());

  // How long after a fresh tick the bar is painted (what the soak's trace,
  // which stamps the tick, leaves out).
  std::vector<double> paintGap;
  for (size_t i = 1; i < ticks.size(); ++i) {
    if (ticks[i].fresh && paintsAfterTick[i] > ticks[i].end)
      paintGap.push_back(double(paintsAfterTick[i] - ticks[i].end) / 1e6);
  }
  printf("bar painted after a fresh tick: median %.2f ms, 95th %.2f ms, max %.2f ms over %zu ticks\n",
         percentile(paintGap, 0.5), percentile(paintGap, 0.95), percentile(paintGap, 1.0), paintGap.size());

  {
    // The run's levels once more, tick after tick without the pauses: what
    // the meter step, its repaint and the window system's share of it cost
    // per tick, apart from the wake-ups (the X server's work is waited for
    // after each tick).
    // REPLAY_LEVELS=FILE: the levels of the ticks from FILE when it exists
    // (the same run for several builds), else this run's saved into it.
    const QString levelsFile = qEnvironmentVariable("REPLAY_LEVELS");
    if (!levelsFile.isEmpty()) {
      QFile f(levelsFile);
      if (f.exists() && f.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = f.readAll();
        tickLevels.resize(size_t(bytes.size()) / sizeof(tickLevels[0]));
        std::memcpy(tickLevels.data(), bytes.constData(), tickLevels.size() * sizeof(tickLevels[0]));
      } else if (f.open(QIODevice::WriteOnly)) {
        f.write(reinterpret_cast<const char*>(tickLevels.data()),
                qint64(tickLevels.size() * sizeof(tickLevels[0])));
      }
    }
    if (tickLevels.empty()) tickLevels.resize(1);
    PaintCensus replayCensus;
    w.findChild<QWidget*>("meterView")->installEventFilter(&replayCensus);
    const double xBefore = processCpu(xPid);
    const double guiBefore = taskCpu("/proc/self/task/" + QString::number(getpid()));
    int steps = 0;
    const int passes =
        qEnvironmentVariableIsSet("REPLAY_PASSES") ? qEnvironmentVariableIntValue("REPLAY_PASSES") : 3;
    for (int pass = 0; pass < passes; ++pass) {
      for (const auto& levels : tickLevels) {
        replayStep(w, levels);
        ++steps;
      }
    }
    const double gui = taskCpu("/proc/self/task/" + QString::number(getpid())) - guiBefore;
    const double x = processCpu(xPid) - xBefore;
    long rects = 0, paints = 0;
    double area = 0;
    for (const auto& [k, v] : replayCensus.byClass) rects += v.rects, paints += v.paints, area += v.area;
    printf("the run's %zu ticks replayed: meter step and repaint %.1f us per tick on the GUI thread",
           tickLevels.size(), 1e6 * gui / steps);
    if (x >= 0 && xBefore >= 0) printf(", X server %.1f us", 1e6 * x / steps);
    printf("; %.1f rectangles, %.0f px per paint\n", paints ? double(rects) / paints : 0.0,
           paints ? area / paints : 0.0);
  }
  if (qEnvironmentVariableIsSet("FIGURES_NO_LOOPS")) {
    host.stop();
    return 0;
  }

  // --- one fresh tick, in a loop --------------------------------------------
  // The proxy is handed a new answer before every tick (levels move over
  // the whole scale), so every tick routes 97 records and moves 24 bars.
  vxctl_meter_t rec[97];
  const int blocks[][2] = {{4, 22}, {7, 24}, {3, 22}, {6, 22}, {2, 6}, {8, 1}};
  int iterations = 0;
  QElapsedTimer bench;
  bench.start();
  qint64 busy = 0;
  qint64 painting = 0;
  while (bench.elapsed() < 3000) {
    int i = 0;
    for (const auto& b : blocks)
      for (int n = 1; n <= b[1]; ++n, ++i)
        rec[i] = vxctl_meter_t{uint32_t(b[0]), uint8_t(n), 0, uint16_t((iterations * 977 + i * 331) % 32768)};
    globalVXDevice().recv_get_meter(true, QByteArray(reinterpret_cast<const char*>(rec), sizeof rec), 97);
    QElapsedTimer one;
    one.start();
    w.timerInterrupt_100ms();
    busy += one.nsecsElapsed();
    ++iterations;
    one.restart();
    QCoreApplication::processEvents();  // paints, and the worker's answers
    painting += one.nsecsElapsed();
  }
  {
    // The level meter's share of such a tick: the same 24 bars, moved by
    // the meter step alone.
    MeterChannel table[24];
    for (int k = 0; k < 24; ++k) {
      const QString n = k < 22 ? QString::number(k + 1) : k == 22 ? "L" : "R";
      table[k] = MeterChannel{};
      table[k].peakText = w.findChild<QPushButton*>("pushButton_peakText" + n);
    }
    qint64 meterBusy = 0;
    const int rounds = 500;
    for (int r = 0; r < rounds; ++r) {
      for (int k = 0; k < 24; ++k) table[k].level = uint16_t((r * 977 + k * 331) % 32768);
      QElapsedTimer one;
      one.start();
      w.levelMeter().updateMeters(table);
      meterBusy += one.nsecsElapsed();
      QCoreApplication::processEvents();
    }
    printf("of which the level meter's step: %.1f us\n", double(meterBusy) / rounds / 1000.0);
  }
  printf(
      "fresh tick with 24 moving bars (loop of %d): %.1f us per tick on the GUI thread (paint not "
      "included)\n",
      iterations, double(busy) / iterations / 1000.0);
  printf("its painting (and the queued answers) after the tick: %.1f us per tick on the GUI thread\n",
         double(painting) / iterations / 1000.0);
  host.stop();
  return 0;
}
