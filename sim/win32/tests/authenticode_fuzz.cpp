// Arbitrary bytes as a downloaded installer for the WinVerifyTrust stand-in:
// its reading of the PE headers, the certificate table and the PKCS#7
// signature must stay inside the file and end, whatever they claim.
#include <cstdint>
#include <vector>

#include "authenticode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const std::vector<uint8_t> file(data, data + size);
  // An empty store: the chain is built from the signature's own certificates.
  (void)authenticode::VerifyPeImage(file, authenticode::Revocation::kChain, "/dev/null");
  return 0;
}
