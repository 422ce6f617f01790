// The main window: timers, model identification, the information page texts,
// page switching, the model's visible widgets, default geometry and closing.
#include "mainwindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QFont>
#include <QGuiApplication>
#include <QLocale>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QShowEvent>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QTimer>
#include <cmath>

#include "constants.h"
#include "meterrouting.h"
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

// Meter timing trace for soak runs, off by default:
// QT_LOGGING_RULES="korvel.panel.meters.debug=true" prints, with wall-clock
// milliseconds, each loss of the unit and each tick that puts a fresh meter
// answer on the bars (the first after the unit appeared marked "first"),
// with the height of the first bar in base pixels.
Q_LOGGING_CATEGORY(lcMeterTrace, "korvel.panel.meters", QtInfoMsg)

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

// An SVG rendered on a transparent pixmap of the given size. Logos (any
// alignment given) keep their proportions inside it; the rest fill it.
//
// Pictures that cover their whole area (page backgrounds, bars) are rendered
// on an opaque ground: such a pixmap is copied, not blended, on every paint,
// which is what the moving bars repaint ten times a second.
QPixmap renderSvg(const QString& path, const QSize& size, Qt::Alignment align = {},
                  const QColor& ground = Qt::transparent) {
  QPixmap pixmap(size.expandedTo(QSize(1, 1)));
  pixmap.fill(ground);
  QSvgRenderer renderer(path);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF target(QPointF(0, 0), QSizeF(pixmap.size()));
  if (align != Qt::Alignment() && !renderer.defaultSize().isEmpty()) {
    const QSizeF fitted = QSizeF(renderer.defaultSize()).scaled(target.size(), Qt::KeepAspectRatio);
    const qreal x = (align & Qt::AlignRight)     ? target.width() - fitted.width()
                    : (align & Qt::AlignHCenter) ? (target.width() - fitted.width()) / 2
                                                 : 0;
    target = QRectF(QPointF(x, (target.height() - fitted.height()) / 2), fitted);
  }
  renderer.render(&painter, target);
  return pixmap;
}

