// The panel's per-user settings: one INI file (organisation "KORVEL",
// application "Brevanta", UTF-8). No cache: every function opens the file,
// reads or writes one value and closes it again, so a value written is seen by
// the next read at once. Reads return text; callers convert it.
#ifndef PANEL_UPDATE_SETTINGSSTORE_H
#define PANEL_UPDATE_SETTINGSSTORE_H

#include <QString>
#include <QVariant>

class QSettings;

// A settings object on the panel's INI file with the UTF-8 codec set.
// The caller owns it.
QSettings* newPanelSettings();

// Stores `value` under group/key. Write failures are silent.
void writeSetting(const QString& group, const QString& key, const QVariant& value);
// The value under group/key as text; empty text when missing or unreadable.
QString readSetting(const QString& group, const QString& key);

void saveSoftDialog(const QString& version);
void saveFirmDialog(const QString& version);
void saveInfoDialog(const QString& message);
void saveMeterSource(uint8_t source);
void savePeakHoldType(int type);

QString loadSoftDialog();
QString loadFirmDialog();
QString loadInfoDialog();
QString loadJsonUrl();
QString loadMeterSource();
QString loadPeakHoldType();

#endif
