// A scroll bar that, when its range or steps change, repaints only the
// stretch its slider moved over, and keeps what it painted: a repaint of what
// did not change is a copy. A list view sets both at every layout, and a
// sweep lays out its list once per appended line; with both bars showing, the
// list also raises both at each layout, which repaints them whole. Painting
// the whole bar in the desktop's style each time was most of a sweep's
// painting.
#pragma once

#include <QImage>
#include <QRect>
#include <QScrollBar>
#include <QStyle>
#include <optional>

class QPaintEvent;

namespace ps::app {

class IncrementalScrollBar : public QScrollBar {
  Q_OBJECT

 public:
  explicit IncrementalScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);

 protected:
  bool event(QEvent* event) override;
  void sliderChange(SliderChange change) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // What decides how the bar looks, besides its slider's place: a change in
  // any of it repaints the whole bar.
  struct Look {
    QRect bar;
    QRect slider;
    QStyle::State state;
    bool empty, at_start, at_end;  // minimum == maximum; the value at either end
    bool SameBut(const Look& other) const {
      return bar == other.bar && state == other.state && empty == other.empty &&
             at_start == other.at_start && at_end == other.at_end;
    }
  };
  Look Now() const;
  // The bar's full breadth along the stretch covering both sliders.
  QRect Stretch(const QRect& slider, const QRect& other) const;
  // The backing store's image when this paint goes to the screen and the bar
  // looks as Look tells (no part of it hovered or pressed); else none.
  const QImage* CachedScreen();
  // Brings kept_ up to what a whole repaint paints now.
  void Refresh(const QImage& screen);
  // Repaints `part` of kept_, piece by piece.
  void PaintKept(const QRect& part);
  void PaintScratch(const QRect& piece);
  int PieceLength() const;   // logical pixels
  int MarginLength() const;  // logical pixels

  std::optional<Look> shown_;  // as the last paint on screen left it; none before the first
  QImage kept_;                // the whole bar as painted for kept_look_
  std::optional<Look> kept_look_;
  QImage scratch_;  // where pieces of kept_ are painted
};

}  // namespace ps::app
