// How the panel follows the display scaling of Windows (125 %, 150 %,
// 200 %): the whole window is scaled by the display's factor, as it is set,
// and the artwork is rendered for the screen's pixels.
#ifndef PANEL_MAINWINDOW_DISPLAYSCALING_H
#define PANEL_MAINWINDOW_DISPLAYSCALING_H

// Before the application object exists (the attributes are read when it is
// made). The window's sizes are then in units of 96 dpi at any scaling: the
// pages, their artwork and every text keep their proportions, and a
// fractional factor (125 %, 150 %) is kept rather than rounded to 1 or 2.
void setUpDisplayScaling();

#endif
