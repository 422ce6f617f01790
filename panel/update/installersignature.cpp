// The Authenticode check of a downloaded installer.
#include "installersignature.h"

#include <windows.h>

#include <QDir>
// After <windows.h>, whose declarations they need.
#include <wincrypt.h>
#include <wintrust.h>
// After <wintrust.h>.
#include <softpub.h>

#include "constants.h"

namespace {

// The signer certificate's name of `type` (CertGetNameStringW), for
// CERT_NAME_ATTR_TYPE the attribute `oid`.
QString certificateName(PCCERT_CONTEXT cert, DWORD type, const char* oid) {
  void* para = const_cast<char*>(oid);
  const DWORD chars = CertGetNameStringW(cert, type, 0, para, nullptr, 0);
  if (chars <= 1) return QString();
  QVector<WCHAR> name(int(chars), 0);
  CertGetNameStringW(cert, type, 0, para, name.data(), chars);
  return QString::fromUtf16(reinterpret_cast<const char16_t*>(name.constData()), int(chars) - 1);
}

// The maker's, when the verified state names a signer whose common name and
// organization are both the maker's publisher name.
InstallerSignature checkSigner(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  CRYPT_PROVIDER_CERT* cert = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
  if (!cert || !cert->pCert) return {false, QStringLiteral("no signer certificate")};
  const QString common = certificateName(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, nullptr);
  const QString organization = certificateName(cert->pCert, CERT_NAME_ATTR_TYPE, szOID_ORGANIZATION_NAME);
  if (common != kMakerPublisherName || organization != kMakerPublisherName)
    return {false, QStringLiteral("signed by \"%1\" (organization \"%2\")")
                       .arg(common.left(200), organization.left(200))};
  return {true, QString()};
}

}  // namespace

InstallerSignature checkInstallerSignature(const QString& path) {
  const QString native = QDir::toNativeSeparators(path);
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = reinterpret_cast<LPCWSTR>(native.utf16());

  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN;
  data.dwUIContext = WTD_UICONTEXT_EXECUTE;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);  // no interactive user
  const LONG status = WinVerifyTrust(noWindow, &action, &data);
  InstallerSignature result;
  if (status != 0)
    result.reason = QStringLiteral("WinVerifyTrust 0x%1").arg(quint32(status), 8, 16, QLatin1Char('0'));
  else
    result = checkSigner(data.hWVTStateData);
  // The state is released whatever the verdict.
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(noWindow, &action, &data);
  return result;
}
