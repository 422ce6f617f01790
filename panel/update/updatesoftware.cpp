// The update controller: version checks, boxes, download windows.
#include "updatesoftware.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QDebug>
#include <QJsonParseError>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QThread>
#include <cmath>
#include <limits>

#include "constants.h"
#include "informationbox.h"
#include "settingsstore.h"
#include "ui_informationbox.h"
#include "updateinformation.h"
#include "updatetexts.h"

namespace {

const Qt::WindowFlags kBoxFlags = Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint;

const QString kButtonStyle = QStringLiteral("color: black; background-image: url(:/Resource/trans.png);");

int leadingNumber(const QString& text, int from, int count) {
  return text.mid(from, count).toInt();  // no number: 0
}

// A version key's number: a whole number from 0 up; anything else (text, a
// fraction, a number beyond int, another type, no key) reads as 0.
int versionNumber(const QJsonValue& v) {
  if (!v.isDouble()) return 0;
  const double d = v.toDouble();
  if (!(d >= 0 && d <= double(std::numeric_limits<int>::max())) || d != std::floor(d)) return 0;
  return int(d);
}

// The version key as text; minors get two digits.
QString majorText(const QJsonValue& v) {
  return QString::number(versionNumber(v));
}
QString minorText(const QJsonValue& v) {
  QString m = QString::number(versionNumber(v));
  if (m.size() == 1) m.prepend(QLatin1Char('0'));
  return m;
}

void logVersions(const char* what, const QString& c, const QString& M, const QString& m) {
  qDebug().noquote() << QStringLiteral("UpdateSoftware: %1 nowMajor").arg(QLatin1String(what))
                     << leadingNumber(c, 0, 1);
  qDebug().noquote() << QStringLiteral("UpdateSoftware: %1 nowMinor").arg(QLatin1String(what))
                     << leadingNumber(c, 2, 2);
  qDebug().noquote() << QStringLiteral("UpdateSoftware: %1 netMajor").arg(QLatin1String(what))
                     << leadingNumber(M, 0, 1);
  qDebug().noquote() << QStringLiteral("UpdateSoftware: %1 netMinor").arg(QLatin1String(what))
                     << leadingNumber(m, 0, 2);
}

}  // namespace

bool isNewerVersion(const QString& c, const QString& M, const QString& m) {
  const int cMaj = leadingNumber(c, 0, 1);
  const int mMaj = leadingNumber(M, 0, 1);
  if (cMaj < mMaj) return true;
  if (cMaj == mMaj) return leadingNumber(c, 2, 2) < leadingNumber(m, 0, 2);
  return false;
}

bool suppressesVersion(const QString& s, const QString& M, const QString& m) {
  const int sMaj = leadingNumber(s, 0, 1);
  const int mMaj = leadingNumber(M, 0, 1);
  if (sMaj != mMaj) return sMaj > mMaj;
  return leadingNumber(s, 2, 2) >= leadingNumber(m, 0, 2);
}

QString storedInfoMessage(const QString& message) {
  if (message.size() <= kMaxStoredInfoMessageChars) return message;
  return QStringLiteral("sha256:") +
         QString::fromLatin1(QCryptographicHash::hash(message.toUtf8(), QCryptographicHash::Sha256).toHex());
}

bool infoMessageDismissed(const QString& stored, const QString& message) {
  if (stored.isEmpty()) return false;
  return stored == message || stored == storedInfoMessage(message);
}

