// The main window's meter page: the page builder, which reads the model
// table, the meter source and peak-hold buttons, the peak-line visibility,
// the routing of the levels and the rec-function lamps.
#include <QCoreApplication>
#include <QPushButton>
#include <QStringList>
#include <cmath>

#include "mainwindow.h"
#include "meterrouting.h"
#include "meterview.h"
#include "settingsstore.h"
#include "ui_mainwindow.h"
#include "widgetupdates.h"

namespace {

const QString kBrandLogo = QStringLiteral("://Resource/logo/KORVEL_logo.svg");

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

// A rec-function state as the unit reports it; any other value is off.
enum class RecFunction : uint8_t { Off = 0, On = 1, Blinking = 2 };

// Blinking is on in the blink's on phase.
RecLamp::State lampFor(uint8_t state, bool blinkOn) {
  const RecFunction f = RecFunction(state);
  return f == RecFunction::On || (f == RecFunction::Blinking && blinkOn) ? RecLamp::On : RecLamp::Off;
}

QString translated(const char* text) {
  return QCoreApplication::translate("MainWindow", text);
}

}  // namespace

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
  const ModelPage& page = kModelPages[model];
  const float sx = meter.scaleX;
  const float sy = meter.scaleY;
  const float s = meter.scaleMin;

  // The background fills the page as the widgets do (each axis by its own
  // factor), so that every bar stands in its well at any window aspect.
  const QPixmap& background = svgPixmap(QLatin1String(page.background), ui->label_bg->size(), {}, true);
  setPixmapIfChanged(ui->label_bg, background);
  const QSize logoSize(int(187 * s), int(25 * s));
  QLabel* logo = meterLogos[model];
  setGeometryIfChanged(
      logo, QRect(int(1087 * sx) - logoSize.width(), int(9 * sy), logoSize.width(), logoSize.height()));
  logo->setScaledContents(false);
  logo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  setPixmapIfChanged(logo, svgPixmap(QLatin1String(page.logo), logoSize, Qt::AlignRight));

  QPushButton* const sourceButtons[4] = {ui->pushButton_MTRSource, ui->pushButton_Analog, ui->pushButton_USB,
                                         ui->pushButton_MTR};
  for (int c = 0; c < 4; ++c) {
    const QString caption = translated(page.sourceCaptions[c]);
    if (sourceButtons[c]->text() != caption) sourceButtons[c]->setText(caption);
  }

  // The wells: from the lamps above the bars to the readouts below them.
  MeterView* view = ui->meterView;
  setGeometryIfChanged(view, QRect(0, int(std::floor(190 * sy)), ui->label_bg->width(),
                                   int(std::ceil(568 * sy)) - int(std::floor(190 * sy))));
  view->setBarArt(svgPixmap(QLatin1String(page.bar),
                            QSize(int(std::lround(18 * sx)), int(std::lround(340 * sy))), {}, true));
  view->setChannelsShown(page.meters.channels, view->peakLinesShown());
  QLabel* const masks[5] = {ui->label_barMask1, ui->label_barMask2, ui->label_barMask3, ui->label_barMask4,
                            ui->label_barMask5};
  view->setBackdrop(background, {masks, masks + 5});

  // Rec-function labels (text, column, width) and peak readouts.
  const QStringList texts = QString::fromLatin1(page.labelTexts).split(QLatin1Char('|'));
  for (int k = 0; k < kMeterChannels; ++k) {
    const bool wide = inSet(page.wideLabels, k);
    // "MAIN" does not fit one column: where R has no label of its own, L's
    // spans both main meters.
    int width = wide ? 60 : 26;
    if (k == 22 && !inSet(page.recLabels, 23)) width = 57;
    if (QLabel* label = recFuncLabels[k]) {
      placeScaled(label, page.recX[k], 570, width, 17);
      setScaledFont(label, 16, true);
      const QString text = translated(qPrintable(texts.value(k)));
      if (label->text() != text) label->setText(text);
      label->setVisible(inSet(page.recLabels, k));
      // A pair's label covers its partner's.
      if (wide) label->raise();
    }
    // The readout's button is placed, not shown: the meter view paints it
    // there and passes clicks on it.
    if (QPushButton* readout = channels[k].peakText) {
      placeScaled(readout, page.readoutX[k], 546, 41, 21);
      setScaledFont(readout, 13, false);
    }
  }

  // Masks joining the two meters of each stereo pair, under the bars.
  for (int m = 0; m < 5; ++m) {
    const bool shown = m < page.masks;
    if (shown) {
      setGeometryIfChanged(
          masks[m], QRect(int(page.maskX[m] * sx), int(std::lround(205 * sy)), int(16 * sx), int(342 * sy)));
    }
    masks[m]->setVisible(shown);
  }

  applyPeakLineVisibility(model, MainWindowLogic::peakHoldTypeOf(loadPeakHoldType()) != PeakHold::Off);
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
  meter.setMeterGeometry(&kModelPages[model].meters);
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

void MainWindow::styleMeterSourceButtons(MeterSource source) {
  QPushButton* const buttons[4] = {ui->pushButton_MTRSource, ui->pushButton_Analog, ui->pushButton_USB,
                                   ui->pushButton_MTR};
  for (unsigned c = 0; c < 4; ++c)
    setSheet(buttons[c], c == unsigned(source) ? kSelectedButton : kPlainButton);
}

