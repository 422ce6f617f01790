// Authenticode verification of a PE file with OpenSSL.
//
// The rules, and where each comes from:
// - The PE layout ("PE Format", Microsoft Learn): the MS-DOS header names the
//   PE header at offset 0x3c; "PE\0\0", the 20-byte COFF header, then the
//   optional header, PE32 (magic 0x10b, data directories at 96) or PE32+
//   (0x20b, at 112); its CheckSum at 64; the Certificate Table is the fifth
//   data directory and its address is a file offset, quadword-aligned.
// - The hash ("Windows Authenticode Portable Executable Signature Format"):
//   every byte of the file but the CheckSum, the Certificate Table's
//   directory entry and the table itself. The table must be the end of the
//   file and hold one WIN_CERTIFICATE (revision 2.0, PKCS#7 signed data)
//   padded with zeros to eight bytes; data after it or in its padding is
//   refused (Windows' EnableCertPaddingCheck, which the stand-in always
//   applies: the harsher choice).
// - The signature (same document): a SignedData with exactly one SignerInfo
//   whose content is SpcIndirectDataContent (1.3.6.1.4.1.311.2.1.4) for a PE
//   image (1.3.6.1.4.1.311.2.1.15) holding the file's digest; the signed
//   attributes' content type names it and their message digest covers the
//   content without its outer tag and length. SHA-256, -384 and -512 only
//   (our own choice: no SHA-1 or MD5).
// - The chain (CertGetCertificateChain): from the signer to a self-signed
//   root in the store, the signature's own certificates serving as
//   intermediates, every certificate valid now. Countersigned timestamps
//   are not honoured: an expired signer fails even with one (stricter than
//   Windows; our own choice).
// - The usage (Authenticode policy): the signer's certificate must name code
//   signing in its extended key usage; an issuer that limits its usage must
//   allow it.
// - Revocation (CertVerifyRevocation, CRL checking): each checked
//   certificate needs a current CRL of its issuer, signed by it, in the
//   store. None means the status is unknown: CRYPT_E_REVOCATION_OFFLINE when
//   the certificate names a CRL distribution point, CRYPT_E_NO_REVOCATION_CHECK
//   when it names none, and WinVerifyTrust fails with
//   CERT_E_REVOCATION_FAILURE (as Windows does for an offline revocation
//   server). The stand-in never goes to the network. A root's trust comes
//   from the store; it is not checked (both our own choice).
#include "authenticode.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <string.h>
#include <wintrust.h>

#include <memory>

namespace authenticode {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Pkcs7 = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using Object = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using Sig = std::unique_ptr<X509_SIG, Deleter<X509_SIG, X509_SIG_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreCtx = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

void FreeCerts(STACK_OF(X509) * s) {
  sk_X509_pop_free(s, X509_free);
}
void FreeCrls(STACK_OF(X509_CRL) * s) {
  sk_X509_CRL_pop_free(s, X509_CRL_free);
}
using Certs = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), FreeCerts>>;
using Crls = std::unique_ptr<STACK_OF(X509_CRL), Deleter<STACK_OF(X509_CRL), FreeCrls>>;

