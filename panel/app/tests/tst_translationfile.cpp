// The panel's translation file: a sound file translates every text (the
// locale's fallbacks found as the translator finds them); damaged copies of it
// never crash and leave the built-in texts; each structural fault that would
// send a translator out of its file is refused by name; files naming further
// files are loaded and checked alike; and the panel program starts, with a
// warning, beside a file that would crash it at the first translated text.
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include "qmtestutil.h"
#include "translationfile.h"

namespace {

const char kMagic[] = "\x3c\xb8\x64\x18\xca\xef\x9c\x95\xcd\x21\x1c\xbf\x60\xa1\xbd\xdd";

QByteArray be32(quint32 v) {
  QByteArray out(4, '\0');
  qToBigEndian(v, reinterpret_cast<uchar*>(out.data()));
  return out;
}

QByteArray utf16(const QString& s) {
  QByteArray out;
  for (QChar c : s) out += char(c.unicode() >> 8) + QByteArray(1, char(c.unicode() & 0xff));
  return out;
}

QByteArray field(uchar tag, const QByteArray& data) {
  return char(tag) + be32(quint32(data.size())) + data;
}

QByteArray qm(const QList<QPair<uchar, QByteArray>>& blocks) {
  QByteArray f(kMagic, 16);
  for (const auto& b : blocks) f += char(b.first) + be32(quint32(b.second.size())) + b.second;
  return f;
}

uint elfHash(const char* text) {
  uint h = 0;
  for (const uchar* k = reinterpret_cast<const uchar*>(text); *k; ++k) {
    h = (h << 4) + *k;
    const uint g = h & 0xf0000000;
    if (g) h ^= g >> 24;
    h &= ~g;
  }
  return h ? h : 1;
}

// MainWindow / Meter -> Pegel, with a context table.
const QByteArray kKeyFields = field(8, "") + field(6, "Meter") + field(7, "MainWindow") + '\x01';
const QByteArray kRecord = field(3, utf16("Pegel")) + kKeyFields;
const QByteArray kHashEntry = be32(elfHash("Meter")) + be32(0);
const QByteArray kContextTable =
    QByteArray("\x00\x01\x00\x01", 4) + QByteArray(2, '\0') + '\x0a' + "MainWindow" + '\0';

QByteArray smallFile(const QByteArray& record = kRecord, const QByteArray& hashes = kHashEntry,
                     const QByteArray& contexts = kContextTable) {
  return qm({{qmtest::kContexts, contexts}, {qmtest::kHashes, hashes}, {qmtest::kMessages, record}});
}

QByteArray dependencies(const QStringList& names) {
  QByteArray out;
  for (const QString& n : names) out += be32(quint32(n.size() * 2)) + utf16(n);
  return out;
}

QByteArray dependencyBlock(const QStringList& names) {
  const QByteArray list = dependencies(names);
  return char(qmtest::kDependencies) + be32(quint32(list.size())) + list;
}

std::vector<qmtest::Key> operator+(std::vector<qmtest::Key> a, const std::vector<qmtest::Key>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString lookUp(const char* context, const char* text, const char* comment = nullptr, int n = -1) {
  return QCoreApplication::translate(context, text, comment, n);
}

}  // namespace

class TestTranslationFile : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QByteArray valid;  // compiled from translate_de_DE.ts at build time

  QString path(const QString& name) const { return dir.filePath(name); }

  // Every text of the source file, in several plural forms, through the
  // installed translators.
  void lookUpEveryText() {
    for (const qmtest::Key& k : qmtest::keys(valid)) {
      for (int n : {-1, 0, 1, 2, 7, 1001}) {
        (void)lookUp(k.context.c_str(), k.source.c_str(), k.comment.c_str(), n);
        (void)lookUp(k.context.c_str(), k.source.c_str(), nullptr, n);
      }
    }
    (void)lookUp("NoSuchContext", "Meter");
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    valid = readAll(PANEL_TEST_QM_PATH);
    QVERIFY2(valid.size() > 100, PANEL_TEST_QM_PATH);
  }

