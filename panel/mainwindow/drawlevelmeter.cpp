// The level meter: dB conversion, the 65-step height table, the fall limit,
// peak hold, clip lamps and colours. Heights are kept in base pixels of the
// 1110 x 650 reference page; the geometry on the page multiplies them by the
// window's scale.
#include "drawlevelmeter.h"

#include <QPushButton>
#include <cmath>

#include "meterview.h"

namespace {

constexpr int kBaseline = 546;    // bars stand on this line and grow upward
constexpr int kFullHeight = 340;  // top of a full bar at y 206
constexpr int kBarWidth = 18;
constexpr int kPeakWidth = 16;
constexpr int kPeakHeight = 2;
constexpr int kClipTop = 195;
constexpr int kClipHeight = 4;
constexpr int kFallLimit = 21;  // base pixels a bar may fall per 100 ms tick
constexpr double kFloorDb = -52.0;

// Bar height by level: the first row from the top whose threshold the level
// reaches gives the height.
constexpr struct {
  int height;
  double db;
} kHeightTable[65] = {
    {340, 0.0},    {335, -0.5},   {330, -1.0},   {325, -1.5},   {320, -2.0},   {314, -2.6},   {309, -3.1},
    {304, -3.59},  {299, -4.07},  {293, -4.65},  {287, -5.23},  {282, -5.71},  {277, -6.19},  {271, -6.74},
    {266, -7.2},   {261, -7.67},  {255, -8.22},  {250, -8.68},  {245, -9.14},  {240, -9.6},   {234, -10.16},
    {229, -10.62}, {224, -11.08}, {218, -11.64}, {213, -12.19}, {208, -13.13}, {202, -14.25}, {197, -15.19},
    {192, -16.13}, {186, -17.25}, {181, -18.2},  {176, -19.2},  {170, -20.42}, {165, -21.46}, {160, -22.5},
    {155, -23.55}, {149, -24.8},  {144, -25.84}, {139, -26.88}, {133, -28.13}, {128, -29.17}, {123, -30.19},
    {117, -31.33}, {112, -32.27}, {107, -33.21}, {101, -34.34}, {96, -35.29},  {91, -36.23},  {85, -37.36},
    {80, -38.31},  {75, -39.25},  {70, -40.19},  {64, -41.33},  {59, -42.27},  {54, -43.21},  {49, -44.16},
    {43, -45.29},  {38, -46.23},  {32, -47.36},  {27, -48.31},  {22, -49.25},  {16, -50.23},  {11, -50.78},
    {6, -51.34},   {0, -52.0},
};

// Anchor points (height, dB) of the height-to-dB table; linear in between.
constexpr struct {
  int height;
  double db;
} kDbAnchors[9] = {{0, -52.0},   {18, -50.0}, {124, -30.0}, {172, -20.0}, {182, -18.0},
                   {214, -12.0}, {279, -6.0}, {310, -3.0},  {340, 0.0}};

int roundi(double v) {
  return int(std::lround(v));
}

// A dB value with one decimal; a value that rounds to zero reads "0.0",
// never "-0.0".
QString oneDecimal(double db) {
  const QString text = QString::number(db, 'f', 1);
  return text == QLatin1String("-0.0") ? QStringLiteral("0.0") : text;
}

void showReadout(QPushButton* button, const QString& text) {
  if (button && button->text() != text) button->setText(text);
}

// Colour of a peak line: yellow from -18 dB, red from -3 dB. A clear uses
// the same colours as a meter step, so that clearing never repaints a line.
PeakColour colourFor(int h) {
  return h <= 0     ? PeakColour::Black
         : h <= 181 ? PeakColour::Green
         : h <= 309 ? PeakColour::Yellow
                    : PeakColour::Red;
}

// The clip lamp lights from -2.0 dB, height 320.
constexpr int kClipHeightMin = 320;

}  // namespace

DrawLevelMeter::DrawLevelMeter(QWidget* parent) : QLabel(parent) {
  for (int h = 0; h <= kFullHeight; ++h) {
    int a = 0;
    while (a < 7 && h > kDbAnchors[a + 1].height) ++a;
    const auto& lo = kDbAnchors[a];
    const auto& hi = kDbAnchors[a + 1];
    const double db = lo.db + (hi.db - lo.db) * double(h - lo.height) / double(hi.height - lo.height);
    // Two decimals, halves away from zero.
    heightToDb[kFullHeight - h] = float(std::round(db * 100.0) / 100.0);
  }
}

