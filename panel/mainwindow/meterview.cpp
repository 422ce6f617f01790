// The painted meter wells and the peak readouts.
#include "meterview.h"

#include <QCoreApplication>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>

namespace {

QColor lineColour(PeakColour colour) {
  switch (colour) {
    case PeakColour::Green:
      return QColor(0x15, 0xFF, 0x02);
    case PeakColour::Yellow:
      return QColor(0xFE, 0xFE, 0x00);
    case PeakColour::Red:
      return QColor(0xFF, 0x31, 0x00);
    case PeakColour::Black:
      break;
  }
  return QColor(0, 0, 0);
}

const QColor kLampLit(0xFF, 0x31, 0x00);
const QColor kStaleLine(0x5A, 0x5A, 0x5A);
const QColor kReadoutText(0xE8, 0xE8, 0xE8);
const QColor kReadoutDimmed(0x6A, 0x6A, 0x6A);

QString noteText() {
  return QCoreApplication::translate("MainWindow", "NO METER DATA");
}

QFont noteFont(float scale) {
  QFont font(QStringLiteral("Yu Gothic UI"));
  font.setPixelSize(qMax(1, int(22 * scale)));
  font.setWeight(QFont::Bold);
  return font;
}

}  // namespace

MeterView::MeterView(QWidget* parent) : QWidget(parent) {
  // Clicks reach the page's widgets; the view only paints.
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void MeterView::setBarArt(const QPixmap& bar) {
  if (bar.cacheKey() == barArt.cacheKey()) return;
  barArt = bar;
  greyArt = QPixmap();
  update();
}

const QPixmap& MeterView::greyBarArt() {
  if (greyArt.isNull() && !barArt.isNull()) {
    QImage image = barArt.toImage().convertToFormat(QImage::Format_Grayscale8);
    image = image.convertToFormat(QImage::Format_RGB32);
    // Grey and dimmed, so that a stale bar can never pass for a live one.
    QPainter dim(&image);
    dim.fillRect(image.rect(), QColor(0x1E, 0x1E, 0x1E, 140));
    dim.end();
    greyArt = QPixmap::fromImage(image);
  }
  return greyArt;
}

void MeterView::setChannelsShown(ChannelSet meterSet, ChannelSet peakLineSet) {
  if (meterSet == meters && peakLineSet == peakLines) return;
  meters = meterSet;
  peakLines = peakLineSet;
  update();
}

void MeterView::setStale(bool value) {
  if (value == stale) return;
  stale = value;
  update();
}

void MeterView::repaintChange(const Painted& before, const Painted& after) {
  const QPoint origin = pos();
  auto dirty = [this, origin](const QRect& r) {
    if (!r.isEmpty()) update(r.translated(-origin));
  };
  if (before.bar != after.bar) {
    // A bar that only grew or shrank repaints the strip between its tops.
    if (before.bar.left() == after.bar.left() && before.bar.width() == after.bar.width() &&
        before.bar.top() + before.bar.height() == after.bar.top() + after.bar.height()) {
      const int top = qMin(before.bar.top(), after.bar.top());
      dirty(QRect(after.bar.left(), top, after.bar.width(), qAbs(before.bar.top() - after.bar.top())));
    } else {
      dirty(before.bar);
      dirty(after.bar);
    }
  }
  if (before.peakLine != after.peakLine || before.colour != after.colour) {
    dirty(before.peakLine);
    dirty(after.peakLine);
  }
  if (before.clip != after.clip || before.clipLit != after.clipLit) {
    if (before.clipLit) dirty(before.clip);
    if (after.clipLit) dirty(after.clip);
  }
}

void MeterView::showChannels(const DrawLevelMeter& meter, const MeterChannel* channels) {
  noteScale = meter.scaleMin;
  for (int k = 0; k < kMeterChannels; ++k) {
    if (!meter.processes(k)) continue;  // the layout leaves these as they were
    const MeterChannel& ch = channels[k];
    Painted now;
    now.bar = meter.barRect(k, ch.bar);
    now.peakLine = meter.peakLineRect(k, ch.peakLine);
    now.colour = ch.peakColour;
    now.clip = meter.clipRect(k);
    now.clipLit = ch.clipIndicator;
    const bool barShown = inSet(meters, k);
    Painted before = painted[k];
    if (!barShown) before = now;  // nothing of a hidden channel is on screen
    if (!inSet(peakLines, k) || !barShown) {
      before.peakLine = now.peakLine;
      before.colour = now.colour;
    }
    repaintChange(before, now);
    painted[k] = now;
  }
}

MeterView::Element MeterView::shown(int index) const {
  Element e;
  if (index < 0 || index >= kMeterChannels || !inSet(meters, index)) return e;
  const Painted& p = painted[index];
  e.bar = p.bar;
  if (inSet(peakLines, index)) {
    e.peakLine = p.peakLine;
    e.colour = p.colour;
  }
  if (p.clipLit && !stale) e.clipLamp = p.clip;
  return e;
}

QRect MeterView::noteRect() const {
  if (!stale) return QRect();
  const QFontMetrics metrics(noteFont(noteScale));
  const QSize size(metrics.horizontalAdvance(noteText()) + int(48 * noteScale),
                   metrics.height() + int(24 * noteScale));
  QRect note(QPoint(0, 0), size);
  note.moveCenter(geometry().center());
  return note;
}

void MeterView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QPoint origin = pos();
  painter.translate(-origin);
  const QRect dirty = event->rect().translated(origin);
  const QPixmap& art = stale ? greyBarArt() : barArt;
  for (int k = 0; k < kMeterChannels; ++k) {
    if (!inSet(meters, k)) continue;
    const Painted& p = painted[k];
    if (!p.bar.isEmpty() && p.bar.intersects(dirty)) {
      if (art.isNull()) {
        painter.fillRect(p.bar, stale ? kStaleLine : lineColour(PeakColour::Green));
      } else {
        // The bar shows the lower part of the full-scale artwork.
        const int h = qMin(p.bar.height(), art.height());
        painter.drawPixmap(QPoint(p.bar.left(), p.bar.bottom() + 1 - h), art,
                           QRect(0, art.height() - h, qMin(p.bar.width(), art.width()), h));
      }
    }
    if (inSet(peakLines, k) && p.peakLine.intersects(dirty))
      painter.fillRect(p.peakLine, stale ? kStaleLine : lineColour(p.colour));
    if (p.clipLit && !stale && p.clip.intersects(dirty)) painter.fillRect(p.clip, kLampLit);
  }
  if (stale) {
    const QRect note = noteRect();
    if (note.intersects(dirty)) {
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(QPen(QColor(0x8A, 0x8A, 0x8A), qMax(1.0, double(noteScale))));
      painter.setBrush(QColor(0x14, 0x14, 0x14, 235));
      painter.drawRoundedRect(QRectF(note).adjusted(0.5, 0.5, -0.5, -0.5), 4 * noteScale, 4 * noteScale);
      painter.setFont(noteFont(noteScale));
      painter.setPen(QColor(0xE8, 0xE8, 0xE8));
      painter.drawText(note, Qt::AlignCenter, noteText());
    }
  }
}

PeakReadout::PeakReadout(QWidget* parent) : QPushButton(parent) {
  // Keyboard users reach it with Tab; a click does not leave a focus mark.
  setFocusPolicy(Qt::TabFocus);
}

void PeakReadout::setDimmed(bool value) {
  if (value == dimmed) return;
  dimmed = value;
  update();
}

void PeakReadout::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(dimmed || isDown() ? kReadoutDimmed : kReadoutText);
  painter.drawText(rect(), Qt::AlignCenter, text());
  if (hasFocus()) painter.fillRect(QRect(2, height() - 2, width() - 4, 1), QColor(0x22, 0xA1, 0xFF));
}