// A bitmap scaled smoothly to the given size.
QPixmap scaledImage(const QString& path, const QSize& size) {
  return QPixmap(path).scaled(size.expandedTo(QSize(1, 1)), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// The page font at a pixel size; a widget made bold at construction stays
// bold.
void setFontPixels(QWidget* w, float pixels) {
  QFont font(kPageFont);
  font.setPixelSize(qMax(1, int(pixels)));
  font.setWeight(w->font().weight());
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
  // The window's colour by palette rather than by a style sheet: a sheet on
  // the window makes every widget of the pages paint through the style-sheet
  // style, which the moving bars would pay for ten times a second.
  setStyleSheet(QString());
  {
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(0x1B, 0x1B, 0x1B));
    setPalette(palette);
  }
  for (int m = 1; m <= 5; ++m) {
    if (QLabel* mask = findChild<QLabel*>(QStringLiteral("label_barMask%1").arg(m))) {
      mask->setStyleSheet(QString());
      QPalette palette = mask->palette();
      palette.setColor(QPalette::Window, QColor(0x10, 0x10, 0x10));
      mask->setPalette(palette);
      mask->setAutoFillBackground(true);
    }
  }
  // Where a page's artwork does not reach (a window of another aspect than
  // the pages), the page colour shows, never the light default.
  for (QWidget* w :
       {static_cast<QWidget*>(ui->scrollArea->viewport()), ui->scrollAreaWidgetContents,
        static_cast<QWidget*>(ui->stackedWidget), ui->MODELInfo, ui->MODELMeter, ui->MODELDead}) {
    QPalette palette = w->palette();
    palette.setColor(QPalette::Window, QColor(0x1E, 0x1E, 0x1E));
    w->setPalette(palette);
    w->setAutoFillBackground(true);
  }
  ui->menuBar->setStyleSheet(
      QStringLiteral("QMenuBar{background-color: #141414; color: "
                     "#D8D8D8;}QMenuBar::item:selected{background-color: #2E2E2E;}"));
  // Without the page font (it ships with Windows), a narrow face keeps the
  // captions inside their buttons.
  QFont::insertSubstitutions(
      kPageFont, {QStringLiteral("Meiryo UI"), QStringLiteral("Segoe UI"),
                  QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow")});

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
  QFont buttonFont(kPageFont, 13);
  buttonFont.setWeight(QFont::Bold);
  for (QWidget* w :
       {static_cast<QWidget*>(ui->pushButton_HoldClear), static_cast<QWidget*>(ui->pushButton_Information),
        static_cast<QWidget*>(ui->label_btnMeter), static_cast<QWidget*>(ui->pushButton_Meter),
        static_cast<QWidget*>(ui->label_btnInfo)}) {
    w->setFont(buttonFont);
  }
  QFont recFont(kPageFont, 10);
  recFont.setWeight(QFont::Bold);
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
  // Nothing of a model shows before the unit has said which it is.
  ui->label_FarLink_info->hide();
  for (QLabel* logo : {ui->label_Tarrow_meter, ui->label_Quenby_meter, ui->label_Pellin_meter,
                       ui->label_Dorrit_meter, ui->label_FarLink_meter}) {
    logo->hide();
  }

  buildMeterPage(ModelTarrow);

  // Only this window writes the meter source; the ticks use its copy
  // rather than reading the settings file ten times a second.
  meterSource = loadMeterSource().toUInt(nullptr, 10);
  styleMeterSourceButtons(meterSource);
  styleRecLabelsForSource(meterSource);
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
      qCDebug(lcMeterTrace, "%lld lost", QDateTime::currentMSecsSinceEpoch());
    }
    firstMetersAwaited = true;
    return;
  }
  if (deviceLostShown) {
    deviceLostShown = false;
    readBufferSize();
    ui->stackedWidget->setCurrentIndex(0);
    // Ask who the unit is now rather than at the next second.
    vxfacade::requestInfo(dev);
  }

  const Model model = modelOf(ui->label_Device->text());
  static constexpr VXMeterLayout kLayouts[5] = {VXMETER_COMMON, VXMETER_QNB, VXMETER_PLN, VXMETER_DRT,
                                                VXMETER_ZR};
  if (model == ModelNone) return;

  // The answer read here is the previous fetch's. While the next one is
  // still under way the levels stand; only a fetch that failed deselects.
  const vxfacade::MeterFetch fetch = vxfacade::fetchMeter(
      dev, kLayouts[model], [this, model](vxmsg_data_ch_t type, uint8_t number, uint16_t value) {
        if (!scratchFresh) {
          clearScratchTable();
          scratchFresh = true;
        }
        routeMeterRecord(model, type, number, value);
      });
  scratchFresh = false;
  if (fetch == vxfacade::MeterFetch::Failed) {
    ++tickCounts.failed;
    clearScratchTable();
    vxfacade::deselect(dev);
  } else if (fetch == vxfacade::MeterFetch::Fresh) {
    ++tickCounts.fresh;
  } else {
    ++tickCounts.pending;
  }
  copyLevelsBySource(model);
  meter.updateMeters(channels);
  vxfacade::clearMeters(dev);
  if (fetch == vxfacade::MeterFetch::Fresh) {
    if (lcMeterTrace().isDebugEnabled()) {
      const int h0 = channels[0].bar ? int(std::lround(channels[0].bar->height() / meter.scaleY)) : -1;
      qCDebug(lcMeterTrace, "%lld fresh%s h0=%d", QDateTime::currentMSecsSinceEpoch(),
              firstMetersAwaited ? " first" : "", h0);
    }
    firstMetersAwaited = false;
  }
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

void MainWindow::on_pushButton_MTRSource_clicked() {
  selectMeterSource(0);
}
void MainWindow::on_pushButton_Analog_clicked() {
  selectMeterSource(1);
}
void MainWindow::on_pushButton_USB_clicked() {
  selectMeterSource(2);
}
void MainWindow::on_pushButton_MTR_clicked() {
  selectMeterSource(3);
}

void MainWindow::on_pushButton_HoldClear_clicked() {
  meter.clearAllPeaks(channels);
}

void MainWindow::on_pushButton_PeakHoldOff_clicked() {
  selectPeakHold(0);
}
void MainWindow::on_pushButton_PeakHold1s_clicked() {
  selectPeakHold(1);
}
void MainWindow::on_pushButton_PeakHold3s_clicked() {
  selectPeakHold(2);
}
void MainWindow::on_pushButton_PeakHoldInf_clicked() {
  selectPeakHold(3);
}

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
  // Show the unit's name now; the 1000 ms tick does the rest of a model
  // change (peaks, update documents) as before.
  if (!deviceLostShown) applyVisibilityRow(modelOf(sText));
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
  // The pages fill the client area: the central widget, below the menu bar
  // (the main window's layout has already given it its new size).
  const QSize client = ui->centralWidget->size();
  const int w = client.width();
  const int h = client.height();
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

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (firstShowDone) return;
  firstShowDone = true;
  // The first identification runs as soon as the window is up, not at the
  // first ticks: one selection question now, and the identity request as
  // soon as its answer is in (the 100 ms tick asks for it when the unit
  // appears).
  QTimer::singleShot(0, this, &MainWindow::timerInterrupt_100ms);
}

void MainWindow::placeNotConnectedPage(int width, int height) {
  const float s = meter.scaleMin;
  ui->label_DeadBg->setGeometry(0, 0, width, height);
  setFontPixels(ui->label_DeadBg, 24 * s);
  const QSize logo(int(108 * s), int(18 * s));
  ui->label_KORVEL_dead->setGeometry(int(23 * meter.scaleX), int(13 * meter.scaleY), logo.width(),
                                     logo.height());
  ui->label_KORVEL_dead->setPixmap(
      renderSvg(QStringLiteral("://Resource/logo/KORVEL_logo.svg"), logo, Qt::AlignLeft));
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
  ui->label_KORVEL_info->setPixmap(
      renderSvg(QStringLiteral("://Resource/logo/KORVEL_logo.svg"), logo, Qt::AlignLeft));

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
    info[m]->setPixmap(renderSvg(QStringLiteral("://Resource/logo/%1_logo.svg").arg(QLatin1String(logos[m])),
                                 logoSize, Qt::AlignLeft));
    const QSize photoSize(int(520 * s), int(260 * s));
    photo[m]->setGeometry(int(60 * sx), int(150 * sy), photoSize.width(), photoSize.height());
    photo[m]->setPixmap(
        scaledImage(QStringLiteral(":/Resource/%1.png").arg(QLatin1String(photos[m])), photoSize));
  }

  place(ui->label_sliderBg, 620, 400, 353, 42);
  ui->label_sliderBg->setScaledContents(false);
  ui->label_sliderBg->setPixmap(
      svgPixmap(QStringLiteral("://Resource/slider_bg.svg"), ui->label_sliderBg->size()));
  place(ui->horizontalSlider_BufferSize, 620, 410, 353, 22);
  styleBufferSizeSlider(s);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (updateSoftware) updateSoftware->closeUpdateWindows();
  event->accept();
}