UpdateSoftware::UpdateSoftware(int deviceType_, bool skipFirstConfim_)
    : deviceType(deviceType_), skipFirstConfim(skipFirstConfim_) {
  jsonKind = -1;
  state = State::PanelDone;

  workerThread = new QThread();
  worker = new UpdateInformation();
  worker->setDeviceType(deviceType);
  worker->moveToThread(workerThread);
  connect(workerThread, &QThread::finished, worker, &QObject::deleteLater);
  connect(worker, &UpdateInformation::finishedInformation, this, &UpdateSoftware::saveInformation);
  connect(worker, &UpdateInformation::finishDownloadJson, this, &UpdateSoftware::recieveDownloadJson);
  workerThread->start(QThread::InheritPriority);
  requestDocument();

  languageIndex = updateTextRow(QLocale().language());

  for (InformationBox* box : {&softwareBox, &firmwareBox}) {
    box->setWindowTitle(text(kTextUpdateTitle));
    box->ui->okButton->setText(text(kTextUpdateNow));
    box->ui->noButton->setText(text(kTextUpdateLater));
    box->ui->dontShowCheckBox->setText(text(kTextDontShow));
  }
  connect(softwareBox.ui->okButton, &QPushButton::clicked, this, &UpdateSoftware::decideClickedSoftware);
  connect(softwareBox.ui->noButton, &QPushButton::clicked, this, &UpdateSoftware::cancelSoftware);
  connect(firmwareBox.ui->okButton, &QPushButton::clicked, this, &UpdateSoftware::decideClickedFirmware);
  connect(firmwareBox.ui->noButton, &QPushButton::clicked, this, &UpdateSoftware::cancelFirmware);

  infoBox.setWindowTitle(text(kTextInformationTitle));
  infoBox.ui->okButton->setText(text(kTextOk));
  infoBox.ui->noButton->close();
  infoBox.ui->dontShowCheckBox->setText(text(kTextDontShow));
  infoBox.setWindowModality(Qt::ApplicationModal);
  connect(infoBox.ui->okButton, &QPushButton::clicked, this, &UpdateSoftware::decideClickedInformation);

  errorBox.setIcon(QMessageBox::Warning);
  errorBox.setWindowTitle(text(kTextUpdateTitle));
  errorBox.setTextFormat(Qt::RichText);
  errorBox.setStandardButtons(QMessageBox::Ok);
  errorBox.setText(text(kTextDownloadFailed));

  connect(worker, &UpdateInformation::errorDownloadFile, this, &UpdateSoftware::showMsgBoxError);
  connect(this, &UpdateSoftware::readiedDownloadFile, worker, &UpdateInformation::downloadFile);
  connect(worker, &UpdateInformation::startedDownloadFile, this, &UpdateSoftware::openDownloadFileInfo);
  connect(worker, &UpdateInformation::finishedDownloadFile, this, &UpdateSoftware::closeDownloadFileInfo);
  connect(this, &UpdateSoftware::stopDownload, worker, &UpdateInformation::cancelDownload);
  connect(worker, &UpdateInformation::readiedExec, this, &UpdateSoftware::openExecWindow);
}

UpdateSoftware::~UpdateSoftware() {
  qDebug() << "UpdateSoftware: ~UpdateSoftware";
  workerThread->exit(0);
  workerThread->wait();
  delete workerThread;
  delete progressWindow;
}

QString UpdateSoftware::text(int column) const {
  return updateText(languageIndex, UpdateTextColumn(column));
}

// Headline, an empty line, then the current and the newest version.
QString UpdateSoftware::offerText(int headlineColumn, const QString& current, const QString& latest) const {
  // The current firmware text comes from the unit: shown as text, never as markup.
  return text(headlineColumn) + QStringLiteral("<br>") + text(kTextCurrentVersion) +
         current.left(4).toHtmlEscaped() + QStringLiteral("<br>") + text(kTextLatestVersion) +
         latest.toHtmlEscaped();
}

bool UpdateSoftware::systemIsJapanese() const {
  return QLocale().language() == QLocale::Japanese;
}

void UpdateSoftware::requestDocument() {
  QMetaObject::invokeMethod(worker, "downloadInformation");
  waitingJson = true;
}

// --- the document -------------------------------------------------------------

void UpdateSoftware::saveInformation(QString str) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(str.toUtf8(), &error);
  const QString key =
      deviceType != 0 ? QStringLiteral("FarLink_version1") : QStringLiteral("Tarrow_version1");
  const QJsonValue model = doc.object().value(key);
  // The model's document has arrived, whatever it holds: without its object
  // the firmware check finds nothing, and the document is not asked for again
  // on every check.
  jsonDoc = doc;
  versionObject = model.toObject();
  jsonKind = deviceType != 0 ? 1 : 0;
  if (error.error != QJsonParseError::NoError || !doc.isObject() || !model.isObject()) {
    // Not an update document: nothing is offered, and the next manual check
    // fetches it again.
    qDebug() << "UpdateSoftware: unusable document" << error.errorString();
    documentUsable = false;
    return;
  }
  documentUsable = true;
  if (!skipFirstConfim) {
    checkInformation();
    checkSoft();
  }
  qDebug() << "skipFirstConfim" << (skipFirstConfim ? "true" : "false");
  qDebug() << "state" << int(state);
}

void UpdateSoftware::recieveDownloadJson() {
  waitingJson = false;
}

