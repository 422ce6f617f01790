// The update controller as the main window sees it: which update document to
// follow, the firmware and panel version checks, and its windows. This is its
// interface only; it has no network traffic and no windows yet, so every check
// finds nothing to offer.
#ifndef PANEL_UPDATE_UPDATESOFTWARE_H
#define PANEL_UPDATE_UPDATESOFTWARE_H

#include <QObject>
#include <QString>

class UpdateSoftware : public QObject {
  Q_OBJECT

 public:
  explicit UpdateSoftware(QObject* parent = nullptr);
  ~UpdateSoftware() override;

  // Set while the Far Link / Tarrow update document still has to be chosen.
  bool needFarLinkJson = true;
  bool needTarrowJson = true;
  // A newer panel or firmware version is on offer.
  bool hasUpdate = false;

  // 0 Tarrow document, 1 Far Link document.
  void changeDeviceType(int type);
  void checkFirm(const QString& deviceName, const QString& firmwareText);
  void checkSoft();
  void closeUpdateWindows();
};

#endif