// --- meter pages, meter source and rec-function indicators ------------------------

namespace {

const QString kBrandLogo = QStringLiteral("://Resource/logo/KORVEL_logo.svg");

struct PageArt {
  const char* background;
  const char* bar;
  const char* logo;
};
constexpr PageArt kPageArt[5] = {
    {"://Resource/meter_bg.svg", "://Resource/meterbar.svg", "://Resource/logo/Tarrow_logo.svg"},
    {"://Resource/meter_bg.svg", "://Resource/meterbar.svg", "://Resource/logo/Quenby_logo.svg"},
    {"://Resource/meter_bg_pln.svg", "://Resource/meterbar.svg", "://Resource/logo/Pellin_logo.svg"},
    {"://Resource/meter_bg_drt.svg", "://Resource/meterbar.svg", "://Resource/logo/Dorrit_logo.svg"},
    {"://Resource/meter_bg_FL_-20dB.svg", "://Resource/meterbar_-20dB.svg",
     "://Resource/logo/FarLink_logo.svg"},
};

// Captions of the four meter-source buttons per model.
const char* const kSourceCaptions[5][4] = {
    {"CHANNEL INPUT", "MIC / LINE", "USB RETURN", "MTR RETURN"},
    {"CHANNEL INPUT", "LIVE INPUT", "PC RETURN", "MTR RETURN"},
    {"CHANNEL INPUT", "LIVE INPUT", "PC RETURN", "MTR RETURN"},
    {"CHANNEL INPUT", "LIVE INPUT", "PC RETURN", "MTR RETURN"},
    {"TRACK LEVEL", "ANALOG IN", "USB RETURN", "ANALOG OUT"},
};

// Columns of the rec-function labels and the peak readouts (channels 1 to 22,
// L, R) in base pixels.
constexpr int kRecXTarrow[kMeterChannels] = {47,  81,  115, 149, 183, 217, 251, 285, 387, 421, 455,  489,
                                             523, 557, 591, 625, 731, 765, 799, 833, 867, 901, 1008, 1039};
constexpr int kReadoutXTarrow[kMeterChannels] = {37,  71,  105, 139, 173, 207, 241, 275, 377, 411, 445, 479,
                                                 513, 547, 581, 615, 720, 754, 788, 822, 856, 890, 994, 1030};
constexpr int kRecXFarLink[kMeterChannels] = {59,  93,  127, 161, 197, 231, 265, 299, 426, 460, 494, 528,
                                              562, 596, 630, 664, 790, 824, 858, 892, 926, 960, 994, 1028};
constexpr int kReadoutXFarLink[kMeterChannels] = {49,  83,  117, 151, 187, 221, 255, 289,
                                                  416, 450, 484, 518, 552, 586, 620, 654,
                                                  780, 814, 848, 882, 916, 950, 984, 1018};

// Which channels (1 to 22, L, R) a model's page shows: bit k for channel k + 1.
constexpr uint32_t kAllChannels = 0xFFFFFFu;
constexpr uint32_t channelBits(std::initializer_list<int> numbers) {
  uint32_t bits = 0;
  for (int n : numbers) bits |= 1u << (n - 1);
  return bits;
}
constexpr uint32_t kShownChannels[5] = {
    kAllChannels,
    kAllChannels,
    channelBits({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 23, 24}),
    channelBits({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 17, 19, 21, 22, 23, 24}),
    kAllChannels,
};

const QString kRecGrey = QStringLiteral(
    "QLabel{background-color: #CECECE; border-radius:1px;  border-color:#000000; border-width:1px; "
    "color:#0D0D0D;}");
const QString kRecRed = QStringLiteral(
    "QLabel{background-color: #CB2700; border-radius:1px;  border-color:#000000; border-width:1px; "
    "color:#FFFFFF;}");
const QString kRecBlack = QStringLiteral(
    "QLabel{background-color: #000000; border-radius:1px;  border-color:#000000; border-width:1px; "
    "color:#FFFFFF;}");

const QString kSelectedButton = QStringLiteral(
    "background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:0, y2:1, stop:0 #58C0FF, stop:0.04 "
    "#08A2FF,stop:0.97 #08A2FF,stop:1.00 #0069AA,);background-image: url(:/Resource/trans.png);color: rgb(0, "
    "0, 0);border-radius: 3px");
const QString kPlainButton = QStringLiteral(
    "background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:0, y2:1, stop:0 #D8D8D8, stop:0.04 "
    "#B4B4B4,stop:0.97 #B1B1B1,stop:1.00 #7B7979,);background-image: url(:/Resource/trans.png);color: rgb(0, "
    "0, 0);border-radius: 3px");
const QString kFlatOffButton = QStringLiteral(
    "background-color: #B4B4B4;background-image: url(:/Resource/trans.png);color: rgb(0, 0, "
    "0);border-radius: "
    "3px;border-style: outset;border-width:1px;border-color:#D8D8D8   #B4B4B4   #B1B1B1   #7B7979");

// Style sheets re-parse on every set, so they are set only on a change.
void setSheet(QWidget* w, const QString& sheet) {
  if (w && w->styleSheet() != sheet) w->setStyleSheet(sheet);
}

void setRecStyle(QLabel* label, uint8_t state, bool blinkOn) {
  setSheet(label, state == 1 || (state == 2 && blinkOn) ? kRecRed : kRecGrey);
}

void setGeometryIfChanged(QWidget* w, const QRect& r) {
  if (w && w->geometry() != r) w->setGeometry(r);
}

}  // namespace

