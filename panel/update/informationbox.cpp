// The update service's picture-backed box.
#include "informationbox.h"

#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QTextDocument>

#include "ui_informationbox.h"

QString informationHtmlShown(const QString& html) {
  if (html.size() <= kMaxInformationHtmlChars) return html;
  int end = kMaxInformationHtmlChars;
  if (html.at(end - 1).isHighSurrogate()) --end;
  // A tag cut short would show as text.
  const int open = html.lastIndexOf(QLatin1Char('<'), end - 1);
  if (open >= 0 && html.lastIndexOf(QLatin1Char('>'), end - 1) < open) end = open;
  return html.left(end);
}

InformationBox::InformationBox(QWidget* parent) : QWidget(parent), ui(new Ui::InformationBox) {
  ui->setupUi(this);
  ui->dontShowCheckBox->blockSignals(true);
  // Links in a message go to the browser; the box itself shows no other page.
  ui->textMessage->setOpenExternalLinks(true);
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
  fitMessage();
}

void InformationBox::setInformationHtml(const QString& html) {
  ui->textMessage->clear();
  QTextCursor c(ui->textMessage->document());
  c.movePosition(QTextCursor::Start);
  QTextBlockFormat first;
  first.setLineHeight(18, QTextBlockFormat::FixedHeight);
  c.setBlockFormat(first);
  c.insertBlock();
  c.insertHtml(informationHtmlShown(html));
  c.movePosition(QTextCursor::Start);
  c.deleteChar();
  cursor = c;
  fitMessage();
}

// The message area has no scroll bars: a text that would run past its bottom
// (a long headline in a wide font, a long information message) is set smaller,
// down to a size that stays readable.
void InformationBox::fitMessage() {
  QTextBrowser* text = ui->textMessage;
  QTextDocument* document = text->document();
  for (int points = 14; points >= 9; --points) {
    text->setStyleSheet(QStringLiteral("color: white; font: %1pt;").arg(points));
    document->setTextWidth(text->width());
    if (document->size().height() <= text->height()) break;
  }
}

// The buttons and the check box share one row: long translations get a
// smaller font instead of being cut.
void InformationBox::fitButtonRow() {
  QWidget* const items[] = {ui->okButton, ui->noButton, ui->dontShowCheckBox};
  const QFont base = font();
  for (QWidget* w : items) w->setFont(base);
  for (int step = 0; step < 4; ++step) {
    ui->horizontalLayout->invalidate();
    if (ui->horizontalLayout->sizeHint().width() <= ui->horizontalLayoutWidget->width()) return;
    QFont smaller = ui->okButton->font();
    smaller.setPointSizeF(smaller.pointSizeF() * 0.9);
    for (QWidget* w : items) w->setFont(smaller);
  }
}

void InformationBox::showEvent(QShowEvent* event) {
  fitButtonRow();
  QWidget::showEvent(event);
}

void InformationBox::paintEvent(QPaintEvent* event) {
  Q_UNUSED(event);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.drawPixmap(0, 0, QPixmap(QStringLiteral(":/Resource/update/info_570x160_model.png")));
}
