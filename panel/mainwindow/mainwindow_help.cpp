// The main window's help menu: the manual update check, the maker's web pages
// for the shown model and language, the licence text and the About box.
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QLocale>
#include <QMessageBox>

#include "helpdialogs.h"
#include "mainwindow.h"
#include "settingsstore.h"
#include "ui_mainwindow.h"
#include "updatesoftware.h"
#include "weblinks.h"

namespace {

bool japaneseUi() {
  return QLocale().language() == QLocale::Japanese;
}

}  // namespace

void MainWindow::on_actionUpdate_triggered() {
  ui->actionUpdate->setEnabled(false);
  saveSoftDialog(QString());
  saveFirmDialog(QString());
  if (updateSoftware) updateSoftware->checkSoft();
}

void MainWindow::on_actionProduct_Information_triggered() {
  QDesktopServices::openUrl(productPageUrl(ui->label_Device->text(), japaneseUi()));
}

void MainWindow::on_actionFAQ_triggered() {
  QDesktopServices::openUrl(supportPageUrl(ui->label_Device->text(), japaneseUi()));
}

void MainWindow::on_actionManual_triggered() {
  QDesktopServices::openUrl(documentsPageUrl(ui->label_Device->text()));
}

void MainWindow::on_actionKORVEL_ID_triggered() {
  QDesktopServices::openUrl(accountLoginUrl(japaneseUi()));
}

void MainWindow::on_actionLicense_triggered() {
  QDialog* dialog = createLicenseDialog();
  if (!dialog) {
    QMessageBox::warning(this, QCoreApplication::translate("MainWindow", "File Missing!"),
                         QCoreApplication::translate(
                             "MainWindow", "There is a possibility that the file has been moved or deleted."),
                         QMessageBox::Ok);
    return;
  }
  dialog->exec();
  delete dialog;
}

void MainWindow::on_actionKORVEL_Brevanta_triggered() {
  QDialog* dialog = createAboutBox();
  dialog->exec();
  delete dialog;
}