constexpr char kSpcIndirectData[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kSpcPeImageData[] = "1.3.6.1.4.1.311.2.1.15";
constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;

uint16_t U16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool IsOid(const ASN1_OBJECT* object, const char* oid) {
  Object wanted(OBJ_txt2obj(oid, 1));
  return object && wanted && OBJ_cmp(object, wanted.get()) == 0;
}

// Where the parts the hash leaves out lie in the file.
struct PeLayout {
  size_t checksum = 0;
  size_t directory_entry = 0;
  size_t table = 0;
  size_t signature_bytes = 0;  // the PKCS#7 blob after the WIN_CERTIFICATE header
};

LONG ParsePe(const std::vector<uint8_t>& f, PeLayout* pe) {
  const size_t size = f.size();
  if (size < 0x40 || f[0] != 'M' || f[1] != 'Z') return TRUST_E_SUBJECT_FORM_UNKNOWN;
  const size_t nt = U32(&f[0x3c]);
  if (nt > size || size - nt < 24 || memcmp(&f[nt], "PE\0\0", 4) != 0) return TRUST_E_SUBJECT_FORM_UNKNOWN;
  const size_t optional = nt + 24;
  const size_t optional_bytes = U16(&f[nt + 20]);
  if (optional_bytes < 2 || size - optional < optional_bytes) return TRUST_E_SUBJECT_FORM_UNKNOWN;
  const uint16_t magic = U16(&f[optional]);
  const size_t directories = magic == 0x10b ? 96 : magic == 0x20b ? 112 : 0;
  if (directories == 0) return TRUST_E_SUBJECT_FORM_UNKNOWN;
  // A header too short to hold the Certificate Table's entry has no signature.
  if (optional_bytes < directories + 5 * 8 || U32(&f[optional + directories - 4]) < 5)
    return TRUST_E_NOSIGNATURE;
  pe->checksum = optional + 64;
  pe->directory_entry = optional + directories + 4 * 8;
  const size_t at = U32(&f[pe->directory_entry]);
  const size_t bytes = U32(&f[pe->directory_entry + 4]);
  if (at == 0 || bytes == 0) return TRUST_E_NOSIGNATURE;
  if (at < optional + optional_bytes || at > size || at % 8 != 0 || bytes < 8) return TRUST_E_NOSIGNATURE;
  if (bytes != size - at) return TRUST_E_BAD_DIGEST;  // data after the table
  // One WIN_CERTIFICATE, its padding (checked with the signature) the rest.
  const size_t length = U32(&f[at]);
  if (U16(&f[at + 4]) != kWinCertRevision2 || U16(&f[at + 6]) != kWinCertTypePkcsSignedData || length <= 8 ||
      length > bytes || (length + 7) / 8 * 8 != bytes)
    return TRUST_E_NOSIGNATURE;
  pe->table = at;
  pe->signature_bytes = length - 8;
  return 0;
}

bool HashImage(const std::vector<uint8_t>& f, const PeLayout& pe, const EVP_MD* md,
               std::vector<uint8_t>* out) {
  MdCtx ctx(EVP_MD_CTX_new());
  unsigned int n = 0;
  out->resize(EVP_MAX_MD_SIZE);
  const bool ok =
      ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 &&
      EVP_DigestUpdate(ctx.get(), f.data(), pe.checksum) == 1 &&
      EVP_DigestUpdate(ctx.get(), f.data() + pe.checksum + 4, pe.directory_entry - pe.checksum - 4) == 1 &&
      EVP_DigestUpdate(ctx.get(), f.data() + pe.directory_entry + 8, pe.table - pe.directory_entry - 8) ==
          1 &&
      EVP_DigestFinal_ex(ctx.get(), out->data(), &n) == 1;
  out->resize(n);
  return ok;
}

const EVP_MD* DigestOf(const ASN1_OBJECT* algorithm) {
  switch (OBJ_obj2nid(algorithm)) {
    case NID_sha256:
      return EVP_sha256();
    case NID_sha384:
      return EVP_sha384();
    case NID_sha512:
      return EVP_sha512();
    default:
      return nullptr;
  }
}

// The SpcIndirectDataContent's value without its outer tag and length, after
// checking that it describes a PE image; its digest algorithm and digest.
LONG ReadIndirectData(PKCS7* p7, const uint8_t** content, long* content_bytes, Sig* digest_info) {
  PKCS7* inner = p7->d.sign->contents;
  if (!inner || !IsOid(inner->type, kSpcIndirectData) || !inner->d.other ||
      inner->d.other->type != V_ASN1_SEQUENCE)
    return TRUST_E_NOSIGNATURE;
  const ASN1_STRING* sequence = inner->d.other->value.sequence;
  const uint8_t* p = sequence->data;
  const uint8_t* end = p + sequence->length;
  long length = 0;
  int tag = 0, xclass = 0;
  if ((ASN1_get_object(&p, &length, &tag, &xclass, end - p) & 0x80) || tag != V_ASN1_SEQUENCE ||
      p + length != end)
    return TRUST_E_NOSIGNATURE;
  *content = p;
  *content_bytes = length;
  // SpcAttributeTypeAndOptionalValue: its type says what was signed.
  const uint8_t* attribute = p;
  long attribute_bytes = 0;
  if ((ASN1_get_object(&attribute, &attribute_bytes, &tag, &xclass, end - attribute) & 0x80) ||
      tag != V_ASN1_SEQUENCE || attribute_bytes > end - attribute)
    return TRUST_E_NOSIGNATURE;
  const uint8_t* after = attribute + attribute_bytes;
  Object type(d2i_ASN1_OBJECT(nullptr, &attribute, after - attribute));
  if (!IsOid(type.get(), kSpcPeImageData)) return TRUST_E_SUBJECT_FORM_UNKNOWN;
  digest_info->reset(d2i_X509_SIG(nullptr, &after, end - after));
  if (!*digest_info || after != end) return TRUST_E_NOSIGNATURE;
  return 0;
}

struct MachineStore {
  Certs roots{sk_X509_new_null()};
  Crls crls{sk_X509_CRL_new_null()};
};

bool LoadStore(const std::string& path, MachineStore* store) {
  Bio in(BIO_new_file(path.c_str(), "r"));
  if (!in) return false;
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(in.get(), nullptr, nullptr, nullptr);
  if (!infos) return false;
  for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->x509 && X509_up_ref(info->x509)) sk_X509_push(store->roots.get(), info->x509);
    if (info->crl && X509_CRL_up_ref(info->crl)) sk_X509_CRL_push(store->crls.get(), info->crl);
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return true;
}

