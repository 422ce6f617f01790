// The update service's texts, row by row. Column 11 (download failed) gets
// the link to the maker's web site appended by updateText().
#include "updatetexts.h"

#include "makersites.h"

const char* const updateTexts[kUpdateTextRows][kUpdateTextColumns] = {
    // English
    {
        "OK",
        "Cancel",
        "Update now",
        "Update later",
        "Do not show this message again",
        "KORVEL Update Information",
        "Current Version: ",
        "Latest Version: ",
        "<font size=+1><b>The newest version of the Settings Panel has been released.</b></font><br>",
        "<font size=+1><b>The newest version of the unit firmware has been released.</b></font><br>",
        "KORVEL Latest Information",
        "The update file could not be downloaded.<br>Please try again after waiting a little while.<br>      "
        "          You can also download it manually from the KORVEL website.<br>",
        "<b>Downloading</b>",
        "<b>Download complete</b>",
    },
    // French
    {
        "OK",
        "Annuler",
        "Mettre à jour",
        "Plus tard",
        "Ne plus afficher ce message",
        "Informations de mise à jour KORVEL",
        "Version actuelle : ",
        "Dernière version : ",
        "<font size=+1><b>Il existe une version plus récente du panneau de réglages Settings "
        "Panel.</b></font><br>",
        "<font size=+1><b>Il existe une version plus récente du firmware de l'unité.</b></font><br>",
        "Dernières informations KORVEL",
        "Le fichier de mise à jour n'a pas pu être téléchargé.<br>Veuillez réessayer après avoir attendu un "
        "peu.<br>                Vous pouvez également le télécharger manuellement depuis le site Web "
        "Korvel.<br>",
        "<b>Téléchargement</b>",
        "<b>Téléchargement terminé</b>",
    },
    // Spanish
    {
        "OK",
        "Cancelar",
        "Actualizar ahora",
        "Actualizar más tarde",
        "No volver a ver este mensaje",
        "Información de actualización KORVEL",
        "Versión actual: ",
        "Última versión: ",
        "<font size=+1><b>Hay una nueva versión disponible del Settings Panel.</b></font><br>",
        "<font size=+1><b>Hay una nueva versión disponible del firmware de la unidad.</b></font><br>",
        "Últimas novedades de KORVEL",
        "El fichero de actualización no ha podido ser descargado.<br>Pruebe de nuevo después de unos "
        "minutos.<br>                También puede descargarlo manualmente desde la página web de "
        "KORVEL.<br>",
        "<b>Descargando</b>",
        "<b>Descarga finalizada</b>",
    },
    // German
    {
        "OK",
        "Abbrechen",
        "Update jetzt",
        "Update später",
        "Diese Meldung nicht mehr anzeigen",
        "KORVEL Update-Information",
        "Aktuelle Version: ",
        "Neue Version: ",
        "<font size=+1><b>Eine neue Version des Einstellungsfelds ist verfügbar.</b></font><br>",
        "<font size=+1><b>Eine neue Version der Gerätefirmware ist verfügbar.</b></font><br>",
        "KORVEL – Neueste Informationen",
        "Die Update-Datei konnte nicht heruntergeladen werden.<br>Bitte versuchen Sie es später noch "
        "einmal.<br>                Oder laden Sie das Update manuell von der KORVEL-Website herunter.<br>",
        "<b>Herunterladen</b>",
        "<b>Herunterladen abgeschlossen</b>",
    },
    // Italian
    {
        "OK",
        "Annulla",
        "Aggiorna ora",
        "Aggiorna più tardi",
        "Non mostrare più questo messaggio",
        "KORVEL Informazioni di aggiornamento",
        "Versione corrente: ",
        "Ultima versione: ",
        "<font size=+1><b>È stata rilasciata la nuova versione del Settings Panel.</b></font><br>",
        "<font size=+1><b>È stata rilasciata la versione più recente del firmware dell'unità.</b></font><br>",
        "KORVEL Ultime informazioni",
        "Il file di aggiornamento non può essere scaricato.<br>Attendere qualche istante e riprovare.<br>    "
        "            È possibile scaricarlo manualmente dal sito web KORVEL.<br>",
        "<b>Scaricamento</b>",
        "<b>Download completato</b>",
    },
    // Japanese
    {
        "OK",
        "中止",
        "今すぐアップデートする",
        "あとでアップデートする",
        "同じメッセージを再度表示しない",
        "KORVEL Update Information",
        "現在のバージョン: ",
        "新しいバージョン: ",
        "<font size=+1><b>Settings Panelの最新版がリリースされました。</b></font><br>",
        "<font size=+1><b>本体ファームウェアの最新版がリリースされました。</b></font><br>",
        "KORVEL Latest Information",
        "更新ファイルがダウンロードできませんでした。<br>時間を空けて再度お試しください。<br>                "
        "KORVELホームページから手動でダウンロードしていただくこともできます。<br>",
        "<b>ダウンロード中</b>",
        "<b>ダウンロード完了</b>",
    },
    // Chinese
    {
        "OK",
        "取消",
        "现在更新",
        "往后更新",
        "不再显示此信息",
        "KORVEL更新信息",
        "目前版本︰",
        "最新版本︰",
        "<font size=+1><b>设置面板的最新版本已经发布。</b></font><br>",
        "<font size=+1><b>本机固件的最新版本已经发布。</b></font><br>",
        "KORVEL最新信息",
        "不能下载更新文件。<br>请多等一会儿再次尝试。<br>                您也可以从KORVEL官网上下载。<br>",
        "<b>下载中</b>",
        "<b>下载完成</b>",
    },
};

QString updateText(int row, UpdateTextColumn column) {
  QString text = QString::fromUtf8(updateTexts[row][column]);
  if (column == kTextDownloadFailed) {
    // The Japanese row links the Japanese site, written with a trailing slash.
    const QString site = row == 5 ? kMakerWebSiteJapan + QLatin1Char('/') : kMakerWebSite;
    text += QStringLiteral("<a href=\"%1\">%1</a>").arg(site);
  }
  return text;
}

int updateTextRow(QLocale::Language language) {
  switch (language) {
    case QLocale::French:
      return 1;
    case QLocale::Spanish:
      return 2;
    case QLocale::German:
      return 3;
    case QLocale::Italian:
      return 4;
    case QLocale::Japanese:
      return 5;
    case QLocale::Chinese:
      return 6;
    default:
      return 0;
  }
}