const QPixmap& MainWindow::svgPixmap(const QString& path, const QSize& size, Qt::Alignment align,
                                     bool opaque) {
  const QString key = path + QLatin1Char('@') + QString::number(size.width()) + QLatin1Char('x') +
                      QString::number(size.height()) + QLatin1Char('/') + QString::number(int(align)) +
                      (opaque ? QLatin1String("/o") : QLatin1String(""));
  auto it = pixmapCache.find(key);
  if (it == pixmapCache.end()) {
    // A window resized by dragging passes through many sizes; only the
    // latest few are worth keeping.
    if (pixmapCache.size() > 48) pixmapCache.clear();
    it = pixmapCache.insert(
        key, renderSvg(path, size, align, opaque ? QColor(0x1E, 0x1E, 0x1E) : QColor(Qt::transparent)));
  }
  return *it;
}

void MainWindow::setPixmapIfChanged(QLabel* label, const QPixmap& pixmap) {
  if (!label) return;
  const QPixmap current = label->pixmap(Qt::ReturnByValue);
  if (current.cacheKey() != pixmap.cacheKey()) label->setPixmap(pixmap);
}

void MainWindow::placeScaled(QWidget* w, int x, int y, int width, int height) const {
  setGeometryIfChanged(w, QRect(int(x * meter.scaleX), int(y * meter.scaleY), int(width * meter.scaleX),
                                int(height * meter.scaleY)));
}

