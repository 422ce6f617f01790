// The painted meter wells with their readouts, and the rec-function lamps.
#include "meterview.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QHash>
#include <QImage>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

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

// The pieces' spans within [top, top + height), joined where the gap between
// two costs less than a rectangle of its own, as rectangles of that band
// appended to `band` (left to right, apart).
void addBand(const std::vector<QRect>& pieces, int top, int height, int rectCost, std::vector<QRect>* band) {
  std::vector<std::pair<int, int>> spans;
  for (const QRect& p : pieces) {
    if (!p.isEmpty() && p.top() < top + height && p.bottom() >= top) spans.emplace_back(p.left(), p.right());
  }
  if (spans.empty()) return;
  std::sort(spans.begin(), spans.end());
  const int maxGap = rectCost / qMax(1, height);
  int left = spans.front().first, right = spans.front().second;
  for (const auto& [l, r] : spans) {
    if (l - right - 1 > maxGap) {
      band->emplace_back(QPoint(left, top), QPoint(right, top + height - 1));
      left = l;
    }
    right = qMax(right, r);
  }
  band->emplace_back(QPoint(left, top), QPoint(right, top + height - 1));
}

// A rectangle of page units in the pixels of an artwork with `ratio`
// pixels per unit.
QRectF scaledRect(const QRectF& r, qreal ratio) {
  return QRectF(r.topLeft() * ratio, r.size() * ratio);
}

}  // namespace

QRegion repaintRegion(const std::vector<QRect>& wells, const std::vector<QRect>& texts, int rowHeight,
                      int rectCost) {
  rowHeight = qMax(1, rowHeight);
  std::vector<QRect> rects;
  int top = INT_MAX, bottom = INT_MIN;
  for (const QRect& w : wells) {
    if (w.isEmpty()) continue;
    top = qMin(top, w.top());
    bottom = qMax(bottom, w.bottom());
  }
  // Rows of the grid, top to bottom, each cut the same way: the bands of
  // the region as they are, with no piece's edge cutting another.
  if (top <= bottom) {
    const int first = top - ((top % rowHeight) + rowHeight) % rowHeight;
    for (int row = first; row <= bottom; row += rowHeight) addBand(wells, row, rowHeight, rectCost, &rects);
  }
  QRegion region;
  if (!rects.empty()) region.setRects(rects.data(), int(rects.size()));
  // The readouts by rows of their own (one in every layout but the
  // smallest pieces' heights).
  for (size_t i = 0; i < texts.size(); ++i) {
    const QRect& t = texts[i];
    if (t.isEmpty()) continue;
    bool first = true;  // the first of its row does the row
    for (size_t j = 0; j < i && first; ++j)
      first = texts[j].isEmpty() || texts[j].top() != t.top() || texts[j].height() != t.height();
    if (!first) continue;
    rects.clear();
    addBand(texts, t.top(), t.height(), rectCost, &rects);
    QRegion row;
    row.setRects(rects.data(), int(rects.size()));
    region |= row;
  }
  return region;
}

MeterView::MeterView(QWidget* parent) : QWidget(parent) {}

void MeterView::setBarArt(const QPixmap& bar) {
  if (bar.cacheKey() == barArt.cacheKey()) return;
  barArt = bar;
  greyArt = QPixmap();
  update();
}