void MainWindow::stylePeakHoldButtons(PeakHold mode) {
  QPushButton* const buttons[4] = {ui->pushButton_PeakHoldOff, ui->pushButton_PeakHold1s,
                                   ui->pushButton_PeakHold3s, ui->pushButton_PeakHoldInf};
  const QString selected = kSelectedButton + QLatin1Char(';');
  const QString plain = kPlainButton + QLatin1Char(';');
  for (int c = 0; c < 4; ++c) setSheet(buttons[c], c == int(mode) ? selected : plain);
  if (mode == PeakHold::OneSecond) setSheet(ui->pushButton_PeakHoldOff, kFlatOffButton);
}

void MainWindow::applyPeakLineVisibility(Model model, bool shown) {
  ChannelSet lines = shown ? kAllChannels : 0;
  if (shown && model != ModelNone) lines = kModelPages[model].meters.channels;
  ui->meterView->setChannelsShown(ui->meterView->channelsShown(), lines);
}

void MainWindow::copyLevelsBySource(Model model) {
  if (model == ModelNone) return;
  meterrouting::copyBySource(model, meterSource, scratchLevels, channels);
}

void MainWindow::styleRecLabelsForSource(MeterSource source) {
  // The main labels follow their own rec states only where the model gives
  // them one each (Far Link).
  const bool ownMainStates = identifiedModel != ModelNone && kModelPages[identifiedModel].mainRecState < 0;
  for (int k = 0; k < 22; ++k)
    recFuncLabels[k]->setState(source == MeterSource::ChannelInput ? RecLamp::Off : RecLamp::NotApplicable);
  const bool mainBlack =
      ownMainStates ? source != MeterSource::ChannelInput : source == MeterSource::MtrReturn;
  recFuncLabels[22]->setState(mainBlack ? RecLamp::NotApplicable : RecLamp::Off);
  recFuncLabels[23]->setState(mainBlack ? RecLamp::NotApplicable : RecLamp::Off);
}

void MainWindow::refreshRecIndicators() {
  const Model model = identifiedModel;
  const MeterSource source = meterSource;
  const int labels = model == ModelNone ? 0 : kModelPages[model].recLamps;
  for (int k = 0; k < labels; ++k) {
    recFuncLabels[k]->setState(source != MeterSource::ChannelInput
                                   ? RecLamp::NotApplicable
                                   : lampFor(recFunctionStates[k], recBlinkPhase));
  }
  const int mainState = model == ModelNone ? -1 : kModelPages[model].mainRecState;
  if (mainState >= 0) {
    for (int k : {22, 23}) {
      recFuncLabels[k]->setState(source == MeterSource::MtrReturn
                                     ? RecLamp::NotApplicable
                                     : lampFor(recFunctionStates[mainState], recBlinkPhase));
    }
  }
  recBlinkPhase = !recBlinkPhase;
}

void MainWindow::selectMeterSource(MeterSource source) {
  saveMeterSource(uint8_t(source));
  meterSource = source;
  styleMeterSourceButtons(source);
  meter.placeBarsAtRest(channels);
  meter.clearAllPeaks(channels);
  styleRecLabelsForSource(source);
  if (identifiedModel == ModelFarLink) {
    builtModel = ModelNone;
    buildMeterPage(ModelFarLink);
  }
}

void MainWindow::selectPeakHold(PeakHold mode) {
  static constexpr int kTicks[4] = {10, 10, 30, -20};
  savePeakHoldType(int(mode));
  stylePeakHoldButtons(mode);
  meter.peakHoldTicks = kTicks[int(mode)];
  meter.peakHoldMode = mode;
  meter.clearAllPeaks(channels);
  // Off hides every line; the other modes show the model's.
  applyPeakLineVisibility(identifiedModel, mode != PeakHold::Off);
}

// --- buttons of the meter page ----------------------------------------------------

void MainWindow::on_pushButton_MTRSource_clicked() {
  selectMeterSource(MeterSource::ChannelInput);
}
void MainWindow::on_pushButton_Analog_clicked() {
  selectMeterSource(MeterSource::AnalogInput);
}
void MainWindow::on_pushButton_USB_clicked() {
  selectMeterSource(MeterSource::UsbReturn);
}
void MainWindow::on_pushButton_MTR_clicked() {
  selectMeterSource(MeterSource::MtrReturn);
}

void MainWindow::on_pushButton_HoldClear_clicked() {
  meter.clearAllPeaks(channels);
}

void MainWindow::on_pushButton_PeakHoldOff_clicked() {
  selectPeakHold(PeakHold::Off);
}
void MainWindow::on_pushButton_PeakHold1s_clicked() {
  selectPeakHold(PeakHold::OneSecond);
}
void MainWindow::on_pushButton_PeakHold3s_clicked() {
  selectPeakHold(PeakHold::ThreeSeconds);
}
void MainWindow::on_pushButton_PeakHoldInf_clicked() {
  selectPeakHold(PeakHold::Infinite);
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