  void cleanup() {
    for (const QString& f : QDir(dir.path()).entryList(QDir::Files)) QFile::remove(path(f));
  }

  void soundFileTranslatesEveryText() {
    QVERIFY(writeFile(path("translate_de_DE.qm"), valid));
    {
      CheckedTranslation translation;
      QVERIFY2(translation.load("translate_de_DE", dir.path()), qPrintable(translation.problem()));
      QCOMPARE(translation.fileName(), path("translate_de_DE.qm"));
      translation.install();
      QCOMPARE(lookUp("MainWindow", "Meter"), QString("Pegel"));
      QCOMPARE(lookUp("MainWindow", "Buffer Size"), QString::fromUtf8("Puffergröße"));
      QCOMPARE(lookUp("HelpDialogs", "About"), QString::fromUtf8("Über"));
      QCOMPARE(lookUp("MainWindow", "OFF", "rec function"), QString("INAKTIV"));
      QCOMPARE(lookUp("MainWindow", "OFF", "peak hold"), QString("AUS"));
      QCOMPARE(lookUp("MainWindow", "%n samples", nullptr, 1), QString("1 Sample"));
      QCOMPARE(lookUp("MainWindow", "%n samples", nullptr, 256), QString("256 Samples"));
      QCOMPARE(lookUp("MainWindow", "Not translated"), QString("Not translated"));
    }
    // Gone with the object.
    QCOMPARE(lookUp("MainWindow", "Meter"), QString("Meter"));
  }

  void localeFallbacksAreFoundAsTheTranslatorFindsThem() {
    QVERIFY(writeFile(path("translate_de.qm"), valid));
    CheckedTranslation translation;
    QVERIFY(translation.load("translate_de_AT", dir.path()));
    QCOMPARE(translation.fileName(), path("translate_de.qm"));
    QVERIFY(writeFile(path("translate_de_AT"), valid));  // the name itself, without ".qm"
    QCOMPARE(findTranslationFile("translate_de_AT", dir.path()), path("translate_de_AT"));
    // No file at all is no problem: the built-in texts stay.
    QVERIFY(!translation.load("translate_fr_FR", dir.path()));
    QVERIFY(translation.problem().isEmpty());
  }

  void damagedCopiesNeverCrashAndLeaveTheBuiltInTexts() {
    QRandomGenerator random(19);
    int refused = 0;
    for (int copy = 0; copy < 30; ++copy) {
      QByteArray bytes = valid;
      const int changes = 1 + int(random.bounded(4));
      for (int k = 0; k < changes; ++k) bytes[int(random.bounded(bytes.size()))] = char(random.bounded(256));
      QVERIFY(writeFile(path("translate_de_DE.qm"), bytes));

      QByteArray own;
      const QString problem = checkTranslationFile(bytes, nullptr, &own);
      if (problem.isEmpty()) {
        // What the check accepts, a translator reads without leaving the file.
        qmtest::GuardedCopy guarded(own);
        QTranslator translator;
        QVERIFY(translator.load(guarded.data(), own.size()));
        for (const qmtest::Key& k : qmtest::keys(valid) + qmtest::keys(own))
          for (int n : {-1, 1, 2, 1001})
            (void)translator.translate(k.context.c_str(), k.source.c_str(), k.comment.c_str(), n);
      }

      CheckedTranslation translation;
      const bool loaded = translation.load("translate_de_DE", dir.path());
      QCOMPARE(loaded, problem.isEmpty());
      translation.install();
      lookUpEveryText();
      if (!loaded) {
        ++refused;
        QVERIFY2(translation.problem().startsWith(path("translate_de_DE.qm") + ": "),
                 qPrintable(translation.problem()));
        QCOMPARE(lookUp("MainWindow", "Meter"), QString("Meter"));
      }
    }
    // The damage reached the file's structure, not only its texts.
    QVERIFY(refused >= 3);
  }

