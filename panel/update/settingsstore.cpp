// The panel's per-user INI settings.
#include "settingsstore.h"

#include <QDebug>
#include <QSettings>

#include "constants.h"

QSettings* newPanelSettings() {
  auto* s = new QSettings(QSettings::IniFormat, QSettings::UserScope, kBrandName, kProductFamily);
  s->setIniCodec("UTF-8");
  return s;
}

void writeSetting(const QString& group, const QString& key, const QVariant& value) {
  QSettings settings(QSettings::IniFormat, QSettings::UserScope, kBrandName, kProductFamily);
  settings.setIniCodec("UTF-8");
  settings.beginGroup(group);
  // The file is rewritten and synced to disk at every change: a value it
  // already holds is not written again.
  if (!settings.contains(key) || settings.value(key) != value) settings.setValue(key, value);
  settings.endGroup();
}

QString readSetting(const QString& group, const QString& key) {
  QSettings settings(QSettings::IniFormat, QSettings::UserScope, kBrandName, kProductFamily);
  settings.setIniCodec("UTF-8");
  settings.beginGroup(group);
  const QString text = settings.value(key, QString()).toString();
  settings.endGroup();
  return text;
}

void saveSoftDialog(const QString& version) {
  writeSetting(QStringLiteral("Update"), QStringLiteral("SoftDialog"), version);
}

void saveFirmDialog(const QString& version) {
  writeSetting(QStringLiteral("Update"), QStringLiteral("FirmDialog"), version);
}

void saveInfoDialog(const QString& message) {
  writeSetting(QStringLiteral("Update"), QStringLiteral("InfoDialog"), message);
}

void saveMeterSource(uint8_t source) {
  qDebug("MeterSource:%d", int(source));
  writeSetting(QStringLiteral("Meter"), QStringLiteral("Source"), int(source));
}

void savePeakHoldType(int type) {
  qDebug("PeakHoldType:%d", type);
  writeSetting(QStringLiteral("PeakHold"), QStringLiteral("Type"), type);
}

QString loadSoftDialog() {
  return readSetting(QStringLiteral("Update"), QStringLiteral("SoftDialog"));
}
QString loadFirmDialog() {
  return readSetting(QStringLiteral("Update"), QStringLiteral("FirmDialog"));
}
QString loadInfoDialog() {
  return readSetting(QStringLiteral("Update"), QStringLiteral("InfoDialog"));
}
QString loadJsonUrl() {
  return readSetting(QStringLiteral("Update"), QStringLiteral("JsonUrl"));
}
QString loadMeterSource() {
  return readSetting(QStringLiteral("Meter"), QStringLiteral("Source"));
}
QString loadPeakHoldType() {
  return readSetting(QStringLiteral("PeakHold"), QStringLiteral("Type"));
}