void MeterView::setBackdrop(const QPixmap& page, const QList<QWidget*>& masks) {
  pairMasks = masks;
  // Opaque once it paints the background itself: the page beneath it is
  // then never painted for it.
  setAttribute(Qt::WA_OpaquePaintEvent, !page.isNull());
  if (page.cacheKey() == backdrop.cacheKey()) return;
  backdrop = page;
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

void MeterView::changedParts(const Painted& before, const Painted& after, std::vector<QRect>* parts) {
  const auto add = [parts](const QRect& r) {
    if (!r.isEmpty()) parts->push_back(r);
  };
  if (before.bar != after.bar) {
    // A bar that only grew or shrank repaints the strip between its tops.
    if (before.bar.left() == after.bar.left() && before.bar.width() == after.bar.width() &&
        before.bar.top() + before.bar.height() == after.bar.top() + after.bar.height()) {
      const int top = qMin(before.bar.top(), after.bar.top());
      add(QRect(after.bar.left(), top, after.bar.width(), qAbs(before.bar.top() - after.bar.top())));
    } else {
      add(before.bar);
      add(after.bar);
    }
  }
  if (before.peakLine != after.peakLine || before.colour != after.colour) {
    add(before.peakLine);
    add(after.peakLine);
  }
  if (before.clip != after.clip || before.clipLit != after.clipLit) {
    if (before.clipLit) add(before.clip);
    if (after.clipLit) add(after.clip);
  }
}

void MeterView::showChannels(const DrawLevelMeter& meter, const MeterChannel* channels) {
  noteScale = meter.scaleMin;
  // What changed, in the page's coordinates, one repaint request for all.
  wellParts.clear();
  textParts.clear();
  const bool visible = isVisible();
  for (int k = 0; k < kMeterChannels; ++k) {
    if (!meter.processes(k)) continue;  // the layout leaves these as they were
    const MeterChannel& ch = channels[k];
    readouts[k] = ch.peakText;
    Painted now;
    now.bar = meter.barRect(k, ch.bar);
    now.peakLine = meter.peakLineRect(k, ch.peakLine);
    now.colour = ch.peakColour;
    now.clip = meter.clipRect(k);
    now.clipLit = ch.clipIndicator;
    if (ch.peakText) {
      now.readout = ch.peakText->geometry();
      now.text = ch.peakText->text();
    }
    const bool shownNow = inSet(meters, k);
    Painted before = painted[k];
    if (!shownNow) before = now;  // nothing of a hidden channel is on screen
    if (!inSet(peakLines, k) || !shownNow) {
      before.peakLine = now.peakLine;
      before.colour = now.colour;
    }
    painted[k] = now;
    if (!visible) continue;  // another page in front: nothing to repaint
    changedParts(before, now, &wellParts);
    // The readout apart: the bar between it and a changed top stays.
    if (before.readout != now.readout || before.text != now.text)
      textParts.push_back(before.readout | now.readout);
  }
  if (wellParts.empty() && textParts.empty()) return;
  const int row = qMax(1, int(std::lround(kRowHeight * meter.scaleY)));
  const int cost = int(kRectCost * meter.scaleX * meter.scaleY);
  update(repaintRegion(wellParts, textParts, row, cost).translated(-pos()));
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
  if (readouts[index]) {
    e.readout = readouts[index]->geometry();
    e.readoutText = readouts[index]->text();
  }
  return e;
}

QRect MeterView::noteRect() const {
  if (!stale) return QRect();
  const QFontMetrics metrics(noteFont(noteScale));
  const QSize size(metrics.horizontalAdvance(noteText()) + int(48 * noteScale),
                   metrics.height() + int(24 * noteScale));
  QRect note(QPoint(0, 0), size);
  // Centred on the wells, above the readouts.
  note.moveCenter(QPoint(geometry().center().x(), geometry().top() + geometry().height() * 2 / 5));
  return note;
}

void MeterView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QPoint origin = pos();
  painter.translate(-origin);
  // Rectangle by rectangle, each under a clip of its own: a plain
  // rectangle keeps every blit on the fast path, where the whole region
  // would clip each one line by line.
  for (const QRect& r : event->region()) {
    const QRect dirty = r.translated(origin);
    painter.setClipRect(dirty);
    paintPart(painter, dirty);
  }
}

