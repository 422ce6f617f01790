// The update service's picture-backed box.
#include "informationbox.h"

#include <QPainter>
#include <QPixmap>
#include <QScrollBar>

#include "ui_informationbox.h"

InformationBox::InformationBox(QWidget* parent) : QWidget(parent), ui(new Ui::InformationBox) {
  ui->setupUi(this);
  ui->dontShowCheckBox->blockSignals(true);
  setWindowFlags(Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
  blockFormat.setLineHeight(30, QTextBlockFormat::FixedHeight);
  cursor = ui->textMessage->textCursor();
  cursor.setBlockFormat(blockFormat);
  ui->textMessage->setStyleSheet(QStringLiteral("color: white; font: 14pt;"));
  ui->textMessage->setTextCursor(cursor);
  cursor.movePosition(QTextCursor::Start);
}

InformationBox::~InformationBox() {
  delete ui;
}

void InformationBox::setOfferText(const QString& html) {
  ui->textMessage->setText(html);
}

void InformationBox::setInformationHtml(const QString& html) {
  ui->textMessage->clear();
  QTextCursor c(ui->textMessage->document());
  c.movePosition(QTextCursor::Start);
  QTextBlockFormat first;
  first.setLineHeight(18, QTextBlockFormat::FixedHeight);
  c.setBlockFormat(first);
  c.insertBlock();
  c.insertHtml(html);
  c.movePosition(QTextCursor::Start);
  c.deleteChar();
  cursor = c;
}

void InformationBox::paintEvent(QPaintEvent* event) {
  Q_UNUSED(event);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.drawPixmap(0, 0, QPixmap(QStringLiteral(":/Resource/update/info_570x160_model.png")));
}