  void structuralFaultsAreRefused_data() {
    QTest::addColumn<QByteArray>("file");
    QByteArray cut = smallFile();
    cut.chop(3);
    QTest::newRow("not a translation file") << QByteArray("plain text, not compiled at all");
    QTest::newRow("block runs past the end of the file") << cut;
    QTest::newRow("hash entry beyond the messages") << smallFile(kRecord, be32(elfHash("Meter")) + be32(500));
    QTest::newRow("hash table ends in a partial entry") << smallFile(kRecord, kHashEntry + be32(7));
    QTest::newRow("translation runs past its block")
        << smallFile(char(3) + be32(1000) + utf16("Pegel") + field(6, "Meter") + '\x01');
    // Qt steps back by the length: a loop for ever, or reads before the block.
    QTest::newRow("negative translation length")
        << smallFile(char(3) + be32(0xfffffffb) + field(6, "Meter") + '\x01');
    QTest::newRow("source text runs past its block")
        << smallFile(field(3, utf16("Pegel")) + char(6) + be32(99) + "Meter");
    QTest::newRow("empty comment ends the block") << smallFile(field(3, utf16("Pegel")) + field(8, ""));
    QTest::newRow("obsolete field cut short") << smallFile(QByteArray("\x05\x00\x00", 3));
    // Qt divides by the bucket count.
    QTest::newRow("context table without buckets") << smallFile(kRecord, kHashEntry, QByteArray(2, '\0'));
    QTest::newRow("context table longer than its block")
        << smallFile(kRecord, kHashEntry, QByteArray("\x00\x32\x00\x01", 4));
    QTest::newRow("context bucket beyond the names") << smallFile(
        kRecord, kHashEntry, QByteArray("\x00\x01\x00\x40", 4) + QByteArray(2, '\0') + "\x02MW" + '\0');
    QTest::newRow("context names without an end") << smallFile(
        kRecord, kHashEntry, QByteArray("\x00\x01\x00\x01", 4) + QByteArray(2, '\0') + "\x0aMainWindow");
    QTest::newRow("plural rule without its operand")
        << smallFile() + char(qmtest::kPluralRules) + be32(1) + '\x01';
    QTest::newRow("dependency name cut short") << qm({{qmtest::kDependencies, be32(10) + utf16("ab")}});
    QTest::newRow("dependency without a name") << qm({{qmtest::kDependencies, be32(0)}});
  }
  void structuralFaultsAreRefused() {
    QFETCH(QByteArray, file);
    QVERIFY2(!checkTranslationFile(file).isEmpty(), file.toHex().constData());
  }