double DrawLevelMeter::levelToDb(uint16_t level) {
  if (level == 0) return kFloorDb;
  return 20.0 * std::log10(double(level) / 32767.0);
}

int DrawLevelMeter::heightForDb(double db) {
  for (const auto& row : kHeightTable) {
    if (db >= row.db) return row.height;
  }
  return 0;
}

QString DrawLevelMeter::levelReadout(uint16_t level) {
  const double db = levelToDb(level);
  return db > kFloorDb ? oneDecimal(db) : QStringLiteral(" -inf");
}

QString DrawLevelMeter::peakReadout(int height) const {
  const QString text = oneDecimal(double(dbForHeight(height)));
  return text == QLatin1String("-52.0") ? QStringLiteral(" -inf") : text;
}

QRect DrawLevelMeter::barRect(int index, int height) const {
  const int h = roundi(height * scaleY);
  return QRect(roundi(columnX(index) * scaleX), roundi(kBaseline * scaleY) - h, roundi(kBarWidth * scaleX),
               h);
}

QRect DrawLevelMeter::peakLineRect(int index, int height) const {
  return QRect(roundi((columnX(index) + 1) * scaleX), int(std::floor((kBaseline - height) * scaleY)),
               roundi(kPeakWidth * scaleX), roundi(kPeakHeight * scaleY));
}

QRect DrawLevelMeter::clipRect(int index) const {
  return QRect(roundi(columnX(index) * scaleX), roundi(kClipTop * scaleY), roundi(kBarWidth * scaleX),
               roundi(kClipHeight * scaleY));
}

void DrawLevelMeter::setPeak(MeterChannel& ch, int index, int height) {
  peakHeights[index] = uint16_t(height);
  ch.peakLine = uint16_t(height);
  ch.peakColour = colourFor(height);
}

void DrawLevelMeter::showChannels(const MeterChannel* channels) {
  if (meterView) meterView->showChannels(*this, channels);
}

void DrawLevelMeter::updateMeters(MeterChannel* channels) {
  const bool rescale = scaleX != previousScaleX || scaleY != previousScaleY;
  for (int k = 0; k < kMeterChannels; ++k) {
    if (!processes(k)) continue;
    MeterChannel& ch = channels[k];
    const int previous = ch.bar;
    const double db = levelToDb(ch.level);
    int h = db < kFloorDb ? 0 : heightForDb(db);
    // After a resize the bars jump to their heights; otherwise a bar falls
    // by at most 21 base pixels per tick.
    if (h < previous - kFallLimit && !rescale) h = previous - kFallLimit;

    if (h >= peakHeights[k]) {
      setPeak(ch, k, h);
      ch.holdCounter = 0;
      showReadout(ch.peakText, levelReadout(ch.level));
    } else if (peakHoldTicks >= 0 && peakHoldMode != PeakHold::Infinite) {
      if (ch.holdCounter < 255) ++ch.holdCounter;
      if (ch.holdCounter > peakHoldTicks) {
        setPeak(ch, k, h);
        showReadout(ch.peakText, peakReadout(h));
        ch.holdCounter = 0;
        ch.clipIndicator = false;
      }
    }
    ch.bar = uint16_t(h);
    if (db >= -2.0) ch.clipIndicator = true;
  }
  previousScaleX = scaleX;
  previousScaleY = scaleY;
  showChannels(channels);
}

void DrawLevelMeter::clearPeak(MeterChannel* channels, int k) {
  if (k < 0 || k >= kMeterChannels) return;
  MeterChannel& ch = channels[k];
  ch.holdCounter = 0;
  // The peak drops to where the bar stands, exactly: the bar's height is
  // kept in base pixels, so no scale can put the line below the bar.
  const int p = qBound(0, int(ch.bar), kFullHeight);
  setPeak(ch, k, p);
  // Lamp as the meter step gives it: a clear must not light a lamp that
  // metering would not (from -2.0 dB, not -3 dB).
  ch.clipIndicator = p >= kClipHeightMin;
  showReadout(ch.peakText, peakReadout(p));
  showChannels(channels);
}

void DrawLevelMeter::clearAllPeaks(MeterChannel* channels) {
  MeterView* view = meterView;
  meterView = nullptr;  // one repaint for all channels
  for (int k = 0; k < kMeterChannels; ++k) clearPeak(channels, k);
  meterView = view;
  showChannels(channels);
}

void DrawLevelMeter::placeBarsAtRest(MeterChannel* channels) {
  for (int k = 0; k < kMeterChannels; ++k) channels[k].bar = 0;
  showChannels(channels);
}
