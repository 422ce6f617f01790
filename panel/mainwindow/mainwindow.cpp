// The main window: timers, model identification, the information page texts,
// page switching, the model's visible widgets, default geometry and closing.
#include "mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QSvgRenderer>
#include <QTimer>
#include <cmath>

#include "constants.h"
#include "settingsstore.h"
#include "ui_mainwindow.h"
#include "updatesoftware.h"
#include "vxfacade.h"

// The one device proxy: built during static initialisation, so the worker
// thread already runs (and has searched for the unit once) when main starts.
static QVXDevice vxDevice;

QVXDevice& globalVXDevice() {
  return vxDevice;
}

QString currentDeviceName = QStringLiteral("No Device");
QString previousDeviceName = QStringLiteral("No Device");
QString firmwareText = QStringLiteral("No Device");
uint16_t firmwareVersion = 0;
uint16_t firmwareBuild = 0;
uint8_t recFunctionStates[24] = {};
bool recBlinkPhase = false;
bool deviceLostShown = true;

namespace {

const QString kNoDevice = QStringLiteral("No Device");
const QString kPageFont = QStringLiteral("Yu Gothic UI");

const QString kHoldClearStyle = QStringLiteral(
    "QPushButton{background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:0, y2:1, stop:0 #D8D8D8, "
    "stop:0.04 #B4B4B4,stop:0.97 #B1B1B1,stop:1.00 #7B7979,);background-image: url(:/Resource/trans.png);  "
    "color: rgb(0, 0, 0); border-radius: 3px;}QPushButton:pressed{background-color: "
    "qlineargradient(spread:pad, "
    "x1:0, y1:0, x2:0, y2:1, stop:0 #F7F7F7, stop:0.04 #DBDBDB,stop:0.97 #EBEBEB,stop:1.00 #A5A5A5,);"
    "background-image: url(:/Resource/trans.png);  color: rgb(0, 0, 0); border-radius: 3px; border-style: "
    "outset; "
    "border-width:1px; border-color:#F7F7F7 #DBDBDB #EBEBEB #A5A5A5}");

// An SVG rendered on a transparent pixmap of the given size.
QPixmap renderSvg(const QString& path, const QSize& size) {
  QPixmap pixmap(size.expandedTo(QSize(1, 1)));
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(path);
  QPainter painter(&pixmap);
  renderer.render(&painter);
  return pixmap;
}

// A bitmap scaled smoothly to the given size.
QPixmap scaledImage(const QString& path, const QSize& size) {
  return QPixmap(path).scaled(size.expandedTo(QSize(1, 1)), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void setFontPixels(QWidget* w, float pixels) {
  QFont font(kPageFont);
  font.setPixelSize(qMax(1, int(pixels)));
  w->setFont(font);
}

}  // namespace

QString sampleRateText(uint32_t hz) {
  switch (hz) {
    case 44100:
      return QStringLiteral("44.1 kHz");
    case 48000:
      return QStringLiteral("48 kHz");
    case 88200:
      return QStringLiteral("88.2 kHz");
    case 96000:
      return QStringLiteral("96 kHz");
    case 176400:
      return QStringLiteral("176.4 kHz");
    case 192000:
      return QStringLiteral("192 kHz");
    default:
      return QStringLiteral("-- kHz");
  }
}

QString formatFirmware(uint16_t version, uint16_t build) {
  return QStringLiteral("%1.%2 %3")
      .arg(version / 100)
      .arg(version % 100, 2, 10, QLatin1Char('0'))
      .arg(build, 4, 10, QLatin1Char('0'));
}

QRect defaultClientGeometry(const QRect& available, int frameDiff) {
  const int width = available.right() - available.left() + 1;
  const int height = available.bottom() - available.top() + 1;
  return QRect((width - 1110) / 2, (height - 650) / 2 + frameDiff, 1110, 650);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
  timer1000ms = new QTimer(this);
  timer500ms = new QTimer(this);
  timer100ms = new QTimer(this);
  ui->setupUi(this);

  mainSettings = newPanelSettings();
  ui->stackedWidget->setCurrentIndex(2);
  ui->scrollArea->setFrameShape(QFrame::NoFrame);

  QVXDevice& dev = globalVXDevice();
  connect(&dev, &QVXDevice::sig_recv_productname, this, &MainWindow::slt_RecvDeviceName);
  connect(&dev, &QVXDevice::sig_recv_version, this, &MainWindow::slt_RecvFirmVersion);
  connect(&dev, &QVXDevice::sig_recv_build, this, &MainWindow::slt_RecvFirmBuld);
  connect(&dev, &QVXDevice::sig_recv_hz, this, &MainWindow::slt_RecvSampleRate);
  connect(&dev, &QVXDevice::sig_recv_serialnumber, this, &MainWindow::slt_RecvSerialNumber);
  connect(&dev, &QVXDevice::sig_recv_meter, this, &MainWindow::slt_RecvLevelMeter);
  connect(&dev, &QVXDevice::sig_recv_recfunc, this, &MainWindow::slt_RecvRecFunction);

  const QString suffix[kMeterChannels] = {
      QStringLiteral("1"),  QStringLiteral("2"),  QStringLiteral("3"),  QStringLiteral("4"),
      QStringLiteral("5"),  QStringLiteral("6"),  QStringLiteral("7"),  QStringLiteral("8"),
      QStringLiteral("9"),  QStringLiteral("10"), QStringLiteral("11"), QStringLiteral("12"),
      QStringLiteral("13"), QStringLiteral("14"), QStringLiteral("15"), QStringLiteral("16"),
      QStringLiteral("17"), QStringLiteral("18"), QStringLiteral("19"), QStringLiteral("20"),
      QStringLiteral("21"), QStringLiteral("22"), QStringLiteral("L"),  QStringLiteral("R")};
  for (int k = 0; k < kMeterChannels; ++k) {
    const QString& s = suffix[k];
    const QString bar = k < 22 ? QStringLiteral("label_meter") + s : QStringLiteral("label_meter_main") + s;
    channels[k].bar = findChild<QLabel*>(bar);
    channels[k].peakLine = findChild<QLabel*>(QStringLiteral("label_peak") + s);
    channels[k].peakText = findChild<QPushButton*>(QStringLiteral("pushButton_peakText") + s);
    channels[k].clipIndicator = findChild<QLabel*>(QStringLiteral("label_PeakInd") + s);
    channels[k].level = 0;
    channels[k].holdCounter = 0;
    recFuncLabels[k] = findChild<QLabel*>(QStringLiteral("label_recfunc") + s);
  }

  connect(timer1000ms, &QTimer::timeout, this, &MainWindow::timerInterrupt_1000ms);
  connect(timer500ms, &QTimer::timeout, this, &MainWindow::timerInterrupt_500ms);
  connect(timer100ms, &QTimer::timeout, this, &MainWindow::timerInterrupt_100ms);
  timer1000ms->start(1000);
  timer500ms->start(500);
  timer100ms->setTimerType(Qt::PreciseTimer);
  timer100ms->start(100);

  showAsioReminderIfDue();
  readBufferSize();
  vxfacade::clearMeters(dev);
  ui->label_Device->hide();
  vxfacade::requestRecFunc(dev);

  ui->label_SWVer->setText(QStringLiteral("V") + softwareVersionFull);

  updateSoftware = new UpdateSoftware();

  styleBufferSizeSlider(1.0f);
  ui->pushButton_HoldClear->setStyleSheet(kHoldClearStyle);
  const QFont buttonFont(kPageFont, 13, 700);
  for (QWidget* w :
       {static_cast<QWidget*>(ui->pushButton_HoldClear), static_cast<QWidget*>(ui->pushButton_Information),
        static_cast<QWidget*>(ui->label_btnMeter), static_cast<QWidget*>(ui->pushButton_Meter),
        static_cast<QWidget*>(ui->label_btnInfo)}) {
    w->setFont(buttonFont);
  }
  const QFont recFont(kPageFont, 10, 700);
  for (QLabel* label : recFuncLabels) {
    if (label) label->setFont(recFont);
  }

  ui->pushButton_Meter->hide();
  ui->label_textSerialNumber->hide();
  ui->label_SerialNumber->hide();
  ui->label_Tarrow_info->hide();
  ui->label_Dorrit_info->hide();
  ui->label_Pellin_info->hide();
  ui->label_Quenby_info->hide();
  ui->label_Tarrowphoto->hide();
  ui->label_Quenbyphoto->hide();
  ui->label_Pellinphoto->hide();
  ui->label_Dorritphoto->hide();
  ui->label_FarLinkphoto->hide();

  buildMeterPage(ModelTarrow);

  styleMeterSourceButtons(loadMeterSource().toUInt(nullptr, 10));
  meter.placeBarsAtRest(channels);
  meter.clearAllPeaks(channels);

  switch (loadPeakHoldType().toInt(nullptr, 10)) {
    case 0:
      on_pushButton_PeakHoldOff_clicked();
      break;
    case 1:
      on_pushButton_PeakHold1s_clicked();
      break;
    case 2:
      on_pushButton_PeakHold3s_clicked();
      break;
    case 3:
      on_pushButton_PeakHoldInf_clicked();
      break;
    default:
      break;
  }

  qDebug("MainWindow End");
}

MainWindow::~MainWindow() {
  delete updateSoftware;
  delete mainSettings;
  delete ui;
}

MainWindow::Model MainWindow::modelOf(const QString& name) {
  if (name == QLatin1String("Tarrow")) return ModelTarrow;
  if (name == QLatin1String("Quenby")) return ModelQuenby;
  if (name == QLatin1String("Pellin")) return ModelPellin;
  if (name == QLatin1String("Dorrit")) return ModelDorrit;
  if (name == QLatin1String("Far Link")) return ModelFarLink;
  return ModelNone;
}

// --- device requests --------------------------------------------------------

void MainWindow::getDeviceName() {}
void MainWindow::getFirmwareVersion() {
  vxfacade::requestInfo(globalVXDevice());
}
void MainWindow::getSampleRate() {
  vxfacade::requestHz(globalVXDevice());
}
void MainWindow::getAutoPowerSave() {
  vxfacade::requestAutoPowerSave(globalVXDevice());
}
void MainWindow::getDirectMonitor1_2() {
  vxfacade::requestStereo(globalVXDevice());
}
void MainWindow::getAudioInput1() {
  vxfacade::requestMute(globalVXDevice());
}
void MainWindow::getAudioInput2() {
  vxfacade::requestMute(globalVXDevice());
}
void MainWindow::getInputVolume() {
  vxfacade::requestFader(globalVXDevice());
}
void MainWindow::getAssignCh() {
  vxfacade::requestAssign(globalVXDevice());
}
void MainWindow::getMeter() {}
void MainWindow::getSerial() {
  vxfacade::requestSerialNumber(globalVXDevice());
}
void MainWindow::getRecFunc() {
  vxfacade::requestRecFunc(globalVXDevice());
}

// The help menu and the update action are in mainwindow_help.cpp.

// --- timers -------------------------------------------------------------------

void MainWindow::hideModelWidgets() {
  ui->pushButton_Meter->hide();
  ui->label_textSerialNumber->hide();
  ui->label_SerialNumber->hide();
  ui->label_Tarrow_info->hide();
  ui->label_Dorrit_info->hide();
  ui->label_Pellin_info->hide();
  ui->label_Quenby_info->hide();
  ui->label_FarLink_info->hide();
  ui->label_Tarrowphoto->hide();
  ui->label_Dorritphoto->hide();
  ui->label_Pellinphoto->hide();
  ui->label_Quenbyphoto->hide();
  ui->label_FarLinkphoto->hide();
}

void MainWindow::applyVisibilityRow(Model model) {
  QLabel* const info[5] = {ui->label_Tarrow_info, ui->label_Quenby_info, ui->label_Pellin_info,
                           ui->label_Dorrit_info, ui->label_FarLink_info};
  QLabel* const photo[5] = {ui->label_Tarrowphoto, ui->label_Quenbyphoto, ui->label_Pellinphoto,
                            ui->label_Dorritphoto, ui->label_FarLinkphoto};
  QLabel* const logo[5] = {ui->label_Tarrow_meter, ui->label_Quenby_meter, ui->label_Pellin_meter,
                           ui->label_Dorrit_meter, ui->label_FarLink_meter};
  static constexpr int kLayout[5] = {0, 0, 2, 3, 1};
  const bool serial = model == ModelTarrow || model == ModelFarLink;

  ui->pushButton_Meter->show();
  ui->label_textSerialNumber->setVisible(serial);
  ui->label_SerialNumber->setVisible(serial);
  for (int m = 0; m < 5; ++m) {
    info[m]->setVisible(m == model);
    photo[m]->setVisible(m == model);
    logo[m]->setVisible(m == model);
  }
  buildMeterPage(model);
  meter.meterLayout = kLayout[model];
}

void MainWindow::timerInterrupt_1000ms() {
  QVXDevice& dev = globalVXDevice();
  const QString label = ui->label_Device->text();

  if (updateSoftware) {
    if (label == kModelNameFarLink && updateSoftware->needFarLinkJson) {
      updateSoftware->changeDeviceType(1);
      updateSoftware->needFarLinkJson = false;
    }
    if (label == kModelNameTarrow && updateSoftware->needTarrowJson) {
      updateSoftware->changeDeviceType(0);
      updateSoftware->needTarrowJson = false;
    }
    updateSoftware->checkFirm(label, firmwareText);
    if (updateSoftware->hasUpdate()) ui->actionUpdate->setEnabled(true);
  }

  if (!vxfacade::isSelected(dev)) {
    hideModelWidgets();
    currentDeviceName = kNoDevice;
    return;
  }

  const Model model = modelOf(label);
  if (model != ModelNone) applyVisibilityRow(model);

  if (currentDeviceName != previousDeviceName) {
    const bool shown = loadPeakHoldType().toInt(nullptr, 10) != 0;
    applyPeakLineVisibility(model, shown);
    meter.clearAllPeaks(channels);
  }

  if (updateSoftware) {
    if (currentDeviceName == kModelNameTarrow && previousDeviceName != kModelNameTarrow) {
      updateSoftware->changeDeviceType(0);
      updateSoftware->checkFirm(ui->label_Device->text(), firmwareText);
    } else if (currentDeviceName == kModelNameFarLink && previousDeviceName != kModelNameFarLink) {
      updateSoftware->changeDeviceType(1);
      updateSoftware->checkFirm(ui->label_Device->text(), firmwareText);
    }
  }

  previousDeviceName = currentDeviceName;
  vxfacade::requestInfo(dev);
  vxfacade::requestHz(dev);
  vxfacade::requestSerialNumber(dev);
  vxfacade::requestRecFunc(dev);
}

void MainWindow::timerInterrupt_500ms() {
  refreshRecIndicators();
}

void MainWindow::timerInterrupt_100ms() {
  QVXDevice& dev = globalVXDevice();
  if (!vxfacade::isSelected(dev)) {
    if (!deviceLostShown) {
      deviceLostShown = true;
      ui->stackedWidget->setCurrentIndex(2);
    }
    return;
  }
  if (deviceLostShown) {
    deviceLostShown = false;
    readBufferSize();
    ui->stackedWidget->setCurrentIndex(0);
  }

  const Model model = modelOf(ui->label_Device->text());
  static constexpr VXMeterLayout kLayouts[5] = {VXMETER_COMMON, VXMETER_QNB, VXMETER_PLN, VXMETER_DRT,
                                                VXMETER_ZR};
  if (model == ModelNone) return;

  clearScratchTable();
  const bool ok = vxfacade::fetchMeter(dev, kLayouts[model],
                                       [this, model](vxmsg_data_ch_t type, uint8_t number, uint16_t value) {
                                         routeMeterRecord(model, type, number, value);
                                       });
  if (!ok) vxfacade::deselect(dev);
  copyLevelsBySource(model);
  meter.updateMeters(channels);
  vxfacade::clearMeters(dev);
}

// --- window menu ----------------------------------------------------------------

void MainWindow::on_actionMaximum_triggered() {
  showMaximized();
}

void MainWindow::on_actionMinimum_triggered() {
  showMinimized();
}

void MainWindow::on_actionDefaultSize_triggered() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  showNormal();
  const int frameDiff = frameGeometry().height() - geometry().height();
  setGeometry(defaultClientGeometry(screen->availableGeometry(), frameDiff));
}

// --- pages ----------------------------------------------------------------------

void MainWindow::on_pushButton_Meter_clicked() {
  ui->stackedWidget->setCurrentIndex(1);
}

void MainWindow::on_pushButton_Information_clicked() {
  ui->stackedWidget->setCurrentIndex(0);
}

void MainWindow::on_pushButton_MTRSource_clicked() {}
void MainWindow::on_pushButton_Analog_clicked() {}
void MainWindow::on_pushButton_USB_clicked() {}
void MainWindow::on_pushButton_MTR_clicked() {}

void MainWindow::on_pushButton_HoldClear_clicked() {
  meter.clearAllPeaks(channels);
}

void MainWindow::on_pushButton_PeakHoldOff_clicked() {}
void MainWindow::on_pushButton_PeakHold1s_clicked() {}
void MainWindow::on_pushButton_PeakHold3s_clicked() {}
void MainWindow::on_pushButton_PeakHoldInf_clicked() {}

void MainWindow::on_pushButton_peakText1_clicked() {
  meter.clearPeak(channels, 0);
}
void MainWindow::on_pushButton_peakText2_clicked() {
  meter.clearPeak(channels, 1);
}
void MainWindow::on_pushButton_peakText3_clicked() {
  meter.clearPeak(channels, 2);
}
void MainWindow::on_pushButton_peakText4_clicked() {
  meter.clearPeak(channels, 3);
}
void MainWindow::on_pushButton_peakText5_clicked() {
  meter.clearPeak(channels, 4);
}
void MainWindow::on_pushButton_peakText6_clicked() {
  meter.clearPeak(channels, 5);
}
void MainWindow::on_pushButton_peakText7_clicked() {
  meter.clearPeak(channels, 6);
}
void MainWindow::on_pushButton_peakText8_clicked() {
  meter.clearPeak(channels, 7);
}
void MainWindow::on_pushButton_peakText9_clicked() {
  meter.clearPeak(channels, 8);
}
void MainWindow::on_pushButton_peakText10_clicked() {
  meter.clearPeak(channels, 9);
}
void MainWindow::on_pushButton_peakText11_clicked() {
  meter.clearPeak(channels, 10);
}
void MainWindow::on_pushButton_peakText12_clicked() {
  meter.clearPeak(channels, 11);
}
void MainWindow::on_pushButton_peakText13_clicked() {
  meter.clearPeak(channels, 12);
}
void MainWindow::on_pushButton_peakText14_clicked() {
  meter.clearPeak(channels, 13);
}
void MainWindow::on_pushButton_peakText15_clicked() {
  meter.clearPeak(channels, 14);
}
void MainWindow::on_pushButton_peakText16_clicked() {
  meter.clearPeak(channels, 15);
}
void MainWindow::on_pushButton_peakText17_clicked() {
  meter.clearPeak(channels, 16);
}
void MainWindow::on_pushButton_peakText18_clicked() {
  meter.clearPeak(channels, 17);
}
void MainWindow::on_pushButton_peakText19_clicked() {
  meter.clearPeak(channels, 18);
}
void MainWindow::on_pushButton_peakText20_clicked() {
  meter.clearPeak(channels, 19);
}
void MainWindow::on_pushButton_peakText21_clicked() {
  meter.clearPeak(channels, 20);
}
void MainWindow::on_pushButton_peakText22_clicked() {
  meter.clearPeak(channels, 21);
}
void MainWindow::on_pushButton_peakTextL_clicked() {
  meter.clearPeak(channels, 22);
}
void MainWindow::on_pushButton_peakTextR_clicked() {
  meter.clearPeak(channels, 23);
}

void MainWindow::on_horizontalSlider_BufferSize_sliderMoved(int position) {
  Q_UNUSED(position);
}

// --- device answers -------------------------------------------------------------

void MainWindow::slt_RecvDeviceName(QString sText) {
  if (sText.isEmpty()) {
    ui->label_Device->setText(kNoDevice);
    previousDeviceName = kNoDevice;
    vxfacade::deselect(globalVXDevice());
    return;
  }
  if (sText == currentDeviceName && ui->label_Device->text() == sText) return;
  if (modelOf(sText) == ModelNone) {
    qDebug("[ERROR]Connected Device is [%s]", qUtf8Printable(sText));
    return;
  }
  currentDeviceName = sText;
  ui->label_Device->setText(sText);
}

void MainWindow::slt_RecvFirmVersion(uint16_t ver) {
  if (ver == firmwareVersion) return;
  firmwareVersion = ver;
  if (firmwareVersion != 0 && firmwareBuild != 0)
    firmwareText = formatFirmware(firmwareVersion, firmwareBuild);
  ui->label_FWVer->setText(QStringLiteral("V") + firmwareText);
}

void MainWindow::slt_RecvFirmBuld(uint16_t bld) {
  if (bld == firmwareBuild) return;
  firmwareBuild = bld;
  if (firmwareVersion != 0 && firmwareBuild != 0)
    firmwareText = formatFirmware(firmwareVersion, firmwareBuild);
  ui->label_FWVer->setText(QStringLiteral("V") + firmwareText);
}

void MainWindow::slt_RecvSampleRate(uint32_t rate) {
  ui->label_Samplerate->setText(sampleRateText(rate));
}

void MainWindow::slt_RecvSerialNumber(QString serial) {
  ui->label_SerialNumber->setText(serial.isEmpty() ? QStringLiteral("-------") : serial);
}

void MainWindow::slt_RecvLevelMeter(vxmsg_data_ch_t ch_type, uint8_t ch_no, uint32_t value) {
  Q_UNUSED(ch_type);
  Q_UNUSED(ch_no);
  Q_UNUSED(value);
}

void MainWindow::slt_RecvRecFunction(QByteArray recfunc) {
  if (recfunc.isEmpty() || recfunc.size() > 97) return;
  const int n = qMin(recfunc.size(), 24);
  for (int i = 0; i < n; ++i) recFunctionStates[i] = uint8_t(recfunc.at(i));
}

// --- geometry -------------------------------------------------------------------

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  const int w = event->size().width();
  const int h = event->size().height();
  meter.scaleX = float(w) / float(baseWidth);
  meter.scaleY = float(h) / float(baseHeight);
  meter.scaleMin = qMin(meter.scaleX, meter.scaleY);