void UpdateSoftware::checkInformation() {
  const QJsonObject messages = versionObject.value(QStringLiteral("messages")).toObject();
  infoMessage = messages.value(QLocale::languageToString(QLocale().language())).toString();
  if (infoMessage.isEmpty())
    infoMessage = messages.value(QLocale::languageToString(QLocale::English)).toString();
  if (infoMessage.isEmpty() || infoMessageDismissed(loadInfoDialog(), infoMessage)) return;
  infoBox.show();
  infoBox.setInformationHtml(infoMessage);
  infoBox.setGeometry(infoBox.geometry());
  infoBox.ui->textMessage->verticalScrollBar()->setValue(
      infoBox.ui->textMessage->verticalScrollBar()->minimum());
}

// --- version checks -------------------------------------------------------------

void UpdateSoftware::checkSoft() {
  if (!documentUsable && !waitingJson) {
    // No usable document yet (the last fetch failed): fetch it again; its
    // arrival runs this check.
    skipFirstConfim = false;
    state = State::PanelDone;
    requestDocument();
    return;
  }
  state = State::PanelCheck;
  const QString c = softwareVersionShort;
  const QString M = majorText(versionObject.value(QStringLiteral("windows_software_version_major")));
  const QString m = minorText(versionObject.value(QStringLiteral("windows_software_version_minor")));
  logVersions("Sofware", c, M, m);
  if (!isNewerVersion(c, M, m)) {
    qDebug() << "UpdateSoftware: Software update none";
    state = State::PanelDone;
    return;
  }
  qDebug() << "UpdateSoftware: Software update start";
  latestSoftwareVersion = M + QLatin1Char('.') + m;
  const QString stored = loadSoftDialog();
  if (suppressesVersion(stored, M, m)) {
    qDebug() << "UpdateSoftware: Software update Dialog: not displayed: ini ==" << stored;
    state = State::PanelDone;
    return;
  }
  softwareBox.setOfferText(offerText(kTextPanelHeadline, c, latestSoftwareVersion));
  softwareBox.show();
  softwareBox.setGeometry(softwareBox.geometry());
}

void UpdateSoftware::checkFirm(const QString& deviceName, const QString& firmwareText) {
  setShownModel(deviceName);
  if (versionObject.isEmpty()) {
    qDebug() << "UpdateSoftware: checkFirm jObj none";
    return;
  }
  if (state != State::PanelDone) return;
  const bool farLink = deviceName == kModelNameFarLink;
  if (!farLink && deviceName != kModelNameTarrow) return;
  if (farLink && jsonKind != 1) {
    needFarLinkJson = true;
    qDebug() << "not FarLink Json";
    return;
  }
  if (!farLink && jsonKind != 0) {
    needTarrowJson = true;
    qDebug() << "not Tarrow Json";
    return;
  }
  if (firmwareText == kNoDevice) {
    qDebug() << "UpdateSoftware: checkFirm firmVer is No Device:" << firmwareText;
    return;
  }
  if (firmwareText.isEmpty() || !firmwareText.at(0).isDigit() || firmwareText.at(0).unicode() > '9') {
    qDebug() << "UpdateSoftware: checkFirm NowFirmwareVersion not match:" << firmwareText;
    return;
  }
  const QString M = majorText(versionObject.value(QStringLiteral("firmware_version_major")));
  const QString m = minorText(versionObject.value(QStringLiteral("firmware_version_minor")));
  logVersions("Firmware", firmwareText, M, m);
  if (!isNewerVersion(firmwareText, M, m)) {
    qDebug() << "UpdateSoftware: Firmware update none";
    state = State::FirmwareDone;
    return;
  }
  qDebug() << "UpdateSoftware: Firmware update start";
  latestFirmwareVersion = M + QLatin1Char('.') + m;
  const QString stored = loadFirmDialog();
  if (suppressesVersion(stored, M, m)) {
    qDebug() << "UpdateSoftware: Firmware update Dialog: not displayed: ini==" << stored;
    state = State::FirmwareDone;
    return;
  }
  state = State::FirmwareBox;
  firmwareModel = deviceName;
  firmwareBox.setOfferText(offerText(kTextFirmwareHeadline, firmwareText, latestFirmwareVersion));
  firmwareBox.show();
  firmwareBox.setGeometry(firmwareBox.geometry());
}

void UpdateSoftware::setShownModel(const QString& deviceName) {
  modelName = deviceName;
  // A unit that went away may come back as the same model: the offer
  // waits for it (and cannot be started meanwhile).
  if (firmwareModel.isEmpty() || deviceName == firmwareModel || deviceName == kNoDevice) return;
  qDebug() << "UpdateSoftware: firmware update for" << firmwareModel << "withdrawn, the unit is now"
           << deviceName;
  withdrawFirmware();
}

