// DrawLevelMeter: turns the raw 16-bit levels of up to 24 channels into bar
// heights, held peak lines, clip lamps and numeric peak readouts. It owns no
// widgets: it sets what each MeterChannel shows, every 100 ms, and hands the
// table to the view that paints the meter wells (MeterView).
#ifndef PANEL_MAINWINDOW_DRAWLEVELMETER_H
#define PANEL_MAINWINDOW_DRAWLEVELMETER_H

#include <QLabel>
#include <QRect>
#include <QString>
#include <cstdint>
#include <initializer_list>

class MeterView;
class QPushButton;

// Colour of a held peak line.
enum class PeakColour : uint8_t { Black, Green, Yellow, Red };

// One displayed meter channel: what the page shows of it, and its level.
struct MeterChannel {
  uint16_t bar;           // bar height, base pixels (0 to 340)
  uint16_t peakLine;      // held peak line, base pixels above the baseline (0 to 340)
  PeakColour peakColour;  // colour of the peak line
  QPushButton* peakText;  // numeric peak readout; clicking it clears the channel's peak
  bool clipIndicator;     // clip lamp lit
  uint16_t level;         // latest raw level, 32767 full scale
  uint8_t holdCounter;    // 100 ms ticks since the peak line last rose
};

constexpr int kMeterChannels = 24;  // channels 1 to 22, main L, main R

// A set of displayed channels: bit k for channel k + 1 (channels 1 to 22,
// then 23 for main L and 24 for main R).
using ChannelSet = uint32_t;
constexpr ChannelSet kAllChannels = 0xFFFFFFu;
constexpr ChannelSet channelSet(std::initializer_list<int> numbers) {
  ChannelSet bits = 0;
  for (int n : numbers) bits |= 1u << (n - 1);
  return bits;
}
constexpr bool inSet(ChannelSet set, int index) {
  return (set >> index & 1u) != 0;
}

// Where a page shows its meters: the channels with bar, peak line, readout
// and clip lamp, and the left edge of each channel's bar (channels 1 to 22,
// L, R) in base pixels. Each model's is in its page of the model table.
struct MeterGeometry {
  ChannelSet channels;
  const int* barX;  // kMeterChannels columns
};

// How long a peak line holds before it falls back to its bar; the values
// are what PeakHold/Type stores.
enum class PeakHold : int32_t { Off = 0, OneSecond = 1, ThreeSeconds = 2, Infinite = 3 };

class DrawLevelMeter : public QLabel {
  Q_OBJECT

 public:
  explicit DrawLevelMeter(QWidget* parent = nullptr);

  // One meter step for all 24 records.
  void updateMeters(MeterChannel* channels);
  // Drop every peak line (or one) to where its bar stands now.
  void clearAllPeaks(MeterChannel* channels);
  void clearPeak(MeterChannel* channels, int index);
  // Every bar at rest: height 0.
  void placeBarsAtRest(MeterChannel* channels);

  // The view that paints the records after each of the operations above
  // (none: the records alone change).
  void setView(MeterView* view) { meterView = view; }

  // Bar height (base pixels, 0 to 340) for a level in dB.
  static int heightForDb(double db);
  // dB of a level; a level of 0 counts as -52.
  static double levelToDb(uint16_t level);
  // The readout of a level: dB with one decimal, " -inf" at the floor.
  static QString levelReadout(uint16_t level);
  // The dB value shown for a bar height (two decimals).
  float dbForHeight(int height) const {
    return heightToDb[340 - (height < 0 ? 0 : height > 340 ? 340 : height)];
  }
  uint16_t peakHeight(int index) const { return peakHeights[index]; }

  // Where channel `index` shows its elements on the page at the current
  // scale: the bar of a height, the peak line at a height, the clip lamp.
  QRect barRect(int index, int height) const;
  QRect peakLineRect(int index, int height) const;
  QRect clipRect(int index) const;
  // Whether the layout shows the channel at all.
  bool processes(int index) const { return inSet(meters->channels, index); }

  // The page's meter geometry, one of the model table's (the pointer is
  // kept); none, or null: no channel shows.
  void setMeterGeometry(const MeterGeometry* geometry) { meters = geometry ? geometry : &kNoMeters; }
  const MeterGeometry* meterGeometry() const { return meters; }

  float scaleMin = 1.0f;
  float scaleX = 1.0f;
  float scaleY = 1.0f;
  int32_t peakHoldTicks = 10;  // negative: hold forever
  PeakHold peakHoldMode = PeakHold::OneSecond;

 private:
  int columnX(int index) const { return meters->barX ? meters->barX[index] : 0; }
  QString peakReadout(int height) const;
  void setPeak(MeterChannel& ch, int index, int height);
  void showChannels(const MeterChannel* channels);

  uint16_t peakHeights[kMeterChannels] = {};
  // dB of each bar height, indexed by 340 - height.
  float heightToDb[341];
  // The scale of the previous update.
  float previousScaleX = 1.0f;
  float previousScaleY = 1.0f;
  MeterView* meterView = nullptr;
  static constexpr MeterGeometry kNoMeters = {0, nullptr};
  const MeterGeometry* meters = &kNoMeters;
};

#endif