  const QSize area(int(baseWidth * meter.scaleX), int(baseHeight * meter.scaleY));
  ui->scrollArea->setGeometry(QRect(QPoint(0, 0), area));
  ui->scrollAreaWidgetContents->resize(area);
  ui->stackedWidget->setGeometry(QRect(QPoint(0, 0), area));

  placeNotConnectedPage(w, h);
  redrawMeterPage(modelOf(ui->label_Device->text()));
  placeInformationPage();
}

void MainWindow::placeNotConnectedPage(int width, int height) {
  const float s = meter.scaleMin;
  ui->label_DeadBg->setGeometry(0, 0, width, height);
  setFontPixels(ui->label_DeadBg, 24 * s);
  const QSize logo(int(108 * s), int(18 * s));
  ui->label_KORVEL_dead->setGeometry(int(23 * meter.scaleX), int(13 * meter.scaleY), logo.width(),
                                     logo.height());
  ui->label_KORVEL_dead->setPixmap(renderSvg(QStringLiteral("://Resource/logo/KORVEL_logo.svg"), logo));
}

void MainWindow::placeInformationPage() {
  const float sx = meter.scaleX;
  const float sy = meter.scaleY;
  const float s = meter.scaleMin;
  auto place = [sx, sy](QWidget* w, int x, int y, int width, int height) {
    w->setGeometry(int(x * sx), int(y * sy), int(width * sx), int(height * sy));
  };

  place(ui->label_infoBg, 0, 0, baseWidth, baseHeight);
  ui->label_infoBg->setPixmap(renderSvg(QStringLiteral("://Resource/info_bg.svg"), ui->label_infoBg->size()));
  const QSize logo(int(108 * s), int(18 * s));
  ui->label_KORVEL_info->setGeometry(int(23 * sx), int(13 * sy), logo.width(), logo.height());
  ui->label_KORVEL_info->setPixmap(renderSvg(QStringLiteral("://Resource/logo/KORVEL_logo.svg"), logo));

  place(ui->label_btnInfo, 190, 9, 138, 25);
  place(ui->pushButton_Meter, 337, 9, 138, 25);
  setFontPixels(ui->label_btnInfo, 16 * s);
  setFontPixels(ui->pushButton_Meter, 16 * s);

  struct Row {
    QLabel* label;
    int x, y, w, h;
  };
  const Row rows[] = {
      {ui->label_textSWVer, 650, 201, 150, 16},        {ui->label_SWVer, 803, 201, 161, 16},
      {ui->label_textFWVer, 650, 232, 161, 16},        {ui->label_FWVer, 803, 232, 161, 16},
      {ui->label_textSamplerate, 652, 263, 150, 16},   {ui->label_Samplerate, 803, 263, 150, 16},
      {ui->label_textBuffersize, 650, 357, 160, 16},   {ui->label_BufferSize, 810, 357, 150, 16},
      {ui->label_textSerialNumber, 212, 447, 121, 16}, {ui->label_SerialNumber, 336, 447, 161, 16},
  };
  for (const Row& r : rows) {
    place(r.label, r.x, r.y, r.w, r.h);
    setFontPixels(r.label, 14 * s);
  }

  // Model logo above the photo, photo on the left half of the page.
  const char* const logos[5] = {"Tarrow", "Quenby", "Pellin", "Dorrit", "FarLink"};
  const char* const photos[5] = {"tarrow", "quenby", "pellin", "dorrit", "farlink"};
  QLabel* const info[5] = {ui->label_Tarrow_info, ui->label_Quenby_info, ui->label_Pellin_info,
                           ui->label_Dorrit_info, ui->label_FarLink_info};
  QLabel* const photo[5] = {ui->label_Tarrowphoto, ui->label_Quenbyphoto, ui->label_Pellinphoto,
                            ui->label_Dorritphoto, ui->label_FarLinkphoto};
  for (int m = 0; m < 5; ++m) {
    const QSize logoSize(int(240 * s), int(40 * s));
    info[m]->setGeometry(int(60 * sx), int(96 * sy), logoSize.width(), logoSize.height());
    info[m]->setPixmap(
        renderSvg(QStringLiteral("://Resource/logo/%1_logo.svg").arg(QLatin1String(logos[m])), logoSize));
    const QSize photoSize(int(520 * s), int(260 * s));
    photo[m]->setGeometry(int(60 * sx), int(150 * sy), photoSize.width(), photoSize.height());
    photo[m]->setPixmap(
        scaledImage(QStringLiteral(":/Resource/%1.png").arg(QLatin1String(photos[m])), photoSize));
  }

  place(ui->label_sliderBg, 620, 400, 353, 42);
  place(ui->horizontalSlider_BufferSize, 620, 410, 353, 22);
  styleBufferSizeSlider(s);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (updateSoftware) updateSoftware->closeUpdateWindows();
  event->accept();
}

