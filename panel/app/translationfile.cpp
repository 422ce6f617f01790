// Checking and loading the panel's translation file.
//
// Layout of a compiled translation file (all numbers big-endian):
//   16 bytes of magic, then blocks of tag (1 byte), length (4), data; a tag or
//   length of 0, or fewer than 6 bytes left, ends the list. A later block of a
//   kind replaces an earlier one.
//   - hashes: 8-byte entries of text hash and offset of a message record;
//   - messages: records of tagged fields (translation, source text, context,
//     comment: a 4-byte length and the bytes) up to an end tag;
//   - contexts: a bucket count, that many 2-byte offsets (in units of two
//     bytes, counted from after the table; 0 for an empty bucket), then lists
//     of length-prefixed names, each list ended by a zero length;
//   - plural rules: byte code choosing a translation by a count;
//   - dependencies: names of further translation files, each a 4-byte length
//     and UTF-16 text.
#include "translationfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTranslator>
#include <QtEndian>
#include <cstring>

namespace {

const uchar kMagic[16] = {0x3c, 0xb8, 0x64, 0x18, 0xca, 0xef, 0x9c, 0x95,
                          0xcd, 0x21, 0x1c, 0xbf, 0x60, 0xa1, 0xbd, 0xdd};

enum BlockTag : uchar {
  kContexts = 0x2f,
  kHashes = 0x42,
  kMessages = 0x69,
  kPluralRules = 0x88,
  kDependencies = 0x96,
};

enum FieldTag : uchar {
  kFieldEnd = 1,
  kFieldTranslation = 3,
  kFieldObsolete = 5,
  kFieldSourceText = 6,
  kFieldContext = 7,
  kFieldComment = 8,
};

enum RuleCode : uchar {
  kRuleEqual = 1,
  kRuleLess = 2,
  kRuleLessOrEqual = 3,
  kRuleBetween = 4,
  kRuleOperatorMask = 7,
  kRuleAnd = 0xfd,
  kRuleOr = 0xfe,
  kRuleNext = 0xff,
};

// A translation length that stands for "no translation": the lookup ends there.
constexpr quint32 kNoTranslation = 0xffffffffu;

// Translation files are a few hundred kilobytes at most.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
// Files naming files: how deep, and how many in all.
constexpr int kMaxDependencyDepth = 8;
constexpr int kMaxFiles = 32;

quint32 read16(const uchar* p) {
  return qFromBigEndian<quint16>(p);
}
quint32 read32(const uchar* p) {
  return qFromBigEndian<quint32>(p);
}

struct Block {
  const uchar* data = nullptr;
  size_t size = 0;
};

struct Blocks {
  Block contexts, hashes, messages, rules, dependencies;
  // Byte ranges (header included) of every block but the dependencies.
  std::vector<std::pair<size_t, size_t>> own;
};

QString readBlocks(const uchar* d, size_t n, Blocks* b) {
  if (n < sizeof kMagic || std::memcmp(d, kMagic, sizeof kMagic) != 0)
    return QStringLiteral("not a translation file");
  size_t pos = sizeof kMagic;
  while (pos + 5 < n) {
    const size_t start = pos;
    const uchar tag = d[pos];
    const size_t length = read32(d + pos + 1);
    pos += 5;
    if (tag == 0 || length == 0) break;
    if (length > n - pos)
      return QStringLiteral("a block of %1 bytes at byte %2 runs past the end of the file")
          .arg(length)
          .arg(start);
    const Block block{d + pos, length};
    switch (tag) {
      case kContexts:
        b->contexts = block;
        break;
      case kHashes:
        b->hashes = block;
        break;
      case kMessages:
        b->messages = block;
        break;
      case kPluralRules:
        b->rules = block;
        break;
      case kDependencies:
        b->dependencies = block;
        break;
      default:
        break;  // unknown blocks are skipped
    }
    if (tag != kDependencies) b->own.emplace_back(start, pos + length);
    pos += length;
  }
  return QString();
}

// Every bucket of the context table leads to a list of names that ends inside
// the block.
QString checkContexts(const Block& c) {
  if (c.size == 0) return QString();
  if (c.size < 2) return QStringLiteral("the context table is cut short");
  const size_t buckets = read16(c.data);
  if (buckets == 0) return QStringLiteral("the context table has no buckets");
  const size_t poolStart = 2 + 2 * buckets;
  if (poolStart > c.size) return QStringLiteral("the context table is longer than its block");
  const uchar* pool = c.data + poolStart;
  const size_t poolSize = c.size - poolStart;
  // ends[p]: the list of names from byte p on ends with a zero length in the block.
  std::vector<bool> ends(poolSize, false);
  for (size_t p = poolSize; p-- > 0;) {
    const size_t next = p + 1 + pool[p];
    ends[p] = pool[p] == 0 || (next < poolSize && ends[next]);
  }
  for (size_t i = 0; i < buckets; ++i) {
    const size_t offset = 2 * size_t(read16(c.data + 2 + 2 * i));
    if (offset == 0) continue;
    if (offset >= poolSize || !ends[offset])
      return QStringLiteral("context bucket %1 points outside the context names").arg(i);
  }
  return QString();
}

// The fields of the message record at `start`, as far as a lookup reads them.
// `checked` marks field positions from which the rest was checked before.
QString checkRecord(const Block& m, size_t start, std::vector<bool>& checked) {
  if (start >= m.size) return QStringLiteral("a text points outside the messages");
  const QString bad = QStringLiteral("the message at byte %1 runs past its block").arg(start);
  for (size_t p = start; p < m.size && !checked[p];) {
    checked[p] = true;
    const uchar tag = m.data[p];
    const size_t field = p + 1;
    if (tag == kFieldEnd) return QString();
    if (tag == kFieldObsolete) {
      if (m.size - field < 4) return bad;
      p = field + 4;
      continue;
    }
    if (tag != kFieldTranslation && tag != kFieldSourceText && tag != kFieldContext && tag != kFieldComment)
      return QString();  // any other tag ends a lookup
    if (m.size - field < 4) return bad;
    const size_t length = read32(m.data + field);
    if (tag == kFieldTranslation && length == kNoTranslation) return QString();
    if (length > m.size - field - 4) return bad;
    // A lookup reads the first byte of a comment even when it is empty.
    if (tag == kFieldComment && length == 0 && field + 4 >= m.size) return bad;
    p = field + 4 + length;
  }
  return QString();
}

QString checkMessages(const Block& hashes, const Block& messages) {
  if (hashes.size % 8 != 0) return QStringLiteral("the hash table ends in a partial entry");
  std::vector<bool> checked(messages.size, false);
  for (size_t e = 0; e < hashes.size; e += 8) {
    const QString problem = checkRecord(messages, read32(hashes.data + e + 4), checked);
    if (!problem.isEmpty()) return problem;
  }
  return QString();
}

// The plural rules: comparisons of the count with one or two operands, joined
// by and, or, or the start of the next form's rule.
bool pluralRulesValid(const Block& r) {
  size_t i = 0;
  while (i < r.size) {
    const uchar code = r.data[i];
    if (code & 0x80) return false;
    const uchar op = code & kRuleOperatorMask;
    const size_t operands = op == kRuleBetween ? 2 : 1;
    if (op != kRuleEqual && op != kRuleLess && op != kRuleLessOrEqual && op != kRuleBetween) return false;
    i += 1 + operands;
    if (i > r.size) return false;
    if (i == r.size) return true;
    const uchar joint = r.data[i];
    if (joint != kRuleAnd && joint != kRuleOr && joint != kRuleNext) return false;
    if (++i == r.size) return false;
  }
  return true;
}

QString readDependencies(const Block& b, QStringList* names) {
  size_t p = 0;
  while (p < b.size) {
    if (b.size - p < 4) return QStringLiteral("the list of dependencies is cut short");
    const size_t bytes = read32(b.data + p);
    p += 4;
    if (bytes == 0 || bytes == kNoTranslation) return QStringLiteral("a dependency has no name");
    if (bytes % 2 != 0 || bytes > b.size - p)
      return QStringLiteral("a dependency's name runs past its block");
    QString name;
    name.reserve(int(bytes / 2));
    for (size_t k = 0; k < bytes; k += 2) name.append(QChar(ushort(read16(b.data + p + k))));
    p += bytes;
    if (names) names->append(name);
  }
  return QString();
}

}  // namespace

