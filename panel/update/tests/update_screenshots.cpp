// Screenshots of the update service's windows and the help dialogs, in English
// and Japanese (not a test): panel_update_screenshots OUTPUT_DIR
// Runs the real flow against a loopback HTTPS server, offscreen.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "displayscaling.h"
#include "helpdialogs.h"
#include "settingsstore.h"
#include "ui_informationbox.h"
#include "updatesoftware.h"
#include "updatetestenv.h"

namespace {

QString outDir;

void save(QWidget* w, const QString& name) {
  QTest::qWait(50);
  const QString path = QDir(outDir).filePath(name + ".png");
  if (!w->grab().save(path)) qWarning("cannot write %s", qPrintable(path));
}

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QTest::qWait(20);
  return done();
}

void shoot(UpdateTestEnv& env, QLocale::Language language, const QString& suffix) {
  saveSoftDialog(QString());
  saveFirmDialog(QString());
  saveInfoDialog(QString());
  env.server->route("/slow.exe",
                    HttpsServer::Response{200, QByteArray(256 * 1024, 'x'), HttpsServer::HalfThenStall});
  HttpsServer::Response chunked{200, QByteArray(1 << 20, 'x'), HttpsServer::Trickle, true};
  chunked.trickleBytes = 8 * 1024;
  chunked.trickleMs = 100;
  env.server->route("/chunked.exe", chunked);
  env.server->route("/setup.zip", makeZip({{"setup.exe", env.installers("maker"), 0100755}}));
  env.server->route("/unsigned.exe", env.installers("unsigned"));
  const QString doc =
      QString(
          "{\"Tarrow_version1\": {\"windows_software_version_major\": 2, \"windows_software_version_minor\": "
          "21,"
          " \"firmware_version_major\": 1, \"firmware_version_minor\": 5,"
          " \"windows_software_url_en\": \"%1\", \"windows_software_url_ja\": \"%1\","
          " \"windows_firmware_url_en\": \"%2\", \"windows_firmware_url_ja\": \"%2\","
          " \"messages\": {\"English\": \"<b>New in this release</b><br>Far Link firmware 1.05 adds a "
          "loopback "
          "mode.<br>See the product page for details.\", \"Japanese\": \"<b>今回のお知らせ</b><br>Far Link "
          "ファームウェア 1.05 "
          "でループバックモードが追加されました。<br>詳しくは製品ページをご覧ください。\"}}}")
          .arg(env.server->url("/slow.exe"), env.server->url("/setup.zip"));
  env.server->route("/doc.json", doc.toUtf8());
  writeSetting("Update", "JsonUrl", env.server->url("/doc.json"));

  QLocale::setDefault(QLocale(language));
  std::unique_ptr<UpdateSoftware> sw(new UpdateSoftware(0, false));
  StartedInstallers started;  // nothing is started
  started.watch(sw->updateWorker());
  waitFor([&] { return sw->informationDialog().isVisible(); });
  save(&sw->informationDialog(), "information_box_" + suffix);
  sw->informationDialog().ui->okButton->click();
  waitFor([&] { return sw->softwareDialog().isVisible(); });
  save(&sw->softwareDialog(), "panel_update_box_" + suffix);

  // Download window, part-way.
  sw->softwareDialog().ui->okButton->click();
  waitFor([&] { return sw->downloadProgressBar() && sw->downloadProgressBar()->value() >= 5; }, 4000);
  if (sw->downloadWindow()) save(sw->downloadWindow(), "download_window_" + suffix);
  // Cancel it; a download of unknown size, cancelled too; then the firmware
  // offer and its complete download.
  sw->downloadButton()->click();
  waitFor([&] { return !sw->downloadWindow(); });
  emit sw->readiedDownloadFile(env.server->url("/chunked.exe"));
  waitFor([&] { return sw->downloadButton() && sw->downloadButton()->isEnabled(); }, 4000);
  QTest::qWait(300);  // the busy bar moves
  if (sw->downloadWindow()) save(sw->downloadWindow(), "download_window_unknown_size_" + suffix);
  if (sw->downloadButton()) sw->downloadButton()->click();
  waitFor([&] { return !sw->downloadWindow(); });
  sw->changeDeviceType(0);
  waitFor([&] { return !sw->waitingForDocument(); });
  sw->checkFirm("Tarrow", "1.02 0012");
  save(&sw->firmwareDialog(), "firmware_box_" + suffix);
  sw->firmwareDialog().ui->okButton->click();
  waitFor([&] { return sw->downloadButton() && !sw->downloadProgressBar(); });
  if (sw->downloadWindow()) save(sw->downloadWindow(), "download_complete_" + suffix);

  // The failure box for an installer that is not the maker's; it runs
  // modally: shot and closed from a timer.
  auto* timer = new QTimer(sw.get());
  QObject::connect(timer, &QTimer::timeout, [&sw, &suffix, timer] {
    if (!sw->failureBox().isVisible()) return;
    timer->stop();
    save(&sw->failureBox(), "failure_box_" + suffix);
    sw->failureBox().button(QMessageBox::Ok)->click();
  });
  timer->start(50);
  sw->closeExecWindow();
  emit sw->readiedDownloadFile(env.server->url("/unsigned.exe"));
  waitFor([&] { return !timer->isActive(); });
  QTest::qWait(100);

  std::unique_ptr<QDialog> licence(createLicenseDialog());
  licence->show();
  save(licence.get(), "licence_" + suffix);
  std::unique_ptr<QDialog> about(createAboutBox());
  about->show();
  save(about.get(), "about_" + suffix);
  QLocale::setDefault(QLocale::c());
}

}  // namespace

int main(int argc, char** argv) {
  // As the panel starts: the pictures show what a display of QT_FONT_DPI
  // shows (144 for the 150 % of Windows; by default 96, Windows at 100 %).
  setUpDisplayScaling();
  QApplication app(argc, argv);
  outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  QDir().mkpath(outDir);
  UpdateTestEnv env;
  if (!env.setUp()) {
    qWarning("openssl or the loopback server is not available");
    return 1;
  }
  shoot(env, QLocale::English, "en");
  shoot(env, QLocale::Japanese, "ja");
  return 0;
}
