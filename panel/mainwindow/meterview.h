// MeterView: paints the meter wells of the meter page: each channel's bar
// (cut from the bar artwork rendered once per scale), held peak line, clip
// lamp and numeric peak readout, as the level meter's records give them. It
// repaints only what changed since it last painted, and paints its part of
// the page background itself (with the bar masks that join a stereo pair's
// wells), so that nothing beneath it is painted again ten times a second.
// Stale meters (no fresh answer from the unit) are painted grey, lamps dark,
// under a "NO METER DATA" note.
//
// A readout is a button of the page (pushButton_peakText N): the view paints
// it where the page places it, and a click on it there clicks the button.
//
// RecLamp: a channel's rec-function indicator, its label on grey (off), red
// (on) or black (not applicable to the meter source), painted without a
// style sheet (which would be parsed again at every blink).
#ifndef PANEL_MAINWINDOW_METERVIEW_H
#define PANEL_MAINWINDOW_METERVIEW_H

#include <QColor>
#include <QFont>
#include <QHash>
#include <QLabel>
#include <QList>
#include <QPair>
#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QWidget>
#include <vector>

#include "drawlevelmeter.h"

// The area to repaint for the changed parts of the wells (`wells`) and the
// changed readouts (`texts`), in few rectangles. Every rectangle of a repaint
// costs a blit, a clip and a transfer to the screen of its own, and a region
// of many small rectangles at scattered heights falls apart into many more
// (a region is kept in horizontal bands). So the wells' parts are cut at the
// lines of a grid of `rowHeight` and joined within a row, as are readouts of
// one row, wherever the gap between two pieces is smaller than `rectCost`
// pixels (what one more rectangle costs). Covers every rectangle given.
QRegion repaintRegion(const std::vector<QRect>& wells, const std::vector<QRect>& texts, int rowHeight,
                      int rectCost);

// Texts drawn once per font and colour and copied from then on: a readout
// takes a few hundred different texts, each laid out and rendered only the
// first time. Centred in the rectangle, in the painter's pen colour.
class CachedText {
 public:
  void draw(QPainter& painter, const QRect& rect, const QString& text, const QFont& font);

 private:
  QFont cachedFont;
  qreal cachedRatio = 1.0;
  QHash<QPair<QRgb, QString>, QPixmap> rendered;  // by colour and text
};

// Readout texts drawn glyph by glyph, from glyphs rendered once per font,
// colour and screen: the readouts show some five hundred different numbers,
// which a cache of whole texts renders one by one over minutes of metering,
// and again after every resize (a new font size), while the dozen
// characters they are made of are rendered at once. Placed as CachedText
// places a whole text, centred in the rectangle, in the painter's pen
// colour. A text with other characters than printable ASCII, or longer
// than a readout's, goes through a cache of whole texts.
class GlyphText {
 public:
  void draw(QPainter& painter, const QRect& rect, const QString& text, const QFont& font);

 private:
  static constexpr int kFirst = 0x20, kLast = 0x7E;
  static constexpr int kMaxLength = 16;  // characters; a readout has at most 5
  // Positions in 64ths of a pixel, as the text layout keeps them.
  static constexpr int kPhases = 64;
  struct Glyph {
    QPixmap pixmap;  // at its phase; null for a glyph without ink
    int left = 0;    // where the pixmap starts, in whole pixels from the pen
  };
  struct Face {
    QRgb colour;
    // By character and by the pen's fraction of a pixel: the layout places
    // glyphs within pixels, and a glyph renders differently at each place.
    QHash<int, Glyph> glyphs;
  };
  const Glyph& glyph(Face& face, QChar c, int phase);
  // What the font moves `b` by after `a`, beyond their advances (64ths).
  int kerning(QChar a, QChar b);

  QFont cachedFont;
  qreal cachedRatio = 1.0;
  int advances[kLast - kFirst + 1] = {};  // in 64ths of a pixel
  qreal baseline = 0;
  int height = 0;           // 0 until the first text
  QHash<int, int> kerns;    // by pair of characters
  std::vector<Face> faces;  // one per colour, a few at most
  CachedText others;
};

class MeterView : public QWidget {
  Q_OBJECT

 public:
  explicit MeterView(QWidget* parent = nullptr);

  // The full-scale bar at the current scale; each bar shows its lower part.
  // Artwork may have more pixels than page units (its device pixel ratio),
  // for a scaled display.
  void setBarArt(const QPixmap& bar);
  // The page background (placed at the page's origin) and the widgets
  // masking the gap between a pair's wells (painted where they are shown).
  void setBackdrop(const QPixmap& page, const QList<QWidget*>& masks);
  // Channels whose bar, clip lamp and readout show, and those whose peak
  // line shows.
  void setChannelsShown(ChannelSet meters, ChannelSet peakLines);
  ChannelSet channelsShown() const { return meters; }
  ChannelSet peakLinesShown() const { return peakLines; }
  // Stale meters: grey bars, lines and readouts, dark lamps and the note.
  void setStale(bool stale);
  bool isStale() const { return stale; }
  // Takes what the records show, placed by the meter's geometry and the
  // readout buttons', and repaints what changed.
  void showChannels(const DrawLevelMeter& meter, const MeterChannel* channels);

  // What channel `index` shows, in the parent's (the page's) coordinates;
  // an element not shown has an empty rectangle.
  struct Element {
    QRect bar;
    QRect peakLine;
    PeakColour colour = PeakColour::Black;
    QRect clipLamp;
    QRect readout;
    QString readoutText;
  };
  Element shown(int index) const;
  // The note's rectangle on the page while stale; empty otherwise.
  QRect noteRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  struct Painted {
    QRect bar;
    QRect peakLine;
    PeakColour colour = PeakColour::Black;
    QRect clip;
    bool clipLit = false;
    QRect readout;
    QString text;
  };
  // What a channel's change repaints, in the page's coordinates: up to four
  // rectangles (the bar's strip, the old and new peak line, the lamp)
  // appended to `parts`.
  static void changedParts(const Painted& before, const Painted& after, std::vector<QRect>* parts);
  // Paints what falls into `dirty` (page coordinates) and nothing else.
  void paintPart(QPainter& painter, const QRect& dirty);
  const QPixmap& greyBarArt();
  int readoutAt(const QPoint& pos) const;

  // A rectangle costs about as much as this many pixels more; the wells'
  // changes are cut in rows of this height (both at scale 1).
  static constexpr int kRectCost = 2048;
  static constexpr int kRowHeight = 32;

  Painted painted[kMeterChannels];
  std::vector<QRect> wellParts, textParts;  // kept: no allocation per tick
  QPushButton* readouts[kMeterChannels] = {};
  GlyphText readoutText;
  QPixmap backdrop;
  QList<QWidget*> pairMasks;
  ChannelSet meters = kAllChannels;
  ChannelSet peakLines = kAllChannels;
  bool stale = false;
  int pressedReadout = -1;
  float noteScale = 1.0f;
  QPixmap barArt;
  QPixmap greyArt;  // barArt in grey, made when first needed
};

class RecLamp : public QLabel {
  Q_OBJECT

 public:
  enum State { Off, On, NotApplicable };
  explicit RecLamp(QWidget* parent = nullptr);
  void setState(State state);
  State state() const { return lampState; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  State lampState = Off;
  CachedText cached;
};

#endif