QString checkTranslationFile(const QByteArray& file, QStringList* dependencies, QByteArray* ownPart) {
  const auto* d = reinterpret_cast<const uchar*>(file.constData());
  const size_t n = size_t(file.size());
  Blocks b;
  QString problem = readBlocks(d, n, &b);
  if (problem.isEmpty()) problem = checkContexts(b.contexts);
  if (problem.isEmpty()) problem = checkMessages(b.hashes, b.messages);
  if (problem.isEmpty() && !pluralRulesValid(b.rules))
    problem = QStringLiteral("the plural rules are invalid");
  QStringList names;
  if (problem.isEmpty()) problem = readDependencies(b.dependencies, &names);
  if (!problem.isEmpty()) return problem;

  if (dependencies) *dependencies = names;
  if (ownPart) {
    if (!b.dependencies.data) {
      *ownPart = file;
    } else {
      QByteArray own(file.constData(), int(sizeof kMagic));
      for (const auto& range : b.own)
        own.append(file.constData() + range.first, int(range.second - range.first));
      *ownPart = own;
    }
  }
  return QString();
}

QString findTranslationFile(const QString& name, const QString& directory) {
  QString prefix;
  if (QFileInfo(name).isRelative()) {
    prefix = directory;
    if (!prefix.isEmpty() && !prefix.endsWith(QLatin1Char('/'))) prefix += QLatin1Char('/');
  }
  QString stem = name;
  for (;;) {
    for (const QString& candidate : {prefix + stem + QStringLiteral(".qm"), prefix + stem}) {
      const QFileInfo info(candidate);
      if (info.isReadable() && info.isFile()) return candidate;
    }
    const int cut = qMax(stem.lastIndexOf(QLatin1Char('_')), stem.lastIndexOf(QLatin1Char('.')));
    if (cut <= 0) return QString();
    stem.truncate(cut);
  }
}

