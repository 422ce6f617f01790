// The maker's addresses on the web.
#include "makersites.h"

const QString kMakerWebSite = QStringLiteral("https://www.korvel-audio.com");
const QString kMakerWebSiteJapan = QStringLiteral("https://www.korvel-audio.jp");
const QString kMakerAccountSite = QStringLiteral("https://account.korvel-audio.com");
const QString kMakerAccountSiteJapan = QStringLiteral("https://account.korvel-audio.jp");
const QString kMakerDownloadServer = QStringLiteral("https://download.korvel-audio.com");