void MainWindow::setScaledFont(QWidget* w, float pixels, bool bold) const {
  if (!w) return;
  QFont font(kPageFont);
  font.setPixelSize(qMax(1, int(pixels * meter.scaleMin)));
  if (bold) font.setWeight(QFont::Bold);
  if (w->font() != font) w->setFont(font);
}

void MainWindow::placeCommonMeterWidgets() {
  const float sx = meter.scaleX;
  const float sy = meter.scaleY;
  const float s = meter.scaleMin;
  const float d = qMax(0.0f, sx - sy);

  placeScaled(ui->label_bg, 0, 0, baseWidth, baseHeight);
  // The background covers the page: nothing behind it needs painting.
  ui->label_bg->setAttribute(Qt::WA_OpaquePaintEvent);
  ui->label_bg->setScaledContents(false);
  ui->label_bg->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  struct Row {
    QWidget* w;
    int x, y, width, height;
    float font;
  };
  const Row rows[] = {
      {ui->pushButton_PeakHoldOff, 23, 81, 50, 40, 16},
      {ui->pushButton_PeakHold1s, 81, 81, 50, 40, 16},
      {ui->pushButton_PeakHold3s, 139, 81, 50, 40, 16},
      {ui->pushButton_PeakHoldInf, 197, 81, 50, 40, 24},
      {ui->pushButton_HoldClear, 261, 81, 65, 40, 16},
      {ui->label_bgPHL, 23, 64, 303, 2, 0},
      {ui->label_bgMSL, 729, 64, 358, 2, 0},
      {ui->pushButton_MTRSource, 729, 81, 173, 21, 14},
      {ui->pushButton_Analog, 914, 81, 173, 21, 14},
      {ui->pushButton_USB, 729, 109, 173, 21, 14},
      {ui->pushButton_MTR, 914, 109, 173, 21, 14},
      {ui->pushButton_Information, 190, 9, 138, 25, 16},
      {ui->label_btnMeter, 337, 9, 138, 25, 16},
  };
  for (const Row& r : rows) {
    placeScaled(r.w, r.x, r.y, r.width, r.height);
    if (r.font > 0) setScaledFont(r.w, r.font, true);
  }
  // The two headings sit on their rules, centred over them whatever the
  // aspect of the window; they paint above the rules.
  setGeometryIfChanged(ui->label_bgPHText,
                       QRect(int(120 * sx + 71 * d), int(55 * sy), int(88 * s), int(19 * sy)));
  setGeometryIfChanged(ui->label_bgMSText,
                       QRect(int(855 * sx + 53 * d), int(55 * sy), int(106 * s), int(19 * sy)));
  setScaledFont(ui->label_bgPHText, 14, true);
  setScaledFont(ui->label_bgMSText, 14, true);
  ui->label_bgPHText->raise();
  ui->label_bgMSText->raise();

  const QSize logo(int(108 * s), int(18 * s));
  setGeometryIfChanged(ui->label_KORVEL_meter,
                       QRect(int(23 * sx), int(13 * sy), logo.width(), logo.height()));
  ui->label_KORVEL_meter->setScaledContents(false);
  setPixmapIfChanged(ui->label_KORVEL_meter, svgPixmap(kBrandLogo, logo, Qt::AlignLeft));
}