// A translator and the checked bytes it reads: the translator does not copy
// them, and it is destroyed first.
struct CheckedTranslation::Loaded {
  QByteArray bytes;
  QTranslator translator;
};

CheckedTranslation::CheckedTranslation() = default;
CheckedTranslation::~CheckedTranslation() = default;

bool CheckedTranslation::load(const QString& name, const QString& directory) {
  loaded.clear();
  why.clear();
  found = findTranslationFile(name, directory);
  if (found.isEmpty()) return false;
  QStringList chain;
  if (loadFile(found, directory, chain)) return true;
  loaded.clear();
  return false;
}

bool CheckedTranslation::loadFile(const QString& path, const QString& directory, QStringList& chain) {
  const QString canonical = QFileInfo(path).canonicalFilePath();
  if (chain.contains(canonical)) {
    why = path + QStringLiteral(": the file depends on itself");
    return false;
  }
  if (chain.size() >= kMaxDependencyDepth || int(loaded.size()) >= kMaxFiles) {
    why = path + QStringLiteral(": too many files depend on further files");
    return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    why = path + QStringLiteral(": ") + file.errorString();
    return false;
  }
  const QByteArray bytes = file.read(kMaxFileBytes + 1);
  if (bytes.size() > kMaxFileBytes) {
    why = path + QStringLiteral(": larger than %1 bytes").arg(kMaxFileBytes);
    return false;
  }
  QStringList dependencies;
  auto entry = std::make_unique<Loaded>();
  const QString problem = checkTranslationFile(bytes, &dependencies, &entry->bytes);
  if (!problem.isEmpty()) {
    why = path + QStringLiteral(": ") + problem;
    return false;
  }
  if (!entry->translator.load(reinterpret_cast<const uchar*>(entry->bytes.constData()), entry->bytes.size(),
                              directory)) {
    why = path + QStringLiteral(": the translator refused it");
    return false;
  }
  loaded.push_back(std::move(entry));
  chain.append(canonical);
  for (const QString& dependency : dependencies) {
    const QString dependencyPath = findTranslationFile(dependency, directory);
    if (dependencyPath.isEmpty()) {
      why = path + QStringLiteral(": the file it depends on, %1, is missing").arg(dependency);
      return false;
    }
    if (!loadFile(dependencyPath, directory, chain)) return false;
  }
  chain.removeLast();
  return true;
}

void CheckedTranslation::install() {
  // The translator installed last is searched first.
  for (auto it = loaded.rbegin(); it != loaded.rend(); ++it)
    QCoreApplication::installTranslator(&(*it)->translator);
}