void MeterView::paintPart(QPainter& painter, const QRect& dirty) {
  // The artwork has the screen's pixels, `ratio` of them per unit of the
  // page (more than one on a scaled display): a part of it is named in its
  // own pixels.
  if (!backdrop.isNull()) {
    const qreal ratio = backdrop.devicePixelRatioF();
    if (ratio == 1.0)
      painter.drawPixmap(dirty.topLeft(), backdrop, dirty);
    else
      painter.drawPixmap(QRectF(dirty), backdrop, scaledRect(QRectF(dirty), ratio));
    for (QWidget* mask : pairMasks) {
      if (mask->geometry().intersects(dirty) && mask->isVisibleTo(parentWidget()))
        painter.fillRect(mask->geometry() & dirty, mask->palette().color(QPalette::Window));
    }
  }
  const QPixmap& art = stale ? greyBarArt() : barArt;
  for (int k = 0; k < kMeterChannels; ++k) {
    if (!inSet(meters, k)) continue;
    const Painted& p = painted[k];
    const QRect bar = p.bar & dirty;
    if (!bar.isEmpty()) {
      if (art.isNull()) {
        painter.fillRect(bar, stale ? kStaleLine : lineColour(PeakColour::Green));
      } else {
        // The bar shows the lower part of the full-scale artwork, whose
        // bottom stands on the bar's.
        const qreal ratio = art.devicePixelRatioF();
        if (ratio == 1.0) {
          const QPoint artOrigin(p.bar.left(), p.bar.bottom() + 1 - art.height());
          const QRect part = bar & QRect(artOrigin, art.size());
          if (!part.isEmpty()) painter.drawPixmap(part.topLeft(), art, part.translated(-artOrigin));
        } else {
          const QPointF artOrigin(p.bar.left(), p.bar.bottom() + 1 - art.height() / ratio);
          const QRectF part = QRectF(bar) & QRectF(artOrigin, QSizeF(art.size()) / ratio);
          if (!part.isEmpty()) painter.drawPixmap(part, art, scaledRect(part.translated(-artOrigin), ratio));
        }
      }
    }
    if (inSet(peakLines, k) && p.peakLine.intersects(dirty))
      painter.fillRect(p.peakLine & dirty, stale ? kStaleLine : lineColour(p.colour));
    if (p.clipLit && !stale && p.clip.intersects(dirty)) painter.fillRect(p.clip & dirty, kLampLit);
    // The readout where the page puts its button now (a resize moves it
    // before the next meter step).
    if (QPushButton* button = readouts[k]) {
      const QRect r = button->geometry();
      if (r.intersects(dirty)) {
        painter.setPen(stale || pressedReadout == k ? kReadoutDimmed : kReadoutText);
        readoutText.draw(painter, r, button->text(), button->font());
      }
    }
  }
  if (stale) {
    const QRect note = noteRect();
    if (note.intersects(dirty)) {
      painter.save();
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(QPen(QColor(0x8A, 0x8A, 0x8A), qMax(1.0, double(noteScale))));
      painter.setBrush(QColor(0x14, 0x14, 0x14, 235));
      painter.drawRoundedRect(QRectF(note).adjusted(0.5, 0.5, -0.5, -0.5), 4 * noteScale, 4 * noteScale);
      painter.setFont(noteFont(noteScale));
      painter.setPen(QColor(0xE8, 0xE8, 0xE8));
      painter.drawText(note, Qt::AlignCenter, noteText());
      painter.restore();
    }
  }
}

int MeterView::readoutAt(const QPoint& pos) const {
  const QPoint page = pos + this->pos();
  for (int k = 0; k < kMeterChannels; ++k) {
    if (readouts[k] && inSet(meters, k) && readouts[k]->geometry().contains(page)) return k;
  }
  return -1;
}

void MeterView::mousePressEvent(QMouseEvent* event) {
  pressedReadout = event->button() == Qt::LeftButton ? readoutAt(event->pos()) : -1;
  if (pressedReadout >= 0) update(readouts[pressedReadout]->geometry().translated(-pos()));
}

void MeterView::mouseReleaseEvent(QMouseEvent* event) {
  const int pressed = pressedReadout;
  pressedReadout = -1;
  if (pressed < 0) return;
  update(readouts[pressed]->geometry().translated(-pos()));
  // Released over the readout it was pressed on: that readout's click.
  if (event->button() == Qt::LeftButton && readoutAt(event->pos()) == pressed) readouts[pressed]->click();
}

void CachedText::draw(QPainter& painter, const QRect& rect, const QString& text, const QFont& font) {
  const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  if (!(cachedFont == font) || cachedRatio != ratio) {
    // Another font (a resize) or screen: what was rendered does not fit.
    rendered.clear();
    cachedFont = font;
    cachedRatio = ratio;
  }
  const QRgb colour = painter.pen().color().rgba();
  auto it = rendered.find(qMakePair(colour, text));
  if (it == rendered.end()) {
    if (rendered.size() >= 2048) rendered.clear();
    const QFontMetrics metrics(font);
    const QSize size(qMax(1, metrics.horizontalAdvance(text)), qMax(1, metrics.height()));
    QPixmap pixmap(size * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter textPainter(&pixmap);
    textPainter.setFont(font);
    textPainter.setPen(QColor::fromRgba(colour));
    textPainter.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, text);
    textPainter.end();
    it = rendered.insert(qMakePair(colour, text), pixmap);
  }
  const QSizeF size = QSizeF(it->size()) / ratio;
  painter.drawPixmap(
      QPointF(rect.x() + (rect.width() - size.width()) / 2, rect.y() + (rect.height() - size.height()) / 2),
      *it);
}

RecLamp::RecLamp(QWidget* parent) : QLabel(parent) {
  // The lamp's ground covers it.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void RecLamp::setState(State state) {
  if (state == lampState) return;
  lampState = state;
  update();
}

void RecLamp::paintEvent(QPaintEvent*) {
  static const QColor kGround[3] = {QColor(0xCE, 0xCE, 0xCE), QColor(0xCB, 0x27, 0x00), QColor(0, 0, 0)};
  static const QColor kText[3] = {QColor(0x0D, 0x0D, 0x0D), QColor(0xFF, 0xFF, 0xFF),
                                  QColor(0xFF, 0xFF, 0xFF)};
  QPainter painter(this);
  painter.fillRect(rect(), kGround[lampState]);
  painter.setPen(kText[lampState]);
  cached.draw(painter, rect(), text(), font());
}

