// Arbitrary bytes as the panel's translation file. The check must stay inside
// them (the sanitizers watch), and a translator given a file the check
// accepted must look up every text of the file, and texts it lacks, in every
// plural form, without reading outside the file (a guard page watches, as Qt
// itself is built without sanitizers).
#include <QTranslator>
#include <cstdlib>

#include "qmtestutil.h"
#include "translationfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const QByteArray file(reinterpret_cast<const char*>(data), int(size));
  QByteArray own;
  if (!checkTranslationFile(file, nullptr, &own).isEmpty()) return 0;

  qmtest::GuardedCopy copy(own);
  if (!copy.ok()) return 0;
  QTranslator translator;
  // The check accepts only what the translator loads.
  if (!translator.load(copy.data(), own.size())) std::abort();
  std::vector<qmtest::Key> keys = qmtest::keys(own);
  keys.push_back({"MainWindow", "Meter", ""});
  keys.push_back({"", "", ""});
  for (const qmtest::Key& key : keys) {
    for (int n : {-1, 0, 1, 2, 3, 5, 11, 22, 101, 1001, 1000000}) {
      (void)translator.translate(key.context.c_str(), key.source.c_str(), key.comment.c_str(), n);
      (void)translator.translate(key.context.c_str(), key.source.c_str(), nullptr, n);
    }
  }
  return 0;
}
