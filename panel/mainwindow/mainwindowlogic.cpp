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

int MainWindowLogic::pageForSelection(bool selected, bool* notConnectedShown) {
  if (selected == !*notConnectedShown) return -1;
  *notConnectedShown = !selected;
  return selected ? 0 : 2;
}

int MainWindowLogic::updateDocument(Model model) {
  return model == ModelNone ? -1 : kModelPages[model].updateDocument;
}

int MainWindowLogic::documentOnModelChange(Model current, Model previous) {
  return current != previous ? updateDocument(current) : -1;
}

void MainWindowLogic::freshAnswer(qint64 nowMs) {
  answered = true;
  lastAnswerMs = nowMs;
}