LONG ChainError(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_E_EXPIRED;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return TRUST_E_CERT_SIGNATURE;
    default:
      return CERT_E_CHAINING;
  }
}

bool HasCrlDistributionPoint(X509* cert) {
  auto* points =
      static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr));
  const bool named = points && sk_DIST_POINT_num(points) > 0;
  CRL_DIST_POINTS_free(points);
  return named;
}

// CERT_E_REVOKED, CERT_E_REVOCATION_FAILURE (with the certificate's own
// error in *detail) or 0 for `cert`, whose issuer is `issuer`.
LONG RevocationOf(X509* cert, X509* issuer, STACK_OF(X509_CRL) * crls, LONG* detail) {
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  for (int i = 0; i < sk_X509_CRL_num(crls); ++i) {
    X509_CRL* crl = sk_X509_CRL_value(crls, i);
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) != 0 || !key ||
        X509_CRL_verify(crl, key) != 1 || X509_cmp_current_time(X509_CRL_get0_lastUpdate(crl)) > 0 || !next ||
        X509_cmp_current_time(next) < 0)
      continue;  // not this issuer's, not signed by it, or not current
    X509_REVOKED* entry = nullptr;
    if (X509_CRL_get0_by_cert(crl, &entry, cert) == 1) {
      *detail = CRYPT_E_REVOKED;
      return CERT_E_REVOKED;
    }
    return 0;
  }
  *detail = HasCrlDistributionPoint(cert) ? CRYPT_E_REVOCATION_OFFLINE : CRYPT_E_NO_REVOCATION_CHECK;
  return CERT_E_REVOCATION_FAILURE;
}

// The signature over the file's Authenticode digest; the signer's
// certificate (kept by *p7) in *leaf_out.
LONG CheckSignature(const std::vector<uint8_t>& file, const PeLayout& pe, Pkcs7* p7, X509** leaf_out) {
  const uint8_t* blob = file.data() + pe.table + 8;
  p7->reset(d2i_PKCS7(nullptr, &blob, long(pe.signature_bytes)));
  // Signers pad the signature to eight bytes inside or after its length:
  // zeros only, less than eight of them.
  const uint8_t* table_end = file.data() + file.size();
  bool padded = *p7 && table_end - blob < 8;
  for (const uint8_t* p = blob; padded && p < table_end; ++p) padded = *p == 0;
  if (!padded || !PKCS7_type_is_signed(p7->get()) || !(*p7)->d.sign) return TRUST_E_NOSIGNATURE;
  const uint8_t* content = nullptr;
  long content_bytes = 0;
  Sig digest_info;
  if (const LONG status = ReadIndirectData(p7->get(), &content, &content_bytes, &digest_info)) return status;

  STACK_OF(PKCS7_SIGNER_INFO)* signer_infos = PKCS7_get_signer_info(p7->get());
  if (!signer_infos || sk_PKCS7_SIGNER_INFO_num(signer_infos) != 1) return TRUST_E_NOSIGNATURE;
  PKCS7_SIGNER_INFO* signer_info = sk_PKCS7_SIGNER_INFO_value(signer_infos, 0);
  ASN1_TYPE* content_type = PKCS7_get_signed_attribute(signer_info, NID_pkcs9_contentType);
  if (!content_type || content_type->type != V_ASN1_OBJECT ||
      !IsOid(content_type->value.object, kSpcIndirectData))
    return TRUST_E_NOSIGNATURE;
  STACK_OF(X509)* signers = PKCS7_get0_signers(p7->get(), nullptr, 0);
  X509* leaf = signers && sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
  sk_X509_free(signers);  // the certificates stay with p7
  if (!leaf) return TRUST_E_NO_SIGNER_CERT;

  // The file's digest as signed, and the signature over the signed content.
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* signed_digest = nullptr;
  X509_SIG_get0(digest_info.get(), &algorithm, &signed_digest);
  const EVP_MD* md = DigestOf(algorithm->algorithm);
  std::vector<uint8_t> digest;
  // Behind a buffer: PKCS7_verify copies a memory BIO into one of its own,
  // which OpenSSL 3.0 leaks when the signature's digest algorithms are
  // unknown.
  BIO* memory = BIO_new_mem_buf(content, int(content_bytes));
  Bio signed_content(memory ? BIO_push(BIO_new(BIO_f_buffer()), memory) : nullptr);
  if (!signed_content) BIO_free(memory);
  if (!md || OBJ_cmp(signer_info->digest_alg->algorithm, algorithm->algorithm) != 0 ||
      !HashImage(file, pe, md, &digest) || size_t(ASN1_STRING_length(signed_digest)) != digest.size() ||
      memcmp(ASN1_STRING_get0_data(signed_digest), digest.data(), digest.size()) != 0 || !signed_content ||
      PKCS7_verify(p7->get(), nullptr, nullptr, signed_content.get(), nullptr,
                   PKCS7_NOVERIFY | PKCS7_NOCHAIN | PKCS7_BINARY) != 1) {
    return TRUST_E_BAD_DIGEST;
  }
  *leaf_out = leaf;
  return 0;
}

