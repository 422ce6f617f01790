// UpdateSoftware: the update controller. Lives in the GUI thread, owned by the
// main window. Starts the update worker (UpdateInformation) in a thread of its
// own, compares the versions in the model's update document with the panel's
// and the unit's, offers panel and firmware updates and the information
// message in their boxes, and drives download and installer start. The user's
// "do not show again" answers live in the settings store.
#ifndef PANEL_UPDATE_UPDATESOFTWARE_H
#define PANEL_UPDATE_UPDATESOFTWARE_H

#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QObject>
#include <QString>

#include "informationbox.h"

class QProgressBar;
class QPushButton;
class QThread;
class UpdateInformation;

// Whether the newest version (major text M, minor text m) is newer than the
// current version text c ("2.20"). Only the first digit of a major and the two
// digits after the point count; text that is no number counts as 0.
bool isNewerVersion(const QString& c, const QString& M, const QString& m);
// Whether a stored "do not show again" version s is the same as or later than
// the newest version M.m (empty text suppresses nothing).
bool suppressesVersion(const QString& s, const QString& M, const QString& m);

// Characters of an information message that "do not show again" stores as
// they are. A longer message is stored as its digest, so that a message of
// megabytes does not go into the settings file, which is read whole at every
// settings access.
constexpr int kMaxStoredInfoMessageChars = 4096;
// What "do not show again" stores for an information message: the message
// itself, or "sha256:" and the hexadecimal SHA-256 of its UTF-8 form when it
// is longer than kMaxStoredInfoMessageChars.
QString storedInfoMessage(const QString& message);
// Whether the stored text is the answer given to this message (also when a
// long message was stored whole, as earlier versions did).
bool infoMessageDismissed(const QString& stored, const QString& message);

class UpdateSoftware : public QObject {
  Q_OBJECT

 public:
  // deviceType: 0 Tarrow document, 1 Far Link document. skipFirstConfim: the
  // first document starts neither the information nor the panel check.
  explicit UpdateSoftware(int deviceType = 0, bool skipFirstConfim = false);
  ~UpdateSoftware() override;

  // Set when the shown model needs the other model's document; read and
  // cleared by the main window.
  bool needFarLinkJson = false;
  bool needTarrowJson = false;

  void checkSoft();
  void checkFirm(const QString& deviceName, const QString& firmwareText);
  // The model the main window shows now (a model name, or "No Device"). A
  // firmware update offered or downloaded for another model that took its
  // place is withdrawn: its box and windows close, its download stops, and
  // the firmware check runs again for the model shown. While no unit shows,
  // the offer stays open but cannot be started.
  void setShownModel(const QString& deviceName);
  // The controller is idle and a newer version is known, or it is idle without
  // a usable document (the manual check then fetches it again).
  bool hasUpdate() const;
  void changeDeviceType(int type);
  void closeUpdateWindows();

  // Where the checks stand; the number of each is what the "state" log
  // line prints.
  enum class State : int {
    PanelCheck = 0,    // panel check running, its box open, or its download under way
    FirmwareBox = 1,   // firmware box open, or the firmware download under way
    PanelDone = 2,     // panel check finished; firmware check pending
    FirmwareDone = 3,  // firmware check finished, or a download cancelled or failed
  };

  // For tests and screenshots: the state's number.
  int currentState() const { return int(state); }
  bool waitingForDocument() const { return waitingJson; }
  UpdateInformation* updateWorker() const { return worker; }
  InformationBox& softwareDialog() { return softwareBox; }
  InformationBox& firmwareDialog() { return firmwareBox; }
  InformationBox& informationDialog() { return infoBox; }
  QMessageBox& failureBox() { return errorBox; }
  QWidget* downloadWindow() const { return progressWindow; }
  QProgressBar* downloadProgressBar() const { return progressBar; }
  QPushButton* downloadButton() const { return progressButton; }

 signals:
  void readiedDownloadFile(QString url);
  void stopDownload();

 public slots:
  void saveInformation(QString str);
  void openDownloadFileInfo();
  void closeDownloadFileInfo();
  void openExecWindow();
  void closeExecWindow();
  void recieveDownloadJson();
  // The download-complete window's OK: starts the installer, unless it is a
  // firmware updater for a model that is no longer the one shown.
  void startDownloadedFile();

 private slots:
  void decideClickedSoftware();
  void decideClickedFirmware();
  void decideClickedInformation();
  void cancelSoftware();
  void cancelFirmware();
  void cancelDownload();
  void showMsgBoxError();
  void enableCanselButton(int);
  // The bar of the download window: percent, or a busy bar while the total
  // is unknown (-1).
  void showDownloadProgress(int percent);

 private:
  void checkInformation();
  void requestDocument();
  QString text(int column) const;
  QString offerText(int headlineColumn, const QString& current, const QString& latest) const;
  // A small top-level window in the download windows' look.
  void buildProgressWindow(int labelColumn);
  bool systemIsJapanese() const;
  // Whether the firmware offer or download in progress is for the model
  // shown now.
  bool firmwareForShownModel() const;
  void withdrawFirmware();

  int languageIndex = 0;
  int deviceType = 0;
  bool skipFirstConfim = false;
  bool waitingJson = false;
  UpdateInformation* worker = nullptr;
  QThread* workerThread = nullptr;
  QMessageBox errorBox;
  InformationBox softwareBox;
  InformationBox firmwareBox;
  InformationBox infoBox;
  QWidget* progressWindow = nullptr;
  QPushButton* progressButton = nullptr;
  QProgressBar* progressBar = nullptr;
  QJsonDocument jsonDoc;
  QJsonObject versionObject;
  int jsonKind = -1;
  QString infoMessage;
  QString latestSoftwareVersion;
  QString latestFirmwareVersion;
  QString modelName;
  // The model the firmware box was shown for; kept through its download and
  // the download-complete window, empty when no firmware update is under way.
  QString firmwareModel;
  State state = State::PanelDone;
  bool downloadCancelled = false;  // the user cancelled the download under way
  bool documentUsable = false;     // the last document had the model's object
};

#endif
