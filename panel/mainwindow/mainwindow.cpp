// The main window: timers, model identification, the information page texts,
// page switching, the model's visible widgets, default geometry and closing.
#include "mainwindow.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QFont>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QShowEvent>
#include <QSlider>
#include <QSvgRenderer>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <iterator>

#include "buffersizescale.h"
#include "constants.h"
#include "meterrouting.h"
#include "meterview.h"
#include "settingsstore.h"
#include "ui_mainwindow.h"
#include "updatesoftware.h"
#include "vxfacade.h"
#include "widgetupdates.h"

// Literals, not kNoDevice: globals of another file may not be made yet.
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
//
// `size` is in the window's units; the pixmap has the screen's pixels for
// it (`ratio` of them per unit, as the window's device pixel ratio says),
// so that a scaled display shows the artwork sharp rather than stretched.
QPixmap renderSvg(const QString& path, const QSize& size, qreal ratio, Qt::Alignment align = {},
                  const QColor& ground = Qt::transparent) {
  const QSize units = size.expandedTo(QSize(1, 1));
  QPixmap pixmap(pixelSize(units, ratio));
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(ground);
  QSvgRenderer renderer(path);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF target(QPointF(0, 0), QSizeF(units));
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

// A bitmap scaled smoothly to the given size (window units), in the
// screen's pixels.
QPixmap scaledImage(const QString& path, const QSize& size, qreal ratio) {
  QPixmap pixmap = QPixmap(path).scaled(pixelSize(size.expandedTo(QSize(1, 1)), ratio), Qt::IgnoreAspectRatio,
                                        Qt::SmoothTransformation);
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
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
  showPage(Page::NotConnected);
  ui->scrollArea->setFrameShape(QFrame::NoFrame);
  paintPageColours();
  connectDeviceAnswers();
  findChannelWidgets();
  meter.setView(ui->meterView);
  clock.start();
  startTimers();

  showAsioReminderIfDue();
  setUpBufferSize();
  QVXDevice& dev = globalVXDevice();
  vxfacade::clearMeters(dev);
  ui->label_Device->hide();
  vxfacade::requestRecFunc(dev);

  ui->label_SWVer->setText(QStringLiteral("V") + softwareVersionFull);

  updateSoftware = new UpdateSoftware();

  styleButtonsAndLabels();

  // Nothing of a model shows before the unit has said which it is.
  hideModelWidgets();

  buildMeterPage(ModelTarrow);
  restoreMeterChoices();

  // Log lines keep the wording earlier releases logged ("MainWindow End",
  // "[ERROR]Connected Device is [...]"): logs are read side by side.
  qDebug("MainWindow End");
}

void MainWindow::paintPageColours() {
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
}

void MainWindow::connectDeviceAnswers() {
  QVXDevice& dev = globalVXDevice();
  connect(&dev, &QVXDevice::sig_recv_productname, this, &MainWindow::slt_RecvDeviceName);
  connect(&dev, &QVXDevice::sig_recv_version, this, &MainWindow::slt_RecvFirmVersion);
  connect(&dev, &QVXDevice::sig_recv_build, this, &MainWindow::slt_RecvFirmBuld);
  connect(&dev, &QVXDevice::sig_recv_hz, this, &MainWindow::slt_RecvSampleRate);
  connect(&dev, &QVXDevice::sig_recv_serialnumber, this, &MainWindow::slt_RecvSerialNumber);
  connect(&dev, &QVXDevice::sig_recv_meter, this, &MainWindow::slt_RecvLevelMeter);
  connect(&dev, &QVXDevice::sig_recv_recfunc, this, &MainWindow::slt_RecvRecFunction);
}

void MainWindow::findChannelWidgets() {
  const QString suffix[kMeterChannels] = {
      QStringLiteral("1"),  QStringLiteral("2"),  QStringLiteral("3"),  QStringLiteral("4"),
      QStringLiteral("5"),  QStringLiteral("6"),  QStringLiteral("7"),  QStringLiteral("8"),
      QStringLiteral("9"),  QStringLiteral("10"), QStringLiteral("11"), QStringLiteral("12"),
      QStringLiteral("13"), QStringLiteral("14"), QStringLiteral("15"), QStringLiteral("16"),
      QStringLiteral("17"), QStringLiteral("18"), QStringLiteral("19"), QStringLiteral("20"),
      QStringLiteral("21"), QStringLiteral("22"), QStringLiteral("L"),  QStringLiteral("R")};
  for (int k = 0; k < kMeterChannels; ++k) {
    channels[k] = MeterChannel{};
    channels[k].peakText = findChild<QPushButton*>(QStringLiteral("pushButton_peakText") + suffix[k]);
    // The meter view paints the readout and passes clicks on it to the
    // button, which holds its text.
    if (channels[k].peakText) channels[k].peakText->hide();
    recFuncLabels[k] = findChild<RecLamp*>(QStringLiteral("label_recfunc") + suffix[k]);
  }
  for (int m = 0; m < ModelCount; ++m) {
    const QString stem = QLatin1String(kModelPages[m].widgetStem);
    infoLogos[m] = findChild<QLabel*>(QStringLiteral("label_%1_info").arg(stem));
    photos[m] = findChild<QLabel*>(QStringLiteral("label_%1photo").arg(stem));
    meterLogos[m] = findChild<QLabel*>(QStringLiteral("label_%1_meter").arg(stem));
  }
}

void MainWindow::startTimers() {
  connect(timer1000ms, &QTimer::timeout, this, &MainWindow::timerInterrupt_1000ms);
  connect(timer500ms, &QTimer::timeout, this, &MainWindow::timerInterrupt_500ms);
  connect(timer100ms, &QTimer::timeout, this, &MainWindow::timerInterrupt_100ms);
  timer1000ms->start(1000);
  timer500ms->start(500);
  timer100ms->setTimerType(Qt::PreciseTimer);
  timer100ms->start(100);
}

void MainWindow::setUpBufferSize() {
  readBufferSize();
  // A click on the groove and a key move the handle as a drag does, and
  // store what they show.
  connect(ui->horizontalSlider_BufferSize, &QSlider::valueChanged, this, [this](int position) {
    if (position != shownBufferPosition) storeBufferSize(position);
  });
  bufferScale = new BufferSizeScale(ui->MODELInfo);
  bufferScale->setObjectName(QStringLiteral("bufferSizeScale"));
  QStringList sizes;
  for (int size : MainWindowLogic::kBufferSizes) sizes << QString::number(size);
  bufferScale->setLabels(sizes);
}

void MainWindow::styleButtonsAndLabels() {
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
}

void MainWindow::restoreMeterChoices() {
  // Only this window writes the meter source; the ticks use its copy
  // rather than reading the settings file ten times a second.
  // A stored value out of range is the default, with its button lit.
  meterSource = MainWindowLogic::meterSourceOf(loadMeterSource());
  styleMeterSourceButtons(meterSource);
  styleRecLabelsForSource(meterSource);
  meter.placeBarsAtRest(channels);
  meter.clearAllPeaks(channels);

  switch (MainWindowLogic::peakHoldTypeOf(loadPeakHoldType())) {
    case PeakHold::Off:
      on_pushButton_PeakHoldOff_clicked();
      break;
    case PeakHold::OneSecond:
      on_pushButton_PeakHold1s_clicked();
      break;
    case PeakHold::ThreeSeconds:
      on_pushButton_PeakHold3s_clicked();
      break;
    case PeakHold::Infinite:
      on_pushButton_PeakHoldInf_clicked();
      break;
  }
}

MainWindow::~MainWindow() {
  delete updateSoftware;
  delete mainSettings;
  delete ui;
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
  for (int m = 0; m < ModelCount; ++m) {
    infoLogos[m]->hide();
    photos[m]->hide();
    meterLogos[m]->hide();
  }
}

void MainWindow::applyModel(Model model) {
  if (model == ModelNone) return;
  const ModelPage& page = kModelPages[model];
  ui->pushButton_Meter->show();
  ui->label_textSerialNumber->setVisible(page.serialShown);
  ui->label_SerialNumber->setVisible(page.serialShown);
  for (int m = 0; m < ModelCount; ++m) {
    infoLogos[m]->setVisible(m == model);
    photos[m]->setVisible(m == model);
    meterLogos[m]->setVisible(m == model);
  }
  buildMeterPage(model);
}

void MainWindow::timerInterrupt_1000ms() {
  QVXDevice& dev = globalVXDevice();
  const Model model = identifiedModel;

  if (updateSoftware) {
    // The firmware is checked against the identified model's document; a
    // controller that holds the other one is told to fetch it.
    const UpdateDocument document = MainWindowLogic::updateDocument(model);
    if (document != UpdateDocument::None) {
      bool& needed = document == UpdateDocument::FarLink ? updateSoftware->needFarLinkJson
                                                         : updateSoftware->needTarrowJson;
      if (needed) {
        updateSoftware->changeDeviceType(int(document));
        needed = false;
      }
    }
    updateSoftware->checkFirm(ui->label_Device->text(), firmwareText);
    if (updateSoftware->hasUpdate()) ui->actionUpdate->setEnabled(true);
  }

  if (!vxfacade::isSelected(dev)) {
    hideModelWidgets();
    currentDeviceName = kNoDevice;
    return;
  }

  applyModel(model);

  if (currentDeviceName != previousDeviceName) {
    const bool shown = MainWindowLogic::peakHoldTypeOf(loadPeakHoldType()) != PeakHold::Off;
    applyPeakLineVisibility(model, shown);
    meter.clearAllPeaks(channels);
  }

  if (updateSoftware) {
    const UpdateDocument document = MainWindowLogic::documentOnModelChange(
        MainWindowLogic::modelOf(currentDeviceName), MainWindowLogic::modelOf(previousDeviceName));
    if (document != UpdateDocument::None) {
      updateSoftware->changeDeviceType(int(document));
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
  const bool selected = vxfacade::isSelected(dev);
  switch (MainWindowLogic::pageForSelection(selected, &deviceLostShown)) {
    case Page::NotConnected:
      showPage(Page::NotConnected);
      qCDebug(lcMeterTrace, "%lld lost", QDateTime::currentMSecsSinceEpoch());
      break;
    case Page::Information:
      readBufferSize();
      showPage(Page::Information);
      // Ask who the unit is now rather than at the next second.
      vxfacade::requestInfo(dev);
      break;
    default:
      break;
  }
  if (!selected) {
    // Whatever comes back may be another unit: its meters are read once it
    // has said which model it is.
    identifiedModel = ModelNone;
    logic.forgetAnswers();
    firstMetersAwaited = true;
    showMeterStaleness();
    return;
  }

  const Model model = identifiedModel;
  if (model == ModelNone) {
    showMeterStaleness();
    return;
  }

  // The answer read here is the previous fetch's. While the next one is
  // still under way the levels stand; only a fetch that failed deselects.
  const vxfacade::MeterFetch fetch = vxfacade::fetchMeter(
      dev, kModelPages[model].meterRead, [this, model](vxmsg_data_ch_t type, uint8_t number, uint16_t value) {
        if (!scratchFresh) {
          std::fill(std::begin(scratchLevels), std::end(scratchLevels), uint16_t(0));
          scratchFresh = true;
        }
        const int slot = meterrouting::slotOf(model, type, number);
        if (slot >= 0) scratchLevels[slot] = value;
      });
  scratchFresh = false;
  if (fetch == vxfacade::MeterFetch::Failed) {
    ++tickCounts.failed;
    std::fill(std::begin(scratchLevels), std::end(scratchLevels), uint16_t(0));
    vxfacade::deselect(dev);
  } else if (fetch == vxfacade::MeterFetch::Fresh) {
    ++tickCounts.fresh;
    logic.freshAnswer(clock.elapsed());
  } else {
    ++tickCounts.pending;
  }
  copyLevelsBySource(model);
  meter.updateMeters(channels);
  showMeterStaleness();
  vxfacade::clearMeters(dev);
  if (fetch == vxfacade::MeterFetch::Fresh) {
    if (lcMeterTrace().isDebugEnabled()) {
      qCDebug(lcMeterTrace, "%lld fresh%s h0=%d", QDateTime::currentMSecsSinceEpoch(),
              firstMetersAwaited ? " first" : "", int(channels[0].bar));
    }
    firstMetersAwaited = false;
  }
}

void MainWindow::restMeters() {
  std::fill(std::begin(scratchLevels), std::end(scratchLevels), uint16_t(0));
  for (MeterChannel& ch : channels) ch.level = 0;
  meter.placeBarsAtRest(channels);
  meter.clearAllPeaks(channels);
}

void MainWindow::forgetUnitTexts() {
  slt_RecvSerialNumber(QString());
  slt_RecvSampleRate(0);
}

void MainWindow::showMeterStaleness() {
  const bool stale = logic.metersStale(clock.elapsed());
  ui->meterView->setStale(stale);
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

void MainWindow::showPage(Page page) {
  ui->stackedWidget->setCurrentIndex(int(page));
}

void MainWindow::on_pushButton_Meter_clicked() {
  showPage(Page::Meters);
}

void MainWindow::on_pushButton_Information_clicked() {
  showPage(Page::Information);
}

// --- device answers -------------------------------------------------------------

void MainWindow::slt_RecvDeviceName(QString sText) {
  const QString held =
      identifiedModel == ModelNone ? kNoDevice : QLatin1String(kModelPages[identifiedModel].name);
  switch (MainWindowLogic::identity(sText, currentDeviceName, held)) {
    case MainWindowLogic::Identity::Cleared:
      ui->label_Device->setText(kNoDevice);
      previousDeviceName = kNoDevice;
      // Nothing of the model stays on screen once the unit's identity has
      // gone, and its meters are no longer read.
      identifiedModel = ModelNone;
      logic.forgetAnswers();
      restMeters();
      forgetUnitTexts();
      hideModelWidgets();
      showMeterStaleness();
      if (updateSoftware) updateSoftware->setShownModel(kNoDevice);
      vxfacade::deselect(globalVXDevice());
      return;
    case MainWindowLogic::Identity::Unchanged:
      return;
    case MainWindowLogic::Identity::Unknown:
      qDebug("[ERROR]Connected Device is [%s]", qUtf8Printable(sText));
      return;
    case MainWindowLogic::Identity::Identified:
      break;
  }
  currentDeviceName = sText;
  ui->label_Device->setText(sText);
  // The new model's page, heading, captions and meter read apply at once,
  // whichever page shows; the 1000 ms tick does the rest of a model change
  // (peaks, update documents). Levels shown so far are not this model's.
  identifiedModel = MainWindowLogic::modelOf(sText);
  logic.forgetAnswers();
  // Until this model's first meter answer, its page shows nothing rather
  // than the previous unit's levels (grey, but on this model's channels).
  restMeters();
  // Nor does it show the previous unit's serial and rate: both are asked
  // for now rather than at the next second.
  forgetUnitTexts();
  vxfacade::requestHz(globalVXDevice());
  vxfacade::requestSerialNumber(globalVXDevice());
  applyModel(identifiedModel);
  showMeterStaleness();
  // A firmware update offered for the unit this one replaced is not for it.
  if (updateSoftware) updateSoftware->setShownModel(sText);
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
  placePages();
}

void MainWindow::placePages() {
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
  redrawMeterPage(builtModel == ModelNone ? ModelTarrow : builtModel);
  placeInformationPage();
  placedRatio = devicePixelRatioF();
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (firstShowDone) return;
  firstShowDone = true;
  // Moved to a screen of another scaling (a laptop's panel and an external
  // display), the window keeps its units: its artwork is rendered again for
  // the new screen's pixels.
  if (QWindow* window = windowHandle()) {
    connect(window, &QWindow::screenChanged, this, [this] {
      if (devicePixelRatioF() == placedRatio) return;
      pixmapCache.clear();
      placePages();
    });
  }
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
  ui->label_KORVEL_dead->setPixmap(renderSvg(QStringLiteral("://Resource/logo/KORVEL_logo.svg"), logo,
                                             devicePixelRatioF(), Qt::AlignLeft));
}

void MainWindow::placeInformationPage() {
  const float sx = meter.scaleX;
  const float sy = meter.scaleY;
  const float s = meter.scaleMin;
  auto place = [sx, sy](QWidget* w, int x, int y, int width, int height) {
    w->setGeometry(int(x * sx), int(y * sy), int(width * sx), int(height * sy));
  };

  place(ui->label_infoBg, 0, 0, baseWidth, baseHeight);
  ui->label_infoBg->setPixmap(
      renderSvg(QStringLiteral("://Resource/info_bg.svg"), ui->label_infoBg->size(), devicePixelRatioF()));
  const QSize logo(int(108 * s), int(18 * s));
  ui->label_KORVEL_info->setGeometry(int(23 * sx), int(13 * sy), logo.width(), logo.height());
  ui->label_KORVEL_info->setPixmap(renderSvg(QStringLiteral("://Resource/logo/KORVEL_logo.svg"), logo,
                                             devicePixelRatioF(), Qt::AlignLeft));

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
  for (int m = 0; m < ModelCount; ++m) {
    const QSize logoSize(int(240 * s), int(40 * s));
    infoLogos[m]->setGeometry(int(60 * sx), int(96 * sy), logoSize.width(), logoSize.height());
    infoLogos[m]->setPixmap(
        renderSvg(QLatin1String(kModelPages[m].logo), logoSize, devicePixelRatioF(), Qt::AlignLeft));
    const QSize photoSize(int(520 * s), int(260 * s));
    photos[m]->setGeometry(int(60 * sx), int(150 * sy), photoSize.width(), photoSize.height());
    photos[m]->setPixmap(scaledImage(QLatin1String(kModelPages[m].photo), photoSize, devicePixelRatioF()));
  }

  place(ui->label_sliderBg, 620, 400, 353, 42);
  ui->label_sliderBg->setScaledContents(false);
  ui->label_sliderBg->setPixmap(
      svgPixmap(QStringLiteral("://Resource/slider_bg.svg"), ui->label_sliderBg->size()));
  place(ui->horizontalSlider_BufferSize, 620, 410, 353, 22);
  styleBufferSizeSlider(s);
  bufferScale->place(ui->label_sliderBg->geometry(), s);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (updateSoftware) updateSoftware->closeUpdateWindows();
  event->accept();
}

// --- rendering and placing ----------------------------------------------------

const QPixmap& MainWindow::svgPixmap(const QString& path, const QSize& size, Qt::Alignment align,
                                     bool opaque) {
  const qreal ratio = devicePixelRatioF();
  const QString key = path + QLatin1Char('@') + QString::number(size.width()) + QLatin1Char('x') +
                      QString::number(size.height()) + QLatin1Char('*') + QString::number(ratio) +
                      QLatin1Char('/') + QString::number(int(align)) +
                      (opaque ? QLatin1String("/o") : QLatin1String(""));
  auto it = pixmapCache.find(key);
  if (it == pixmapCache.end()) {
    // A window resized by dragging passes through many sizes; only the
    // latest few are worth keeping.
    if (pixmapCache.size() > 48) pixmapCache.clear();
    it = pixmapCache.insert(key, renderSvg(path, size, ratio, align,
                                           opaque ? QColor(0x1E, 0x1E, 0x1E) : QColor(Qt::transparent)));
  }
  return *it;
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
