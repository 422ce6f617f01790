// MainWindowLogic: the main window's decisions apart from its widgets, so
// that tests drive them without a screen: which model a product name names
// and what a reported name does, which page a selection answer calls for,
// which update document a model needs, whether the meters still show live
// data, and what stored values (meter source, peak hold, buffer size) mean.
#ifndef PANEL_MAINWINDOW_MAINWINDOWLOGIC_H
#define PANEL_MAINWINDOW_MAINWINDOWLOGIC_H

#include <QString>
#include <QVariant>
#include <QtGlobal>

#include "modelpages.h"

// The pages of the window's stacked widget, by their index in the form.
enum class Page : int {
  Unchanged = -1,  // no page to switch to
  Information = 0,
  Meters = 1,
  NotConnected = 2,
};

class MainWindowLogic {
 public:
  // The model a product name names: exactly one of the five display names,
  // compared case-sensitively; anything else is ModelNone.
  static Model modelOf(const QString& productName);

  // What a product name reported by the unit does, given the name identified
  // so far (`current`) and the name the window holds (`held`).
  enum class Identity {
    Cleared,     // empty: the unit's identity is gone
    Unchanged,   // the name the window already holds
    Unknown,     // not one of the five models: logged and ignored
    Identified,  // a model, new or again after a clear
  };
  static Identity identity(const QString& reported, const QString& current, const QString& held);

  // The page the 100 ms tick switches to for a selection answer, given
  // whether the not-connected page is showing (updated): NotConnected when
  // the unit has gone, Information when it has (re)appeared, else Unchanged.
  static Page pageForSelection(bool selected, bool* notConnectedShown);

  // The update-information document the model's firmware is checked
  // against (None when the model has none).
  static UpdateDocument updateDocument(Model model);
  // The document to change to when the identified model goes from
  // `previous` to `current`: the current model's, if it has one and the
  // model changed; None otherwise.
  static UpdateDocument documentOnModelChange(Model current, Model previous);

  // Meter staleness. The meters show live data while a fresh meter answer
  // has arrived within the last second; before the first answer, and after
  // the unit or its identity went away, they are stale until the next
  // answer.
  static constexpr qint64 kStaleAfterMs = 1000;
  void freshAnswer(qint64 nowMs);
  // The shown levels no longer belong to the unit (lost, identity cleared,
  // another model identified): stale until the next fresh answer.
  void forgetAnswers() { answered = false; }
  bool metersStale(qint64 nowMs) const { return !answered || nowMs - lastAnswerMs >= kStaleAfterMs; }

  // Stored settings. A meter source or peak-hold type that is not a number
  // from 0 to 3 is the default, 0 (what an empty store gives).
  static MeterSource meterSourceOf(const QString& stored);
  static PeakHold peakHoldTypeOf(const QString& stored);

  // The buffer sizes (frames) by slider position, and the default's position.
  static constexpr int kBufferSizes[11] = {4, 8, 16, 24, 32, 64, 128, 256, 512, 1024, 2048};
  static constexpr int kDefaultBufferPosition = 7;
  // The slider position of a stored buffer size; -1 for anything that is
  // not exactly one of the sizes (a text, a fraction, a number out of range).
  static int bufferPosition(const QVariant& stored);
  // The size at a slider position; the default's for a position off the scale.
  static int bufferSizeAt(int position);

 private:
  bool answered = false;
  qint64 lastAnswerMs = 0;
};

#endif
