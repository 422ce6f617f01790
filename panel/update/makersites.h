// The maker's addresses on the web, in one place: the public web site (an
// international and a Japanese one), the two account services and the
// download server that holds the update documents and installers.
#ifndef PANEL_UPDATE_MAKERSITES_H
#define PANEL_UPDATE_MAKERSITES_H

#include <QString>

// "https://host" without a trailing slash.
extern const QString kMakerWebSite;
extern const QString kMakerWebSiteJapan;
extern const QString kMakerAccountSite;
extern const QString kMakerAccountSiteJapan;
extern const QString kMakerDownloadServer;

#endif
