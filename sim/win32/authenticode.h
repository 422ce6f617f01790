// The Authenticode verifier under the WinVerifyTrust stand-in (wintrust.cpp):
// the signature of a PE file over its Authenticode hash, the signer's chain to
// a trusted root of the stand-in's store, time validity, the code-signing
// usage and revocation from the store's CRLs. Built on OpenSSL's PKCS#7.
#ifndef KORVEL_SIM_AUTHENTICODE_H
#define KORVEL_SIM_AUTHENTICODE_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace authenticode {

enum class Revocation { kNone, kEndCertificate, kChain };

struct ChainCertificate {
  std::vector<uint8_t> der;
  bool self_signed = false;
  bool trusted_root = false;
  LONG error = 0;  // what was found wrong with this certificate (0: nothing)
};

struct Verdict {
  LONG status = 0;  // WinVerifyTrust's result: 0 trusted, else why not
  // The signer's chain, its certificate first, as far as it was built
  // (empty when the file holds no readable signature).
  std::vector<ChainCertificate> chain;
};

// The machine's certificate stores as the stand-in has them: one PEM file
// whose certificates are the trusted roots and whose CRLs are the CRLs the
// machine holds. KORVEL_WINTRUST_STORE names it; without it the system's CA
// bundle gives the roots and there are no CRLs.
std::string StorePath();

// Verifies the PE image `file` (the whole file) against the store at
// `store_path`.
Verdict VerifyPeImage(const std::vector<uint8_t>& file, Revocation revocation, const std::string& store_path);

}  // namespace authenticode

#endif
