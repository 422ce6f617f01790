// The update controller's interface (no checks are made yet).
#include "updatesoftware.h"

UpdateSoftware::UpdateSoftware(QObject* parent) : QObject(parent) {}

UpdateSoftware::~UpdateSoftware() = default;

void UpdateSoftware::changeDeviceType(int type) {
  Q_UNUSED(type);
}

void UpdateSoftware::checkFirm(const QString& deviceName, const QString& firmwareText) {
  Q_UNUSED(deviceName);
  Q_UNUSED(firmwareText);
}

void UpdateSoftware::checkSoft() {}

void UpdateSoftware::closeUpdateWindows() {}
