// The main window's decisions.
#include "mainwindowlogic.h"

Model MainWindowLogic::modelOf(const QString& productName) {
  for (int m = 0; m < ModelCount; ++m) {
    if (productName == QLatin1String(kModelPages[m].name)) return Model(m);
  }
  return ModelNone;
}

MainWindowLogic::Identity MainWindowLogic::identity(const QString& reported, const QString& current,
                                                    const QString& held) {
  if (reported.isEmpty()) return Identity::Cleared;
  if (reported == current && held == reported) return Identity::Unchanged;
  if (modelOf(reported) == ModelNone) return Identity::Unknown;
  return Identity::Identified;
}

Page MainWindowLogic::pageForSelection(bool selected, bool* notConnectedShown) {
  if (selected == !*notConnectedShown) return Page::Unchanged;
  *notConnectedShown = !selected;
  return selected ? Page::Information : Page::NotConnected;
}

UpdateDocument MainWindowLogic::updateDocument(Model model) {
  return model == ModelNone ? UpdateDocument::None : kModelPages[model].updateDocument;
}

UpdateDocument MainWindowLogic::documentOnModelChange(Model current, Model previous) {
  return current != previous ? updateDocument(current) : UpdateDocument::None;
}

void MainWindowLogic::freshAnswer(qint64 nowMs) {
  answered = true;
  lastAnswerMs = nowMs;
}

namespace {

// A stored 0 to 3; anything else, -1.
int smallSetting(const QString& stored) {
  bool ok = false;
  const uint value = stored.toUInt(&ok, 10);
  return ok && value <= 3 ? int(value) : -1;
}

}  // namespace

MeterSource MainWindowLogic::meterSourceOf(const QString& stored) {
  return MeterSource(qMax(0, smallSetting(stored)));
}

PeakHold MainWindowLogic::peakHoldTypeOf(const QString& stored) {
  return PeakHold(qMax(0, smallSetting(stored)));
}

int MainWindowLogic::bufferPosition(const QVariant& stored) {
  // Read as the whole number it is: a size taken as a 32-bit integer would
  // make 2^32 + 8 the size 8.
  bool ok = false;
  const qlonglong frames = stored.toString().toLongLong(&ok, 10);
  if (!ok) return -1;
  for (int i = 0; i < 11; ++i) {
    if (kBufferSizes[i] == frames) return i;
  }
  return -1;
}

int MainWindowLogic::bufferSizeAt(int position) {
  return kBufferSizes[position >= 0 && position <= 10 ? position : kDefaultBufferPosition];
}
