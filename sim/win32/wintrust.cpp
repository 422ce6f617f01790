// User-mode Windows stand-in: WinVerifyTrust with the Software Publisher
// action (WINTRUST_ACTION_GENERIC_VERIFY_V2) on a file, the WTHelper
// functions that read the verified state, and CertGetNameStringW. The
// verification itself is authenticode.cpp's.
//
// What the stand-in holds the caller to, and where each rule comes from:
// - WinVerifyTrust (Microsoft Learn): the action must be one the provider
//   knows (else TRUST_E_PROVIDER_UNKNOWN); WTD_STATEACTION_VERIFY hands
//   back state data in hWVTStateData whatever the result, and "this action
//   must be specified for every use of the WTD_STATEACTION_VERIFY action":
//   each state must be released with WTD_STATEACTION_CLOSE (counted, as a
//   leak checker would: WinTrustOpenStates). WTD_STATEACTION_IGNORE keeps
//   no state.
// - WINTRUST_DATA (Microsoft Learn): cbStruct its size, the union chosen by
//   dwUnionChoice. The stand-in verifies files only (WTD_CHOICE_FILE), by
//   path only (hFile NULL), and shows no user interface: a dwUIChoice other
//   than WTD_UI_NONE is refused (our own choice: a trust dialog from a
//   worker thread would block it), as are unknown state actions.
// - Revocation (WINTRUST_DATA): checked for the whole chain with
//   fdwRevocationChecks WTD_REVOKE_WHOLECHAIN or dwProvFlags
//   WTD_REVOCATION_CHECK_CHAIN or _CHAIN_EXCLUDE_ROOT, for the signer's
//   certificate with WTD_REVOCATION_CHECK_END_CERT, else not at all.
// - A file that cannot be read: CRYPT_E_FILE_ERROR (our own choice of code).
// - CertGetNameStringW (Microsoft Learn): CERT_NAME_SIMPLE_DISPLAY_TYPE is the
//   subject's (or with CERT_NAME_ISSUER_FLAG the issuer's) first common name,
//   else its first organizational unit, organization or e-mail attribute;
//   CERT_NAME_ATTR_TYPE the first attribute of the OID in pvTypePara. The
//   result counts the terminating zero; without a buffer it is the size
//   needed; a name that is not there is the empty string (1); a buffer too
//   small gets the name cut, zero-terminated.
#include <openssl/x509.h>
#include <softpub.h>
#include <string.h>
#include <time.h>
#include <wintrust.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "authenticode.h"
#include "wintrust_standin.h"

