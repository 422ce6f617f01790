// Test helpers for compiled translation files: where a block lies, the keys
// (context, source text, comment) of the messages a file's hash table points
// at, and a copy of a file that ends where readable memory ends, so that a
// translator reading past it faults at once (Qt is built without sanitizers).
#ifndef PANEL_APP_TESTS_QMTESTUTIL_H
#define PANEL_APP_TESTS_QMTESTUTIL_H

#include <sys/mman.h>
#include <unistd.h>

#include <QByteArray>
#include <QtEndian>
#include <cstring>
#include <string>
#include <vector>

namespace qmtest {

constexpr unsigned char kHashes = 0x42;
constexpr unsigned char kMessages = 0x69;
constexpr unsigned char kPluralRules = 0x88;
constexpr unsigned char kContexts = 0x2f;
constexpr unsigned char kDependencies = 0x96;

inline quint32 be32(const QByteArray& f, int at) {
  return qFromBigEndian<quint32>(reinterpret_cast<const uchar*>(f.constData()) + at);
}

// Offset of the data of the last block with `tag` (-1: none), its size in `size`.
inline int blockOffset(const QByteArray& f, unsigned char tag, int* size = nullptr) {
  int found = -1;
  for (int pos = 16; pos + 5 < f.size();) {
    const unsigned char t = uchar(f.at(pos));
    const quint32 length = be32(f, pos + 1);
    if (t == 0 || length == 0 || length > quint32(f.size() - pos - 5)) break;
    if (t == tag) {
      found = pos + 5;
      if (size) *size = int(length);
    }
    pos += 5 + int(length);
  }
  return found;
}

struct Key {
  std::string context, source, comment;
};

// The keys of the records the hash table points at, for a file the check
// accepted (fields are within their block then).
inline std::vector<Key> keys(const QByteArray& f) {
  std::vector<Key> out;
  int hashSize = 0, messageSize = 0;
  const int hashes = blockOffset(f, kHashes, &hashSize);
  const int messages = blockOffset(f, kMessages, &messageSize);
  if (hashes < 0 || messages < 0) return out;
  for (int e = 0; e + 8 <= hashSize; e += 8) {
    Key key;
    int p = messages + int(be32(f, hashes + e + 4));
    const int end = messages + messageSize;
    while (p < end) {
      const unsigned char tag = uchar(f.at(p++));
      if (tag == 5) {
        p += 4;
        continue;
      }
      if (tag < 3 || tag > 8 || p + 4 > end) break;
      const quint32 length = be32(f, p);
      p += 4;
      if (length > quint32(end - p)) break;
      std::string text(f.constData() + p, length);
      while (!text.empty() && text.back() == '\0') text.pop_back();
      if (tag == 6) key.source = text;
      if (tag == 7) key.context = text;
      if (tag == 8) key.comment = text;
      p += int(length);
    }
    out.push_back(key);
  }
  return out;
}

// A read-only copy of `size` bytes whose last byte is followed by an
// inaccessible page.
class GuardedCopy {
 public:
  GuardedCopy(const void* bytes, size_t size) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t body = (size + page - 1) / page * page;
    length = body + page;
    void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return;
    base = static_cast<unsigned char*>(map);
    start = base + body - size;
    if (size) std::memcpy(start, bytes, size);
    mprotect(base, body, PROT_READ);
    mprotect(base + body, page, PROT_NONE);
  }
  explicit GuardedCopy(const QByteArray& bytes) : GuardedCopy(bytes.constData(), size_t(bytes.size())) {}
  ~GuardedCopy() {
    if (base) munmap(base, length);
  }
  GuardedCopy(const GuardedCopy&) = delete;
  GuardedCopy& operator=(const GuardedCopy&) = delete;
  const unsigned char* data() const { return start; }
  bool ok() const { return base != nullptr; }

 private:
  unsigned char* base = nullptr;
  unsigned char* start = nullptr;
  size_t length = 0;
};

}  // namespace qmtest

#endif
