// The licence dialog and the About box.
#include "helpdialogs.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "constants.h"

namespace {

QFont arial(int pixels, bool bold = false) {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

}  // namespace

QDialog* createLicenseDialog(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return nullptr;
  QString text = QString::fromUtf8(file.readAll());
  text.remove(QChar(0x0C));

  auto* dialog = new QDialog();
  dialog->setWindowTitle(QCoreApplication::translate("MainWindow", "License Information"));
  dialog->setFixedSize(650, 400);
  auto* layout = new QVBoxLayout(dialog);
  auto* browser = new QTextBrowser(dialog);
  // The text is laid out in lines of its own: shown as it is, not re-wrapped.
  browser->setLineWrapMode(QTextEdit::NoWrap);
  QFont fixed(QStringLiteral("monospace"));
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setPointSize(9);
  browser->setFont(fixed);
  browser->setPlainText(text);
  layout->addWidget(browser);
  return dialog;
}

QDialog* createAboutBox() {
  auto* dialog = new QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  dialog->setWindowTitle(QStringLiteral("KORVEL Brevanta Settings Panel"));
  dialog->setFixedSize(620, 230);

  auto* icon = new QLabel(dialog);
  icon->setPixmap(QPixmap(QStringLiteral(":/Resource/icon/icon_128.png")));
  auto* product = new QLabel(QStringLiteral("USB Audio Interface<p>KORVEL Brevanta"), dialog);
  product->setFont(arial(18, true));
  auto* version =
      new QLabel(QStringLiteral("Software Ver. : V%1%2").arg(softwareVersionFull, QString()), dialog);
  version->setFont(arial(13));
  version->setMargin(10);

  auto* column = new QVBoxLayout();
  column->addWidget(product);
  column->addWidget(version);
  auto* row = new QHBoxLayout();
  row->setSpacing(50);
  row->addWidget(icon);
  row->addLayout(column);
  row->addStretch();

  auto* notice =
      new QLabel(QStringLiteral("Copyright \u00a9 KORVEL Corporation. All rights reserved."), dialog);
  auto* asio = new QLabel(QStringLiteral("ASIO Technology by Steinberg Media Technologies Gmbh."), dialog);
  for (QLabel* label : {notice, asio}) {
    label->setFont(arial(9));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  }
  auto* layout = new QVBoxLayout(dialog);
  layout->addLayout(row);
  layout->addWidget(notice);
  layout->addWidget(asio);
  return dialog;
}
