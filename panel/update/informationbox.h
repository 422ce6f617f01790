// InformationBox: the picture-backed box of the update service, used for the
// panel-update offer, the firmware-update offer and the information message.
// A message, two buttons and a "do not show again" check box whose state is
// only ever read.
#ifndef PANEL_UPDATE_INFORMATIONBOX_H
#define PANEL_UPDATE_INFORMATIONBOX_H

#include <QTextBlockFormat>
#include <QTextCursor>
#include <QWidget>

namespace Ui {
class InformationBox;
}

class InformationBox : public QWidget {
  Q_OBJECT

 public:
  explicit InformationBox(QWidget* parent = nullptr);
  ~InformationBox() override;

  Ui::InformationBox* ui;

  // The panel or firmware offer: replaces the message with rich text.
  void setOfferText(const QString& html);
  // The information message: HTML shown from its top.
  void setInformationHtml(const QString& html);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void fitMessage();
  void fitButtonRow();

  QTextCursor cursor;
  QTextBlockFormat blockFormat;
};

#endif
