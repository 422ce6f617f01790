// Arbitrary bytes as a downloaded archive: reading its listed names and
// unpacked sizes, and the local headers they point to, must stay inside them
// and end, whatever the end record and the directory entries claim.
#include <cstdint>
#include <vector>

#include "archivelisting.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // An exact copy, so that a read past the end is caught.
  std::vector<char> copy(data, data + size);
  const QByteArray zip = QByteArray::fromRawData(copy.data(), int(copy.size()));
  ArchiveListing listing;
  if (readArchiveListing(zip, &listing))
    for (const QString& name : listing.names) (void)archiveEntryRefused(name);
  (void)maxUnpackedSize(zip.size());
  return 0;
}
