// The main window's decisions without a screen: model names, what a reported
// name does, the page a selection answer calls for, the update documents and
// the meters' staleness; and the model table against itself.
#include <QtTest>

#include "mainwindowlogic.h"
#include "modelpages.h"

class TestMainWindowLogic : public QObject {
  Q_OBJECT

 private slots:
  void modelNames() {
    QCOMPARE(MainWindowLogic::modelOf("Tarrow"), ModelTarrow);
    QCOMPARE(MainWindowLogic::modelOf("Far Link"), ModelFarLink);
    QCOMPARE(MainWindowLogic::modelOf("Dorrit"), ModelDorrit);
    for (const char* other : {"tarrow", "FarLink", "Far Link ", "", "No Device", "Pellin\n"})
      QCOMPARE(MainWindowLogic::modelOf(other), ModelNone);
  }

  void reportedNames() {
    using I = MainWindowLogic::Identity;
    QCOMPARE(MainWindowLogic::identity("", "Tarrow", "Tarrow"), I::Cleared);
    QCOMPARE(MainWindowLogic::identity("Tarrow", "Tarrow", "Tarrow"), I::Unchanged);
    QCOMPARE(MainWindowLogic::identity("Tarrow", "No Device", "No Device"), I::Identified);
    // After a clear the same name counts again, although the window still
    // names it as the current one.
    QCOMPARE(MainWindowLogic::identity("Tarrow", "Tarrow", "No Device"), I::Identified);
    QCOMPARE(MainWindowLogic::identity("Quenby", "Tarrow", "Tarrow"), I::Identified);
    QCOMPARE(MainWindowLogic::identity("Tarrow II", "Tarrow", "Tarrow"), I::Unknown);
  }

  // Disconnecting shows the not-connected page once; reconnecting shows
  // the information page once, whatever page was up before.
  void pageSwitching() {
    bool lost = true;
    QCOMPARE(MainWindowLogic::pageForSelection(false, &lost), Page::Unchanged);
    QCOMPARE(MainWindowLogic::pageForSelection(true, &lost), Page::Information);
    QVERIFY(!lost);
    QCOMPARE(MainWindowLogic::pageForSelection(true, &lost), Page::Unchanged);
    QCOMPARE(MainWindowLogic::pageForSelection(false, &lost), Page::NotConnected);
    QVERIFY(lost);
    QCOMPARE(MainWindowLogic::pageForSelection(false, &lost), Page::Unchanged);
    QCOMPARE(MainWindowLogic::pageForSelection(true, &lost), Page::Information);
  }

  // The update document follows the identified model, never a label's text.
  void updateDocuments() {
    QCOMPARE(MainWindowLogic::updateDocument(ModelTarrow), UpdateDocument::Tarrow);
    QCOMPARE(MainWindowLogic::updateDocument(ModelFarLink), UpdateDocument::FarLink);
    for (Model m : {ModelQuenby, ModelPellin, ModelDorrit, ModelNone})
      QCOMPARE(MainWindowLogic::updateDocument(m), UpdateDocument::None);
    QCOMPARE(MainWindowLogic::documentOnModelChange(ModelFarLink, ModelTarrow), UpdateDocument::FarLink);
    QCOMPARE(MainWindowLogic::documentOnModelChange(ModelTarrow, ModelNone), UpdateDocument::Tarrow);
    QCOMPARE(MainWindowLogic::documentOnModelChange(ModelTarrow, ModelTarrow), UpdateDocument::None);
    QCOMPARE(MainWindowLogic::documentOnModelChange(ModelPellin, ModelTarrow), UpdateDocument::None);
  }

  void staleness() {
    MainWindowLogic logic;
    QVERIFY(logic.metersStale(0));  // nothing has arrived yet
    logic.freshAnswer(1000);
    QVERIFY(!logic.metersStale(1000));
    QVERIFY(!logic.metersStale(1999));
    QVERIFY(logic.metersStale(2000));  // a second without an answer
    logic.freshAnswer(5000);           // the next answer: live at once
    QVERIFY(!logic.metersStale(5000));
    logic.forgetAnswers();  // the levels are no longer the unit's
    QVERIFY(logic.metersStale(5001));
    logic.freshAnswer(5100);
    QVERIFY(!logic.metersStale(5100));
  }

  // Stored choices: 0 to 3 as they are, anything else the default 0.
  void storedChoices() {
    QCOMPARE(MainWindowLogic::meterSourceOf("3"), MeterSource::MtrReturn);
    QCOMPARE(MainWindowLogic::peakHoldTypeOf("2"), PeakHold::ThreeSeconds);
    for (const char* bad : {"", "4", "7", "-1", "abc", "1.5", "4294967297"}) {
      QCOMPARE(MainWindowLogic::meterSourceOf(bad), MeterSource::ChannelInput);
      QCOMPARE(MainWindowLogic::peakHoldTypeOf(bad), PeakHold::Off);
    }
  }

  // A stored buffer size counts only when it is exactly one of the sizes.
  void storedBufferSizes() {
    QCOMPARE(MainWindowLogic::bufferPosition(QVariant("2048")), 10);
    QCOMPARE(MainWindowLogic::bufferPosition(QVariant(4)), 0);
    QCOMPARE(MainWindowLogic::bufferPosition(QVariant(uint(256))), 7);
    for (const QVariant& bad : {QVariant(), QVariant(96), QVariant(qlonglong(4294967304LL)), QVariant("8.0"),
                                QVariant("0x100"), QVariant(256.5)})
      QVERIFY2(MainWindowLogic::bufferPosition(bad) == -1, qPrintable(bad.toString()));
    QCOMPARE(MainWindowLogic::bufferSizeAt(0), 4);
    QCOMPARE(MainWindowLogic::bufferSizeAt(11), 256);
    QCOMPARE(MainWindowLogic::bufferSizeAt(-1), 256);
  }

  // The table is consistent with itself: what a page shows fits its
  // columns and pairs, whatever model is added.
  void modelTableHoldsTogether() {
    for (int m = 0; m < ModelCount; ++m) {
      const ModelPage& page = kModelPages[m];
      QCOMPARE(MainWindowLogic::modelOf(page.name), Model(m));
      QCOMPARE(QString(page.labelTexts).split('|').size(), kMeterChannels);
      // Every label that shows belongs to a shown meter, and every pair
      // label's partner column lies under it.
      QCOMPARE(page.recLabels & ~page.meters.channels, 0u);
      QVERIFY(page.meters.barX);
      for (int k = 0; k < kMeterChannels; ++k) {
        if (!inSet(page.wideLabels, k)) continue;
        QVERIFY2(k + 1 < kMeterChannels && page.recX[k] + 60 >= page.recX[k + 1] + 26, page.name);
      }
      QVERIFY(page.masks >= 0 && page.masks <= 5);
      QVERIFY(page.recLamps <= kMeterChannels && page.mainRecState < kMeterChannels);
    }
  }
};

QTEST_MAIN(TestMainWindowLogic)
#include "tst_mainwindowlogic.moc"
