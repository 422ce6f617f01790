// User-mode Windows stand-in: the subset of <wintrust.h> that verifies a
// file's Authenticode signature (WinVerifyTrust) and reads the verified
// signer from the state it keeps (the WTHelper functions), declared as the
// Windows SDK declares it. sim/win32/wintrust.cpp says what the stand-in
// checks and which Windows rule each check follows.
#ifndef KORVEL_SIM_WINTRUST_H
#define KORVEL_SIM_WINTRUST_H

#include <wincrypt.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// winerror.h's trust and certificate results (the stand-in's <windows.h>
// carries only the Win32 error codes).
#ifndef TRUST_E_NOSIGNATURE
#define TRUST_E_SYSTEM_ERROR ((HRESULT)0x80096001L)
#define TRUST_E_NO_SIGNER_CERT ((HRESULT)0x80096002L)
#define TRUST_E_CERT_SIGNATURE ((HRESULT)0x80096004L)
#define TRUST_E_BAD_DIGEST ((HRESULT)0x80096010L)
#define TRUST_E_PROVIDER_UNKNOWN ((HRESULT)0x800B0001L)
#define TRUST_E_ACTION_UNKNOWN ((HRESULT)0x800B0002L)
#define TRUST_E_SUBJECT_FORM_UNKNOWN ((HRESULT)0x800B0003L)
#define TRUST_E_SUBJECT_NOT_TRUSTED ((HRESULT)0x800B0004L)
#define TRUST_E_NOSIGNATURE ((HRESULT)0x800B0100L)
#define CERT_E_EXPIRED ((HRESULT)0x800B0101L)
#define CERT_E_UNTRUSTEDROOT ((HRESULT)0x800B0109L)
#define CERT_E_CHAINING ((HRESULT)0x800B010AL)
#define CERT_E_REVOKED ((HRESULT)0x800B010CL)
#define CERT_E_REVOCATION_FAILURE ((HRESULT)0x800B010EL)
#define CERT_E_WRONG_USAGE ((HRESULT)0x800B0110L)
#define CRYPT_E_FILE_ERROR ((HRESULT)0x80092003L)
#define CRYPT_E_REVOKED ((HRESULT)0x80092010L)
#define CRYPT_E_NO_REVOCATION_CHECK ((HRESULT)0x80092012L)
#define CRYPT_E_REVOCATION_OFFLINE ((HRESULT)0x80092013L)
#endif

#define WTD_UI_ALL 1
#define WTD_UI_NONE 2
#define WTD_UI_NOBAD 3
#define WTD_UI_NOGOOD 4

#define WTD_REVOKE_NONE 0x00000000
#define WTD_REVOKE_WHOLECHAIN 0x00000001

#define WTD_CHOICE_FILE 1
#define WTD_CHOICE_CATALOG 2
#define WTD_CHOICE_BLOB 3
#define WTD_CHOICE_SIGNER 4
#define WTD_CHOICE_CERT 5

#define WTD_STATEACTION_IGNORE 0x00000000
#define WTD_STATEACTION_VERIFY 0x00000001
#define WTD_STATEACTION_CLOSE 0x00000002
#define WTD_STATEACTION_AUTO_CACHE 0x00000003
#define WTD_STATEACTION_AUTO_CACHE_FLUSH 0x00000004

#define WTD_USE_IE4_TRUST_FLAG 0x00000001
#define WTD_NO_IE4_CHAIN_FLAG 0x00000002
#define WTD_NO_POLICY_USAGE_FLAG 0x00000004
#define WTD_REVOCATION_CHECK_NONE 0x00000010
#define WTD_REVOCATION_CHECK_END_CERT 0x00000020
#define WTD_REVOCATION_CHECK_CHAIN 0x00000040
#define WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT 0x00000080
#define WTD_SAFER_FLAG 0x00000100
#define WTD_HASH_ONLY_FLAG 0x00000200
#define WTD_USE_DEFAULT_OSVER_CHECK 0x00000400
#define WTD_LIFETIME_SIGNING_FLAG 0x00000800
#define WTD_CACHE_ONLY_URL_RETRIEVAL 0x00001000

#define WTD_UICONTEXT_EXECUTE 0
#define WTD_UICONTEXT_INSTALL 1

