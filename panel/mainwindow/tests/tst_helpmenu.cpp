// The help menu: every entry leads somewhere, the web pages it opens for
// the shown model and language (caught by a URL handler, no browser), the
// licence dialog and the About box.
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryFile>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "helpdialogs.h"
#include "mainwindow.h"
#include "settingsstore.h"

class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void openUrl(const QUrl& url) { urls << url; }
};

class TestHelpMenu : public QObject {
  Q_OBJECT

  MainWindow* window = nullptr;
  UrlCatcher catcher;

  QUrl open(const char* action, const QString& model, QLocale::Language language) {
    window->findChild<QLabel*>("label_Device")->setText(model);
    QLocale::setDefault(QLocale(language));
    catcher.urls.clear();
    window->findChild<QAction*>(action)->trigger();
    QLocale::setDefault(QLocale::c());
    return catcher.urls.value(0);
  }

  // Runs an action whose dialog is modal; returns the dialog's title and size.
  QPair<QString, QSize> modalOf(const char* action) {
    QPair<QString, QSize> seen;
    QTimer::singleShot(50, [&seen] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      seen = {modal->windowTitle(), modal->size()};
      modal->close();
    });
    window->findChild<QAction*>(action)->trigger();
    return seen;
  }

 private slots:
  void initTestCase() {
    // No update document from outside the machine.
    writeSetting("Update", "JsonUrl", "https://127.0.0.1:9/none.json");
    writeSetting("PopupMessage", "WakeUp", false);  // no driver reminder to click away
    QDesktopServices::setUrlHandler("https", &catcher, "openUrl");
    window = new MainWindow;
    window->show();
  }

  void cleanupTestCase() {
    QDesktopServices::unsetUrlHandler("https");
    delete window;
  }

  // Every entry of the help menu leads somewhere: a web page, a dialog, or
  // the update check (which disables its entry while it runs).
  void everyHelpEntryDoesSomething() {
    QList<QAction*> entries;
    std::function<void(QMenu*)> walk = [&](QMenu* menu) {
      for (QAction* a : menu->actions()) {
        if (a->menu())
          walk(a->menu());
        else if (!a->isSeparator())
          entries << a;
      }
    };
    walk(window->findChild<QMenu*>("menuHelp"));
    QVERIFY(entries.size() >= 7);
    for (QAction* entry : entries) {
      entry->setEnabled(true);
      catcher.urls.clear();
      QString dialog;
      QTimer::singleShot(50, [&dialog] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
          dialog = modal->windowTitle();
          modal->close();
        }
      });
      // The update check disables its entry while it runs; a check that
      // fails at once may be enabled again by the next second's tick before
      // the wait is over, so the disabling is recorded when it happens.
      bool disabled = false;
      const QMetaObject::Connection watch =
          connect(entry, &QAction::changed, this, [&] { disabled = disabled || !entry->isEnabled(); });
      entry->trigger();
      QTest::qWait(100);
      disconnect(watch);
      const bool didSomething =
          !catcher.urls.isEmpty() || !dialog.isEmpty() || disabled || !entry->isEnabled();
      QVERIFY2(didSomething, qPrintable(entry->objectName()));
    }
  }

  void webPagesFollowModelAndLanguage() {
    const QString site = "https://www.korvel-audio.com";
    QCOMPARE(open("actionProduct_Information", "Far Link", QLocale::Japanese),
             QUrl(site + "/jp/product/farlink/top"));
    QCOMPARE(open("actionProduct_Information", "Tarrow", QLocale::German),
             QUrl(site + "/int/product/tarrow/top"));
    QCOMPARE(open("actionFAQ", "No Device", QLocale::English), QUrl(site + "/int/product/quenby/support"));
    QCOMPARE(open("actionFAQ", "Dorrit", QLocale::Japanese), QUrl(site + "/jp/product/dorrit/support"));
    // The manual ignores the language.
    QCOMPARE(open("actionManual", "Pellin", QLocale::Japanese), QUrl(site + "/int/product/pellin/docs"));
    QCOMPARE(open("actionManual", "Quenby", QLocale::French), QUrl(site + "/int/product/quenby/docs"));
    QCOMPARE(open("actionManual", "", QLocale::English), QUrl(site + "/int/product/quenby/docs"));
    QCOMPARE(open("actionKORVEL_ID", "Tarrow", QLocale::Japanese),
             QUrl("https://account.korvel-audio.jp/ja/customer/account/login"));
    QCOMPARE(open("actionKORVEL_ID", "Tarrow", QLocale::Italian),
             QUrl("https://account.korvel-audio.com/en/customer/account/login"));
  }

  void licenceDialog() {
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("Section 1\f\nSection 2 \xc3\xa9\f");
    file.close();
    QScopedPointer<QDialog> dialog(createLicenseDialog(file.fileName()));
    QVERIFY(dialog);
    QCOMPARE(dialog->findChild<QTextBrowser*>()->toPlainText(), QString("Section 1\nSection 2 é"));
    QVERIFY(!createLicenseDialog("/nonexistent/LICENSE.txt"));

    const auto seen = modalOf("actionLicense");
    QCOMPARE(seen.first, QString("License Information"));
    QCOMPARE(seen.second, QSize(650, 400));
    QScopedPointer<QDialog> real(createLicenseDialog());
    QVERIFY(real->findChild<QTextBrowser*>()->toPlainText().contains("KORVEL Brevanta Settings Panel"));
  }

  void aboutBox() {
    const auto seen = modalOf("actionKORVEL_Brevanta");
    QCOMPARE(seen.first, QString("KORVEL Brevanta Settings Panel"));
    QCOMPARE(seen.second, QSize(620, 230));
    QScopedPointer<QDialog> about(createAboutBox());
    QVERIFY(about->windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!(about->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QStringList texts;
    for (QLabel* l : about->findChildren<QLabel*>()) texts << l->text();
    QVERIFY(texts.contains("Software Ver. : V2.20 0042"));
    QVERIFY(texts.contains("ASIO Technology by Steinberg Media Technologies Gmbh."));
  }
};

QTEST_MAIN(TestHelpMenu)
#include "tst_helpmenu.moc"
