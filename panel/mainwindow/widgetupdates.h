// Widget changes that cost a repaint (and a style sheet a re-parse) are made
// only when they change something: the pages are placed again on every
// resize and model change, and some every second.
#ifndef PANEL_MAINWINDOW_WIDGETUPDATES_H
#define PANEL_MAINWINDOW_WIDGETUPDATES_H

#include <QLabel>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cmath>

inline void setSheet(QWidget* w, const QString& sheet) {
  if (w && w->styleSheet() != sheet) w->setStyleSheet(sheet);
}

inline void setGeometryIfChanged(QWidget* w, const QRect& r) {
  if (w && w->geometry() != r) w->setGeometry(r);
}

inline void setPixmapIfChanged(QLabel* label, const QPixmap& pixmap) {
  if (label && label->pixmap(Qt::ReturnByValue).cacheKey() != pixmap.cacheKey()) label->setPixmap(pixmap);
}

// The screen pixels that cover an area of `units` window units at `ratio`
// pixels per unit (the window's device pixel ratio).
inline QSize pixelSize(const QSize& units, qreal ratio) {
  // A product like 1110 x 1.1 comes out a hair above its whole number.
  return QSize(int(std::ceil(units.width() * ratio - 1e-6)), int(std::ceil(units.height() * ratio - 1e-6)));
}

#endif
