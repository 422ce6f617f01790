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
// located as the bytes just before the end record, as unpackers do, and the
// same shift applies to the local headers (0x04034b50, 30 bytes, then the
// name) that each entry's directory offset names.
#include "archivelisting.h"

#include <QRegularExpression>
#include <QtEndian>
#include <limits>

namespace {

constexpr quint32 kEndSignature = 0x06054b50;
constexpr quint32 kZip64EndSignature = 0x06064b50;
constexpr quint32 kZip64LocatorSignature = 0x07064b50;
constexpr quint32 kEntrySignature = 0x02014b50;
constexpr quint32 kLocalSignature = 0x04034b50;
constexpr int kLocalBytes = 30;
constexpr quint16 kUtf8Names = 0x0800;  // general purpose flag bit 11
constexpr int kMadeOnUnix = 3;          // "version made by", high byte
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

// The unpacked size and the local header's offset of the entry at `at`,
// whose fixed part and variable parts are known to lie in the archive. A
// field of all ones is in the entry's ZIP64 extra field (id 1), which holds
// the 64-bit values of just those fields, in the order unpacked size,
// packed size, offset.
bool entryFields(const Reader& r, qint64 at, quint64* size, quint64* offset) {
  const quint32 listedSize = r.u32(at + 24);
  const quint32 listedPacked = r.u32(at + 20);
  const quint32 listedOffset = r.u32(at + 42);
  *size = listedSize;
  *offset = listedOffset;
  if (listedSize != 0xffffffffu && listedOffset != 0xffffffffu) return true;
  const qint64 extra = at + kEntryBytes + r.u16(at + 28);
  const qint64 extraEnd = extra + r.u16(at + 30);
  for (qint64 p = extra; p + 4 <= extraEnd;) {
    const quint16 id = r.u16(p);
    const quint16 bytes = r.u16(p + 2);
    if (p + 4 + bytes > extraEnd) return false;
    if (id == kZip64ExtraId) {
      qint64 field = p + 4;
      const auto take = [&](quint64* value) {
        if (field + 8 > p + 4 + bytes) return false;
        *value = r.u64(field);
        field += 8;
        return true;
      };
      quint64 packed = 0;
      if (listedSize == 0xffffffffu && !take(size)) return false;
      if (listedPacked == 0xffffffffu && !take(&packed)) return false;
      return listedOffset != 0xffffffffu || take(offset);
    }
    p += 4 + bytes;
  }
  return false;
}

}  // namespace

bool readArchiveListing(const QByteArray& zip, ArchiveListing* listing) {
  const Reader r(zip);
  const qint64 end = findEnd(r);
  if (end < 0) return false;
  if (r.u16(end + 4) != 0 || r.u16(end + 6) != 0) return false;  // several disks
  quint64 entries = r.u16(end + 10);
  quint64 directoryBytes = r.u32(end + 12);
  quint64 statedStart = r.u32(end + 16);
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
    statedStart = r.u64(record + 48);
    directoryEnd = record;
  } else if (sizesInZip64) {
    return false;
  }
  if (directoryBytes > quint64(directoryEnd)) return false;
  qint64 at = directoryEnd - qint64(directoryBytes);
  // Data before the archive moves every offset the directory states.
  if (statedStart > quint64(at)) return false;
  const qint64 shift = at - qint64(statedStart);

  ArchiveListing found;
  for (quint64 i = 0; i < entries; ++i) {
    if (!r.has(at, kEntryBytes) || at + kEntryBytes > directoryEnd || r.u32(at) != kEntrySignature)
      return false;
    const int nameBytes = r.u16(at + 28);
    const qint64 next = at + kEntryBytes + nameBytes + r.u16(at + 30) + r.u16(at + 32);
    if (next > directoryEnd) return false;
    quint64 size = 0;
    quint64 offset = 0;
    if (!entryFields(r, at, &size, &offset)) return false;
    const QByteArray name = zip.mid(int(at + kEntryBytes), nameBytes);
    // The entry's local header, before the directory, names the same file.
    if (offset > quint64(directoryEnd)) return false;
    const qint64 local = qint64(offset) + shift;
    if (!r.has(local, kLocalBytes) || local + kLocalBytes > at || r.u32(local) != kLocalSignature ||
        r.u16(local + 26) != nameBytes || !r.has(local + kLocalBytes, nameBytes) ||
        zip.mid(int(local + kLocalBytes), nameBytes) != name)
      return false;
    const bool utf8 = (r.u16(at + 8) & kUtf8Names) != 0;
    found.names << (utf8 ? QString::fromUtf8(name) : QString::fromLatin1(name));
    constexpr quint32 kFileType = 0170000, kLink = 0120000;
    if (r.u16(at + 4) >> 8 == kMadeOnUnix && (r.u32(at + 38) >> 16 & kFileType) == kLink) ++found.links;
    const quint64 sum = found.unpackedBytes;
    found.unpackedBytes =
        size > std::numeric_limits<quint64>::max() - sum ? std::numeric_limits<quint64>::max() : sum + size;
    at = next;
  }
  *listing = found;
  return true;
}

bool archiveListedSize(const QByteArray& zip, quint64* total) {
  ArchiveListing listing;
  if (!readArchiveListing(zip, &listing)) return false;
  *total = listing.unpackedBytes;
  return true;
}

bool archiveEntryRefused(const QString& name) {
  // "Naming Files, Paths, and Namespaces" (Microsoft Learn): the reserved
  // device names, also with an extension ("nul.txt") or trailing blanks.
  static const QRegularExpression kDevice(
      QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|COM[0-9]|LPT[0-9])$"),
      QRegularExpression::CaseInsensitiveOption);
  if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')) ||
      name.contains(QLatin1Char(':')))
    return true;
  for (const QChar c : name)
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) return true;
  const QStringList parts =
      QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
  for (const QString& part : parts) {
    if (part == QLatin1String("..") ||
        kDevice.match(part.section(QLatin1Char('.'), 0, 0).trimmed()).hasMatch())
      return true;
  }
  return false;
}

quint64 maxUnpackedSize(qint64 archiveBytes) {
  constexpr quint64 kFloor = quint64(64) << 20;
  constexpr quint64 kCeiling = quint64(2) << 30;
  const quint64 scaled = archiveBytes > 0 ? quint64(archiveBytes) * 200 : 0;
  return qMin(kCeiling, qMax(kFloor, scaled));
}
