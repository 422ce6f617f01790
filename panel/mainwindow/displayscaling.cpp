// The display scaling set up before the application starts.
#include "displayscaling.h"

#include <QCoreApplication>
#include <QGuiApplication>

void setUpDisplayScaling() {
#ifndef Q_OS_WIN
  // The stand-in for Windows: an X server or the offscreen platform reports
  // a dpi of its own (100 for Xvfb) that no Windows display has, which
  // would scale everything by 1.04. It runs at Windows' 100 % unless
  // QT_FONT_DPI names the display's dpi (144 for Windows' 150 %).
  if (!qEnvironmentVariableIsSet("QT_FONT_DPI")) qputenv("QT_FONT_DPI", "96");
#endif
  // Scaled by the display's factor: without it a text in points grows with
  // the display's dpi while the pages' artwork and their texts in pixels
  // stay at 100 %, and the fixed-size boxes cut their texts.
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
  // Rounded, 150 % would become 200 %: a default window of 2220 x 1300
  // screen pixels on a 1920 x 1080 display; 125 % would become 100 % with
  // texts in points a quarter larger than the boxes made for them. The
  // artwork is rendered at the screen's pixels, so a fractional factor
  // stays sharp.
  QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
  // Icons and pixmaps chosen for the screen's pixels, not the window's units.
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}
