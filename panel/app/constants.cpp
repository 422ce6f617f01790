// Program-wide constants of the settings panel.
#include "constants.h"

const QString softwareVersionFull = QStringLiteral("2.20 0042");
const QString softwareVersionShort = QStringLiteral("2.20");

const QString kBrandName = QStringLiteral("KORVEL");
const QString kProductFamily = QStringLiteral("Brevanta");

const QString kModelNameTarrow = QStringLiteral("Tarrow");
const QString kModelNameFarLink = QStringLiteral("Far Link");
const QString kNoDevice = QStringLiteral("No Device");

const QString kAsioDriverKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\KORVEL\\Brevanta\\ASIODRIVER");
const QString kBufferSizeValueName = QStringLiteral("blockFrames");

const QString kMakerPublisherName = QStringLiteral("KORVEL Audio Co., Ltd."); /* TO CONFIRM */
