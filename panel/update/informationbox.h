// InformationBox: the picture-backed box of the update service, used for the
// panel-update offer, the firmware-update offer and the information message.
// A message, two buttons and a "do not show again" check box whose state is
// only ever read.
#ifndef PANEL_UPDATE_INFORMATIONBOX_H
#define PANEL_UPDATE_INFORMATIONBOX_H

#include <QPixmap>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QWidget>

namespace Ui {
class InformationBox;
}

// Characters of an information message's HTML that are laid out. The box
// shows a few lines (some 500 characters at its smallest font) and has no
// scroll bars; laying out a message costs some 10 ms per KiB, six times over
// while its font is fitted, so a message of megabytes would hold the window
// for minutes. The bound leaves room for markup (links, styles) well beyond
// what can be seen.
constexpr int kMaxInformationHtmlChars = 4096;

// `html` cut to at most kMaxInformationHtmlChars characters, never inside a
// tag or between the halves of a surrogate pair.
QString informationHtmlShown(const QString& html);

// The artwork of an update window, an SVG rendered at `size` (window units)
// with the screen's pixels, `ratio` of them per unit.
QPixmap boxArtwork(const QString& svg, const QSize& size, qreal ratio);

class InformationBox : public QWidget {
  Q_OBJECT

 public:
  explicit InformationBox(QWidget* parent = nullptr);
  ~InformationBox() override;

  Ui::InformationBox* ui;

  // The panel or firmware offer: replaces the message with rich text.
  void setOfferText(const QString& html);
  // The information message: HTML shown from its top, at most
  // kMaxInformationHtmlChars of it.
  void setInformationHtml(const QString& html);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void fitMessage();
  void fitButtonRow();
  // A height in pixels at 96 dpi for the message's texts at the box's dpi.
  qreal textPixels(qreal pixels) const;

  QTextCursor cursor;
  QTextBlockFormat blockFormat;
  QPixmap artwork;
};

#endif
