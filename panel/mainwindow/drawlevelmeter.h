// DrawLevelMeter: turns the raw 16-bit levels of up to 24 channels into bar
// heights, held peak lines, clip lamps and numeric peak readouts. It owns no
// widgets: it moves and colours the four widgets of each MeterChannel that the
// main window hands it, every 100 ms.
#ifndef PANEL_MAINWINDOW_DRAWLEVELMETER_H
#define PANEL_MAINWINDOW_DRAWLEVELMETER_H

#include <QLabel>
#include <QString>
#include <cstdint>

class QPushButton;

// One displayed meter channel.
struct MeterChannel {
  QLabel* bar;
  QLabel* peakLine;
  QPushButton* peakText;
  QLabel* clipIndicator;
  uint16_t level;       // latest raw level, 32767 full scale
  uint8_t holdCounter;  // 100 ms ticks since the peak line last rose
};

constexpr int kMeterChannels = 24;  // channels 1 to 22, main L, main R

class DrawLevelMeter : public QLabel {
  Q_OBJECT

 public:
  explicit DrawLevelMeter(QWidget* parent = nullptr);

  // One meter step for all 24 records.
  void updateMeters(MeterChannel* channels);
  // Drop every peak line (or one) to where its bar stands now.
  void clearAllPeaks(MeterChannel* channels);
  void clearPeak(MeterChannel* channels, int index);
  // Every bar at its layout column, on the baseline, height 0, unscaled.
  void placeBarsAtRest(MeterChannel* channels);

  // Bar height (base pixels, 0 to 340) for a level in dB.
  static int heightForDb(double db);
  // dB of a level; a level of 0 counts as -52.
  static double levelToDb(uint16_t level);
  // The dB value shown for a bar height (two decimals).
  float dbForHeight(int height) const {
    return heightToDb[340 - (height < 0 ? 0 : height > 340 ? 340 : height)];
  }
  uint16_t peakHeight(int index) const { return peakHeights[index]; }

  float scaleMin = 1.0f;
  float scaleX = 1.0f;
  float scaleY = 1.0f;
  int32_t peakHoldTicks = 10;  // negative: hold forever
  int32_t peakHoldMode = 1;    // 0 off, 1 one second, 2 three seconds, 3 infinite
  int32_t meterLayout = 1;     // 0 Tarrow/Quenby, 1 Far Link, 2 Pellin, 3 Dorrit

 private:
  bool processes(int index) const;
  int columnX(int index) const;
  void placePeakLine(MeterChannel& ch, int index, bool truncate);
  QString peakReadout(int height) const;

  uint16_t peakHeights[kMeterChannels] = {};
  // dB of each bar height, indexed by 340 - height.
  float heightToDb[341];
  // The scale of the previous update.
  float previousScaleX = 1.0f;
  float previousScaleY = 1.0f;
};

#endif
