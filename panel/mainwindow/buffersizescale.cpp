// The buffer sizes under the slider's ticks.
#include "buffersizescale.h"

#include <QFontMetrics>
#include <QPainter>
#include <cmath>

namespace {

constexpr float kLargestPixels = 11;  // at the base size
constexpr float kSmallestPixels = 7;
constexpr float kGapPixels = 3;  // the least room between two labels

}  // namespace

BufferSizeScale::BufferSizeScale(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void BufferSizeScale::setLabels(const QStringList& texts) {
  labels = texts;
  if (!backdropRect.isEmpty()) place(backdropRect, float(backdropRect.width()) / kBackdropWidth);
}

int BufferSizeScale::tickX(int index) const {
  const double step = (kBackdropWidth - 2.0 * kTickInset) / 10.0;
  const double scale = double(backdropRect.width()) / kBackdropWidth;
  return backdropRect.x() + int(std::lround((kTickInset + index * step) * scale));
}

QRect BufferSizeScale::labelRect(int index) const {
  return index >= 0 && index < rects.size() ? rects[index] : QRect();
}

void BufferSizeScale::place(const QRect& backdrop, float scale) {
  backdropRect = backdrop;
  // The largest size at which neighbours keep their distance: with a wide
  // fallback face the page font is narrower than it looks in the artwork.
  const int gap = qMax(2, int(kGapPixels * scale));
  for (int pixels = qMax(1, int(kLargestPixels * scale)); pixels >= 1; --pixels) {
    font = QFont(QStringLiteral("Yu Gothic UI"));
    font.setPixelSize(pixels);
    font.setWeight(QFont::Bold);
    const QFontMetrics metrics(font);
    rects.clear();
    for (int i = 0; i < labels.size(); ++i) {
      const int width = metrics.horizontalAdvance(labels[i]);
      rects.append(QRect(tickX(i) - width / 2, 0, width, metrics.height()));
    }
    bool fits = true;
    for (int i = 1; i < rects.size(); ++i) fits = fits && rects[i].left() - rects[i - 1].right() - 1 >= gap;
    if (fits || pixels <= int(kSmallestPixels * scale)) break;
  }
  // Below the ticks, which end 28 base pixels down the backdrop.
  const int top = backdrop.y() + int(std::ceil(29 * scale));
  QRect bounds;
  for (QRect& r : rects) {
    r.moveTop(top);
    bounds |= r;
  }
  setGeometry(bounds.isEmpty() ? QRect(backdrop.bottomLeft(), QSize(1, 1)) : bounds);
  update();
}

void BufferSizeScale::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font);
  painter.setPen(QColor(0x9A, 0x9A, 0x9A));
  for (int i = 0; i < rects.size(); ++i)
    painter.drawText(rects[i].translated(-pos()), Qt::AlignCenter, labels[i]);
}