bool UpdateSoftware::firmwareForShownModel() const {
  return !firmwareModel.isEmpty() && modelName == firmwareModel;
}

void UpdateSoftware::withdrawFirmware() {
  firmwareModel.clear();
  firmwareBox.close();
  if (progressWindow && progressBar) {
    // The download under way: stopped; the worker's end of it closes the
    // window.
    emit stopDownload();
  } else {
    closeExecWindow();
  }
  // The model shown now gets its own firmware check.
  state = State::PanelDone;
}

bool UpdateSoftware::hasUpdate() const {
  if (state != State::PanelDone && state != State::FirmwareDone) return false;
  if (!latestSoftwareVersion.isEmpty() || !latestFirmwareVersion.isEmpty()) return true;
  return !documentUsable && !waitingJson;
}

void UpdateSoftware::changeDeviceType(int type) {
  if ((state != State::PanelDone && state != State::FirmwareDone) || waitingJson) return;
  deviceType = type;
  skipFirstConfim = true;
  QMetaObject::invokeMethod(worker, "setDeviceType", Q_ARG(int, type));
  requestDocument();
  state = State::PanelDone;
}

void UpdateSoftware::closeUpdateWindows() {
  softwareBox.close();
  firmwareBox.close();
  infoBox.close();
  if (progressWindow && !progressBar) closeExecWindow();  // the panel is closing
  emit stopDownload();
}

// --- answers ----------------------------------------------------------------------

void UpdateSoftware::decideClickedSoftware() {
  softwareBox.close();
  state = State::PanelCheck;
  firmwareModel.clear();
  emit readiedDownloadFile(versionObject
                               .value(systemIsJapanese() ? QStringLiteral("windows_software_url_ja")
                                                         : QStringLiteral("windows_software_url_en"))
                               .toString());
}

void UpdateSoftware::decideClickedFirmware() {
  firmwareBox.close();
  if (!firmwareForShownModel()) {
    // The unit the update was offered for is not the one shown now.
    withdrawFirmware();
    return;
  }
  state = State::FirmwareBox;
  emit readiedDownloadFile(versionObject
                               .value(systemIsJapanese() ? QStringLiteral("windows_firmware_url_ja")
                                                         : QStringLiteral("windows_firmware_url_en"))
                               .toString());
}

void UpdateSoftware::decideClickedInformation() {
  infoBox.close();
  if (infoBox.ui->dontShowCheckBox->isChecked()) saveInfoDialog(storedInfoMessage(infoMessage));
}

void UpdateSoftware::cancelSoftware() {
  state = State::PanelDone;
  softwareBox.close();
  qDebug() << "UpdateSoftware: Software update cancel";
  if (softwareBox.ui->dontShowCheckBox->isChecked()) {
    qDebug() << "UpdateSoftware: softCheckBox = Checked";
    saveSoftDialog(latestSoftwareVersion);
  }
}

void UpdateSoftware::cancelFirmware() {
  state = State::FirmwareDone;
  firmwareModel.clear();
  firmwareBox.close();
  qDebug() << "UpdateSoftware: Firmware update cancel";
  if (firmwareBox.ui->dontShowCheckBox->isChecked()) {
    qDebug() << "UpdateSoftware: firmCheckBox = Checked";
    saveFirmDialog(latestFirmwareVersion);
  }
}

void UpdateSoftware::cancelDownload() {
  state = State::FirmwareDone;
  // The worker may have finished the download before the cancel reaches it.
  downloadCancelled = true;
}

void UpdateSoftware::showMsgBoxError() {
  state = State::FirmwareDone;
  errorBox.exec();
}

void UpdateSoftware::enableCanselButton(int) {
  if (progressButton) progressButton->setEnabled(true);
}

void UpdateSoftware::showDownloadProgress(int percent) {
  if (!progressBar) return;
  if (percent < 0) {
    progressBar->setRange(0, 0);
    return;
  }
  if (progressBar->maximum() == 0) progressBar->setRange(0, 100);
  progressBar->setValue(percent);
}

// --- download windows --------------------------------------------------------------

