// The panel's translation: a compiled Qt translation file ("translate_" and
// the locale's name, next to the executable), checked before a translator
// reads it.
//
// QTranslator checks only a file's magic number and that each block fits in
// the file. Looking a text up, it follows the hash table, the context table and
// the lengths inside the message records without any bound, so one damaged
// byte can send it far outside the file (a crash at the first translated
// text). The check here follows every offset and length that a lookup of any
// context, text, comment and plural count can follow, and accepts a file only
// when all of them stay inside their block.
#ifndef PANEL_APP_TRANSLATIONFILE_H
#define PANEL_APP_TRANSLATIONFILE_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class QTranslator;

// Empty when `file` (the whole content of a translation file) is sound, else
// what is wrong with it. For a sound file, `dependencies` receives the names of
// the further translation files it names, and `ownPart` the file without its
// list of dependencies (what a translator needs for the file's own texts).
QString checkTranslationFile(const QByteArray& file, QStringList* dependencies = nullptr,
                             QByteArray* ownPart = nullptr);

// The file that QTranslator::load(name, directory) opens: name + ".qm", name,
// then name cut at its last "_" or "." with and without ".qm", and so on.
// Empty when there is none.
QString findTranslationFile(const QString& name, const QString& directory);

// The translators of one translation file and the files it depends on, each
// loaded from a checked copy of its file kept in memory.
class CheckedTranslation {
 public:
  CheckedTranslation();
  ~CheckedTranslation();
  CheckedTranslation(const CheckedTranslation&) = delete;
  CheckedTranslation& operator=(const CheckedTranslation&) = delete;

  // Loads `name` as QTranslator::load(name, directory) finds it, with the files
  // it depends on. False when there is no such file (problem() empty) or when
  // one of the files is damaged or unreadable (problem() says which and why);
  // nothing is loaded then.
  bool load(const QString& name, const QString& directory);
  // Installs the loaded translators into the application: the named file is
  // searched first, then the files it depends on, in their order.
  void install();
  QString problem() const { return why; }
  // The file found for the name (empty: none).
  QString fileName() const { return found; }

 private:
  struct Loaded;
  bool loadFile(const QString& path, const QString& directory, QStringList& chain);

  // In the order of the search: each file before the files it depends on.
  std::vector<std::unique_ptr<Loaded>> loaded;
  QString why;
  QString found;
};

#endif
