// BufferSizeScale: the buffer sizes written under the ticks of the
// buffer-size slider's backdrop, in the page font, each centred on its tick
// and as large as the page's scale allows without two of them touching.
#ifndef PANEL_MAINWINDOW_BUFFERSIZESCALE_H
#define PANEL_MAINWINDOW_BUFFERSIZESCALE_H

#include <QFont>
#include <QRect>
#include <QStringList>
#include <QVector>
#include <QWidget>

class BufferSizeScale : public QWidget {
  Q_OBJECT

 public:
  explicit BufferSizeScale(QWidget* parent = nullptr);

  // One label a tick, from the left.
  void setLabels(const QStringList& labels);
  // Places the labels under the ticks of a backdrop placed at `backdrop`
  // (the parent's coordinates) for the page scale `scale`.
  void place(const QRect& backdrop, float scale);

  // Where tick `index` stands and where its label is written, in the
  // parent's coordinates, and the labels' font.
  int tickX(int index) const;
  QRect labelRect(int index) const;
  QFont labelFont() const { return font; }
  int labelCount() const { return labels.size(); }

  // The ticks in the backdrop's artwork: 7 base pixels in from either end of
  // its 353, ten equal steps between.
  static constexpr int kBackdropWidth = 353;
  static constexpr int kTickInset = 7;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QStringList labels;
  QRect backdropRect;
  QVector<QRect> rects;  // labels, parent's coordinates
  QFont font;
};

#endif
