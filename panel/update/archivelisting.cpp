// The central directory of a ZIP archive, read for its listed sizes.
//
// An archive ends with an end record (signature 0x06054b50, 22 bytes and a
// comment of up to 64 KiB) that gives the number of entries and the size and
// offset of the central directory; ZIP64 archives put 0xFFFF/0xFFFFFFFF there
// and the real numbers in a ZIP64 end record, found through a locator just
// before the end record. Each directory entry (0x02014b50, 46 bytes, then
// name, extra fields and comment) lists its unpacked size, or 0xFFFFFFFF and
// the size in its ZIP64 extra field (id 1). Data before the archive (a
// self-extractor's program) shifts every offset; the directory is therefore
// located as the bytes just before the end record, as unpackers do.
#include "archivelisting.h"

#include <QtEndian>
#include <limits>

namespace {

constexpr quint32 kEndSignature = 0x06054b50;
constexpr quint32 kZip64EndSignature = 0x06064b50;
constexpr quint32 kZip64LocatorSignature = 0x07064b50;
constexpr quint32 kEntrySignature = 0x02014b50;
constexpr int kEndBytes = 22;
constexpr int kZip64LocatorBytes = 20;
constexpr int kZip64EndBytes = 56;
constexpr int kEntryBytes = 46;
constexpr quint16 kZip64ExtraId = 1;

class Reader {
 public:
  explicit Reader(const QByteArray& b)
      : data(reinterpret_cast<const uchar*>(b.constData())), size(b.size()) {}
  bool has(qint64 at, qint64 bytes) const {
    return at >= 0 && bytes >= 0 && at <= size && bytes <= size - at;
  }
  quint16 u16(qint64 at) const { return qFromLittleEndian<quint16>(data + at); }
  quint32 u32(qint64 at) const { return qFromLittleEndian<quint32>(data + at); }
  quint64 u64(qint64 at) const { return qFromLittleEndian<quint64>(data + at); }
  qint64 length() const { return size; }

 private:
  const uchar* data;
  qint64 size;
};

// Position of the end record: the last signature from which the record and
// its comment fit in the archive.
qint64 findEnd(const Reader& r) {
  const qint64 last = r.length() - kEndBytes;
  for (qint64 at = last; at >= 0 && at >= last - 0xffff; --at) {
    if (r.u32(at) == kEndSignature && r.has(at + kEndBytes, r.u16(at + 20))) return at;
  }
  return -1;
}

// The unpacked size of the entry at `at`, whose fixed part and variable
// parts are known to lie in the archive.
bool entrySize(const Reader& r, qint64 at, quint64* size) {
  const quint32 listed = r.u32(at + 24);
  if (listed != 0xffffffffu) {
    *size = listed;
    return true;
  }
  const qint64 extra = at + kEntryBytes + r.u16(at + 28);
  const qint64 extraEnd = extra + r.u16(at + 30);
  for (qint64 p = extra; p + 4 <= extraEnd;) {
    const quint16 id = r.u16(p);
    const quint16 bytes = r.u16(p + 2);
    if (p + 4 + bytes > extraEnd) return false;
    // The unpacked size comes first in the ZIP64 field when the entry's is 0xFFFFFFFF.
    if (id == kZip64ExtraId) {
      if (bytes < 8) return false;
      *size = r.u64(p + 4);
      return true;
    }
    p += 4 + bytes;
  }
  return false;
}

}  // namespace

bool archiveListedSize(const QByteArray& zip, quint64* total) {
  const Reader r(zip);
  const qint64 end = findEnd(r);
  if (end < 0) return false;
  if (r.u16(end + 4) != 0 || r.u16(end + 6) != 0) return false;  // several disks
  quint64 entries = r.u16(end + 10);
  quint64 directoryBytes = r.u32(end + 12);
  qint64 directoryEnd = end;

  const bool sizesInZip64 = directoryBytes == 0xffffffffu || r.u32(end + 16) == 0xffffffffu;
  const qint64 locator = end - kZip64LocatorBytes;
  if (r.has(locator, kZip64LocatorBytes) && r.u32(locator) == kZip64LocatorSignature) {
    // Where the locator says, or just before it when data came before the archive.
    qint64 record = -1;
    const quint64 stated = r.u64(locator + 8);
    if (stated <= quint64(locator) && r.has(qint64(stated), kZip64EndBytes) &&
        r.u32(qint64(stated)) == kZip64EndSignature)
      record = qint64(stated);
    else if (r.has(locator - kZip64EndBytes, kZip64EndBytes) &&
             r.u32(locator - kZip64EndBytes) == kZip64EndSignature)
      record = locator - kZip64EndBytes;
    if (record < 0) return false;
    if (r.u32(record + 16) != 0 || r.u32(record + 20) != 0) return false;  // several disks
    entries = r.u64(record + 32);
    directoryBytes = r.u64(record + 40);
    directoryEnd = record;
  } else if (sizesInZip64) {
    return false;
  }
  if (directoryBytes > quint64(directoryEnd)) return false;
  qint64 at = directoryEnd - qint64(directoryBytes);

  quint64 sum = 0;
  for (quint64 i = 0; i < entries; ++i) {
    if (!r.has(at, kEntryBytes) || at + kEntryBytes > directoryEnd || r.u32(at) != kEntrySignature)
      return false;
    const qint64 next = at + kEntryBytes + r.u16(at + 28) + r.u16(at + 30) + r.u16(at + 32);
    if (next > directoryEnd) return false;
    quint64 size = 0;
    if (!entrySize(r, at, &size)) return false;
    sum = size > std::numeric_limits<quint64>::max() - sum ? std::numeric_limits<quint64>::max() : sum + size;
    at = next;
  }
  *total = sum;
  return true;
}

quint64 maxUnpackedSize(qint64 archiveBytes) {
  constexpr quint64 kFloor = quint64(64) << 20;
  constexpr quint64 kCeiling = quint64(2) << 30;
  const quint64 scaled = archiveBytes > 0 ? quint64(archiveBytes) * 200 : 0;
  return qMin(kCeiling, qMax(kFloor, scaled));
}