typedef struct WINTRUST_FILE_INFO_ {
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;
  GUID* pgKnownSubject;
} WINTRUST_FILE_INFO, *PWINTRUST_FILE_INFO;

typedef struct _WINTRUST_DATA {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  union {
    struct WINTRUST_FILE_INFO_* pFile;
    struct WINTRUST_CATALOG_INFO_* pCatalog;
    struct WINTRUST_BLOB_INFO_* pBlob;
    struct WINTRUST_SGNR_INFO_* pSgnr;
    struct WINTRUST_CERT_INFO_* pCert;
    struct WINTRUST_DETACHED_SIG_INFO_* pDetachedSig;
  };
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  struct WINTRUST_SIGNATURE_SETTINGS_* pSignatureSettings;
} WINTRUST_DATA, *PWINTRUST_DATA;

typedef struct _CRYPT_PROVIDER_CERT {
  DWORD cbStruct;
  PCCERT_CONTEXT pCert;
  BOOL fCommercial;
  BOOL fTrustedRoot;
  BOOL fSelfSigned;
  BOOL fTestCert;
  DWORD dwRevokedReason;
  DWORD dwConfidence;
  DWORD dwError;
  CTL_CONTEXT* pTrustListContext;
  BOOL fTrustListSignerCert;
  PCCTL_CONTEXT pCtlContext;
  DWORD dwCtlError;
  BOOL fIsCyclic;
  PCERT_CHAIN_ELEMENT pChainElement;
} CRYPT_PROVIDER_CERT, *PCRYPT_PROVIDER_CERT;

typedef struct _CRYPT_PROVIDER_SGNR {
  DWORD cbStruct;
  FILETIME sftVerifyAsOf;
  DWORD csCertChain;
  struct _CRYPT_PROVIDER_CERT* pasCertChain;
  DWORD dwSignerType;
  CMSG_SIGNER_INFO* psSigner;
  DWORD dwError;
  DWORD csCounterSigners;
  struct _CRYPT_PROVIDER_SGNR* pasCounterSigners;
  PCCERT_CHAIN_CONTEXT pChainContext;
} CRYPT_PROVIDER_SGNR, *PCRYPT_PROVIDER_SGNR;

typedef struct _CRYPT_PROVIDER_DATA {
  DWORD cbStruct;
  WINTRUST_DATA* pWintrustData;
  BOOL fOpenedFile;
  HWND hWndParent;
  GUID* pgActionID;
  HCRYPTPROV hProv;
  DWORD dwError;
  DWORD dwRegSecuritySettings;
  DWORD dwRegPolicySettings;
  struct _CRYPT_PROVIDER_FUNCTIONS* psPfns;
  DWORD cdwTrustStepErrors;
  DWORD* padwTrustStepErrors;
  DWORD chStores;
  HCERTSTORE* pahStores;
  DWORD dwEncoding;
  HCRYPTMSG hMsg;
  DWORD csSigners;
  struct _CRYPT_PROVIDER_SGNR* pasSigners;
  DWORD csProvPrivData;
  struct _CRYPT_PROVIDER_PRIVDATA* pasProvPrivData;
  DWORD dwSubjectChoice;
  union {
    struct _PROVDATA_SIP* pPDSip;
  };
  char* pszUsageOID;
  BOOL fRecallWithState;
  FILETIME sftSystemTime;
  char* pszCTLSignerUsageOID;
  DWORD dwProvFlags;
  DWORD dwFinalError;
  PCERT_USAGE_MATCH pRequestUsage;
  DWORD dwTrustPubSettings;
  DWORD dwUIStateFlags;
  struct _CRYPT_PROVIDER_SIGSTATE* pSigState;
  struct WINTRUST_SIGNATURE_SETTINGS_* pSigSettings;
} CRYPT_PROVIDER_DATA, *PCRYPT_PROVIDER_DATA;

LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData);
CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE hStateData);
CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* pProvData, DWORD idxSigner,
                                                           BOOL fCounterSigner, DWORD idxCounterSigner);
CRYPT_PROVIDER_CERT* WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr, DWORD idxCert);

#ifdef __cplusplus
}
#endif

#endif