  void soundVariantsAreAccepted_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("small file") << smallFile();
    QTest::newRow("without a context table")
        << qm({{qmtest::kHashes, kHashEntry}, {qmtest::kMessages, kRecord}});
    QTest::newRow("missing translation") << smallFile(char(3) + be32(0xffffffff) + kRecord);
    QTest::newRow("unknown block") << qm({{0xa7, "de_DE"}}) + smallFile().mid(16);
    // The translator takes the last block of a kind, and stops at a zero tag.
    QTest::newRow("damaged block replaced by a later one")
        << qm({{qmtest::kHashes, be32(1) + be32(9999)}}) + smallFile().mid(16);
    QTest::newRow("damage after the end mark")
        << smallFile() + QByteArray(5, '\0') + char(qmtest::kHashes) + be32(9);
  }
  void soundVariantsAreAccepted() {
    QFETCH(QByteArray, file);
    const QString problem = checkTranslationFile(file);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(writeFile(path("translate_xx.qm"), file));
    CheckedTranslation translation;
    QVERIFY(translation.load("translate_xx", dir.path()));
    translation.install();
    const QString meter = lookUp("MainWindow", "Meter");
    QVERIFY2(meter == "Pegel" ||
                 (meter == "Meter" && QByteArray(QTest::currentDataTag()) == "missing translation"),
             qPrintable(meter));
  }

  void dependenciesAreLoadedAndCheckedAlike() {
    QVERIFY(writeFile(path("translate_extra.qm"), valid));
    QVERIFY(
        writeFile(path("translate_xx.qm"), QByteArray(kMagic, 16) + dependencyBlock({"translate_extra"})));
    {
      CheckedTranslation translation;
      QVERIFY2(translation.load("translate_xx", dir.path()), qPrintable(translation.problem()));
      translation.install();
      QCOMPARE(lookUp("MainWindow", "Meter"), QString("Pegel"));
    }
    // Its own texts come before those of the file it names.
    QVERIFY(writeFile(path("translate_xx.qm"), smallFile(field(3, utf16("Meter (eigen)")) + kKeyFields) +
                                                   dependencyBlock({"translate_extra"})));
    {
      CheckedTranslation translation;
      QVERIFY2(translation.load("translate_xx", dir.path()), qPrintable(translation.problem()));
      translation.install();
      QCOMPARE(lookUp("MainWindow", "Meter"), QString("Meter (eigen)"));
      QCOMPARE(lookUp("HelpDialogs", "About"), QString::fromUtf8("Über"));
    }
    // A damaged file further down refuses the whole translation.
    QByteArray damaged = valid;
    damaged.chop(10);
    QVERIFY(writeFile(path("translate_extra.qm"), damaged));
    CheckedTranslation translation;
    QVERIFY(!translation.load("translate_xx", dir.path()));
    QVERIFY2(translation.problem().startsWith(path("translate_extra.qm")), qPrintable(translation.problem()));
    // A missing one too.
    QFile::remove(path("translate_extra.qm"));
    QVERIFY(!translation.load("translate_xx", dir.path()));
    QVERIFY2(translation.problem().contains("translate_extra, is missing"),
             qPrintable(translation.problem()));
    // A file that names itself (the translator itself would recurse until the stack ends).
    QVERIFY(writeFile(path("translate_xx.qm"), QByteArray(kMagic, 16) + dependencyBlock({"translate_xx"})));
    QVERIFY(!translation.load("translate_xx", dir.path()));
    QVERIFY2(translation.problem().contains("depends on itself"), qPrintable(translation.problem()));
    translation.install();
    QCOMPARE(lookUp("MainWindow", "Meter"), QString("Meter"));
  }

  void panelStartsUntranslatedBesideAFileThatWouldCrashIt() {
    // A copy of the program with a translation whose context table has no
    // buckets: a translator divides by zero at the first text of the window.
    const QString program = path("Brevanta_Settings_Panel");
    QVERIFY(QFile::copy(PANEL_PROGRAM_PATH, program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(PANEL_PROGRAM_PATH)));
    QVERIFY(writeFile(path("translate_de_DE.qm"),
                      valid + char(qmtest::kContexts) + be32(2) + QByteArray(2, '\0')));
    QSettings(QSettings::IniFormat, QSettings::UserScope, "KORVEL", "Brevanta")
        .setValue("PopupMessage/WakeUp", false);

    QProcess panel;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "de_DE.UTF-8");
    env.insert("QT_LOGGING_RULES", "default.debug=true");
    panel.setProcessEnvironment(env);
    panel.setProcessChannelMode(QProcess::MergedChannels);
    panel.start(program, QStringList());
    QVERIFY(panel.waitForStarted(30000));
    QByteArray output;
    QDeadlineTimer deadline(60000);
    while (!output.contains("height") && panel.state() == QProcess::Running && !deadline.hasExpired()) {
      panel.waitForReadyRead(200);
      output += panel.readAll();
    }
    output += panel.readAll();
    QVERIFY2(panel.state() == QProcess::Running, output.constData());
    QVERIFY2(output.contains("translation not loaded: " + path("translate_de_DE.qm").toUtf8() +
                             ": the context table has no buckets"),
             output.constData());
    panel.terminate();
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
  }
};

QTEST_GUILESS_MAIN(TestTranslationFile)
#include "tst_translationfile.moc"