void UpdateSoftware::buildProgressWindow(int labelColumn) {
  if (progressWindow) {
    progressWindow->close();
    progressWindow->deleteLater();
  }
  progressWindow = new QWidget();
  // The window's picture, rendered for the screen's pixels.
  auto* artwork = new QLabel(progressWindow);
  artwork->setObjectName(QStringLiteral("progressArtwork"));
  artwork->setGeometry(0, 0, 250, 100);
  artwork->setPixmap(boxArtwork(QStringLiteral(":/Resource/update/Download_250x100.svg"), QSize(250, 100),
                                progressWindow->devicePixelRatioF()));
  auto* label = new QLabel(progressWindow);
  label->setStyleSheet(QStringLiteral("color: white; background-image: url(:/Resource/trans.png);"));
  label->setText(text(labelColumn));
  QFont font = label->font();
  font.setPointSize(11);
  label->setFont(font);
  label->setGeometry(10, 10, 230, 20);

  progressButton = new QPushButton(progressWindow);
  progressButton->setStyleSheet(kButtonStyle);
  progressButton->setMinimumHeight(20);
  progressButton->setGeometry(140, 70, 100, 20);

  progressWindow->setFixedSize(250, 100);
  progressWindow->setObjectName(QStringLiteral("progressWindow"));
  progressWindow->setStyleSheet(QStringLiteral(
      "#progressWindow { color: white; }"
      "QProgressBar { color: white; background-color: #2b2e35; border: 1px solid #5a5f6a; border-radius: 3px;"
      " text-align: center; }"
      "QProgressBar::chunk { background-color: #1e88e5; }"));
  progressWindow->setWindowTitle(text(kTextUpdateTitle));
  progressWindow->setWindowFlags(kBoxFlags);
}

void UpdateSoftware::openDownloadFileInfo() {
  qDebug() << "UpdateSoftware: Now downloading...";
  downloadCancelled = false;
  buildProgressWindow(kTextDownloading);
  progressBar = new QProgressBar(progressWindow);
  progressBar->setRange(0, 100);
  progressBar->setGeometry(10, 40, 230, 20);
  progressButton->setText(text(kTextCancel));
  progressButton->setEnabled(false);
  connect(progressButton, &QPushButton::clicked, this, &UpdateSoftware::cancelDownload);
  connect(progressButton, &QPushButton::clicked, worker, &UpdateInformation::cancelDownload);
  connect(worker, &UpdateInformation::progressValueChanged, this, &UpdateSoftware::showDownloadProgress);
  connect(worker, &UpdateInformation::progressValueChanged, this, &UpdateSoftware::enableCanselButton);
  progressWindow->show();
}

void UpdateSoftware::closeDownloadFileInfo() {
  qDebug() << "UpdateSoftware: End of downloading";
  disconnect(worker, &UpdateInformation::progressValueChanged, this, &UpdateSoftware::enableCanselButton);
  disconnect(worker, &UpdateInformation::progressValueChanged, this, &UpdateSoftware::showDownloadProgress);
  if (!progressWindow || !progressBar) return;  // a refused address opens no window
  progressButton->disconnect();
  progressWindow->close();
  progressWindow->deleteLater();
  progressWindow = nullptr;
  progressButton = nullptr;
  progressBar = nullptr;
}

void UpdateSoftware::openExecWindow() {
  if (downloadCancelled) {
    // The download completed as the user cancelled it: nothing is offered.
    qDebug() << "UpdateSoftware: download completed after its cancel";
    downloadCancelled = false;
    return;
  }
  // A firmware updater that arrived after its model was replaced (the stop
  // came too late) is not offered for starting.
  if (!firmwareModel.isEmpty() && !firmwareForShownModel() && modelName != kNoDevice) {
    withdrawFirmware();
    return;
  }
  buildProgressWindow(kTextDownloadComplete);
  progressBar = nullptr;
  progressButton->setText(text(kTextOk));
  progressButton->setEnabled(true);
  connect(progressButton, &QPushButton::clicked, this, &UpdateSoftware::startDownloadedFile);
  progressWindow->show();
}

void UpdateSoftware::startDownloadedFile() {
  if (!firmwareModel.isEmpty() && !firmwareForShownModel()) {
    // No unit of the model the updater is for: nothing starts.
    withdrawFirmware();
    return;
  }
  QMetaObject::invokeMethod(worker, "execFile");
  closeExecWindow();
}

void UpdateSoftware::closeExecWindow() {
  if (!progressWindow) return;
  progressButton->disconnect();
  progressWindow->close();
  progressWindow->deleteLater();
  progressWindow = nullptr;
  progressButton = nullptr;
}