bool MainWindow::placeModelPage(Model model) {
  if (model == ModelNone) return false;
  const float sx = meter.scaleX;
  const float sy = meter.scaleY;
  const float s = meter.scaleMin;
  const PageArt& art = kPageArt[model];

  // The background fills the page as the widgets do (each axis by its own
  // factor), so that every bar stands in its well at any window aspect.
  setPixmapIfChanged(ui->label_bg, svgPixmap(QLatin1String(art.background), ui->label_bg->size(), {}, true));
  QLabel* const logos[5] = {ui->label_Tarrow_meter, ui->label_Quenby_meter, ui->label_Pellin_meter,
                            ui->label_Dorrit_meter, ui->label_FarLink_meter};
  const QSize logoSize(int(187 * s), int(25 * s));
  QLabel* logo = logos[model];
  setGeometryIfChanged(
      logo, QRect(int(1087 * sx) - logoSize.width(), int(9 * sy), logoSize.width(), logoSize.height()));
  logo->setScaledContents(false);
  logo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  setPixmapIfChanged(logo, svgPixmap(QLatin1String(art.logo), logoSize, Qt::AlignRight));

  for (int c = 0; c < 4; ++c) {
    QPushButton* const buttons[4] = {ui->pushButton_MTRSource, ui->pushButton_Analog, ui->pushButton_USB,
                                     ui->pushButton_MTR};
    const QString caption = QLatin1String(kSourceCaptions[model][c]);
    if (buttons[c]->text() != caption) buttons[c]->setText(caption);
  }

  // The bar image: the full scale, cropped from the top by the bar's height.
  const QPixmap& bar = svgPixmap(QLatin1String(art.bar),
                                 QSize(int(std::lround(18 * sx)), int(std::lround(340 * sy))), {}, true);
  for (MeterChannel& ch : channels) {
    if (!ch.bar) continue;
    ch.bar->setScaledContents(false);
    ch.bar->setAlignment(Qt::AlignBottom | Qt::AlignHCenter);
    // The bar image covers the whole bar: what lies beneath needs no paint.
    ch.bar->setAttribute(Qt::WA_OpaquePaintEvent);
    setPixmapIfChanged(ch.bar, bar);
  }

  // Rec-function labels: text, column and width.
  const bool farLink = model == ModelFarLink;
  const int* recX = farLink ? kRecXFarLink : kRecXTarrow;
  const int* readoutX = farLink ? kReadoutXFarLink : kReadoutXTarrow;
  uint32_t wide = 0;  // pair labels, 60 wide
  switch (model) {
    case ModelTarrow:
    case ModelQuenby:
      wide = channelBits({13, 15, 17, 19, 21});
      break;
    case ModelPellin:
      wide = channelBits({9, 11, 13});
      break;
    case ModelDorrit:
      wide = channelBits({7, 9, 15, 17, 19, 21});
      break;
    default:
      break;
  }
  QStringList texts;
  for (int k = 0; k < 22; ++k) texts << QString::number(k + 1);
  texts << QStringLiteral("L") << QStringLiteral("R");
  uint32_t labelShown = kAllChannels;
  switch (model) {
    case ModelTarrow:
    case ModelQuenby:
      for (int n : {13, 15, 17, 19, 21}) texts[n - 1] = QStringLiteral("%1-%2").arg(n).arg(n + 1);
      texts[22] = QStringLiteral("MAIN");
      texts[23] = QStringLiteral("24");
      labelShown &= ~channelBits({24});
      break;
    case ModelPellin:
      for (int n : {9, 11, 13}) texts[n - 1] = QStringLiteral("%1-%2").arg(n).arg(n + 1);
      texts[22] = QStringLiteral("MAIN");
      labelShown = channelBits({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 23});
      break;
    case ModelDorrit:
      texts[6] = QStringLiteral("7 - 8");
      texts[8] = QStringLiteral("9 - 10");
      texts[16] = QStringLiteral("AUX1");
      texts[18] = QStringLiteral("AUX2");
      texts[20] = QStringLiteral("SUB");
      texts[22] = QStringLiteral("MAIN");
      labelShown = channelBits({1, 2, 3, 4, 5, 6, 7, 9, 17, 19, 21, 23});
      break;
    default:
      texts[22] = QStringLiteral("23");
      texts[23] = QStringLiteral("24");
      break;
  }

  const uint32_t shown = kShownChannels[model];
  for (int k = 0; k < kMeterChannels; ++k) {
    const bool channelShown = shown >> k & 1u;
    QLabel* label = recFuncLabels[k];
    int lx = recX[k];
    int rx = readoutX[k];
    if (model == ModelDorrit && (k == 6 || k == 7)) {
      lx = 319;
      rx = k == 6 ? 309 : 343;
    }
    const bool isWide = wide >> k & 1u;
    // "MAIN" does not fit one column: where R has no label of its own, L's
    // spans both main meters.
    int lw = isWide ? 60 : 26;
    if (k == 22 && !(labelShown >> 23 & 1u)) lw = 57;
    if (label) {
      placeScaled(label, lx, 570, lw, 17);
      setScaledFont(label, 16, true);
      if (label->text() != texts[k]) label->setText(texts[k]);
      label->setVisible(labelShown >> k & 1u);
      // A pair's label covers its partner's.
      if (isWide) label->raise();
    }
    MeterChannel& ch = channels[k];
    if (ch.peakText) {
      placeScaled(ch.peakText, rx, 546, 41, 21);
      setScaledFont(ch.peakText, 13, false);
    }
    if (k >= 10) {
      if (ch.bar) ch.bar->setVisible(channelShown);
      if (ch.peakText) ch.peakText->setVisible(channelShown);
      if (!channelShown) {
        if (ch.peakLine) ch.peakLine->hide();
        if (ch.clipIndicator) ch.clipIndicator->hide();
      }
    }
  }

  // Masks joining the two meters of each stereo pair.
  QLabel* const masks[5] = {ui->label_barMask1, ui->label_barMask2, ui->label_barMask3, ui->label_barMask4,
                            ui->label_barMask5};
  static constexpr int kMaskX[5] = {546, 613, 750, 819, 887};
  static constexpr int kMaskXPellin[3] = {409, 477, 546};
  for (int m = 0; m < 5; ++m) {
    bool visible = model == ModelTarrow || model == ModelQuenby || (model == ModelPellin && m < 3);
    const int x = model == ModelPellin && m < 3 ? kMaskXPellin[m] : kMaskX[m];
    setGeometryIfChanged(masks[m],
                         QRect(int(x * sx), int(std::lround(205 * sy)), int(16 * sx), int(342 * sy)));
    masks[m]->setVisible(visible);
    // Under the pair's bars, so that a mask never trims a bar's edge.
    static constexpr int kFirstOfPair[5] = {12, 14, 16, 18, 20};
    static constexpr int kFirstOfPairPellin[3] = {8, 10, 12};
    QLabel* firstBar = channels[model == ModelPellin && m < 3 ? kFirstOfPairPellin[m] : kFirstOfPair[m]].bar;
    if (firstBar) masks[m]->stackUnder(firstBar);
  }

  applyPeakLineVisibility(model, loadPeakHoldType().toInt(nullptr, 10) != 0);
  return true;
}

