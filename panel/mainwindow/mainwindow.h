// MainWindow: the panel's only window. Identifies the connected model from
// the product name the unit reports, fills the information page, switches
// between the information, meter and not-connected pages, shows the widgets of
// the connected model and polls meters every 100 ms. All of it runs on the GUI
// thread; the device proxy answers through queued signals.
#ifndef PANEL_MAINWINDOW_MAINWINDOW_H
#define PANEL_MAINWINDOW_MAINWINDOW_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <cstdint>

#include "drawlevelmeter.h"
#include "mainwindowlogic.h"
#include "modelpages.h"
#include "qvxdevice.h"

class BufferSizeScale;
class QSettings;
class QTimer;
class RecLamp;
class UpdateSoftware;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// State of the window that lives for the whole process.
extern QString currentDeviceName;   // display name of the connected model
extern QString previousDeviceName;  // its value at the previous 1000 ms tick
extern QString firmwareText;        // formatted firmware version
extern uint16_t firmwareVersion;
extern uint16_t firmwareBuild;
extern uint8_t recFunctionStates[24];
extern bool recBlinkPhase;
extern bool deviceLostShown;  // the not-connected page is showing

// Text of a sample rate in Hz ("48 kHz"; "-- kHz" for rates the unit family
// does not use).
QString sampleRateText(uint32_t hz);
// "1.05 0042" for version 105, build 42.
QString formatFirmware(uint16_t version, uint16_t build);
// Client geometry of the "Default" size on a screen's available area
// (inclusive coordinates) with the given frame-minus-client height.
QRect defaultClientGeometry(const QRect& available, int frameDiff);
// The settings object holding the buffer size the unit's ASIO driver reads
// ("blockFrames"): the registry key on Windows, a per-user file elsewhere.
// The caller owns it.
QSettings* newBufferSizeSettings();
// Style sheet of the buffer-size slider for a scale factor.
QString bufferSliderStyle(float scale);

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  DrawLevelMeter& levelMeter() { return meter; }
  // The 24 channels the meter page shows (channels 1 to 22, main L, main R).
  MeterChannel* meterChannels() { return channels; }

  // How the 100 ms ticks found the meter answer (for diagnostics and the
  // latency figures).
  struct MeterTickCounts {
    quint64 fresh = 0;    // a new answer was shown
    quint64 pending = 0;  // the answer was still under way; levels stood
    quint64 failed = 0;   // the fetch failed; the unit was deselected
  };
  const MeterTickCounts& meterTickCounts() const { return tickCounts; }

 public slots:
  // Slot names stay as they are. The on_<widget>_<signal> ones are
  // connected by name in setupUi (QMetaObject::connectSlotsByName): renaming
  // a slot or a widget of the form silently unhooks it. The others, the
  // misspelt slt_RecvFirmBuld included, keep the names the panel has always
  // had.
  void getDeviceName();
  void getFirmwareVersion();
  void getSampleRate();
  void getAutoPowerSave();
  void getDirectMonitor1_2();
  void getAudioInput1();
  void getAudioInput2();
  void getInputVolume();
  void getAssignCh();
  void getMeter();
  void getSerial();
  void getRecFunc();
  void on_actionLicense_triggered();
  void on_actionKORVEL_Brevanta_triggered();
  void on_actionProduct_Information_triggered();
  void on_actionFAQ_triggered();
  void on_actionKORVEL_ID_triggered();
  void on_actionManual_triggered();
  void timerInterrupt_1000ms();
  void timerInterrupt_500ms();
  void timerInterrupt_100ms();
  void on_actionUpdate_triggered();
  void on_actionMaximum_triggered();
  void on_actionMinimum_triggered();
  void on_actionDefaultSize_triggered();
  void on_pushButton_Meter_clicked();
  void on_pushButton_Information_clicked();
  void on_pushButton_MTRSource_clicked();
  void on_pushButton_Analog_clicked();
  void on_pushButton_USB_clicked();
  void on_pushButton_MTR_clicked();
  void on_pushButton_HoldClear_clicked();
  void on_pushButton_PeakHoldOff_clicked();
  void on_pushButton_PeakHold1s_clicked();
  void on_pushButton_PeakHold3s_clicked();
  void on_pushButton_PeakHoldInf_clicked();
  void on_pushButton_peakText1_clicked();
  void on_pushButton_peakText2_clicked();
  void on_pushButton_peakText3_clicked();
  void on_pushButton_peakText4_clicked();
  void on_pushButton_peakText5_clicked();
  void on_pushButton_peakText6_clicked();
  void on_pushButton_peakText7_clicked();
  void on_pushButton_peakText8_clicked();
  void on_pushButton_peakText9_clicked();
  void on_pushButton_peakText10_clicked();
  void on_pushButton_peakText11_clicked();
  void on_pushButton_peakText12_clicked();
  void on_pushButton_peakText13_clicked();
  void on_pushButton_peakText14_clicked();
  void on_pushButton_peakText15_clicked();
  void on_pushButton_peakText16_clicked();
  void on_pushButton_peakText17_clicked();
  void on_pushButton_peakText18_clicked();
  void on_pushButton_peakText19_clicked();
  void on_pushButton_peakText20_clicked();
  void on_pushButton_peakText21_clicked();
  void on_pushButton_peakText22_clicked();
  void on_pushButton_peakTextL_clicked();
  void on_pushButton_peakTextR_clicked();
  void on_horizontalSlider_BufferSize_sliderMoved(int position);
  void slt_RecvDeviceName(QString sText);
  void slt_RecvFirmVersion(uint16_t ver);
  void slt_RecvFirmBuld(uint16_t bld);
  void slt_RecvSampleRate(uint32_t rate);
  void slt_RecvSerialNumber(QString serial);
  void slt_RecvLevelMeter(vxmsg_data_ch_t ch_type, uint8_t ch_no, uint32_t value);
  void slt_RecvRecFunction(QByteArray recfunc);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The constructor's steps, in its order.
  void paintPageColours();
  void connectDeviceAnswers();
  void findChannelWidgets();
  void startTimers();
  void setUpBufferSize();
  void styleButtonsAndLabels();
  // The stored meter source and peak-hold mode, with their buttons lit.
  void restoreMeterChoices();

  void showPage(Page page);
  void hideModelWidgets();
  // Shows the model's widgets and builds its meter page (nothing for
  // ModelNone).
  void applyModel(Model model);
  // Every page placed for the client area's size and the screen's pixels.
  void placePages();
  void placeInformationPage();
  void placeNotConnectedPage(int width, int height);
  // The meters show live data or, without a fresh answer, "NO METER DATA".
  void showMeterStaleness();
  // Levels, bars, peaks and lamps at rest: what they showed belongs to a
  // unit or model that is no longer the identified one.
  void restMeters();
  // The serial and sample rate shown as unknown until the unit answers.
  void forgetUnitTexts();

  // Meter pages, meter source, peak-line visibility and rec-function
  // indicators.
  void buildMeterPage(Model model);
  void redrawMeterPage(Model model);
  void placeCommonMeterWidgets();
  bool placeModelPage(Model model);
  void styleMeterSourceButtons(MeterSource source);
  void stylePeakHoldButtons(PeakHold mode);
  void styleRecLabelsForSource(MeterSource source);
  void selectMeterSource(MeterSource source);
  void selectPeakHold(PeakHold mode);
  void applyPeakLineVisibility(Model model, bool shown);
  void copyLevelsBySource(Model model);
  void refreshRecIndicators();
  // An SVG rendered once per size and kept.
  const QPixmap& svgPixmap(const QString& path, const QSize& size, Qt::Alignment align = {},
                           bool opaque = false);
  void placeScaled(QWidget* w, int x, int y, int width, int height) const;
  void setScaledFont(QWidget* w, float pixels, bool bold) const;

  // Buffer size and the ASIO-driver reminder.
  void readBufferSize();
  // Stores the size at a slider position (the default's off the scale).
  void storeBufferSize(int position);
  void showBufferSize(int position);
  void styleBufferSizeSlider(float scale);
  void showAsioReminderIfDue();

  const uint16_t baseWidth = 1110;
  const uint16_t baseHeight = 650;
  Ui::MainWindow* ui;
  QSettings* mainSettings = nullptr;
  UpdateSoftware* updateSoftware = nullptr;
  QTimer* timer1000ms;
  QTimer* timer500ms;
  QTimer* timer100ms;
  DrawLevelMeter meter;
  MainWindowLogic logic;
  QElapsedTimer clock;                // for the meters' staleness
  Model identifiedModel = ModelNone;  // the model the unit said it is, while it stays
  MeterChannel channels[kMeterChannels] = {};
  RecLamp* recFuncLabels[kMeterChannels] = {};
  // Per model (the table's order): information page logo and photo, meter
  // page heading.
  QLabel* infoLogos[ModelCount] = {};
  QLabel* photos[ModelCount] = {};
  QLabel* meterLogos[ModelCount] = {};
  uint16_t scratchLevels[97] = {};
  bool firstMetersAwaited = true;  // no meter answer shown since the unit appeared
  bool scratchFresh = false;       // the scratch table has been cleared for this tick's answer
  Model builtModel = ModelNone;    // model and size the meter page was last built for
  QSize builtSize;
  QHash<QString, QPixmap> pixmapCache;
  qreal placedRatio = 1.0;  // the device pixel ratio the pages were placed for
  bool firstShowDone = false;
  MeterTickCounts tickCounts;
  MeterSource meterSource = MeterSource::ChannelInput;
  int shownBufferPosition = -1;  // the size the slider and its label show
  BufferSizeScale* bufferScale = nullptr;
};

#endif
