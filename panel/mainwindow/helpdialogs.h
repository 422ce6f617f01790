// The help menu's two dialogs: the licence text and the About box. Both are
// modal dialogs without parent; the caller runs and deletes them.
#ifndef PANEL_MAINWINDOW_HELPDIALOGS_H
#define PANEL_MAINWINDOW_HELPDIALOGS_H

#include <QString>

class QDialog;

// The licence dialog on the text of `path` (form feeds removed); nullptr when
// the file cannot be opened.
QDialog* createLicenseDialog(const QString& path = QStringLiteral(":/Resource/LICENSE.txt"));
QDialog* createAboutBox();

#endif