namespace {

// What a WTD_STATEACTION_VERIFY hands back: the provider data and what it
// points to.
struct State {
  CRYPT_PROVIDER_DATA data{};
  CRYPT_PROVIDER_SGNR signer{};
  std::vector<CRYPT_PROVIDER_CERT> certs;
  std::vector<CERT_CONTEXT> contexts;
  std::vector<std::vector<BYTE>> encoded;
  GUID action{};
};

std::mutex g_lock;
std::set<State*>& OpenStates() {
  static std::set<State*> states;
  return states;
}

bool SameGuid(const GUID& a, const GUID& b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

std::string Utf8(const WCHAR* s) {
  std::string out;
  for (; *s; ++s) {
    uint32_t c = *s;
    if (c >= 0xD800 && c < 0xDC00 && s[1] >= 0xDC00 && s[1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (*++s - 0xDC00);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t chunk[65536];
  size_t n = 0;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  const bool ok = !ferror(f);
  fclose(f);
  return ok;
}

FILETIME Now() {
  // 100-ns intervals since 1601-01-01.
  const uint64_t t = (uint64_t(time(nullptr)) + 11644473600ull) * 10000000ull;
  return FILETIME{DWORD(t), DWORD(t >> 32)};
}

authenticode::Revocation RevocationAsked(const WINTRUST_DATA& data) {
  if (data.fdwRevocationChecks == WTD_REVOKE_WHOLECHAIN ||
      (data.dwProvFlags & (WTD_REVOCATION_CHECK_CHAIN | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT)))
    return authenticode::Revocation::kChain;
  if (data.dwProvFlags & WTD_REVOCATION_CHECK_END_CERT) return authenticode::Revocation::kEndCertificate;
  return authenticode::Revocation::kNone;
}

State* NewState(const GUID& action, WINTRUST_DATA* data, const authenticode::Verdict& verdict) {
  auto state = std::make_unique<State>();
  state->action = action;
  const size_t n = verdict.chain.size();
  state->encoded.reserve(n);
  state->contexts.resize(n);
  state->certs.resize(n);
  for (size_t i = 0; i < n; ++i) {
    state->encoded.push_back(verdict.chain[i].der);
    state->contexts[i] = CERT_CONTEXT{X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, state->encoded[i].data(),
                                      DWORD(state->encoded[i].size()), nullptr, nullptr};
    CRYPT_PROVIDER_CERT& cert = state->certs[i];
    cert.cbStruct = sizeof cert;
    cert.pCert = &state->contexts[i];
    cert.fSelfSigned = verdict.chain[i].self_signed;
    cert.fTrustedRoot = verdict.chain[i].trusted_root;
    cert.dwError = DWORD(verdict.chain[i].error);
  }
  CRYPT_PROVIDER_SGNR& signer = state->signer;
  signer.cbStruct = sizeof signer;
  signer.sftVerifyAsOf = Now();
  signer.csCertChain = DWORD(n);
  signer.pasCertChain = n ? state->certs.data() : nullptr;
  signer.dwError = DWORD(verdict.status);
  CRYPT_PROVIDER_DATA& provider = state->data;
  provider.cbStruct = sizeof provider;
  provider.pWintrustData = data;
  provider.pgActionID = &state->action;
  provider.dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  provider.csSigners = n ? 1 : 0;
  provider.pasSigners = n ? &state->signer : nullptr;
  provider.sftSystemTime = Now();
  provider.dwProvFlags = data->dwProvFlags;
  provider.dwFinalError = DWORD(verdict.status);
  std::lock_guard<std::mutex> lock(g_lock);
  OpenStates().insert(state.get());
  return state.release();
}

// The name of `cert` (DER) as CertGetNameStringW's types give it, in UTF-8.
std::string NameOf(const CERT_CONTEXT* cert, DWORD type, DWORD flags, const void* type_para) {
  const unsigned char* der = cert->pbCertEncoded;
  std::unique_ptr<X509, void (*)(X509*)> x509(d2i_X509(nullptr, &der, long(cert->cbCertEncoded)), X509_free);
  if (!x509) return std::string();
  X509_NAME* name =
      (flags & CERT_NAME_ISSUER_FLAG) ? X509_get_issuer_name(x509.get()) : X509_get_subject_name(x509.get());
  const auto first = [name](int nid) -> std::string {
    const int at = X509_NAME_get_index_by_NID(name, nid, -1);
    if (at < 0) return std::string();
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
    std::string value = n > 0 ? std::string(reinterpret_cast<char*>(utf8), size_t(n)) : std::string();
    OPENSSL_free(utf8);
    return value;
  };
  if (type == CERT_NAME_ATTR_TYPE) {
    if (!type_para) return first(NID_commonName);
    ASN1_OBJECT* oid = OBJ_txt2obj(static_cast<const char*>(type_para), 1);
    const int nid = oid ? OBJ_obj2nid(oid) : NID_undef;
    ASN1_OBJECT_free(oid);
    return nid == NID_undef ? std::string() : first(nid);
  }
  if (type == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
    for (int nid :
         {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
      std::string value = first(nid);
      if (!value.empty()) return value;
    }
  }
  return std::string();
}

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n && i + k < s.size(); ++k)
      c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (c >= 0x10000) {
      out += char16_t(0xD800 + ((c - 0x10000) >> 10));
      out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += char16_t(c);
    }
  }
  return out;
}

}  // namespace

size_t WinTrustOpenStates() {
  std::lock_guard<std::mutex> lock(g_lock);
  return OpenStates().size();
}

extern "C" {

LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData) {
  (void)hwnd;
  static const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  if (!pgActionID || !SameGuid(*pgActionID, kGenericVerifyV2)) return TRUST_E_PROVIDER_UNKNOWN;
  auto* data = static_cast<WINTRUST_DATA*>(pWVTData);
  if (!data || data->cbStruct < sizeof(WINTRUST_DATA)) return ERROR_INVALID_PARAMETER;

  if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
    auto* state = static_cast<State*>(data->hWVTStateData);
    {
      std::lock_guard<std::mutex> lock(g_lock);
      if (!state || OpenStates().erase(state) == 0) return ERROR_INVALID_PARAMETER;
    }
    delete state;
    data->hWVTStateData = nullptr;
    return ERROR_SUCCESS;
  }
  if (data->dwStateAction != WTD_STATEACTION_VERIFY && data->dwStateAction != WTD_STATEACTION_IGNORE)
    return ERROR_INVALID_PARAMETER;
  if (data->dwUIChoice != WTD_UI_NONE || data->dwUnionChoice != WTD_CHOICE_FILE || !data->pFile ||
      data->pFile->cbStruct < sizeof(WINTRUST_FILE_INFO) || !data->pFile->pcwszFilePath || data->pFile->hFile)
    return ERROR_INVALID_PARAMETER;

  authenticode::Verdict verdict;
  std::vector<uint8_t> file;
  if (!ReadWholeFile(Utf8(data->pFile->pcwszFilePath), &file))
    verdict.status = CRYPT_E_FILE_ERROR;
  else
    verdict = authenticode::VerifyPeImage(file, RevocationAsked(*data), authenticode::StorePath());
  if (data->dwStateAction == WTD_STATEACTION_VERIFY)
    data->hWVTStateData = NewState(*pgActionID, data, verdict);
  return verdict.status;
}

CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE hStateData) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto* state = static_cast<State*>(hStateData);
  return OpenStates().count(state) ? &state->data : nullptr;
}

CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* pProvData, DWORD idxSigner,
                                                           BOOL fCounterSigner, DWORD idxCounterSigner) {
  (void)idxCounterSigner;
  if (!pProvData || idxSigner >= pProvData->csSigners) return nullptr;
  CRYPT_PROVIDER_SGNR* signer = &pProvData->pasSigners[idxSigner];
  return fCounterSigner ? nullptr : signer;  // no countersignatures are kept
}

CRYPT_PROVIDER_CERT* WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr, DWORD idxCert) {
  if (!pSgnr || idxCert >= pSgnr->csCertChain) return nullptr;
  return &pSgnr->pasCertChain[idxCert];
}

DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                LPWSTR pszNameString, DWORD cchNameString) {
  const std::u16string name =
      pCertContext ? Utf16(NameOf(pCertContext, dwType, dwFlags, pvTypePara)) : std::u16string();
  if (!pszNameString || cchNameString == 0) return DWORD(name.size() + 1);
  const size_t n = name.size() < cchNameString ? name.size() : cchNameString - 1;
  memcpy(pszNameString, name.data(), n * sizeof(WCHAR));
  pszNameString[n] = 0;
  return DWORD(n + 1);
}

}  // extern "C"
