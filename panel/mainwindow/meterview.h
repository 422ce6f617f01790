// MeterView: paints the meter wells of the meter page: each channel's bar
// (cut from the bar artwork rendered once per scale), held peak line and
// clip lamp, as the level meter's records give them. It repaints only what
// changed since it last painted. Stale meters (no fresh answer from the
// unit) are painted grey, lamps dark, under a "NO METER DATA" note.
//
// PeakReadout: the numeric peak readout under a bar, a button that paints
// only its text.
#ifndef PANEL_MAINWINDOW_METERVIEW_H
#define PANEL_MAINWINDOW_METERVIEW_H

#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QWidget>

#include "drawlevelmeter.h"

class MeterView : public QWidget {
  Q_OBJECT

 public:
  explicit MeterView(QWidget* parent = nullptr);

  // The full-scale bar at the current scale; each bar shows its lower part.
  void setBarArt(const QPixmap& bar);
  // Channels whose bar and clip lamp show, and those whose peak line shows.
  void setChannelsShown(ChannelSet meters, ChannelSet peakLines);
  ChannelSet channelsShown() const { return meters; }
  ChannelSet peakLinesShown() const { return peakLines; }
  // Stale meters: grey bars and lines, dark lamps and the note.
  void setStale(bool stale);
  bool isStale() const { return stale; }
  // Takes what the records show, placed by the meter's geometry, and
  // repaints what changed.
  void showChannels(const DrawLevelMeter& meter, const MeterChannel* channels);

  // What channel `index` shows, in the parent's (the page's) coordinates;
  // an element not shown has an empty rectangle.
  struct Element {
    QRect bar;
    QRect peakLine;
    PeakColour colour = PeakColour::Black;
    QRect clipLamp;
  };
  Element shown(int index) const;
  // The note's rectangle on the page while stale; empty otherwise.
  QRect noteRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  struct Painted {
    QRect bar;
    QRect peakLine;
    PeakColour colour = PeakColour::Black;
    QRect clip;
    bool clipLit = false;
  };
  void repaintChange(const Painted& before, const Painted& after);
  const QPixmap& greyBarArt();

  Painted painted[kMeterChannels];
  ChannelSet meters = kAllChannels;
  ChannelSet peakLines = kAllChannels;
  bool stale = false;
  float noteScale = 1.0f;
  QPixmap barArt;
  QPixmap greyArt;  // barArt in grey, made when first needed
};

class PeakReadout : public QPushButton {
  Q_OBJECT

 public:
  explicit PeakReadout(QWidget* parent = nullptr);
  // A readout of stale meters is painted grey.
  void setDimmed(bool dimmed);
  bool isDimmed() const { return dimmed; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool dimmed = false;
};

#endif