void MainWindow::buildMeterPage(Model model) {
  if (model == ModelNone) return;
  const QSize size(int(baseWidth * meter.scaleX), int(baseHeight * meter.scaleY));
  // Rebuilding an unchanged page every second would only cost time: the
  // widgets stay where they are.
  if (builtModel == model && builtSize == size) return;
  placeCommonMeterWidgets();
  placeModelPage(model);
  static constexpr int kLayout[5] = {0, 0, 2, 3, 1};
  meter.meterLayout = kLayout[model];
  builtModel = model;
  builtSize = size;
  meter.updateMeters(channels);
}

void MainWindow::redrawMeterPage(Model model) {
  placeCommonMeterWidgets();
  if (placeModelPage(model)) {
    builtModel = model;
    builtSize = QSize(int(baseWidth * meter.scaleX), int(baseHeight * meter.scaleY));
  }
}

void MainWindow::styleMeterSourceButtons(unsigned source) {
  QPushButton* const buttons[4] = {ui->pushButton_MTRSource, ui->pushButton_Analog, ui->pushButton_USB,
                                   ui->pushButton_MTR};
  for (unsigned c = 0; c < 4; ++c) setSheet(buttons[c], c == source ? kSelectedButton : kPlainButton);
}

void MainWindow::stylePeakHoldButtons(int mode) {
  QPushButton* const buttons[4] = {ui->pushButton_PeakHoldOff, ui->pushButton_PeakHold1s,
                                   ui->pushButton_PeakHold3s, ui->pushButton_PeakHoldInf};
  const QString selected = kSelectedButton + QLatin1Char(';');
  const QString plain = kPlainButton + QLatin1Char(';');
  for (int c = 0; c < 4; ++c) setSheet(buttons[c], c == mode ? selected : plain);
  if (mode == 1) setSheet(ui->pushButton_PeakHoldOff, kFlatOffButton);
}

void MainWindow::applyPeakLineVisibility(Model model, bool shown) {
  uint32_t lines = shown ? kAllChannels : 0;
  if (shown && model != ModelNone) lines = kShownChannels[model];
  for (int k = 0; k < kMeterChannels; ++k) {
    if (channels[k].peakLine) channels[k].peakLine->setVisible(lines >> k & 1u);
  }
}

void MainWindow::clearScratchTable() {
  for (uint16_t& level : scratchLevels) level = 0;
}

