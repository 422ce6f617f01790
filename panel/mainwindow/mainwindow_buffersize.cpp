// The main window's buffer-size control and the ASIO-driver reminder: the
// size the unit's ASIO driver reads, chosen with the information page's
// slider, and the one-time reminder to select that driver.
#include <QCheckBox>
#include <QLocale>
#include <QMessageBox>
#include <QSettings>
#include <QSlider>
#include <QStandardPaths>

#include "constants.h"
#include "mainwindow.h"
#include "settingsstore.h"
#include "ui_mainwindow.h"
#include "widgetupdates.h"

// --- buffer size ------------------------------------------------------------------

namespace {

const QString kSliderStyleHead = QStringLiteral(
    "QSlider{ background-image: url(:/Resource/trans.png); }QSlider{ background-color: rgba(0,0,0,0) "
    "}QSlider::groove:horizontal{ background-image: url(:/Resource/trans.png); position: absolute; top:7px; "
    "bottom:7px; height: 1px; }QSlider::handle:horizontal{ background: #22A1FF; border: ");

QString samplesText(int size) {
  return QString::number(size) + QStringLiteral(" samples");
}

}  // namespace

QSettings* newBufferSizeSettings() {
#ifdef Q_OS_WIN
  return new QSettings(kAsioDriverKey, QSettings::NativeFormat);
#else
  // Without a registry the driver's key becomes a per-user file in the
  // native format: $XDG_CONFIG_HOME/KORVEL/Brevanta/ASIODRIVER.conf.
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return new QSettings(dir + QStringLiteral("/KORVEL/Brevanta/ASIODRIVER.conf"), QSettings::NativeFormat);
#endif
}

QString bufferSliderStyle(float scale) {
  auto g = [](double v) { return QString::number(v, 'g', 6); };
  return kSliderStyleHead + g(scale) + QStringLiteral("px solid #2A2A2A; height: ") + g(14 * double(scale)) +
         QStringLiteral("px; width: ") + g(14 * double(scale)) + QStringLiteral("px; margin: ") +
         g(-7 * double(scale)) + QStringLiteral("px 0px; border-radius: ") + g(7 * double(scale)) +
         QStringLiteral("px;}");
}

void MainWindow::readBufferSize() {
  QScopedPointer<QSettings> driver(newBufferSizeSettings());
  int position = MainWindowLogic::bufferPosition(driver->value(kBufferSizeValueName));
  if (position < 0) {
    position = MainWindowLogic::kDefaultBufferPosition;
    driver->setValue(kBufferSizeValueName, MainWindowLogic::bufferSizeAt(position));
  }
  showBufferSize(position);
}

void MainWindow::on_horizontalSlider_BufferSize_sliderMoved(int position) {
  storeBufferSize(position);
}

void MainWindow::storeBufferSize(int position) {
  const int size = MainWindowLogic::bufferSizeAt(position);
  QScopedPointer<QSettings> driver(newBufferSizeSettings());
  driver->setValue(kBufferSizeValueName, uint(size));
  driver->sync();
  showBufferSize(MainWindowLogic::bufferPosition(size));
  qDebug("Change Buffer Size:%d", size);
}

void MainWindow::showBufferSize(int position) {
  // The handle, the label and the stored size always name the same size.
  shownBufferPosition = position;
  if (ui->horizontalSlider_BufferSize->value() != position)
    ui->horizontalSlider_BufferSize->setValue(position);
  ui->label_BufferSize->setText(samplesText(MainWindowLogic::bufferSizeAt(position)));
}

void MainWindow::styleBufferSizeSlider(float scale) {
  setSheet(ui->horizontalSlider_BufferSize, bufferSliderStyle(scale));
}

void MainWindow::showAsioReminderIfDue() {
  const QString wake = readSetting(QStringLiteral("PopupMessage"), QStringLiteral("WakeUp"));
  if (!wake.isEmpty() && QVariant(wake).toBool() == false) return;

  const QLocale locale;
  qDebug("UI language: %s", qUtf8Printable(QLocale::languageToString(locale.language())));
  QString message;
  QString caption;
  switch (locale.language()) {
    case QLocale::Japanese:
      message = QString::fromUtf8(
          "Settings Panelご使用にあたって<p>ASIO対応のソフトウェアで下記のドライバーが選択されているか<br>"
          "ご確認ください。<p><big>'Brevanta ASIO'</big>");
      caption = QString::fromUtf8("次からは表示しない");
      break;
    case QLocale::Chinese:
      message = QString::fromUtf8(
          "当使用Settings Panel时,<p>请确认ASIO软件是否设定为以下的驱动程序。<p><big>'Brevanta ASIO'</big>");
      caption = QString::fromUtf8("不再提示");
      break;
    default:
      message = QStringLiteral(
          "When using the Settings Panel.<p>Please make sure the following driver has been selected with an "
          "ASIO-compatible software settings.<p><big>'Brevanta ASIO'</big>");
      caption = QStringLiteral("Do not show again");
      break;
  }

  QMessageBox box;
  box.setIcon(QMessageBox::Information);
  box.setWindowTitle(QStringLiteral("KORVEL Brevanta Information"));
  box.setTextFormat(Qt::RichText);
  box.setText(message);
  box.setStandardButtons(QMessageBox::Ok);
  auto* check = new QCheckBox(caption);
  check->setObjectName(QStringLiteral("checkBox_DoNotShow"));
  // Toggling the box must not close the message as a button click would.
  check->blockSignals(true);
  box.addButton(check, QMessageBox::ActionRole);
  box.setModal(true);
  box.exec();
  if (check->isChecked()) writeSetting(QStringLiteral("PopupMessage"), QStringLiteral("WakeUp"), false);
}
