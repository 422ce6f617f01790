// The update service's picture-backed box.
#include "informationbox.h"

#include <QAbstractTextDocumentLayout>
#include <QDebug>
#include <QDesktopServices>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QSvgRenderer>
#include <QTextDocument>
#include <QTextObjectInterface>
#include <cmath>

#include "ui_informationbox.h"

namespace {

// The text of the box: an information message comes from the network, so it
// reaches nothing outside the program. Only the program's own resources load
// as images or style sheets. A local path may be a device that never ends or a
// file of gigabytes; on Windows a network path hands the user's logon to the
// server it names.
bool ownResource(const QUrl& name) {
  return name.scheme() == QLatin1String("qrc") ||
         (name.scheme().isEmpty() && name.path().startsWith(QLatin1String(":/")));
}

class MessageDocument : public QTextDocument {
 public:
  using QTextDocument::QTextDocument;

 protected:
  QVariant loadResource(int type, const QUrl& name) override {
    if (ownResource(name)) return QTextDocument::loadResource(type, name);
    qDebug() << "InformationBox: not loaded" << name.toString().left(200);
    return QVariant();
  }
};

}  // namespace

// Draws the message's images from the document's resources alone. The
// toolkit's own image handler reads a path straight from the file system when
// the document has no such resource, and looks for high-resolution variants
// beside it.
class InformationImages : public QObject, public QTextObjectInterface {
  Q_OBJECT
  Q_INTERFACES(QTextObjectInterface)

 public:
  using QObject::QObject;

  QSizeF intrinsicSize(QTextDocument* document, int, const QTextFormat& format) override {
    const QImage image = imageOf(document, format);
    QSizeF size = image.size();
    const QTextImageFormat f = format.toImageFormat();
    if (f.hasProperty(QTextFormat::ImageWidth)) size.setWidth(f.width());
    if (f.hasProperty(QTextFormat::ImageHeight)) size.setHeight(f.height());
    return size;
  }

  void drawObject(QPainter* painter, const QRectF& rect, QTextDocument* document, int,
                  const QTextFormat& format) override {
    const QImage image = imageOf(document, format);
    if (!image.isNull()) painter->drawImage(rect, image);
  }

 private:
  static QImage imageOf(QTextDocument* document, const QTextFormat& format) {
    const QVariant data =
        document->resource(QTextDocument::ImageResource, QUrl(format.toImageFormat().name()));
    if (data.canConvert<QImage>()) return qvariant_cast<QImage>(data);
    QImage image;
    if (data.userType() == QMetaType::QByteArray) image.loadFromData(data.toByteArray());
    return image;
  }
};

namespace {

// Links that leave the box: web pages and mail only. A link to a file, to a
// program's own protocol or to a relative address is not followed, neither in
// the box nor outside it.
bool opensOutside(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("https") || scheme == QLatin1String("http") ||
         scheme == QLatin1String("mailto");
}

}  // namespace

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
  auto* document = new MessageDocument(ui->textMessage);
  ui->textMessage->setDocument(document);
  document->documentLayout()->registerHandler(QTextFormat::ImageObject, new InformationImages(document));
  // Links in a message go to the browser; the box itself shows no other page.
  ui->textMessage->setOpenLinks(false);
  ui->textMessage->setOpenExternalLinks(false);
  connect(ui->textMessage, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
    if (opensOutside(url))
      QDesktopServices::openUrl(url);
    else
      qDebug() << "InformationBox: link not opened" << url.toString().left(200);
  });
  setWindowFlags(Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
  blockFormat.setLineHeight(textPixels(30), QTextBlockFormat::FixedHeight);
  cursor = ui->textMessage->textCursor();
  cursor.setBlockFormat(blockFormat);
  ui->textMessage->setStyleSheet(QStringLiteral("color: white; font: 14pt;"));
  ui->textMessage->setTextCursor(cursor);
  cursor.movePosition(QTextCursor::Start);
}

InformationBox::~InformationBox() {
  delete ui;
}

qreal InformationBox::textPixels(qreal pixels) const {
  // The message's fonts are in points, which grow with the display's dpi
  // where the window is not scaled as a whole: its fixed line heights grow
  // with them, or the lines of a message run into each other.
  return pixels * qMax(1.0, ui->textMessage->logicalDpiY() / 96.0);
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
  first.setLineHeight(textPixels(18), QTextBlockFormat::FixedHeight);
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
// down to a size that stays readable: 9 points at 96 dpi, 12 pixels. On a
// display of more dpi that is fewer points (a point has more pixels there,
// while the box keeps its size in pixels).
void InformationBox::fitMessage() {
  QTextBrowser* text = ui->textMessage;
  QTextDocument* document = text->document();
  const int smallest = qMin(9, int(std::ceil(12 * 72 / qMax(1.0, qreal(text->logicalDpiY())))));
  for (int points = 14; points >= smallest; --points) {
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

QPixmap boxArtwork(const QString& svg, const QSize& size, qreal ratio) {
  QPixmap pixmap(
      QSize(int(std::ceil(size.width() * ratio - 1e-6)), int(std::ceil(size.height() * ratio - 1e-6))));
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(svg);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

void InformationBox::paintEvent(QPaintEvent* event) {
  Q_UNUSED(event);
  // Rendered for the screen's pixels, once per screen.
  if (artwork.isNull() || artwork.devicePixelRatioF() != devicePixelRatioF())
    artwork = boxArtwork(QStringLiteral(":/Resource/update/info_570x160_model.svg"), QSize(570, 160),
                         devicePixelRatioF());
  QPainter painter(this);
  painter.drawPixmap(0, 0, artwork);
}

#include "informationbox.moc"
