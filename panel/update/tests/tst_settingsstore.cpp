// The settings store: defaults without a file, text read-back of every
// written type and of hand-edited forms, non-ASCII and punctuation-laden
// texts, and the file location.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include "settingsstore.h"

class TestSettingsStore : public QObject {
  Q_OBJECT

 private:
  QString iniPath() const {
    return QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).filePath("KORVEL/Brevanta.ini");
  }

 private slots:
  void init() { QFile::remove(iniPath()); }

  void defaultsWithoutFile() {
    QVERIFY(!QFile::exists(iniPath()));
    QCOMPARE(loadSoftDialog(), QString());
    QCOMPARE(loadFirmDialog(), QString());
    QCOMPARE(loadInfoDialog(), QString());
    QCOMPARE(loadJsonUrl(), QString());
    QCOMPARE(loadMeterSource().toUInt(nullptr, 10), 0u);
    QCOMPARE(loadPeakHoldType().toInt(nullptr, 10), 0);
    // Reading creates no file.
    QVERIFY(!QFile::exists(iniPath()));

    QScopedPointer<QSettings> main(newPanelSettings());
    main->beginGroup("PopupMessage");
    QCOMPARE(main->value("WakeUp", true).toBool(), true);
    main->endGroup();
  }

  void numbersReadBackAsText() {
    saveMeterSource(2);
    QCOMPARE(loadMeterSource(), QString("2"));
    savePeakHoldType(7);
    QCOMPARE(loadPeakHoldType(), QString("7"));
    writeSetting("PopupMessage", "WakeUp", false);
    QCOMPARE(readSetting("PopupMessage", "WakeUp"), QString("false"));
    // The file sits in the user's configuration folder under KORVEL.
    QVERIFY(QFile::exists(iniPath()));
  }

  // Values as a user or another program may leave them in the file: the store
  // hands each on as the text it stands for (the caller converts it), and
  // reading changes nothing in the file.
  void storedFormsReadBackAsText_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("text");
    QTest::newRow("number") << QByteArray("Source=2") << "2";
    QTest::newRow("not a number") << QByteArray("Source=abc") << "abc";
    QTest::newRow("empty") << QByteArray("Source=") << "";
    QTest::newRow("quoted") << QByteArray("Source=\"3\"") << "3";
    QTest::newRow("blanks around") << QByteArray("Source =  1  ") << "1";
    QTest::newRow("comment after") << QByteArray("Source=2 ; chosen on stage") << "2";
    QTest::newRow("typed number") << QByteArray("Source=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x3)") << "3";
    QTest::newRow("typed text") << QByteArray("Source=@String(7)") << "7";
    QTest::newRow("a list is no one value") << QByteArray("Source=1, 2") << "";
    QTest::newRow("a typed value of no text") << QByteArray("Source=@Rect(1 2 3 4)") << "";
    QTest::newRow("another key") << QByteArray("Sources=2") << "";
  }
  void storedFormsReadBackAsText() {
    QFETCH(QByteArray, line);
    QFETCH(QString, text);
    QDir().mkpath(QFileInfo(iniPath()).path());
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray content = "[Meter]\n" + line + "\n[Other]\nSource=9\n";
    file.write(content);
    file.close();
    QCOMPARE(loadMeterSource(), text);
    QCOMPARE(readSetting("Meter", "Source"), text);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
  }

  void textsSurviveUnchanged_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("japanese") << QString::fromUtf8("新しいファームウェアがあります。<p>更新しますか?");
    QTest::newRow("chinese") << QString::fromUtf8("当使用Settings Panel时,<p>请确认。");
    QTest::newRow("german umlauts") << QString::fromUtf8("Größe ändern, bitte prüfen");
    QTest::newRow("commas and quotes") << QString::fromUtf8("a, b, \"c\"; d=e [f] \\g");
    QTest::newRow("html with newlines") << QString::fromUtf8("<b>Info</b>\n<br>Zeile 2\r\nend");
    QTest::newRow("leading at sign") << QString::fromUtf8("@Variant(not really)");
    QTest::newRow("version") << QString("2.21");
  }

  void textsSurviveUnchanged() {
    QFETCH(QString, text);
    saveInfoDialog(text);
    QCOMPARE(loadInfoDialog(), text);
    saveSoftDialog(text);
    QCOMPARE(loadSoftDialog(), text);
    saveFirmDialog(text);
    QCOMPARE(loadFirmDialog(), text);
    // The stored form is UTF-8 text, readable by any INI reader.
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = file.readAll();
    if (text.contains(QChar(0x65B0))) QVERIFY(raw.contains(QString::fromUtf8("新しい").toUtf8()));
  }

  void updateActionLeavesEmptyKeys() {
    saveSoftDialog("2.21");
    saveFirmDialog("1.06");
    // What the Update menu action writes.
    saveSoftDialog(QString());
    saveFirmDialog(QString());
    QSettings raw(iniPath(), QSettings::IniFormat);
    QVERIFY(raw.contains("Update/SoftDialog"));
    QVERIFY(raw.contains("Update/FirmDialog"));
    QCOMPARE(loadSoftDialog(), QString());
    QCOMPARE(loadFirmDialog(), QString());
  }

  void jsonUrlOverrideIsRead() {
    writeSetting("Update", "JsonUrl", "https://127.0.0.1:8443/info.json");
    QCOMPARE(loadJsonUrl(), QString("https://127.0.0.1:8443/info.json"));
  }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
