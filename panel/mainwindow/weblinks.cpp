// The help menu's web addresses.
#include "weblinks.h"

#include "makersites.h"

namespace {

QUrl pageUrl(const QString& host, const QString& path) {
  return QUrl(host + path, QUrl::TolerantMode);
}

QString regionPath(bool japanese) {
  return japanese ? QStringLiteral("/jp/product/") : QStringLiteral("/int/product/");
}

}  // namespace

QString modelPathSegment(const QString& modelName) {
  if (modelName == QLatin1String("Tarrow")) return QStringLiteral("tarrow");
  if (modelName == QLatin1String("Far Link")) return QStringLiteral("farlink");
  if (modelName == QLatin1String("Dorrit")) return QStringLiteral("dorrit");
  if (modelName == QLatin1String("Pellin")) return QStringLiteral("pellin");
  return QStringLiteral("quenby");
}

QUrl productPageUrl(const QString& modelName, bool japanese) {
  return pageUrl(kMakerWebSite, regionPath(japanese) + modelPathSegment(modelName) + QStringLiteral("/top"));
}

QUrl supportPageUrl(const QString& modelName, bool japanese) {
  return pageUrl(kMakerWebSite,
                 regionPath(japanese) + modelPathSegment(modelName) + QStringLiteral("/support"));
}

QUrl documentsPageUrl(const QString& modelName) {
  return pageUrl(kMakerWebSite,
                 QStringLiteral("/int/product/") + modelPathSegment(modelName) + QStringLiteral("/docs"));
}

QUrl accountLoginUrl(bool japanese) {
  return japanese ? pageUrl(kMakerAccountSiteJapan, QStringLiteral("/ja/customer/account/login"))
                  : pageUrl(kMakerAccountSite, QStringLiteral("/en/customer/account/login"));
}
