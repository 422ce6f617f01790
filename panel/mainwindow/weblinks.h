// The help menu's web addresses: product, support and documents pages of the
// connected model on the maker's web site, and the account login page, chosen
// by model and user-interface language.
#ifndef PANEL_MAINWINDOW_WEBLINKS_H
#define PANEL_MAINWINDOW_WEBLINKS_H

#include <QString>
#include <QUrl>

// The model's path segment from the shown model name ("Far Link" ->
// "farlink"); any other text, "No Device" included, gives "quenby".
QString modelPathSegment(const QString& modelName);

QUrl productPageUrl(const QString& modelName, bool japanese);
QUrl supportPageUrl(const QString& modelName, bool japanese);
// The documents page is the international one in every language.
QUrl documentsPageUrl(const QString& modelName);
QUrl accountLoginUrl(bool japanese);

#endif
