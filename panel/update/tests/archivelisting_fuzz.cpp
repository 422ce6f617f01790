// Arbitrary bytes as a downloaded archive: reading its listed unpacked sizes
// must stay inside them and end, whatever the end record and the directory
// entries claim.
#include <cstdint>
#include <vector>

#include "archivelisting.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // An exact copy, so that a read past the end is caught.
  std::vector<char> copy(data, data + size);
  const QByteArray zip = QByteArray::fromRawData(copy.data(), int(copy.size()));
  quint64 total = 0;
  (void)archiveListedSize(zip, &total);
  (void)maxUnpackedSize(zip.size());
  return 0;
}
