// Every text the update service shows, in seven languages: one row per
// language, one column per use.
#ifndef PANEL_UPDATE_UPDATETEXTS_H
#define PANEL_UPDATE_UPDATETEXTS_H

#include <QLocale>
#include <QString>

enum UpdateTextColumn {
  kTextOk = 0,
  kTextCancel,
  kTextUpdateNow,
  kTextUpdateLater,
  kTextDontShow,
  kTextUpdateTitle,
  kTextCurrentVersion,
  kTextLatestVersion,
  kTextPanelHeadline,
  kTextFirmwareHeadline,
  kTextInformationTitle,
  kTextDownloadFailed,
  kTextDownloading,
  kTextDownloadComplete,
  kUpdateTextColumns
};

// Rows: 0 English, 1 French, 2 Spanish, 3 German, 4 Italian, 5 Japanese,
// 6 Chinese.
constexpr int kUpdateTextRows = 7;

// The raw table (column 11 without its link); read it through updateText().
extern const char* const updateTexts[kUpdateTextRows][kUpdateTextColumns];

// The text of one row and column (row and column must be in range).
QString updateText(int row, UpdateTextColumn column);

// The row for a language: English for every language without a row of its own.
int updateTextRow(QLocale::Language language);

#endif
