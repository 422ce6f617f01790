// User-mode Windows stand-in: the subset of <wincrypt.h> that a caller of
// WinVerifyTrust uses to read the verified signer (certificate contexts and
// CertGetNameStringW), declared as the Windows SDK declares it. Structures
// the subset does not fill are declared but left incomplete.
#ifndef KORVEL_SIM_WINCRYPT_H
#define KORVEL_SIM_WINCRYPT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef ULONG_PTR HCRYPTPROV;
typedef void* HCERTSTORE;
typedef void* HCRYPTMSG;

#ifndef _FILETIME_
#define _FILETIME_
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#endif

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CERT_NAME_BLOB, *PCERT_NAME_BLOB, CRYPT_DATA_BLOB,
    *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB;

typedef struct _CERT_INFO CERT_INFO, *PCERT_INFO;
typedef struct _CMSG_SIGNER_INFO CMSG_SIGNER_INFO, *PCMSG_SIGNER_INFO;
typedef struct _CERT_CHAIN_ELEMENT CERT_CHAIN_ELEMENT, *PCERT_CHAIN_ELEMENT;
typedef struct _CERT_CHAIN_CONTEXT CERT_CHAIN_CONTEXT, *PCERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
typedef struct _CERT_USAGE_MATCH CERT_USAGE_MATCH, *PCERT_USAGE_MATCH;
typedef struct _CTL_CONTEXT CTL_CONTEXT, *PCTL_CONTEXT;
typedef const CTL_CONTEXT* PCCTL_CONTEXT;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

// CertGetNameStringW's dwType and dwFlags.
#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_DNS_TYPE 6
#define CERT_NAME_URL_TYPE 7
#define CERT_NAME_UPN_TYPE 8
#define CERT_NAME_ISSUER_FLAG 0x1

#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_COUNTRY_NAME "2.5.4.6"
#define szOID_ORGANIZATION_NAME "2.5.4.10"
#define szOID_ORGANIZATIONAL_UNIT_NAME "2.5.4.11"

DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                LPWSTR pszNameString, DWORD cchNameString);

#ifdef __cplusplus
}
#endif

#endif