// --- meter pages, meter source and rec-function indicators ------------------------
// The pages keep the layout of the form until their builders place them per
// model; the levels stay at rest until the records are routed.

void MainWindow::buildMeterPage(Model model) {
  Q_UNUSED(model);
}

void MainWindow::redrawMeterPage(Model model) {
  Q_UNUSED(model);
}

void MainWindow::styleMeterSourceButtons(unsigned source) {
  Q_UNUSED(source);
}

void MainWindow::applyPeakLineVisibility(Model model, bool shown) {
  Q_UNUSED(model);
  Q_UNUSED(shown);
}

void MainWindow::clearScratchTable() {
  for (uint16_t& level : scratchLevels) level = 0;
}

void MainWindow::routeMeterRecord(Model model, vxmsg_data_ch_t type, uint8_t number, uint16_t value) {
  Q_UNUSED(model);
  Q_UNUSED(type);
  Q_UNUSED(number);
  Q_UNUSED(value);
}

void MainWindow::copyLevelsBySource(Model model) {
  Q_UNUSED(model);
}

void MainWindow::refreshRecIndicators() {}

// --- buffer size ------------------------------------------------------------------

void MainWindow::readBufferSize() {}

void MainWindow::styleBufferSizeSlider(float scale) {
  Q_UNUSED(scale);
}

void MainWindow::showAsioReminderIfDue() {}
