// Program-wide constants of the settings panel: versions, the names of the
// settings store and of the buffer-size registry value, and the model names
// that have their own update documents.
#ifndef PANEL_APP_CONSTANTS_H
#define PANEL_APP_CONSTANTS_H

#include <QString>

// Version of the panel as shown to the user, after a "V".
extern const QString softwareVersionFull;
// Short form compared with the update service's version.
extern const QString softwareVersionShort;

// Organisation and application of the settings store. They name the folder
// and the file (KORVEL/Brevanta.ini) that earlier releases wrote, so they
// stay as they are.
extern const QString kBrandName;
extern const QString kProductFamily;

// Display names of the two models with their own update documents.
extern const QString kModelNameTarrow;
extern const QString kModelNameFarLink;
// The unit name shown, and passed to the update check, while no unit is
// identified.
extern const QString kNoDevice;

// Buffer size read by the unit's ASIO driver, a program of the maker's beside
// this one: key and value name are the ones it reads, letter for letter.
extern const QString kAsioDriverKey;
extern const QString kBufferSizeValueName;

// The publisher whose Authenticode signature a downloaded installer must
// carry before it is started: the subject's common name and organization of
// the signing certificate, compared exactly.
// TO CONFIRM: our documents do not give the maker's code-signing subject.
// This value is a placeholder until the maker confirms it.
extern const QString kMakerPublisherName;

// Version reported by the application object and the executable's version
// resource; a separate number from the software version.
#define PANEL_APPLICATION_VERSION "2.1.0.0"

#endif