void MainWindow::routeMeterRecord(Model model, vxmsg_data_ch_t type, uint8_t number, uint16_t value) {
  const int slot = meterrouting::slotOf(model, type, number);
  if (slot >= 0) scratchLevels[slot] = value;
}

void MainWindow::copyLevelsBySource(Model model) {
  if (model == ModelNone) return;
  meterrouting::copyBySource(model, meterSource, scratchLevels, channels);
}

void MainWindow::styleRecLabelsForSource(unsigned source) {
  const bool farLink = modelOf(ui->label_Device->text()) == ModelFarLink;
  for (int k = 0; k < 22; ++k) setSheet(recFuncLabels[k], source == 0 ? kRecGrey : kRecBlack);
  const bool mainBlack = farLink ? source != 0 : source == 3;
  setSheet(recFuncLabels[22], mainBlack ? kRecBlack : kRecGrey);
  setSheet(recFuncLabels[23], mainBlack ? kRecBlack : kRecGrey);
}

void MainWindow::refreshRecIndicators() {
  const Model model = modelOf(ui->label_Device->text());
  const unsigned source = meterSource;
  int labels = 0;
  switch (model) {
    case ModelTarrow:
    case ModelQuenby:
      labels = 22;
      break;
    case ModelPellin:
      labels = 12;
      break;
    case ModelDorrit:
    case ModelFarLink:
      labels = 24;
      break;
    default:
      break;
  }
  for (int k = 0; k < labels; ++k) {
    if (source != 0)
      setSheet(recFuncLabels[k], kRecBlack);
    else
      setRecStyle(recFuncLabels[k], recFunctionStates[k], recBlinkPhase);
  }
  if (model != ModelNone && model != ModelFarLink) {
    static constexpr int kMainState[4] = {22, 22, 14, 10};
    const uint8_t state = recFunctionStates[kMainState[model]];
    for (int k : {22, 23}) {
      if (source == 3)
        setSheet(recFuncLabels[k], kRecBlack);
      else
        setRecStyle(recFuncLabels[k], state, recBlinkPhase);
    }
  }
  recBlinkPhase = !recBlinkPhase;
}

void MainWindow::selectMeterSource(unsigned source) {
  saveMeterSource(uint8_t(source));
  meterSource = source;
  styleMeterSourceButtons(source);
  meter.placeBarsAtRest(channels);
  meter.clearAllPeaks(channels);
  styleRecLabelsForSource(source);
  if (modelOf(ui->label_Device->text()) == ModelFarLink) {
    builtModel = ModelNone;
    buildMeterPage(ModelFarLink);
  }
}

void MainWindow::selectPeakHold(int mode) {
  static constexpr int kTicks[4] = {10, 10, 30, -20};
  savePeakHoldType(mode);
  stylePeakHoldButtons(mode);
  meter.peakHoldTicks = kTicks[mode];
  meter.peakHoldMode = mode;
  meter.clearAllPeaks(channels);
  const Model model = modelOf(ui->label_Device->text());
  if (mode == 0) {
    applyPeakLineVisibility(model, false);
  } else if (mode == 3) {
    applyPeakLineVisibility(model, true);
  } else {
    applyPeakLineVisibility(ModelNone, true);
    applyPeakLineVisibility(model, true);
  }
}

// --- buffer size ------------------------------------------------------------------

namespace {

constexpr int kBufferSizes[11] = {4, 8, 16, 24, 32, 64, 128, 256, 512, 1024, 2048};
constexpr int kDefaultBufferPosition = 7;

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
  const int frames = driver->value(kBufferSizeValueName, 0).toInt();
  int position = -1;
  for (int i = 0; i < 11; ++i) {
    if (kBufferSizes[i] == frames) position = i;
  }
  if (position < 0) {
    position = kDefaultBufferPosition;
    driver->setValue(kBufferSizeValueName, kBufferSizes[position]);
  }
  ui->horizontalSlider_BufferSize->setValue(position);
  ui->label_BufferSize->setText(samplesText(kBufferSizes[position]));
}

void MainWindow::on_horizontalSlider_BufferSize_sliderMoved(int position) {
  const int size = position >= 0 && position <= 10 ? kBufferSizes[position] : 256;
  QScopedPointer<QSettings> driver(newBufferSizeSettings());
  driver->setValue(kBufferSizeValueName, uint(size));
  driver->sync();
  ui->label_BufferSize->setText(samplesText(size));
  qDebug("Change Buffer Size:%d", size);
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