// The chain from `leaf` to a root of the store, its usage and revocation;
// the chain as built in verdict->chain.
LONG CheckChain(X509* leaf, STACK_OF(X509) * intermediates, Revocation revocation,
                const std::string& store_path, Verdict* verdict) {
  // The chain to a trusted root.
  MachineStore machine;
  Store store(X509_STORE_new());
  StoreCtx ctx(X509_STORE_CTX_new());
  if (!store || !ctx || !LoadStore(store_path, &machine)) {
    return TRUST_E_SYSTEM_ERROR;
  }
  for (int i = 0; i < sk_X509_num(machine.roots.get()); ++i)
    X509_STORE_add_cert(store.get(), sk_X509_value(machine.roots.get(), i));
  if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, intermediates) != 1) {
    return TRUST_E_SYSTEM_ERROR;
  }
  const bool chained = X509_verify_cert(ctx.get()) == 1;
  Certs chain(X509_STORE_CTX_get1_chain(ctx.get()));
  const int length = chain ? sk_X509_num(chain.get()) : 0;
  for (int i = 0; i < length; ++i) {
    X509* cert = sk_X509_value(chain.get(), i);
    ChainCertificate entry;
    uint8_t* der = nullptr;
    const int bytes = i2d_X509(cert, &der);
    if (bytes > 0) entry.der.assign(der, der + bytes);
    OPENSSL_free(der);
    entry.self_signed = X509_check_issued(cert, cert) == X509_V_OK;
    entry.trusted_root = chained && i == length - 1;
    verdict->chain.push_back(std::move(entry));
  }
  if (!chained) {
    const int depth = X509_STORE_CTX_get_error_depth(ctx.get());
    const LONG status = ChainError(X509_STORE_CTX_get_error(ctx.get()));
    if (depth >= 0 && depth < length) verdict->chain[size_t(depth)].error = status;
    return status;
  }

  // Code signing: named by the signer, allowed by every issuer that limits usage.
  for (int i = 0; i < length; ++i) {
    X509* cert = sk_X509_value(chain.get(), i);
    const bool limited = (X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) != 0;
    const uint32_t usage = X509_get_extended_key_usage(cert);
    const bool allows = limited && (usage & (XKU_CODE_SIGN | (i > 0 ? XKU_ANYEKU : 0))) != 0;
    if ((i == 0 || limited) && !allows) {
      return verdict->chain[size_t(i)].error = CERT_E_WRONG_USAGE;
    }
  }

  // Revocation of the signer, or of every certificate below the root.
  const int checked = revocation == Revocation::kNone             ? 0
                      : revocation == Revocation::kEndCertificate ? 1
                                                                  : length - 1;
  for (int i = 0; i < checked && i + 1 < length; ++i) {
    LONG detail = 0;
    const LONG status = RevocationOf(sk_X509_value(chain.get(), i), sk_X509_value(chain.get(), i + 1),
                                     machine.crls.get(), &detail);
    if (status != 0) {
      verdict->chain[size_t(i)].error = detail;
      return status;
    }
  }
  return 0;
}

}  // namespace

std::string StorePath() {
  const char* named = getenv("KORVEL_WINTRUST_STORE");
  return named && *named ? named : "/etc/ssl/certs/ca-certificates.crt";
}

Verdict VerifyPeImage(const std::vector<uint8_t>& file, Revocation revocation,
                      const std::string& store_path) {
  Verdict verdict;
  PeLayout pe;
  Pkcs7 p7;
  X509* leaf = nullptr;
  if ((verdict.status = ParsePe(file, &pe)) == 0 &&
      (verdict.status = CheckSignature(file, pe, &p7, &leaf)) == 0)
    verdict.status = CheckChain(leaf, p7->d.sign->cert, revocation, store_path, &verdict);
  return verdict;
}

}  // namespace authenticode