const GlyphText::Glyph& GlyphText::glyph(Face& face, QChar c, int phase) {
  const int key = int(c.unicode()) * kPhases + phase;
  auto it = face.glyphs.find(key);
  if (it != face.glyphs.end()) return *it;
  Glyph g;
  const QRectF ink = QFontMetricsF(cachedFont).boundingRect(c);
  if (!ink.isEmpty()) {
    // The ink with a pixel to spare on each side for its antialiased edges.
    const qreal x = qreal(phase) / kPhases;
    g.left = int(std::floor(x + qMin<qreal>(0, ink.left()))) - 1;
    const int right = int(std::ceil(x + qMax<qreal>(advances[c.unicode() - kFirst] / 64.0, ink.right()))) + 1;
    QPixmap pixmap(QSize(right - g.left, height) * cachedRatio);
    pixmap.setDevicePixelRatio(cachedRatio);
    pixmap.fill(Qt::transparent);
    QPainter glyphPainter(&pixmap);
    glyphPainter.setFont(cachedFont);
    glyphPainter.setPen(QColor::fromRgba(face.colour));
    glyphPainter.drawText(QPointF(x - g.left, baseline), QString(c));
    glyphPainter.end();
    g.pixmap = pixmap;
  }
  return *face.glyphs.insert(key, g);
}

int GlyphText::kerning(QChar a, QChar b) {
  const int key = (a.unicode() - kFirst) * (kLast - kFirst + 1) + (b.unicode() - kFirst);
  auto it = kerns.constFind(key);
  if (it != kerns.constEnd()) return *it;
  const int pair = qRound(QFontMetricsF(cachedFont).horizontalAdvance(QString(a) + b) * 64);
  return *kerns.insert(key, pair - advances[a.unicode() - kFirst] - advances[b.unicode() - kFirst]);
}

void GlyphText::draw(QPainter& painter, const QRect& rect, const QString& text, const QFont& font) {
  const bool glyphs = text.size() <= kMaxLength && std::all_of(text.begin(), text.end(), [](QChar c) {
                        return c.unicode() >= kFirst && c.unicode() <= kLast;
                      });
  if (!glyphs) {
    others.draw(painter, rect, text, font);
    return;
  }
  const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  if (height == 0 || !(cachedFont == font) || cachedRatio != ratio) {  // first text, or another font
    faces.clear();
    kerns.clear();
    cachedFont = font;
    cachedRatio = ratio;
    const QFontMetricsF metrics(font);
    for (int c = kFirst; c <= kLast; ++c)
      advances[c - kFirst] = qRound(metrics.horizontalAdvance(QChar(c)) * 64);
    height = qMax(1, QFontMetrics(font).height());
    // As a text centred in a box of its own height stands.
    baseline = (height - (metrics.ascent() + metrics.descent())) / 2 + metrics.ascent();
  }
  const QRgb colour = painter.pen().color().rgba();
  Face* face = nullptr;
  for (Face& f : faces) {
    if (f.colour == colour) face = &f;
  }
  if (!face) {
    if (faces.size() >= 8) faces.clear();
    faces.emplace_back();
    face = &faces.back();
    face->colour = colour;
  }
  // Each glyph's advance, with the font's kerning towards the next one.
  int steps[kMaxLength];
  int width = 0;  // 64ths
  for (int i = 0; i < text.size(); ++i) {
    steps[i] = advances[text[i].unicode() - kFirst];
    if (i + 1 < text.size()) steps[i] += kerning(text[i], text[i + 1]);
    width += steps[i];
  }
  // The text's box, its width rounded to pixels, centred in the rectangle
  // on whole pixels; the text centred in its box.
  const int box = qMax(1, qRound(width / 64.0));
  const QPoint origin(qRound(rect.x() + (rect.width() - box) / 2.0),
                      qRound(rect.y() + (rect.height() - height) / 2.0));
  int pen = (box * 64 - width) / 2;  // 64ths from the box's left
  for (int i = 0; i < text.size(); ++i) {
    const int whole = pen >= 0 ? pen / kPhases : -((-pen + kPhases - 1) / kPhases);
    const Glyph& g = glyph(*face, text[i], pen - whole * kPhases);
    if (!g.pixmap.isNull()) painter.drawPixmap(origin + QPoint(whole + g.left, 0), g.pixmap);
    pen += steps[i];
  }
}
